// The unused colour for fully transparent pixels (candidate, channel steps,
// private random phase) and the stored-block round trip.
#include "core/png/transparent_colour.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <thread>
#include <vector>

#include "core/png/codec/decode.h"

namespace {

using bytes = std::vector<uint8_t>;
using rgba = std::array<uint8_t, 4>;

image_job job_for(uint32_t width, uint32_t height, bool grey = false) {
    image_job job{};
    job.width = width;
    job.height = height;
    job.pixel_count = width * height;
    job.bytes_per_pixel = 4;
    job.is_grey = grey ? 1 : 0;
    return job;
}

// Transparent pixels first (with a colour of their own), then the given pixels.
bytes image_of(const std::vector<rgba>& visible, size_t transparent = 3) {
    bytes image;
    for (size_t i = 0; i < transparent; ++i) image.insert(image.end(), {77, 66, 55, 0});
    for (const auto& p : visible) image.insert(image.end(), p.begin(), p.end());
    return image;
}

std::array<uint8_t, 3> transparent_colour(const bytes& image) {
    for (size_t i = 0; i < image.size(); i += 4)
        if (image[i + 3] == 0) return {image[i], image[i + 1], image[i + 2]};
    return {0, 0, 0};
}

void expect_all_transparent_are(const bytes& image, std::array<uint8_t, 3> colour, const char* label) {
    for (size_t i = 0; i < image.size(); i += 4)
        if (image[i + 3] == 0) {
            ASSERT_EQ(image[i], colour[0]) << label;
            ASSERT_EQ(image[i + 1], colour[1]) << label;
            ASSERT_EQ(image[i + 2], colour[2]) << label;
        }
}

std::vector<rgba> opaque_run(int r, int g_from, int g_to, int b) {
    std::vector<rgba> run;
    for (int g = g_from; g <= g_to; ++g) run.push_back({uint8_t(r), uint8_t(g), uint8_t(b), 255});
    return run;
}

TEST(FillTransparentUnusedColour, CandidateAndChannelSteps) {
    struct test_case {
        const char* label;
        std::vector<rgba> visible;
        bool grey;
        std::array<uint8_t, 3> expected;
    };
    std::vector<test_case> cases = {
        {"first visible colour unused", {{10, 20, 30, 200}, {1, 2, 3, 255}}, false, {10, 20, 30}},
        {"translucent pixels do not use colours", {{10, 20, 30, 128}, {10, 20, 31, 255}}, false, {10, 20, 30}},
        {"red stepped", {{10, 20, 30, 255}, {1, 1, 1, 255}}, false, {11, 20, 30}},
        {"red stepped past used values", {{10, 20, 30, 255}, {11, 20, 30, 255}, {12, 20, 30, 255}}, false,
         {13, 20, 30}},
        {"green stepped when red is 254", {{254, 5, 7, 255}}, false, {254, 6, 7}},
        {"blue stepped when red and green are 255", {{255, 255, 3, 255}}, false, {255, 255, 4}},
        {"grey image", {{10, 20, 30, 255}}, true, {0, 0, 0}},
        {"no visible pixel", {}, false, {0, 0, 0}},
    };
    // Green runs out: every (255, 250..254, 9) is used, so blue steps with green 254.
    {
        std::vector<rgba> v = opaque_run(255, 250, 254, 9);
        cases.push_back({"green exhausted, blue steps with green 254", v, false, {255, 254, 10}});
    }
    for (const auto& c : cases) {
        bytes image = image_of(c.visible);
        image_job job = job_for(uint32_t(image.size() / 4), 1, c.grey);
        const bytes before = image;
        fill_transparent_unused_colour(image.data(), job);
        expect_all_transparent_are(image, c.expected, c.label);
        for (size_t i = 0; i < image.size(); i += 4)
            if (before[i + 3] != 0) {
                for (int k = 0; k < 4; ++k) ASSERT_EQ(image[i + k], before[i + k]) << c.label;
            }
    }
}

// First visible colour (255, 0, 0) is used and no channel can step: the random
// phase picks an unused colour, the same one every time, whatever rand() does.
TEST(FillTransparentUnusedColour, RandomPhaseIsPrivateAndDeterministic) {
    const bytes base = image_of({{255, 0, 0, 255}, {0, 0, 0, 255}});
    image_job job = job_for(uint32_t(base.size() / 4), 1);

    bytes first = base;
    fill_transparent_unused_colour(first.data(), job);
    const auto chosen = transparent_colour(first);
    EXPECT_FALSE(chosen[0] == 255 && chosen[1] == 0 && chosen[2] == 0);
    EXPECT_FALSE(chosen[0] == 0 && chosen[1] == 0 && chosen[2] == 0);
    EXPECT_TRUE(chosen[0] <= 254 && chosen[1] <= 254 && chosen[2] <= 254);

    std::srand(12345);
    for (int i = 0; i < 17; ++i) (void)std::rand();
    bytes second = base;
    fill_transparent_unused_colour(second.data(), job);
    EXPECT_EQ(second, first);

    // Many threads at once give the same colour as one call alone.
    std::vector<bytes> results(8, base);
    std::vector<std::thread> threads;
    for (auto& r : results)
        threads.emplace_back([&r, &job] {
            for (int i = 0; i < 5; ++i) {
                bytes copy = r;
                fill_transparent_unused_colour(copy.data(), job);
                if (i == 4) r = copy;
            }
        });
    for (auto& t : threads) t.join();
    for (const auto& r : results) EXPECT_EQ(r, first);
}

// A million distinct opaque colours: the random phase still finds a free one.
TEST(FillTransparentUnusedColour, BusyImageFindsFreeColour) {
    const uint32_t width = 1024, height = 1024;
    bytes image(size_t(width) * height * 4);
    uint32_t n = 0;
    for (size_t i = 0; i < image.size(); i += 4, ++n) {
        image[i] = uint8_t(n % 255);
        image[i + 1] = uint8_t((n / 255) % 255);
        image[i + 2] = uint8_t(n / (255 * 255));
        image[i + 3] = 255;
    }
    // Candidate (0, 0, 0): used and not steppable.
    image[3] = 0;
    image[4 * 100 + 3] = 0;
    image_job job = job_for(width, height);
    std::vector<bool> used(size_t(1) << 24);
    for (size_t i = 0; i < image.size(); i += 4)
        if (image[i + 3] == 255) used[uint32_t(image[i]) << 16 | uint32_t(image[i + 1]) << 8 | image[i + 2]] = true;
    fill_transparent_unused_colour(image.data(), job);
    const auto c = transparent_colour(image);
    EXPECT_FALSE(used[uint32_t(c[0]) << 16 | uint32_t(c[1]) << 8 | c[2]]);
    EXPECT_EQ(image[4 * 100], c[0]);
    EXPECT_EQ(image[4 * 100 + 1], c[1]);
    EXPECT_EQ(image[4 * 100 + 2], c[2]);
}

// Grey-plus-alpha image whose transparent pixels carry stray colours.
bytes grey_alpha_image(uint32_t width, uint32_t height) {
    bytes image;
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            const uint8_t v = uint8_t(x * 16 + y);
            const uint8_t a = (x + y) % 3 == 0 ? 0 : uint8_t(100 + x);
            const uint8_t stray = a == 0 ? uint8_t(200 - y) : v;
            image.insert(image.end(), {stray, a == 0 ? uint8_t(9) : v, stray, a});
        }
    return image;
}

