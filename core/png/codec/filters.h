// Row filtering for the PNG encoder: the five PNG filter types and the
// strategies that pick one type per row.
//
// Strategies 0-4 use one type everywhere, 6 follows a preset list (for
// example the types an existing file used), 7 and 8 are the classic minimum-
// sum and minimum-entropy heuristics, and 5 and 9-13 compress the candidates
// with the engine's deflate and keep the one that costs least: 5, 9 and 13
// each row on its own, 10-12 as the continuation of one stream over the whole
// image. While choosing, fully transparent RGBA pixels may be recoloured to
// whatever the filter predicts, which changes nothing visible.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/png/codec/codec_state.h"

// Highest valid strategy code; codes above it are error 88.
inline constexpr uint32_t last_filter_strategy = 13;

// Filters one row of `length` bytes with PNG filter `type` into `out`
// (`length` bytes, no type byte). `unit` is the filter distance in bytes
// (bytes per pixel, at least 1). Without a previous row, up predicts 0,
// average predicts left / 2 and Paeth predicts left. A type above 4 writes
// nothing.
void filter_row(unsigned char* out, const unsigned char* row, const unsigned char* previous,
                size_t length, size_t unit, unsigned type);

// Rewrites the colour of fully transparent RGBA 8-bit pixels of one row so
// that filter type 2 (up) or 3 (average) predicts them exactly; other types
// leave the row alone. Alpha is never changed.
void clean_transparent_row(unsigned char* row, const unsigned char* previous, size_t length,
                           unsigned type);

// What the row filter needs to know besides the pixels.
struct scanline_filter_settings {
    uint32_t strategy = 8;
    // Recolour fully transparent pixels; only honoured for 4-byte pixels.
    bool clean_transparent = false;
    // Strategy 6: one type per row. A list shorter than the row count, a
    // missing list or a type above 4 makes the call use type 0 throughout.
    const unsigned char* preset_filters = nullptr;
    size_t preset_count = 0;
};

// Filters `rows` rows of `row_bytes` bytes each (rows already padded to whole
// bytes) into `out`, which must hold rows * (row_bytes + 1) bytes. `unit` is
// the filter distance in bytes. Returns 0, 83 (memory or deflate stream set-
// up) or 88 (unknown strategy).
uint32_t filter_scanlines(unsigned char* out, const unsigned char* image, uint64_t rows,
                          uint64_t row_bytes, size_t unit,
                          const scanline_filter_settings& settings);

// The encoder's entry: filters an image whose rows are already padded to
// whole bytes, in colour mode `mode`, with the state's filter settings
// (`filter_strategy_code`, `clean_transparent`, `preset_filters`). Cleaning
// applies to RGBA 8-bit without a colour key only. `out` must hold
// height * (row bytes + 1) bytes. Returns 0, 31, 83 or 88.
uint32_t filter_with_trials(unsigned char* out, const unsigned char* image, unsigned width,
                            unsigned height, const png_colour_mode& mode,
                            const LodePNGState& settings);

// Reads the filter type of every row of an existing PNG file. Non-interlaced
// files give one byte per row; Adam7 files give, for image row i, the type of
// row i / 2 of pass 6 (even i) or pass 7 (odd i), for `row_count` rows.
// Returns true on failure, leaving `out` untouched.
bool read_png_filter_bytes(std::vector<unsigned char>& out, const std::vector<unsigned char>& png,
                           unsigned row_count);
