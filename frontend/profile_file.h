// A settings file read and written with the rules of a Windows profile file:
// "[section]" headers and "key=value" lines; section and key names compare
// without regard to ASCII case, and the first matching section and key win.
// A write changes only the line of its key (or adds one at the end of the
// section, or a new section at the end of the file); every other line is kept
// byte for byte, so comments and unknown keys survive a save.
#pragma once
#include <string>
#include <string_view>
#include <vector>

struct profile_file {
    // Lines without their "\n"; a line may keep a trailing "\r".
    std::vector<std::string> lines;
    // New lines get "\r" too when the file already used "\r\n".
    bool crlf = false;
};

// Longest value a read returns (the reader's buffer of 4096 characters,
// terminator included); a longer value is cut.
constexpr size_t profile_value_limit = 4095;

profile_file parse_profile(std::string_view text);
std::string profile_text(const profile_file& file);

// Reads the file at `path`. A missing file gives an empty profile and true;
// a file that exists but cannot be read gives false. A symbolic link counts
// as missing and is not read: the file lives in the data folder, where others
// may have planted the link, and what it points at must not be copied into
// the file that replaces it.
bool load_profile(const std::string& path, profile_file& file);

// The value of `key` in `section`, blanks around it removed and one pair of
// matching quotes taken off; `fallback` when the section or key is missing.
std::string profile_read(const profile_file& file, std::string_view section, std::string_view key,
                         std::string_view fallback);

// Sets `key` in `section` to `value`.
void profile_write(profile_file& file, std::string_view section, std::string_view key, std::string_view value);
