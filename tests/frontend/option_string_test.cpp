// The engine option string for every control of the settings panel.
#include <gtest/gtest.h>

#include "frontend/option_string.h"

namespace {

// The panel after loading a missing settings file.
panel_state default_panel() {
    panel_state panel;
    load_panel(panel, read_settings(profile_file{}));
    return panel;
}

TEST(OptionString, DefaultSettings) {
    EXPECT_EQ(build_engine_options(default_panel(), false, 0), "-notime -png-s1 -jpg-s0 -rotate -q=84 -srgb ");
}

TEST(OptionString, EachControl) {
    struct row {
        const char* name;
        void (*change)(panel_state&);
        const char* expected;
    };
    const row rows[] = {
        {"resource 1", [](panel_state& p) { p.multitask.index = 1; }, "-notime -process=1 -png-s1 -jpg-s0 -rotate -q=84 -srgb "},
        {"resource 4", [](panel_state& p) { p.multitask.index = 4; }, "-notime -process=4 -png-s1 -jpg-s0 -rotate -q=84 -srgb "},
        {"png 3", [](panel_state& p) { p.png_level.index = 3; }, "-notime -png-s4 -jpg-s0 -rotate -q=84 -srgb "},
        {"jpeg 3", [](panel_state& p) { p.jpeg_level.index = 3; }, "-notime -png-s1 -jpg-s3 -rotate -q=84 -srgb "},
        {"no rotation", [](panel_state& p) { p.rotation.ticked = false; }, "-notime -png-s1 -jpg-s0 -q=84 -srgb "},
        {"quality 0", [](panel_state& p) { p.quality = 0; }, "-notime -png-s1 -jpg-s0 -rotate -q=1 -srgb "},
        {"quality 8", [](panel_state& p) { p.quality = 8; }, "-notime -png-s1 -jpg-s0 -rotate -q=100 -srgb "},
        {"resize 0", [](panel_state& p) { p.resize.ticked = true; p.resolution.index = 0; },
         "-notime -png-s1 -jpg-s0 -rotate -resize=4096 -q=84 -srgb "},
        {"resize 17", [](panel_state& p) { p.resize.ticked = true; },
         "-notime -png-s1 -jpg-s0 -rotate -resize=1920 -q=84 -srgb "},
        {"resize 31", [](panel_state& p) { p.resize.ticked = true; p.resolution.index = 31; },
         "-notime -png-s1 -jpg-s0 -rotate -resize=128 -q=84 -srgb "},
        {"resize 32", [](panel_state& p) { p.resize.ticked = true; p.resolution.index = 32; },
         "-notime -png-s1 -jpg-s0 -rotate -resize=64 -q=84 -srgb "},
        {"keep profile", [](panel_state& p) { p.srgb.index = 1; }, "-notime -png-s1 -jpg-s0 -rotate -q=84 "},
        {"strip profile", [](panel_state& p) { p.srgb.index = 2; }, "-notime -png-s1 -jpg-s0 -rotate -q=84 -strip "},
        {"keep metadata", [](panel_state& p) { p.meta.ticked = true; }, "-notime -png-s1 -jpg-s0 -q=84 -nostrip "},
        {"lossless with resize ticked before",
         [](panel_state& p) { p.resize.ticked = true; p.method.index = 1; }, "-notime -l -png-s1 -jpg-s0 -rotate "},
        {"lossless keep colours",
         [](panel_state& p) { p.method.index = 1; change_status_lossy(p); p.keep_rgb.ticked = true; },
         "-notime -l -png-s1 -jpg-s0 -rotate -noalpha "},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        panel_state p = default_panel();
        r.change(p);
        change_status_lossy(p);
        EXPECT_EQ(build_engine_options(p, false, 0), r.expected);
    }
}

TEST(OptionString, LossyPreviewUsesThePreviewQualityAndResizeEvenWhenLossless) {
    panel_state p = default_panel();
    p.resize.ticked = true;
    change_status_lossy(p);
    EXPECT_EQ(build_engine_options(p, true, 2), "-notime -png-s1 -jpg-s0 -rotate -resize=1920 -q=70 -srgb ");
    p.method.index = 1;  // lossless: the rules untick resize, the preview still sends a quality
    change_status_lossy(p);
    EXPECT_EQ(build_engine_options(p, true, 7), "-notime -l -png-s1 -jpg-s0 -rotate -q=96 ");
}

TEST(OptionString, ResizeTable) {
    EXPECT_EQ(resize_target_for(0), 4096);
    EXPECT_EQ(resize_target_for(1), 3968);
    EXPECT_EQ(resize_target_for(17), 1920);
    EXPECT_EQ(resize_target_for(31), 128);
    EXPECT_EQ(resize_target_for(32), 64);
}

}  // namespace
