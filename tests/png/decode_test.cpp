// The decoder against libpng as the oracle (generated images of every colour
// type and depth, and the real corpus), a table of malformed inputs with the
// code each gives, and the resource bounds on hostile inputs.
#include "core/png/codec/decode.h"

#include <gtest/gtest.h>
// libpng's own global `png_info` typedef would clash with the codec's record of
// that name; inside this file libpng's is renamed.
#define png_info libpng_info
#include <png.h>
#undef png_info
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/png/codec/colour_convert.h"

namespace {

using bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------------------
// Building PNG streams by hand
// ---------------------------------------------------------------------------
void put_u32(bytes& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(v >> shift));
}

void add_chunk(bytes& png, const char* type, const bytes& data) {
    ASSERT_EQ(png_chunk_create(png, uint32_t(data.size()), type, data.data()), 0u);
}

bytes ihdr_data(uint32_t width, uint32_t height, uint8_t depth, uint8_t type, uint8_t interlace = 0,
                uint8_t compression = 0, uint8_t filter = 0) {
    bytes data;
    put_u32(data, width);
    put_u32(data, height);
    data.insert(data.end(), {depth, type, compression, filter, interlace});
    return data;
}

bytes png_start(const bytes& ihdr) {
    bytes png(png_signature, png_signature + 8);
    add_chunk(png, "IHDR", ihdr);
    return png;
}

uint32_t adler_of(const bytes& data) {
    return uint32_t(adler32(adler32(0, Z_NULL, 0), data.data(), uInt(data.size())));
}

// A zlib stream of stored blocks (no compression needed to build fixtures).
bytes zlib_stored(const bytes& data) {
    bytes out = {0x78, 0x01};
    size_t pos = 0;
    do {
        const size_t n = std::min<size_t>(65535, data.size() - pos);
        const bool last = pos + n == data.size();
        out.push_back(last ? 1 : 0);
        out.insert(out.end(), {uint8_t(n), uint8_t(n >> 8), uint8_t(~n), uint8_t(~n >> 8)});
        out.insert(out.end(), data.begin() + pos, data.begin() + pos + n);
        pos += n;
    } while (pos < data.size());
    put_u32(out, adler_of(data));
    return out;
}

// A zlib stream of `count` zero bytes in fixed-Huffman matches of 258: about
// 2,000 times smaller than its output, for decompression-bomb fixtures.
bytes zlib_zeros(uint64_t count) {
    bytes out = {0x78, 0x01};
    uint64_t bit_buffer = 0;
    int bit_count = 0;
    auto put_bits = [&](uint32_t value, int n) {  // LSB first
        bit_buffer |= uint64_t(value) << bit_count;
        bit_count += n;
        while (bit_count >= 8) {
            out.push_back(uint8_t(bit_buffer));
            bit_buffer >>= 8;
            bit_count -= 8;
        }
    };
    auto put_code = [&](uint32_t code, int n) {  // Huffman codes go most significant bit first
        uint32_t reversed = 0;
        for (int i = 0; i < n; ++i) reversed |= ((code >> i) & 1u) << (n - 1 - i);
        put_bits(reversed, n);
    };
    put_bits(1, 1);  // final block
    put_bits(1, 2);  // fixed Huffman
    uint64_t left = count;
    if (left > 0) {
        put_code(0x30, 8);  // literal 0
        --left;
    }
    while (left >= 258) {
        put_code(0xC5, 8);  // length 258
        put_code(0, 5);     // distance 1
        left -= 258;
    }
    for (; left > 0; --left) put_code(0x30, 8);
    put_code(0, 7);  // end of block
    if (bit_count) out.push_back(uint8_t(bit_buffer));
    uLong adler = adler32(0, Z_NULL, 0);
    const bytes zeros(1 << 20, 0);
    for (uint64_t done = 0; done < count;) {
        const uint64_t n = std::min<uint64_t>(zeros.size(), count - done);
        adler = adler32(adler, zeros.data(), uInt(n));
        done += n;
    }
    put_u32(out, uint32_t(adler));
    return out;
}

// ---------------------------------------------------------------------------
// libpng: fixture writer and oracle reader
// ---------------------------------------------------------------------------
void quiet_warning(png_structp, png_const_charp) {}
void raise_error(png_structp png, png_const_charp) { png_longjmp(png, 1); }

void write_to_vector(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

struct libpng_image {
    uint32_t width = 0, height = 0;
    int type = 0, depth = 8, interlace = 0;
    int filters = PNG_ALL_FILTERS;
    std::vector<bytes> rows;      // libpng's packed rows
    std::vector<png_color> palette;
    bytes palette_alpha;          // tRNS for palettes
    bool key = false;
    png_color_16 key_colour = {};
};

bool libpng_write(const libpng_image& image, bytes& out) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, raise_error, quiet_warning);
    png_infop info = png_create_info_struct(png);
    std::vector<png_bytep> row_pointers;
    for (const bytes& row : image.rows) row_pointers.push_back(const_cast<png_bytep>(row.data()));
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, &out, write_to_vector, nullptr);
    png_set_IHDR(png, info, image.width, image.height, image.depth, image.type,
                 image.interlace ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, image.filters);
    if (!image.palette.empty())
        png_set_PLTE(png, info, image.palette.data(), int(image.palette.size()));
    if (!image.palette_alpha.empty())
        png_set_tRNS(png, info, image.palette_alpha.data(), int(image.palette_alpha.size()), nullptr);
    if (image.key) png_set_tRNS(png, info, nullptr, 0, const_cast<png_color_16p>(&image.key_colour));
    png_write_info(png, info);
    if (image.interlace) png_set_interlace_handling(png);
    png_write_image(png, row_pointers.data());
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

