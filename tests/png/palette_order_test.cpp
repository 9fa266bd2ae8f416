// Palette ordering: sort keys, nearest-neighbour chains and greedy walks.
#include "core/png/codec/palette_order.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

namespace {

using colour = std::array<int, 4>;

std::vector<colour> ordered(std::vector<colour> entries, png_palette_order order,
                            uint64_t pixels = 1000) {
    std::vector<unsigned char> palette;
    for (const colour& c : entries)
        for (int v : c) palette.push_back(static_cast<unsigned char>(v));
    order_palette(palette.data(), entries.size(), pixels, order);
    std::vector<colour> result;
    for (size_t i = 0; i < entries.size(); ++i)
        result.push_back({palette[4 * i], palette[4 * i + 1], palette[4 * i + 2], palette[4 * i + 3]});
    return result;
}

const colour white{255, 255, 255, 255};
const colour black{0, 0, 0, 255};
const colour clear_black{0, 0, 0, 0};

struct order_case {
    const char* name;
    png_palette_order order;
    uint64_t pixels;
    std::vector<colour> input;
    std::vector<colour> expected;
};

TEST(PaletteOrder, Examples) {
    const colour grey10{10, 10, 10, 255}, grey100{100, 100, 100, 255}, grey200{200, 200, 200, 255};
    const colour clear10{10, 10, 10, 0};
    const colour red{255, 0, 0, 255}, green{0, 255, 0, 255}, blue{0, 0, 255, 255};
    const std::vector<order_case> cases = {
        {"off keeps first appearance", {0, 0, 0, -1}, 1000, {white, clear_black, black},
         {white, clear_black, black}},
        {"default: translucent first, then luma", {0, 0, 0, 0}, 1000, {white, clear_black, black},
         {clear_black, black, white}},
        {"luma orders pure colours", {0, 0, 0, 0}, 1000, {red, green, blue}, {blue, red, green}},
        {"descending luma", {0, 1, 0, 0}, 1000, {black, red, clear_black, white, clear10},
         {clear10, clear_black, white, red, black}},
        {"plain keys keep old order within opacity", {1, 0, 0, 0}, 1000,
         {white, clear10, black, clear_black}, {clear10, clear_black, white, black}},
        {"translucent first, old order", {0, 0, 0, 4}, 1000, {white, clear10, black, clear_black},
         {clear10, clear_black, white, black}},
        {"chain from entry 0", {0, 1, 0, 1}, 1000, {black, white, grey10, clear_black},
         {clear_black, black, grey10, white}},
        {"chain from smallest, weight 2, all entries", {0, 0, 2, 2}, 1000,
         {grey200, black, clear10, grey100}, {black, grey100, grey200, clear10}},
        {"chain from largest, all entries", {0, 1, 2, 2}, 1000, {grey200, black, clear10, grey100},
         {grey200, grey100, black, clear10}},
        {"chain from smallest, translucent first", {0, 0, 0, 2}, 1000,
         {grey200, black, clear10, grey100}, {clear10, black, grey100, grey200}},
        {"greedy distance from transparent white", {0, 0, 0, 6}, 1000,
         {white, black, {250, 250, 250, 255}}, {white, {250, 250, 250, 255}, black}},
        {"greedy weighted green and blue", {0, 0, 0, 5}, 1000, {white, black, {250, 250, 250, 255}},
         {black, {250, 250, 250, 255}, white}},
        // White swaps places with the first entry; of the two then tied, the
        // one standing first wins.
        {"greedy swaps, ties keep the first", {0, 0, 0, 6}, 1000,
         {{254, 255, 255, 255}, {255, 254, 255, 255}, white},
         {white, {255, 254, 255, 255}, {254, 255, 255, 255}}},
        {"greedy mode 7", {0, 0, 0, 7}, 1000, {{100, 0, 0, 255}, {0, 10, 0, 255}, {0, 0, 0, 0}},
         {{0, 0, 0, 0}, {0, 10, 0, 255}, {100, 0, 0, 255}}},
    };
    for (const order_case& c : cases)
        EXPECT_EQ(ordered(c.input, c.order, c.pixels), c.expected) << c.name;
}

TEST(PaletteOrder, GreedyReferenceAlphaFollowsImageSize) {
    const colour clear_white{255, 255, 255, 0}, light{250, 250, 250, 255};
    // Up to 1,638,400 pixels the walk starts from transparent white.
    EXPECT_EQ(ordered({light, clear_white}, {0, 0, 0, 6}, 1638400),
              (std::vector<colour>{clear_white, light}));
    EXPECT_EQ(ordered({light, clear_white}, {0, 0, 0, 6}, 1638401),
              (std::vector<colour>{light, clear_white}));
}

TEST(PaletteOrder, FullPaletteIsAPermutation) {
    std::vector<colour> entries;
    for (int i = 0; i < 256; ++i) entries.push_back({(i * 37) & 255, (i * 91) & 255, i, i % 3 ? 255 : i});
    for (int mode : {0, 1, 2, 3, 4, 5, 6, 7, 9}) {
        for (int reverse : {0, 1}) {
            std::vector<colour> result = ordered(entries, {0, reverse, 0, mode}, 5000);
            std::vector<colour> a = result, b = entries;
            std::sort(a.begin(), a.end());
            std::sort(b.begin(), b.end());
            EXPECT_EQ(a, b) << "mode " << mode;
        }
    }
}

}  // namespace
