#include "core/posterize.h"

#include <cstddef>
#include <cstdlib>

#include "core/fatal.h"
#include "core/image_stats.h"
#include "core/png/codec/codec_state.h"
#include "core/png/codec/encode.h"
#include "core/png/encoder_settings.h"
#include "core/png/codec/palette_order.h"
#include "core/png/codec/quantize.h"
#include "core/png/transparent_colour.h"
#include "core/resample.h"
#include "core/transparency.h"

namespace {

// Quality bands for the step when "-q=" was given: {lowest quality, step}.
struct step_band {
    uint8_t from;
    uint8_t step;
};
static const step_band kStepBands[] = {{100, 2}, {96, 3}, {92, 4}, {88, 5}, {84, 6}, {80, 7}, {0, 8}};
constexpr int kDefaultStep = 4;
constexpr uint8_t kPrePassMaxQuality = 91;

constexpr int kErrorMargin = 2;  // spare entries at both ends of an error row
constexpr int kChannels = 4;

constexpr uint32_t kProbeSide = 768;
constexpr uint32_t kProbeScaled = 64;
constexpr uint32_t kProbeColourLimit = 150000;
constexpr uint32_t kFlatMaxColours = 149998;
constexpr uint32_t kFlatMinPairs = 3199;
constexpr int kFlatPairDifference = 3;

// Three rows of diffused errors, each (width + 4) x 4 signed values; rows
// rotate so that the oldest becomes the new current row.
class error_rows {
public:
    explicit error_rows(size_t width) : stride_((width + 2 * kErrorMargin) * kChannels) {
        data_ = static_cast<int32_t*>(checked_calloc(3 * stride_, sizeof(int32_t)));
        for (int i = 0; i < 3; ++i) rows_[i] = data_ + i * stride_;
    }
    ~error_rows() { std::free(data_); }
    error_rows(const error_rows&) = delete;
    error_rows& operator=(const error_rows&) = delete;

    // Entry of column x (may be -2 .. width + 1), channel c.
    int32_t* current() { return rows_[0] + kErrorMargin * kChannels; }
    const int32_t* above() const { return rows_[1] + kErrorMargin * kChannels; }
    const int32_t* two_above() const { return rows_[2] + kErrorMargin * kChannels; }

    void next_row() {
        int32_t* oldest = rows_[2];
        rows_[2] = rows_[1];
        rows_[1] = rows_[0];
        rows_[0] = oldest;
    }

private:
    size_t stride_;
    int32_t* data_;
    int32_t* rows_[3];
};

// Sierra weights (sum 32) over the errors already known around column x.
inline int32_t diffused_error(const int32_t* cur, const int32_t* up, const int32_t* up2, ptrdiff_t x, int c) {
    auto e = [x, c](const int32_t* row, int dx) { return row[(x + dx) * kChannels + c]; };
    return 5 * e(cur, -1) + 3 * e(cur, -2) + 2 * e(up, -2) + 4 * e(up, -1) + 5 * e(up, 0) + 4 * e(up, 1) +
           2 * e(up, 2) + 2 * e(up2, -1) + 3 * e(up2, 0) + 2 * e(up2, 1);
}

}  // namespace

int posterize_step(const image_job& job) {
    if (job.quality_default != 0) return kDefaultStep;
    for (const step_band& band : kStepBands)
        if (job.quality >= band.from) return band.step;
    return kDefaultStep;
}

void posterize(uint8_t* pixels, const image_job& job) {
    const int step = posterize_step(job);
    const size_t width = job.width;
    const size_t count = job.pixel_count;
    if (width == 0 || count == 0) return;
    const size_t height = count / width;

    if (job.quality_default == 0 && job.quality <= kPrePassMaxQuality) {
        for (size_t i = 0; i < count; ++i)
            for (int c = 0; c < 3; ++c) {
                uint8_t& v = pixels[i * kChannels + c];
                if (v != 0 && v != 255) --v;
            }
    }
    if (job.may_clean_transparent) blend_transparent_colours(pixels, job);

    error_rows errors(width);
    const size_t row_bytes = width * kChannels;
    for (size_t y = 0; y < height; ++y) {
        uint8_t* row = pixels + y * row_bytes;
        const uint8_t* upper = y ? row - row_bytes : nullptr;
        int32_t* cur = errors.current();
        const int32_t* up = errors.above();
        const int32_t* up2 = errors.two_above();
        for (size_t x = 0; x < width; ++x) {
            for (int c = 0; c < kChannels; ++c) {
                uint8_t& channel = row[x * kChannels + c];
                int32_t& error = cur[x * kChannels + c];
                const int32_t value = channel;
                if (value == 0 || value == 255) {
                    error = 0;
                    continue;
                }
                const int32_t left = x ? row[(x - 1) * kChannels + c] : 0;
                const int32_t above = upper ? upper[x * kChannels + c] : 0;
                const int32_t base = (left + above) / 2;
                int32_t d = diffused_error(cur, up, up2, ptrdiff_t(x), c);
                d = (d >= 0 ? d + 16 : d - 16) / 8192;
                int32_t v;
                if (c < 3) {
                    const int32_t t = value + d - base + step / 2;
                    v = base + step * (t / step);
                } else {
                    const int32_t t = value + d - base + 1;
                    v = base + 2 * (t / 2);
                }
                if (v >= 0 && v <= 255) {
                    channel = uint8_t(v);
                    error = (value - v) * 256;
                } else {
                    error = 0;
                }
            }
        }
        errors.next_row();
    }

    if (job.single_alpha)
        fill_transparent_unused_colour(pixels, job);
    else if (job.may_clean_transparent)
        blend_transparent_colours(pixels, job);
}

