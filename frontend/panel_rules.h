// The settings panel as a plain record: the value and enabled state of every
// control, and the rules that enable, disable and force controls so that the
// engine is never offered an option combination it refuses. The Qt panel
// mirrors this record; everything here runs without a display.
#pragma once
#include <cstdint>

#include "frontend/settings_file.h"

struct combo_control {
    int32_t index = 0;
    bool enabled = true;
};

struct check_control {
    bool ticked = false;
    bool enabled = true;
};

struct panel_state {
    combo_control png_level;   // int_compression_level
    combo_control jpeg_level;  // int_compression_level_jpeg
    combo_control method;      // settings_enable_lossy: 0 lossy, 1 lossless
    int32_t quality = 6;       // settings_quality_bar position 0..8
    bool quality_enabled = false;
    bool quality_label_enabled = false;  // settings_quality_info
    combo_control srgb{1, true};         // settings_srgb_transform
    bool srgb_label_enabled = true;      // settings_color_profile
    check_control resize;                // settings_image_resize
    bool resize_heading_enabled = true;  // settings_resize_text
    combo_control resolution{17, false};  // settings_resolution
    check_control ratio{true, false};     // settings_ratio
    check_control rotation{true, true};   // settings_jpeg_rotation
    check_control keep_rgb;               // settings_keep_rgb
    check_control meta;                   // settings_meta
    combo_control multitask;              // settings_multitask_list
    combo_control auto_run;               // settings_auto_run
};

// A default-constructed panel_state holds the form's design values.

// The panel rules, run after every change of the method, the colour-profile
// choice or a check box. They reach a fixed point in one pass, so running them
// again (as a check box changed by a rule would) changes nothing.
void change_status_lossy(panel_state& panel);

// The Reset button's values (quality 6 and colour profile 1, which differ from
// a missing file's defaults), then the rules.
void reset_panel(panel_state& panel);

// Puts loaded settings into the controls in key-table order. Combo boxes and
// the track bar take their values silently; a check box whose state changes
// runs the rules at that moment, as a click would.
void load_panel(panel_state& panel, const settings_values& values);

// The values Save writes.
settings_values panel_settings(const panel_state& panel);
