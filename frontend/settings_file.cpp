// Settings keys, defaults, clamping and the file round trip; see settings_file.h.
#include "frontend/settings_file.h"

#include <algorithm>
#include <limits>

#include "core/platform.h"

const std::array<settings_key, 12> settings_keys = {{
    {"PNGCompressionLevel", &settings_values::png_level, false, 0, 3},
    {"JPEGCompressionLevel", &settings_values::jpeg_level, false, 0, 3},
    {"EnableLossyCompression", &settings_values::method, false, 0, 1},
    {"LossySetQuality", &settings_values::quality, false, 4, 8},
    {"ImageTosRGB", &settings_values::srgb, false, 0, 2},
    {"JPEGautorotation", &settings_values::rotation, true, 1, 1},
    {"ImageResize", &settings_values::resize, true, 0, 1},
    {"ResizeDefinition", &settings_values::resolution, false, 17, 32},
    {"KeepMeta", &settings_values::keep_meta, true, 0, 1},
    {"KeepColorsAlpha", &settings_values::keep_rgb, true, 0, 1},
    {"Multithreading", &settings_values::multitask, false, 0, 4},
    {"Autorun", &settings_values::auto_run, false, 0, 2},
}};

int32_t parse_ini_int(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    int64_t value = 0;
    constexpr int64_t limit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = std::min(limit, value * 10 + (text[i] - '0'));
    if (negative) return static_cast<int32_t>(-value);
    return static_cast<int32_t>(std::min(value, limit - 1));
}

int32_t read_ini_int(const profile_file& file, std::string_view section, std::string_view key, int32_t fallback) {
    return parse_ini_int(profile_read(file, section, key, std::to_string(fallback)));
}

bool read_ini_bool(const profile_file& file, std::string_view section, std::string_view key, bool fallback) {
    const std::string text = profile_read(file, section, key, fallback ? "true" : "false");
    if (text.size() != 4) return false;
    const char* want = "true";
    for (size_t i = 0; i < 4; ++i)
        if ((text[i] | 0x20) != want[i]) return false;
    return true;
}

void write_ini_int(profile_file& file, std::string_view section, std::string_view key, int32_t value) {
    profile_write(file, section, key, std::to_string(value));
}

void write_ini_bool(profile_file& file, std::string_view section, std::string_view key, bool value) {
    profile_write(file, section, key, value ? "true" : "false");
}

settings_values read_settings(const profile_file& file) {
    settings_values values;
    for (const settings_key& k : settings_keys) {
        const int32_t raw = k.boolean ? (read_ini_bool(file, settings_section, k.name, k.fallback != 0) ? 1 : 0)
                                      : read_ini_int(file, settings_section, k.name, k.fallback);
        values.*k.field = std::clamp(raw, 0, k.max);
    }
    return values;
}

void write_settings(profile_file& file, const settings_values& values) {
    for (const settings_key& k : settings_keys) {
        if (k.boolean)
            write_ini_bool(file, settings_section, k.name, values.*k.field != 0);
        else
            write_ini_int(file, settings_section, k.name, values.*k.field);
    }
}

std::string get_ini_path() { return data_file_path("velto.ini"); }

settings_values load_settings_file(const std::string& path) {
    profile_file file;
    if (!load_profile(path, file)) file = profile_file{};
    return read_settings(file);
}

bool save_settings_file(const std::string& path, const settings_values& values) {
    profile_file file;
    // A file that exists but cannot be read is left alone rather than
    // replaced by one that lost its other lines.
    if (!load_profile(path, file)) return false;
    write_settings(file, values);
    const std::string text = profile_text(file);
    return write_whole_file(path, text.data(), text.size());
}
