// The short PNG roads: the fast lossless encode (effort level 0, and the
// fallback when a lossy result would grow the file), lossy truecolour
// (posterised, one encode) and palette output (quantised).
//
// Each fills the result buffer and returns the job's result code; a non-zero
// code means the result must not be written.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/job.h"
#include "core/png/codec/codec_state.h"

// Two quick encodes at level code 80, without and with row filters, and the
// smaller kept; palette-planned and photo-like images take a single tuned
// encode instead. `state` is the codec state that decoded the file.
uint8_t optimize_png_fast(std::vector<uint8_t>& result, std::vector<uint8_t>& image,
                          lodepng::State& state, image_job& job);

// One trial of the parallel fast race on a fresh codec state; the codec's code
// goes into job.result (1 for an empty output). Returns the size of `out`, 0
// when the encode failed.
uint32_t fast_trial_encode(std::vector<uint8_t>& image, std::vector<uint8_t>& out, bool filtered,
                           image_job& job);

// Posterises the work image and encodes it once with the compressor of the
// PNG level. Returns the codec's code, also in job.result.
uint8_t optimize_png_lossy(std::vector<uint8_t>& result, std::vector<uint8_t>& image,
                           image_job& job);

// The lossy truecolour road as the driver runs it: when the posterised PNG
// is larger than `input_size` (the input file's bytes), the fast lossless
// encode of the prepared image (as it was before posterising: after "-srgb"
// conversion and "-resize") replaces it, so pixels, geometry and colour
// profile handling stay those of the image that is written.
uint8_t optimize_png_lossy_or_fast(std::vector<uint8_t>& result, std::vector<uint8_t>& image,
                                   lodepng::State& state, image_job& job, size_t input_size);

// Quantises the work image to a palette and encodes it. Returns job.result.
uint8_t optimize_png_palette(std::vector<uint8_t>& result, std::vector<uint8_t>& image,
                             image_job& job);
