#include "core/resample.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#define VELTO_RESAMPLE_SSE2 1
#endif

#include "core/fatal.h"
#include "core/transparency.h"

namespace {

constexpr double kRadius = 3.0;
constexpr double kPi = 3.14159265358979323846;
// Below this distance the kernel takes its limit at 0.
constexpr double kKernelZero = 1.0 / 4398046511104.0;  // 2^-42

constexpr int64_t kMinTarget = 24;
constexpr int64_t kMaxTarget = 4096;
constexpr uint16_t kViewTallTarget = 850;
constexpr uint16_t kViewWideTarget = 1536;
// Pixels whose alpha is at most this after scaling become fully transparent.
constexpr uint8_t kFaintAlpha = 5;

constexpr uint64_t kBandWorkingSetBytes = 5500000;
constexpr int64_t kMinBandRows = 16;
// Dot products read whole groups of four floats, up to three past the last
// tap; every buffer they read keeps this many zeroed floats at its end.
constexpr size_t kSlackFloats = 4;

float* aligned_floats(size_t count) {
    if (count > (SIZE_MAX - 64) / sizeof(float)) fatal_exit();
    const size_t bytes = (count * sizeof(float) + 15) & ~size_t(15);
    void* p = std::aligned_alloc(16, bytes ? bytes : 16);
    if (!p) fatal_exit();
    return static_cast<float*>(p);
}

// ---- dot products ----------------------------------------------------------
//
// A filter of taps x channels floats (padded with zeros to whole groups of
// four) is multiplied with as many consecutive floats of a line. Products go
// into four-float accumulators in order; with three channels three
// accumulators take turns so that every lane keeps one channel. Afterwards
// the lanes of each channel are added in lane order. Both paths below do
// exactly these float operations, so they give the same bits.

inline int accumulator_groups(int channels) { return channels == 3 ? 3 : 1; }

void combine_lanes(const float acc[3][4], int channels, float* out) {
    const int groups = accumulator_groups(channels);
    for (int c = 0; c < channels; ++c) {
        bool first = true;
        float sum = 0.0f;
        for (int a = 0; a < groups; ++a)
            for (int l = 0; l < 4; ++l)
                if ((4 * a + l) % channels == c) {
                    sum = first ? acc[a][l] : sum + acc[a][l];
                    first = false;
                }
        out[c] = sum;
    }
}

void dot_scalar(const float* filter, const float* data, size_t groups_of_four, int channels,
                float* out) {
    const int groups = accumulator_groups(channels);
    float acc[3][4] = {};
    int a = 0;
    for (size_t v = 0; v < groups_of_four; ++v) {
        for (int l = 0; l < 4; ++l) acc[a][l] += filter[4 * v + l] * data[4 * v + l];
        if (++a == groups) a = 0;
    }
    combine_lanes(acc, channels, out);
}

#if VELTO_RESAMPLE_SSE2
void dot_sse2(const float* filter, const float* data, size_t groups_of_four, int channels,
              float* out) {
    if (channels == 4) {
        __m128 acc = _mm_setzero_ps();
        for (size_t v = 0; v < groups_of_four; ++v)
            acc = _mm_add_ps(acc, _mm_mul_ps(_mm_load_ps(filter + 4 * v), _mm_loadu_ps(data + 4 * v)));
        _mm_storeu_ps(out, acc);
        return;
    }
    float acc[3][4];
    if (channels == 3) {
        __m128 a0 = _mm_setzero_ps(), a1 = _mm_setzero_ps(), a2 = _mm_setzero_ps();
        size_t v = 0;
        for (; v + 3 <= groups_of_four; v += 3) {
            a0 = _mm_add_ps(a0, _mm_mul_ps(_mm_load_ps(filter + 4 * v), _mm_loadu_ps(data + 4 * v)));
            a1 = _mm_add_ps(a1, _mm_mul_ps(_mm_load_ps(filter + 4 * v + 4), _mm_loadu_ps(data + 4 * v + 4)));
            a2 = _mm_add_ps(a2, _mm_mul_ps(_mm_load_ps(filter + 4 * v + 8), _mm_loadu_ps(data + 4 * v + 8)));
        }
        if (v < groups_of_four)
            a0 = _mm_add_ps(a0, _mm_mul_ps(_mm_load_ps(filter + 4 * v), _mm_loadu_ps(data + 4 * v)));
        if (v + 1 < groups_of_four)
            a1 = _mm_add_ps(a1, _mm_mul_ps(_mm_load_ps(filter + 4 * v + 4), _mm_loadu_ps(data + 4 * v + 4)));
        _mm_storeu_ps(acc[0], a0);
        _mm_storeu_ps(acc[1], a1);
        _mm_storeu_ps(acc[2], a2);
    } else {
        __m128 a0 = _mm_setzero_ps();
        for (size_t v = 0; v < groups_of_four; ++v)
            a0 = _mm_add_ps(a0, _mm_mul_ps(_mm_load_ps(filter + 4 * v), _mm_loadu_ps(data + 4 * v)));
        _mm_storeu_ps(acc[0], a0);
    }
    combine_lanes(acc, channels, out);
}

// Four RGBA outputs at once: the same operations per output as dot_sse2, in
// four independent chains so the adds do not wait on each other.
void dot_rgba_sse2_x4(const float* const filter[4], const float* const data[4], size_t groups_of_four,
                      float* const out[4]) {
    __m128 a0 = _mm_setzero_ps(), a1 = _mm_setzero_ps(), a2 = _mm_setzero_ps(), a3 = _mm_setzero_ps();
    for (size_t v = 0; v < groups_of_four; ++v) {
        const size_t o = 4 * v;
        a0 = _mm_add_ps(a0, _mm_mul_ps(_mm_load_ps(filter[0] + o), _mm_loadu_ps(data[0] + o)));
        a1 = _mm_add_ps(a1, _mm_mul_ps(_mm_load_ps(filter[1] + o), _mm_loadu_ps(data[1] + o)));
        a2 = _mm_add_ps(a2, _mm_mul_ps(_mm_load_ps(filter[2] + o), _mm_loadu_ps(data[2] + o)));
        a3 = _mm_add_ps(a3, _mm_mul_ps(_mm_load_ps(filter[3] + o), _mm_loadu_ps(data[3] + o)));
    }
    _mm_storeu_ps(out[0], a0);
    _mm_storeu_ps(out[1], a1);
    _mm_storeu_ps(out[2], a2);
    _mm_storeu_ps(out[3], a3);
}
#endif

// ---- float to bytes ----------------------------------------------------------
//
// Whole groups of four are clamped to 0..255 and rounded to nearest, ties to
// even (the SSE2 conversion under the default rounding mode); the last values
// of a row that do not fill a group are rounded half up.

inline uint8_t round_even_clamped(float v) {
    v = v < 0.0f ? 0.0f : v;
    v = v > 255.0f ? 255.0f : v;
    const float whole = std::floor(v);
    const float rest = v - whole;  // exact in this range
    int i = int(whole);
    if (rest > 0.5f || (rest == 0.5f && (i & 1))) ++i;
    return uint8_t(i);
}

inline uint8_t round_half_up(float v) {
    if (!(v >= 0.5f)) return 0;
    const float t = v + 0.5f;
    if (t >= 256.0f) return 255;
    return uint8_t(int(t));
}

void to_bytes_scalar(const float* in, size_t count, uint8_t* out) {
    const size_t whole = count & ~size_t(3);
    for (size_t i = 0; i < whole; ++i) out[i] = round_even_clamped(in[i]);
    for (size_t i = whole; i < count; ++i) out[i] = round_half_up(in[i]);
}

#if VELTO_RESAMPLE_SSE2
void to_bytes_sse2(const float* in, size_t count, uint8_t* out) {
    const __m128 lo = _mm_setzero_ps(), hi = _mm_set1_ps(255.0f);
    auto convert = [&](size_t i) {
        return _mm_cvtps_epi32(_mm_min_ps(_mm_max_ps(_mm_loadu_ps(in + i), lo), hi));
    };
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m128i a = _mm_packs_epi32(convert(i), convert(i + 4));
        const __m128i b = _mm_packs_epi32(convert(i + 8), convert(i + 12));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(a, b));
    }
    for (; i + 4 <= count; i += 4) {
        const __m128i a = _mm_packs_epi32(convert(i), _mm_setzero_si128());
        const int32_t four = _mm_cvtsi128_si32(_mm_packus_epi16(a, a));
        std::memcpy(out + i, &four, 4);
    }
    for (; i < count; ++i) out[i] = round_half_up(in[i]);
}
#endif

