// File list of the grid; see file_list.h.
#include "frontend/file_list.h"

#include <climits>
#include <cstdlib>
#include <filesystem>

#include "core/platform.h"
#include "frontend/extension_filter.h"
#include "frontend/folder_walk.h"
#include "frontend/size_text.h"

namespace fs = std::filesystem;

std::string original_column_text(const file_row& row) { return size_text(row.added_size); }

std::string optimized_column_text(const file_row& row) {
    if (!row.optimized) return "";
    return row.failed || row.after == 0 ? "-" : size_text(row.after);
}

uint64_t get_file_size(const std::string& path) {
    file_info info;
    return read_file_info(path, info) ? info.size : 0;
}

std::string absolute_path(const std::string& path) {
    std::error_code ec;
    fs::path full = fs::absolute(path, ec);
    if (ec) return path;
    fs::path cleaned;
    for (const fs::path& part : full) {
        if (part == "." || part.empty()) continue;
        cleaned /= part;
    }
    return cleaned.string();
}

bool file_list::add(const std::string& path) {
    // Two spellings of one file (a link, a "..") share one canonical path.
    std::string identity = path;
    if (char* real = ::realpath(path.c_str(), nullptr)) {
        identity = real;
        std::free(real);
    }
    if (!identities_.insert(identity).second) return false;
    file_row row;
    row.path = path;
    row.added_size = get_file_size(path);
    rows_.push_back(row);
    return true;
}

void file_list::clear() {
    rows_.clear();
    identities_.clear();
}

size_t add_path(const std::string& path, file_list& list) {
    size_t added = 0;
    walk_path(absolute_path(path), [&](const std::string& file) {
        if (has_image_extension(file) && list.add(file)) ++added;
    });
    return added;
}
