#include "core/png/compressor_callbacks.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

// Raw inflate with the system zlib; false when the stream is not one complete
// valid DEFLATE stream ending exactly at its last byte.
bool raw_inflate(const uint8_t* data, uint64_t size, bytes& result) {
    z_stream stream{};
    if (inflateInit2(&stream, -15) != Z_OK) return false;
    stream.next_in = const_cast<Bytef*>(data);
    stream.avail_in = static_cast<uInt>(size);
    result.clear();
    uint8_t chunk[16384];
    int status = Z_OK;
    while (status == Z_OK) {
        stream.next_out = chunk;
        stream.avail_out = sizeof chunk;
        status = inflate(&stream, Z_NO_FLUSH);
        result.insert(result.end(), chunk, chunk + (sizeof chunk - stream.avail_out));
        if (status == Z_BUF_ERROR && stream.avail_in == 0) break;
    }
    const bool complete = status == Z_STREAM_END && stream.avail_in == 0;
    inflateEnd(&stream);
    return complete;
}

// Image-like rows: runs, repeats of earlier rows with small changes and noise,
// so that parsers of different strength give different streams.
bytes sample_input(size_t size, uint32_t seed) {
    bytes data(size);
    uint32_t state = seed;
    const auto next = [&state] {
        state = state * 1103515245u + 12345u;
        return state >> 16;
    };
    const size_t row = 97;
    for (size_t i = 0; i < size; ++i) {
        const uint32_t pick = next() % 8;
        if (i >= row && pick < 5) {
            data[i] = static_cast<uint8_t>(data[i - row] + (pick == 0 ? 1 : 0));
        } else if (i > 0 && pick < 7) {
            data[i] = data[i - 1];
        } else {
            data[i] = static_cast<uint8_t>(next());
        }
    }
    return data;
}

struct stream_result {
    uint32_t status = 0;
    bytes stream;
};

stream_result run_callback(deflate_callback callback, const bytes& input,
                           const png_compress_settings* settings) {
    uint8_t* out = nullptr;
    uint64_t outsize = 0;
    stream_result result;
    result.status = callback(&out, &outsize, input.empty() ? nullptr : input.data(), input.size(),
                             settings);
    if (out != nullptr) result.stream.assign(out, out + outsize);
    std::free(out);
    return result;
}

image_job zopfli_job(uint32_t level, uint32_t iterations, uint8_t threads, uint32_t pixels) {
    image_job job{};
    job.zopfli_setting = static_cast<uint16_t>(level | (iterations << 8));
    job.deflate_threads = threads;
    job.threads = threads;
    job.pixel_count = pixels;
    return job;
}

png_compress_settings settings_for(const image_job* job) {
    png_compress_settings settings;
    settings.compressor = zopfli_callback;
    settings.compressor_context = const_cast<image_job*>(job);
    return settings;
}

// What the Zopfli-style compressor gives when called directly with these options.
bytes direct_zopfli(const bytes& input, uint32_t mode, uint32_t threads, int32_t iterations,
                    uint8_t special) {
    zopfli::Zopflioptions options;
    zopfli::zopfli_init_options(&options, mode, threads, 1, iterations, special);
    unsigned char bit_position = 0;
    unsigned char* out = nullptr;
    size_t outsize = 0;
    zopfli::zopfli_deflate(&options, 1, input.data(), input.size(), &bit_position, &out, &outsize);
    bytes result(out, out + outsize);
    std::free(out);
    return result;
}

const int level_codes[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 77, 80, 88, 89};

