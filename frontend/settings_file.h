// The front end's settings file velto.ini in the data folder: one section
// "Options" with twelve keys, read with their defaults and clamped to their
// ranges, and written in the order of the key table.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "frontend/profile_file.h"

// The twelve stored settings; booleans are 0 or 1. The defaults of a missing
// file are those of the key table: read_settings(profile_file{}).
struct settings_values {
    int32_t png_level = 0;
    int32_t jpeg_level = 0;
    int32_t method = 0;  // 0 lossy, 1 lossless
    int32_t quality = 0;
    int32_t srgb = 0;
    int32_t rotation = 0;
    int32_t resize = 0;
    int32_t resolution = 0;
    int32_t keep_meta = 0;
    int32_t keep_rgb = 0;
    int32_t multitask = 0;
    int32_t auto_run = 0;
};

struct settings_key {
    const char* name;
    int32_t settings_values::*field;
    bool boolean;
    int32_t fallback;  // value of a missing key or file
    int32_t max;       // accepted range is 0..max
};

// In the order the keys are read, applied to the controls and written.
extern const std::array<settings_key, 12> settings_keys;

constexpr std::string_view settings_section = "Options";

// Integer text as the profile reader takes it: leading blanks skipped, an
// optional sign, the digits up to the first other character (saturated to
// 32 bits); no digits read as 0.
int32_t parse_ini_int(std::string_view text);

int32_t read_ini_int(const profile_file& file, std::string_view section, std::string_view key, int32_t fallback);
// True exactly when the stored text is "true" in any letter case.
bool read_ini_bool(const profile_file& file, std::string_view section, std::string_view key, bool fallback);
void write_ini_int(profile_file& file, std::string_view section, std::string_view key, int32_t value);
void write_ini_bool(profile_file& file, std::string_view section, std::string_view key, bool value);

// Every key read with its default, then clamped to 0..max.
settings_values read_settings(const profile_file& file);
void write_settings(profile_file& file, const settings_values& values);

// data folder + "/velto.ini".
std::string get_ini_path();

// Reads the file at `path`; a missing or unreadable file gives the defaults.
settings_values load_settings_file(const std::string& path);
// Writes the twelve keys into the file at `path`, keeping its other lines, in
// one safe replacement (write_whole_file). False when the file could not be
// read or written.
bool save_settings_file(const std::string& path, const settings_values& values);
