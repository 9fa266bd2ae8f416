#include "core/jpg/jpeg_lossy_decisions.h"

#include <cmath>

namespace {

// Resize targets the decoder's scaling serves; outside them nothing is resized.
const uint16_t min_resize_target = 24;
const uint16_t max_resize_target = 4096;

// Spike test: a window whose last byte stands this far above the sum of its
// first two.
const int spike_margin = 52;

// Same-window percentage above which an image with at most one spike keeps
// full-resolution chroma, and at or below which a spiky image loses 3 quality.
const uint64_t flat_same_percent = 69;
const uint64_t spiky_same_percent = 68;
const uint64_t max_quality_spikes = 28;

// Rounds half away from zero, in single precision as the scaled sizes are.
inline float round_half_away(float x) { return std::round(x); }

inline uint64_t as_percent(uint64_t count, uint64_t n) {
    if (n == 0) return 0;
    const uint64_t p = count * 100 / n;
    return p > 100 ? 100 : p;
}

}  // namespace

void choose_dct_scale(image_job& job) {
    const float d = float(job.resize_target);
    const float w = float(job.width), h = float(job.height);
    for (int denominator : {8, 4, 2}) {
        if (round_half_away(w / float(denominator)) > d || round_half_away(h / float(denominator)) > d) {
            job.dct_scale = uint8_t(denominator);
            break;
        }
    }
    const uint32_t longer = job.width >= job.height ? job.width : job.height;
    if (job.resize_target >= longer || job.resize_target < min_resize_target ||
        job.resize_target > max_resize_target) {
        job.dct_scale = 1;
        job.resize_target = 0;
    }
}

void clamp_jpeg_quality(image_job& job) {
    if (job.quality > 98) {
        job.quality = 99;
        return;
    }
    const uint8_t floor = job.photo_like ? 70 : 80;
    if (job.quality < floor) job.quality = floor;
}

void measure_jpeg_pixels(const uint8_t* pixels, size_t length, image_job& job) {
    const size_t c = job.bytes_per_pixel;
    const uint64_t n = job.pixel_count;
    auto at = [&](size_t i) -> int { return i < length ? pixels[i] : 0; };
    uint64_t changed = 0, same = 0, spikes = 0;
    bool grey = job.is_grey != 0;
    for (uint64_t i = 0; i < n; ++i) {
        const size_t base = size_t(i) * c;
        const int w0 = at(base + 1), w1 = at(base + 2), w2 = at(base + 3);
        const int v0 = at(base + c + 1), v1 = at(base + c + 2), v2 = at(base + c + 3);
        if (v0 != w0 || v1 != w1 || v2 != w2)
            ++changed;
        else
            ++same;
        if (grey && (at(base) != w0 || at(base) != w1)) grey = false;
        if (w2 >= w0 + w1 + spike_margin) {
            if ((v0 > v1 && v0 > v2) || (v1 > v0 && v1 > v2)) ++spikes;
            if (w2 > v0 + v1 + v2) ++spikes;
        }
    }
    job.stat_changed = changed;
    job.stat_same = same;
    job.stat_saturated = spikes;
    job.is_grey = grey ? 1 : 0;

    if (job.is_grey) job.srgb = 0;
    job.stat_changed = as_percent(changed, n);
    job.stat_same = as_percent(same, n);
    if (job.stat_same < job.stat_changed) job.photo_like = 1;
}

void note_chroma_sampling(image_job& job, int luma_h_factor, int luma_v_factor) {
    if (luma_h_factor == 2 || luma_v_factor == 2) job.chroma_subsampled = 1;
}

int choose_chroma_mode(image_job& job, int source_components) {
    const uint64_t spikes = job.stat_saturated, same = job.stat_same;
    int mode;
    if (spikes <= 1) {
        mode = same > flat_same_percent ? SJPEG_YUV_444 : SJPEG_YUV_420;
    } else if (spikes <= max_quality_spikes) {
        mode = SJPEG_YUV_444;
        if (same <= spiky_same_percent && job.quality_default && job.quality > 3) job.quality -= 3;
    } else {
        mode = SJPEG_YUV_444;
    }
    if (job.force_grey || source_components == 1 || job.is_grey) mode = SJPEG_YUV_400;
    if (job.chroma_subsampled) mode = SJPEG_YUV_420;
    return mode;
}

void set_lossy_encoder_param(image_job& job, int source_components, sjpeg::EncoderParam& param) {
    param.yuv_mode = choose_chroma_mode(job, source_components);
    param.Huffman_compress = job.jpeg_level != 0;
    param.adaptive_quantization = true;
    param.adaptive_bias = true;
    param.use_trellis = true;
    clamp_jpeg_quality(job);
    param.SetQuality(float(job.quality));
}