// ---- kernel ------------------------------------------------------------------

// Fills `out` with the filter of one phase: taps x channels floats, each tap
// repeated once per channel, then zeros up to floats_per_filter.
void compute_filter(const lanczos_filter_bank& bank, int phase, float* out) {
    const int taps = bank.taps, hw = bank.half_width, channels = bank.channels;
    const double frac = double(phase) / double(bank.phases);
    const double t0 = double(1 - hw) - frac;

    // sin(a(n+1) + f) = 2 cos(a) sin(an + f) - sin(a(n-1) + f), per factor.
    const double two_cos_u = 2.0 * std::cos(bank.u), two_cos_w = 2.0 * std::cos(bank.w);
    double su_prev = std::sin(bank.u * t0), su = std::sin(bank.u * t0 + bank.u);
    double sw_prev = std::sin(bank.w * t0), sw = std::sin(bank.w * t0 + bank.w);

    // The taps go to the front of `out` first and are spread over the
    // channels afterwards, last tap first, so nothing is overwritten early.
    double sum = 0.0;
    for (int j = 0; j < taps; ++j) {
        double sin_u, sin_w;
        if (j == 0) {
            sin_u = su_prev;
            sin_w = sw_prev;
        } else if (j == 1) {
            sin_u = su;
            sin_w = sw;
        } else {
            const double nu = two_cos_u * su - su_prev, nw = two_cos_w * sw - sw_prev;
            su_prev = su;
            su = nu;
            sw_prev = sw;
            sw = nw;
            sin_u = su;
            sin_w = sw;
        }
        const double t = double(j - hw + 1) - frac;
        double k = std::fabs(t) < kKernelZero ? bank.u * bank.w : sin_u * sin_w / (t * t);
        if ((j == 0 && t < -bank.support) || (j == taps - 1 && t > bank.support)) k = 0.0;
        out[j] = float(k);
        sum += double(out[j]);
    }
    const double inverse = 1.0 / sum;
    for (int j = 0; j < taps; ++j) out[j] = float(double(out[j]) * inverse);
    for (int j = taps - 1; j >= 0; --j) {
        const float tap = out[j];
        for (int c = channels - 1; c >= 0; --c) out[size_t(j) * channels + c] = tap;
    }
    for (size_t i = size_t(taps) * channels; i < bank.floats_per_filter; ++i) out[i] = 0.0f;
}

