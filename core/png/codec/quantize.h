// Palette quantiser: turns an RGBA8 image into at most max_colours palette
// entries and one palette index per pixel.
//
// A greedy builder: count the distinct colours, seed the palette with colours
// that cover many pixels, then add candidates in the order of a lazily
// recomputed priority (an estimate of the error each would remove) until the
// palette is full, the candidates run out, or an error budget chosen by the
// quality says the palette is good enough. Distances are measured in a
// weighted space where the channels are scaled by alpha, so colours that are
// nearly transparent count for little. Every call is self-contained and
// reentrant.
#pragma once
#include <cstdint>
#include <vector>

// pixels: width * height RGBA8 pixels, rows without gaps; width, height >= 1.
// index_out: receives one palette index per pixel (grown to width * height
// when the caller passed it shorter); not touched when count_only is set.
// palette_out: at least 4 * max_colours bytes (R, G, B, A per entry); may be
// null when count_only is set. max_colours is taken as 1..256.
// Returns the number of entries when count_only is set, else 4 times that
// (the number of palette bytes written). Allocation failure throws
// std::bad_alloc.
int32_t quantize_palette(const uint8_t* pixels, std::vector<uint8_t>& index_out, uint8_t* palette_out,
                         uint32_t width, uint32_t height, uint16_t max_colours, uint8_t quality, uint8_t apng,
                         uint8_t count_only);

// The pieces below are the quantiser's fixed rules, exposed so that they can
// be checked on their own.

// Weighted channels of a colour, the space all distances are measured in.
struct quantize_weights {
    uint8_t w0, w1, w2, w3;
};
quantize_weights quantize_weigh(uint8_t r, uint8_t g, uint8_t b, uint8_t a);

// Divisor of the error budget for a quality (single precision); 0 means no
// budget (quality 95 and above).
float quantize_budget_divisor(uint8_t quality, uint8_t apng);

// Error budget for an image of pixel_count pixels: the pixel count divided by
// the divisor, both in single precision, truncated; 0 for quality 95 and above.
int64_t quantize_error_budget(uint64_t pixel_count, uint8_t quality, uint8_t apng);

// Number of budgets of accumulated slack after which the growth stops.
uint32_t quantize_grace_count(uint64_t pixel_count);
