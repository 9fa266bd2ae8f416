#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>
#include <cstdint>
#include <random>
#include <vector>

#include "core/job.h"
#include "core/options.h"
#include "core/resample.h"

namespace {

image_job job_for(uint32_t width, uint32_t height, uint8_t channels) {
    default_flags flags{};
    flags.png_level = flags.jpeg_level = 255;
    flags.quality = 90;
    flags.quality_default = 1;
    flags.metadata_mode = 1;
    image_job job;
    init_image_job(job, flags, 1000);
    job.width = width;
    job.height = height;
    job.pixel_count = width * height;
    job.bytes_per_pixel = channels;
    return job;
}

std::vector<uint8_t> noise(size_t bytes, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> out(bytes);
    for (uint8_t& b : out) b = uint8_t(rng());
    return out;
}

TEST(PlanResize, Targets) {
    struct Case {
        const char* name;
        uint32_t w, h;
        uint16_t frames, target;
        uint8_t tall, wide;
        bool resize;
        uint32_t new_w, new_h;
        uint16_t plan_target;
    };
    const Case cases[] = {
        {"wide image by width", 1000, 500, 0, 100, 0, 0, true, 100, 50, 100},
        {"tall image by height", 500, 1000, 0, 100, 0, 0, true, 50, 100, 100},
        {"square image by height", 800, 800, 0, 400, 0, 0, true, 400, 400, 400},
        {"tall view", 4000, 3000, 0, 0, 1, 0, true, 1133, 850, 850},
        {"tall view wins over wide view and resize target", 4000, 3000, 0, 200, 1, 1, true, 1133, 850, 850},
        {"wide view", 2000, 1000, 0, 0, 0, 1, true, 1536, 768, 1536},
        {"wide view of a narrow strip goes by height", 1600, 1600, 0, 0, 0, 1, true, 1536, 1536, 1536},
        {"APNG strip: every frame gets the target height", 500, 3000, 10, 200, 0, 0, true, 333, 2000, 200},
        {"APNG strip that would grow", 500, 1000, 10, 200, 0, 0, false, 0, 0, 200},
        {"target equal to the longer side", 1000, 500, 0, 1000, 0, 0, false, 0, 0, 1000},
        {"target above the longer side", 1000, 500, 0, 2000, 0, 0, false, 0, 0, 2000},
        {"target below 24", 1000, 500, 0, 23, 0, 0, false, 0, 0, 23},
        {"smallest target", 1000, 500, 0, 24, 0, 0, true, 24, 12, 24},
        {"target above 4096", 9000, 500, 0, 4097, 0, 0, false, 0, 0, 4097},
        {"largest target", 9000, 500, 0, 4096, 0, 0, true, 4096, 228, 4096},
        // The side that follows the aspect ratio never grows: the longer side
        // still ends at the target.
        {"short side that would not shrink", 1000, 30, 0, 990, 0, 0, true, 990, 30, 990},
        {"short side that rounds back to its length", 101, 50, 0, 100, 0, 0, true, 100, 50, 100},
        {"one row left by the decoder's scaling", 200, 1, 0, 100, 0, 0, true, 100, 1, 100},
        {"one column", 1, 125, 0, 100, 0, 0, true, 1, 100, 100},
        {"no target", 1000, 500, 0, 0, 0, 0, false, 0, 0, 0},
        // A short side that rounds to 0 is kept at one pixel.
        {"one pixel wide", 1, 1000, 0, 100, 0, 0, true, 1, 100, 100},
        {"one pixel high", 1000, 1, 0, 100, 0, 0, true, 100, 1, 100},
        {"thin strip", 3, 5000, 0, 100, 0, 0, true, 1, 100, 100},
        {"rounds half away from zero", 1000, 5, 0, 100, 0, 0, true, 100, 1, 100},
    };
    for (const Case& c : cases) {
        image_job job = job_for(c.w, c.h, 4);
        job.frame_count = c.frames;
        job.resize_target = c.target;
        job.view_tall = c.tall;
        job.view_wide = c.wide;
        const resize_plan plan = plan_resize(job);
        EXPECT_EQ(plan.resize, c.resize) << c.name;
        EXPECT_EQ(plan.target, c.plan_target) << c.name;
        if (c.resize && plan.resize) {
            EXPECT_EQ(plan.width, c.new_w) << c.name;
            EXPECT_EQ(plan.height, c.new_h) << c.name;
        }
    }
}

// A constant image stays constant, whatever the channel count and scale.
TEST(ResizeImage, ConstantImageStaysConstant) {
    struct Case {
        uint32_t w, h;
        uint8_t channels;
        uint16_t target;
        uint32_t new_w, new_h;
    };
    const Case cases[] = {
        {1000, 500, 4, 100, 100, 50},
        {500, 1000, 3, 100, 50, 100},
        {333, 517, 1, 77, 50, 77},
        {640, 480, 4, 601, 601, 451},  // slight shrink, scale factor just above 1
        {1, 1000, 4, 100, 1, 100},     // the side that would round to 0
        {16383, 64, 1, 4096, 4096, 16},  // wide source: 64-bit offsets throughout
    };
    const uint8_t colour[4] = {17, 128, 254, 200};
    for (const Case& c : cases) {
        image_job job = job_for(c.w, c.h, c.channels);
        job.resize_target = c.target;
        job.may_clean_transparent = 0;
        std::vector<uint8_t> pixels(size_t(c.w) * c.h * c.channels);
        for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = colour[i % c.channels];
        resize_image(pixels.data(), job);
        ASSERT_EQ(job.width, c.new_w) << c.w << "x" << c.h;
        ASSERT_EQ(job.height, c.new_h) << c.w << "x" << c.h;
        EXPECT_EQ(job.pixel_count, c.new_w * c.new_h);
        EXPECT_EQ(job.resize_target, c.target);
        size_t wrong = 0;
        for (size_t i = 0; i < size_t(job.pixel_count) * c.channels; ++i) wrong += pixels[i] != colour[i % c.channels];
        EXPECT_EQ(wrong, 0u) << c.w << "x" << c.h << " channels " << int(c.channels);
    }
}

TEST(ResizeImage, NoResizeClearsTargetAndKeepsPixels) {
    image_job job = job_for(100, 50, 4);
    job.resize_target = 100;
    std::vector<uint8_t> pixels = noise(100 * 50 * 4, 1);
    const std::vector<uint8_t> before = pixels;
    resize_image(pixels.data(), job);
    EXPECT_EQ(job.resize_target, 0);
    EXPECT_EQ(job.width, 100u);
    EXPECT_EQ(job.height, 50u);
    EXPECT_EQ(job.pixel_count, 5000u);
    EXPECT_EQ(pixels, before);
}

// Transparent red beside opaque blue: with cleaning allowed the red never
// reaches a visible pixel and faint alpha left by the filter is cleared.
TEST(ResizeImage, TransparentColoursDoNotBleedIntoEdges) {
    const uint32_t w = 200, h = 100;
    auto make = [&] {
        std::vector<uint8_t> pixels(size_t(w) * h * 4);
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x) {
                uint8_t* p = &pixels[(size_t(y) * w + x) * 4];
                const bool left = x < 101;  // edge off the 4:1 grid
                p[0] = left ? 255 : 0;
                p[1] = 0;
                p[2] = left ? 0 : 255;
                p[3] = left ? 0 : 255;
            }
        return pixels;
    };
    struct Count {
        size_t red_visible = 0, faint = 0;
    };
    auto resize_and_count = [&](uint8_t clean) {
        image_job job = job_for(w, h, 4);
        job.resize_target = 50;
        job.may_clean_transparent = clean;
        std::vector<uint8_t> pixels = make();
        resize_image(pixels.data(), job);
        EXPECT_EQ(job.width, 50u);
        EXPECT_EQ(job.height, 25u);
        Count count;
        for (size_t i = 0; i < job.pixel_count; ++i) {
            const uint8_t* p = &pixels[i * 4];
            if (p[3] > 0 && p[0] > 0) ++count.red_visible;
            if (p[3] >= 1 && p[3] <= 5) ++count.faint;
        }
        return count;
    };
    const Count cleaned = resize_and_count(1);
    EXPECT_EQ(cleaned.red_visible, 0u);
    EXPECT_EQ(cleaned.faint, 0u);
    // Without cleaning the same image shows the fringe, so the test can see it.
    const Count raw = resize_and_count(0);
    EXPECT_GT(raw.red_visible, 0u);
}

