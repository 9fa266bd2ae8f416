// Decisions of the lossy JPEG road on small synthetic images: decoder
// scaling for resize targets, quality floors and ceiling, the statistics and
// the chroma layout they lead to.
#include <gtest/gtest.h>

#include <array>
#include <iterator>
#include <vector>

#include "core/jpg/jpeg_lossy_decisions.h"

namespace {

image_job fresh_job() {
    image_job job{};
    job.dct_scale = 1;
    job.is_grey = 1;
    job.quality = 90;
    job.quality_default = 1;
    job.srgb = 1;
    return job;
}

TEST(JpegLossyDecisions, DctScaleForResizeTargets) {
    struct scale_case {
        uint32_t width, height;
        uint16_t target;
        uint8_t scale;
        uint16_t target_after;
    };
    const scale_case cases[] = {
        {1000, 1000, 100, 8, 100},   // 125 > 100
        {1000, 1000, 200, 4, 200},   // 250 > 200, 125 is not
        {1000, 1000, 600, 1, 600},   // no reduction still exceeds the target; the resampler does it all
        {1000, 1000, 1000, 1, 0},    // target not below the longer side: no resize at all
        {1000, 1000, 4000, 1, 0},
        {1000, 1001, 400, 2, 400},   // 500.5 rounds to 501 > 400
        {1012, 800, 126, 8, 126},    // 126.5 rounds away from zero to 127
        {300, 4000, 500, 4, 500},    // the height decides
        {1000, 1000, 23, 1, 0},      // below the smallest target
        {9000, 9000, 4097, 1, 0},    // above the largest target
        {9000, 9000, 4096, 2, 4096},
    };
    for (const scale_case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " -> " << c.target);
        image_job job = fresh_job();
        job.width = c.width;
        job.height = c.height;
        job.resize_target = c.target;
        choose_dct_scale(job);
        EXPECT_EQ(job.dct_scale, c.scale);
        EXPECT_EQ(job.resize_target, c.target_after);
    }
}

TEST(JpegLossyDecisions, QualityFloorsAndCeiling) {
    // "-q=" steps the front end offers -> quality used on photo-like / other images.
    const int requested[] = {1, 30, 50, 70, 80, 84, 88, 92, 96, 98, 100};
    const int photo[] = {70, 70, 70, 70, 80, 84, 88, 92, 96, 98, 99};
    const int other[] = {80, 80, 80, 80, 80, 84, 88, 92, 96, 98, 99};
    for (size_t i = 0; i < std::size(requested); ++i) {
        for (uint8_t photo_like : {1, 0}) {
            image_job job = fresh_job();
            job.quality = uint8_t(requested[i]);
            job.photo_like = photo_like;
            clamp_jpeg_quality(job);
            EXPECT_EQ(job.quality, photo_like ? photo[i] : other[i]) << requested[i];
        }
    }
}

// RGB image from a pixel function; the spare bytes after it are not given.
template <class F>
std::vector<uint8_t> image(uint32_t w, uint32_t h, F pixel) {
    std::vector<uint8_t> rgb;
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const auto p = pixel(x, y);
            rgb.insert(rgb.end(), {p[0], p[1], p[2]});
        }
    return rgb;
}

struct measured {
    image_job job;
    int mode;
};

measured measure(const std::vector<uint8_t>& rgb, uint32_t pixels, image_job job, int components = 3) {
    job.bytes_per_pixel = 3;
    job.pixel_count = pixels;
    measure_jpeg_pixels(rgb.data(), rgb.size(), job);
    const int mode = choose_chroma_mode(job, components);
    return {job, mode};
}

using px = std::array<uint8_t, 3>;

TEST(JpegLossyDecisions, StatisticsAndChromaOnSyntheticImages) {
    // A smooth ramp: every window changes, no spikes -> photo-like, 4:2:0.
    const auto ramp = image(40, 10, [](uint32_t x, uint32_t y) {
        return px{uint8_t(x % 40), uint8_t(100 + y % 50), uint8_t(30 + x % 20)};
    });
    measured m = measure(ramp, 400, fresh_job());
    EXPECT_EQ(m.job.stat_same, 0u);
    EXPECT_EQ(m.job.stat_changed, 100u);
    EXPECT_EQ(m.job.stat_saturated, 0u);
    EXPECT_EQ(m.job.photo_like, 1);
    EXPECT_EQ(m.job.is_grey, 0);
    EXPECT_EQ(m.job.srgb, 1);
    EXPECT_EQ(m.mode, SJPEG_YUV_420);
    EXPECT_EQ(m.job.quality, 90);

    // A flat graphic: nearly all windows repeat -> 4:4:4.
    const auto flat = image(20, 10, [](uint32_t x, uint32_t) {
        return x == 10 ? px{30, 60, 90} : px{10, 200, 40};
    });
    m = measure(flat, 200, fresh_job());
    EXPECT_GT(m.job.stat_same, 69u);
    EXPECT_EQ(m.job.photo_like, 0);
    EXPECT_EQ(m.mode, SJPEG_YUV_444);
}

