// Texts of the main window's status bar, by message code.
#pragma once
#include <cstdint>
#include <string>

inline constexpr const char* app_version = "v0.62";

enum status_code : int {
    status_ready = 1,
    status_click_to_preview = 2,
    status_empty = 3,
    status_finished = 6,
    status_paused = 66,
    status_error = 7,
    status_options = 8,
    status_needs_64bit = 10,
    status_enable_lossy = 13,
    status_cannot_preview = 14,
    // A write of the settings file or of the report failed; nothing was replaced.
    status_settings_not_saved = 15,
    status_report_not_written = 16,
    // An engine start of the run crashed or could not be started; its files
    // that it left unchanged show "-" and count nothing.
    status_run_failed = 17,
};

// The savings part of the finished text: "  N 字节" below 1024 bytes
// (negative amounts included), " 无节省" for 0, else two blanks and the size text.
std::string savings_part(int64_t total_saved);

// The status text of `code`; an unknown code gives an empty text.
std::string status_message(int code, const std::string& version, int64_t total_saved);
