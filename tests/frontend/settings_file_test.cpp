// The settings file: profile-file reading and writing, the twelve keys with
// their defaults and clamps, and the file round trip.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <boost/filesystem.hpp>

#include "core/temp_folder.h"
#include "frontend/settings_file.h"

namespace {

settings_values read_text(const std::string& text) { return read_settings(parse_profile(text)); }

TEST(SettingsFile, MissingFileGivesTheDefaults) {
    const settings_values v = read_text("");
    EXPECT_EQ(v.png_level, 0);
    EXPECT_EQ(v.jpeg_level, 0);
    EXPECT_EQ(v.method, 0);
    EXPECT_EQ(v.quality, 4);
    EXPECT_EQ(v.srgb, 0);
    EXPECT_EQ(v.rotation, 1);
    EXPECT_EQ(v.resize, 0);
    EXPECT_EQ(v.resolution, 17);
    EXPECT_EQ(v.keep_meta, 0);
    EXPECT_EQ(v.keep_rgb, 0);
    EXPECT_EQ(v.multitask, 0);
    EXPECT_EQ(v.auto_run, 0);
    temp_folder tmp;
    const settings_values from_disk = load_settings_file(tmp / "absent.ini");
    EXPECT_EQ(from_disk.quality, 4);
    EXPECT_EQ(from_disk.resolution, 17);
}

TEST(SettingsFile, ValuesAreParsedAndClamped) {
    struct row {
        const char* text;
        int32_t settings_values::*field;
        int32_t expected;
    };
    const row rows[] = {
        {"PNGCompressionLevel=7", &settings_values::png_level, 3},
        {"PNGCompressionLevel=-2", &settings_values::png_level, 0},
        {"PNGCompressionLevel=abc", &settings_values::png_level, 0},
        {"PNGCompressionLevel=  2xyz", &settings_values::png_level, 2},
        {"PNGCompressionLevel=99999999999999", &settings_values::png_level, 3},
        {"PNGCompressionLevel=\"2\"", &settings_values::png_level, 2},
        {"LossySetQuality=12", &settings_values::quality, 8},
        {"LossySetQuality=", &settings_values::quality, 0},
        {"ResizeDefinition=40", &settings_values::resolution, 32},
        {"Multithreading=4", &settings_values::multitask, 4},
        {"Autorun=3", &settings_values::auto_run, 2},
        {"JPEGautorotation=TRUE", &settings_values::rotation, 1},
        {"JPEGautorotation=1", &settings_values::rotation, 0},
        {"JPEGautorotation=yes", &settings_values::rotation, 0},
        {"JPEGautorotation=false", &settings_values::rotation, 0},
        {"KeepMeta= True ", &settings_values::keep_meta, 1},
        {"KeepMeta=truely", &settings_values::keep_meta, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(read_text(std::string("[Options]\n") + r.text + "\n").*r.field, r.expected);
    }
}

TEST(SettingsFile, SectionAndKeyMatchWithoutCaseAndTheFirstMatchWins) {
    const std::string text =
        "PNGCompressionLevel=3\n"  // before any section: ignored
        "[Other]\nPNGCompressionLevel=3\n"
        "[OPTIONS]\r\npngcompressionlevel = 1\r\nPNGCompressionLevel=2\r\n"
        "[Options]\nJPEGCompressionLevel=3\n";
    const settings_values v = read_text(text);
    EXPECT_EQ(v.png_level, 1);
    EXPECT_EQ(v.jpeg_level, 0);  // only in the second [Options] section
}

TEST(SettingsFile, IntegerTextIsReadLikeTheProfileReader) {
    const std::pair<const char*, int32_t> cases[] = {
        {"42", 42}, {"  42", 42}, {"+7", 7}, {"-3x", -3}, {"x3", 0}, {"", 0}, {"-", 0},
        {"99999999999", INT32_MAX}, {"-99999999999", INT32_MIN},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(parse_ini_int(text), expected) << text;
}

TEST(SettingsFile, NewFileHoldsTheKeysInTableOrder) {
    profile_file file;
    settings_values v = read_text("");
    v.keep_meta = 1;
    write_settings(file, v);
    EXPECT_EQ(profile_text(file),
              "[Options]\n"
              "PNGCompressionLevel=0\n"
              "JPEGCompressionLevel=0\n"
              "EnableLossyCompression=0\n"
              "LossySetQuality=4\n"
              "ImageTosRGB=0\n"
              "JPEGautorotation=true\n"
              "ImageResize=false\n"
              "ResizeDefinition=17\n"
              "KeepMeta=true\n"
              "KeepColorsAlpha=false\n"
              "Multithreading=0\n"
              "Autorun=0\n");
}

TEST(SettingsFile, WritingKeepsEveryOtherLine) {
    profile_file file = parse_profile(
        "; comment\r\n"
        "[options]\r\n"
        "Unknown = x\r\n"
        "lossysetquality=1\r\n"
        "\r\n"
        "[Later]\r\n"
        "LossySetQuality=2\r\n");
    write_ini_int(file, "Options", "LossySetQuality", 7);
    write_ini_bool(file, "Options", "KeepMeta", true);
    EXPECT_EQ(profile_text(file),
              "; comment\r\n"
              "[options]\r\n"
              "Unknown = x\r\n"
              "LossySetQuality=7\r\n"
              "KeepMeta=true\r\n"
              "\r\n"
              "[Later]\r\n"
              "LossySetQuality=2\r\n");
    EXPECT_EQ(read_ini_int(file, "Options", "LossySetQuality", 0), 7);
    EXPECT_TRUE(read_ini_bool(file, "Options", "KeepMeta", false));
}

TEST(SettingsFile, SaveAndLoadRoundTripThroughTheDisk) {
    temp_folder tmp;
    const std::string path = tmp / "velto.ini";
    write_file(path, "# mine\n[Options]\nLossySetQuality=2\n");
    settings_values v = read_text("");
    v.png_level = 3;
    v.resize = 1;
    v.resolution = 32;
    ASSERT_TRUE(save_settings_file(path, v));
    EXPECT_EQ(read_file(path).rfind("# mine\n[Options]\nLossySetQuality=4\n", 0), 0u);
    const settings_values back = load_settings_file(path);
    EXPECT_EQ(back.png_level, 3);
    EXPECT_EQ(back.resize, 1);
    EXPECT_EQ(back.resolution, 32);
}

TEST(SettingsFile, FailedSaveReportsFalseAndLeavesNoFileBehind) {
    temp_folder tmp;
    // A folder in the settings file's place cannot be replaced by a file.
    const std::string path = tmp / "velto.ini";
    ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
    EXPECT_FALSE(save_settings_file(path, read_text("")));
    EXPECT_FALSE(save_settings_file(tmp / "missing-folder/velto.ini", read_text("")));
    size_t entries = 0;
    for (boost::filesystem::directory_iterator it(tmp.path), end; it != end; ++it) ++entries;
    EXPECT_EQ(entries, 1u);
}

// Others may be able to write into the data folder. A link planted there as
// the settings file is neither read nor followed: the save replaces it with a
// file of our own, and what it points at stays as it was and is not copied.
TEST(SettingsFile, ALinkInPlaceOfTheFileIsReplacedNotFollowed) {
    namespace fs = boost::filesystem;
    const std::string foreign = "[Options]\nLossySetQuality=2\nsecret=kept elsewhere\n";
    for (const char* target : {"other.ini", "folder", "missing.ini"}) {
        SCOPED_TRACE(target);
        temp_folder tmp;
        fs::create_directories(tmp / "outside/folder");
        write_file(tmp / "outside/other.ini", foreign);
        const std::string path = tmp / "velto.ini";
        fs::create_symlink(tmp / ("outside/" + std::string(target)), path);

        EXPECT_EQ(load_settings_file(path).quality, 4);  // the default, not the linked file's 2
        settings_values v = read_text("");
        v.png_level = 3;
        EXPECT_TRUE(save_settings_file(path, v));
        EXPECT_EQ(read_file(tmp / "outside/other.ini"), foreign);
        EXPECT_TRUE(fs::is_empty(tmp / "outside/folder"));
        EXPECT_FALSE(fs::exists(tmp / "outside/missing.ini"));
        const bool regular = fs::is_regular_file(fs::symlink_status(path));
        EXPECT_TRUE(regular);
        if (!regular) continue;
        EXPECT_EQ(read_file(path).find("secret"), std::string::npos);
        EXPECT_EQ(load_settings_file(path).png_level, 3);
    }
}

}  // namespace
