// What a PNG file's chunk list says before anything is decoded (size limits,
// animation chunks, colour profile, palette and tRNS lengths), and the colour
// type the later stages aim at once the image is decoded and measured.
#pragma once
#include <cstdint>
#include <vector>

#include "core/job.h"
#include "core/png/codec/codec_state.h"

// Largest image the pipeline takes on: 16383 x 16383 pixels.
inline constexpr uint64_t png_pipeline_max_pixels = 268402689;

// Header inspection and chunk walk over the whole file `input`. Fills the
// state's file_info, the job's geometry and chunk facts (critical_chunks,
// is_apng, frame_count, has_icc, plte_length, trns_length, keep_icc,
// colour_type, bytes_per_pixel). Returns 0 or an error code, also left in
// job.result: 1 for a zero or too large size, a bit depth above 8 in a
// lossless run, a zero byte in a chunk type or fewer than three of IHDR, the
// first IDAT and IEND; 57 for a chunk up to IEND whose CRC does not match; 38
// for a palette image without PLTE before its image data; otherwise the header
// inspection's code. PLTE and tRNS after the first IDAT are not counted. The
// file is an animation (is_apng, frame_count = its fcTL chunks) only when it
// has an acTL; without one it is a still image and frame_count is 0.
uint8_t scan_png_chunks(const std::vector<uint8_t>& input, lodepng::State& state, image_job& job);

// Recounts job.trns_length as the number of entries of the decoded palette
// whose alpha is not 255 (palette files with a tRNS chunk only).
void count_translucent_palette_entries(const lodepng::State& state, image_job& job);

// Plans job.colour_type from the grey and alpha scans and the input palette,
// sets the colour-count limit and counts the colours of `image` (RGBA8, the
// job's pixel count); a truecolour plan with at most 256 colours becomes a
// palette plan.
void choose_colour_type(const std::vector<uint8_t>& image, const lodepng::State& state, image_job& job);
