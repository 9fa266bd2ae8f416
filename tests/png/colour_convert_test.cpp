// Colour tree, pixel readers, conversion between colour modes and colour statistics.
#include "core/png/codec/colour_convert.h"

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <vector>

namespace {

png_colour_mode make_mode(uint32_t type, uint32_t depth) {
    png_colour_mode mode;
    mode.colour_type = type;
    mode.bit_depth = depth;
    return mode;
}

std::vector<uint8_t> rgba_image(std::initializer_list<std::array<uint8_t, 4>> pixels) {
    std::vector<uint8_t> image;
    for (const auto& p : pixels) image.insert(image.end(), p.begin(), p.end());
    return image;
}

colour_stats stats_of(const std::vector<uint8_t>& rgba) {
    colour_stats stats;
    EXPECT_EQ(collect_colour_stats(stats, rgba.data(), static_cast<uint32_t>(rgba.size() / 4), 1,
                                   make_mode(6, 8)),
              0u);
    return stats;
}

TEST(ColourTree, AddFindOverwrite) {
    colour_tree tree;
    EXPECT_EQ(tree.find(1, 2, 3, 4), -1);
    ASSERT_EQ(tree.add(1, 2, 3, 4, 7), 0u);
    ASSERT_EQ(tree.add(1, 2, 3, 5, 8), 0u);
    ASSERT_EQ(tree.add(255, 255, 255, 255, 0), 0u);
    EXPECT_EQ(tree.find(1, 2, 3, 4), 7);
    EXPECT_EQ(tree.find(1, 2, 3, 5), 8);
    EXPECT_EQ(tree.find(255, 255, 255, 255), 0);
    EXPECT_EQ(tree.find(1, 2, 3, 6), -1);
    ASSERT_EQ(tree.add(1, 2, 3, 4, 9), 0u);
    EXPECT_EQ(tree.find(1, 2, 3, 4), 9);
}

TEST(ColourStats, GreyBitsNeeded) {
    struct Case { std::vector<uint8_t> greys; uint32_t bits; };
    const Case cases[] = {
        {{0, 255, 0}, 1}, {{0, 85, 170, 255}, 2}, {{0, 17, 255}, 4}, {{0, 1}, 8}, {{34, 68}, 4},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> rgba;
        for (uint8_t g : c.greys) rgba.insert(rgba.end(), {g, g, g, 255});
        const colour_stats stats = stats_of(rgba);
        EXPECT_EQ(stats.bits, c.bits);
        EXPECT_EQ(stats.coloured, 0u);
        EXPECT_EQ(stats.alpha, 0u);
        EXPECT_EQ(stats.key, 0u);
    }
}

TEST(ColourStats, KeyWhenTransparentColourIsUnique) {
    colour_stats stats = stats_of(rgba_image({{1, 1, 1, 255}, {10, 20, 30, 0}, {10, 20, 30, 0}, {5, 5, 5, 255}}));
    EXPECT_EQ(stats.key, 1u);
    EXPECT_EQ(stats.alpha, 0u);
    EXPECT_EQ(stats.key_red, 2570);
    EXPECT_EQ(stats.key_green, 5140);
    EXPECT_EQ(stats.key_blue, 7710);
    EXPECT_EQ(stats.coloured, 1u);
    EXPECT_EQ(stats.bits, 8u);

    // The key colour seen opaque, before or after the transparent pixels, needs alpha.
    for (const auto& image : {rgba_image({{10, 20, 30, 255}, {10, 20, 30, 0}}),
                              rgba_image({{10, 20, 30, 0}, {10, 20, 30, 255}})}) {
        stats = stats_of(image);
        EXPECT_EQ(stats.alpha, 1u);
        EXPECT_EQ(stats.key, 0u);
        EXPECT_EQ(stats.bits, 8u);
    }
    // Two different transparent colours cannot share one key.
    stats = stats_of(rgba_image({{0, 0, 0, 0}, {1, 1, 1, 0}}));
    EXPECT_EQ(stats.alpha, 1u);
    EXPECT_EQ(stats.key, 0u);
    // Translucency needs alpha.
    stats = stats_of(rgba_image({{0, 0, 0, 255}, {0, 0, 0, 128}}));
    EXPECT_EQ(stats.alpha, 1u);
    EXPECT_EQ(stats.bits, 8u);
}

TEST(ColourStats, CountsColoursUpToTheLimit) {
    std::vector<uint8_t> rgba;
    for (int i = 0; i < 300; ++i) rgba.insert(rgba.end(), {uint8_t(i), uint8_t(i >> 8), 7, 255});
    // Repeats of an early colour change nothing.
    rgba.insert(rgba.end(), {0, 0, 7, 255});
    const colour_stats stats = stats_of(rgba);
    EXPECT_EQ(stats.colour_count, 257u);
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(stats.palette[i * 4], uint8_t(i));
        EXPECT_EQ(stats.palette[i * 4 + 1], uint8_t(i >> 8));
    }

