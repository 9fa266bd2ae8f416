// Posterising steps per quality, the values it never changes and its error
// diffusion on small cases worked out by hand; the extremes snap; the large
// image probe's threshold; the palette encode.
#include "core/posterize.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <array>
#include <random>
#include <vector>

#include "core/png/codec/codec_state.h"
#include "core/png/codec/decode.h"

namespace {

using bytes = std::vector<uint8_t>;

image_job job_for(uint32_t width, uint32_t height) {
    image_job job{};
    job.width = width;
    job.height = height;
    job.pixel_count = width * height;
    job.bytes_per_pixel = 4;
    job.quality = 90;
    job.quality_default = 1;
    job.max_colours = 256;
    job.colour_limit = 8192;
    job.threads = 1;
    job.deflate_threads = 1;
    return job;
}

TEST(Posterize, StepPerQuality) {
    struct test_case {
        uint8_t quality;
        uint8_t quality_default;
        int step;
    };
    const test_case cases[] = {
        {90, 1, 4},  {1, 1, 4},   {100, 1, 4}, {1, 0, 8},  {79, 0, 8},  {80, 0, 7}, {83, 0, 7},
        {84, 0, 6},  {87, 0, 6},  {88, 0, 5},  {90, 0, 5}, {91, 0, 5},  {92, 0, 4}, {95, 0, 4},
        {96, 0, 3},  {99, 0, 3},  {100, 0, 2},
    };
    for (const auto& c : cases) {
        image_job job = job_for(1, 1);
        job.quality = c.quality;
        job.quality_default = c.quality_default;
        EXPECT_EQ(posterize_step(job), c.step) << int(c.quality) << " default " << int(c.quality_default);
    }
}

// One pixel: the prediction is 0 and nothing is diffused, so each channel is
// the nearest step below c + s/2 (alpha: steps of 2), after the pre-pass.
TEST(Posterize, SinglePixelByHand) {
    struct test_case {
        const char* label;
        uint8_t quality, quality_default;
        std::array<uint8_t, 4> in, out;
    };
    const test_case cases[] = {
        {"q90 default, s 4", 90, 1, {129, 1, 254, 200}, {128, 0, 254, 200}},
        {"-q=90: s 5 after the pre-pass", 90, 0, {129, 1, 254, 200}, {130, 0, 255, 200}},
        {"-q=100: s 2, no pre-pass", 100, 0, {129, 1, 254, 201}, {130, 2, 254, 202}},
        {"-q=92: s 4, no pre-pass", 92, 0, {129, 1, 254, 201}, {128, 0, 254, 202}},
    };
    for (const auto& c : cases) {
        image_job job = job_for(1, 1);
        job.quality = c.quality;
        job.quality_default = c.quality_default;
        job.may_clean_transparent = 0;
        job.single_alpha = 0;
        bytes image(c.in.begin(), c.in.end());
        posterize(image.data(), job);
        EXPECT_EQ(image, bytes(c.out.begin(), c.out.end())) << c.label;
    }
}

TEST(Posterize, FlatGreyStaysAndErrorIsPassedOn) {
    image_job job = job_for(9, 7);
    job.may_clean_transparent = 0;
    job.single_alpha = 0;
    bytes flat(9 * 7 * 4, 128);
    for (size_t i = 3; i < flat.size(); i += 4) flat[i] = 255;
    bytes image = flat;
    posterize(image.data(), job);
    EXPECT_EQ(image, flat);

    // 129 becomes 128 and leaves 256 behind; its right neighbour of 131 gets
    // (5 x 256 + 16) / 8192 = 0 of it: prediction 64, 131 + 0 - 64 + 2 = 69,
    // 64 + 4 x 17 = 132.
    bytes two = {129, 0, 0, 255, 131, 0, 0, 255};
    image_job pair = job_for(2, 1);
    pair.may_clean_transparent = 0;
    pair.single_alpha = 0;
    posterize(two.data(), pair);
    EXPECT_EQ(two, (bytes{128, 0, 0, 255, 132, 0, 0, 255}));
}

// Channels of 0 and 255 never change, nor do alpha values 0 and 255, whatever
// the step; other values move, and the result depends only on the input.
TEST(Posterize, ExtremesNeverChange) {
    std::mt19937 random(7);
    const uint32_t w = 37, h = 23;
    bytes source(size_t(w) * h * 4);
    for (auto& v : source) {
        const uint32_t r = random() % 4;
        v = r == 0 ? 0 : r == 1 ? 255 : uint8_t(random());
    }
    for (uint8_t quality : {uint8_t(1), uint8_t(85), uint8_t(90), uint8_t(97), uint8_t(100)})
        for (uint8_t given : {uint8_t(0), uint8_t(1)})
            for (uint8_t clean : {uint8_t(0), uint8_t(1)}) {
                image_job job = job_for(w, h);
                job.quality = quality;
                job.quality_default = given;
                job.may_clean_transparent = clean;
                job.single_alpha = 0;
                bytes image = source;
                posterize(image.data(), job);
                size_t moved = 0;
                for (size_t i = 0; i < image.size(); ++i) {
                    const bool alpha = i % 4 == 3;
                    const bool transparent = source[i - i % 4 + 3] == 0;
                    if (source[i] == 0 || source[i] == 255) {
                        // The colour of a transparent pixel may be blended when cleaning.
                        if (alpha || !(clean && transparent)) {
                            ASSERT_EQ(image[i], source[i]) << int(quality) << " " << int(given) << " at " << i;
                        }
                    } else {
                        moved += image[i] != source[i];
                    }
                }
                EXPECT_GT(moved, 0u);
                bytes again = source;
                posterize(again.data(), job);
                EXPECT_EQ(again, image);
            }
}

// With one shared alpha, transparent pixels end up with one colour no opaque
// pixel has.
TEST(Posterize, SingleAlphaGetsAnUnusedColour) {
    const uint32_t w = 16, h = 16;
    bytes image(size_t(w) * h * 4);
    for (uint32_t i = 0; i < w * h; ++i) {
        image[4 * i] = uint8_t(i * 7);
        image[4 * i + 1] = uint8_t(i * 3);
        image[4 * i + 2] = uint8_t(i);
        image[4 * i + 3] = i % 5 == 0 ? 0 : 255;
    }
    image_job job = job_for(w, h);
    job.is_grey = 0;
    job.single_alpha = 1;
    job.may_clean_transparent = 1;
    posterize(image.data(), job);
    const uint8_t* t = &image[0];
    for (uint32_t i = 0; i < w * h; ++i) {
        const uint8_t* p = &image[4 * i];
        if (p[3] == 0) {
            EXPECT_TRUE(p[0] == t[0] && p[1] == t[1] && p[2] == t[2]);
        } else {
            EXPECT_FALSE(p[0] == t[0] && p[1] == t[1] && p[2] == t[2]);
        }
    }
}

TEST(SnapExtremes, SumsAboveAndBelowTheLimits) {
    struct test_case {
        uint8_t bytes_per_pixel;
        bytes in, out;
    };
    const test_case cases[] = {
        {4, {3, 3, 3, 10}, {0, 0, 0, 10}},
        {4, {252, 252, 252, 255}, {255, 255, 255, 255}},
        {4, {252, 252, 251, 7}, {252, 252, 251, 7}},
        {3, {4, 3, 3}, {4, 3, 3}},
        {3, {9, 0, 0}, {0, 0, 0}},
        {3, {255, 250, 251}, {255, 255, 255}},
    };
    for (const auto& c : cases) {
        image_job job = job_for(1, 1);
        job.bytes_per_pixel = c.bytes_per_pixel;
        bytes image = c.in;
        snap_extremes(image.data(), job);
        EXPECT_EQ(image, c.out);
    }
}

TEST(ProbeLargeImage, RunsOnlyAbove589823Pixels) {
    // A smooth ramp with few colours: flat.
    auto ramp = [](uint32_t pixels) {
        bytes image(size_t(pixels) * 4);
        for (uint32_t i = 0; i < pixels; ++i) {
            image[4 * i] = image[4 * i + 1] = image[4 * i + 2] = uint8_t(i / 20000);
            image[4 * i + 3] = 255;
        }
        return image;
    };
    {
        image_job job = job_for(589823, 1);
        const bytes image = ramp(job.pixel_count);
        probe_large_image(image.data(), job);
        EXPECT_EQ(job.flat_large_image, 0);
        EXPECT_EQ(job.colour_limit, 8192u);
        EXPECT_EQ(job.colour_count, 0u);
    }
    {
        image_job job = job_for(1000, 590);  // rows are not 768 wide: the stream is cut anyway
        const bytes image = ramp(job.pixel_count);
        probe_large_image(image.data(), job);
        EXPECT_EQ(job.flat_large_image, 1);
        EXPECT_EQ(job.colour_limit, 150000u);
        EXPECT_EQ(job.colour_count, 30u);
    }
    {
        // Noise: hardly any neighbouring pair of the probe is close.
        std::mt19937 random(3);
        image_job job = job_for(768, 768);
        bytes image(size_t(job.pixel_count) * 4);
        for (size_t i = 0; i < image.size(); ++i) image[i] = i % 4 == 3 ? 255 : uint8_t(random());
        probe_large_image(image.data(), job);
        EXPECT_EQ(job.flat_large_image, 0);
        EXPECT_EQ(job.colour_limit, 150000u);
    }
}

// The IDAT data of a PNG, inflated.
bytes image_data(const bytes& png) {
    bytes idat;
    for (size_t pos = 8; pos + 12 <= png.size();) {
        const uint32_t length = png_chunk_length(&png[pos]);
        if (png_chunk_type_equals(&png[pos], "IDAT"))
            idat.insert(idat.end(), png.begin() + long(pos) + 8, png.begin() + long(pos) + 8 + length);
        pos += 12 + length;
    }
    bytes raw(1 << 20);
    uLongf size = raw.size();
    EXPECT_EQ(uncompress(raw.data(), &size, idat.data(), uLong(idat.size())), Z_OK);
    raw.resize(size);
    if (idat.size() > 2) raw.push_back(idat[2] & 6);  // block type bits of the first block, kept last
    return raw;
}

TEST(EncodePngPalette, PaletteFileWithTransparentEntryCleared) {
    const uint32_t w = 20, h = 10;
    bytes image(size_t(w) * h * 4);
    for (uint32_t i = 0; i < w * h; ++i) {
        uint8_t* p = &image[4 * i];
        if (i % 4 == 0) {
            p[0] = 90, p[1] = 80, p[2] = 70, p[3] = 0;  // transparent with a colour
        } else {
            p[0] = uint8_t(i % 3 * 100), p[1] = 50, p[2] = 200, p[3] = 255;
        }
    }
    for (uint8_t uncompressed : {uint8_t(1), uint8_t(0)}) {
        image_job job = job_for(w, h);
        job.mode = mode_palette;
        job.png_level = 2;
        bytes out = {9, 9, 9};
        encode_png_palette(out, image.data(), uncompressed, job);
        ASSERT_EQ(job.result, 0);
        ASSERT_GT(out.size(), 8u);
        EXPECT_EQ(out[24], 8);  // bit depth
        EXPECT_EQ(out[25], 3);  // palette

        lodepng::State state;
        bytes decoded;
        uint32_t dw = 0, dh = 0;
        ASSERT_EQ(decode_png(decoded, dw, dh, state, out), 0u);
        ASSERT_EQ(decoded.size(), image.size());
        for (size_t i = 0; i < image.size(); i += 4) {
            if (image[i + 3] == 0) {
                EXPECT_EQ(bytes(decoded.begin() + long(i), decoded.begin() + long(i) + 4), (bytes{0, 0, 0, 0}));
            } else {
                EXPECT_EQ(bytes(decoded.begin() + long(i), decoded.begin() + long(i) + 4),
                          bytes(image.begin() + long(i), image.begin() + long(i) + 4));
            }
        }
        // Every row unfiltered; stored blocks only when asked for.
        const bytes raw = image_data(out);
        ASSERT_EQ(raw.size(), size_t(h) * (w + 1) + 1);
        for (uint32_t y = 0; y < h; ++y) EXPECT_EQ(raw[size_t(y) * (w + 1)], 0);
        EXPECT_EQ(raw.back() == 0, uncompressed == 1);
    }
}

}  // namespace
