// The engine's option string built from the settings panel: every piece ends
// with one space, and the panel rules guarantee the engine refuses none of
// the combinations it can produce.
#pragma once
#include <array>
#include <cstdint>
#include <string>

#include "frontend/panel_rules.h"

// Quality sent for each track-bar position 0..8.
inline constexpr std::array<int, 9> quality_table = {1, 30, 70, 80, 84, 88, 92, 96, 100};

// Number of entries of the resolution list.
inline constexpr int resize_choices = 33;

// Longest side sent for resolution index 0..32: 4096 down to 128 in steps of
// 128, then 64.
int resize_target_for(int32_t index);

// The option string of a run (`preview` false) or of a lossy preview, which
// takes its quality from the preview window's position instead of the panel's.
std::string build_engine_options(const panel_state& panel, bool preview, int32_t preview_quality);
