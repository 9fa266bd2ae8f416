#include "core/png/encoder_settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "core/png/compressor_callbacks.h"
#include "core/png/codec/decode.h"
#include "core/png/codec/encode.h"

namespace {

image_job make_job(uint8_t level, uint8_t colour_type, uint32_t pixels, uint32_t colours) {
    image_job job{};
    job.png_level = level;
    job.colour_type = colour_type;
    job.pixel_count = pixels;
    job.colour_count = colours;
    job.strategy11_pixel_limit = 409600;
    job.zopfli_setting = 261;
    job.threads = 2;
    job.deflate_threads = 2;
    return job;
}

// A compressor choice: a level code, or Zopfli with level and iterations.
struct choice {
    int level;  // -1: Zopfli
    uint32_t zopfli_level;
    uint32_t iterations;
};
constexpr choice level(int code) { return {code, 0, 0}; }
constexpr choice zopfli(uint32_t g, uint32_t n) { return {-1, g, n}; }

void expect_choice(const choice& expected, const lodepng::State& state, const image_job& job) {
    const png_compress_settings& compression = state.encoder.compression;
    if (expected.level >= 0) {
        EXPECT_EQ(job.deflate_backend, 1);
        EXPECT_EQ(job.deflate_level, expected.level);
        EXPECT_EQ(compression.compressor, level_callback_for(expected.level));
        EXPECT_EQ(compression.compressor_context, nullptr);
    } else {
        EXPECT_EQ(job.deflate_backend, 2);
        EXPECT_EQ(job.zopfli_setting & 0xFF, expected.zopfli_level);
        EXPECT_EQ(job.zopfli_setting >> 8, expected.iterations);
        EXPECT_EQ(job.deflate_threads, job.threads);
        EXPECT_EQ(compression.compressor, zopfli_callback);
        EXPECT_EQ(compression.compressor_context, &job);
    }
}

TEST(FilterStrategy, CandidateGateAndWholeImageTrial) {
    struct filter_case {
        uint8_t level, type;
        uint32_t pixels, colours;
        uint8_t grey, trial;
        uint32_t limit;
        uint8_t candidate, strategy;
    };
    const filter_case cases[] = {
        // Candidates by level and colour type.
        {0, 6, 100000, 5000, 0, 0, 409600, 8, 8},
        {1, 2, 100000, 5000, 0, 0, 409600, 8, 8},
        {2, 3, 100000, 5000, 0, 0, 409600, 8, 8},
        {2, 0, 100000, 5000, 0, 0, 409600, 7, 7},
        {2, 2, 100000, 5000, 0, 0, 409600, 9, 9},
        {2, 4, 100000, 5000, 0, 0, 409600, 8, 8},
        {2, 6, 2795584, 5000, 0, 0, 409600, 9, 9},
        {2, 6, 2795585, 5000, 0, 0, 409600, 12, 12},
        {255, 6, 100000, 5000, 0, 0, 409600, 9, 9},
        {4, 2, 100000, 5000, 0, 0, 409600, 9, 9},
        // The gate: few colours or a huge image fall back to 8, unless grey; 7 stays.
        {2, 6, 2795585, 1000, 0, 0, 409600, 8, 8},
        {2, 2, 100000, 1280, 0, 0, 409600, 8, 8},
        {2, 2, 100000, 1281, 0, 0, 409600, 9, 9},
        {2, 2, 100000, 1000, 1, 0, 409600, 9, 9},
        {2, 6, 67108863, 5000, 0, 0, 409600, 12, 12},
        {2, 6, 67108864, 5000, 0, 0, 409600, 8, 8},
        {2, 6, 67108864, 5000, 1, 0, 409600, 12, 12},
        {3, 0, 100000, 100, 1, 0, 409600, 7, 7},
        {3, 0, 100000, 100, 0, 0, 409600, 7, 7},
        // Whole-image trial strategy below the pixel limit, not for grey types.
        {2, 2, 409599, 5000, 0, 1, 409600, 9, 11},
        {2, 2, 409600, 5000, 0, 1, 409600, 9, 8},
        {2, 4, 1000, 5000, 0, 1, 409600, 8, 8},
        {2, 0, 1000, 5000, 0, 1, 409600, 7, 8},
        {2, 3, 1000, 200, 0, 1, 409600, 8, 11},
        {0, 6, 1000, 200, 0, 1, 409600, 8, 11},
        {2, 6, 5000, 5000, 0, 1, 5000, 9, 8},
        {2, 6, 4999, 5000, 0, 1, 5000, 9, 11},
    };
    for (const filter_case& c : cases) {
        SCOPED_TRACE(testing::Message() << "level " << int(c.level) << " type " << int(c.type)
                                        << " pixels " << c.pixels << " colours " << c.colours
                                        << " grey " << int(c.grey) << " trial " << int(c.trial));
        image_job job = make_job(c.level, c.type, c.pixels, c.colours);
        job.is_grey = c.grey;
        job.filter_trial = c.trial;
        job.strategy11_pixel_limit = c.limit;
        lodepng::State state;
        state.encoder.filter_strategy_code = 3;
        set_filter_strategy(state, job);
        EXPECT_EQ(job.filter_candidate, c.candidate);
        EXPECT_EQ(job.filter_strategy, c.strategy);
        EXPECT_EQ(state.encoder.filter_strategy_code, c.strategy);
    }
}

TEST(FilterStrategy, FixedCodes) {
    struct code_case {
        int code;
        uint32_t strategy;
    };
    const code_case cases[] = {{0, 0}, {1, 0}, {2, 0}, {3, 3}, {5, 5}, {11, 11}, {13, 13},
                               {14, 0}, {200, 0}};
    for (const code_case& c : cases) {
        SCOPED_TRACE(c.code);
        image_job job = make_job(2, 6, 1000, 100);
        lodepng::State state;
        set_filter_code(c.code, state, job);
        EXPECT_EQ(state.encoder.filter_strategy_code, c.strategy);
        EXPECT_EQ(job.filter_strategy, c.code);
    }
}

TEST(DeflateSelection, LevelCodes) {
    for (int code : {0, 1, 5, 7, 8, 13, 77, 80, 88, 89}) {
        SCOPED_TRACE(code);
        image_job job = make_job(2, 6, 1000, 100);
        lodepng::State state;
        select_deflate_level(code, state, job);
        expect_choice(level(code), state, job);
    }
    // An unknown code compresses as 0 but is recorded as given.
    image_job job = make_job(2, 6, 1000, 100);
    lodepng::State state;
    state.encoder.compression.compressor = zopfli_callback;
    state.encoder.compression.compressor_context = &job;
    select_deflate_level(42, state, job);
    EXPECT_EQ(job.deflate_level, 42);
    EXPECT_EQ(job.deflate_backend, 1);
    EXPECT_EQ(state.encoder.compression.compressor, level_callback<0>);
    EXPECT_EQ(state.encoder.compression.compressor_context, nullptr);
}

TEST(DeflateSelection, ByPngLevel) {
    struct level_case {
        uint8_t level;
        uint8_t photo, flat, threads;
        uint32_t pixels;
        choice expected;
    };
    const level_case cases[] = {
        {0, 0, 1, 2, 1000, level(6)},         {0, 1, 1, 2, 1000, level(6)},
        {0, 1, 0, 2, 1000, level(77)},        {0, 0, 0, 2, 1000, level(8)},
        {1, 1, 1, 2, 1000, level(7)},         {1, 1, 0, 2, 1000, level(6)},
        {1, 0, 0, 2, 1000, level(88)},        {2, 0, 1, 2, 1000, level(8)},
        {2, 1, 0, 2, 1000, level(8)},         {2, 0, 0, 2, 1000, level(9)},
        {3, 0, 0, 4, 1048577, zopfli(2, 1)},  {3, 1, 0, 4, 1048576, level(9)},
        {3, 0, 0, 3, 2000000, level(10)},     {3, 1, 0, 3, 2000000, level(9)},
        {4, 0, 0, 1, 1048577, zopfli(5, 2)},  {4, 1, 1, 8, 1048576, zopfli(5, 4)},
        {255, 1, 0, 8, 5000000, level(9)},    {255, 0, 1, 8, 5000000, level(10)},
    };
    for (const level_case& c : cases) {
        SCOPED_TRACE(testing::Message() << "level " << int(c.level) << " photo " << int(c.photo)
                                        << " flat " << int(c.flat) << " threads " << int(c.threads)
                                        << " pixels " << c.pixels);
        image_job job = make_job(c.level, 6, c.pixels, 5000);
        job.photo_like = c.photo;
        job.flat_large_image = c.flat;
        job.threads = c.threads;
        job.deflate_threads = 1;
        lodepng::State state;
        select_deflate_for_level(state, job);
        expect_choice(c.expected, state, job);
    }
}

TEST(DeflateSelection, QuickSettingForTrials) {
    struct trial_case {
        uint8_t level, type;
        uint32_t pixels, colours;
        uint8_t translucent;
        uint64_t same, changed;
        uint8_t few, photo, threads;
        choice expected;
        uint8_t recorded_level;  // image_job.deflate_level afterwards
    };
    const trial_case cases[] = {
        // Base level from the statistics.
        {2, 3, 1000, 100, 0, 0, 0, 0, 0, 2, level(7), 7},
        {2, 6, 1000, 100, 0, 0, 50, 0, 0, 2, level(0), 0},
        {2, 6, 1000, 100, 30, 41, 21, 0, 0, 2, level(7), 7},
        {2, 6, 1000, 100, 30, 40, 21, 0, 0, 2, level(0), 0},
        {2, 6, 1000, 100, 30, 41, 20, 0, 0, 2, level(0), 0},
        {2, 6, 1000, 4095, 0, 91, 7, 0, 0, 2, level(7), 7},
        {2, 6, 1000, 4096, 0, 91, 7, 0, 0, 2, level(0), 0},
        {2, 6, 1000, 100, 0, 91, 8, 0, 0, 2, level(0), 0},
        {2, 6, 1000, 100, 0, 90, 7, 0, 0, 2, level(0), 0},
        {4, 6, 20000000, 100, 0, 0, 50, 0, 0, 8, level(0), 0},
        // Few colours.
        {0, 6, 1000, 10, 0, 0, 0, 1, 1, 2, level(7), 7},
        {2, 6, 1000, 10, 0, 0, 0, 1, 0, 2, level(11), 11},
        {3, 6, 1000, 10, 0, 0, 0, 1, 0, 2, zopfli(5, 2), 0},
        {4, 3, 1000, 10, 0, 0, 0, 1, 1, 2, zopfli(5, 8), 7},
        {255, 6, 1000, 10, 0, 0, 0, 1, 0, 2, zopfli(5, 8), 0},
        // Photographs.
        {1, 6, 20000000, 9000, 0, 0, 0, 0, 1, 2, level(7), 7},
        {3, 6, 147455, 9000, 0, 0, 0, 0, 1, 2, level(11), 11},
        {3, 6, 147456, 9000, 0, 0, 0, 0, 1, 2, level(10), 10},
        {3, 6, 3686400, 9000, 0, 0, 0, 0, 1, 2, level(10), 10},
        {3, 6, 3686401, 9000, 0, 0, 0, 0, 1, 2, level(9), 9},
        {3, 6, 10061584, 9000, 0, 0, 0, 0, 1, 2, level(9), 9},
        {3, 6, 10061585, 9000, 0, 0, 0, 0, 1, 2, level(8), 8},
        {4, 6, 10061584, 9000, 0, 0, 0, 0, 1, 8, level(8), 8},
        {4, 6, 10061585, 9000, 0, 0, 0, 0, 1, 3, level(9), 9},
        {255, 6, 10061585, 9000, 0, 0, 0, 0, 1, 4, zopfli(5, 1), 0},
    };
    for (const trial_case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "level " << int(c.level) << " type " << int(c.type) << " pixels "
                     << c.pixels << " colours " << c.colours << " translucent "
                     << int(c.translucent) << " same " << c.same << " changed " << c.changed
                     << " few " << int(c.few) << " photo " << int(c.photo));
        image_job job = make_job(c.level, c.type, c.pixels, c.colours);
        job.translucent_percent = c.translucent;
        job.stat_same = c.same;
        job.stat_changed = c.changed;
        job.few_colours = c.few;
        job.photo_like = c.photo;
        job.threads = c.threads;
        job.deflate_level = 99;
        lodepng::State state;
        select_deflate_by_statistics(1, state, job);
        expect_choice(c.expected, state, job);
        EXPECT_EQ(job.deflate_level, c.recorded_level);
    }
}