inline int64_t clamp64(int64_t v, int64_t lo, int64_t hi) { return v < lo ? lo : (v > hi ? hi : v); }

}  // namespace

int64_t lanczos_band_rows(int64_t dst_height, uint64_t intermediate_bytes, int64_t src_height,
                          int64_t src_stride) {
    const uint64_t working = intermediate_bytes + 1 + uint64_t(src_height) * uint64_t(src_stride);
    const uint64_t rows = uint64_t(dst_height) * kBandWorkingSetBytes / working;
    return rows < uint64_t(kMinBandRows) ? kMinBandRows : int64_t(rows);
}

// ---- resizer -------------------------------------------------------------------

lanczos_filter_bank::~lanczos_filter_bank() {
    for (float* block : blocks) std::free(block);
}

lanczos_axis_table::~lanczos_axis_table() { std::free(entries); }

LanczosResizer::~LanczosResizer() {
    std::free(intermediate_);
    std::free(line_);
}

float* LanczosResizer::grow(float*& buffer, size_t& capacity, size_t floats) {
    if (floats > capacity) {
        std::free(buffer);
        buffer = aligned_floats(floats);
        capacity = floats;
    }
    return buffer;
}

void LanczosResizer::prepare_bank(lanczos_filter_bank& bank, double scale, int channels) {
    if (bank.radius == kRadius && bank.scale == scale && bank.channels == channels) return;
    if (scale <= 1.0) {
        bank.u = kPi;
        bank.w = kPi / kRadius;
        bank.support = kRadius;
        bank.half_width = int(kRadius);
    } else {
        bank.u = kPi / scale;
        bank.w = kPi / (kRadius * scale);
        bank.support = kRadius * scale;
        bank.half_width = int(std::ceil(kRadius * scale));
    }
    bank.taps = 2 * bank.half_width;
    bank.channels = channels;
    bank.floats_per_filter = (size_t(bank.taps) * size_t(channels) + 3) & ~size_t(3);
    const size_t block_floats = bank.floats_per_filter * lanczos_filter_bank::kBlockFilters + 16;
    if (block_floats != bank.block_floats) {
        for (float*& block : bank.blocks) {
            std::free(block);
            block = nullptr;
        }
        bank.block_floats = block_floats;
    }
    std::fill(std::begin(bank.phase_cache), std::end(bank.phase_cache), nullptr);
    bank.filters_made = 0;
    bank.radius = kRadius;
    bank.scale = scale;
    ++bank.generation;
    vertical_table_.valid = false;
    horizontal_table_.valid = false;
}

