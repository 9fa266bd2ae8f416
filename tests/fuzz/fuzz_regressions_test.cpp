// Replays every input the fuzz targets once failed on, kept in
// tests/fuzz/regressions/<target>/, through the same harness functions. A
// harness aborts on a broken rule, which fails this test too; each file's name
// is printed first so that the failing one can be found.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"

namespace {

namespace fs = std::filesystem;

struct target {
    const char* folder;
    int (*run)(const uint8_t*, size_t);
};

const target targets[] = {
    {"decode_png", fuzz_input::decode_png_target},
    {"chunk_scan", fuzz_input::chunk_scan_target},
    {"png_road", fuzz_input::png_road_target},
    {"jpeg_road", fuzz_input::jpeg_road_target},
    {"apng_road", fuzz_input::apng_road_target},
};

class FuzzRegressions : public ::testing::TestWithParam<target> {};

TEST_P(FuzzRegressions, KeptInputsRunClean) {
    const char* source = std::getenv("VELTO_SOURCE");
    ASSERT_NE(source, nullptr) << "VELTO_SOURCE names the source tree";
    const fs::path folder = fs::path(source) / "tests/fuzz/regressions" / GetParam().folder;
    std::vector<fs::path> files;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error))
        if (entry.is_regular_file()) files.push_back(entry.path());
    // A target that never failed has nothing to replay: that is no skipped
    // check, since there is nothing left to check.
    if (files.empty()) std::fprintf(stderr, "no input kept in %s\n", folder.c_str());
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::fprintf(stderr, "replaying %s\n", file.filename().c_str());
        EXPECT_EQ(GetParam().run(bytes.data(), bytes.size()), 0) << file;
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzRegressions, ::testing::ValuesIn(targets),
                         [](const ::testing::TestParamInfo<target>& info) { return std::string(info.param.folder); });

}  // namespace