TEST(LanczosResizer, SameSizeIsIdentity) {
    for (int channels : {1, 3, 4}) {
        const int64_t w = 37, h = 23;
        const std::vector<uint8_t> src = noise(size_t(w * h * channels), 7);
        std::vector<uint8_t> dst(src.size());
        LanczosResizer r;
        r.resize(src.data(), w, h, 0, dst.data(), w, h, 0, channels, 0, 0, 0, 0);
        EXPECT_EQ(dst, src) << channels;
    }
}

// Straightforward double-precision Lanczos-3 with clamped edges and centred
// samples, to check the resizer's margins, phases and bands against.
std::vector<uint8_t> reference_resize(const std::vector<uint8_t>& src, int64_t sw, int64_t sh, int64_t dw,
                                      int64_t dh, int ch) {
    auto axis = [](int64_t n_in, int64_t n_out) {
        struct tap_list {
            std::vector<std::vector<std::pair<int64_t, double>>> taps;
        } out;
        const double k = double(n_in) / double(n_out), s = std::max(k, 1.0);
        const int64_t hw = k > 1 ? int64_t(std::ceil(3 * k)) : 3;
        for (int64_t i = 0; i < n_out; ++i) {
            const double x = (k - 1) / 2 + double(i) * k;
            const int64_t c = int64_t(std::floor(x));
            std::vector<std::pair<int64_t, double>> row;
            double sum = 0;
            for (int64_t p = c - hw + 1; p <= c + hw; ++p) {
                const double t = (double(p) - x) / s;
                double w = 0;
                if (std::fabs(t) < 1e-12) w = 1;
                else if (std::fabs(t) < 3) w = 3 * std::sin(std::numbers::pi * t) * std::sin(std::numbers::pi * t / 3) / (std::numbers::pi * std::numbers::pi * t * t);
                row.push_back({std::clamp<int64_t>(p, 0, n_in - 1), w});
                sum += w;
            }
            for (auto& [pos, w] : row) w /= sum;
            out.taps.push_back(row);
        }
        return out;
    };
    const auto vertical = axis(sh, dh), horizontal = axis(sw, dw);
    std::vector<double> mid(size_t(dh * sw * ch));
    for (int64_t y = 0; y < dh; ++y)
        for (int64_t x = 0; x < sw; ++x)
            for (int c = 0; c < ch; ++c) {
                double v = 0;
                for (const auto& [pos, w] : vertical.taps[size_t(y)]) v += w * src[size_t((pos * sw + x) * ch + c)];
                mid[size_t((y * sw + x) * ch + c)] = v;
            }
    std::vector<uint8_t> out(size_t(dw * dh * ch));
    for (int64_t y = 0; y < dh; ++y)
        for (int64_t x = 0; x < dw; ++x)
            for (int c = 0; c < ch; ++c) {
                double v = 0;
                for (const auto& [pos, w] : horizontal.taps[size_t(x)]) v += w * mid[size_t((y * sw + pos) * ch + c)];
                out[size_t((y * dw + x) * ch + c)] = uint8_t(std::clamp(std::lround(v), 0L, 255L));
            }
    return out;
}

