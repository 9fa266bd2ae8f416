// Helpers shared by the PNG search roads: one trial encode, its size, and the
// geometry check every road makes before touching pixels.
#pragma once
#include <cstdint>
#include <vector>

#include "core/job.h"
#include "core/png/codec/codec_state.h"
#include "core/png/codec/palette_order.h"

// Size of a trial that did not run or failed: larger than any real PNG, so it
// never wins a comparison (a preset of 4 x pixel count can be beaten by an
// incompressible image's real PNG, and an empty failed output would win).
constexpr uint32_t no_size = UINT32_MAX;

// The size of a trial result as a 32-bit value that stays below no_size.
uint32_t size_of(const std::vector<uint8_t>& png);

// One encode of `rows` rows into `out` (emptied first). Returns the codec's
// code, 1 when it reported success without bytes.
uint32_t encode_rows(std::vector<uint8_t>& out, const std::vector<uint8_t>& image, uint32_t width,
                     uint32_t rows, lodepng::State& state, const png_palette_order& order);

// encode_rows over the whole image of the job.
uint32_t encode_image(std::vector<uint8_t>& out, const std::vector<uint8_t>& image,
                      lodepng::State& state, const png_palette_order& order, const image_job& job);

// The job's geometry must describe exactly the pixels at hand, or every
// pixel operation and encode would read past them.
bool geometry_matches(const std::vector<uint8_t>& image, const image_job& job);
