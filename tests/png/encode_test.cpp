// The PNG encoder, checked against libpng as the decoder of record.
#include "core/png/codec/encode.h"

#include <gtest/gtest.h>
// libpng's global `png_info` typedef would clash with the codec's record of
// that name; inside this file libpng's is renamed.
#define png_info libpng_info
#include <png.h>
#undef png_info
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "core/png/codec/decode.h"
#include "core/png/codec/filters.h"

namespace {

using bytes = std::vector<uint8_t>;

// --- libpng as the oracle ---------------------------------------------------

struct libpng_image {
    bool ok = false;
    uint32_t width = 0, height = 0;
    int colour_type = -1, bit_depth = 0, interlace = 0;
    bytes pixels;  // RGBA, 8 or 16 bits per channel (big-endian), or the raw rows
    size_t row_bytes = 0;
};

struct memory_reader {
    const bytes* data;
    size_t pos;
};

void read_from_memory(png_structp png, png_bytep out, png_size_t length) {
    auto* reader = static_cast<memory_reader*>(png_get_io_ptr(png));
    if (reader->pos + length > reader->data->size()) png_error(png, "read past end");
    std::memcpy(out, reader->data->data() + reader->pos, length);
    reader->pos += length;
}

void quiet_error(png_structp png, png_const_charp) { longjmp(png_jmpbuf(png), 1); }
void quiet_warning(png_structp, png_const_charp) {}

enum class libpng_output { rgba8, rgba16, raw };

libpng_image libpng_decode(const bytes& file, libpng_output output = libpng_output::rgba8) {
    libpng_image result;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, quiet_error, quiet_warning);
    png_infop info = png_create_info_struct(png);
    memory_reader reader{&file, 0};
    std::vector<png_bytep> rows;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return libpng_image{};
    }
    png_set_read_fn(png, &reader, read_from_memory);
    png_read_info(png, info);
    result.width = png_get_image_width(png, info);
    result.height = png_get_image_height(png, info);
    result.colour_type = png_get_color_type(png, info);
    result.bit_depth = png_get_bit_depth(png, info);
    result.interlace = png_get_interlace_type(png, info);
    if (output != libpng_output::raw) {
        png_set_expand(png);
        if (output == libpng_output::rgba16)
            png_set_expand_16(png);
        else
            png_set_strip_16(png);
        png_set_gray_to_rgb(png);
        png_set_add_alpha(png, 0xFFFF, PNG_FILLER_AFTER);
    }
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    result.row_bytes = png_get_rowbytes(png, info);
    result.pixels.resize(result.row_bytes * result.height);
    for (uint32_t y = 0; y < result.height; ++y) rows.push_back(result.pixels.data() + y * result.row_bytes);
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    result.ok = true;
    return result;
}

std::vector<std::string> chunk_types(const bytes& png) {
    std::vector<std::string> types;
    for (size_t pos = 8; pos + 12 <= png.size();) {
        const uint32_t length = png_chunk_length(png.data() + pos);
        types.emplace_back(reinterpret_cast<const char*>(png.data() + pos + 4), 4);
        pos += uint64_t(length) + 12;
    }
    return types;
}

bytes chunk_data(const bytes& png, const std::string& type) {
    for (size_t pos = 8; pos + 12 <= png.size();) {
        const uint32_t length = png_chunk_length(png.data() + pos);
        if (std::string(reinterpret_cast<const char*>(png.data() + pos + 4), 4) == type)
            return bytes(png.begin() + pos + 8, png.begin() + pos + 8 + length);
        pos += uint64_t(length) + 12;
    }
    return {};
}

// --- compressor hooks ---------------------------------------------------------

struct zlib_hook_context {
    int level = 6;
    int calls = 0;
    uint32_t block_type_seen = 99;
};

