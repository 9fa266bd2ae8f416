// The fast lossless road (sequential and parallel race, palette and photo
// branches), the lossy truecolour road with its fallback to the fast encode of
// the prepared image, and the palette road, on small images built in code.
#include "core/png/fast_and_lossy.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/image_stats.h"
#include "core/options.h"
#include "core/png/codec/codec_state.h"
#include "core/png/codec/filters.h"
#include "core/transparency.h"

#include "tests/png/search_fixture.h"

namespace {

using namespace search_fixture;

void noise(uint32_t, uint32_t, uint32_t& s, uint8_t* o) {
    const uint32_t v = next_random(s);
    o[0] = uint8_t(v);
    o[1] = uint8_t(v >> 8);
    o[2] = uint8_t(v >> 16);
    o[3] = 255;
}

enum { rgb_ramp, rgba_translucent, single_alpha, palette_40, grey_changing, grey_alpha, photo_noise, tiny };

std::vector<picture> pictures() {
    std::vector<picture> list;
    list.push_back(make("rgb ramp", W, H, 1, ramp));
    list.push_back(make("rgba translucent", W, H, 2, [](uint32_t x, uint32_t y, uint32_t& s, uint8_t* o) {
        ramp(x, y, s, o);
        if ((x + y) % 5 == 0) {
            o[0] = uint8_t(next_random(s));
            o[1] = uint8_t(next_random(s));
            o[3] = 0;
        } else {
            o[3] = uint8_t(255 - (x % 7) * 30);
        }
    }));
    list.push_back(make("single alpha", W, H, 3, [](uint32_t x, uint32_t y, uint32_t& s, uint8_t* o) {
        ramp(x, y, s, o);
        if (x < 20 && y < 30) {
            o[0] = uint8_t(next_random(s));
            o[3] = 0;
        }
    }));
    list.push_back(make("palette 40", W, H, 4, [](uint32_t x, uint32_t y, uint32_t& s, uint8_t* o) {
        const uint32_t k = ((x / 6) * 7 + (y / 5) * 3 + (next_random(s) % 9 == 0 ? 1 : 0)) % 40;
        o[0] = uint8_t(k * 6);
        o[1] = uint8_t(255 - k * 5);
        o[2] = uint8_t((k * 37) & 255);
        o[3] = 255;
    }));
    // Grey whose neighbours mostly change, with fully transparent pixels.
    list.push_back(make("grey changing", W, H, 5, [](uint32_t x, uint32_t y, uint32_t& s, uint8_t* o) {
        o[0] = o[1] = o[2] = uint8_t(((x * 7 + y * 3) % 40) * 6);
        o[3] = 255;
        if (x % 9 == 0) {
            o[0] = o[1] = o[2] = uint8_t(next_random(s));
            o[3] = 0;
        } else if (x % 9 == 1) {
            o[3] = 128;
        }
    }));
    list.push_back(make("grey alpha", W, H, 6, [](uint32_t x, uint32_t y, uint32_t& s, uint8_t* o) {
        o[0] = o[1] = o[2] = uint8_t(x + y);
        o[3] = uint8_t(x < 64 ? 255 : (y * 2));
        if (o[3] == 0) o[0] = o[1] = o[2] = uint8_t(next_random(s));
    }));
    list.push_back(make("photo noise", W, H, 7, noise));
    list.push_back(make("tiny", 3, 2, 8, [](uint32_t x, uint32_t y, uint32_t&, uint8_t* o) {
        o[0] = uint8_t(x * 90);
        o[1] = uint8_t(y * 200);
        o[2] = 7;
        o[3] = x == 2 ? 0 : 255;
    }));
    return list;
}

// The job as the driver leaves it before choosing a road.
image_job analysed_job(const picture& p, uint8_t level, bool parallel, uint8_t mode = mode_lossless) {
    default_flags flags;
    init_default_flags(flags);
    flags.png_level = level;
    flags.lossless = mode == mode_lossless ? 1 : 0;
    flags.single_file = parallel ? 1 : 0;
    flags.inner_threads = parallel ? 2 : 1;
    image_job job;
    init_image_job(job, flags, 1u << 30);
    job.mode = mode;
    job.width = p.width;
    job.height = p.height;
    job.pixel_count = p.width * p.height;
    job.bytes_per_pixel = 4;
    const uint8_t* px = p.pixels.data();
    scan_alpha(px, job);
    detect_grey(px, job);
    const bool single = job.single_alpha;
    if (job.is_grey) {
        job.colour_type = job.translucent_count == 0 ? 0 : single ? 0 : 4;
        job.colour_limit = job.translucent_count == 0 ? 96 : 257;
    } else {
        job.colour_type = job.translucent_count == 0 || single ? 2 : 6;
        job.colour_limit = 8192;
    }
    job.count_all_pixels = job.noalpha;
    count_colours(px, job);
    if (job.colour_count >= 1 && job.colour_count <= 256 && job.colour_type != 0 && job.colour_type != 3)
        job.colour_type = 3;
    collect_image_stats(px, job);
    decide_transparent_cleanup(job);
    settle_colour_flags(job);
    return job;
}

TEST(FastRoad, EveryBranchKeepsVisiblePixels) {
    for (const picture& p : pictures()) {
        for (bool parallel : {false, true}) {
            const std::string label = std::string(p.name) + (parallel ? " parallel" : " sequential");
            image_job job = analysed_job(p, 0, parallel);
            bytes image = p.pixels;
            bytes result;
            lodepng::State state;
            ASSERT_EQ(optimize_png_fast(result, image, state, job), 0) << label;
            EXPECT_EQ(job.result, 0) << label;
            expect_same_visible_pixels(result, p.pixels, p.width, p.height, label);
        }
    }
}

// Both races compare the same two encodes; with different sizes they keep
// the same one.
TEST(FastRoad, SequentialAndParallelRacesAgree) {
    for (int index : {rgb_ramp, single_alpha}) {
        const picture p = pictures()[index];
        bytes results[2];
        uint32_t sizes[2][2];
        for (int parallel = 0; parallel < 2; ++parallel) {
            image_job job = analysed_job(p, 0, parallel != 0);
            bytes image = p.pixels;
            lodepng::State state;
            ASSERT_EQ(optimize_png_fast(results[parallel], image, state, job), 0) << p.name;
            EXPECT_EQ(job.parallel_trials, parallel) << p.name;
            sizes[parallel][0] = job.trial_size_unfiltered;
            sizes[parallel][1] = job.trial_size_filtered;
        }
        ASSERT_NE(sizes[0][0], sizes[0][1]) << p.name;
        EXPECT_EQ(sizes[0][0], sizes[1][0]) << p.name;
        EXPECT_EQ(sizes[0][1], sizes[1][1]) << p.name;
        EXPECT_EQ(results[0], results[1]) << p.name;
        EXPECT_EQ(results[0].size(), std::min(sizes[0][0], sizes[0][1])) << p.name;
    }
}

TEST(FastRoad, GreyWithChangingNeighboursGetsWhiteTransparentPixels) {
    const picture p = pictures()[grey_changing];
    image_job job = analysed_job(p, 0, false);
    ASSERT_EQ(job.is_grey, 1);
    ASSERT_LT(job.stat_same, job.stat_changed);
    ASSERT_EQ(job.may_clean_transparent, 1);
    ASSERT_EQ(job.single_alpha, 0);
    bytes image = p.pixels;
    bytes result;
    lodepng::State state;
    ASSERT_EQ(optimize_png_fast(result, image, state, job), 0);
    for (size_t i = 0; i < image.size(); i += 4)
        if (image[i + 3] == 0) {
            ASSERT_EQ(image[i], 255) << "pixel " << i / 4;
        }
    expect_same_visible_pixels(result, p.pixels, p.width, p.height, "grey changing");
}

// A palette-planned image at level 0 with at most 96 colours: no row filter.
TEST(FastRoad, FewColourPaletteImageUsesNoFilter) {
    const picture p = pictures()[palette_40];
    image_job job = analysed_job(p, 0, false);
    ASSERT_EQ(job.colour_type, 3);
    bytes image = p.pixels;
    bytes result;
    lodepng::State state;
    ASSERT_EQ(optimize_png_fast(result, image, state, job), 0);
    std::vector<unsigned char> filters;
    ASSERT_FALSE(read_png_filter_bytes(filters, result, p.height));
    for (unsigned char f : filters) ASSERT_EQ(f, 0);
    EXPECT_EQ(job.deflate_level, 8);
    expect_same_visible_pixels(result, p.pixels, p.width, p.height, "palette 40");
}

// A failing encode is never a result: its code is the road's result and
// the output is empty. The state the road is given cannot encode (an
// unknown block type), which fails every encode made with it.
TEST(FastRoad, FailedEncodeIsReportedNotWritten) {
    for (int index : {rgb_ramp, palette_40, photo_noise, grey_alpha}) {
        const picture p = pictures()[index];
        image_job job = analysed_job(p, 0, false);
        bytes image = p.pixels;
        bytes result;
        lodepng::State state;
        state.encoder.compression.block_type = 3;
        const uint8_t code = optimize_png_fast(result, image, state, job);
        EXPECT_NE(code, 0) << p.name;
        EXPECT_EQ(job.result, code) << p.name;
        EXPECT_TRUE(result.empty()) << p.name;
    }
}

TEST(FastRoad, MismatchedGeometryIsRefused) {
    const picture p = pictures()[rgb_ramp];
    for (bool parallel : {false, true}) {
        image_job job = analysed_job(p, 0, parallel);
        job.height -= 1;
        bytes image = p.pixels;
        bytes result;
        lodepng::State state;
        EXPECT_EQ(optimize_png_fast(result, image, state, job), 1);
        EXPECT_TRUE(result.empty());
    }
}

TEST(FastTrialEncode, PassesTheCodecCodeOnAndReportsNoSize) {
    const picture p = pictures()[rgba_translucent];
    image_job job = analysed_job(p, 0, true);
    bytes image = p.pixels;
    bytes out;
    const uint32_t size = fast_trial_encode(image, out, true, job);
    EXPECT_GT(size, 37u);
    EXPECT_EQ(size, out.size());
    EXPECT_EQ(job.result, 0);

    image_job broken = job;
    broken.height += 1;  // more rows than the image holds
    EXPECT_EQ(fast_trial_encode(image, out, false, broken), 0u);
    EXPECT_NE(broken.result, 0);
    EXPECT_TRUE(out.empty());
}

TEST(LossyRoad, GivesValidPngs) {
    for (const picture& p : pictures()) {
        for (uint8_t level : {0, 1}) {
            const std::string label = std::string(p.name) + " level " + std::to_string(level);
            image_job job = analysed_job(p, level, false, mode_lossy_truecolour);
            bytes image = p.pixels;
            bytes result;
            ASSERT_EQ(optimize_png_lossy(result, image, job), 0) << label;
            if (level == 0 && job.photo_like && !job.flat_large_image) {
                EXPECT_EQ(job.deflate_level, 77) << label;
            }
            // The result shows the posterised work image.
            expect_same_visible_pixels(result, image, p.width, p.height, label);
        }
    }
}

// A lossy result larger than the input falls back to the fast lossless
// encode of the prepared image: the pixels the earlier stages produced (here
// a converted, resized image that no decode of the input would give), with
// the job's geometry and colour-profile decision unchanged.
TEST(LossyRoad, LargerResultFallsBackToThePreparedImage) {
    for (int index : {rgb_ramp, photo_noise, rgba_translucent}) {
        const picture p = pictures()[index];
        for (bool parallel : {false, true}) {
            const std::string label = std::string(p.name) + (parallel ? " parallel" : " sequential");
            image_job job = analysed_job(p, 1, parallel, mode_lossy_truecolour);
            job.keep_icc = 0;  // converted to sRGB: the profile goes
            bytes image = p.pixels;
            bytes result;
            lodepng::State state;
            const uint8_t code = optimize_png_lossy_or_fast(result, image, state, job, 10);
            ASSERT_EQ(code, 0) << label;
            EXPECT_EQ(job.result, 0) << label;
            EXPECT_EQ(job.width, p.width) << label;
            EXPECT_EQ(job.height, p.height) << label;
            EXPECT_EQ(job.pixel_count, p.width * p.height) << label;
            EXPECT_EQ(job.keep_icc, 0) << label;
            expect_same_visible_pixels(result, p.pixels, p.width, p.height, label);
            // The work image is the one written, for the preview views.
            ASSERT_EQ(image.size(), p.pixels.size()) << label;
            for (size_t i = 0; i < image.size(); i += 4)
                if (p.pixels[i + 3] != 0) {
                    ASSERT_EQ(0, std::memcmp(&image[i], &p.pixels[i], 4)) << label;
                }
        }
    }
}

TEST(LossyRoad, SmallerResultStaysLossy) {
    const picture p = pictures()[photo_noise];
    image_job job = analysed_job(p, 1, false, mode_lossy_truecolour);
    bytes image = p.pixels;
    bytes result;
    lodepng::State state;
    ASSERT_EQ(optimize_png_lossy_or_fast(result, image, state, job, 1u << 30), 0);
    EXPECT_NE(image, p.pixels);  // posterised
    expect_same_visible_pixels(result, image, p.width, p.height, "lossy kept");
}

TEST(PaletteRoad, GivesAPaletteImage) {
    for (int index : {rgb_ramp, rgba_translucent, photo_noise, tiny}) {
        const picture p = pictures()[index];
        image_job job = analysed_job(p, 1, false, mode_palette);
        bytes image = p.pixels;
        bytes result;
        ASSERT_EQ(optimize_png_palette(result, image, job), 0) << p.name;
        uint32_t w = 0, h = 0, format = 0;
        const bytes decoded = libpng_rgba(result, w, h, &format);
        ASSERT_FALSE(decoded.empty()) << p.name;
        EXPECT_EQ(w, p.width) << p.name;
        EXPECT_EQ(h, p.height) << p.name;
        EXPECT_NE(format & PNG_FORMAT_FLAG_COLORMAP, 0u) << p.name;
        ASSERT_GT(result.size(), 25u);
        EXPECT_EQ(result[25], 3) << p.name;  // IHDR colour type
    }
}

}  // namespace
