// Row filter strategies, transparent-pixel cleaning and the filter-byte reader.
#include "core/png/codec/filters.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "core/png/codec/codec_state.h"

namespace {

using bytes = std::vector<uint8_t>;

// The PNG standard's reconstruction, written out independently of the code
// under test.
bytes unfilter(const bytes& filtered, uint64_t rows, uint64_t length, size_t unit) {
    bytes image(rows * length);
    for (uint64_t r = 0; r < rows; ++r) {
        const uint8_t type = filtered[r * (length + 1)];
        const uint8_t* in = filtered.data() + r * (length + 1) + 1;
        uint8_t* row = image.data() + r * length;
        const uint8_t* up = r ? row - length : nullptr;
        for (uint64_t i = 0; i < length; ++i) {
            const int a = i >= unit ? row[i - unit] : 0;
            const int b = up ? up[i] : 0;
            const int c = (up && i >= unit) ? up[i - unit] : 0;
            int predict = 0;
            switch (type) {
            case 1: predict = a; break;
            case 2: predict = b; break;
            case 3: predict = (a + b) / 2; break;
            case 4: {
                const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
                predict = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
                break;
            }
            default: break;
            }
            row[i] = static_cast<uint8_t>(in[i] + predict);
        }
    }
    return image;
}

bytes types_of(const bytes& filtered, uint64_t rows, uint64_t length) {
    bytes types;
    for (uint64_t r = 0; r < rows; ++r) types.push_back(filtered[r * (length + 1)]);
    return types;
}

bytes run(const bytes& image, uint64_t rows, uint64_t length, size_t unit,
          const scanline_filter_settings& settings, uint32_t expected_result = 0) {
    bytes out(rows * (length + 1), 0xEE);
    EXPECT_EQ(filter_scanlines(out.data(), image.data(), rows, length, unit, settings), expected_result);
    return out;
}

bytes random_bytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    bytes b(n);
    for (auto& v : b) v = static_cast<uint8_t>(rng());
    return b;
}

// Rows whose best filter is obvious: every row repeats the one above plus a
// horizontal ramp, so "up" leaves only a constant.
bytes vertical_stripes(uint64_t rows, uint64_t length) {
    bytes image(rows * length);
    const bytes first = random_bytes(length, 7);
    for (uint64_t r = 0; r < rows; ++r)
        for (uint64_t i = 0; i < length; ++i) image[r * length + i] = first[i];
    return image;
}

TEST(FilterRow, EveryTypeReconstructsByTheStandard) {
    for (size_t unit : {1u, 2u, 3u, 4u, 6u, 8u}) {
        const uint64_t length = 5 * unit + 1;
        const bytes image = random_bytes(3 * length, static_cast<unsigned>(unit));
        for (uint32_t type = 0; type <= 4; ++type) {
            scanline_filter_settings s;
            s.strategy = type;
            const bytes out = run(image, 3, length, unit, s);
            EXPECT_EQ(types_of(out, 3, length), bytes(3, static_cast<uint8_t>(type)));
            EXPECT_EQ(unfilter(out, 3, length, unit), image) << "unit " << unit << " type " << type;
        }
    }
}

TEST(FilterRow, FirstRowPredictions) {
    // Without a row above, up predicts 0, average left / 2, Paeth left.
    const uint8_t row[4] = {10, 20, 30, 40};
    uint8_t out[4];
    filter_row(out, row, nullptr, 4, 1, 2);
    EXPECT_EQ(bytes(out, out + 4), (bytes{10, 20, 30, 40}));
    filter_row(out, row, nullptr, 4, 1, 3);
    EXPECT_EQ(bytes(out, out + 4), (bytes{10, 15, 20, 25}));
    filter_row(out, row, nullptr, 4, 1, 4);
    EXPECT_EQ(bytes(out, out + 4), (bytes{10, 10, 10, 10}));
    uint8_t untouched[4] = {1, 2, 3, 4};
    filter_row(untouched, row, nullptr, 4, 1, 5);
    EXPECT_EQ(bytes(untouched, untouched + 4), (bytes{1, 2, 3, 4}));
}

