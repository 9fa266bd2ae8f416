// Codec state defaults and copies, colour-mode helpers, chunk routines, file load/save.
#include "core/png/codec/codec_state.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

TEST(CodecState, DefaultsOfAFreshState) {
    lodepng::State state;
    EXPECT_EQ(state.last_error, 1u);
    EXPECT_EQ(state.decoder.convert_colour, 1u);
    EXPECT_EQ(state.encoder.compression.block_type, 2u);
    EXPECT_EQ(state.encoder.compression.compressor, nullptr);
    EXPECT_EQ(state.encoder.compression.compressor_context, nullptr);
    EXPECT_EQ(state.encoder.auto_colour, 1u);
    EXPECT_EQ(state.encoder.clean_transparent, 1u);
    EXPECT_EQ(state.encoder.filter_strategy_code, 8u);
    EXPECT_EQ(state.encoder.preset_filters, nullptr);
    for (const png_colour_mode* mode : {&state.raw_mode, &state.file_info.colour}) {
        EXPECT_EQ(mode->colour_type, 6u);
        EXPECT_EQ(mode->bit_depth, 8u);
        EXPECT_EQ(mode->palette, nullptr);
        EXPECT_EQ(mode->palette_size, 0u);
        EXPECT_EQ(mode->key_defined, 0u);
    }
    EXPECT_EQ(state.file_info.interlace_method, 0u);
}

TEST(CodecState, CopiesOwnTheirPalettes) {
    lodepng::State state;
    state.raw_mode.colour_type = 3;
    ASSERT_EQ(palette_add(state.raw_mode, 1, 2, 3, 4), 0u);
    ASSERT_EQ(palette_add(state.file_info.colour, 5, 6, 7, 8), 0u);
    lodepng::State copy = state;
    ASSERT_NE(copy.raw_mode.palette, state.raw_mode.palette);
    ASSERT_NE(copy.file_info.colour.palette, state.file_info.colour.palette);
    EXPECT_TRUE(colour_modes_equal(copy.raw_mode, state.raw_mode));
    copy.raw_mode.palette[0] = 99;
    EXPECT_EQ(state.raw_mode.palette[0], 1);

    lodepng::State assigned;
    assigned = copy;
    EXPECT_EQ(assigned.raw_mode.palette[0], 99);
    EXPECT_NE(assigned.raw_mode.palette, copy.raw_mode.palette);
    lodepng::State moved = std::move(assigned);
    EXPECT_EQ(moved.raw_mode.palette[0], 99);
    EXPECT_EQ(moved.file_info.colour.palette_size, 1u);
}

TEST(CodecState, PaletteGrowsPastItsFirstStorage) {
    png_colour_mode mode;
    for (int i = 0; i < 300; ++i)
        ASSERT_EQ(palette_add(mode, uint8_t(i), 0, 0, 255), 0u);
    EXPECT_EQ(mode.palette_size, 300u);
    EXPECT_EQ(mode.palette[299 * 4], uint8_t(299));
    png_colour_mode copy;
    ASSERT_EQ(copy_colour_mode(copy, mode), 0u);
    EXPECT_TRUE(colour_modes_equal(copy, mode));
    clear_palette(mode);
    EXPECT_EQ(mode.palette, nullptr);
    EXPECT_EQ(mode.palette_size, 0u);
}

TEST(CodecState, CheckColourMode) {
    struct Case { uint32_t type, depth, code; };
    const Case cases[] = {
        {0, 1, 0}, {0, 2, 0}, {0, 4, 0}, {0, 8, 0}, {0, 16, 0}, {0, 3, 37},
        {2, 8, 0}, {2, 16, 0}, {2, 4, 37}, {3, 1, 0}, {3, 8, 0}, {3, 16, 37},
        {4, 8, 0}, {4, 2, 37}, {6, 16, 0}, {6, 1, 37}, {1, 8, 31}, {5, 8, 31}, {7, 8, 31},
    };
    for (const Case& c : cases)
        EXPECT_EQ(check_colour_mode(c.type, c.depth), c.code) << c.type << "/" << c.depth;
}

TEST(CodecState, ModesEqualIgnoresKeyValuesWithoutKey) {
    png_colour_mode a, b;
    a.key_red = 5;
    EXPECT_TRUE(colour_modes_equal(a, b));
    a.key_defined = b.key_defined = 1;
    EXPECT_FALSE(colour_modes_equal(a, b));
    b.key_red = 5;
    EXPECT_TRUE(colour_modes_equal(a, b));
    ASSERT_EQ(palette_add(a, 1, 2, 3, 4), 0u);
    ASSERT_EQ(palette_add(b, 1, 2, 3, 5), 0u);
    EXPECT_FALSE(colour_modes_equal(a, b));
}

