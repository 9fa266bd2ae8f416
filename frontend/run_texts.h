// Texts shown while a run goes on and when it ends: the progress percentage,
// the status bar's "processing" text and the window caption after every batch
// or file, and the elapsed time appended to the finished text.
#pragma once
#include <cstdint>
#include <string>

// Share of rows that lay before `row`, in percent of R (32-bit arithmetic,
// kept in 8 bits).
uint8_t progress_percent(uint32_t row, uint32_t row_count);

// "  N bytes" below 1024 bytes (negative amounts included), "  " and the
// size text from 1024 on; for 0 " no savings" in the status bar and
// "  no savings" in the caption.
std::string progress_savings_part(int64_t total_saved, bool caption);

// "  processing -" and the savings part, " saved" appended when not 0.
std::string progress_status_text(int64_t total_saved);

// The savings part of the caption, " saved" appended when not 0.
std::string progress_title_savings_text(int64_t total_saved);

// " P%  -" and the caption's savings part.
std::string progress_title_text(uint8_t percent, int64_t total_saved);

// Seconds of a run from its start and end ticks in milliseconds: the
// difference taken as a signed 32-bit count, divided by 1000.
double elapsed_seconds(int64_t start_ms, int64_t end_ms);

// "  ", the seconds in the shortest general form with up to 15 significant
// digits and the user's decimal separator, and " 秒".
std::string elapsed_text(double seconds_total, const std::string& decimal_separator);
