// Moving pixels between PNG colour modes, and the colour statistics on which the
// encoder's automatic colour choice rests.
//
// The decoder turns whatever a file holds into the caller's RGBA 8-bit buffer;
// the encoder turns RGBA 8-bit into the mode it chose, often a palette. A 16-way
// colour tree maps colours to palette indices for both jobs.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/png/codec/codec_state.h"

// Maps an RGBA colour (8 bits per channel) to a non-negative index. Eight levels
// of 16-way nodes; level k branches on bit k of red, green, blue and alpha.
class colour_tree {
public:
    colour_tree();
    // The colour's index, or -1 when it is not in the tree.
    int32_t find(uint8_t red, uint8_t green, uint8_t blue, uint8_t alpha) const;
    // Adds the colour (an existing colour gets the new index); 0, or 83 when
    // memory runs out.
    uint32_t add(uint8_t red, uint8_t green, uint8_t blue, uint8_t alpha, int32_t index);

private:
    struct node {
        int32_t children[16];
        int32_t index;
    };
    std::vector<node> nodes_;  // nodes_[0] is the root; links are positions, 0 = none
};

// What collect_colour_stats found out about an image.
struct colour_stats {
    uint32_t coloured = 0;      // some pixel has red != green or red != blue
    uint32_t key = 0;           // one RGB value can stand for the transparent pixels
    uint16_t key_red = 0;       // the key, as 16-bit values after the scan
    uint16_t key_green = 0;
    uint16_t key_blue = 0;
    uint32_t alpha = 0;         // a full alpha channel is needed
    uint32_t colour_count = 0;  // distinct RGBA colours; counting stops at the limit
    uint8_t palette[256 * 4] = {};  // the first 256 distinct colours in order of appearance
    uint32_t bits = 1;          // bits per channel needed: 1, 2, 4, 8 or 16
};

// One pixel as 8-bit RGBA. An index beyond the palette reads as (0, 0, 0, 255).
void read_pixel_rgba8(uint8_t& red, uint8_t& green, uint8_t& blue, uint8_t& alpha, size_t index,
                      const uint8_t* image, const png_colour_mode& mode);
// One pixel as 16-bit RGBA; for 16-bit modes only.
void read_pixel_rgba16(uint16_t& red, uint16_t& green, uint16_t& blue, uint16_t& alpha,
                       size_t index, const uint8_t* image, const png_colour_mode& mode);
// `count` pixels into RGBA 8-bit (with_alpha) or RGB 8-bit. As read_pixel_rgba8,
// except that an index beyond the palette of an 8-bit palette image read with
// alpha becomes (0, 0, 0, 0).
void read_pixels_rgba8(uint8_t* out, size_t count, bool with_alpha, const uint8_t* image,
                       const png_colour_mode& mode);

// Converts a packed width x height image from in_mode to out_mode. `out` holds
// raw_image_size(width, height, out_mode) bytes. 0, or 83 when memory runs out.
// A colour missing from an output palette is written as index 0.
uint32_t convert_pixels(uint8_t* out, const uint8_t* in, const png_colour_mode& out_mode,
                        const png_colour_mode& in_mode, uint32_t width, uint32_t height);

// Fills `stats` (which the caller initialises) from the image. 0, or 83 when
// memory for the colour tree runs out.
uint32_t collect_colour_stats(colour_stats& stats, const uint8_t* image, uint32_t width,
                              uint32_t height, const png_colour_mode& mode);