struct memory_reader {
    const bytes* data;
    size_t pos;
};

void read_from_vector(png_structp png, png_bytep out, png_size_t length) {
    auto* reader = static_cast<memory_reader*>(png_get_io_ptr(png));
    if (length > reader->data->size() - reader->pos) png_error(png, "read past end");
    std::memcpy(out, reader->data->data() + reader->pos, length);
    reader->pos += length;
}

struct oracle_result {
    bool ok = false;
    uint32_t width = 0, height = 0;
    bytes rgba;
    std::vector<png_bytep> rows;
};

// libpng's decode to RGBA 8-bit: expand, strip 16 bits, grey to RGB, add alpha.
bool libpng_decode_rgba8(const bytes& file, oracle_result& result) {
    memory_reader reader = {&file, 0};
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, raise_error, quiet_warning);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_set_read_fn(png, &reader, read_from_vector);
    png_read_info(png, info);
    result.width = png_get_image_width(png, info);
    result.height = png_get_image_height(png, info);
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != size_t(result.width) * 4) png_error(png, "unexpected layout");
    result.rgba.resize(size_t(result.width) * result.height * 4);
    result.rows.resize(result.height);
    for (uint32_t y = 0; y < result.height; ++y) result.rows[y] = result.rgba.data() + size_t(y) * result.width * 4;
    png_read_image(png, result.rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    result.ok = true;
    return true;
}

struct our_result {
    uint32_t error = 0;
    uint32_t width = 0, height = 0;
    bytes rgba;
    lodepng::State state;
};

our_result decode_ours(const bytes& file) {
    our_result result;
    result.error = decode_png(result.rgba, result.width, result.height, result.state, file);
    return result;
}

// ---------------------------------------------------------------------------
// Generated images against libpng
// ---------------------------------------------------------------------------
struct colour_case {
    int type, depth;
};
const colour_case all_colour_cases[] = {
    {0, 1}, {0, 2}, {0, 4}, {0, 8}, {0, 16}, {2, 8}, {2, 16}, {3, 1}, {3, 2},
    {3, 4}, {3, 8}, {4, 8}, {4, 16}, {6, 8}, {6, 16},
};

libpng_image random_image(const colour_case& c, uint32_t width, uint32_t height, std::mt19937& random) {
    libpng_image image;
    image.width = width;
    image.height = height;
    image.type = c.type;
    image.depth = c.depth;
    const int channels = c.type == 2 ? 3 : c.type == 4 ? 2 : c.type == 6 ? 4 : 1;
    const size_t row_bytes = (size_t(width) * channels * c.depth + 7) / 8;
    if (c.type == 3) {
        const int entries = c.depth == 8 ? 200 : 1 << c.depth;
        for (int i = 0; i < entries; ++i)
            image.palette.push_back({uint8_t(random()), uint8_t(random()), uint8_t(random())});
    }
    for (uint32_t y = 0; y < height; ++y) {
        bytes row(row_bytes);
        for (auto& b : row) b = uint8_t(random());
        if (c.type == 3 && c.depth == 8)
            for (auto& b : row) b = uint8_t(b % image.palette.size());
        // Runs of repeated pixels give the filters something to predict.
        if (y % 2 == 1) std::copy(image.rows.back().begin(), image.rows.back().end(), row.begin());
        if (y % 3 == 2)
            for (size_t i = 0; i < row.size(); i += 2) row[i] = uint8_t(y * 7 + i);
        image.rows.push_back(row);
    }
    return image;
}

// Makes the first pixel's value the colour key, so some pixels turn transparent.
void add_key_from_first_pixel(libpng_image& image) {
    const bytes& row = image.rows[0];
    image.key = true;
    if (image.type == 0) {
        uint16_t value;
        if (image.depth == 16)
            value = uint16_t(row[0] << 8 | row[1]);
        else if (image.depth == 8)
            value = row[0];
        else
            value = uint16_t(row[0] >> (8 - image.depth));
        image.key_colour.gray = value;
    } else {
        const int bytes_per_sample = image.depth / 8;
        auto sample = [&](int channel) {
            const uint8_t* p = row.data() + channel * bytes_per_sample;
            return uint16_t(bytes_per_sample == 2 ? (p[0] << 8 | p[1]) : p[0]);
        };
        image.key_colour.red = sample(0);
        image.key_colour.green = sample(1);
        image.key_colour.blue = sample(2);
    }
}

void expect_same_as_libpng(const bytes& file, const std::string& label) {
    oracle_result oracle;
    ASSERT_TRUE(libpng_decode_rgba8(file, oracle)) << label;
    our_result ours = decode_ours(file);
    ASSERT_EQ(ours.error, 0u) << label;
    EXPECT_EQ(ours.width, oracle.width) << label;
    EXPECT_EQ(ours.height, oracle.height) << label;
    EXPECT_TRUE(ours.rgba == oracle.rgba) << label;
}