TEST(FilterStrategies, OnePixelHighImageWithUp) {
    const bytes image = {1, 2, 3, 4, 5, 6};
    scanline_filter_settings s;
    s.strategy = 2;
    EXPECT_EQ(run(image, 1, 6, 3, s), (bytes{2, 1, 2, 3, 4, 5, 6}));
}

TEST(FilterStrategies, AllStrategiesReconstructAndPickSensibly) {
    const uint64_t rows = 9, length = 40;
    const bytes noise = random_bytes(rows * length, 3);
    const bytes stripes = vertical_stripes(rows, length);
    for (uint32_t strategy : {5u, 7u, 8u, 9u, 10u, 11u, 12u, 13u}) {
        for (bool clean : {false, true}) {
            scanline_filter_settings s;
            s.strategy = strategy;
            s.clean_transparent = clean;
            // Noise without transparent pixels: any choice must reconstruct.
            bytes opaque = noise;
            for (size_t i = 3; i < opaque.size(); i += 4) opaque[i] = 255;
            const bytes out = run(opaque, rows, length, 4, s);
            EXPECT_EQ(unfilter(out, rows, length, 4), opaque) << strategy;
            for (uint8_t t : types_of(out, rows, length)) EXPECT_LE(t, 4);
            // Identical rows: from the second row on, up filters to zeros,
            // which every per-row measure prefers. (A stream over the whole
            // image finds each repeated row as one match, whatever its type.)
            const bytes same = run(stripes, rows, length, 1, s);
            EXPECT_EQ(unfilter(same, rows, length, 1), stripes);
            if (strategy >= 10 && strategy <= 12) continue;
            const bytes types = types_of(same, rows, length);
            for (uint64_t r = 1; r < rows; ++r) EXPECT_EQ(types[r], 2) << "strategy " << strategy;
        }
    }
}

TEST(FilterStrategies, TiesGoLowExceptForThePersistentStream) {
    // A single row of zeros: all five candidates are the same bytes.
    const bytes image(64, 0);
    for (uint32_t strategy : {5u, 7u, 8u, 9u, 13u}) {
        scanline_filter_settings s;
        s.strategy = strategy;
        EXPECT_EQ(run(image, 1, 64, 4, s)[0], 0) << strategy;
    }
    for (uint32_t strategy : {10u, 11u, 12u}) {
        scanline_filter_settings s;
        s.strategy = strategy;
        EXPECT_EQ(run(image, 1, 64, 4, s)[0], 4) << strategy;
    }
}

TEST(FilterStrategies, MinimumSumAndEntropyChoices) {
    // A ramp: sub leaves a constant, which both heuristics prefer.
    bytes ramp(32);
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<uint8_t>(100 + 3 * i);
    for (uint32_t strategy : {7u, 8u}) {
        scanline_filter_settings s;
        s.strategy = strategy;
        EXPECT_EQ(run(ramp, 1, 32, 1, s)[0], 1) << strategy;
    }
    // Minimum sum counts type-0 bytes as they are and the others by their
    // distance from 0 or 255: alternating 250 and 5 costs 1020 unfiltered
    // but 40 as "up" without a row above (the same bytes).
    const bytes alternating = {250, 5, 250, 5, 250, 5, 250, 5};
    scanline_filter_settings s;
    s.strategy = 7;
    EXPECT_EQ(run(alternating, 1, 8, 1, s)[0], 2);
}

