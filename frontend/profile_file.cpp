// Profile-file parsing and editing; see profile_file.h.
#include "frontend/profile_file.h"

#include <cerrno>

#include "core/platform.h"

namespace {

constexpr std::string_view utf8_bom = "\xEF\xBB\xBF";

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
    return s;
}

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    return true;
}

// The meaningful text of line `index`: blanks trimmed, a leading byte-order
// mark of the first line ignored.
std::string_view content(const profile_file& file, size_t index) {
    std::string_view line = file.lines[index];
    if (index == 0 && line.substr(0, utf8_bom.size()) == utf8_bom) line.remove_prefix(utf8_bom.size());
    return trim(line);
}

bool section_name(std::string_view line, std::string_view& name) {
    if (line.empty() || line.front() != '[') return false;
    line.remove_prefix(1);
    size_t close = line.find(']');
    name = trim(close == std::string_view::npos ? line : line.substr(0, close));
    return true;
}

bool key_and_value(std::string_view line, std::string_view& key, std::string_view& value) {
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) return false;
    key = trim(line.substr(0, eq));
    value = trim(line.substr(eq + 1));
    return true;
}

// Index of the first header line of `section`, or lines.size().
size_t find_section(const profile_file& file, std::string_view section) {
    for (size_t i = 0; i < file.lines.size(); ++i) {
        std::string_view name;
        if (section_name(content(file, i), name) && same_name(name, section)) return i;
    }
    return file.lines.size();
}

// One past the last line of the section whose header is at `header`.
size_t section_end(const profile_file& file, size_t header) {
    std::string_view ignored;
    size_t i = header + 1;
    while (i < file.lines.size() && !section_name(content(file, i), ignored)) ++i;
    return i;
}

// Index of the first line of `key` in the section at `header`, or npos.
size_t find_key(const profile_file& file, size_t header, std::string_view key) {
    const size_t end = section_end(file, header);
    for (size_t i = header + 1; i < end; ++i) {
        std::string_view k, v;
        if (key_and_value(content(file, i), k, v) && same_name(k, key)) return i;
    }
    return std::string::npos;
}

std::string new_line(const profile_file& file, std::string text) {
    if (file.crlf) text += '\r';
    return text;
}

}  // namespace

profile_file parse_profile(std::string_view text) {
    profile_file file;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string_view::npos) nl = text.size();
        file.lines.emplace_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    file.crlf = !file.lines.empty() && !file.lines.front().empty() && file.lines.front().back() == '\r';
    return file;
}

std::string profile_text(const profile_file& file) {
    std::string text;
    for (const std::string& line : file.lines) {
        text += line;
        text += '\n';
    }
    return text;
}

bool load_profile(const std::string& path, profile_file& file) {
    file = profile_file{};
    std::vector<uint8_t> bytes;
    if (!read_whole_entry(path, bytes)) return errno == ENOENT || errno == ELOOP;
    file = parse_profile(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    return true;
}

std::string profile_read(const profile_file& file, std::string_view section, std::string_view key,
                         std::string_view fallback) {
    const size_t header = find_section(file, section);
    if (header == file.lines.size()) return std::string(fallback);
    const size_t line = find_key(file, header, key);
    if (line == std::string::npos) return std::string(fallback);
    std::string_view k, value;
    key_and_value(content(file, line), k, value);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return std::string(value.substr(0, profile_value_limit));
}

void profile_write(profile_file& file, std::string_view section, std::string_view key, std::string_view value) {
    std::string entry = std::string(key) + "=" + std::string(value);
    const size_t header = find_section(file, section);
    if (header == file.lines.size()) {
        file.lines.push_back(new_line(file, "[" + std::string(section) + "]"));
        file.lines.push_back(new_line(file, entry));
        return;
    }
    const size_t line = find_key(file, header, key);
    if (line != std::string::npos) {
        file.lines[line] = new_line(file, entry);
        return;
    }
    // After the section's last non-blank line, so blank lines that part it
    // from the next section stay where they are.
    size_t at = section_end(file, header);
    while (at > header + 1 && content(file, at - 1).empty()) --at;
    file.lines.insert(file.lines.begin() + static_cast<std::ptrdiff_t>(at), new_line(file, entry));
}