// Raw deflate with the packaged zlib, at the level its context asks for.
uint32_t zlib_hook(uint8_t** out, uint64_t* outsize, const uint8_t* in, uint64_t insize,
                   const png_compress_settings* settings) {
    auto* context = static_cast<zlib_hook_context*>(settings->compressor_context);
    context->calls++;
    context->block_type_seen = settings->block_type;
    z_stream strm{};
    if (deflateInit2(&strm, context->level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return 83;
    const uLong bound = deflateBound(&strm, insize);
    *out = static_cast<uint8_t*>(std::malloc(bound));
    strm.next_in = const_cast<uint8_t*>(in);
    strm.avail_in = static_cast<uInt>(insize);
    strm.next_out = *out;
    strm.avail_out = static_cast<uInt>(bound);
    const int ret = deflate(&strm, Z_FINISH);
    *outsize = strm.total_out;
    deflateEnd(&strm);
    return ret == Z_STREAM_END ? 0 : 83;
}

uint32_t failing_hook(uint8_t** out, uint64_t* outsize, const uint8_t*, uint64_t,
                      const png_compress_settings*) {
    *out = static_cast<uint8_t*>(std::malloc(16));
    *outsize = 16;
    return 123;
}

uint32_t empty_hook(uint8_t** out, uint64_t* outsize, const uint8_t*, uint64_t,
                    const png_compress_settings*) {
    *out = static_cast<uint8_t*>(std::malloc(1));
    *outsize = 0;
    return 0;
}

struct encoder_setup {
    lodepng::State state;
    zlib_hook_context context;
    encoder_setup() {
        state.encoder.compression.compressor = zlib_hook;
        state.encoder.compression.compressor_context = &context;
    }
};

// --- images -------------------------------------------------------------------

struct rgba {
    uint8_t r, g, b, a;
};

bytes image_of(const std::vector<rgba>& pixels) {
    bytes image;
    for (const rgba& p : pixels) image.insert(image.end(), {p.r, p.g, p.b, p.a});
    return image;
}

// `count` pixels cycling through `colours`.
bytes cycle(const std::vector<rgba>& colours, size_t count) {
    std::vector<rgba> pixels;
    for (size_t i = 0; i < count; ++i) pixels.push_back(colours[i % colours.size()]);
    return image_of(pixels);
}

std::vector<rgba> greys(int levels) {
    std::vector<rgba> colours;
    for (int i = 0; i < levels; ++i) colours.push_back({uint8_t(i), uint8_t(i), uint8_t(i), 255});
    return colours;
}

std::vector<rgba> distinct_colours(int n) {
    std::vector<rgba> colours;
    for (int i = 0; i < n; ++i) colours.push_back({uint8_t(i), uint8_t(i * 7), uint8_t(255 - i), 255});
    return colours;
}

bytes random_rgba(size_t pixels, unsigned seed, bool transparency) {
    std::mt19937 rng(seed);
    bytes image(4 * pixels);
    for (size_t i = 0; i < pixels; ++i) {
        for (int c = 0; c < 3; ++c) image[4 * i + c] = static_cast<uint8_t>(rng());
        const unsigned a = rng() % 4;
        image[4 * i + 3] = !transparency ? 255 : a == 0 ? 0 : a == 1 ? 255 : static_cast<uint8_t>(rng());
    }
    return image;
}

// Pixels that are fully transparent in both may differ in colour (cleaning
// recolours them); everything else must match exactly.
void expect_same_visible(const bytes& decoded, const bytes& expected, const std::string& what) {
    ASSERT_EQ(decoded.size(), expected.size()) << what;
    for (size_t i = 0; i < expected.size(); i += 4) {
        if (expected[i + 3] == 0 && decoded[i + 3] == 0) continue;
        ASSERT_EQ(std::memcmp(&decoded[i], &expected[i], 4), 0) << what << " pixel " << i / 4;
    }
}

bytes encode_ok(encoder_setup& setup, const bytes& image, uint32_t width, uint32_t height,
                const png_palette_order* order = nullptr) {
    bytes png;
    EXPECT_EQ(encode_png(png, image, width, height, setup.state, order), 0u);
    EXPECT_EQ(setup.state.last_error, 0u);
    return png;
}

// --- automatic colour choice --------------------------------------------------

TEST(EncodeColourChoice, TableOfExamples) {
    std::vector<rgba> thirty = distinct_colours(29);
    thirty.push_back({200, 10, 10, 0});  // the only transparent colour
    std::vector<rgba> grey_and_key = greys(200);
    grey_and_key.push_back({250, 250, 250, 0});
    std::vector<rgba> grey_alpha;
    for (int i = 0; i < 300; ++i) grey_alpha.push_back({uint8_t(i), uint8_t(i), uint8_t(i), uint8_t(i * 3)});
    struct choice_case {
        const char* name;
        uint32_t width, height;
        bytes image;
        uint32_t colour_type, bit_depth;
        bool key;
    } cases[] = {
        {"3x3, two colours: too small for a palette", 3, 3, cycle({{255, 0, 0, 255}, {0, 0, 255, 255}}, 9), 2, 8, false},
        {"4x3, two colours: 1-bit palette", 4, 3, cycle({{255, 0, 0, 255}, {0, 0, 255, 255}}, 12), 3, 1, false},
        {"360 px, 180 grey levels: grey", 20, 18, cycle(greys(180), 360), 0, 8, false},
        {"360 px, 179 grey levels: palette", 20, 18, cycle(greys(179), 360), 3, 8, false},
        {"black and white: 1-bit palette", 5, 2, cycle({{0, 0, 0, 255}, {255, 255, 255, 255}}, 10), 3, 1, false},
        {"200 colours in 399 px: RGB", 21, 19, cycle(distinct_colours(200), 399), 2, 8, false},
        {"200 colours in 400 px: palette", 20, 20, cycle(distinct_colours(200), 400), 3, 8, false},
        {"30 colours in 50 px, one transparent: RGB with key", 10, 5, cycle(thirty, 50), 2, 8, true},
        {"the same in 49 px: RGBA", 7, 7, cycle(thirty, 49), 6, 8, false},
        {"many greys with a transparent one: grey with key", 20, 21, cycle(grey_and_key, 420), 0, 8, true},
        {"grey with alpha", 20, 20, cycle(grey_alpha, 400), 4, 8, false},
        {"four grey steps in 9 px: 2-bit grey", 3, 3, cycle({{0, 0, 0, 255}, {85, 85, 85, 255}, {170, 170, 170, 255}, {255, 255, 255, 255}}, 9), 0, 2, false},
        {"multiples of 17 in 9 px: 4-bit grey", 3, 3, cycle({{17, 17, 17, 255}, {34, 34, 34, 255}}, 9), 0, 4, false},
        {"colour with alpha", 16, 16, random_rgba(256, 1, true), 6, 8, false},
    };
    for (const choice_case& c : cases) {
        encoder_setup setup;
        const bytes png = encode_ok(setup, c.image, c.width, c.height);
        const png_colour_mode& mode = setup.state.result_mode;
        EXPECT_EQ(mode.colour_type, c.colour_type) << c.name;
        EXPECT_EQ(mode.bit_depth, c.bit_depth) << c.name;
        EXPECT_EQ(mode.key_defined != 0, c.key) << c.name;
        const libpng_image decoded = libpng_decode(png);
        ASSERT_TRUE(decoded.ok) << c.name;
        EXPECT_EQ(uint32_t(decoded.colour_type), c.colour_type) << c.name;
        EXPECT_EQ(uint32_t(decoded.bit_depth), c.bit_depth) << c.name;
        expect_same_visible(decoded.pixels, c.image, c.name);
        const auto types = chunk_types(png);
        const bool has_trns = std::find(types.begin(), types.end(), "tRNS") != types.end();
        if (c.colour_type == 3 || c.key) {
            bool translucent = c.key;
            for (size_t i = 3; i < c.image.size(); i += 4) translucent |= c.image[i] != 255;
            EXPECT_EQ(has_trns, translucent) << c.name;
        }
    }
}

TEST(EncodeColourChoice, KeyIsMaskedToTheDepthAndWritten) {
    // Grey levels 0..199 and a transparent (250, 250, 250): key 250 in tRNS.
    std::vector<rgba> colours = greys(200);
    colours.push_back({250, 250, 250, 0});
    const bytes image = cycle(colours, 420);
    encoder_setup setup;
    const bytes png = encode_ok(setup, image, 20, 21);
    EXPECT_EQ(setup.state.result_mode.key_red, 250u);
    EXPECT_EQ(chunk_data(png, "tRNS"), (bytes{0, 250}));
}

TEST(EncodeColourChoice, SixteenBitInput) {
    encoder_setup setup;
    setup.state.raw_mode.bit_depth = 16;
    setup.state.raw_mode.colour_type = 2;
    const uint32_t width = 7, height = 5;
    std::mt19937 rng(9);
    bytes image(6 * width * height);
    for (auto& v : image) v = static_cast<uint8_t>(rng());
    const bytes png = encode_ok(setup, image, width, height);
    EXPECT_EQ(setup.state.result_mode.colour_type, 2u);
    EXPECT_EQ(setup.state.result_mode.bit_depth, 16u);
    const libpng_image decoded = libpng_decode(png, libpng_output::rgba16);
    ASSERT_TRUE(decoded.ok);
    for (size_t i = 0; i < size_t(width) * height; ++i) {
        ASSERT_EQ(std::memcmp(&decoded.pixels[8 * i], &image[6 * i], 6), 0) << i;
        ASSERT_EQ(decoded.pixels[8 * i + 6], 0xFF);
    }
}

// --- palette order through the encoder ----------------------------------------

bytes palette_of(const png_colour_mode& mode) {
    return bytes(mode.palette, mode.palette + 4 * mode.palette_size);
}

TEST(EncodePaletteOrder, OrderRecordReachesThePalette) {
    const bytes image = cycle({{255, 255, 255, 255}, {0, 0, 0, 0}, {0, 0, 0, 255}}, 12);
    struct order_case {
        png_palette_order order;
        bytes palette;
    } cases[] = {
        {{0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 255, 255, 255, 255, 255}},
        {{0, 0, 0, -1}, {255, 255, 255, 255, 0, 0, 0, 0, 0, 0, 0, 255}},
    };
    for (const order_case& c : cases) {
        encoder_setup setup;
        const bytes png = encode_ok(setup, image, 4, 3, &c.order);
        EXPECT_EQ(palette_of(setup.state.result_mode), c.palette);
        bytes plte;
        for (size_t i = 0; i < c.palette.size(); i += 4) plte.insert(plte.end(), &c.palette[i], &c.palette[i] + 3);
        EXPECT_EQ(chunk_data(png, "PLTE"), plte);
        const libpng_image decoded = libpng_decode(png);
        ASSERT_TRUE(decoded.ok);
        expect_same_visible(decoded.pixels, image, "palette order");
    }
    // tRNS stops at the last translucent entry.
    encoder_setup setup;
    const png_palette_order translucent_first{};
    EXPECT_EQ(chunk_data(encode_ok(setup, image, 4, 3, &translucent_first), "tRNS"), bytes{0});
}

// --- round trips --------------------------------------------------------------

TEST(EncodeRoundTrip, EveryStrategyAndInterlaceDecodesToTheInput) {
    struct image_case {
        const char* name;
        uint32_t width, height;
        bytes image;
    };
    const image_case images[] = {
        {"1x1", 1, 1, image_of({{10, 20, 30, 40}})},
        {"noise with transparency", 13, 7, random_rgba(13 * 7, 2, true)},
        {"opaque noise", 9, 10, random_rgba(90, 3, false)},
        {"few colours", 17, 9, cycle(distinct_colours(5), 17 * 9)},
        {"grey", 11, 6, cycle(greys(40), 66)},
        {"black and white", 5, 9, cycle({{0, 0, 0, 255}, {255, 255, 255, 255}, {255, 255, 255, 255}}, 45)},
    };
    for (uint32_t strategy = 0; strategy <= 13; ++strategy) {
        for (uint32_t interlace : {0u, 1u}) {
            for (const image_case& c : images) {
                encoder_setup setup;
                setup.state.encoder.filter_strategy_code = strategy;
                setup.state.file_info.interlace_method = interlace;
                const bytes png = encode_ok(setup, c.image, c.width, c.height);
                const libpng_image decoded = libpng_decode(png);
                ASSERT_TRUE(decoded.ok) << c.name << " strategy " << strategy;
                EXPECT_EQ(decoded.interlace, int(interlace));
                expect_same_visible(decoded.pixels, c.image,
                                    std::string(c.name) + " strategy " + std::to_string(strategy) +
                                        " interlace " + std::to_string(interlace));
            }
        }
    }
}

TEST(EncodeRoundTrip, WithoutCleaningTransparentColoursSurvive) {
    const bytes image = random_rgba(12 * 12, 4, true);
    encoder_setup setup;
    setup.state.encoder.clean_transparent = 0;
    const libpng_image decoded = libpng_decode(encode_ok(setup, image, 12, 12));
    ASSERT_TRUE(decoded.ok);
    EXPECT_EQ(decoded.pixels, image);
}

png_colour_mode colour_mode(uint32_t type, uint32_t depth) {
    png_colour_mode mode;
    mode.colour_type = type;
    mode.bit_depth = depth;
    return mode;
}

TEST(EncodeRoundTrip, FixedModesConvertedFromRgba) {
    // The image uses four greys, so it fits every target mode.
    const std::vector<rgba> four = {{0, 0, 0, 255}, {85, 85, 85, 255}, {170, 170, 170, 255}, {255, 255, 255, 255}};
    const uint32_t width = 7, height = 5;
    const bytes image = cycle({four[0], four[1], four[3], four[2], four[2], four[1]}, width * height);
    const std::pair<uint32_t, uint32_t> modes[] = {{0, 2}, {0, 4}, {0, 8}, {0, 16}, {2, 8}, {2, 16},
                                                   {3, 2}, {3, 4}, {3, 8}, {4, 8}, {4, 16}, {6, 8},
                                                   {6, 16}};
    for (const auto& [type, depth] : modes) {
        for (uint32_t interlace : {0u, 1u}) {
            encoder_setup setup;
            setup.state.encoder.auto_colour = 0;
            setup.state.file_info.interlace_method = interlace;
            setup.state.file_info.colour = colour_mode(type, depth);
            if (type == 3)
                for (const rgba& c : four) palette_add(setup.state.file_info.colour, c.r, c.g, c.b, c.a);
            const bytes png = encode_ok(setup, image, width, height);
            const libpng_image decoded = libpng_decode(png);
            ASSERT_TRUE(decoded.ok);
            EXPECT_EQ(uint32_t(decoded.colour_type), type);
            EXPECT_EQ(uint32_t(decoded.bit_depth), depth);
            EXPECT_EQ(decoded.pixels, image) << "type " << type << " depth " << depth << " interlace " << interlace;
        }
    }
}

uint32_t sample_at(const uint8_t* data, uint64_t bit, uint32_t bits) {
    uint32_t v = 0;
    for (uint32_t i = 0; i < bits; ++i, ++bit) v = (v << 1) | ((data[bit >> 3] >> (7 - (bit & 7))) & 1);
    return v;
}

TEST(EncodeRoundTrip, PackedRowsWithoutConversion) {
    // Raw layout equals the file layout, rows packed without padding: odd
    // widths need widening to whole bytes, Adam7 needs bit-exact passes.
    const std::pair<uint32_t, uint32_t> modes[] = {{0, 1}, {0, 2}, {0, 4}, {3, 1}, {3, 4}, {0, 16}, {4, 8}};
    for (const auto& [type, depth] : modes) {
        for (uint32_t interlace : {0u, 1u}) {
            for (uint32_t strategy : {0u, 4u, 8u, 10u}) {
                const uint32_t width = 11, height = 6;
                encoder_setup setup;
                setup.state.encoder.auto_colour = 0;
                setup.state.encoder.filter_strategy_code = strategy;
                setup.state.file_info.interlace_method = interlace;
                setup.state.file_info.colour = colour_mode(type, depth);
                setup.state.raw_mode = colour_mode(type, depth);
                if (type == 3) {
                    for (uint32_t i = 0; i < (1u << depth); ++i) {
                        palette_add(setup.state.file_info.colour, uint8_t(i * 9), uint8_t(i), 0, 255);
                        palette_add(setup.state.raw_mode, uint8_t(i * 9), uint8_t(i), 0, 255);
                    }
                }
                const uint32_t bpp = bits_per_pixel(setup.state.raw_mode);
                const bytes image = random_rgba((uint64_t(width) * height * bpp + 31) / 32, type + depth, true);
                bytes packed(image.begin(), image.begin() + (uint64_t(width) * height * bpp + 7) / 8);
                const bytes png = encode_ok(setup, packed, width, height);
                const libpng_image decoded = libpng_decode(png, libpng_output::raw);
                ASSERT_TRUE(decoded.ok);
                for (uint32_t y = 0; y < height; ++y)
                    for (uint32_t x = 0; x < width; ++x)
                        ASSERT_EQ(sample_at(decoded.pixels.data() + y * decoded.row_bytes, uint64_t(x) * bpp, bpp),
                                  sample_at(packed.data(), (uint64_t(y) * width + x) * bpp, bpp))
                            << "type " << type << " depth " << depth << " interlace " << interlace
                            << " at " << x << "," << y;
            }
        }
    }
}

TEST(EncodeRoundTrip, CorpusFilesInTheirOwnModeAndAsRgba) {
    // Every file of the PNG test suite, decoded by the codec, is written back
    // twice: in the file's own colour mode (libpng must then read the same
    // rows from both files) and from RGBA with the automatic colour choice.
    // Strategies and interlacing vary from file to file.
    const char* corpus = std::getenv("VELTO_CORPUS");
    const std::filesystem::path root = corpus ? std::filesystem::path(corpus) / "png" / "pngsuite" : "";
    if (!corpus || !std::filesystem::is_directory(root)) GTEST_SKIP() << "the shared corpus is not there (VELTO_CORPUS)";
    std::vector<std::filesystem::path> paths;
    for (const auto& entry : std::filesystem::directory_iterator(root))
        if (entry.path().extension() == ".png") paths.push_back(entry.path());
    std::sort(paths.begin(), paths.end());
    int encoded = 0;
    for (size_t i = 0; i < paths.size(); ++i) {
        const std::string name = paths[i].filename().string();
        const bytes file = load_file_bytes(paths[i].string());
        const uint32_t strategy = i % 14, interlace = (i / 14) % 2;

        lodepng::State own;
        own.decoder.convert_colour = 0;
        bytes raw;
        uint32_t width = 0, height = 0;
        if (decode_png(raw, width, height, own, file) != 0) continue;
        const libpng_image original = libpng_decode(file, libpng_output::raw);
        if (!original.ok) continue;
        encoder_setup same_mode;
        same_mode.state.encoder.auto_colour = 0;
        same_mode.state.encoder.clean_transparent = 0;
        same_mode.state.encoder.filter_strategy_code = strategy;
        same_mode.state.raw_mode = own.raw_mode;
        same_mode.state.file_info.colour = own.file_info.colour;
        same_mode.state.file_info.interlace_method = interlace;
        const libpng_image rewritten = libpng_decode(encode_ok(same_mode, raw, width, height), libpng_output::raw);
        ASSERT_TRUE(rewritten.ok) << name;
        EXPECT_EQ(rewritten.pixels, original.pixels) << name << " strategy " << strategy;

        lodepng::State as_rgba;
        bytes rgba;
        ASSERT_EQ(decode_png(rgba, width, height, as_rgba, file), 0u) << name;
        encoder_setup automatic;
        automatic.state.encoder.filter_strategy_code = strategy;
        automatic.state.file_info.interlace_method = interlace;
        const libpng_image decoded = libpng_decode(encode_ok(automatic, rgba, width, height));
        ASSERT_TRUE(decoded.ok) << name;
        expect_same_visible(decoded.pixels, rgba, name);
        ++encoded;
    }
    EXPECT_GT(encoded, 100);
}

// --- filter bytes in written files ---------------------------------------------

TEST(EncodeFilters, FixedAndPresetStrategiesAreWhatTheFileHolds) {
    const uint32_t width = 6, height = 5;
    const bytes image = random_rgba(width * height, 6, false);
    for (uint32_t strategy = 0; strategy <= 4; ++strategy) {
        encoder_setup setup;
        setup.state.encoder.auto_colour = 0;
        setup.state.encoder.filter_strategy_code = strategy;
        bytes types;
        ASSERT_FALSE(read_png_filter_bytes(types, encode_ok(setup, image, width, height), height));
        EXPECT_EQ(types, bytes(height, uint8_t(strategy)));
    }
    // A file's own filter bytes fed back as a preset list come out unchanged.
    const uint8_t preset[] = {4, 0, 3, 1, 2};
    encoder_setup setup;
    setup.state.encoder.auto_colour = 0;
    setup.state.encoder.filter_strategy_code = 6;
    setup.state.encoder.preset_filters = preset;
    setup.state.encoder.preset_filter_count = 5;
    bytes types;
    const bytes png = encode_ok(setup, image, width, height);
    ASSERT_FALSE(read_png_filter_bytes(types, png, height));
    EXPECT_EQ(types, bytes(preset, preset + 5));
    const libpng_image decoded = libpng_decode(png);
    ASSERT_TRUE(decoded.ok);
    EXPECT_EQ(decoded.pixels, image);

    // A list shorter than the rows is never read past its end: no filter at all.
    setup.state.encoder.preset_filter_count = 4;
    const bytes short_png = encode_ok(setup, image, width, height);
    ASSERT_FALSE(read_png_filter_bytes(types, short_png, height));
    EXPECT_EQ(types, bytes(height, 0));
    EXPECT_EQ(libpng_decode(short_png).pixels, image);
}

TEST(EncodeFilters, PresetListWithAnInvalidTypeFallsBackToNone) {
    const uint8_t preset[] = {4, 0, 7, 1, 2};
    encoder_setup setup;
    setup.state.encoder.auto_colour = 0;
    setup.state.encoder.filter_strategy_code = 6;
    setup.state.encoder.preset_filters = preset;
    setup.state.encoder.preset_filter_count = 5;
    const bytes image = random_rgba(30, 8, false);
    bytes types;
    const bytes png = encode_ok(setup, image, 6, 5);
    ASSERT_FALSE(read_png_filter_bytes(types, png, 5));
    EXPECT_EQ(types, bytes(5, 0));
    EXPECT_EQ(libpng_decode(png).pixels, image);
}

// --- stored blocks and the compressor hook ---------------------------------------

TEST(EncodeDeflate, StoredBlocksLayout) {
    bytes data(100000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31);
    bytes out = {0xAA};
    write_stored_blocks(out, data.data(), data.size());
    ASSERT_EQ(out.size(), 1 + 5 + 65535 + 5 + 34465);
    EXPECT_EQ(bytes(out.begin() + 1, out.begin() + 6), (bytes{0, 0xFF, 0xFF, 0x00, 0x00}));
    const size_t second = 1 + 5 + 65535;
    EXPECT_EQ(bytes(out.begin() + second, out.begin() + second + 5),
              (bytes{1, 34465 & 0xFF, 34465 >> 8, uint8_t(~34465 & 0xFF), uint8_t((~34465 >> 8) & 0xFF)}));
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 65535, out.begin() + 6));
    EXPECT_TRUE(std::equal(data.begin() + 65535, data.end(), out.begin() + second + 5));
    bytes empty;
    write_stored_blocks(empty, data.data(), 0);
    EXPECT_TRUE(empty.empty());
}