TEST(DecodeAgainstLibpng, EveryColourTypeDepthInterlaceAndFilter) {
    std::mt19937 random(1234);
    const std::pair<uint32_t, uint32_t> sizes[] = {{1, 1}, {3, 2}, {7, 5}, {13, 9}, {2, 17}, {33, 3}};
    const int filter_sets[] = {PNG_FILTER_NONE, PNG_FILTER_SUB, PNG_FILTER_UP, PNG_FILTER_AVG,
                               PNG_FILTER_PAETH, PNG_ALL_FILTERS};
    int compared = 0;
    for (const colour_case& c : all_colour_cases)
        for (int interlace = 0; interlace <= 1; ++interlace)
            for (const auto& [width, height] : sizes)
                for (int filters : filter_sets) {
                    libpng_image image = random_image(c, width, height, random);
                    image.interlace = interlace;
                    image.filters = filters;
                    bytes file;
                    ASSERT_TRUE(libpng_write(image, file));
                    expect_same_as_libpng(file, "type " + std::to_string(c.type) + " depth " +
                                                    std::to_string(c.depth) + " interlace " +
                                                    std::to_string(interlace) + " " + std::to_string(width) +
                                                    "x" + std::to_string(height) + " filters " +
                                                    std::to_string(filters));
                    ++compared;
                }
    EXPECT_EQ(compared, 15 * 2 * 6 * 6);
}

TEST(DecodeAgainstLibpng, ColourKeysAndPaletteTransparency) {
    std::mt19937 random(99);
    for (const colour_case& c : all_colour_cases) {
        if (c.type == 4 || c.type == 6) continue;
        for (int interlace = 0; interlace <= 1; ++interlace) {
            libpng_image image = random_image(c, 11, 7, random);
            image.interlace = interlace;
            if (c.type == 3) {
                for (size_t i = 0; i + 1 < image.palette.size(); ++i) image.palette_alpha.push_back(uint8_t(random()));
            } else {
                add_key_from_first_pixel(image);
            }
            bytes file;
            ASSERT_TRUE(libpng_write(image, file));
            const std::string label = "type " + std::to_string(c.type) + " depth " + std::to_string(c.depth);
            expect_same_as_libpng(file, label);
            our_result ours = decode_ours(file);
            if (c.type != 3) {
                EXPECT_EQ(ours.state.file_info.colour.key_defined, 1u) << label;
                EXPECT_EQ(ours.rgba[3], 0) << label;  // the first pixel is the key
            }
        }
    }
}

TEST(Decode, KeepsTheFileLayoutWhenNotConverting) {
    std::mt19937 random(7);
    for (const colour_case& c : all_colour_cases) {
        libpng_image image = random_image(c, 9, 4, random);
        image.interlace = 1;
        bytes file;
        ASSERT_TRUE(libpng_write(image, file));
        lodepng::State state;
        state.decoder.convert_colour = 0;
        bytes raw;
        uint32_t width = 0, height = 0;
        ASSERT_EQ(decode_png(raw, width, height, state, file), 0u);
        EXPECT_TRUE(colour_modes_equal(state.raw_mode, state.file_info.colour));
        EXPECT_EQ(state.raw_mode.colour_type, uint32_t(c.type));
        EXPECT_EQ(state.raw_mode.bit_depth, uint32_t(c.depth));
        ASSERT_EQ(raw.size(), raw_image_size(9, 4, state.raw_mode));
        // The packed image converts to the same pixels a converting decode gives.
        bytes rgba(9 * 4 * 4);
        ASSERT_EQ(convert_pixels(rgba.data(), raw.data(), lodepng::State().raw_mode, state.raw_mode, 9, 4), 0u);
        EXPECT_EQ(rgba, decode_ours(file).rgba);
    }
}

TEST(Decode, AppendsToTheOutputAndRejectsBadRawModes) {
    std::mt19937 random(3);
    libpng_image image = random_image({2, 8}, 4, 4, random);
    bytes file;
    ASSERT_TRUE(libpng_write(image, file));
    bytes out = {1, 2, 3};
    uint32_t width = 0, height = 0;
    lodepng::State state;
    ASSERT_EQ(decode_png(out, width, height, state, file), 0u);
    EXPECT_EQ(out.size(), 3u + 4 * 4 * 4);
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(state.last_error, 0u);

    // RGB 16-bit is a valid target; grey 16-bit is not (56); an invalid layout never is.
    lodepng::State rgb16;
    rgb16.raw_mode.colour_type = 2;
    rgb16.raw_mode.bit_depth = 16;
    bytes pixels;
    ASSERT_EQ(decode_png(pixels, width, height, rgb16, file), 0u);
    EXPECT_EQ(pixels.size(), 4u * 4 * 6);

    lodepng::State grey16;
    grey16.raw_mode.colour_type = 0;
    grey16.raw_mode.bit_depth = 16;
    bytes untouched = {9};
    EXPECT_EQ(decode_png(untouched, width, height, grey16, file), 56u);
    EXPECT_EQ(grey16.last_error, 56u);
    EXPECT_EQ(untouched, bytes{9});

    lodepng::State invalid;
    invalid.raw_mode.colour_type = 2;
    invalid.raw_mode.bit_depth = 4;
    EXPECT_EQ(decode_png(untouched, width, height, invalid, file), 37u);
}

