#include "core/transparency.h"

#include <cmath>
#include <cstddef>

namespace {

constexpr size_t kBytesPerPixel = 4;

size_t pixel_total(const image_job& job) { return job.pixel_count; }

inline bool is_transparent(const uint8_t* p) { return p[3] == 0; }

inline bool is_empty(const uint8_t* p) { return (p[0] | p[1] | p[2] | p[3]) == 0; }

inline void copy_rgb(uint8_t* to, const uint8_t* from) {
    to[0] = from[0];
    to[1] = from[1];
    to[2] = from[2];
}

inline unsigned rgb_sum(const uint8_t* p) { return unsigned(p[0]) + p[1] + p[2]; }

// One pass along a row in either direction: pixels for which `fill` holds take
// the remembered colour, every other pixel becomes the remembered colour.
template <typename FillTest>
void carry_colour(uint8_t* row, ptrdiff_t first, ptrdiff_t count, ptrdiff_t step, uint8_t* remembered,
                  FillTest fill) {
    for (ptrdiff_t i = 0, x = first; i < count; ++i, x += step) {
        uint8_t* p = row + x * ptrdiff_t(kBytesPerPixel);
        if (fill(p))
            copy_rgb(p, remembered);
        else
            copy_rgb(remembered, p);
    }
}

// Both row passes of the propagation, the remembered colour carried from row to row.
template <typename FillTest>
void propagate_rows(uint8_t* pixels, size_t width, size_t height, FillTest fill) {
    uint8_t remembered[3] = {0, 0, 0};
    const size_t row_bytes = width * kBytesPerPixel;
    for (size_t y = 0; y < height; ++y) {
        uint8_t* row = pixels + y * row_bytes;
        carry_colour(row, 0, ptrdiff_t(width), 1, remembered, fill);
        if (width > 1) carry_colour(row, ptrdiff_t(width) - 2, ptrdiff_t(width) - 1, -1, remembered, fill);
    }
}

}  // namespace

void settle_colour_flags(image_job& job) {
    if (!job.has_icc) {
        job.srgb = 0;
        job.keep_icc = 0;
    } else if (job.srgb) {
        job.keep_icc = 0;  // the converted image gets no profile
    }
    if (job.metadata_mode == 2) job.keep_icc = 0;
    if (job.is_grey) {
        job.srgb = 0;
        job.has_icc = 0;
    }
    if (job.translucent_count == 0) job.single_alpha = 0;
}

void decide_transparent_cleanup(image_job& job) {
    const bool trns = job.trns_length != 0;
    if (job.translucent_count == 0) {
        job.may_clean_transparent = (trns && !job.noalpha) ? 1 : 0;
    } else if (job.noalpha) {
        job.may_clean_transparent = 0;
    } else {
        if (job.smooth) job.may_clean_transparent = 0;
        if (trns) job.may_clean_transparent = 1;
    }
}

void fill_transparent(uint8_t* pixels, uint8_t r, uint8_t g, uint8_t b, const image_job& job) {
    const size_t n = pixel_total(job);
    for (size_t i = 0; i < n; ++i) {
        uint8_t* p = pixels + i * kBytesPerPixel;
        if (is_transparent(p)) {
            p[0] = r;
            p[1] = g;
            p[2] = b;
        }
    }
}

void propagate_transparent(uint8_t* pixels, const image_job& job) {
    propagate_rows(pixels, job.width, job.height, is_transparent);
}

void propagate_transparent_2d(uint8_t* pixels, const image_job& job) {
    const size_t width = job.width, height = job.height;
    const size_t n = width * height;
    size_t transparent = 0;
    for (size_t i = 0; i < n; ++i) {
        uint8_t* p = pixels + i * kBytesPerPixel;
        if (is_transparent(p)) {
            p[0] = p[1] = p[2] = 0;
            ++transparent;
        }
    }
    if (transparent == 0) return;  // the passes below change only transparent pixels
    // A transparent pixel the left-to-right pass could only fill with black
    // stays empty, so the right-to-left pass fills it from its right.
    propagate_rows(pixels, width, height, is_empty);
    if (height < 2) return;

    // Columns are independent, so each vertical pass runs row by row over all
    // columns at once; every comparison sees the values the pass already wrote.
    const size_t row_bytes = width * kBytesPerPixel;
    for (size_t y = 1; y < height; ++y) {
        uint8_t* row = pixels + y * row_bytes;
        const uint8_t* above = row - row_bytes;
        for (size_t x = 0; x < width; ++x) {
            uint8_t* p = row + x * kBytesPerPixel;
            const uint8_t* q = above + x * kBytesPerPixel;
            if (is_transparent(p) && rgb_sum(q) >= rgb_sum(p)) copy_rgb(p, q);
        }
    }
    for (size_t y = height - 1; y-- > 0;) {
        uint8_t* row = pixels + y * row_bytes;
        const uint8_t* below = row + row_bytes;
        for (size_t x = 0; x < width; ++x) {
            uint8_t* p = row + x * kBytesPerPixel;
            const uint8_t* q = below + x * kBytesPerPixel;
            if (is_transparent(p) && rgb_sum(q) >= rgb_sum(p)) copy_rgb(p, q);
        }
    }
}

void blend_transparent_colours(uint8_t* pixels, const image_job& job) {
    const size_t width = job.width, height = job.height;
    const size_t row_bytes = width * kBytesPerPixel;
    uint8_t remembered[3] = {0, 0, 0};
    // First row: runs of transparent pixels fade towards black.
    for (size_t x = 0; x < width; ++x) {
        uint8_t* p = pixels + x * kBytesPerPixel;
        if (is_transparent(p)) {
            for (int c = 0; c < 3; ++c) remembered[c] = uint8_t(remembered[c] / 2);
            copy_rgb(p, remembered);
        } else {
            copy_rgb(remembered, p);
        }
    }
    // Further rows: the mean of the pixel above and the colour on the left.
    for (size_t y = 1; y < height; ++y) {
        uint8_t* row = pixels + y * row_bytes;
        remembered[0] = remembered[1] = remembered[2] = 0;
        for (size_t x = 0; x < width; ++x) {
            uint8_t* p = row + x * kBytesPerPixel;
            if (is_transparent(p)) {
                const uint8_t* above = p - row_bytes;
                for (int c = 0; c < 3; ++c) remembered[c] = uint8_t((above[c] + remembered[c]) / 2);
                copy_rgb(p, remembered);
            } else {
                copy_rgb(remembered, p);
            }
        }
    }
}

void flatten_alpha(uint8_t* pixels, const image_job& job) {
    const size_t n = pixel_total(job);
    for (size_t i = 0; i < n; ++i) {
        uint8_t* p = pixels + i * kBytesPerPixel;
        const uint8_t alpha = p[3];
        if (alpha == 255) continue;
        if (alpha == 0) {
            p[0] = p[1] = p[2] = p[3] = 255;
            continue;
        }
        // Single precision throughout, halves rounded away from zero.
        const float percent = std::roundf(float(alpha) * 0.3921569f);
        const float white_share = (100.0f - percent) * 255.0f;
        for (int c = 0; c < 3; ++c)
            p[c] = uint8_t(std::roundf((float(p[c]) * percent + white_share) * 0.01f));
        p[3] = 255;
    }
}
