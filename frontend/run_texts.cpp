// Run progress texts; see run_texts.h.
#include "frontend/run_texts.h"

#include <charconv>

#include "frontend/size_text.h"

uint8_t progress_percent(uint32_t row, uint32_t row_count) {
    if (row_count == 0) return 0;
    return static_cast<uint8_t>(row * 100u / row_count);
}

std::string progress_savings_part(int64_t total_saved, bool caption) {
    if (total_saved == 0) return caption ? "  no savings" : " no savings";
    if (total_saved < 1024) return "  " + std::to_string(total_saved) + " bytes";
    return "  " + size_text_signed(total_saved);
}

std::string progress_status_text(int64_t total_saved) {
    std::string s = "  processing -" + progress_savings_part(total_saved, false);
    if (total_saved != 0) s += " saved";
    return s;
}

std::string progress_title_savings_text(int64_t total_saved) {
    std::string s = progress_savings_part(total_saved, true);
    if (total_saved != 0) s += " saved";
    return s;
}

std::string progress_title_text(uint8_t percent, int64_t total_saved) {
    return " " + std::to_string(percent) + "%  -" + progress_title_savings_text(total_saved);
}

double elapsed_seconds(int64_t start_ms, int64_t end_ms) {
    const auto ms = static_cast<int32_t>(static_cast<uint32_t>(end_ms - start_ms));
    return ms / 1000.0;
}

std::string elapsed_text(double seconds_total, const std::string& decimal_separator) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, seconds_total, std::chars_format::general, 15);
    std::string number(buf, r.ptr);
    const size_t point = number.find('.');
    if (point != std::string::npos) number.replace(point, 1, decimal_separator);
    return "  " + number + " 秒";
}
