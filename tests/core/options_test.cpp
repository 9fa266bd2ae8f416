#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/options.h"

namespace {

default_flags defaults_with_threads(uint8_t inner) {
    default_flags f;
    init_default_flags(f);
    f.inner_threads = inner;
    return f;
}

struct parsed {
    command_line_outcome outcome;
    default_flags flags;
};

parsed parse(std::vector<std::string> args) {
    std::vector<const char*> argv{"core"};
    for (const std::string& a : args) argv.push_back(a.c_str());
    parsed p{{}, defaults_with_threads(8)};
    p.outcome = parse_command_line(static_cast<int>(argv.size()), argv.data(), p.flags);
    return p;
}

TEST(ThreadCount, ClampedBeforeNarrowing) {
    const struct { unsigned hardware; unsigned expected; } cases[] = {
        {0, 2}, {1, 2}, {2, 2}, {7, 7}, {32, 32}, {33, 32}, {256, 32}, {257, 32}, {258, 32}, {100000, 32},
    };
    for (const auto& c : cases) EXPECT_EQ(clamp_thread_count(c.hardware), c.expected) << c.hardware;
}

TEST(DefaultFlags, HoldTheDocumentedDefaults) {
    default_flags f;
    init_default_flags(f);
    EXPECT_EQ(f.png_enabled, 1);
    EXPECT_EQ(f.jpeg_enabled, 1);
    EXPECT_EQ(f.preview | f.preview_original | f.preview_check, 0);
    EXPECT_EQ(f.verbose, 1);
    EXPECT_GE(f.inner_threads, 2);
    EXPECT_LE(f.inner_threads, 32);
    EXPECT_EQ(f.process_level, 4);
    EXPECT_EQ(f.single_file, 0);
    EXPECT_EQ(f.notime, 0);
    EXPECT_EQ(f.png_level, 255);
    EXPECT_EQ(f.jpeg_level, 255);
    EXPECT_EQ(f.lossless, 0);
    EXPECT_EQ(f.quality, 90);
    EXPECT_EQ(f.quality_default, 1);
    EXPECT_EQ(f.noalpha | f.srgb | f.rotate, 0);
    EXPECT_EQ(f.resize_target, 0);
    EXPECT_EQ(f.metadata_mode, 1);
}

TEST(ValidateFlags, ThreadCountsByProcessLevel) {
    const struct { uint8_t inner; uint8_t level; uint8_t workers; uint8_t inner_after; } cases[] = {
        {8, 4, 8, 8}, {8, 3, 2, 8}, {8, 2, 1, 8}, {8, 1, 1, 1}, {8, 0, 1, 1},
        {2, 4, 2, 2},  // a one-thread machine still gets two of each
        {32, 4, 32, 32}, {200, 4, 32, 200},
    };
    for (const auto& c : cases) {
        default_flags f = defaults_with_threads(c.inner);
        f.process_level = c.level;
        EXPECT_EQ(validate_flags(f), 0);
        EXPECT_EQ(f.worker_threads, c.workers) << int(c.inner) << " level " << int(c.level);
        EXPECT_EQ(f.inner_threads, c.inner_after) << int(c.inner) << " level " << int(c.level);
    }
    default_flags one = defaults_with_threads(clamp_thread_count(1));
    validate_flags(one);
    EXPECT_EQ(one.worker_threads, 2);
}

TEST(ValidateFlags, LosslessWithQualityIsRefused) {
    default_flags f = defaults_with_threads(4);
    f.lossless = 1;
    EXPECT_EQ(validate_flags(f), 0);
    f.quality_default = 0;
    EXPECT_NE(validate_flags(f), 0);
    f.lossless = 0;
    EXPECT_EQ(validate_flags(f), 0);
}

TEST(OptionNumber, ReadsLikeAtoiModulo65536) {
    const struct { const char* text; uint16_t value; } cases[] = {
        {"80", 80}, {"", 0}, {"abc", 0}, {"12abc", 12}, {"  42", 42}, {"+7", 7}, {"-1", 65535},
        {"65536", 0}, {"65537", 1},
        {"100000000000000000000", 0},      // 10^20 = 2^20 * 5^20, a multiple of 65536
        {"99999999999999999999", 65535},
    };
    for (const auto& c : cases) EXPECT_EQ(option_number(c.text), c.value) << c.text;
}

TEST(CommandLine, ExitsAtOnceOrRuns) {
    const struct {
        std::vector<std::string> args;
        bool finished;
        int exit_code;
        bool bad;
    } cases[] = {
        {{}, true, 0, false},
        {{"-c500"}, true, 500, false},
        {{"-bogus", "-c500"}, true, 2, true},
        {{"-c500", "-bogus"}, true, 500, false},
        {{"a.png", "-h"}, true, 0, false},
        {{"-help"}, true, 0, false},
        {{"-bogus", "-h"}, true, 2, true},
        {{"-l", "-q=80", "x"}, true, 2, true},
        {{"-q=80", "-lossless", "x"}, true, 2, true},
        {{"-l", "-q=80", "-c500"}, true, 500, false},  // checks after the last argument
        {{"-l", "-q=80", "-h"}, true, 0, false},
        {{"-q=0", "x"}, true, 2, true},
        {{"-q=101", "x"}, true, 2, true},
        {{"-q=abc", "x"}, true, 2, true},
        {{"-q=", "x"}, true, 2, true},
        {{"-resize=23", "x"}, true, 2, true},
        {{"-resize=4097", "x"}, true, 2, true},
        {{"-process=5", "x"}, true, 2, true},
        {{"-q=0", "-resize=100", "x"}, true, 2, true},
        {{"-q=0", "-q=80", "x"}, false, 0, false},
        {{"-resize=4097", "-resize=24", "x"}, false, 0, false},
        {{"-q=65537", "x"}, false, 0, false},
        {{"-png-s5", "x"}, true, 2, true},
        {{"--", "x"}, true, 2, true},
        {{"-PNG-s1", "x"}, true, 2, true},
        {{"-no-apng", "-no-webp", "x"}, false, 0, false},
        {{"-png-s1"}, false, 0, false},  // no path: decided later by the exit mapping
    };
    for (const auto& c : cases) {
        parsed p = parse(c.args);
        std::string shown;
        for (const auto& a : c.args) shown += a + " ";
        EXPECT_EQ(p.outcome.finished, c.finished) << shown;
        EXPECT_EQ(p.outcome.exit_code, c.exit_code) << shown;
        EXPECT_EQ(p.outcome.bad_command_line, c.bad) << shown;
    }
}

TEST(CommandLine, OptionsFillTheRecord) {
    parsed p = parse({"-preview", "-preview-original", "-preview-check", "-png-s3", "-jpg-s0", "-q=70",
                      "-resize=512", "-srgb", "-rotate", "-strip", "-nostrip", "-process=3", "-noalpha",
                      "-notime", "-no-png", "-no-jpeg", "-quiet", "one.png", "two", "three.jpg"});
    ASSERT_FALSE(p.outcome.finished);
    const default_flags& f = p.flags;
    EXPECT_EQ(f.preview, 1);
    EXPECT_EQ(f.preview_original, 1);
    EXPECT_EQ(f.preview_check, 1);
    EXPECT_EQ(f.png_level, 3);
    EXPECT_EQ(f.jpeg_level, 0);
    EXPECT_EQ(f.quality, 70);
    EXPECT_EQ(f.quality_default, 0);
    EXPECT_EQ(f.resize_target, 512);
    EXPECT_EQ(f.srgb, 1);
    EXPECT_EQ(f.rotate, 1);
    EXPECT_EQ(f.metadata_mode, 0);  // the later of -strip / -nostrip wins
    EXPECT_EQ(f.process_level, 3);
    EXPECT_EQ(f.worker_threads, 2);
    EXPECT_EQ(f.noalpha, 1);
    EXPECT_EQ(f.notime, 1);
    EXPECT_EQ(f.png_enabled, 0);
    EXPECT_EQ(f.jpeg_enabled, 0);
    EXPECT_EQ(f.verbose, 0);
    EXPECT_EQ(p.outcome.paths, (std::vector<std::string>{"one.png", "two", "three.jpg"}));

    EXPECT_EQ(parse({"-nostrip", "-strip", "x"}).flags.metadata_mode, 2);
    EXPECT_EQ(parse({"-q=65537", "x"}).flags.quality, 1);
    EXPECT_EQ(parse({"-q=0", "-q=80", "x"}).flags.quality, 80);
    EXPECT_EQ(parse({"-q", "x"}).flags.verbose, 0);
    EXPECT_EQ(parse({"-q", "x"}).flags.quality_default, 1);
    EXPECT_EQ(parse({"-l", "x"}).flags.lossless, 1);
    parsed level0 = parse({"-process=0", "x"});
    EXPECT_EQ(level0.flags.worker_threads, 1);
    EXPECT_EQ(level0.flags.inner_threads, 1);
}

TEST(ExitCode, VerboseAndQuietMapping) {
    default_flags verbose = defaults_with_threads(4);
    default_flags quiet = verbose;
    quiet.verbose = 0;
    const struct {
        bool is_verbose;
        uint32_t paths;
        bool failed;
        uint32_t result;
        bool refused;
        int exit_code;
    } cases[] = {
        {true, 0, false, 0, false, 1},  // options without a path
        {false, 0, false, 0, false, 0},
        {true, 1, false, 0, false, 0},
        {true, 1, true, 1, false, 2},  // the only file failed
        {true, 1, true, 0, false, 2},  // the only file was refused
        {false, 1, true, 0, false, 0},
        {true, 2, false, 1, false, 1},
        {true, 2, false, 0, true, 22},
        {true, 2, false, 1, true, 1},
        {false, 2, false, 1, true, 22},
        {false, 1, true, 27, false, 27},  // quiet: the OR of the result codes
        {false, 2, false, 3, false, 3},
    };
    for (const auto& c : cases)
        EXPECT_EQ(run_exit_code(c.is_verbose ? verbose : quiet, c.paths, c.failed, c.result, c.refused), c.exit_code)
            << c.is_verbose << " " << c.paths << " " << c.failed << " " << c.result << " " << c.refused;
}

}  // namespace