// ---------------------------------------------------------------------------
// Malformed inputs
// ---------------------------------------------------------------------------

// A valid 3x2 grey 8-bit image with unfiltered rows, built from parts that the
// cases below change one at a time.
struct png_parts {
    bytes ihdr = ihdr_data(3, 2, 8, 0);
    std::vector<std::pair<std::string, bytes>> before_idat;
    bytes scanlines = {0, 10, 20, 30, 0, 40, 50, 60};
    std::function<bytes(const bytes&)> zlib = zlib_stored;
    std::vector<std::pair<std::string, bytes>> after_idat;
    bool iend = true;
};

bytes build(const png_parts& parts) {
    bytes png = png_start(parts.ihdr);
    for (const auto& [type, data] : parts.before_idat) add_chunk(png, type.c_str(), data);
    add_chunk(png, "IDAT", parts.zlib(parts.scanlines));
    for (const auto& [type, data] : parts.after_idat) add_chunk(png, type.c_str(), data);
    if (parts.iend) add_chunk(png, "IEND", {});
    return png;
}

// The file with the stored CRC of its n-th chunk (0 = IHDR) flipped.
bytes with_bad_crc(bytes png, int n) {
    size_t pos = 8;
    for (int i = 0; i < n; ++i) pos += 12 + png_chunk_length(&png[pos]);
    png[pos + 8 + png_chunk_length(&png[pos])] ^= 0x01;
    return png;
}

bytes with_bytes(bytes data, size_t at, std::initializer_list<uint8_t> values) {
    std::copy(values.begin(), values.end(), data.begin() + at);
    return data;
}

