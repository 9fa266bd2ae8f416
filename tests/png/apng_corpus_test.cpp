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
    if (!root || !fs::is_directory(fs::path(root) / "apng")) GTEST_SKIP() << "the shared corpus is not there (VELTO_CORPUS)";
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

// Real animations for faults found on them: a palette cut short so that
// frames use an index past its end is refused (38) and left alone; the clock's
// few-colour palette strip, encoded with its colours in order of first
// appearance, comes out smaller under "-l".
TEST(ApngCorpus, PaletteFaultsAndOrder) {
    const char* root = std::getenv("VELTO_CORPUS");
    if (!root || !fs::is_directory(fs::path(root) / "apng")) GTEST_SKIP() << "the shared corpus is not there (VELTO_CORPUS)";
    const bytes guide = read_file((fs::path(root) / "apng" / "detail-guide-33f-palette.png").string());
    bytes cut(guide.begin(), guide.begin() + 8);
    for (const chunk_view& c : list_chunks(guide)) {
        bytes data = c.data;
        if (c.type == "PLTE") {
            ASSERT_GT(data.size(), 196u * 3);
            data.resize(196 * 3);
        }
        apng_spec::append(cut, chunk(c.type, data));
    }
    for (bool lossless : {true, false}) {
        const run_result r = optimise(cut, lossless, 0);
        EXPECT_EQ(r.code, 38) << (lossless ? "-l" : "automatic");
        EXPECT_EQ(r.after, cut);
    }

    const bytes clock = read_file((fs::path(root) / "apng" / "clock-40f-palette.png").string());
    const run_result r = optimise(clock, true, 255);
    EXPECT_EQ(r.code, 0);
    EXPECT_LT(r.after.size(), clock.size() - 300);
    check_output(r, true, "clock");
}

}  // namespace