    const colour_stats few = stats_of(rgba_image({{9, 9, 9, 255}, {9, 9, 9, 255}, {3, 3, 3, 255}}));
    EXPECT_EQ(few.colour_count, 2u);
    EXPECT_EQ(few.palette[0], 9);
    EXPECT_EQ(few.palette[4], 3);
}

TEST(ColourStats, SixteenBitInputs) {
    // Byte-doubled 16-bit samples count as 8-bit colours.
    const std::vector<uint8_t> doubled = {0x11, 0x11, 0x22, 0x22, 0x33, 0x33};
    colour_stats stats;
    ASSERT_EQ(collect_colour_stats(stats, doubled.data(), 1, 1, make_mode(2, 16)), 0u);
    EXPECT_EQ(stats.bits, 8u);
    EXPECT_EQ(stats.colour_count, 1u);
    EXPECT_EQ(stats.coloured, 1u);

    const std::vector<uint8_t> precise = {0x11, 0x12, 0x11, 0x12, 0x11, 0x12};
    colour_stats sixteen;
    ASSERT_EQ(collect_colour_stats(sixteen, precise.data(), 1, 1, make_mode(2, 16)), 0u);
    EXPECT_EQ(sixteen.bits, 16u);
    EXPECT_EQ(sixteen.colour_count, 0u);
    EXPECT_EQ(sixteen.coloured, 0u);
}

TEST(ColourConvert, PaletteIndexBeyondThePalette) {
    png_colour_mode one_bit = make_mode(3, 1);
    ASSERT_EQ(palette_add(one_bit, 200, 100, 50, 255), 0u);
    const uint8_t packed = 0x40;  // pixels 0, 1
    std::vector<uint8_t> rgba(8);
    ASSERT_EQ(convert_pixels(rgba.data(), &packed, make_mode(6, 8), one_bit, 2, 1), 0u);
    EXPECT_EQ(rgba, (std::vector<uint8_t>{200, 100, 50, 255, 0, 0, 0, 255}));

    png_colour_mode eight_bit = make_mode(3, 8);
    ASSERT_EQ(palette_add(eight_bit, 200, 100, 50, 255), 0u);
    const uint8_t indices[2] = {0, 1};
    ASSERT_EQ(convert_pixels(rgba.data(), indices, make_mode(6, 8), eight_bit, 2, 1), 0u);
    EXPECT_EQ(rgba, (std::vector<uint8_t>{200, 100, 50, 255, 0, 0, 0, 0}));
    // Without alpha, and through the single-pixel reader, it is opaque black.
    std::vector<uint8_t> rgb(6);
    ASSERT_EQ(convert_pixels(rgb.data(), indices, make_mode(2, 8), eight_bit, 2, 1), 0u);
    EXPECT_EQ(rgb, (std::vector<uint8_t>{200, 100, 50, 0, 0, 0}));
    uint8_t r, g, b, a;
    read_pixel_rgba8(r, g, b, a, 1, indices, eight_bit);
    EXPECT_EQ(a, 255);
}