TEST(LevelCallback, EveryLevelCodeRoundTripsAndEmptyInputGivesAValidStream) {
    const bytes input = sample_input(40000, 7);
    for (int code : level_codes) {
        SCOPED_TRACE(code);
        const deflate_callback callback = level_callback_for(code);
        ASSERT_NE(callback, nullptr);

        const stream_result full = run_callback(callback, input, nullptr);
        ASSERT_EQ(full.status, 0u);
        ASSERT_FALSE(full.stream.empty());
        bytes inflated;
        ASSERT_TRUE(raw_inflate(full.stream.data(), full.stream.size(), inflated));
        EXPECT_EQ(inflated, input);

        const stream_result empty = run_callback(callback, bytes(), nullptr);
        ASSERT_EQ(empty.status, 0u);
        ASSERT_FALSE(empty.stream.empty());
        EXPECT_TRUE(raw_inflate(empty.stream.data(), empty.stream.size(), inflated));
        EXPECT_TRUE(inflated.empty());
    }
}

TEST(LevelCallback, LevelCodesPassThroughUnchanged) {
    const bytes input = sample_input(40000, 11);
    const stream_result fastest = run_callback(level_callback<0>, input, nullptr);
    const stream_result strongest = run_callback(level_callback<13>, input, nullptr);
    ASSERT_EQ(fastest.status, 0u);
    ASSERT_EQ(strongest.status, 0u);
    EXPECT_NE(fastest.stream, strongest.stream);
    EXPECT_LT(strongest.stream.size(), fastest.stream.size());

    // Every code has its own instance; codes outside the compressor's table have none.
    for (size_t i = 0; i < std::size(level_codes); ++i) {
        for (size_t j = i + 1; j < std::size(level_codes); ++j) {
            EXPECT_NE(level_callback_for(level_codes[i]), level_callback_for(level_codes[j]));
        }
    }
    for (int code : {-1, 14, 42, 76, 78, 81, 90, 255}) {
        EXPECT_EQ(level_callback_for(code), nullptr) << code;
    }
}

TEST(LevelCallback, OutputThatDoesNotFitIsAFailureNotAnEmptyStream) {
    const bytes input = sample_input(5000, 3);
    struct fit_case {
        int code;
        uint64_t room;
        uint32_t status;
    };
    const fit_case cases[] = {
        {9, 0, 83}, {9, 1, 83}, {0, 100, 83}, {77, 200, 83},
        {42, 100000, 83},  // no compressor for this code
        {9, 100000, 0},
    };
    for (const fit_case& c : cases) {
        SCOPED_TRACE(testing::Message() << "code " << c.code << " room " << c.room);
        uint8_t* out = reinterpret_cast<uint8_t*>(&out);  // must be overwritten
        uint64_t outsize = 12345;
        const uint32_t status =
            compress_with_level(c.code, &out, &outsize, input.data(), input.size(), c.room);
        EXPECT_EQ(status, c.status);
        if (c.status != 0) {
            EXPECT_EQ(out, nullptr);
            EXPECT_EQ(outsize, 0u);
        } else {
            bytes inflated;
            EXPECT_TRUE(raw_inflate(out, outsize, inflated));
            EXPECT_EQ(inflated, input);
        }
        std::free(out);
    }
}

TEST(ZopfliCallback, SettingsFromTheJobRoundTrip) {
    const bytes input = sample_input(16000, 5);
    struct setting {
        uint32_t level, iterations;
        uint8_t threads;
    };
    const setting settings[] = {{2, 1, 1}, {2, 1, 2}, {5, 1, 1}, {5, 2, 2}, {5, 4, 3}};
    for (const setting& s : settings) {
        SCOPED_TRACE(testing::Message() << s.level << "/" << s.iterations << "/" << int(s.threads));
        const image_job job = zopfli_job(s.level, s.iterations, s.threads, 4000);
        const png_compress_settings compress = settings_for(&job);
        const stream_result result = run_callback(zopfli_callback, input, &compress);
        ASSERT_EQ(result.status, 0u);
        bytes inflated;
        ASSERT_TRUE(raw_inflate(result.stream.data(), result.stream.size(), inflated));
        EXPECT_EQ(inflated, input);
        EXPECT_EQ(result.stream,
                  direct_zopfli(input, s.level, s.threads, static_cast<int32_t>(s.iterations), 0));

        const stream_result empty = run_callback(zopfli_callback, bytes(), &compress);
        ASSERT_EQ(empty.status, 0u);
        ASSERT_FALSE(empty.stream.empty());
        EXPECT_TRUE(raw_inflate(empty.stream.data(), empty.stream.size(), inflated));
        EXPECT_TRUE(inflated.empty());
    }

    // Without a job: the settings a fresh job starts with, on one thread.
    const stream_result alone = run_callback(zopfli_callback, input, nullptr);
    ASSERT_EQ(alone.status, 0u);
    EXPECT_EQ(alone.stream, direct_zopfli(input, 5, 1, 1, 0));
}