TEST(CodecState, RawImageSize) {
    png_colour_mode grey1;
    grey1.colour_type = 0;
    grey1.bit_depth = 1;
    EXPECT_EQ(raw_image_size(3, 1, grey1), 1u);
    EXPECT_EQ(raw_image_size(9, 3, grey1), 4u);  // 27 bits, no padding between rows
    png_colour_mode rgba16;
    rgba16.bit_depth = 16;
    EXPECT_EQ(raw_image_size(1, 1, rgba16), 8u);
    EXPECT_EQ(raw_image_size(0xFFFFFFFFu, 0xFFFFFFFFu, rgba16),
              static_cast<uint64_t>(0xFFFFFFFFu) * 0xFFFFFFFFu * 8);
    png_colour_mode bad;
    bad.colour_type = 7;
    EXPECT_EQ(raw_image_size(10, 10, bad), 0u);
}

TEST(CodecState, ChunkCreateAndRead) {
    std::vector<uint8_t> buffer = {0xAA};
    ASSERT_EQ(png_chunk_create(buffer, 0, "IEND", nullptr), 0u);
    ASSERT_EQ(buffer.size(), 13u);
    const uint8_t* chunk = buffer.data() + 1;
    EXPECT_EQ(png_chunk_length(chunk), 0u);
    char type[5];
    png_chunk_type(type, chunk);
    EXPECT_STREQ(type, "IEND");
    // The CRC of an empty chunk covers only the type: AE 42 60 82 for IEND.
    EXPECT_EQ(buffer[9], 0xAE);
    EXPECT_EQ(buffer[10], 0x42);
    EXPECT_EQ(buffer[11], 0x60);
    EXPECT_EQ(buffer[12], 0x82);
    EXPECT_EQ(png_chunk_next(chunk), buffer.data() + buffer.size());

    const uint8_t data[3] = {1, 2, 3};
    ASSERT_EQ(png_chunk_create(buffer, 3, "abCD", data), 0u);
    const uint8_t* second = png_chunk_next(buffer.data() + 1);
    EXPECT_EQ(png_chunk_length(second), 3u);
    EXPECT_TRUE(png_chunk_type_equals(second, "abCD"));
    EXPECT_EQ(png_chunk_data(second)[2], 3);
    const uLong crc = crc32(crc32(0, Z_NULL, 0), second + 4, 7);
    EXPECT_EQ(png_chunk_length(second + 11), static_cast<uint32_t>(crc));
}

TEST(CodecState, TrnsAndPlteChunks) {
    png_colour_mode palette;
    palette.colour_type = 3;
    for (uint8_t alpha : {0, 128, 255, 255}) ASSERT_EQ(palette_add(palette, 10, 20, 30, alpha), 0u);
    std::vector<uint8_t> buffer;
    ASSERT_EQ(write_trns_chunk(buffer, palette), 0u);
    ASSERT_EQ(png_chunk_length(buffer.data()), 2u);
    EXPECT_EQ(buffer[8], 0);
    EXPECT_EQ(buffer[9], 128);

    buffer.clear();
    ASSERT_EQ(write_plte_chunk(buffer, palette), 0u);
    ASSERT_EQ(png_chunk_length(buffer.data()), 12u);
    EXPECT_EQ(buffer[8 + 9], 10);
    EXPECT_EQ(buffer[8 + 11], 30);

    png_colour_mode grey;
    grey.colour_type = 0;
    grey.bit_depth = 16;
    grey.key_defined = 1;
    grey.key_red = 0x1234;
    buffer.clear();
    ASSERT_EQ(write_trns_chunk(buffer, grey), 0u);
    ASSERT_EQ(png_chunk_length(buffer.data()), 2u);
    EXPECT_EQ(buffer[8], 0x12);
    EXPECT_EQ(buffer[9], 0x34);

    png_colour_mode rgb;
    rgb.colour_type = 2;
    rgb.key_defined = 1;
    rgb.key_red = 1;
    rgb.key_green = 2;
    rgb.key_blue = 0x0300;
    buffer.clear();
    ASSERT_EQ(write_trns_chunk(buffer, rgb), 0u);
    ASSERT_EQ(png_chunk_length(buffer.data()), 6u);
    const std::vector<uint8_t> expected = {0, 1, 0, 2, 3, 0};
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin() + 8, buffer.begin() + 14), expected);
}

TEST(CodecState, LoadAndSaveFiles) {
    char folder[] = "/tmp/codec_state_test.XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string path = std::string(folder) + "/file.bin";
    EXPECT_TRUE(load_file_bytes(path).empty());

    const std::vector<uint8_t> bytes = {0, 1, 2, 255, 13, 10};
    save_file_bytes(bytes, path);
    EXPECT_EQ(load_file_bytes(path), bytes);
    const std::vector<uint8_t> shorter = {7};
    save_file_bytes(shorter, path);
    EXPECT_EQ(load_file_bytes(path), shorter);

    // A folder that does not exist: nothing is written, nothing fails.
    save_file_bytes(bytes, std::string(folder) + "/missing/file.bin");
    EXPECT_TRUE(load_file_bytes(std::string(folder) + "/missing/file.bin").empty());

    std::remove(path.c_str());
    rmdir(folder);
}

}  // namespace
