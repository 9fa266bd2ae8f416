// Size texts; see size_text.h. std::to_chars never consults the locale, which
// the GUI library sets from the environment at start-up.
#include "frontend/size_text.h"

#include <charconv>

namespace {

constexpr uint64_t one_mb = 1048576;
constexpr uint64_t one_gb = 1073741824;

std::string two_decimals(double value, const char* unit) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 2);
    return std::string(buf, r.ptr) + unit;
}

}  // namespace

std::string size_text_kb(double bytes) { return two_decimals(bytes / 1024.0, " KB"); }
std::string size_text_mb(double bytes) { return two_decimals(bytes / 1048576.0, " MB"); }
std::string size_text_gb(double bytes) { return two_decimals(bytes / 1073741824.0, " GB"); }

std::string size_text(uint64_t bytes) {
    const double value = static_cast<double>(bytes);
    if (bytes < one_mb) return size_text_kb(value);
    if (bytes < one_gb) return size_text_mb(value);
    return size_text_gb(value);
}

std::string size_text_signed(int64_t bytes) {
    if (bytes < 0) return size_text_kb(static_cast<double>(bytes));
    return size_text(static_cast<uint64_t>(bytes));
}