TEST(ZopfliCallback, SpecialScheduleOnlyForItsExactPixelCount) {
    struct special_case {
        uint32_t pixels;
        uint8_t special;
    };
    // The order matters: a special job in between must not leave its flag behind.
    const special_case cases[] = {{14999104, 0}, {14999105, 1}, {14999106, 0},
                                  {14999105, 1}, {1000, 0},     {0, 0}};
    for (const special_case& c : cases) {
        SCOPED_TRACE(c.pixels);
        const image_job job = zopfli_job(5, 16, 4, c.pixels);
        const zopfli::Zopflioptions options = zopfli_options_for_job(job);
        zopfli::Zopflioptions expected;
        zopfli::zopfli_init_options(&expected, 5, 4, 1, 16, c.special);
        EXPECT_EQ(options.no_start_stats, c.special);
        EXPECT_EQ(options.iterations, 16u);
        EXPECT_EQ(options.threads, 4u);
        EXPECT_EQ(std::memcmp(&options, &expected, sizeof options), 0);
    }

    // And the callback compresses with those options; the schedule changes the
    // stream, so a flag that went missing or stuck would show here.
    const bytes input = sample_input(6000, 9);
    const bytes with_special = direct_zopfli(input, 5, 1, 2, 1);
    const bytes without_special = direct_zopfli(input, 5, 1, 2, 0);
    ASSERT_NE(with_special, without_special);
    for (const special_case& c : cases) {
        SCOPED_TRACE(c.pixels);
        const image_job job = zopfli_job(5, 2, 1, c.pixels);
        const png_compress_settings compress = settings_for(&job);
        EXPECT_EQ(run_callback(zopfli_callback, input, &compress).stream,
                  c.special ? with_special : without_special);
    }
}

TEST(Callbacks, ConcurrentEncodesWithDifferentSettingsMatchTheirLoneResults) {
    const bytes input = sample_input(12000, 21);
    const image_job jobs[] = {
        zopfli_job(2, 1, 1, 3000),
        zopfli_job(5, 1, 2, 3000),
        zopfli_job(5, 4, 1, 3000),
        zopfli_job(5, 2, 2, zopfli_special_pixel_count),
        zopfli_job(5, 2, 2, zopfli_special_pixel_count + 1),
    };
    const size_t job_count = std::size(jobs);
    const deflate_callback levels[] = {level_callback<9>, level_callback<88>};
    const size_t task_count = job_count + std::size(levels);

    const auto run_task = [&](size_t task) {
        if (task < job_count) {
            const png_compress_settings compress = settings_for(&jobs[task]);
            return run_callback(zopfli_callback, input, &compress).stream;
        }
        return run_callback(levels[task - job_count], input, nullptr).stream;
    };

    std::vector<bytes> alone(task_count);
    for (size_t task = 0; task < task_count; ++task) alone[task] = run_task(task);
    // Settings that differ give streams that differ, so a mix-up would show.
    EXPECT_NE(alone[0], alone[2]);
    EXPECT_NE(alone[3], alone[4]);

    const int rounds = 2;
    std::vector<bytes> together(task_count * rounds);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < together.size(); ++i) {
        threads.emplace_back([&, i] { together[i] = run_task(i % task_count); });
    }
    for (std::thread& thread : threads) thread.join();
    for (size_t i = 0; i < together.size(); ++i) {
        EXPECT_EQ(together[i], alone[i % task_count]) << "task " << i % task_count;
    }
}

}  // namespace