TEST(DeflateSelection, FinalSettingByLevelAndSize) {
    struct final_case {
        uint8_t level, type;
        uint32_t pixels, colours;
        uint8_t threads;
        choice expected;
    };
    const final_case cases[] = {
        {0, 3, 786431, 97, 2, level(88)},      {0, 3, 786432, 97, 2, level(9)},
        {0, 3, 100, 96, 2, level(8)},          {0, 6, 100, 5000, 2, level(8)},
        {1, 6, 147455, 5000, 2, level(11)},    {1, 6, 147456, 5000, 2, level(10)},
        {1, 6, 3686400, 5000, 2, level(10)},   {1, 6, 3686401, 5000, 2, level(9)},
        {1, 6, 10061584, 5000, 2, level(9)},   {1, 2, 12000000, 5000, 2, level(89)},
        {1, 2, 16777216, 5000, 2, level(89)},  {1, 2, 16777217, 5000, 2, level(88)},
        {1, 2, 17000000, 5000, 2, level(88)},  {1, 3, 12000000, 200, 2, level(9)},
        {1, 3, 17000000, 200, 2, level(9)},    {2, 6, 147455, 5000, 2, level(13)},
        {2, 6, 147456, 5000, 2, level(12)},    {2, 6, 10061584, 5000, 2, level(12)},
        {2, 6, 10061585, 5000, 3, level(10)},  {2, 6, 10061585, 5000, 4, zopfli(5, 2)},
    };
    for (const final_case& c : cases) {
        SCOPED_TRACE(testing::Message() << "level " << int(c.level) << " type " << int(c.type)
                                        << " pixels " << c.pixels << " colours " << c.colours
                                        << " threads " << int(c.threads));
        image_job job = make_job(c.level, c.type, c.pixels, c.colours);
        job.threads = c.threads;
        // The final setting ignores these.
        job.few_colours = 1;
        job.photo_like = 1;
        lodepng::State state;
        select_deflate_by_statistics(0, state, job);
        expect_choice(c.expected, state, job);
    }
}