const float* LanczosResizer::filter_for_phase(lanczos_filter_bank& bank, int phase) {
    if (const float* cached = bank.phase_cache[phase]) return cached;
    const int block = bank.filters_made / lanczos_filter_bank::kBlockFilters;
    const int slot = bank.filters_made % lanczos_filter_bank::kBlockFilters;
    if (!bank.blocks[block]) bank.blocks[block] = aligned_floats(bank.block_floats);
    float* filter = bank.blocks[block] + size_t(slot) * bank.floats_per_filter;
    compute_filter(bank, phase, filter);
    ++bank.filters_made;
    bank.phase_cache[phase] = filter;
    return filter;
}

void LanczosResizer::make_filter_table(lanczos_axis_table& table, int64_t source_length,
                                       int64_t output_length, double first_position,
                                       lanczos_filter_bank& bank) {
    if (table.valid && table.source_length == source_length && table.output_length == output_length &&
        table.first_position == first_position && table.bank == &bank &&
        table.bank_generation == bank.generation)
        return;
    if (size_t(output_length) > table.capacity) {
        std::free(table.entries);
        table.entries = static_cast<lanczos_axis_entry*>(
            checked_malloc(size_t(output_length) * sizeof(lanczos_axis_entry)));
        table.capacity = size_t(output_length);
    }
    const double k = bank.scale;
    const int64_t hw = bank.half_width;
    const double first_x = first_position;
    const double last_x = first_position + double(output_length - 1) * k;
    table.left_margin = std::max<int64_t>(0, hw - 1 - int64_t(std::floor(first_x)));
    table.right_margin = std::max<int64_t>(0, hw + int64_t(std::floor(last_x)) + 1 - source_length);
    for (int64_t i = 0; i < output_length; ++i) {
        const double x = first_position + double(i) * k;
        const double cell = std::floor(x);
        const int64_t phase = clamp64(int64_t(std::floor((x - cell) * 1000.0 + 0.5)), 0, bank.phases);
        lanczos_axis_entry& e = table.entries[i];
        e.position = int64_t(cell) - hw + 1 + table.left_margin;
        e.byte_offset = size_t(e.position) * size_t(bank.channels) * sizeof(float);
        e.filter = filter_for_phase(bank, int(phase));
    }
    table.source_length = source_length;
    table.output_length = output_length;
    table.first_position = first_position;
    table.bank = &bank;
    table.bank_generation = bank.generation;
    table.valid = true;
}

void LanczosResizer::resize(const uint8_t* src, int64_t sw, int64_t sh, int64_t src_stride,
                            uint8_t* dst, int64_t dw, int64_t dh, int64_t dst_stride, int channels,
                            double kx, double ky, double ox, double oy) {
    if (dw < 1 || dh < 1 || channels < 1 || channels > 4) return;
    if (dst_stride < 1) dst_stride = dw * channels;
    if (sw < 1 || sh < 1) {
        std::memset(dst, 0, size_t(dst_stride) * size_t(dh));
        return;
    }
    if (src_stride < 1) src_stride = sw * channels;

    auto settle = [](double& k, double& offset, int64_t source, int64_t output) {
        if (k == 0.0) {
            k = double(source) / double(output);
            offset += (k - 1.0) / 2.0;
        } else if (k > 0.0) {
            offset += (k - 1.0) / 2.0;
        } else {
            k = -k;
        }
    };
    settle(kx, ox, sw, dw);
    settle(ky, oy, sh, dh);

    prepare_bank(vertical_bank_, ky, channels);
    lanczos_filter_bank* across = &vertical_bank_;
    if (kx != ky) {
        prepare_bank(horizontal_bank_, kx, channels);
        across = &horizontal_bank_;
    }
    make_filter_table(horizontal_table_, sw, dw, ox, *across);
    make_filter_table(vertical_table_, sh, dh, oy, vertical_bank_);

    // Each intermediate row keeps a pad for the reads past its last tap.
    const size_t row_floats =
        size_t(horizontal_table_.left_margin + sw + horizontal_table_.right_margin) * size_t(channels) +
        kSlackFloats;
    grow(intermediate_, intermediate_capacity_, row_floats * size_t(dh));
    vertical_pass(src, sw, sh, src_stride, dh, channels, vertical_bank_, row_floats);
    horizontal_pass(dst, sw, dw, dh, dst_stride, channels, *across, row_floats);
}