// Within one step of the reference, on images large enough for several
// bands of the vertical pass, and on a small RGB one that is enlarged.
TEST(LanczosResizer, MatchesADoublePrecisionReference) {
    struct Case {
        int64_t sw, sh, dw, dh;
        int channels;
    };
    const Case cases[] = {
        {1200, 1200, 400, 400, 4},  // three bands
        {131, 97, 50, 41, 3},
        {30, 20, 47, 33, 3},
        {90, 64, 31, 64, 1},        // one axis unchanged
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> src(size_t(c.sw * c.sh * c.channels));
        std::mt19937 rng(5);
        // Smooth content with noise, so that the comparison is not all clamping.
        for (int64_t y = 0; y < c.sh; ++y)
            for (int64_t x = 0; x < c.sw; ++x)
                for (int ch = 0; ch < c.channels; ++ch)
                    src[size_t((y * c.sw + x) * c.channels + ch)] =
                        uint8_t(std::clamp<int64_t>(128 + int64_t(90 * std::sin(x * 0.05 + ch) * std::cos(y * 0.03)) +
                                                        int64_t(rng() % 41) - 20,
                                                    0, 255));
        std::vector<uint8_t> out(size_t(c.dw * c.dh * c.channels));
        LanczosResizer r;
        r.resize(src.data(), c.sw, c.sh, 0, out.data(), c.dw, c.dh, 0, c.channels, 0, 0, 0, 0);
        const std::vector<uint8_t> want = reference_resize(src, c.sw, c.sh, c.dw, c.dh, c.channels);
        int worst = 0;
        for (size_t i = 0; i < out.size(); ++i) worst = std::max(worst, std::abs(int(out[i]) - int(want[i])));
        EXPECT_LE(worst, 1) << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh;
    }
}