TEST(DecodeMalformed, EachInputGivesItsCode) {
    const bytes valid = build({});
    const size_t idat_at = 33;  // first chunk after IHDR

    auto parts_with = [](std::function<void(png_parts&)> change) {
        png_parts parts;
        change(parts);
        return build(parts);
    };
    auto zlib_edit = [](std::function<void(bytes&)> change) {
        return [change](const bytes& data) {
            bytes z = zlib_stored(data);
            change(z);
            return z;
        };
    };
    auto palette_image = [](png_parts& p) {
        p.ihdr = ihdr_data(3, 2, 8, 3);
        p.scanlines = {0, 0, 1, 0, 0, 1, 1, 0};  // 2 rows of 3 indices
    };

    struct Case {
        std::string name;
        bytes file;
        uint32_t code;
    };
    std::vector<Case> cases = {
        {"valid", valid, 0},
        {"empty input", {}, 48},
        {"32 bytes", bytes(valid.begin(), valid.begin() + 32), 27},
        {"signature", with_bytes(valid, 0, {137, 81}), 28},
        {"IHDR length not 13", with_bytes(valid, 8, {0, 0, 0, 12}), 94},
        {"first chunk not IHDR", with_bytes(valid, 12, {'I', 'H', 'D', 'X'}), 29},
        {"width 0", parts_with([](png_parts& p) { p.ihdr = ihdr_data(0, 2, 8, 0); }), 93},
        {"height 0", parts_with([](png_parts& p) { p.ihdr = ihdr_data(3, 0, 8, 0); }), 93},
        {"IHDR CRC", with_bytes(valid, 29, {0, 0, 0, 0}), 57},
        {"compression method", parts_with([](png_parts& p) { p.ihdr = ihdr_data(3, 2, 8, 0, 0, 1); }), 32},
        {"filter method", parts_with([](png_parts& p) { p.ihdr = ihdr_data(3, 2, 8, 0, 0, 0, 1); }), 33},
        {"interlace method", parts_with([](png_parts& p) { p.ihdr = ihdr_data(3, 2, 8, 0, 2); }), 34},
        {"colour type 5", parts_with([](png_parts& p) { p.ihdr = ihdr_data(3, 2, 8, 5); }), 31},
        {"colour type 7", parts_with([](png_parts& p) { p.ihdr = ihdr_data(3, 2, 8, 7); }), 31},
        {"palette depth 16", parts_with([](png_parts& p) { p.ihdr = ihdr_data(3, 2, 16, 3); }), 37},
        {"RGB depth 4", parts_with([](png_parts& p) { p.ihdr = ihdr_data(3, 2, 4, 2); }), 37},
        {"zero size wins over a bad CRC", with_bytes(parts_with([](png_parts& p) { p.ihdr = ihdr_data(0, 2, 8, 0); }), 29, {0}), 93},
        {"too many pixels, header only", png_start(ihdr_data(16385, 16385, 8, 6)), 92},
        {"width x height beyond 32 bits", png_start(ihdr_data(0x10000, 0x10000, 1, 0)), 92},
        {"header only", png_start(ihdr_data(3, 2, 8, 0)), 30},
        {"no IEND", parts_with([](png_parts& p) { p.iend = false; }), 30},
        {"chunk frame cut short", bytes(valid.begin(), valid.begin() + idat_at + 11), 30},
        {"chunk length above 2^31-1", with_bytes(valid, idat_at, {0x80, 0, 0, 0}), 63},
        {"chunk data past the end", with_bytes(valid, idat_at, {0, 0, 0x10, 0}), 64},
        {"unknown critical chunk", parts_with([](png_parts& p) { p.before_idat = {{"ABCD", {1}}}; }), 69},
        {"PLTE over 770 bytes",
         parts_with([&](png_parts& p) { palette_image(p); p.before_idat = {{"PLTE", bytes(771, 0)}}; }), 38},
        {"tRNS before PLTE",
         parts_with([&](png_parts& p) { palette_image(p); p.before_idat = {{"tRNS", {0}}, {"PLTE", bytes(6, 0)}}; }), 38},
        {"tRNS longer than the palette",
         parts_with([&](png_parts& p) { palette_image(p); p.before_idat = {{"PLTE", bytes(6, 0)}, {"tRNS", {0, 0, 0}}}; }), 38},
        {"palette image without PLTE", parts_with([&](png_parts& p) { palette_image(p); }), 38},
        {"palette image with only a late PLTE",
         parts_with([&](png_parts& p) { palette_image(p); p.after_idat = {{"PLTE", bytes(6, 0)}}; }), 38},
        {"PLTE of two bytes", parts_with([&](png_parts& p) { palette_image(p); p.before_idat = {{"PLTE", {1, 2}}}; }), 38},
        {"palette decodes",
         parts_with([&](png_parts& p) { palette_image(p); p.before_idat = {{"PLTE", bytes(6, 0)}, {"tRNS", {0, 0}}}; }), 0},
        {"tRNS in RGBA", parts_with([](png_parts& p) {
             p.ihdr = ihdr_data(1, 1, 8, 6);
             p.scanlines = {0, 1, 2, 3, 4};
             p.before_idat = {{"tRNS", {0, 0, 0, 0, 0, 0}}};
         }), 42},
        {"tRNS in grey-alpha", parts_with([](png_parts& p) {
             p.ihdr = ihdr_data(1, 1, 8, 4);
             p.scanlines = {0, 1, 2};
             p.before_idat = {{"tRNS", {0, 0}}};
         }), 42},
        {"grey tRNS of 4 bytes is ignored", parts_with([](png_parts& p) { p.before_idat = {{"tRNS", {0, 10, 0, 10}}}; }), 0},
        {"IDAT CRC", with_bytes(valid, valid.size() - 16, {0, 0, 0, 0}), 57},
        {"zlib data of 1 byte", parts_with([](png_parts& p) { p.zlib = [](const bytes&) { return bytes{0x78}; }; }), 53},
        {"no IDAT at all", [] {
             bytes png = png_start(ihdr_data(3, 2, 8, 0));
             add_chunk(png, "IEND", {});
             return png;
         }(), 53},
        {"zlib check value", parts_with([&](png_parts& p) { p.zlib = zlib_edit([](bytes& z) { z[1] = 0x02; }); }), 24},
        {"zlib method 7", parts_with([&](png_parts& p) { p.zlib = zlib_edit([](bytes& z) { z[0] = 0x77; z[1] = 0x09; }); }), 25},
        {"zlib window 8", parts_with([&](png_parts& p) { p.zlib = zlib_edit([](bytes& z) { z[0] = 0x88; z[1] = 0x1C; }); }), 25},
        {"zlib dictionary", parts_with([&](png_parts& p) { p.zlib = zlib_edit([](bytes& z) { z[1] = 0x20; }); }), 26},
        {"Adler-32", parts_with([&](png_parts& p) { p.zlib = zlib_edit([](bytes& z) { z.back() ^= 1; }); }), 58},
        {"inflated one byte short", parts_with([](png_parts& p) { p.scanlines.pop_back(); }), 91},
        {"inflated one byte long", parts_with([](png_parts& p) { p.scanlines.push_back(0); }), 91},
        {"stream cut off", parts_with([&](png_parts& p) { p.zlib = zlib_edit([](bytes& z) { z.erase(z.end() - 7, z.end()); }); }), 95},
        {"invalid deflate block type", parts_with([&](png_parts& p) { p.zlib = zlib_edit([](bytes& z) { z[2] = 0x07; }); }), 95},
        {"filter type 5", parts_with([](png_parts& p) { p.scanlines[4] = 5; }), 36},
    };

    // Every chunk's CRC counts, also after a skipped ancillary chunk and for
    // the skipped chunk itself. Chunks: IHDR, gAMA, PLTE, tRNS, IDAT, tEXt, IEND.
    {
        png_parts parts;
        palette_image(parts);
        parts.before_idat = {{"gAMA", {0, 0, 0xB1, 0x8F}}, {"PLTE", bytes(6, 0)}, {"tRNS", {0, 0}}};
        parts.after_idat = {{"tEXt", {'a', 0, 'b'}}};
        const bytes file = build(parts);
        cases.push_back({"all CRCs right", file, 0});
        const char* names[] = {"IHDR", "gAMA", "PLTE", "tRNS", "IDAT", "tEXt", "IEND"};
        for (int n = 0; n < 7; ++n)
            cases.push_back({std::string("CRC of ") + names[n], with_bad_crc(file, n), 57});
    }
    // Bytes after IEND are ignored.
    {
        bytes file = valid;
        file.insert(file.end(), {1, 2, 3});
        cases.push_back({"bytes after IEND", file, 0});
    }

    for (const Case& c : cases) {
        lodepng::State state;
        bytes out = {42};
        uint32_t width = 7, height = 7;
        const uint32_t code = decode_png(out, width, height, state, c.file);
        EXPECT_EQ(code, c.code) << c.name;
        EXPECT_EQ(state.last_error, c.code) << c.name;
        if (code) {
            EXPECT_EQ(out, bytes{42}) << c.name;
            EXPECT_EQ(width, 7u) << c.name;
        }
    }
}

