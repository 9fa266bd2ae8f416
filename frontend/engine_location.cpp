// Engine location; see engine_location.h.
#include "frontend/engine_location.h"

#include <filesystem>

namespace fs = std::filesystem;

std::string running_program_folder() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec || !self.has_parent_path()) return "";
    std::string folder = self.parent_path().string();
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder;
}

std::string engine_path_in(const std::string& folder) { return folder + "core"; }

bool engine_exists(const std::string& path) {
    std::error_code ec;
    return !path.empty() && fs::is_regular_file(path, ec);
}
