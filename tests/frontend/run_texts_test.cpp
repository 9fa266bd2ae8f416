// Texts shown while a run goes on and the elapsed time at its end.
#include <gtest/gtest.h>

#include "frontend/run_texts.h"

namespace {

TEST(RunTexts, ProgressPercentIsTheShareBeforeTheBatch) {
    EXPECT_EQ(progress_percent(1, 11), 9);
    EXPECT_EQ(progress_percent(6, 11), 54);
    EXPECT_EQ(progress_percent(200, 201), 99);
    EXPECT_EQ(progress_percent(0, 0), 0);
}

TEST(RunTexts, StatusAndCaptionBySaving) {
    struct text_case {
        int64_t saved;
        const char* status;
        const char* title;
    };
    const text_case cases[] = {
        {0, "  processing - no savings", " 45%  -  no savings"},
        {500, "  processing -  500 bytes saved", " 45%  -  500 bytes saved"},
        {-20, "  processing -  -20 bytes saved", " 45%  -  -20 bytes saved"},
        {1023, "  processing -  1023 bytes saved", " 45%  -  1023 bytes saved"},
        {2048, "  processing -  2.00 KB saved", " 45%  -  2.00 KB saved"},
        {int64_t{5} << 20, "  processing -  5.00 MB saved", " 45%  -  5.00 MB saved"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(progress_status_text(c.saved), c.status) << c.saved;
        EXPECT_EQ(progress_title_text(45, c.saved), c.title) << c.saved;
    }
    EXPECT_EQ(progress_title_savings_text(0), "  no savings");
}

TEST(RunTexts, ElapsedTime) {
    EXPECT_DOUBLE_EQ(elapsed_seconds(1000, 3500), 2.5);
    EXPECT_EQ(elapsed_text(2.5, "."), "  2.5 秒");
    EXPECT_EQ(elapsed_text(2.5, ","), "  2,5 秒");
    EXPECT_EQ(elapsed_text(12, "."), "  12 秒");
    EXPECT_EQ(elapsed_text(0.1 + 0.2, "."), "  0.3 秒");  // 15 significant digits
    EXPECT_EQ(elapsed_text(1234.567, "."), "  1234.567 秒");
}

}  // namespace
