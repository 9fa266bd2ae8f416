// The animated-PNG writer: turns an optimised frame set into APNG bytes.
//
// For each change from one frame to the next it builds up to six candidates
// (the changed rectangle only; its own pixels or blended over the canvas with
// unchanged pixels transparent; the frame before disposed to nothing, to the
// transparent background, or to the canvas before it), sizes each with a fast
// deflate and keeps the smallest. Only the winner is compressed with the
// strong compressor of the PNG effort level: the multi-level compressor at
// levels 0 to 2, the Zopfli-style compressor above. Every frame's zlib header
// announces the smallest window its frame needs.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/job.h"
#include "core/png/apng_frame.h"

// Row filtering of the frame data, decided by the strip encode.
struct apng_filter_flags {
    bool use_row_filters = false;    // choose a PNG filter per row, else none
    bool average_filter_only = false; // with row filters: None or Average only
};

// Writes `frames` into `out` (replaced). With `first_frame_offset` 1 the first
// record is a default image that is not part of the animation: it is written
// as the IDAT without an fcTL and the animation starts at the second record.
// A set of one record (offset 0) becomes a plain PNG. Sets job.width,
// job.height and job.pixel_count from the first record. Returns 0, or 1 when
// memory runs out or a frame cannot be compressed (`out` then empty).
int save_apng(std::vector<uint8_t>& out, const std::vector<apng_frame>& frames, uint32_t play_count,
              size_t first_frame_offset, const apng_filter_flags& flags, image_job& job);

// Lowers the window size field of a zlib header to the smallest window of at
// least 256 bytes that still covers `frame_bytes` and corrects the check bits.
// Streams that are not deflate, or are shorter than 2 bytes, stay as they are.
void fit_zlib_window(uint8_t* stream, size_t length, uint64_t frame_bytes);

// A zlib stream (header 78 DA, raw deflate, Adler-32) by the Zopfli-style
// compressor with `iterations` iterations on `threads` threads.
std::vector<uint8_t> zopfli_zlib_compress(const uint8_t* in, size_t length, uint32_t iterations,
                                          uint32_t threads);
