// Size texts of the front end: two decimals and a unit, with "." as the
// decimal point whatever the user's locale. The unit follows the value:
// below 1048576 bytes KB, below 1073741824 MB, from there GB.
#pragma once
#include <cstdint>
#include <string>

// value / 1024, 1048576 or 1073741824 with two decimals and " KB", " MB", " GB".
std::string size_text_kb(double bytes);
std::string size_text_mb(double bytes);
std::string size_text_gb(double bytes);

// The unit chosen by the limits above.
std::string size_text(uint64_t bytes);
// The same for a signed amount (a saving); a negative amount is shown in KB.
std::string size_text_signed(int64_t bytes);
