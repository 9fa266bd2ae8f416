// Decoding of a JPEG file held in memory to packed 8-bit pixels, for the
// lossy road and the preview view.
//
// The decoder may scale the image down by 2, 4 or 8 (job.dct_scale). The
// size kept is the image size divided by the scale, rounded down (never below
// one pixel); the decoder's own size rounds up, so its last row and column
// may be dropped. Every row is still read and the input is consumed up to its
// end marker, so that damage anywhere in the image data shows in the trap's
// count of corrupt-data warnings, and nothing is left for closing to complain
// about. The decoder is not finished: its saved segments stay readable until
// it is closed.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include <jpeglib.h>

#include "core/job.h"
#include "core/jpg/jpeg_colour.h"  // jpeg_pixel_spare
#include "core/jpg/jpeg_error_trap.h"

struct jpeg_pixel_source {
    jpeg_error_trap trap;
    jpeg_decompress_struct decoder;
    bool open = false;

    jpeg_pixel_source() = default;
    ~jpeg_pixel_source();  // closes the decoder when it is open
    jpeg_pixel_source(const jpeg_pixel_source&) = delete;
    jpeg_pixel_source& operator=(const jpeg_pixel_source&) = delete;

    // Corrupt-data warnings met so far.
    unsigned damage() const { return trap.corrupt_warnings; }
};

// Creates the decoder on `size` bytes at `data` (which must outlive it),
// saves the segments APP0..APP15 (each up to 0xFFFF bytes) when asked, and
// reads the header. Sets job.width and job.height to the image size. False
// after a library error or for an image beyond the decoder's limits; the
// decoder is closed then.
bool open_jpeg_pixels(jpeg_pixel_source& source, const uint8_t* data, size_t size, bool save_segments,
                      image_job& job);

// Size the decode at job.dct_scale keeps: width, height (each at least 1).
struct kept_size {
    uint32_t width;
    uint32_t height;
};
kept_size jpeg_kept_size(const jpeg_pixel_source& source, const image_job& job);

// Decodes the opened image at 1 / job.dct_scale: a one-component image as RGB,
// others in the decoder's default layout (RGB, or inverted CMYK for four
// components). `pixels` receives the kept rows without gaps and
// jpeg_pixel_spare zero bytes after them; job.width, height, pixel_count and
// bytes_per_pixel describe them. False after a library error (the decoder is
// closed) or when the buffer cannot be had (the decoder stays open).
bool decode_jpeg_pixels(jpeg_pixel_source& source, image_job& job, std::vector<uint8_t>& pixels);

// Closes the decoder (also when rows were not read); safe to call twice.
void close_jpeg_pixels(jpeg_pixel_source& source);
