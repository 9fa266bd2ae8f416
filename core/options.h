// The engine's options record: defaults, command-line parsing and validation.
#pragma once
#include <cstdint>

struct default_flags {
    uint8_t png_enabled;
    uint8_t jpeg_enabled;
    uint8_t preview;
    uint8_t preview_original;
    uint8_t preview_check;
    uint8_t verbose;
    uint8_t inner_threads;
    uint8_t worker_threads;
    uint8_t process_level;
    uint8_t single_file;
    uint8_t notime;
    uint8_t png_level;
    uint8_t jpeg_level;
    uint8_t lossless;
    uint16_t quality;
    uint8_t quality_default;
    uint8_t noalpha;
    uint8_t srgb;
    uint16_t resize_target;
    uint8_t rotate;
    uint8_t metadata_mode;
};

// Marker stored by an out-of-range numeric option; it makes the command line bad.
constexpr uint16_t option_marker16 = 0xFFFF;
constexpr uint8_t option_marker8 = 0xFF;

// Hardware thread count as the engine uses it: taken modulo 256 (after clamping
// very large counts) and clamped to 2..32.
uint8_t clamp_thread_count(unsigned hardware_threads);

void init_default_flags(default_flags& flags);

// Returns 0 when the options can be used together; sets worker_threads and may
// lower inner_threads.
int validate_flags(default_flags& flags);
