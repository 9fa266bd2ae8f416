// The source every decompressor of the JPEG pipeline reads from: a file held
// in memory, handed to the library in pieces shorter than libjpeg-turbo's
// fast Huffman path asks for.
//
// That fast path runs whenever a few hundred bytes per block of an MCU are
// waiting in the source's buffer (always, with a whole file in one buffer);
// it decodes an invalid Huffman code as a zero without the corrupt-data
// warning, so damage would pass unnoticed and be baked into a clean-looking
// result. With short pieces every MCU takes the checked path, which warns.
//
// The source also knows how far the library has read, so that after the end
// of the image the bytes that follow it can be looked at.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include <jpeglib.h>

// Bytes handed to the library at a time: below the fast path's threshold of
// 512 bytes per block of an MCU.
inline constexpr size_t jpeg_source_piece = 256;

// Reads the decompressor's input from `size` bytes at `data`, which must
// outlive it. Past the end the library gets the corrupt-data warning of a
// cut file and an end-of-image marker, as with the library's own memory
// source.
void jpeg_checked_memory_source(j_decompress_ptr cinfo, const uint8_t* data, size_t size);

// After the library has read the end-of-image marker: true when the bytes
// after it are more than padding (zero or 0xFF bytes), such as a second
// picture, a gain map or a video appended to the file. False for another
// source, or when the input ended without its marker.
bool jpeg_data_after_image(j_decompress_ptr cinfo);

// True when `size` bytes at `data` hold something other than zero and 0xFF
// bytes.
bool more_than_padding(const uint8_t* data, size_t size);