TEST(DeflateSelection, FinalZopfliIterations) {
    struct iteration_case {
        uint8_t filtered_wins, level, type;
        uint32_t pixels;
        uint32_t iterations;       // more than 4 colours
        uint32_t few_iterations;  // at most 4 colours
    };
    const iteration_case cases[] = {
        {1, 3, 6, 1000, 4, 60},      {1, 3, 3, 1000, 4, 60},
        {1, 4, 6, 1000, 8, 80},      {1, 255, 2, 5000000, 8, 80},
        {1, 4, 3, 786432, 16, 80},   {1, 4, 3, 786431, 10, 80},
        {1, 255, 3, 100, 10, 80},    {0, 3, 6, 1000, 2, 60},
        {0, 3, 3, 100000, 2, 60},    {0, 4, 6, 1000, 4, 80},
        {0, 255, 0, 1000, 4, 80},    {0, 4, 3, 65537, 8, 80},
        {0, 4, 3, 100000, 8, 80},    {0, 4, 3, 786431, 8, 80},
        {0, 4, 3, 65536, 10, 80},    {0, 255, 3, 786432, 10, 80},
    };
    for (const iteration_case& c : cases) {
        for (uint32_t colours : {200u, 5u, 4u, 3u}) {
            SCOPED_TRACE(testing::Message() << "filtered " << int(c.filtered_wins) << " level "
                                            << int(c.level) << " type " << int(c.type)
                                            << " pixels " << c.pixels << " colours " << colours);
            image_job job = make_job(c.level, c.type, c.pixels, colours);
            job.filtered_wins = c.filtered_wins;
            job.threads = 6;
            lodepng::State state;
            select_deflate_by_statistics(0, state, job);
            const uint32_t n = colours <= 4 ? c.few_iterations : c.iterations;
            expect_choice(zopfli(5, n), state, job);
            EXPECT_EQ(job.deflate_threads, 6);
        }
    }
}