void LanczosResizer::vertical_pass(const uint8_t* src, int64_t sw, int64_t sh, int64_t src_stride,
                                   int64_t dh, int channels, const lanczos_filter_bank& bank,
                                   size_t row_floats) {
    const lanczos_axis_table& table = vertical_table_;
    const int64_t top = table.left_margin;
    const size_t ch = size_t(channels);
    const size_t groups_of_four = bank.floats_per_filter / 4;
    const size_t column_offset = size_t(horizontal_table_.left_margin) * ch;
    const int64_t band =
        lanczos_band_rows(dh, uint64_t(row_floats - kSlackFloats) * uint64_t(dh) * sizeof(float), sh, src_stride);
#if VELTO_RESAMPLE_SSE2
    const bool simd = !scalar_;
#endif

    for (int64_t first = 0; first < dh; first += band) {
        const int64_t last = std::min(dh, first + band);  // exclusive
        const int64_t start = table.entries[first].position;
        const int64_t span = table.entries[last - 1].position + bank.taps - start;
        float* line = grow(line_, line_capacity_, size_t(span) * ch + kSlackFloats);
        std::memset(line + size_t(span) * ch, 0, kSlackFloats * sizeof(float));

        for (int64_t x = 0; x < sw; ++x) {
            // The column over the band's source rows, edge rows repeated over the margins.
            const uint8_t* column = src + size_t(x) * ch;
            for (int64_t q = 0; q < span; ++q) {
                const int64_t row = clamp64(start + q - top, 0, sh - 1);
                const uint8_t* p = column + size_t(row) * size_t(src_stride);
                float* to = line + size_t(q) * ch;
                for (size_t c = 0; c < ch; ++c) to[c] = float(p[c]);
            }
            float* out_column = intermediate_ + column_offset + size_t(x) * ch;
            int64_t i = first;
#if VELTO_RESAMPLE_SSE2
            if (simd && channels == 4) {
                for (; i + 4 <= last; i += 4) {
                    const float* filters[4];
                    const float* data[4];
                    float* outs[4];
                    for (int n = 0; n < 4; ++n) {
                        const lanczos_axis_entry& e = table.entries[i + n];
                        filters[n] = e.filter;
                        data[n] = line + size_t(e.position - start) * ch;
                        outs[n] = out_column + size_t(i + n) * row_floats;
                    }
                    dot_rgba_sse2_x4(filters, data, groups_of_four, outs);
                }
            }
#endif
            for (; i < last; ++i) {
                const lanczos_axis_entry& e = table.entries[i];
                const float* data = line + size_t(e.position - start) * ch;
                float* out = out_column + size_t(i) * row_floats;
#if VELTO_RESAMPLE_SSE2
                if (simd) {
                    dot_sse2(e.filter, data, groups_of_four, channels, out);
                    continue;
                }
#endif
                dot_scalar(e.filter, data, groups_of_four, channels, out);
            }
        }
    }
}