// The SSE2 and scalar paths give the same bytes, including the rows whose
// last values do not fill a group of four.
TEST(LanczosResizer, Sse2AndScalarAgree) {
    struct Case {
        int64_t sw, sh, dw, dh;
        int channels;
        double kx, ky, ox, oy;
    };
    const Case cases[] = {
        {301, 203, 100, 67, 4, 0, 0, 0, 0},
        {301, 203, 101, 67, 3, 0, 0, 0, 0},
        {301, 203, 97, 71, 1, 0, 0, 0, 0},
        {64, 48, 37, 21, 2, 0, 0, 0, 0},
        {40, 30, 97, 61, 3, 0, 0, 0, 0},        // enlarging
        {120, 90, 40, 30, 4, 3, 3, 0, 0},       // equal factors: one bank for both axes
        {120, 90, 50, 31, 3, -2.5, -2.75, 1.25, -0.5},  // given factors and offsets
        {2000, 9, 7, 5, 4, 0, 0, 0, 0},         // very wide taps
    };
    for (const Case& c : cases) {
        const std::vector<uint8_t> src = noise(size_t(c.sw * c.sh * c.channels), uint32_t(c.sw + c.channels));
        std::vector<uint8_t> fast(size_t(c.dw * c.dh * c.channels)), plain(fast.size());
        LanczosResizer a, b;
        b.use_scalar_path(true);
        a.resize(src.data(), c.sw, c.sh, 0, fast.data(), c.dw, c.dh, 0, c.channels, c.kx, c.ky, c.ox, c.oy);
        b.resize(src.data(), c.sw, c.sh, 0, plain.data(), c.dw, c.dh, 0, c.channels, c.kx, c.ky, c.ox, c.oy);
        EXPECT_EQ(fast, plain) << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh << " ch " << c.channels;
    }
}

// In place, strided, and with a resizer reused across different jobs: the
// same bytes as a fresh resizer writing to a separate buffer.
TEST(LanczosResizer, InPlaceStridesAndReuseMatchAFreshRun) {
    const int64_t sw = 90, sh = 70, dw = 41, dh = 33;
    const std::vector<uint8_t> src = noise(size_t(sw * sh * 4), 3);
    std::vector<uint8_t> expected(size_t(dw * dh * 4));
    {
        LanczosResizer fresh;
        fresh.resize(src.data(), sw, sh, 0, expected.data(), dw, dh, 0, 4, 0, 0, 0, 0);
    }
    LanczosResizer reused;
    std::vector<uint8_t> scratch(size_t(200 * 200 * 4));
    reused.resize(src.data(), sw, sh, 0, scratch.data(), 30, 30, 0, 4, 3, 3, 0, 0);   // one shared bank
    reused.resize(src.data(), sw, sh, 0, scratch.data(), 45, 35, 0, 4, 2, 2, 0, 0);   // other factors
    reused.resize(src.data(), sw, sh, 0, scratch.data(), 20, 20, 0, 3, 0, 0, 0, 0);   // other channels

    std::vector<uint8_t> in_place = src;
    reused.resize(in_place.data(), sw, sh, 0, in_place.data(), dw, dh, 0, 4, 0, 0, 0, 0);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), in_place.begin()));

    // Source rows padded to 400 bytes, destination rows to 200.
    std::vector<uint8_t> padded(size_t(400 * sh), 77);
    for (int64_t y = 0; y < sh; ++y) std::copy_n(&src[size_t(y * sw * 4)], sw * 4, &padded[size_t(y * 400)]);
    std::vector<uint8_t> strided(size_t(200 * dh), 99);
    reused.resize(padded.data(), sw, sh, 400, strided.data(), dw, dh, 200, 4, 0, 0, 0, 0);
    for (int64_t y = 0; y < dh; ++y) {
        EXPECT_TRUE(std::equal(&expected[size_t(y * dw * 4)], &expected[size_t((y + 1) * dw * 4)],
                               &strided[size_t(y * 200)]))
            << "row " << y;
        EXPECT_EQ(strided[size_t(y * 200 + dw * 4)], 99) << "row " << y;  // past the row: untouched
    }
}

TEST(LanczosResizer, EmptySourceClearsAndEmptyDestinationIsLeftAlone) {
    std::vector<uint8_t> dst(3 * 10 * 4, 5);
    LanczosResizer r;
    r.resize(nullptr, 0, 10, 0, dst.data(), 3, 10, 12, 4, 0, 0, 0, 0);
    EXPECT_EQ(dst, std::vector<uint8_t>(dst.size(), 0));
    std::vector<uint8_t> src(16, 9), untouched(16, 5);
    r.resize(src.data(), 2, 2, 0, untouched.data(), 0, 2, 0, 4, 0, 0, 0, 0);
    EXPECT_EQ(untouched, std::vector<uint8_t>(16, 5));
}

