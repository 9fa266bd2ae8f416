// Sorted folder walk; see folder_walk.h.
#include "frontend/folder_walk.h"

#include <algorithm>
#include <filesystem>
#include <vector>

namespace fs = std::filesystem;

namespace {

void walk_folder(const std::string& folder, const std::function<void(const std::string&)>& found) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string entry = folder == "/" ? folder + name : folder + "/" + name;
        const fs::file_status link = fs::symlink_status(entry, ec);
        if (ec) continue;
        if (fs::is_directory(link)) {
            walk_folder(entry, found);
        } else if (fs::is_symlink(link)) {
            if (fs::is_regular_file(fs::status(entry, ec)) && !ec) found(entry);
        } else if (fs::is_regular_file(link)) {
            found(entry);
        }
    }
}

}  // namespace

void walk_path(const std::string& path, const std::function<void(const std::string&)>& found) {
    std::error_code ec;
    // The path the user gave is followed even when it is a link.
    const fs::file_status st = fs::status(path, ec);
    if (ec) return;
    if (fs::is_directory(st))
        walk_folder(path, found);
    else if (fs::is_regular_file(st))
        found(path);
}