TEST(FilterStrategies, PresetListAndItsFallback) {
    const uint64_t rows = 4, length = 6;
    const bytes image = random_bytes(rows * length, 11);
    const uint8_t list[] = {3, 1, 4, 2};
    const uint8_t bad[] = {3, 1, 5, 2};
    struct preset_case {
        const uint8_t* list;
        size_t count;
        bytes expected_types;
    } cases[] = {
        {list, 4, {3, 1, 4, 2}},
        {list, 3, {0, 0, 0, 0}},   // too short
        {bad, 4, {0, 0, 0, 0}},    // a value above 4
        {nullptr, 0, {0, 0, 0, 0}},
    };
    for (const preset_case& c : cases) {
        scanline_filter_settings s;
        s.strategy = 6;
        s.preset_filters = c.list;
        s.preset_count = c.count;
        s.clean_transparent = true;
        const bytes out = run(image, rows, length, 2, s);
        EXPECT_EQ(types_of(out, rows, length), c.expected_types);
        EXPECT_EQ(unfilter(out, rows, length, 2), image);
    }
}

TEST(FilterStrategies, UnknownStrategyIs88) {
    scanline_filter_settings s;
    s.strategy = 14;
    run(bytes(8, 1), 2, 4, 1, s, 88);
    png_colour_mode mode;
    lodepng::State state;
    state.encoder.filter_strategy_code = 14;
    bytes out(2 * 5);
    EXPECT_EQ(filter_with_trials(out.data(), bytes(8, 1).data(), 1, 2, mode, state), 88u);
}

TEST(FilterStrategies, InvalidColourModeIs31) {
    lodepng::State state;
    bytes out(64), image(64);
    for (uint32_t type : {1u, 5u, 7u}) {
        png_colour_mode mode;
        mode.colour_type = type;
        EXPECT_EQ(filter_with_trials(out.data(), image.data(), 2, 2, mode, state), 31u) << type;
    }
}

TEST(TransparentCleaning, RowRewriteRules) {
    const uint8_t above[8] = {40, 50, 60, 255, 100, 120, 140, 255};
    struct clean_case {
        unsigned type;
        bool with_previous;
        bytes row, expected;
    } cases[] = {
        {2, true, {9, 9, 9, 0, 1, 2, 3, 255}, {40, 50, 60, 0, 1, 2, 3, 255}},
        {2, false, {9, 9, 9, 0, 7, 7, 7, 0}, {0, 0, 0, 0, 0, 0, 0, 0}},
        {3, true, {9, 9, 9, 0, 9, 9, 9, 0}, {20, 25, 30, 0, 60, 72, 85, 0}},
        {3, false, {9, 9, 9, 0, 9, 9, 9, 0}, {0, 0, 0, 0, 0, 0, 0, 0}},
        {3, false, {200, 100, 50, 255, 9, 9, 9, 0}, {200, 100, 50, 255, 100, 50, 25, 0}},
        {1, true, {9, 9, 9, 0, 9, 9, 9, 0}, {9, 9, 9, 0, 9, 9, 9, 0}},
        {4, true, {9, 9, 9, 0, 9, 9, 9, 0}, {9, 9, 9, 0, 9, 9, 9, 0}},
        {0, true, {9, 9, 9, 0, 9, 9, 9, 0}, {9, 9, 9, 0, 9, 9, 9, 0}},
    };
    for (const clean_case& c : cases) {
        bytes row = c.row;
        clean_transparent_row(row.data(), c.with_previous ? above : nullptr, 8, c.type);
        EXPECT_EQ(row, c.expected) << "type " << c.type << " previous " << c.with_previous;
    }
}

TEST(TransparentCleaning, ChosenRowHoldsTheCleanedPixels) {
    // A transparent (9, 9, 9, 0) below an opaque (40, 50, 60, 255).
    const bytes image = {40, 50, 60, 255, 100, 100, 100, 255, 9, 9, 9, 0, 100, 100, 100, 255};
    scanline_filter_settings s;
    s.strategy = 7;
    s.clean_transparent = true;
    bytes out = run(image, 2, 8, 4, s);
    // With cleaning "up" predicts the transparent pixel exactly.
    EXPECT_EQ(out[9], 2);
    bytes restored = unfilter(out, 2, 8, 4);
    EXPECT_EQ(bytes(restored.begin() + 8, restored.end()), (bytes{40, 50, 60, 0, 100, 100, 100, 255}));
    // With type 0 chosen, the transparent pixel becomes (0, 0, 0, 0).
    const bytes lone = {9, 9, 9, 0, 9, 9, 9, 0};
    out = run(lone, 1, 8, 4, s);
    EXPECT_EQ(out, (bytes{0, 0, 0, 0, 0, 0, 0, 0, 0}));
    // Without cleaning the pixels are kept as they are.
    s.clean_transparent = false;
    out = run(image, 2, 8, 4, s);
    EXPECT_EQ(unfilter(out, 2, 8, 4), image);
}

