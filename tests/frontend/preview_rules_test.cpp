// Preview rules: file names, extension classes, the check's answer, when a
// lossy picture is rendered, status texts and the maximised window.
#include <gtest/gtest.h>

#include <cstdlib>

#include "core/temp_folder.h"
#include "frontend/batching.h"
#include "frontend/preview_rules.h"

namespace {

TEST(PreviewRules, ExtensionsInAnyCase) {
    const std::pair<const char*, const char*> classes[] = {
        {"/p/a.png", ".png"},  {"/p/a.PNG", ".png"},   {"/p/photo.Jpg", ".jpg"}, {"/p/a.JPEG", ".jpg"},
        {"/p/a.jpeg", ".jpg"}, {"/p/a.webp", ".webp"}, {"/p/README", ""},
    };
    for (const auto& [path, ext] : classes) EXPECT_EQ(preview_extension(path), ext) << path;
    EXPECT_EQ(preview_result_file("/p/photo.Jpg"), "temp-result-jpg.jpg");
    EXPECT_EQ(preview_result_file("/p/a.pNg"), "temp-result-png.png");
    EXPECT_EQ(preview_result_file("/p/a.gif"), "");
}

TEST(PreviewRules, CheckOutcome) {
    struct check_case {
        uint32_t exit_code;
        bool lossless, run_finished;
        preview_check_outcome outcome;
    };
    using o = preview_check_outcome;
    const check_case cases[] = {
        {0, false, false, o::allowed},
        {1, false, false, o::allowed},  // only 22 is a refusal
        {22, false, false, o::cannot_preview},
        {22, true, true, o::cannot_preview},
        {engine_run_failed, false, false, o::cannot_preview},  // crashed or never started
        {0, true, false, o::needs_lossy},
        {0, false, true, o::after_run},
    };
    for (const auto& c : cases)
        EXPECT_EQ(check_preview(c.exit_code, c.lossless, c.run_finished), c.outcome) << c.exit_code;
}

TEST(PreviewRules, LossyViewRendersFirstAndAfterAMove) {
    EXPECT_TRUE(lossy_view_renders(true, 4, 4));
    EXPECT_FALSE(lossy_view_renders(false, 4, 4));
    EXPECT_TRUE(lossy_view_renders(false, 2, 4));
}

TEST(PreviewRules, StatusTextsAndMaximisedWindow) {
    EXPECT_EQ(preview_status_text(preview_status_original, 2526020), "  = 2.41 MB - 原始 ");
    EXPECT_EQ(preview_status_text(preview_status_lossy, 524288), "  ~ 512.00 KB - 有损 ");
    EXPECT_EQ(preview_status_text(preview_status_lossy, 0), "  ~  - 有损 ");
    EXPECT_EQ(preview_status_text(3, 100), "");
    EXPECT_TRUE(preview_opens_maximised(1200, 800));
    EXPECT_FALSE(preview_opens_maximised(800, 500));
    EXPECT_TRUE(preview_opens_maximised(850, 10));
    EXPECT_TRUE(preview_opens_maximised(10, 540));
    EXPECT_FALSE(preview_opens_maximised(849, 539));
}

TEST(PreviewRules, RemovesOnlyThePreviewFiles) {
    temp_folder tmp;
    const char* old = std::getenv("LOCALAPPDATA");
    const std::string saved = old ? old : "";
    ::setenv("LOCALAPPDATA", tmp.path.c_str(), 1);
    for (const char* name : {preview_view_file, preview_png_result_file, preview_jpg_result_file, "velto.ini"})
        write_file(tmp / name, "x");
    remove_preview_files();
    remove_preview_files();  // nothing left to remove is no error
    EXPECT_FALSE(boost::filesystem::exists(tmp / preview_view_file));
    EXPECT_FALSE(boost::filesystem::exists(tmp / preview_png_result_file));
    EXPECT_FALSE(boost::filesystem::exists(tmp / preview_jpg_result_file));
    EXPECT_TRUE(boost::filesystem::exists(tmp / "velto.ini"));
    if (old)
        ::setenv("LOCALAPPDATA", saved.c_str(), 1);
    else
        ::unsetenv("LOCALAPPDATA");
}

}  // namespace
