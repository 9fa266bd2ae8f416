// The CSV report krast.csv: a header, one line per grid row and a total line,
// as UTF-16 little-endian code units without byte-order mark, lines ended by
// a single line feed. Paths holding a comma, a quote or a line break are
// quoted (quotes doubled) so every line keeps five columns; savings are signed
// 64-bit, a percentage over a size of 0 is 0, and a failed file shows "-"
// after and no saving.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "frontend/file_list.h"

// UTF-8 text as UTF-16 code units; a byte that is not valid UTF-8 becomes U+FFFD.
std::u16string utf8_to_utf16(const std::string& text);

// One CSV field: as it is, or in double quotes with quotes doubled when it
// holds a comma, a quote, a carriage return or a line feed.
std::string csv_field(const std::string& text);

// Saving in percent: 100 - floor(after * 100 / before), 0 when before is 0.
// Negative when the file grew.
int64_t saving_percent(uint64_t before, uint64_t after);

// The report's text.
std::string build_report_text(const std::vector<file_row>& rows, uint64_t total_before, uint64_t total_after);

// The text's UTF-16LE bytes.
std::string utf16le_bytes(const std::string& text);

// Writes the report to `path` in one safe replacement (write_whole_file);
// false on failure.
bool write_report(const std::string& path, const std::vector<file_row>& rows, uint64_t total_before,
                  uint64_t total_after);
