// CSV report; see report.h.
#include "frontend/report.h"

#include <cstdint>

#include "core/platform.h"
#include "frontend/size_text.h"

namespace {

constexpr char16_t replacement_char = 0xFFFD;

void append_utf16(std::u16string& out, uint32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

std::string report_line(const std::string& name, const std::string& before_text, const std::string& after_text,
                        uint64_t before, uint64_t after) {
    const int64_t saved = static_cast<int64_t>(before - after);
    return csv_field(name) + "," + before_text + "," + after_text + "," + size_text_signed(saved) + "," +
           std::to_string(saving_percent(before, after)) + "%\n";
}

}  // namespace

std::u16string utf8_to_utf16(const std::string& text) {
    std::u16string out;
    size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        int extra = 0;
        uint32_t cp = 0;
        uint32_t min = 0;
        if (b < 0x80) {
            cp = b;
        } else if ((b & 0xE0) == 0xC0) {
            extra = 1, cp = b & 0x1F, min = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            extra = 2, cp = b & 0x0F, min = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            extra = 3, cp = b & 0x07, min = 0x10000;
        } else {
            out.push_back(replacement_char);
            ++i;
            continue;
        }
        bool valid = i + static_cast<size_t>(extra) < text.size();
        for (int k = 1; valid && k <= extra; ++k) {
            const auto c = static_cast<unsigned char>(text[i + static_cast<size_t>(k)]);
            if ((c & 0xC0) != 0x80)
                valid = false;
            else
                cp = (cp << 6) | (c & 0x3F);
        }
        if (!valid || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.push_back(replacement_char);
            ++i;
            continue;
        }
        append_utf16(out, cp);
        i += static_cast<size_t>(extra) + 1;
    }
    return out;
}

std::string csv_field(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

int64_t saving_percent(uint64_t before, uint64_t after) {
    if (before == 0) return 0;
    // 128-bit product: after * 100 overflows 64 bits only for absurd sizes,
    // but a wrapped percentage would be a plainly wrong figure.
    const unsigned __int128 scaled = static_cast<unsigned __int128>(after) * 100 / before;
    constexpr unsigned __int128 cap = static_cast<unsigned __int128>(INT64_MAX / 2);
    return 100 - static_cast<int64_t>(scaled < cap ? scaled : cap);
}

std::string build_report_text(const std::vector<file_row>& rows, uint64_t total_before, uint64_t total_after) {
    std::string text = "file,insize,outsize,savings,purcent\n";
    for (const file_row& row : rows) {
        // A failed file saved nothing, whatever sizes were read for it.
        const uint64_t before = row.failed ? 0 : row.before;
        const uint64_t after = row.failed ? 0 : row.after;
        text += report_line(row.path, original_column_text(row), optimized_column_text(row), before, after);
    }
    text += report_line("total", size_text(total_before), size_text(total_after), total_before, total_after);
    return text;
}

std::string utf16le_bytes(const std::string& text) {
    const std::u16string units = utf8_to_utf16(text);
    std::string bytes;
    bytes.reserve(units.size() * 2);
    for (char16_t u : units) {
        bytes.push_back(static_cast<char>(u & 0xFF));
        bytes.push_back(static_cast<char>(u >> 8));
    }
    return bytes;
}

bool write_report(const std::string& path, const std::vector<file_row>& rows, uint64_t total_before,
                  uint64_t total_after) {
    const std::string bytes = utf16le_bytes(build_report_text(rows, total_before, total_after));
    return write_whole_file(path, bytes.data(), bytes.size());
}