TEST(ColourConvert, KeysMakePixelsTransparent) {
    png_colour_mode grey2 = make_mode(0, 2);
    grey2.key_defined = 1;
    grey2.key_red = 2;
    const uint8_t packed = 0x1B;  // 0, 1, 2, 3
    std::vector<uint8_t> rgba(16);
    ASSERT_EQ(convert_pixels(rgba.data(), &packed, make_mode(6, 8), grey2, 4, 1), 0u);
    EXPECT_EQ(rgba, (std::vector<uint8_t>{0, 0, 0, 255, 85, 85, 85, 255, 170, 170, 170, 0, 255, 255, 255, 255}));

    png_colour_mode rgb16 = make_mode(2, 16);
    rgb16.key_defined = 1;
    rgb16.key_red = 0x0102;
    rgb16.key_green = 0x0304;
    rgb16.key_blue = 0x0506;
    const std::vector<uint8_t> pixels = {1, 2, 3, 4, 5, 6, 1, 2, 3, 4, 5, 7};
    std::vector<uint8_t> out(8);
    ASSERT_EQ(convert_pixels(out.data(), pixels.data(), make_mode(6, 8), rgb16, 2, 1), 0u);
    EXPECT_EQ(out, (std::vector<uint8_t>{1, 3, 5, 0, 1, 3, 5, 255}));
}

// Every target mode that can hold the image exactly gives it back unchanged.
TEST(ColourConvert, RoundTripsThroughEveryMode) {
    std::mt19937 random(5);
    const uint32_t width = 13, height = 3;
    struct Target { uint32_t type, depth; bool grey; bool opaque; uint32_t levels; };
    const Target targets[] = {
        {0, 1, true, true, 2}, {0, 2, true, true, 4}, {0, 4, true, true, 16}, {0, 8, true, true, 256},
        {0, 16, true, true, 256}, {2, 8, false, true, 256}, {2, 16, false, true, 256},
        {4, 8, true, false, 256}, {4, 16, true, false, 256}, {6, 16, false, false, 256},
        {3, 1, false, false, 0}, {3, 2, false, false, 0}, {3, 4, false, false, 0}, {3, 8, false, false, 0},
    };
    for (const Target& t : targets) {
        std::vector<uint8_t> rgba(width * height * 4);
        png_colour_mode target = make_mode(t.type, t.depth);
        if (t.type == 3) {
            const uint32_t entries = 1u << t.depth;
            for (uint32_t i = 0; i < entries; ++i)
                ASSERT_EQ(palette_add(target, uint8_t(random()), uint8_t(random()), uint8_t(random()),
                                      uint8_t(random())), 0u);
            for (size_t p = 0; p < width * height; ++p) {
                const uint32_t entry = random() % entries;
                std::copy(target.palette + entry * 4, target.palette + entry * 4 + 4, rgba.begin() + p * 4);
            }
        } else {
            const uint32_t step = 255 / (t.levels - 1);
            for (size_t p = 0; p < width * height; ++p) {
                const uint8_t r = uint8_t((random() % t.levels) * step);
                rgba[p * 4] = r;
                rgba[p * 4 + 1] = t.grey ? r : uint8_t(random());
                rgba[p * 4 + 2] = t.grey ? r : uint8_t(random());
                rgba[p * 4 + 3] = t.opaque ? 255 : uint8_t(random());
            }
        }
        std::vector<uint8_t> converted(raw_image_size(width, height, target));
        ASSERT_EQ(convert_pixels(converted.data(), rgba.data(), target, make_mode(6, 8), width, height), 0u);
        std::vector<uint8_t> back(rgba.size());
        ASSERT_EQ(convert_pixels(back.data(), converted.data(), make_mode(6, 8), target, width, height), 0u);
        EXPECT_EQ(back, rgba) << "type " << t.type << " depth " << t.depth;
    }
}

TEST(ColourConvert, SixteenBitToSixteenBitKeepsLowBytes) {
    const std::vector<uint8_t> rgba16 = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
    std::vector<uint8_t> grey_alpha(4);
    ASSERT_EQ(convert_pixels(grey_alpha.data(), rgba16.data(), make_mode(4, 16), make_mode(6, 16), 1, 1), 0u);
    EXPECT_EQ(grey_alpha, (std::vector<uint8_t>{0x12, 0x34, 0xDE, 0xF0}));
    std::vector<uint8_t> rgba8(4);
    ASSERT_EQ(convert_pixels(rgba8.data(), rgba16.data(), make_mode(6, 8), make_mode(6, 16), 1, 1), 0u);
    EXPECT_EQ(rgba8, (std::vector<uint8_t>{0x12, 0x56, 0x9A, 0xDE}));
}

}  // namespace