TEST(EncodeDeflate, StoredBlocksMakeAValidFile) {
    encoder_setup setup;
    setup.state.encoder.compression.block_type = 0;
    const bytes image = random_rgba(200 * 100, 10, true);
    const bytes png = encode_ok(setup, image, 200, 100);
    EXPECT_EQ(setup.context.calls, 0);
    const bytes idat = chunk_data(png, "IDAT");
    ASSERT_GE(idat.size(), 3u);
    EXPECT_EQ(idat[0], 0x78);
    EXPECT_EQ(idat[1], 0xDA);
    EXPECT_EQ(idat[2], 0);  // first of two stored blocks
    const libpng_image decoded = libpng_decode(png);
    ASSERT_TRUE(decoded.ok);
    expect_same_visible(decoded.pixels, image, "stored");
}

TEST(EncodeDeflate, HookGetsItsContextWithTheSettings) {
    encoder_setup setup;
    setup.state.encoder.compression.block_type = 1;
    setup.context.level = 1;
    const bytes image = random_rgba(64, 12, false);
    const bytes fast = encode_ok(setup, image, 8, 8);
    EXPECT_EQ(setup.context.calls, 1);
    EXPECT_EQ(setup.context.block_type_seen, 1u);
    EXPECT_TRUE(libpng_decode(fast).ok);
}

