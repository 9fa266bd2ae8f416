// Per-row sizes and totals of a run; see row_results.h.
#include "frontend/row_results.h"

#include "core/platform.h"

bool prepare_row(file_row& row) {
    file_info info;
    const bool present = read_file_info(row.path, info) && info.regular;
    row.optimized = false;
    row.before = present ? info.size : 0;
    row.after = 0;
    row.failed = !present || !path_writable(row.path);
    return !row.failed;
}

void record_row(file_row& row, bool run_failed, uint64_t& total_before, uint64_t& total_after) {
    row.optimized = true;
    if (row.failed) return;
    file_info info;
    if (!read_file_info(row.path, info) || !info.regular) {
        row.failed = true;
        return;
    }
    row.after = info.size;
    // An engine that crashed may have left some files of its batch rewritten
    // (each replacement is whole) and the others untouched.
    if (run_failed && row.after == row.before) {
        row.failed = true;
        return;
    }
    total_before += row.before;
    total_after += row.after;
}
