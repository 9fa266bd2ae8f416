// The list of files in the grid: one row per file, each file listed once
// (compared by its canonical path), with 64-bit sizes and the texts of the
// grid's size columns.
#pragma once
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

struct file_row {
    std::string path;         // absolute path, as the engine gets it
    uint64_t added_size = 0;  // size when the row was added
    bool optimized = false;   // the engine has run over the row
    uint64_t before = 0;      // size read just before the engine ran
    uint64_t after = 0;       // size read after the engine ran
    bool failed = false;      // the file could not be optimised (see row_results.h)
};

// Text of the "original" column: the size text of the size when added.
std::string original_column_text(const file_row& row);
// Text of the "optimized" column: empty before a run, "-" when the file
// failed or then had size 0, else the size text of the size after.
std::string optimized_column_text(const file_row& row);

// Size of the file at `path`, 0 when it cannot be read.
uint64_t get_file_size(const std::string& path);

// `path` made absolute against the current folder, "." parts and doubled
// separators removed. ".." parts stay, since a link before them would make
// dropping them name another file.
std::string absolute_path(const std::string& path);

class file_list {
public:
    // Appends a row for `path` unless that file is already listed.
    bool add(const std::string& path);
    void clear();
    const std::vector<file_row>& rows() const { return rows_; }
    std::vector<file_row>& rows() { return rows_; }

private:
    std::vector<file_row> rows_;
    std::unordered_set<std::string> identities_;
};

// Adds the image files at or below `path` (made absolute first) and returns
// how many rows were added.
size_t add_path(const std::string& path, file_list& list);