void snap_extremes(uint8_t* pixels, const image_job& job) {
    const size_t bpp = job.bytes_per_pixel;
    if (bpp < 3) return;
    for (size_t i = 0, n = job.pixel_count; i < n; ++i) {
        uint8_t* p = pixels + i * bpp;
        const int sum = p[0] + p[1] + p[2];
        if (sum > 755)
            p[0] = p[1] = p[2] = 255;
        else if (sum <= 9)
            p[0] = p[1] = p[2] = 0;
    }
}

void probe_large_image(const uint8_t* pixels, image_job& job) {
    if (job.pixel_count < probe_min_pixels) return;
    const size_t sample_pixels = size_t(kProbeSide) * kProbeSide;
    uint8_t* sample = static_cast<uint8_t*>(checked_malloc(sample_pixels * kChannels));
    for (size_t i = 0; i < sample_pixels; ++i) {
        for (int c = 0; c < 3; ++c) sample[i * kChannels + c] = pixels[i * kChannels + c];
        sample[i * kChannels + 3] = 255;
    }
    {
        LanczosResizer resizer;
        resizer.resize(sample, kProbeSide, kProbeSide, 0, sample, kProbeScaled, kProbeScaled, 0, kChannels, 0, 0,
                       0, 0);
    }
    uint32_t flat_pairs = 0;
    const size_t scaled_pixels = size_t(kProbeScaled) * kProbeScaled;
    for (size_t i = 0; i + 1 < scaled_pixels; ++i) {
        const uint8_t* a = sample + i * kChannels;
        const uint8_t* b = a + kChannels;
        const int difference = (a[0] + a[1] + a[2]) - (b[0] + b[1] + b[2]);
        if (std::abs(difference) <= kFlatPairDifference) ++flat_pairs;
    }
    std::free(sample);

    job.colour_limit = kProbeColourLimit;
    count_colours(pixels, job);
    if (job.colour_count <= kFlatMaxColours && flat_pairs > kFlatMinPairs) job.flat_large_image = 1;
}

void encode_png_palette(std::vector<uint8_t>& out, const uint8_t* pixels, uint8_t uncompressed, image_job& job) {
    out.clear();
    choose_palette_size(job);
    lodepng::State state;

    std::vector<uint8_t> indices;
    uint8_t palette[1024] = {};
    const int32_t palette_bytes = quantize_palette(pixels, indices, palette, job.width, job.height,
                                                   job.max_colours, job.quality, job.is_apng, 0);
    const size_t entries = palette_bytes > 0 ? size_t(palette_bytes) / 4 : 0;
    for (size_t i = 0; i < entries; ++i) {
        uint8_t* entry = palette + 4 * i;
        if (entry[3] == 0) entry[0] = entry[1] = entry[2] = 0;
        uint32_t code = palette_add(state.raw_mode, entry[0], entry[1], entry[2], entry[3]);
        if (code == 0) code = palette_add(state.file_info.colour, entry[0], entry[1], entry[2], entry[3]);
        if (code != 0) {
            job.result = uint8_t(code);
            return;
        }
    }
    state.raw_mode.colour_type = 3;
    state.raw_mode.bit_depth = 8;
    state.file_info.colour.colour_type = 3;
    state.file_info.colour.bit_depth = 8;
    state.encoder.auto_colour = 0;
    state.encoder.filter_strategy_code = 0;
    state.encoder.compression.block_type = uncompressed ? 0 : 2;
    select_deflate_for_level(state, job);

    const png_palette_order order{};
    indices.resize(size_t(job.width) * job.height);
    job.result = uint8_t(encode_png(out, indices, job.width, job.height, state, &order));
}