void LanczosResizer::horizontal_pass(uint8_t* dst, int64_t sw, int64_t dw, int64_t dh,
                                     int64_t dst_stride, int channels,
                                     const lanczos_filter_bank& bank, size_t row_floats) {
    const lanczos_axis_table& table = horizontal_table_;
    const size_t ch = size_t(channels);
    const size_t left = size_t(table.left_margin), right = size_t(table.right_margin);
    const size_t groups_of_four = bank.floats_per_filter / 4;
    const size_t out_floats = size_t(dw) * ch;
    float* line = grow(line_, line_capacity_, out_floats + kSlackFloats);
#if VELTO_RESAMPLE_SSE2
    const bool simd = !scalar_;
#endif

    for (int64_t y = 0; y < dh; ++y) {
        float* row = intermediate_ + size_t(y) * row_floats;
        const float* first_pixel = row + left * ch;
        for (size_t q = 0; q < left; ++q) std::memcpy(row + q * ch, first_pixel, ch * sizeof(float));
        const float* last_pixel = row + (left + size_t(sw) - 1) * ch;
        for (size_t q = 0; q < right; ++q)
            std::memcpy(row + (left + size_t(sw) + q) * ch, last_pixel, ch * sizeof(float));
        std::memset(row + row_floats - kSlackFloats, 0, kSlackFloats * sizeof(float));

        int64_t x = 0;
#if VELTO_RESAMPLE_SSE2
        if (simd && channels == 4) {
            for (; x + 4 <= dw; x += 4) {
                const float* filters[4];
                const float* data[4];
                float* outs[4];
                for (int n = 0; n < 4; ++n) {
                    const lanczos_axis_entry& e = table.entries[x + n];
                    filters[n] = e.filter;
                    data[n] = row + e.byte_offset / sizeof(float);
                    outs[n] = line + size_t(x + n) * ch;
                }
                dot_rgba_sse2_x4(filters, data, groups_of_four, outs);
            }
        }
#endif
        for (; x < dw; ++x) {
            const lanczos_axis_entry& e = table.entries[x];
            const float* data = row + e.byte_offset / sizeof(float);
            float* out = line + size_t(x) * ch;
#if VELTO_RESAMPLE_SSE2
            if (simd) {
                dot_sse2(e.filter, data, groups_of_four, channels, out);
                continue;
            }
#endif
            dot_scalar(e.filter, data, groups_of_four, channels, out);
        }
        uint8_t* out_row = dst + size_t(y) * size_t(dst_stride);
#if VELTO_RESAMPLE_SSE2
        if (simd) {
            to_bytes_sse2(line, out_floats, out_row);
            continue;
        }
#endif
        to_bytes_scalar(line, out_floats, out_row);
    }
}

// ---- new size ------------------------------------------------------------------

resize_plan plan_resize(const image_job& job) {
    resize_plan plan{false, 0, 0, 0};
    const float w = float(job.width), h = float(job.height);
    const int64_t frames = job.frame_count;
    bool by_height;
    if (job.view_tall) {
        plan.target = kViewTallTarget;
        by_height = true;
    } else {
        plan.target = job.view_wide ? kViewWideTarget : job.resize_target;
        by_height = h >= w || frames > 1;
    }
    if (job.width == 0 || job.height == 0) return plan;

    const int64_t target = plan.target;
    int64_t new_w, new_h;
    if (by_height) {
        new_h = std::max<int64_t>(frames, 1) * target;  // every frame of a strip gets height T
        new_w = int64_t(std::round((w / h) * float(new_h)));
    } else {
        new_w = target;
        new_h = int64_t(std::round((h / w) * float(target)));
    }
    const int64_t longer = job.width >= job.height ? job.width : job.height;
    const bool shrinks = by_height ? new_h < int64_t(job.height) : new_w < int64_t(job.width);
    if (target >= longer || target < kMinTarget || target > kMaxTarget || !shrinks) return plan;
    // The side that follows the aspect ratio is kept between one pixel (a
    // long, thin image would round it to 0) and its old length (rounding may
    // not grow it): the side that was asked for always ends at the target.
    if (by_height)
        new_w = std::clamp<int64_t>(new_w, 1, job.width);
    else
        new_h = std::clamp<int64_t>(new_h, 1, job.height);
    plan.width = uint32_t(new_w);
    plan.height = uint32_t(new_h);
    plan.resize = true;
    return plan;
}

void resize_image(uint8_t* pixels, image_job& job) {
    const resize_plan plan = plan_resize(job);
    const int channels = job.bytes_per_pixel;
    if (!plan.resize || channels < 1 || channels > 4) {
        job.resize_target = 0;
        return;
    }
    job.resize_target = plan.target;

    const bool clean = job.may_clean_transparent && channels == 4;
    if (clean) propagate_transparent_2d(pixels, job);

    LanczosResizer resizer;
    resizer.resize(pixels, job.width, job.height, 0, pixels, plan.width, plan.height, 0, channels, 0.0, 0.0,
                   0.0, 0.0);
    job.width = plan.width;
    job.height = plan.height;
    job.pixel_count = uint32_t(uint64_t(plan.width) * uint64_t(plan.height));

    if (clean) {
        const size_t n = size_t(job.pixel_count);
        for (size_t i = 0; i < n; ++i)
            if (pixels[i * 4 + 3] <= kFaintAlpha) pixels[i * 4 + 3] = 0;
    }
}
