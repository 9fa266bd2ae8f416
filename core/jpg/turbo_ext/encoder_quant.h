// Second stage of the JPEG encoder: quantisation tables and the rounding of
// every coefficient.
//
// - Base tables: steps that grow with the radial frequency of each
//   coefficient (separate models for luma and chroma), scaled by quality
//   (50 keeps them, 100 makes every step 1).
// - Adaptive tables: each AC step of each table may move within a range around
//   its base value to the step that minimises distortion + lambda * bits over
//   the image's own coefficient histogram (distortion measured relative to the
//   base step, so a step moves only when this image's statistics pay for it).
// - Biased rounding: in blocks whose texture hides small errors, AC values are
//   rounded toward zero by up to 0.15 of a step, more at high frequencies.
// - Trellis: per block, a dynamic programme over the AC coefficients in zigzag
//   order chooses, for each coefficient, its rounded value, one less, or zero,
//   minimising distortion + lambda * estimated Huffman bits (run/size symbols,
//   zero runs, end of block), with symbol costs taken from a first rounding of
//   the whole image.
#pragma once
#include <cstdint>

#include "core/jpg/turbo_ext/encoder_transform.h"

namespace sjpeg::detail {

// Steps in natural order; table 0 for luma, table 1 for chroma.
struct quant_tables {
    uint16_t step[2][64];
};

struct quant_options {
    bool adaptive_bias = false;
    bool trellis = false;
};

// Zigzag position -> natural index.
extern const uint8_t zigzag_to_natural[64];

void scaled_base_tables(float quality, quant_tables& tables);

// Moves AC steps toward what this image's statistics favour.
void adapt_tables(const coefficient_image& image, quant_tables& tables);

// Replaces every stored coefficient by its quantised value.
void quantise_image(coefficient_image& image, const quant_tables& tables, quant_options options);

}  // namespace sjpeg::detail
