// Panel rules, Reset and the load order of the settings.
#include <gtest/gtest.h>

#include "frontend/option_string.h"
#include "frontend/panel_rules.h"

namespace {

// The panel as the main window has it after loading `ini_text`.
panel_state loaded(const std::string& ini_text) {
    panel_state panel;
    load_panel(panel, read_settings(parse_profile("[Options]\n" + ini_text)));
    return panel;
}

TEST(PanelLoad, KeepMetaForcesRotationAndColourProfileWhateverTheFileSays) {
    const panel_state p = loaded("JPEGautorotation=true\nImageTosRGB=2\nKeepMeta=true\n");
    EXPECT_TRUE(p.meta.ticked);
    EXPECT_FALSE(p.rotation.ticked);
    EXPECT_FALSE(p.rotation.enabled);
    EXPECT_EQ(p.srgb.index, 1);
    EXPECT_FALSE(p.srgb.enabled);
    EXPECT_EQ(build_engine_options(p, false, 0), "-notime -png-s1 -jpg-s0 -q=84 -nostrip ");
}

TEST(PanelLoad, RulesRunOnlyWhenACheckBoxChanges) {
    // Lossless with colour profile 0 and every box at its design state: no
    // box changes, so the loaded combination stays until the rules run again.
    panel_state quiet = loaded("EnableLossyCompression=1\nImageTosRGB=0\n");
    EXPECT_EQ(quiet.srgb.index, 0);
    change_status_lossy(quiet);
    EXPECT_EQ(quiet.srgb.index, 1);

    // The same with rotation off: unticking the box runs the rules.
    EXPECT_EQ(loaded("EnableLossyCompression=1\nImageTosRGB=0\nJPEGautorotation=false\n").srgb.index, 1);

    // A resize box ticked from the file in lossless mode is unticked again.
    const panel_state resize = loaded("EnableLossyCompression=1\nImageResize=true\n");
    EXPECT_FALSE(resize.resize.ticked);
    EXPECT_FALSE(resize.resolution.enabled);

    // Keep-colours is a lossless choice: loaded in lossy mode it is unticked.
    const panel_state lossy = loaded("KeepColorsAlpha=true\n");
    EXPECT_FALSE(lossy.keep_rgb.ticked);
    EXPECT_FALSE(lossy.keep_rgb.enabled);
    EXPECT_TRUE(loaded("EnableLossyCompression=1\nKeepColorsAlpha=true\n").keep_rgb.ticked);
}

TEST(PanelLoad, ResizeTickedInLossyModeEnablesTheResolutionList) {
    const panel_state p = loaded("ImageResize=true\nResizeDefinition=40\n");
    EXPECT_TRUE(p.resize.ticked);
    EXPECT_TRUE(p.resolution.enabled);
    EXPECT_EQ(p.resolution.index, 32);
}

TEST(PanelRules, SwitchingBetweenLossyAndLossless) {
    panel_state p;
    change_status_lossy(p);
    p.srgb.index = 0;
    p.resize.ticked = true;
    change_status_lossy(p);
    EXPECT_TRUE(p.resolution.enabled);
    EXPECT_FALSE(p.keep_rgb.enabled);

    p.method.index = 1;
    change_status_lossy(p);
    EXPECT_EQ(p.srgb.index, 1);
    EXPECT_FALSE(p.resize.ticked);
    EXPECT_FALSE(p.resize.enabled);
    EXPECT_FALSE(p.resolution.enabled);
    EXPECT_FALSE(p.quality_enabled);
    EXPECT_FALSE(p.resize_heading_enabled);
    EXPECT_TRUE(p.keep_rgb.enabled);
    p.srgb.index = 2;  // stripping stays allowed in lossless mode
    p.keep_rgb.ticked = true;
    change_status_lossy(p);
    EXPECT_EQ(p.srgb.index, 2);
    EXPECT_EQ(build_engine_options(p, false, 0), "-notime -l -png-s1 -jpg-s0 -rotate -noalpha -strip ");

    p.method.index = 0;
    change_status_lossy(p);
    EXPECT_FALSE(p.keep_rgb.ticked);
    EXPECT_FALSE(p.keep_rgb.enabled);
    EXPECT_TRUE(p.quality_enabled);
    EXPECT_TRUE(p.resize.enabled);
    EXPECT_FALSE(p.resolution.enabled);  // the box is enabled but not ticked
}

TEST(PanelRules, KeepMetadataTickedAndUnticked) {
    panel_state p;
    p.meta.ticked = true;
    change_status_lossy(p);
    EXPECT_EQ(p.srgb.index, 1);
    EXPECT_FALSE(p.srgb.enabled);
    EXPECT_FALSE(p.rotation.ticked);
    EXPECT_FALSE(p.rotation.enabled);

    p.meta.ticked = false;
    change_status_lossy(p);
    EXPECT_TRUE(p.srgb.enabled);
    EXPECT_TRUE(p.rotation.enabled);
    EXPECT_FALSE(p.rotation.ticked);  // stays unticked until the user ticks it
    EXPECT_TRUE(p.ratio.ticked);
    EXPECT_FALSE(p.ratio.enabled);
}

// Every state the rules leave behind gives an option string the engine takes:
// "-l" never with "-srgb", "-resize=" or "-q="; "-noalpha" only with "-l";
// "-nostrip" never with "-rotate" or "-srgb". Running the rules a second time
// changes nothing, so a rule that unticks a box (which runs the rules again)
// cannot lead anywhere else.
TEST(PanelRules, EveryReachableStateIsAcceptedByTheEngineAndStable) {
    for (int method = 0; method < 2; ++method)
        for (int srgb = 0; srgb < 3; ++srgb)
            for (int bits = 0; bits < 16; ++bits) {
                panel_state p;
                p.method.index = method;
                p.srgb.index = srgb;
                p.resize.ticked = bits & 1;
                p.meta.ticked = bits & 2;
                p.keep_rgb.ticked = bits & 4;
                p.rotation.ticked = bits & 8;
                change_status_lossy(p);
                panel_state again = p;
                change_status_lossy(again);
                EXPECT_EQ(panel_settings(again).srgb, panel_settings(p).srgb);
                EXPECT_EQ(build_engine_options(again, false, 0), build_engine_options(p, false, 0));
                EXPECT_EQ(again.resolution.enabled, p.resolution.enabled);
                EXPECT_EQ(again.srgb.enabled, p.srgb.enabled);

                const std::string s = build_engine_options(p, false, 0);
                SCOPED_TRACE(s);
                const auto has = [&](const char* piece) { return s.find(piece) != std::string::npos; };
                EXPECT_FALSE(has("-l ") && (has("-srgb ") || has("-resize=") || has("-q=")));
                EXPECT_FALSE(has("-noalpha ") && !has("-l "));
                EXPECT_FALSE(has("-nostrip ") && (has("-rotate ") || has("-srgb ")));
            }
}

TEST(PanelReset, ResetThenSaveWritesTheFormValues) {
    panel_state p = loaded("LossySetQuality=2\nImageTosRGB=2\nKeepMeta=true\nEnableLossyCompression=1\n"
                           "Multithreading=3\nResizeDefinition=3\n");
    reset_panel(p);
    const settings_values v = panel_settings(p);
    EXPECT_EQ(v.quality, 6);
    EXPECT_EQ(v.srgb, 1);
    EXPECT_EQ(v.method, 0);
    EXPECT_EQ(v.keep_meta, 0);
    EXPECT_EQ(v.rotation, 1);
    EXPECT_EQ(v.multitask, 0);
    EXPECT_EQ(v.resolution, 17);
    EXPECT_TRUE(p.srgb.enabled);
    EXPECT_TRUE(p.rotation.enabled);
    profile_file file;
    write_settings(file, v);
    const std::string text = profile_text(file);
    EXPECT_NE(text.find("\nLossySetQuality=6\n"), std::string::npos);
    EXPECT_NE(text.find("\nImageTosRGB=1\n"), std::string::npos);
}

}  // namespace