TEST(DecodeMalformed, InspectChecksTheHeaderOnly) {
    lodepng::State state;
    uint32_t width = 0, height = 0;
    const bytes header = png_start(ihdr_data(5, 6, 4, 3, 1));
    EXPECT_EQ(inspect_png(width, height, state, header.data(), header.size()), 0u);
    EXPECT_EQ(width, 5u);
    EXPECT_EQ(height, 6u);
    EXPECT_EQ(state.file_info.colour.colour_type, 3u);
    EXPECT_EQ(state.file_info.colour.bit_depth, 4u);
    EXPECT_EQ(state.file_info.interlace_method, 1u);
    EXPECT_EQ(inspect_png(width, height, state, nullptr, 0), 48u);
    EXPECT_EQ(load_file_bytes("/nonexistent/velto/file.png").size(), 0u);
    bytes out;
    EXPECT_EQ(decode_png(out, width, height, state, load_file_bytes("/nonexistent/velto/file.png")), 48u);
}

// An index past the palette has no colour: refused at every depth, interlaced
// or not, converted or not; the largest index that fits decodes.
TEST(DecodeMalformed, PaletteIndexBeyondThePalette) {
    struct row {
        const char* name;
        uint8_t depth, interlace;
        uint32_t width;
        bytes palette;  // PLTE data
        bytes scanlines;
        uint32_t code;
    } rows[] = {
        {"8-bit, index 2 of 2 entries", 8, 0, 3, bytes(6, 9), {0, 0, 1, 2}, 38},
        {"8-bit, index 1 of 2 entries", 8, 0, 3, bytes(6, 9), {0, 0, 1, 1}, 0},
        {"8-bit, index 255 of 255 entries", 8, 0, 1, bytes(765, 9), {0, 255}, 38},
        {"8-bit, 256 entries", 8, 0, 1, bytes(768, 9), {0, 255}, 0},
        {"1-bit, index 1 of 1 entry", 1, 0, 2, bytes(3, 7), {0, 0x40}, 38},
        {"1-bit, index 1 in the fill bits only", 1, 0, 2, bytes(3, 7), {0, 0x3F}, 0},
        {"2-bit, index 3 of 3 entries", 2, 0, 4, bytes(9, 7), {0, 0x1B}, 38},
        {"4-bit, index 15 of 15 entries", 4, 0, 2, bytes(45, 7), {0, 0x0F}, 38},
        {"4-bit, index 14 of 15 entries", 4, 0, 2, bytes(45, 7), {0, 0xE0}, 0},
        // 2x2 Adam7: passes 1, 6 and 7; the last pixel (pass 7) holds index 2.
        {"interlaced, last pixel", 8, 1, 2, bytes(6, 9), {0, 0, 0, 1, 0, 0, 2}, 38},
        {"interlaced, all fit", 8, 1, 2, bytes(6, 9), {0, 0, 0, 1, 0, 0, 1}, 0},
    };
    for (const row& r : rows) {
        png_parts parts;
        const uint32_t height = r.interlace ? 2 : 1;
        parts.ihdr = ihdr_data(r.width, height, r.depth, 3, r.interlace);
        parts.before_idat = {{"PLTE", r.palette}};
        parts.scanlines = r.scanlines;
        const bytes file = build(parts);
        EXPECT_EQ(decode_ours(file).error, r.code) << r.name;
        lodepng::State raw_state;
        raw_state.decoder.convert_colour = 0;
        bytes raw;
        uint32_t width = 0, h = 0;
        EXPECT_EQ(decode_png(raw, width, h, raw_state, file), r.code) << r.name << ", not converted";
    }
}

