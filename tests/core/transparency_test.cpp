#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "core/job.h"
#include "core/options.h"
#include "core/transparency.h"

namespace {

using rgba = std::array<uint8_t, 4>;

image_job fresh_job(uint32_t width, uint32_t height) {
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
    job.bytes_per_pixel = 4;
    return job;
}

std::vector<uint8_t> to_bytes(const std::vector<rgba>& pixels) {
    std::vector<uint8_t> out;
    for (const rgba& p : pixels) out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::vector<rgba> to_pixels(const std::vector<uint8_t>& bytes) {
    std::vector<rgba> out(bytes.size() / 4);
    for (size_t i = 0; i < out.size(); ++i)
        for (int c = 0; c < 4; ++c) out[i][c] = bytes[i * 4 + c];
    return out;
}

constexpr rgba kClear{9, 9, 9, 0};  // transparent, with a colour to overwrite
constexpr rgba kRed{255, 0, 0, 255};
constexpr rgba kBlue{0, 0, 255, 255};
constexpr rgba kGreen{0, 200, 0, 128};

rgba rgb_of(const rgba& p, uint8_t alpha) { return {p[0], p[1], p[2], alpha}; }

// Runs `op` on a width x height image and returns the pixels.
template <typename Op>
std::vector<rgba> run(const std::vector<rgba>& image, uint32_t width, Op op) {
    std::vector<uint8_t> bytes = to_bytes(image);
    image_job job = fresh_job(width, uint32_t(image.size() / width));
    op(bytes.data(), job);
    return to_pixels(bytes);
}

TEST(SettleColourFlags, Table) {
    struct Case {
        const char* name;
        uint8_t has_icc, srgb, metadata_mode, is_grey;
        uint64_t translucent;
        uint8_t want_has_icc, want_srgb, want_keep_icc, want_single_alpha;
    };
    const Case cases[] = {
        {"no profile drops conversion", 0, 1, 1, 0, 5, 0, 0, 0, 1},
        {"profile kept", 1, 0, 1, 0, 5, 1, 0, 1, 1},
        {"profile converted, not kept", 1, 1, 1, 0, 5, 1, 1, 0, 1},
        {"strip drops profile", 1, 0, 2, 0, 5, 1, 0, 0, 1},
        {"keep-all keeps profile", 1, 0, 0, 0, 5, 1, 0, 1, 1},
        {"grey with profile and -srgb", 1, 1, 1, 1, 5, 0, 0, 0, 1},
        {"grey keeps the profile it has", 1, 0, 1, 1, 5, 0, 0, 1, 1},
        {"opaque image has no single alpha", 0, 0, 1, 0, 0, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        image_job job = fresh_job(1, 1);
        job.has_icc = c.has_icc;
        job.srgb = c.srgb;
        job.metadata_mode = c.metadata_mode;
        job.is_grey = c.is_grey;
        job.translucent_count = c.translucent;
        settle_colour_flags(job);
        EXPECT_EQ(job.has_icc, c.want_has_icc) << c.name;
        EXPECT_EQ(job.srgb, c.want_srgb) << c.name;
        EXPECT_EQ(job.keep_icc, c.want_keep_icc) << c.name;
        EXPECT_EQ(job.single_alpha, c.want_single_alpha) << c.name;
    }
}

TEST(DecideTransparentCleanup, Table) {
    struct Case {
        const char* name;
        uint64_t translucent;
        uint16_t trns;
        uint8_t noalpha, smooth, before, want;
    };
    const Case cases[] = {
        {"opaque palette with tRNS", 0, 3, 0, 0, 0, 1},
        {"opaque palette with tRNS and -noalpha", 0, 3, 1, 0, 1, 0},
        {"opaque without tRNS", 0, 0, 0, 0, 1, 0},
        {"translucent with -noalpha", 10, 3, 1, 0, 1, 0},
        {"smooth translucent", 10, 0, 0, 1, 1, 0},
        {"smooth translucent with tRNS", 10, 3, 0, 1, 0, 1},
        {"translucent with tRNS", 10, 3, 0, 0, 0, 1},
        {"translucent keeps the earlier 1", 10, 0, 0, 0, 1, 1},
        {"translucent keeps the earlier 0", 10, 0, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        image_job job = fresh_job(1, 1);
        job.translucent_count = c.translucent;
        job.trns_length = c.trns;
        job.noalpha = c.noalpha;
        job.smooth = c.smooth;
        job.may_clean_transparent = c.before;
        decide_transparent_cleanup(job);
        EXPECT_EQ(job.may_clean_transparent, c.want) << c.name;
    }
}

TEST(FillTransparent, OnlyFullyTransparentPixelsChange) {
    const std::vector<rgba> image{kClear, kRed, {1, 2, 3, 1}, {0, 0, 0, 0}};
    const auto out = run(image, 2, [](uint8_t* p, image_job& job) { fill_transparent(p, 10, 20, 30, job); });
    EXPECT_EQ(out[0], (rgba{10, 20, 30, 0}));
    EXPECT_EQ(out[1], kRed);
    EXPECT_EQ(out[2], (rgba{1, 2, 3, 1}));
    EXPECT_EQ(out[3], (rgba{10, 20, 30, 0}));
}

TEST(PropagateTransparent, Rows) {
    struct Case {
        const char* name;
        uint32_t width;
        std::vector<rgba> in, want;
    };
    const rgba black0{0, 0, 0, 0};
    const Case cases[] = {
        {"nearest visible pixel to the right, else the last of the row", 6,
         {kClear, kRed, kClear, kClear, kBlue, kClear},
         {rgb_of(kRed, 0), kRed, rgb_of(kBlue, 0), rgb_of(kBlue, 0), kBlue, rgb_of(kBlue, 0)}},
        {"translucent pixels count as visible", 3, {kClear, kGreen, kClear}, {rgb_of(kGreen, 0), kGreen, rgb_of(kGreen, 0)}},
        {"first rows without visible pixels become black, later ones take the leftmost colour above", 3,
         {kClear, kClear, kClear,
          kRed, kClear, kBlue,
          kClear, kClear, kClear},
         {black0, black0, black0,
          kRed, rgb_of(kBlue, 0), kBlue,
          rgb_of(kRed, 0), rgb_of(kRed, 0), rgb_of(kRed, 0)}},
        {"one pixel wide: only left to right, colour carried down", 1,
         {kClear, kRed, kClear, kBlue, kClear},
         {black0, kRed, rgb_of(kRed, 0), kBlue, rgb_of(kBlue, 0)}},
    };
    for (const Case& c : cases) {
        const auto out = run(c.in, c.width, [](uint8_t* p, image_job& job) { propagate_transparent(p, job); });
        EXPECT_EQ(out, c.want) << c.name;
    }
}

TEST(PropagateTransparent2d, Cases) {
    struct Case {
        const char* name;
        uint32_t width;
        std::vector<rgba> in, want;
    };
    const rgba dark{10, 10, 10, 255}, bright{200, 200, 200, 255};
    const Case cases[] = {
        {"between dark above and bright below the bright colour wins", 1,
         {dark, kClear, bright},
         {dark, rgb_of(bright, 0), bright}},
        {"a filled pixel carries its colour on in the right-to-left pass", 6,
         {kClear, kRed, kClear, kClear, kBlue, kClear},
         {rgb_of(kRed, 0), kRed, rgb_of(kRed, 0), rgb_of(kRed, 0), kBlue, rgb_of(kBlue, 0)}},
        {"a bright colour travels down a column of transparent pixels", 2,
         {dark, bright,
          dark, kClear,
          dark, kClear},
         {dark, bright,
          dark, rgb_of(bright, 0),
          dark, rgb_of(bright, 0)}},
        {"an image without transparent pixels stays as it is", 2,
         {dark, kGreen, kRed, {0, 0, 0, 1}},
         {dark, kGreen, kRed, {0, 0, 0, 1}}},
        {"an all-transparent image ends all zero", 2,
         {kClear, kClear, kClear, kClear},
         {{0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}}},
    };
    for (const Case& c : cases) {
        const auto out = run(c.in, c.width, [](uint8_t* p, image_job& job) { propagate_transparent_2d(p, job); });
        EXPECT_EQ(out, c.want) << c.name;
    }
}

TEST(BlendTransparentColours, FadesAlongTheFirstRowAndAveragesBelow) {
    const rgba warm{200, 100, 40, 255};
    const std::vector<rgba> image{warm, kClear, kClear,
                                  kClear, {100, 60, 20, 255}, kClear};
    const auto out = run(image, 3, [](uint8_t* p, image_job& job) { blend_transparent_colours(p, job); });
    EXPECT_EQ(out[0], warm);
    EXPECT_EQ(out[1], (rgba{100, 50, 20, 0}));
    EXPECT_EQ(out[2], (rgba{50, 25, 10, 0}));
    // Second row: remembered colour restarts at black; (above + remembered) / 2.
    EXPECT_EQ(out[3], (rgba{100, 50, 20, 0}));
    EXPECT_EQ(out[4], (rgba{100, 60, 20, 255}));
    EXPECT_EQ(out[5], (rgba{75, 42, 15, 0}));  // ((50,25,10) + (100,60,20)) / 2
}

TEST(FlattenAlpha, Table) {
    struct Case {
        rgba in, want;
    };
    const Case cases[] = {
        {{0, 0, 0, 128}, {128, 128, 128, 255}},     // p = 50, 12750 x 0.01 rounds up
        {{1, 2, 3, 0}, {255, 255, 255, 255}},       // transparent becomes white
        {{7, 8, 9, 255}, {7, 8, 9, 255}},           // opaque unchanged
        {{200, 100, 0, 1}, {255, 255, 255, 255}},   // p = 0
        {{10, 20, 30, 254}, {10, 20, 30, 255}},     // p = 100
        {{100, 100, 100, 64}, {216, 216, 216, 255}},  // p = 25: 21625 x 0.01
        {{255, 0, 51, 191}, {255, 64, 102, 255}},   // p = 75: 6375, 10200 x 0.01 -> 63.75, 102
    };
    for (const Case& c : cases) {
        const auto out = run({c.in}, 1, [](uint8_t* p, image_job& job) { flatten_alpha(p, job); });
        EXPECT_EQ(out[0], c.want) << int(c.in[0]) << "," << int(c.in[3]);
    }
}

}  // namespace
