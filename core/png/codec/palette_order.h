// Palette ordering for the encoder's automatic palette choice.
//
// The order of palette entries changes how well the index rows compress, so
// the search encodes the same image with several orders and keeps the
// smallest file. Each order is described by a small record of four integers.
#pragma once
#include <cstddef>
#include <cstdint>

struct png_palette_order {
    // 0: each entry's sort key holds its luma and chroma (Y, U, V).
    int32_t plain_keys = 0;
    // 1: descending keys in order mode 0; chains of mode 2 start at the
    // largest key instead of the smallest.
    int32_t reverse = 0;
    // 0: translucent entries first and alpha in the key; 2: alpha in the key
    // only; other values: neither.
    int32_t alpha_rule = 0;
    // -1 none; 1 chain from entry 0; 2 chain from the smallest or largest key;
    // 4 translucent entries first; 5, 6, 7 greedy from a reference colour;
    // anything else: sort by key.
    int32_t order_mode = 0;
};

// Above this many pixels the greedy orders start from opaque white instead
// of transparent white.
inline constexpr uint64_t greedy_opaque_reference_pixels = 1638400;

// Reorders `count` RGBA entries (4 bytes each) of `palette` in place by
// `order`. `pixel_count` is the image's pixel count (the greedy orders pick
// their reference colour by it). At most 256 entries are ordered.
void order_palette(unsigned char* palette, size_t count, uint64_t pixel_count,
                   const png_palette_order& order);
