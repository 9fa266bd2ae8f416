// Shrinking of pixel buffers: the new size from the job's resize target or a
// preview view, and the separable Lanczos resampler (radius 3) that does it.
//
// The resampler filters the columns into a float intermediate first, in bands
// of output rows sized to a working set of a few megabytes, then filters the
// rows of the intermediate into bytes. Because the whole source is read before
// anything is written, source and destination may be the same buffer. Filters
// are computed once per phase (1000 positions per source pixel) and kept in
// aligned blocks so the dot products run four float lanes at a time; an SSE2
// path and a portable scalar path add in the same order and give the same
// bytes.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/job.h"

// Shrinks the job's pixel buffer in place (bytes_per_pixel bytes a pixel) to
// the preview view size (view_tall: 850 high; view_wide: 1536 wide) or to the
// resize target, and updates width, height and pixel_count. When it does not
// resize it clears resize_target.
void resize_image(uint8_t* pixels, image_job& job);

// The size resize_image would choose, without touching pixels or job.
struct resize_plan {
    bool resize;        // false: the image stays, resize_target becomes 0
    uint16_t target;    // the target that goes into resize_target
    uint32_t width;     // new size when resize is true
    uint32_t height;
};
resize_plan plan_resize(const image_job& job);

// The filters of one axis for one scale factor.
struct lanczos_filter_bank {
    static constexpr int kPhases = 1000;
    static constexpr int kBlockFilters = 256;
    static constexpr int kMaxBlocks = 4;

    lanczos_filter_bank() = default;
    ~lanczos_filter_bank();  // frees the filter blocks
    lanczos_filter_bank(const lanczos_filter_bank&) = delete;
    lanczos_filter_bank& operator=(const lanczos_filter_bank&) = delete;

    int taps = 0;              // 2 x half_width
    double u = 0, w = 0;       // angular factors of the kernel
    double support = 0;        // kernel half-width in source pixels
    int half_width = 0;        // taps on each side
    int phases = kPhases;
    size_t floats_per_filter = 0;  // taps x channels rounded up to 4
    int channels = 0;
    const float* phase_cache[kPhases + 1] = {};
    float* blocks[kMaxBlocks] = {};
    size_t block_floats = 0;   // size of each allocated block
    int filters_made = 0;
    // Cache key; radius 0 marks a bank that was never built.
    double radius = 0, scale = 0;
    uint64_t generation = 0;   // counts rebuilds, so tables notice them
};

// One output position of an axis: where its taps start and which filter.
struct lanczos_axis_entry {
    size_t byte_offset;    // first tap's position x channels x 4
    const float* filter;
    int64_t position;      // first tap's position in the margin-extended line
};

// The sampling plan of one axis.
struct lanczos_axis_table {
    lanczos_axis_table() = default;
    ~lanczos_axis_table();  // frees the entries
    lanczos_axis_table(const lanczos_axis_table&) = delete;
    lanczos_axis_table& operator=(const lanczos_axis_table&) = delete;

    int64_t left_margin = 0;
    int64_t right_margin = 0;
    lanczos_axis_entry* entries = nullptr;
    size_t capacity = 0;
    bool valid = false;
    // Cache key, with the bank and its generation the entries point into.
    int64_t source_length = 0, output_length = 0;
    double first_position = 0;
    const lanczos_filter_bank* bank = nullptr;
    uint64_t bank_generation = 0;
};

class LanczosResizer {
public:
    LanczosResizer() = default;
    ~LanczosResizer();
    LanczosResizer(const LanczosResizer&) = delete;
    LanczosResizer& operator=(const LanczosResizer&) = delete;

    // Scales src (sw x sh pixels of `channels` interleaved bytes, 1..4) into dst
    // (dw x dh). A stride below 1 means width x channels. A scale factor of 0
    // means source length / destination length; 0 and positive factors move the
    // offset by (k - 1) / 2 so pixel centres line up; a negative factor is used
    // as its magnitude with the offset as given. dst may equal src.
    void resize(const uint8_t* src, int64_t sw, int64_t sh, int64_t src_stride, uint8_t* dst,
                int64_t dw, int64_t dh, int64_t dst_stride, int channels, double kx, double ky,
                double ox, double oy);

    // Sets a bank up for a scale factor and channel count, or keeps it when
    // nothing changed; a rebuilt bank invalidates both axis tables.
    void prepare_bank(lanczos_filter_bank& bank, double scale, int channels);

    // Builds the sampling plan of one axis, or keeps it when the lengths and
    // the first sample position are unchanged.
    void make_filter_table(lanczos_axis_table& table, int64_t source_length, int64_t output_length,
                           double first_position, lanczos_filter_bank& bank);

    // Tests compare the two paths; the SSE2 path is the default where it exists.
    void use_scalar_path(bool scalar) { scalar_ = scalar; }

private:
    const float* filter_for_phase(lanczos_filter_bank& bank, int phase);
    void vertical_pass(const uint8_t* src, int64_t sw, int64_t sh, int64_t src_stride, int64_t dh,
                       int channels, const lanczos_filter_bank& bank, size_t row_floats);
    void horizontal_pass(uint8_t* dst, int64_t sw, int64_t dw, int64_t dh, int64_t dst_stride,
                         int channels, const lanczos_filter_bank& bank, size_t row_floats);
    float* grow(float*& buffer, size_t& capacity, size_t floats);

    float* intermediate_ = nullptr;
    size_t intermediate_capacity_ = 0;
    float* line_ = nullptr;
    size_t line_capacity_ = 0;
    lanczos_filter_bank vertical_bank_;
    lanczos_filter_bank horizontal_bank_;
    lanczos_axis_table vertical_table_;
    lanczos_axis_table horizontal_table_;
    bool scalar_ = false;
};

// Output rows per band of the vertical pass: enough for a working set of
// about 5.5 million bytes, at least 16. Exposed for tests of its arithmetic.
int64_t lanczos_band_rows(int64_t dst_height, uint64_t intermediate_bytes, int64_t src_height,
                          int64_t src_stride);