TEST(TransparentCleaning, OnlyForRgba8WithoutKeyAndPerRowStrategies) {
    // Two rows: opaque above, transparent below. If cleaning happens, the
    // second row reconstructs to the colour above.
    const bytes rgba = {40, 50, 60, 255, 9, 9, 9, 0};
    struct mode_case {
        uint32_t colour_type, bit_depth, key, strategy;
        bool cleaned;
    } cases[] = {
        {6, 8, 0, 7, true},   {6, 8, 0, 8, true},  {6, 8, 1, 7, false},
        {6, 8, 0, 2, false},  {6, 8, 0, 0, false}, {6, 8, 0, 6, false},
        {2, 8, 0, 7, false},  {4, 8, 0, 7, false}, {0, 8, 0, 7, false},
        {6, 16, 0, 7, false},
    };
    for (const mode_case& c : cases) {
        png_colour_mode mode;
        mode.colour_type = c.colour_type;
        mode.bit_depth = c.bit_depth;
        mode.key_defined = c.key;
        lodepng::State state;
        state.encoder.filter_strategy_code = c.strategy;
        state.encoder.clean_transparent = 1;
        const uint32_t bpp = bits_per_pixel(mode);
        const uint64_t length = bpp / 8;
        bytes image(2 * length);
        std::memcpy(image.data(), rgba.data(), std::min<size_t>(4, length));
        std::memcpy(image.data() + length, rgba.data() + 4, std::min<size_t>(4, length));
        bytes out(2 * (length + 1));
        ASSERT_EQ(filter_with_trials(out.data(), image.data(), 1, 2, mode, state), 0u);
        const bool changed = unfilter(out, 2, length, length) != image;
        EXPECT_EQ(changed, c.cleaned) << "type " << c.colour_type << " strategy " << c.strategy;
    }
}

TEST(TransparentCleaning, EveryStrategyKeepsWhatIsVisible) {
    const uint64_t rows = 12, length = 4 * 15;
    bytes image = random_bytes(rows * length, 5);
    for (size_t i = 3; i < image.size(); i += 4) image[i] = image[i] < 128 ? 0 : image[i];
    for (uint32_t strategy : {5u, 7u, 8u, 9u, 10u, 11u, 12u, 13u}) {
        scanline_filter_settings s;
        s.strategy = strategy;
        s.clean_transparent = true;
        const bytes restored = unfilter(run(image, rows, length, 4, s), rows, length, 4);
        bool recoloured = false;
        for (size_t i = 0; i < image.size(); i += 4) {
            ASSERT_EQ(restored[i + 3], image[i + 3]) << strategy;
            if (image[i + 3] != 0) {
                ASSERT_EQ(std::memcmp(&restored[i], &image[i], 3), 0) << strategy;
            } else {
                recoloured |= std::memcmp(&restored[i], &image[i], 3) != 0;
            }
        }
        EXPECT_TRUE(recoloured) << strategy;
    }
}

// --- read_png_filter_bytes ---------------------------------------------------

void append_chunk(bytes& png, const char* type, const bytes& data) {
    ASSERT_EQ(png_chunk_create(png, static_cast<uint32_t>(data.size()), type, data.data()), 0u);
}

