// The rules of the preview: which files the engine writes for it and how the
// front end reads them, whether a clicked file may be previewed, when the
// preview window renders a new lossy picture or shows the stored one, the
// window's status texts and when it opens maximised.
#pragma once
#include <cstdint>
#include <string>

// Files the engine writes into the data folder for a preview.
inline constexpr const char* preview_view_file = "temp-view.png";
inline constexpr const char* preview_png_result_file = "temp-result-png.png";
inline constexpr const char* preview_jpg_result_file = "temp-result-jpg.jpg";

// Deletes the three preview files from the data folder, those that exist.
void remove_preview_files();

// A view file shorter than this is no picture.
inline constexpr uint64_t min_view_file_size = 38;

// The preview's extension class of `path`, by its extension in any letter
// case: ".png", or ".jpg" for .jpg and .jpeg; any other extension as it is.
std::string preview_extension(const std::string& path);

// Name of the result file the engine writes for a lossy preview of `path`,
// "" for a file that is neither PNG nor JPEG by its extension.
std::string preview_result_file(const std::string& path);

enum class preview_check_outcome {
    allowed,
    cannot_preview,   // the engine refused (exit 22), crashed or did not start
    needs_lossy,      // the lossless method is chosen
    after_run,        // a run went to its end since the last Clear: no message
};

// What the answer of the "-preview-check" run means for the clicked file.
// `exit_code` is the runner's answer (engine_run_failed for a crash).
preview_check_outcome check_preview(uint32_t exit_code, bool lossless, bool run_finished);

// The engine's exit code for a file it cannot preview.
inline constexpr uint32_t preview_refused_exit = 22;

// The lossy view renders a new picture the first time and whenever the
// quality position moved since the last rendered one; otherwise it shows the
// stored picture.
bool lossy_view_renders(bool first_lossy_view, int32_t position, int32_t rendered_quality);

enum preview_status_kind : int {
    preview_status_lossy = 1,
    preview_status_original = 2,
};

// "  ~ " + size text + " - 有损 " (lossy), "  = " + size text + " - 原始 "
// (unchanged); the size text is empty for 0; another kind gives "".
std::string preview_status_text(int kind, uint64_t size);

// The window opens maximised for a picture at least 850 wide or 540 high.
bool preview_opens_maximised(int width, int height);