// PLTE and tRNS after the image data are out of place: ignored, whatever they say.
TEST(DecodeMalformed, LatePaletteAndTransparencyAreIgnored) {
    png_parts palette;
    palette.ihdr = ihdr_data(2, 1, 8, 3);
    palette.scanlines = {0, 0, 1};
    palette.before_idat = {{"PLTE", {1, 2, 3, 4, 5, 6}}};
    palette.after_idat = {{"tRNS", {0, 0}}, {"PLTE", {9, 9, 9, 9, 9, 9}}};
    our_result ours = decode_ours(build(palette));
    ASSERT_EQ(ours.error, 0u);
    EXPECT_EQ(ours.rgba, (bytes{1, 2, 3, 255, 4, 5, 6, 255}));

    png_parts grey;  // the first pixel's value as a late key
    grey.after_idat = {{"tRNS", {0, 10}}};
    ours = decode_ours(build(grey));
    ASSERT_EQ(ours.error, 0u);
    EXPECT_EQ(ours.state.file_info.colour.key_defined, 0u);
    EXPECT_EQ(ours.rgba[3], 255);

    png_parts rgb;
    rgb.ihdr = ihdr_data(1, 1, 8, 2);
    rgb.scanlines = {0, 1, 2, 3};
    rgb.after_idat = {{"tRNS", {0, 1, 0, 2, 0, 3}}};
    ours = decode_ours(build(rgb));
    ASSERT_EQ(ours.error, 0u);
    EXPECT_EQ(ours.rgba, (bytes{1, 2, 3, 255}));
}

// Each hostile header or chunk length, cut at every length, never reads past the input.
TEST(DecodeMalformed, EveryTruncationOfAValidFileFailsCleanly) {
    std::mt19937 random(11);
    libpng_image image = random_image({3, 4}, 9, 7, random);
    image.interlace = 1;
    image.palette_alpha = {1, 2, 3};
    bytes file;
    ASSERT_TRUE(libpng_write(image, file));
    for (size_t cut = 0; cut < file.size(); ++cut) {
        // An exact-size heap copy so that a sanitizer sees any overread.
        const bytes part(file.begin(), file.begin() + cut);
        our_result ours = decode_ours(part);
        EXPECT_NE(ours.error, 0u) << cut;
    }
}

// ---------------------------------------------------------------------------
// Resource bounds
// ---------------------------------------------------------------------------