// The candidate encodes of the strongest level iterate more than the final
// encode of any photograph or truecolour image, whatever the job says.
TEST(DeflateSelection, CandidateSettingOutIteratesTheFinalOne) {
    for (uint8_t type : {2, 6}) {
        for (uint8_t filtered : {0, 1}) {
            SCOPED_TRACE(testing::Message() << "type " << int(type) << " filtered " << int(filtered));
            image_job job = make_job(4, type, 400000, 9000);
            job.filtered_wins = filtered;
            job.photo_like = 1;
            job.threads = 5;
            lodepng::State final_state;
            select_deflate_by_statistics(0, final_state, job);
            const uint32_t final_iterations = job.zopfli_setting >> 8;
            lodepng::State state;
            select_deflate_for_candidates(state, job);
            expect_choice(zopfli(5, 15), state, job);
            EXPECT_GT(15u, final_iterations);
        }
    }
}

TEST(DeflateSelection, ZopfliStateCompressesWithItsOwnJobsSettings) {
    std::vector<uint8_t> input(3000);
    for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<uint8_t>((i * i / 7) ^ (i / 13));

    image_job job = make_job(4, 6, 5000, 5000);
    job.threads = 1;
    lodepng::State state;
    select_deflate_for_level(state, job);  // level 4, small image: level 5, 4 iterations
    uint8_t* out = nullptr;
    uint64_t outsize = 0;
    const png_compress_settings& compression = state.encoder.compression;
    ASSERT_EQ(compression.compressor(&out, &outsize, input.data(), input.size(), &compression), 0u);
    std::vector<uint8_t> through_state(out, out + outsize);
    std::free(out);

    zopfli::Zopflioptions options;
    zopfli::zopfli_init_options(&options, 5, 1, 1, 4, 0);
    unsigned char bit_position = 0;
    unsigned char* direct = nullptr;
    size_t direct_size = 0;
    zopfli::zopfli_deflate(&options, 1, input.data(), input.size(), &bit_position, &direct,
                           &direct_size);
    EXPECT_EQ(through_state, std::vector<uint8_t>(direct, direct + direct_size));
    std::free(direct);
}

