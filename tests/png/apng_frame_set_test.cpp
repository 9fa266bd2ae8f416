// Frame-set steps: merging identical neighbours with their delays, the
// colour reductions of whole sets, and the transparent key choice. Every
// reduction is also checked to keep what each pixel shows.
#include <gtest/gtest.h>

#include <array>
#include <functional>

#include "core/png/apng_frame_set.h"
#include "png/apng_set_util.h"

namespace {

using namespace apng_test;

TEST(ApngMerge, DelaysOfMergedRuns) {
    struct row {
        const char* name;
        std::vector<std::array<uint32_t, 3>> frames;  // pixel value, delay num, delay den
        std::vector<std::array<uint32_t, 3>> want;
    } rows[] = {
        {"three of 1/10", {{1, 1, 10}, {1, 1, 10}, {1, 1, 10}}, {{1, 3, 10}}},
        {"1/10 and 1/20", {{1, 1, 10}, {1, 1, 20}}, {{1, 3, 20}}},
        {"0/0 and 5/100", {{1, 0, 0}, {1, 5, 100}}, {{1, 5, 100}}},
        {"only neighbours", {{1, 1, 10}, {2, 1, 10}, {1, 1, 10}}, {{1, 1, 10}, {2, 1, 10}, {1, 1, 10}}},
        {"the last of a run stays", {{2, 1, 10}, {1, 2, 10}, {1, 3, 10}}, {{2, 1, 10}, {1, 5, 10}}},
        {"numerator beyond 16 bits", {{1, 65535, 10}, {1, 1, 10}}, {{1, 65535, 10}, {1, 1, 10}}},
        {"denominator beyond 16 bits", {{1, 1, 65535}, {1, 1, 65534}}, {{1, 1, 65535}, {1, 1, 65534}}},
    };
    for (const row& r : rows) {
        std::vector<apng_frame> set;
        for (const auto& f : r.frames) set.push_back(grey_frame(2, 1, {uint8_t(f[0]), uint8_t(f[0])}, f[1], f[2]));
        merge_duplicate_frames(set);
        ASSERT_EQ(set.size(), r.want.size()) << r.name;
        for (size_t i = 0; i < set.size(); ++i) {
            EXPECT_EQ(set[i].pixels[0], r.want[i][0]) << r.name << " " << i;
            EXPECT_EQ(set[i].delay_num, r.want[i][1]) << r.name << " " << i;
            EXPECT_EQ(set[i].delay_den, r.want[i][2]) << r.name << " " << i;
        }
    }
    // A default image outside the animation is never merged into it, and a
    // merged first record keeps the set's description.
    std::vector<apng_frame> set;
    set.push_back(grey_frame(1, 1, {5}, 1, 10));
    set.push_back(grey_frame(1, 1, {5}, 1, 10));
    set[0].trns_length = 2, set[0].trns[1] = 9;
    merge_duplicate_frames(set, 1);
    EXPECT_EQ(set.size(), 2u);
    merge_duplicate_frames(set, 0);
    ASSERT_EQ(set.size(), 1u);
    EXPECT_EQ(set[0].trns_length, 2);
    EXPECT_EQ(set[0].trns[1], 9);
}

// Builds an RGBA set from one pixel list per frame, reduces it and checks the
// resulting type, and that every pixel shows as before.
struct reduction_case {
    const char* name;
    uint32_t colour_type_in;
    std::vector<bytes> frames;  // pixels in the input's layout
    bytes plte, trns;
    uint32_t want_type;
    int want_trns_length;  // -1: not checked
};

void check_reduction(const reduction_case& c) {
    std::vector<apng_frame> set;
    const uint32_t bpp = c.colour_type_in == 6 ? 4 : c.colour_type_in == 2 ? 3 : c.colour_type_in == 4 ? 2 : 1;
    for (const bytes& pixels : c.frames) set.push_back(make_frame(uint32_t(pixels.size() / bpp), 1, c.colour_type_in, pixels));
    set_description(set[0], c.plte, c.trns);
    const std::vector<bytes> before = set_as_rgba(set);
    reduce_frame_colours(set);
    EXPECT_EQ(set[0].colour_type, c.want_type) << c.name;
    if (c.want_trns_length >= 0) {
        EXPECT_EQ(set[0].trns_length, c.want_trns_length) << c.name;
    }
    const std::vector<bytes> after = set_as_rgba(set);
    for (size_t i = 0; i < before.size(); ++i) EXPECT_TRUE(same_visible(before[i], after[i])) << c.name << " frame " << i;
}

bytes rgba_run(uint32_t count, const std::function<std::array<uint8_t, 4>(uint32_t)>& f) {
    bytes out;
    for (uint32_t i = 0; i < count; ++i) {
        const auto p = f(i);
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

TEST(ApngReduce, ColourTypesOfWholeSets) {
    const std::vector<reduction_case> cases = {
        {"palette of opaque greys and a transparent entry becomes grey with an unused key", 3,
         {{0, 1, 2}, {2, 1, 0}}, {10, 10, 10, 0, 0, 0, 40, 40, 40}, {255, 0}, 0, 2},
        {"palette using an entry of alpha 128 stays", 3, {{0, 1}}, {10, 10, 10, 20, 20, 20}, {255, 128}, 3, -1},
        {"RGB with 128 greys becomes a palette", 2, {rgba_run(128, [](uint32_t i) {
             return std::array<uint8_t, 4>{uint8_t(i), uint8_t(i), uint8_t(i), 0};
         })}, {}, {}, 3, 1},
        {"RGB with 129 greys becomes grey", 2, {rgba_run(129, [](uint32_t i) {
             return std::array<uint8_t, 4>{uint8_t(i), uint8_t(i), uint8_t(i), 0};
         })}, {}, {}, 0, 2},
        {"opaque RGBA of few colours becomes a palette with one transparent entry first", 6,
         {{1, 2, 3, 255, 4, 5, 6, 255}, {4, 5, 6, 255, 7, 8, 9, 255}}, {}, {}, 3, 1},
        {"RGBA of many colours and alphas 0 and 255 only becomes RGB with a key", 6,
         {rgba_run(300, [](uint32_t i) {
             return std::array<uint8_t, 4>{uint8_t(i), uint8_t(i / 2), 16, uint8_t(i % 7 == 0 ? 0 : 255)};
         })}, {}, {}, 2, 6},
        {"RGBA of many translucent colours stays", 6,
         {rgba_run(300, [](uint32_t i) { return std::array<uint8_t, 4>{uint8_t(i), uint8_t(i >> 8), 2, 100}; })}, {}, {}, 6, -1},
        {"RGBA of many greys becomes grey-alpha", 6,
         {rgba_run(300, [](uint32_t i) { return std::array<uint8_t, 4>{uint8_t(i), uint8_t(i), uint8_t(i), uint8_t(i / 2)}; })},
         {}, {}, 4, -1},
        // All 256 greys in use and nothing transparent: no key can be had, so
        // the grey set gets no tRNS (a key would turn one grey transparent).
        {"opaque RGBA using all 256 greys becomes grey without a key", 6,
         {rgba_run(256, [](uint32_t i) { return std::array<uint8_t, 4>{uint8_t(i), uint8_t(i), uint8_t(i), 255}; })},
         {}, {}, 0, 0},
        {"grey-alpha using all 256 greys, all opaque, becomes grey without a key", 4,
         {rgba_run(256, [](uint32_t i) { return std::array<uint8_t, 4>{uint8_t(i), 255, 0, 0}; })},
         {}, {}, 0, 0},
        // A keyed RGB set of 256 opaque colours has no room for a transparent
        // entry: its palette has no tRNS, and the old key bytes must not be
        // read as palette alphas.
        {"keyed RGB of 256 colours becomes an all-opaque palette", 2,
         {rgba_run(256, [](uint32_t i) { return std::array<uint8_t, 4>{uint8_t(i), 0, uint8_t(i), 0}; })},
         {}, {0, 1, 0, 2, 0, 3}, 3, 0},
    };
    for (reduction_case c : cases) {
        // rgba_run makes 4-byte pixels; RGB and grey-alpha cases drop the extra bytes.
        if (c.colour_type_in == 2 || c.colour_type_in == 4) {
            const size_t keep = c.colour_type_in == 2 ? 3 : 2;
            for (bytes& f : c.frames) {
                bytes narrow;
                for (size_t i = 0; i < f.size(); i += 4) narrow.insert(narrow.end(), f.begin() + i, f.begin() + i + keep);
                f = narrow;
            }
        }
        check_reduction(c);
    }
}

TEST(ApngReduce, TransparentKeyChoice) {
    // Grey: the lowest unused value; none when all 256 occur.
    std::vector<apng_frame> grey;
    grey.push_back(make_frame(3, 1, 0, {0, 1, 3}));
    choose_transparent_key(grey);
    EXPECT_EQ(grey[0].trns_length, 2);
    EXPECT_EQ(grey[0].trns[1], 2);
    bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = uint8_t(i);
    grey.clear();
    grey.push_back(make_frame(256, 1, 0, all));
    choose_transparent_key(grey);
    EXPECT_EQ(grey[0].trns_length, 0);
    // RGB: the first colour of multiples of 16 that no pixel uses.
    std::vector<apng_frame> rgb;
    rgb.push_back(make_frame(2, 1, 2, {0, 0, 0, 0, 0, 16}));
    choose_transparent_key(rgb);
    ASSERT_EQ(rgb[0].trns_length, 6);
    EXPECT_EQ((bytes(rgb[0].trns, rgb[0].trns + 6)), (bytes{0, 0, 0, 0, 0, 32}));
    // A set that has a tRNS keeps it.
    rgb[0].trns[5] = 48;
    choose_transparent_key(rgb);
    EXPECT_EQ(rgb[0].trns[5], 48);
}

}  // namespace
