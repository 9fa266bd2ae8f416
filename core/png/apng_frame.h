// The records of the animated-PNG road and its size limits.
//
// `ImageRows` is one composed frame as the reader delivers it (full canvas,
// RGBA8). `apng_frame` is one frame of the frame set that the frame-set steps
// rewrite and the writer encodes: its own pixels and delay, plus the colour
// description (type, palette, tRNS) that only the first record's copy speaks
// for once the set exists. Both own their pixel block and a table of row
// pointers into it, so they move but never copy (a copy would point into the
// other record's block).
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

// Canvas and frame sides the reader accepts.
inline constexpr uint32_t apng_max_side = 16384;
// A chunk longer than this ends the reading.
inline constexpr uint32_t apng_max_chunk_length = 8000000;
// All frames are optimised as one image, the frame strip, one frame under
// another: it holds at most as many pixels as a still PNG the pipeline takes
// on (16383 x 16383), and at most the rows libpng reads back by default.
inline constexpr uint64_t apng_max_strip_pixels = 268402689;
inline constexpr uint64_t apng_max_strip_rows = 1000000;
// Animation frames (fcTL chunks) the reader accepts; the job record counts
// them in 16 bits. A hidden default image comes on top.
inline constexpr uint32_t apng_max_frames = 65535;

struct ImageRows {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t bytes_per_pixel = 0;
    uint32_t delay_num = 1;
    uint32_t delay_den = 10;
    std::vector<uint8_t> pixels;  // rows top-down without gaps
    std::vector<uint8_t*> rows;   // height pointers into pixels

    ImageRows() = default;
    ImageRows(ImageRows&&) = default;
    ImageRows& operator=(ImageRows&&) = default;
    ImageRows(const ImageRows&) = delete;
    ImageRows& operator=(const ImageRows&) = delete;

    // Allocates a zeroed pixel block and the row table; false (record empty)
    // when memory runs out or the block would not fit in memory at all.
    bool init(uint32_t width, uint32_t height, uint32_t bytes_per_pixel);
    // Releases both.
    void free();
    size_t row_bytes() const { return size_t(width) * bytes_per_pixel; }
    size_t size_bytes() const { return row_bytes() * height; }
};

struct apng_frame : ImageRows {
    uint32_t colour_type = 0;  // 0, 2, 3, 4 or 6
    int32_t palette_count = 0;
    int32_t trns_length = 0;
    uint8_t palette[768];  // 256 RGB triplets
    // The tRNS chunk's data: palette alphas, the grey key (0, key) or the RGB
    // key (0, R, 0, G, 0, B).
    uint8_t trns[256];

    apng_frame();
    apng_frame(apng_frame&&) = default;
    apng_frame& operator=(apng_frame&&) = default;
};