TEST(DeflateSelection, EncodesThroughTheInstalledCompressorDecodeBack) {
    const uint32_t width = 61, height = 37;
    std::vector<uint8_t> image(width * height * 4);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            uint8_t* pixel = &image[(y * width + x) * 4];
            pixel[0] = static_cast<uint8_t>(x * 4);
            pixel[1] = static_cast<uint8_t>(y * 7 + x / 5);
            pixel[2] = static_cast<uint8_t>((x * y) % 251);
            pixel[3] = static_cast<uint8_t>(255 - (x % 3) * 40);
        }
    }
    struct selection {
        const char* name;
        void (*select)(lodepng::State&, image_job&);
    };
    const selection selections[] = {
        {"level 9", [](lodepng::State& s, image_job& j) { select_deflate_level(9, s, j); }},
        {"level 77", [](lodepng::State& s, image_job& j) { select_deflate_level(77, s, j); }},
        {"zopfli by level", select_deflate_for_level},
        {"final", [](lodepng::State& s, image_job& j) { select_deflate_by_statistics(0, s, j); }},
    };
    for (const selection& sel : selections) {
        SCOPED_TRACE(sel.name);
        image_job job = make_job(4, 6, width * height, 5000);
        job.threads = 1;
        lodepng::State state;
        state.encoder.auto_colour = 0;
        state.encoder.clean_transparent = 0;
        set_filter_strategy(state, job);
        sel.select(state, job);
        std::vector<uint8_t> png;
        ASSERT_EQ(encode_png(png, image, width, height, state, nullptr), 0u);

        lodepng::State decoder;
        std::vector<uint8_t> decoded;
        uint32_t decoded_width = 0, decoded_height = 0;
        ASSERT_EQ(decode_png(decoded, decoded_width, decoded_height, decoder, png), 0u);
        EXPECT_EQ(decoded_width, width);
        EXPECT_EQ(decoded_height, height);
        EXPECT_EQ(decoded, image);
        read_colour_type(0, decoder, job);
        EXPECT_EQ(job.colour_type, 6);
    }
}

TEST(PaletteOrder, CodesWriteTheirFieldsAndLeaveTheRest) {
    struct order_case {
        int code;
        int32_t plain_keys, reverse, alpha_rule, order_mode;
    };
    // Fields a code does not name keep the values 91, 92, 93.
    const order_case cases[] = {
        {1, 91, 92, 93, 5},  {2, 0, 0, 0, 0},     {3, 91, 1, 0, 1},   {4, 91, 92, 93, -1},
        {10, 0, 1, 0, 2},    {11, 0, 0, 2, 2},    {12, 0, 1, 2, 2},   {13, 0, 0, 0, 2},
        {20, 91, 92, 93, 6}, {30, 91, 92, 93, 7}, {0, 91, 92, 93, 4}, {22, 91, 92, 93, 4},
        {5, 91, 92, 93, 4},  {-1, 91, 92, 93, 4},
    };
    for (const order_case& c : cases) {
        SCOPED_TRACE(c.code);
        png_palette_order record;
        record.plain_keys = 91;
        record.reverse = 92;
        record.alpha_rule = 93;
        record.order_mode = 94;
        set_palette_order(c.code, record);
        EXPECT_EQ(record.plain_keys, c.plain_keys);
        EXPECT_EQ(record.reverse, c.reverse);
        EXPECT_EQ(record.alpha_rule, c.alpha_rule);
        EXPECT_EQ(record.order_mode, c.order_mode);
    }
}