// Shrinking by 2 puts output pixel 0 between source pixels 0 and 1: phase 500,
// a symmetric filter of 12 taps starting five positions into the left margin.
TEST(LanczosResizer, HalvingTableAlignsPixelCentres) {
    LanczosResizer r;
    lanczos_filter_bank bank;
    lanczos_axis_table table;
    r.prepare_bank(bank, 2.0, 4);
    EXPECT_EQ(bank.taps, 12);
    EXPECT_EQ(bank.floats_per_filter, 48u);
    r.make_filter_table(table, 10, 5, 0.5, bank);
    EXPECT_EQ(table.left_margin, 5);
    EXPECT_EQ(table.right_margin, 5);  // last sample at 8.5: taps up to 14
    EXPECT_EQ(table.entries[0].position, 0);
    EXPECT_EQ(table.entries[0].byte_offset, 0u);
    EXPECT_EQ(table.entries[4].position, 8);
    EXPECT_EQ(table.entries[4].byte_offset, 8u * 4 * 4);
    const float* f = table.entries[0].filter;
    EXPECT_EQ(f, table.entries[3].filter);  // one phase, one cached filter
    double sum = 0;
    for (int j = 0; j < 12; ++j) {
        EXPECT_EQ(f[j * 4], f[(11 - j) * 4]) << j;
        for (int c = 1; c < 4; ++c) EXPECT_EQ(f[j * 4 + c], f[j * 4]);
        sum += f[j * 4];
    }
    EXPECT_NEAR(sum, 1.0, 1e-6);
}

// With the centres aligned, a step edge halfway between two output pixels
// gives them values that add up to the step height.
TEST(LanczosResizer, HalvingKeepsAStepEdgeCentred) {
    std::vector<uint8_t> src(40), dst(20);
    for (int x = 20; x < 40; ++x) src[x] = 200;
    LanczosResizer r;
    r.resize(src.data(), 40, 1, 0, dst.data(), 20, 1, 0, 1, 0, 0, 0, 0);
    EXPECT_NEAR(int(dst[9]) + int(dst[10]), 200, 1);
    EXPECT_EQ(dst[0], 0);
    EXPECT_EQ(dst[19], 200);
}

// Where the kernel's support ends inside the outermost tap, that tap is 0;
// padding to whole groups of four stays 0; every filter sums to 1.
TEST(LanczosResizer, FiltersCutAtTheSupportAndNormalise) {
    LanczosResizer r;
    lanczos_filter_bank bank;
    lanczos_axis_table table;
    r.prepare_bank(bank, 1.5, 3);  // support 4.5, half-width 5, 10 taps
    EXPECT_EQ(bank.taps, 10);
    EXPECT_EQ(bank.floats_per_filter, 32u);
    r.make_filter_table(table, 30, 20, 0.25, bank);
    const float* early = table.entries[0].filter;  // x = 0.25: last tap at 4.75
    const float* late = table.entries[1].filter;   // x = 1.75: first tap at -4.75
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(early[27 + c], 0.0f);
        EXPECT_NE(early[c], 0.0f);
        EXPECT_EQ(late[c], 0.0f);
        EXPECT_NE(late[27 + c], 0.0f);
    }
    for (const float* f : {early, late}) {
        EXPECT_EQ(f[30], 0.0f);
        EXPECT_EQ(f[31], 0.0f);
        double sum = 0;
        for (int j = 0; j < 10; ++j) sum += f[j * 3];
        EXPECT_NEAR(sum, 1.0, 1e-6);
    }
}

TEST(LanczosBandRows, SixtyFourBitArithmetic) {
    // A 16383-pixel-wide grey source, 2000 rows, to 1000 rows: the product
    // 1000 x 5,500,000 does not fit in 32 bits.
    EXPECT_EQ(lanczos_band_rows(1000, 65572000, 2000, 16383), 55);
    EXPECT_EQ(lanczos_band_rows(10, 10000000, 1000, 4000), 16);  // at least 16 rows
    // 16383 x 16383 RGBA to 4096 x 4096: sums beyond 32 bits as well.
    EXPECT_EQ(lanczos_band_rows(4096, uint64_t(4096) * 16405 * 16, 16383, 16383 * 4), 16);
}

}  // namespace