TEST(NormaliseByRoundTrip, ImageTakesTheEncodersCleanedColours) {
    const uint32_t width = 13, height = 7;
    bytes image = grey_alpha_image(width, height);
    const bytes before = image;
    image_job job = job_for(width, height);
    lodepng::State state;
    state.encoder.filter_strategy_code = 7;  // an adaptive strategy, which cleans
    png_palette_order order;
    bytes png = {1, 2, 3};

    EXPECT_EQ(normalise_by_round_trip(image, png, state, order, job), 0u);
    EXPECT_EQ(job.result, 0);
    EXPECT_EQ(job.width, width);
    EXPECT_EQ(job.height, height);
    ASSERT_EQ(image.size(), before.size());
    // Visible pixels keep their values; the scratch buffer holds an RGBA PNG
    // with stored blocks that decodes to the new image.
    for (size_t i = 0; i < image.size(); i += 4)
        if (before[i + 3] != 0) {
            for (int k = 0; k < 4; ++k) EXPECT_EQ(image[i + k], before[i + k]);
        }
    EXPECT_NE(image, before);
    EXPECT_EQ(png[25], 6);  // IHDR colour type
    lodepng::State check;
    bytes decoded;
    uint32_t w = 0, h = 0;
    ASSERT_EQ(decode_png(decoded, w, h, check, png), 0u);
    EXPECT_EQ(decoded, image);
    // The state is back to automatic colour and compressed blocks.
    EXPECT_EQ(state.encoder.auto_colour, 1u);
    EXPECT_EQ(state.encoder.compression.block_type, 2u);
    EXPECT_EQ(state.file_info.colour.colour_type, 6u);
    EXPECT_EQ(state.encoder.filter_strategy_code, 7u);
}

// A failing encode reports its code and leaves the caller's image whole.
TEST(NormaliseByRoundTrip, FailureKeepsTheImage) {
    const uint32_t width = 5, height = 4;
    bytes image = grey_alpha_image(width, height);
    const bytes before = image;
    image_job job = job_for(width, height);
    lodepng::State state;
    state.encoder.filter_strategy_code = 99;  // refused by the encoder
    png_palette_order order;
    bytes png;
    const uint32_t code = normalise_by_round_trip(image, png, state, order, job);
    EXPECT_EQ(code, png_error_filter_strategy);
    EXPECT_EQ(job.result, png_error_filter_strategy);
    EXPECT_EQ(image, before);
    EXPECT_EQ(job.width, width);
    EXPECT_EQ(job.height, height);
    EXPECT_EQ(state.encoder.auto_colour, 1u);
    EXPECT_EQ(state.encoder.compression.block_type, 2u);
}

}  // namespace
