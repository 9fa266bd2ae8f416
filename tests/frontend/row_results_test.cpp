// What a run records per row: sizes before and after, failed files, totals.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "core/temp_folder.h"
#include "frontend/row_results.h"

namespace {

file_row row_for(const std::string& path) {
    file_row row;
    row.path = path;
    row.added_size = 1000;
    return row;
}

struct totals {
    uint64_t before = 0;
    uint64_t after = 0;
};

TEST(RowResults, ShrunkFileAddsToTheTotals) {
    temp_folder tmp;
    write_file(tmp / "a.png", std::string(1000, 'a'));
    file_row row = row_for(tmp / "a.png");
    totals t{5000, 4000};
    ASSERT_TRUE(prepare_row(row));
    EXPECT_EQ(row.before, 1000u);
    write_file(tmp / "a.png", std::string(400, 'a'));
    record_row(row, false, t.before, t.after);
    EXPECT_FALSE(row.failed);
    EXPECT_TRUE(row.optimized);
    EXPECT_EQ(row.after, 400u);
    EXPECT_EQ(t.before, 6000u);
    EXPECT_EQ(t.after, 4400u);
    EXPECT_EQ(optimized_column_text(row), "0.39 KB");
}

TEST(RowResults, FilesTheEngineCannotOptimiseFailAndCountNothing) {
    temp_folder tmp;
    write_file(tmp / "gone.png", std::string(1000, 'g'));
    write_file(tmp / "readonly.png", std::string(1000, 'r'));
    ::chmod((tmp / "readonly.png").c_str(), 0444);
    boost::filesystem::create_directories(tmp / "folder.png");
    write_file(tmp / "vanishes.png", std::string(1000, 'v'));
    write_file(tmp / "untouched.png", std::string(1000, 'u'));
    write_file(tmp / "rewritten.png", std::string(1000, 'w'));
    boost::filesystem::remove(tmp / "gone.png");

    struct row_case {
        const char* name;
        bool handed_to_engine;
        bool run_failed;
        bool failed;
    };
    const row_case cases[] = {
        {"gone.png", false, false, true},      // removed after it was listed
        {"readonly.png", false, false, true},  // the engine could not rewrite it
        {"folder.png", false, false, true},    // a folder took its name
        {"vanishes.png", true, false, true},   // removed while the engine ran
        {"untouched.png", true, true, true},   // the engine crashed before it
        {"rewritten.png", true, true, false},  // the engine rewrote it, then crashed
    };
    totals t;
    for (const auto& c : cases) {
        file_row row = row_for(tmp / c.name);
        EXPECT_EQ(prepare_row(row), c.handed_to_engine) << c.name;
        if (std::string(c.name) == "vanishes.png") boost::filesystem::remove(tmp / c.name);
        if (std::string(c.name) == "rewritten.png") write_file(tmp / c.name, std::string(600, 'w'));
        record_row(row, c.run_failed, t.before, t.after);
        EXPECT_EQ(row.failed, c.failed) << c.name;
        if (c.failed) {
            EXPECT_EQ(optimized_column_text(row), "-") << c.name;
        }
    }
    // Only the rewritten file counts: nothing that failed shows as a saving.
    EXPECT_EQ(t.before, 1000u);
    EXPECT_EQ(t.after, 600u);
}

TEST(RowResults, PreparingAgainClearsAnEarlierFailure) {
    temp_folder tmp;
    file_row row = row_for(tmp / "late.png");
    EXPECT_FALSE(prepare_row(row));
    write_file(tmp / "late.png", std::string(10, 'l'));
    EXPECT_TRUE(prepare_row(row));
    EXPECT_FALSE(row.failed);
    EXPECT_EQ(row.before, 10u);
}

}  // namespace