TEST(DecodeBounds, InflateStopsAtTheExpectedSize) {
    // 1x1 grey image whose data inflates to 256 MiB: refused with 91 as soon as
    // the output outgrows 2 bytes, without inflating the rest.
    const bytes bomb = zlib_zeros(uint64_t(256) << 20);
    EXPECT_LT(bomb.size(), 2000000u);
    png_parts parts;
    parts.ihdr = ihdr_data(1, 1, 8, 0);
    parts.zlib = [&bomb](const bytes&) { return bomb; };
    const auto start = std::chrono::steady_clock::now();
    our_result ours = decode_ours(build(parts));
    EXPECT_EQ(ours.error, 91u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

    // The same stream for an image that needs exactly that much decodes.
    const uint64_t row = 1 + 1024 * 4;
    const bytes exact = zlib_zeros(row * 1024);
    png_parts big;
    big.ihdr = ihdr_data(1024, 1024, 8, 6);
    big.zlib = [&exact](const bytes&) { return exact; };
    ours = decode_ours(build(big));
    ASSERT_EQ(ours.error, 0u);
    EXPECT_EQ(ours.rgba.size(), 1024u * 1024 * 4);
    EXPECT_EQ(*std::max_element(ours.rgba.begin(), ours.rgba.end()), 0);
}

#if defined(__SANITIZE_ADDRESS__)
#define VELTO_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELTO_UNDER_ASAN 1
#endif
#endif

#ifndef VELTO_UNDER_ASAN
// Runs `body` in a child process whose address space is capped at `cap_mb`
// more than it uses now; returns the child's exit status.
int run_with_memory_cap(size_t cap_mb, const std::function<int()>& body) {
    const pid_t child = fork();
    if (child == 0) {
        rlimit limit;
        getrlimit(RLIMIT_AS, &limit);
        size_t in_use = 0;
        if (FILE* status = std::fopen("/proc/self/statm", "r")) {
            unsigned long pages = 0;
            if (std::fscanf(status, "%lu", &pages) == 1) in_use = size_t(pages) * size_t(sysconf(_SC_PAGESIZE));
            std::fclose(status);
        }
        limit.rlim_cur = in_use + (cap_mb << 20);
        setrlimit(RLIMIT_AS, &limit);
        _exit(body());
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}
#endif

TEST(DecodeBounds, OutOfMemoryIsACodecErrorNotAnExit) {
#ifdef VELTO_UNDER_ASAN
    GTEST_SKIP() << "address-space caps do not work under AddressSanitizer";
#else
    // 4096 x 4096 RGBA: 64 MiB of image data from a stream of 400 KiB.
    const uint64_t row = 1 + 4096 * 4;
    const bytes stream = zlib_zeros(row * 4096);
    png_parts parts;
    parts.ihdr = ihdr_data(4096, 4096, 8, 6);
    parts.zlib = [&stream](const bytes&) { return stream; };
    const bytes file = build(parts);
    const int status = run_with_memory_cap(48, [&file] {
        our_result ours = decode_ours(file);
        return int(ours.error);
    });
    EXPECT_EQ(status, 83);
    // With room enough it decodes.
    EXPECT_EQ(run_with_memory_cap(512, [&file] { return int(decode_ours(file).error); }), 0);
#endif
}

// ---------------------------------------------------------------------------
// The corpus
// ---------------------------------------------------------------------------

// Files whose outcome differs from libpng's by design; all others must decode
// byte-identically to libpng's RGBA 8-bit or fail in both decoders.
enum class corpus_check {
    code_only,   // only our code is checked
    normalised,  // ours equals libpng's decode of the file rebuilt with clean chunks
    opaque,      // ours equals libpng's decode with every alpha 255
};
struct corpus_expectation {
    uint32_t code;
    corpus_check check;
    const char* reason;
};
const std::map<std::string, corpus_expectation> corpus_differences = {
    {"broken/image-png/consecutive_idat.png",
     {0, corpus_check::normalised, "IDAT chunks are joined wherever they stand before IEND"}},
    {"broken/image-png/cicp-pq-bad-crc-clli-mdcv.png",
     {57, corpus_check::code_only, "a damaged ancillary chunk is refused (libpng drops the chunk)"}},
    {"broken/image-png/iccp-crc-error.png",
     {57, corpus_check::code_only, "a damaged ancillary chunk is refused (libpng drops the chunk)"}},
    {"broken/pillow/iccp-unknown-compression-method.png",
     {57, corpus_check::code_only, "a damaged ancillary chunk is refused (libpng drops the chunk)"}},
    {"broken/image-png/invalid-palette-index.png",
     {38, corpus_check::code_only, "an index past the palette is refused (libpng shows it black)"}},
    {"misc/padded-idat-grey.png",
     {58, corpus_check::code_only, "the Adler-32 is read from the last four bytes of the image data, "
                                   "and two stray bytes follow the stream"}},
    {"palette/1bit-trns.png",
     {0, corpus_check::opaque, "a grey key of 255 in a 1-bit image matches no sample (libpng masks it to 1)"}},
};

// The file rebuilt from its IHDR, PLTE, tRNS and joined IDAT data, with fresh CRCs.
bytes normalised_png(const bytes& file) {
    bytes png(file.begin(), file.begin() + 33);
    bytes idat;
    for (size_t pos = 33; pos + 12 <= file.size();) {
        const uint8_t* chunk = file.data() + pos;
        const uint32_t length = png_chunk_length(chunk);
        if (length > file.size() - pos - 12) break;
        const bytes data(chunk + 8, chunk + 8 + length);
        if (png_chunk_type_equals(chunk, "IDAT")) idat.insert(idat.end(), data.begin(), data.end());
        if (png_chunk_type_equals(chunk, "PLTE") || png_chunk_type_equals(chunk, "tRNS"))
            add_chunk(png, png_chunk_type_equals(chunk, "PLTE") ? "PLTE" : "tRNS", data);
        if (png_chunk_type_equals(chunk, "IEND")) break;
        pos += 12 + length;
    }
    add_chunk(png, "IDAT", idat);
    add_chunk(png, "IEND", {});
    return png;
}

TEST(DecodeCorpus, MatchesLibpngOrTheDocumentedDifference) {
    const char* corpus = std::getenv("VELTO_CORPUS");
    if (!corpus || !std::filesystem::is_directory(std::string(corpus) + "/png"))
        GTEST_SKIP() << "the shared corpus is not there (VELTO_CORPUS)";
    const std::filesystem::path root = std::filesystem::path(corpus) / "png";
    int files = 0;
    std::vector<std::filesystem::path> paths;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
        if (entry.is_regular_file() && entry.path().extension() == ".png") paths.push_back(entry.path());
    std::sort(paths.begin(), paths.end());
    for (const auto& path : paths) {
        const std::string name = std::filesystem::relative(path, root).string();
        const bytes file = load_file_bytes(path.string());
        our_result ours = decode_ours(file);
        ++files;
        const auto difference = corpus_differences.find(name);
        if (difference != corpus_differences.end()) {
            const corpus_expectation& expected = difference->second;
            EXPECT_EQ(ours.error, expected.code) << name << ": " << expected.reason;
            if (expected.check == corpus_check::code_only) continue;
            oracle_result oracle;
            ASSERT_TRUE(libpng_decode_rgba8(
                expected.check == corpus_check::normalised ? normalised_png(file) : file, oracle))
                << name;
            if (expected.check == corpus_check::opaque)
                for (size_t i = 3; i < oracle.rgba.size(); i += 4) oracle.rgba[i] = 255;
            EXPECT_TRUE(ours.rgba == oracle.rgba) << name << ": " << expected.reason;
            continue;
        }
        if (ours.error == 92) {
            // Beyond the pixel limit: the header must say so.
            uint32_t width = 0, height = 0;
            lodepng::State state;
            ASSERT_EQ(inspect_png(width, height, state, file.data(), file.size()), 0u) << name;
            EXPECT_GT(uint64_t(width) * height, png_max_pixels) << name;
            continue;
        }
        oracle_result oracle;
        const bool libpng_ok = libpng_decode_rgba8(file, oracle);
        if (ours.error != 0 || !libpng_ok) {
            EXPECT_EQ(ours.error != 0, !libpng_ok)
                << name << ": ours " << ours.error << ", libpng " << (libpng_ok ? "decodes" : "fails");
            continue;
        }
        EXPECT_EQ(ours.width, oracle.width) << name;
        EXPECT_EQ(ours.height, oracle.height) << name;
        EXPECT_TRUE(ours.rgba == oracle.rgba) << name;
    }
    EXPECT_GT(files, 200);
}

}  // namespace
