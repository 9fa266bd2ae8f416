// The PNG encoder: writes a complete PNG file from a packed pixel buffer.
//
// With `auto_colour` on it picks the smallest lossless colour mode for the
// image (grey, RGB, grey + alpha, RGBA, or a 1-8 bit palette, with or without
// a colour key) and orders the palette by the caller's palette-order record;
// rows are filtered by the state's filter strategy and the data is
// compressed by the state's compressor hook (or written as stored blocks),
// all in one IDAT chunk.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/png/codec/codec_state.h"
#include "core/png/codec/palette_order.h"

// Encodes `image` (width x height pixels in state.raw_mode) and appends the
// PNG to `out` on success (callers clear it first). `order` may be null (all
// fields 0). Returns 0 or the codec error; 84, when the image holds fewer
// bytes than raw_image_size of raw_mode, leaves last_error untouched; every
// other result is also in state.last_error. On failure `out` is unchanged.
uint32_t encode_png(std::vector<uint8_t>& out, const std::vector<uint8_t>& image, uint32_t width,
                    uint32_t height, LodePNGState& state, const png_palette_order* order);

// The encoder's core: `out` is replaced by the whole PNG file on success and
// left empty on failure. `image` holds at least raw_image_size(width, height,
// state.raw_mode) bytes. Sets state.last_error and, after an automatic colour
// choice, state.result_mode.
uint32_t encode_png_buffer(std::vector<uint8_t>& out, const uint8_t* image, uint32_t width,
                           uint32_t height, LodePNGState& state, const png_palette_order* order);

// Filters `image` (packed rows in `info.colour`) for writing: rows widened to
// whole bytes where needed and, for Adam7, the seven passes one after
// another. `out` is replaced by the filtered data. 0 or the filter's code
// (31, 83, 88).
uint32_t prepare_scanlines(std::vector<uint8_t>& out, const uint8_t* image, uint32_t width,
                           uint32_t height, const png_info& info, const LodePNGState& state);

// Appends `size` bytes as deflate stored blocks of at most 65,535 bytes
// (header byte 1 on the last block, else 0; length and its complement, both
// little-endian). Empty data gives no blocks.
void write_stored_blocks(std::vector<uint8_t>& out, const uint8_t* data, size_t size);