// --- failures -------------------------------------------------------------------

TEST(EncodeFailures, CodesAndUntouchedOutput) {
    struct failure_case {
        const char* name;
        void (*setup)(encoder_setup&);
        uint32_t code;
    } cases[] = {
        {"empty palette", [](encoder_setup& s) {
             s.state.encoder.auto_colour = 0;
             s.state.file_info.colour = colour_mode(3, 8);
         }, 68},
        {"257 palette entries", [](encoder_setup& s) {
             s.state.file_info.colour = colour_mode(3, 8);
             for (int i = 0; i < 257; ++i) palette_add(s.state.file_info.colour, uint8_t(i), 0, 0, 255);
         }, 68},
        {"block type 3", [](encoder_setup& s) { s.state.encoder.compression.block_type = 3; }, 61},
        {"interlace 2", [](encoder_setup& s) { s.state.file_info.interlace_method = 2; }, 71},
        {"bad depth to write", [](encoder_setup& s) {
             s.state.encoder.auto_colour = 0;
             s.state.file_info.colour = colour_mode(2, 4);
         }, 37},
        {"bad colour type to write", [](encoder_setup& s) {
             s.state.encoder.auto_colour = 0;
             s.state.file_info.colour = colour_mode(5, 8);
         }, 31},
        {"bad raw mode", [](encoder_setup& s) {
             s.state.encoder.auto_colour = 0;
             s.state.raw_mode = colour_mode(7, 8);
         }, 31},
        {"strategy 14", [](encoder_setup& s) { s.state.encoder.filter_strategy_code = 14; }, 88},
        {"hook fails", [](encoder_setup& s) { s.state.encoder.compression.compressor = failing_hook; }, 123},
        {"hook returns nothing", [](encoder_setup& s) { s.state.encoder.compression.compressor = empty_hook; }, 83},
        {"no hook", [](encoder_setup& s) { s.state.encoder.compression.compressor = nullptr; }, 61},
    };
    const bytes image = random_rgba(16, 13, true);
    for (const failure_case& c : cases) {
        encoder_setup setup;
        c.setup(setup);
        bytes out = {1, 2, 3};
        EXPECT_EQ(encode_png(out, image, 4, 4, setup.state, nullptr), c.code) << c.name;
        EXPECT_EQ(setup.state.last_error, c.code) << c.name;
        EXPECT_EQ(out, (bytes{1, 2, 3})) << c.name;
    }
}

