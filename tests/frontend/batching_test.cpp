// Batch mode, batch sizes, how a run splits the grid's rows, and the engine's
// argument lists.
#include <gtest/gtest.h>

#include "frontend/batching.h"

namespace {

// Sizes of the engine starts of a run over R rows starting at row 1.
std::vector<uint32_t> batches(uint32_t row_count, uint32_t batch_size) {
    std::vector<uint32_t> sizes;
    for (uint32_t next = 1; next < row_count;) {
        const uint32_t end = batch_end(next, batch_size, row_count);
        sizes.push_back(end - next);
        next = end;
    }
    return sizes;
}

TEST(Batching, SizeBandsByAverage) {
    // With many rows and levels at index 0 only the band decides.
    const std::pair<uint64_t, uint32_t> cases[] = {
        {0, 128},     {2047, 128}, {2048, 112},  {4095, 112},  {4096, 96},   {8191, 96},
        {8192, 80},   {16384, 64}, {24575, 64},  {24576, 18},  {32767, 18},  {32768, 24},
        {40959, 24},  {40960, 16}, {1u << 30, 16},
    };
    for (const auto& [average, size] : cases) EXPECT_EQ(batch_size_for(average, 1000, 0, 0), size) << average;
}

TEST(Batching, LevelCapsAndSmallLists) {
    struct level_case {
        int32_t png, jpeg;
        uint32_t size;
    };
    const level_case caps[] = {{1, 0, 96}, {0, 1, 96}, {2, 0, 64}, {0, 3, 64}, {3, 0, 16}, {3, 3, 16}};
    for (const auto& c : caps) EXPECT_EQ(batch_size_for(100, 1000, c.png, c.jpeg), c.size) << c.png << c.jpeg;
    EXPECT_EQ(batch_size_for(100, 1000, 0, 0), 128u);
    // A band larger than R gives R / 2, R counting the header row.
    EXPECT_EQ(batch_size_for(100, 127, 0, 0), 63u);
    EXPECT_EQ(batch_size_for(100, 128, 0, 0), 128u);
    EXPECT_EQ(batch_size_for(0, 1, 0, 0), 1u);  // never a batch of none
}

TEST(Batching, RunsOfTheExamples) {
    // Two files of 1 KB: average 2048 / 3, band 128 above R = 3, so one file a run.
    EXPECT_EQ(average_file_size(2048, 3), 682u);
    EXPECT_EQ(batches(3, batch_size_for(682, 3, 0, 0)), (std::vector<uint32_t>{1, 1}));
    // Ten files averaging 30000 bytes: band 18, R = 11, two runs of five.
    const uint64_t ten = average_file_size(300000, 11);
    EXPECT_EQ(batches(11, batch_size_for(ten, 11, 0, 0)), (std::vector<uint32_t>{5, 5}));
    // 200 files of 1 KB at PNG index 3: 128, 96, 64, then 16; twelve runs of
    // 16 and a last, shorter one of 8.
    const uint32_t size = batch_size_for(average_file_size(200 * 1024, 201), 201, 3, 0);
    EXPECT_EQ(size, 16u);
    std::vector<uint32_t> expected(12, 16);
    expected.push_back(8);
    EXPECT_EQ(batches(201, size), expected);
    // A resumed run continues at its row and never passes R.
    EXPECT_EQ(batch_end(197, 16, 201), 201u);
    EXPECT_EQ(batch_end(UINT32_MAX - 2, 16, 201), 201u);
}

TEST(Batching, SingleFileMode) {
    EXPECT_TRUE(single_file_mode(0, 2));    // one file, whatever the resource choice
    EXPECT_TRUE(single_file_mode(3, 2));
    EXPECT_TRUE(single_file_mode(4, 500));  // background: one start per file
    EXPECT_FALSE(single_file_mode(0, 3));
    EXPECT_FALSE(single_file_mode(3, 500));
}

TEST(Batching, EngineArguments) {
    EXPECT_EQ(engine_arguments(" -c500"), (std::vector<std::string>{"-c500"}));
    EXPECT_EQ(engine_arguments(""), std::vector<std::string>{});
    // Paths stay whole: blanks, quotes and a leading "-" in a name are no
    // concern of an argument list.
    EXPECT_EQ(engine_arguments("-notime -png-s1 -q=84 ", {"/a b/c \"d\".png", "/e/-f.jpg"}),
              (std::vector<std::string>{"-notime", "-png-s1", "-q=84", "/a b/c \"d\".png", "/e/-f.jpg"}));
    EXPECT_EQ(expected_probe_status(500), 244u);
}

}  // namespace
