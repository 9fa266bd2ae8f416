// The PNG decoder: header inspection, chunk walk, inflate through zlib, row
// unfiltering (Adam7 and sub-byte depths included) and conversion to the
// caller's colour mode.
//
// Only IHDR, PLTE, tRNS, IDAT and IEND are interpreted; other ancillary chunks
// are skipped because the pipeline copies the metadata it keeps straight from
// the input file. Damage is refused, never decoded into pixels: the CRC of every
// chunk up to IEND must match, PLTE and tRNS count only before the image data,
// and a palette image needs a palette holding every index it uses (38).
// Every length read from the file is checked before use and all
// sizes are 64-bit; inflation stops as soon as the data outgrows the size the
// header implies, so a small file cannot make the decoder allocate without bound.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/png/codec/codec_state.h"

// Decodes a whole PNG. On success appends the pixels (raw_image_size of the
// output mode) to `out`, sets width and height and returns 0; on failure
// returns the error code and leaves `out`, width and height unchanged. The code
// is also stored in state.last_error; state.file_info describes the file.
uint32_t decode_png(std::vector<uint8_t>& out, uint32_t& width, uint32_t& height,
                    LodePNGState& state, const std::vector<uint8_t>& png);

// The header check alone: signature, IHDR and its values. Clears and fills
// state.file_info (methods, colour type, bit depth); sets state.last_error.
uint32_t inspect_png(uint32_t& width, uint32_t& height, LodePNGState& state, const uint8_t* data,
                     size_t size);

// The decoder's core: the image in the file's own colour mode (replaces `image`).
uint32_t decode_png_buffer(std::vector<uint8_t>& image, uint32_t& width, uint32_t& height,
                           LodePNGState& state, const uint8_t* data, size_t size);

// Inflates a zlib stream and checks its Adler-32. Output grows in chunks sized
// from the image (4 bytes per pixel, up to 32 MiB); as soon as it exceeds
// `expected_size` the result is 91. Replaces `out`.
uint32_t inflate_zlib(std::vector<uint8_t>& out, const uint8_t* data, size_t size, uint32_t width,
                      uint32_t height, uint64_t expected_size);

// Reverses the row filters (and Adam7) of `in`, which holds exactly
// png_filtered_size(width, height, info) bytes, into the zero-filled `out` of
// raw_image_size(width, height, info.colour) bytes. 0 or 36.
uint32_t unfilter_image(uint8_t* out, const uint8_t* in, uint32_t width, uint32_t height,
                        const png_info& info);

// Bytes of one packed row: (width x bits per pixel + 7) / 8 without overflow.
uint64_t png_row_bytes(uint64_t width, uint32_t bits_per_pixel);

// Size of the filtered scanline data the header implies (a filter byte per row,
// per Adam7 pass; empty passes contribute nothing).
uint64_t png_filtered_size(uint32_t width, uint32_t height, const png_info& info);

// One of the seven Adam7 passes: first pixel, step, and size (may be 0).
struct adam7_pass {
    uint32_t x0, y0, dx, dy;
    uint64_t width, height;
};
adam7_pass adam7_pass_geometry(int pass, uint32_t width, uint32_t height);