// A row of `triples` red spikes on black, each worth two: (0,0,0) then
// (255,200,0) then (0,0,0), so the window (0,0,255) is followed by one whose
// green dominates and whose sum stays below 255; the rest of the row is
// filled with `fill` (a ramp for few repeats, flat for many).
std::vector<uint8_t> spiky(uint32_t w, int triples, bool flat_fill) {
    return image(w, 1, [=](uint32_t x, uint32_t) {
        if (x < uint32_t(triples) * 3) return x % 3 == 1 ? px{255, 200, 0} : px{0, 0, 0};
        return flat_fill ? px{10, 10, 12} : px{uint8_t(x % 50), uint8_t(60 + x % 7), uint8_t(20 + x % 3)};
    });
}

TEST(JpegLossyDecisions, SpikesChooseFullChromaAndMayLowerQuality) {
    struct spike_case {
        const char* name;
        int triples;
        bool flat_fill;
        bool quality_given;
        int mode;
        int quality;
    };
    const spike_case cases[] = {
        {"one triple, few repeats", 1, false, false, SJPEG_YUV_444, 87},
        {"one triple, quality given", 1, false, true, SJPEG_YUV_444, 90},
        {"one triple, many repeats", 1, true, false, SJPEG_YUV_444, 90},
        {"fourteen triples", 14, false, false, SJPEG_YUV_444, 87},
        {"fifteen triples: more than 28 spikes", 15, false, false, SJPEG_YUV_444, 90},
    };
    for (const spike_case& c : cases) {
        SCOPED_TRACE(c.name);
        image_job job = fresh_job();
        job.quality_default = c.quality_given ? 0 : 1;
        const measured m = measure(spiky(200, c.triples, c.flat_fill), 200, job);
        EXPECT_EQ(m.job.stat_saturated, uint64_t(2 * c.triples));
        EXPECT_EQ(m.mode, c.mode);
        EXPECT_EQ(m.job.quality, c.quality);
    }
}

TEST(JpegLossyDecisions, GreyAndSubsampledSources) {
    const auto grey = image(16, 16, [](uint32_t x, uint32_t y) {
        const uint8_t v = uint8_t(x * 13 + y * 7);
        return px{v, v, v};
    });
    measured m = measure(grey, 256, fresh_job());
    EXPECT_EQ(m.job.is_grey, 1);
    EXPECT_EQ(m.job.srgb, 0);  // nothing to convert in a grey image
    EXPECT_EQ(m.mode, SJPEG_YUV_400);

    // Grey except the last pixel.
    auto almost = grey;
    almost[almost.size() - 2] ^= 1;
    EXPECT_EQ(measure(almost, 256, fresh_job()).job.is_grey, 0);

    // A colour image from a one-component file, or with forced grey.
    const auto colour = spiky(60, 0, false);
    EXPECT_EQ(measure(colour, 60, fresh_job(), 1).mode, SJPEG_YUV_400);
    image_job forced = fresh_job();
    forced.force_grey = 1;
    EXPECT_EQ(measure(colour, 60, forced).mode, SJPEG_YUV_400);

    // Subsampled source chroma wins over everything, grey included.
    image_job sub = fresh_job();
    note_chroma_sampling(sub, 2, 1);
    EXPECT_EQ(sub.chroma_subsampled, 1);
    EXPECT_EQ(measure(grey, 256, sub).mode, SJPEG_YUV_420);
    image_job plain = fresh_job();
    note_chroma_sampling(plain, 1, 1);
    EXPECT_EQ(plain.chroma_subsampled, 0);
}

TEST(JpegLossyDecisions, EncoderParametersFollowTheJob) {
    for (uint8_t level : {0, 1, 3}) {
        image_job job = fresh_job();
        job.jpeg_level = level;
        job.quality = 40;
        job.photo_like = 1;
        job.is_grey = 0;
        job.stat_same = 10;
        sjpeg::EncoderParam p;
        set_lossy_encoder_param(job, 3, p);
        EXPECT_EQ(p.Huffman_compress, level != 0);
        EXPECT_TRUE(p.adaptive_quantization && p.adaptive_bias && p.use_trellis);
        EXPECT_EQ(p.yuv_mode, SJPEG_YUV_420);
        EXPECT_EQ(job.quality, 70);
        EXPECT_EQ(p.quality(), 70.0f);
    }
}

}  // namespace