TEST(EncodeFailures, ImageTooSmallLeavesLastErrorAlone) {
    encoder_setup setup;
    bytes out;
    EXPECT_EQ(encode_png(out, bytes(4 * 15), 4, 4, setup.state, nullptr), 84u);
    EXPECT_EQ(setup.state.last_error, 1u);
    EXPECT_TRUE(out.empty());
}

TEST(EncodeFailures, ImageSizeThatWrapsToZeroIsTooSmall) {
    // 2^31 x 2^31 RGBA 16-bit pixels are 2^68 bits, which wrap to 0 in 64-bit
    // arithmetic; an empty buffer must not pass for such an image.
    encoder_setup setup;
    setup.state.raw_mode = colour_mode(6, 16);
    bytes out;
    EXPECT_EQ(encode_png(out, bytes{}, 0x80000000u, 0x80000000u, setup.state, nullptr), 84u);
}

TEST(EncodeFailures, SizesBeyondSixtyFourBitsAreRefused) {
    // 2^32 - 1 rows of 2^32 - 1 RGBA 16-bit pixels: the filtered size does not
    // fit in 64 bits. Nothing may be allocated from a wrapped size, and the
    // image is never read.
    encoder_setup setup;
    setup.state.encoder.auto_colour = 0;
    setup.state.raw_mode = colour_mode(6, 16);
    setup.state.file_info.colour = colour_mode(6, 16);
    bytes out;
    const uint8_t pixel[8] = {};
    EXPECT_EQ(encode_png_buffer(out, pixel, 0xFFFFFFFF, 0xFFFFFFFF, setup.state, nullptr), 83u);
    EXPECT_TRUE(out.empty());
}

#if !defined(__SANITIZE_ADDRESS__)
TEST(EncodeFailures, RunningOutOfMemoryIsCode83) {
    // In a child process limited to 256 MiB of address space, an encode that
    // needs about 1 GiB of filtered data reports 83 instead of ending the
    // process. The image is never read, so a tiny buffer stands in for it.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        rlimit limit{256u << 20, 256u << 20};
        setrlimit(RLIMIT_AS, &limit);
        encoder_setup setup;
        setup.state.encoder.auto_colour = 0;
        setup.state.raw_mode = colour_mode(6, 8);
        setup.state.file_info.colour = colour_mode(6, 8);
        bytes out;
        const uint8_t pixel[4] = {};
        const uint32_t code = encode_png_buffer(out, pixel, 16384, 16384, setup.state, nullptr);
        _exit(code == 83 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
#endif

}  // namespace