TEST(ColourType, ReadFromFileInfoOrResultMode) {
    struct type_case {
        uint32_t stored;
        uint8_t recorded;
    };
    const type_case cases[] = {{0, 0}, {2, 2}, {3, 3}, {4, 4}, {6, 6}, {1, 6}, {5, 6}, {7, 6}};
    for (const type_case& c : cases) {
        SCOPED_TRACE(c.stored);
        lodepng::State state;
        state.file_info.colour.colour_type = c.stored;
        state.result_mode.colour_type = 2;
        image_job job = make_job(2, 6, 100, 100);
        read_colour_type(0, state, job);
        EXPECT_EQ(job.colour_type, c.recorded);

        state.file_info.colour.colour_type = 2;
        state.result_mode.colour_type = c.stored;
        job.colour_type = 0;
        read_colour_type(1, state, job);
        EXPECT_EQ(job.colour_type, c.recorded);
    }
}

TEST(PaletteSize, FromColourCountAndQuality) {
    struct size_case {
        uint8_t mode;
        uint16_t resize;
        uint32_t colours;
        uint8_t quality;
        uint16_t max_colours;
    };
    const size_case cases[] = {
        {3, 512, 20, 82, 128},    {3, 512, 200, 96, 256},   {3, 512, 100, 90, 160},
        {3, 512, 20, 74, 48},     {3, 512, 20, 75, 88},     {3, 512, 20, 79, 88},
        {3, 512, 20, 80, 128},    {3, 512, 20, 84, 128},    {3, 512, 20, 85, 168},
        {3, 512, 20, 89, 168},    {3, 512, 20, 90, 208},    {3, 512, 20, 94, 208},
        {3, 512, 20, 95, 256},    {3, 512, 29, 70, 48},     {3, 512, 30, 70, 48},
        {3, 512, 30, 95, 256},    {3, 512, 100, 94, 160},   {3, 512, 100, 95, 256},
        {3, 512, 160, 10, 256},   {3, 512, 161, 10, 256},   {3, 512, 0, 100, 256},
        // Counts whose scaled value passes 65,535 must not wrap to a small palette.
        {3, 512, 40960, 80, 256}, {3, 512, 41000, 60, 256}, {3, 512, 5000000, 60, 256},
        // Only palette output with a resize target is changed.
        {2, 512, 20, 82, 999},    {3, 0, 20, 82, 999},      {1, 512, 200, 96, 999},
    };
    for (const size_case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << int(c.mode) << " resize " << c.resize
                                        << " colours " << c.colours << " quality "
                                        << int(c.quality));
        image_job job = make_job(2, 3, 1000, c.colours);
        job.mode = c.mode;
        job.resize_target = c.resize;
        job.quality = c.quality;
        job.max_colours = 999;
        choose_palette_size(job);
        EXPECT_EQ(job.max_colours, c.max_colours);
    }
}

TEST(ParallelTrials, OneFileEnoughThreadsAndAMiddleSizedImage) {
    struct parallel_case {
        uint8_t single_file, threads, type, grey;
        uint32_t pixels;
        uint8_t parallel;
    };
    const parallel_case cases[] = {
        {1, 2, 6, 0, 16384, 0},    {1, 2, 6, 0, 16385, 1},    {1, 2, 6, 0, 16777216, 1},
        {1, 2, 6, 0, 16777217, 0}, {0, 8, 6, 0, 100000, 0},   {1, 1, 6, 0, 100000, 0},
        {1, 2, 3, 0, 89999, 0},    {1, 2, 3, 0, 90000, 1},    {1, 4, 2, 1, 100000, 0},
        {1, 4, 0, 1, 100000, 0},   {1, 32, 2, 0, 100000, 1},  {1, 2, 4, 0, 20000, 1},
    };
    for (const parallel_case& c : cases) {
        SCOPED_TRACE(testing::Message() << "single " << int(c.single_file) << " threads "
                                        << int(c.threads) << " type " << int(c.type) << " grey "
                                        << int(c.grey) << " pixels " << c.pixels);
        image_job job = make_job(2, c.type, c.pixels, 100);
        job.single_file = c.single_file;
        job.threads = c.threads;
        job.is_grey = c.grey;
        job.parallel_trials = 1 - c.parallel;
        decide_parallel_deflate(job);
        EXPECT_EQ(job.parallel_trials, c.parallel);
    }
}

}  // namespace
