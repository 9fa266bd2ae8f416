// The corpus through the animated road under "-l": valid animations keep
// their frame count, delays and composed pixels (by our reader and by
// apngdis); damaged ones never crash and are never written. Not a codec test:
// it runs in the release suite only, where it takes seconds.
#include "png/apng_check.h"

namespace {

using namespace apng_test;

// The corpus: valid animations keep frame count, delays and composed pixels
// under "-l"; damaged ones never crash and are never written.
TEST(ApngCorpus, ValidKeepFramesBrokenNeverWritten) {
    const char* root = std::getenv("VELTO_CORPUS");
    if (!root || !fs::is_directory(fs::path(root) / "apng")) GTEST_SKIP() << "corpus not found (VELTO_CORPUS)";
    size_t valid = 0, broken = 0;
    for (const fs::directory_entry& e : fs::directory_iterator(fs::path(root) / "apng")) {
        if (!fs::is_regular_file(e.path())) continue;
        const bytes file = read_file(e.path().string());
        const std::string name = e.path().filename().string();
        const run_result r = optimise(file, true, 0);
        // 16-bit animations are refused under "-l"; the engine works in 8 bits.
        if (r.code != 0) {
            EXPECT_NE(name.find("16"), std::string::npos) << name << " failed with " << r.code;
            EXPECT_EQ(r.after, file) << name;
            continue;
        }
        check_output(r, true, name);
        ++valid;
    }
    for (const fs::directory_entry& e : fs::directory_iterator(fs::path(root) / "apng" / "broken")) {
        const bytes file = read_file(e.path().string());
        for (bool lossless : {true, false}) {
            const run_result r = optimise(file, lossless, 0);
            EXPECT_NE(r.code, 0) << e.path().filename();
            EXPECT_EQ(r.after, file) << e.path().filename();
        }
        ++broken;
    }
    EXPECT_GT(valid, 20u);
    EXPECT_GT(broken, 5u);
}

}  // namespace
