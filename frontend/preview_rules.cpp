// Preview rules; see preview_rules.h.
#include "frontend/preview_rules.h"

#include <cstdio>

#include "core/platform.h"
#include "frontend/batching.h"
#include "frontend/extension_filter.h"
#include "frontend/size_text.h"

void remove_preview_files() {
    for (const char* name : {preview_view_file, preview_png_result_file, preview_jpg_result_file})
        std::remove(data_file_path(name).c_str());
}

std::string preview_extension(const std::string& path) {
    std::string ext = get_extension(path);
    std::string lower = ext;
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (lower == ".png") return ".png";
    if (lower == ".jpg" || lower == ".jpeg") return ".jpg";
    return ext;
}

std::string preview_result_file(const std::string& path) {
    const std::string ext = preview_extension(path);
    if (ext == ".png") return preview_png_result_file;
    if (ext == ".jpg") return preview_jpg_result_file;
    return "";
}

preview_check_outcome check_preview(uint32_t exit_code, bool lossless, bool run_finished) {
    if (exit_code == engine_run_failed || exit_code == preview_refused_exit)
        return preview_check_outcome::cannot_preview;
    if (lossless) return preview_check_outcome::needs_lossy;
    return run_finished ? preview_check_outcome::after_run : preview_check_outcome::allowed;
}

bool lossy_view_renders(bool first_lossy_view, int32_t position, int32_t rendered_quality) {
    return first_lossy_view || position != rendered_quality;
}

std::string preview_status_text(int kind, uint64_t size) {
    const std::string size_part = size == 0 ? std::string() : size_text(size);
    switch (kind) {
        case preview_status_lossy: return "  ~ " + size_part + " - 有损 ";
        case preview_status_original: return "  = " + size_part + " - 原始 ";
        default: return "";
    }
}

bool preview_opens_maximised(int width, int height) { return width >= 850 || height >= 540; }