bytes make_png(uint32_t width, uint32_t height, uint8_t colour_type, uint8_t depth, uint8_t interlace,
               const bytes& filtered, size_t idat_parts = 1) {
    bytes png(png_signature, png_signature + 8);
    const bytes ihdr = {uint8_t(width >> 24), uint8_t(width >> 16), uint8_t(width >> 8), uint8_t(width),
                        uint8_t(height >> 24), uint8_t(height >> 16), uint8_t(height >> 8), uint8_t(height),
                        depth, colour_type, 0, 0, interlace};
    append_chunk(png, "IHDR", ihdr);
    uLongf size = compressBound(filtered.size());
    bytes z(size);
    compress2(z.data(), &size, filtered.data(), filtered.size(), 9);
    z.resize(size);
    append_chunk(png, "tEXt", bytes{'a', 0, 'b'});
    const size_t part = (z.size() + idat_parts - 1) / idat_parts;
    for (size_t at = 0; at < z.size(); at += part)
        append_chunk(png, "IDAT", bytes(z.begin() + at, z.begin() + std::min(z.size(), at + part)));
    append_chunk(png, "IEND", {});
    return png;
}

TEST(ReadFilterBytes, NonInterlacedRowsInOrder) {
    // 5 x 4 grey 4-bit: rows of 3 bytes.
    const bytes types = {1, 0, 4, 2};
    bytes filtered;
    for (uint8_t t : types) filtered.insert(filtered.end(), {t, 0x12, 0x34, 0x50});
    bytes out = {9};
    EXPECT_FALSE(read_png_filter_bytes(out, make_png(5, 4, 0, 4, 0, filtered, 3), 4));
    EXPECT_EQ(out, types);
}

TEST(ReadFilterBytes, InterlacedRowsComeFromPassesSixAndSeven) {
    // 3 x 5 RGB 8-bit, Adam7. Pass rows get type bytes that name them:
    // pass p, row r -> 10 * p + r (not valid filter types, but the reader
    // only collects them).
    const uint32_t width = 3, height = 5;
    const uint32_t x0[7] = {0, 4, 0, 2, 0, 1, 0}, y0[7] = {0, 0, 4, 0, 2, 0, 1};
    const uint32_t dx[7] = {8, 8, 4, 4, 2, 2, 1}, dy[7] = {8, 8, 8, 4, 4, 2, 2};
    bytes filtered;
    for (int p = 0; p < 7; ++p) {
        const uint32_t w = width > x0[p] ? (width - x0[p] + dx[p] - 1) / dx[p] : 0;
        const uint32_t h = height > y0[p] ? (height - y0[p] + dy[p] - 1) / dy[p] : 0;
        if (w == 0 || h == 0) continue;
        for (uint32_t r = 0; r < h; ++r) {
            filtered.push_back(static_cast<uint8_t>(10 * (p + 1) + r));
            filtered.insert(filtered.end(), 3 * w, 0);
        }
    }
    bytes out;
    EXPECT_FALSE(read_png_filter_bytes(out, make_png(width, height, 2, 8, 1, filtered), height));
    EXPECT_EQ(out, (bytes{60, 70, 61, 71, 62}));
}

TEST(ReadFilterBytes, FailuresLeaveTheOutputAlone) {
    bytes filtered = {0, 1, 2, 3};
    const bytes good = make_png(3, 1, 2, 8, 0, filtered);
    bytes cut = good;
    cut.resize(cut.size() - 20);  // IDAT runs past the end
    bytes bad_adler = good;
    bad_adler[bad_adler.size() - 17] ^= 1;  // last byte of the zlib stream
    bytes zero_type = good;
    zero_type[33 + 4] = 0;  // the tEXt chunk's type
    const bytes cases[] = {bytes{}, bytes(40, 0), cut, bad_adler, zero_type};
    for (const bytes& png : cases) {
        bytes out = {7, 7};
        EXPECT_TRUE(read_png_filter_bytes(out, png, 1));
        EXPECT_EQ(out, (bytes{7, 7}));
    }
    bytes out;
    EXPECT_FALSE(read_png_filter_bytes(out, good, 1));
    EXPECT_EQ(out, bytes{0});
}

}  // namespace
