// How a run hands the grid's files to the engine: one engine start per file
// or per batch, the batch size chosen from the average file size and the
// effort levels, and the argument lists of the engine starts. Rows are
// counted as in the grid: row 0 is the header, files are rows 1..R-1.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// Resource-use choice that runs the engine once per file.
inline constexpr int32_t background_multitask_index = 4;

// One engine start per file: the background resource choice, or a single
// file (R == 2).
bool single_file_mode(int32_t multitask_index, uint32_t row_count);

// The summed file size divided by R (the header row counts in the divisor).
uint64_t average_file_size(uint64_t size_sum, uint32_t row_count);

// Files per engine start in batch mode, by the average size band, halved
// from R when the band is larger than R, then capped by the PNG and JPEG
// level indexes (0..3). Never below 1.
uint32_t batch_size_for(uint64_t average, uint32_t row_count, int32_t png_level_index, int32_t jpeg_level_index);

// The row after the last one of the batch that starts at `next_row`.
uint32_t batch_end(uint32_t next_row, uint32_t batch_size, uint32_t row_count);

// The engine's arguments: the option string cut at its blanks, then the
// paths, each one argument (no quoting, no shell).
std::vector<std::string> engine_arguments(const std::string& options, const std::vector<std::string>& paths = {});

// What the runner reports for an engine that crashed, was killed or did not
// start: no exit status of a process that ended normally (0..255) is this.
inline constexpr uint32_t engine_run_failed = 0xFFFFFFFFu;

// The exit status the handshake must see: the answer 500 reaches a parent
// through an 8-bit exit status.
uint32_t expected_probe_status(int32_t probe_answer);
