// The main window's side of the preview: a click on a file row asks the
// engine whether the file can be previewed, then runs it in preview mode,
// reads the preview files from the data folder and opens the preview window
// with the picture of the unchanged file; the window asks for lossy pictures
// through the same run.
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QTableWidget>

#include "core/platform.h"
#include "frontend/batching.h"
#include "frontend/main_window.h"
#include "frontend/preview_rules.h"
#include "frontend/preview_window.h"
#include "frontend/status_text.h"

namespace {

bool regular_file(const std::string& path) {
    file_info info;
    return read_file_info(path, info) && info.regular;
}

// Size of a file in the data folder, 0 when it is missing.
uint64_t preview_file_size(const std::string& name, bool& exists) {
    file_info info;
    exists = read_file_info(data_file_path(name), info) && info.regular;
    return exists ? info.size : 0;
}

// The view the engine wrote, read afresh from disk (never from a picture
// cache, which could hand back the view of an earlier preview), by the bytes
// of its path: the data folder's name need not be valid UTF-8. A null image
// when the file is missing, too short or no PNG.
QImage load_view() {
    std::vector<uint8_t> bytes;
    if (!read_whole_file(data_file_path(preview_view_file), bytes)) return QImage();
    if (bytes.size() < min_view_file_size) return QImage();
    return QImage::fromData(bytes.data(), static_cast<int>(bytes.size()), "PNG");
}

}  // namespace

void TfrmMain::int_grid_filesFixedCellClick(int /*column*/, int row) {
    if (row <= 0) return;
    // A click while the engine runs (a run, or the check of another row)
    // would start a second engine run.
    if (busy_) return;
    const busy_scope busy(*this);
    unit_.selected_row = row;
    if (preview_check()) preview_original();
    do_focus();
}

std::string TfrmMain::selected_path() const {
    const int32_t row = unit_.selected_row;
    if (row <= 0 || static_cast<size_t>(row) > files_.rows().size()) return "";
    return files_.rows()[static_cast<size_t>(row) - 1].path;
}

bool TfrmMain::preview_check() {
    const std::string path = selected_path();
    if (path.empty() || !regular_file(path)) return false;
    unit_.engine_options = "-preview-check ";
    const uint32_t code = run_engine(engine_arguments(unit_.engine_options, {path}));
    switch (check_preview(code, panel_.method.index == 1, unit_.run_finished)) {
        case preview_check_outcome::cannot_preview: do_message_bar(status_cannot_preview); return false;
        case preview_check_outcome::needs_lossy: do_message_bar(status_enable_lossy); return false;
        case preview_check_outcome::after_run: return false;
        case preview_check_outcome::allowed: return true;
    }
    return false;
}

void TfrmMain::preview_original() { preview_selected(false); }

void TfrmMain::preview_lossy() { preview_selected(true); }

void TfrmMain::preview_selected(bool lossy) {
    if (regular_file(selected_path())) {
        view_image(lossy);
    } else {
        do_focus();
        do_message_bar(status_error);
    }
}

void TfrmMain::view_image(bool lossy) {
    remove_preview_files();
    if (!handshake()) return;
    unit_.preview_failed = false;
    const std::string path = selected_path();
    int_grid_files->setEnabled(false);

    if (lossy) {
        set_flags(true, frmAbout ? frmAbout->quality_position() : panel_.quality);
        unit_.engine_options += "-preview ";
    } else {
        unit_.engine_options = "-preview-original ";
    }
    run_engine(engine_arguments(unit_.engine_options, {path}));

    bool result_exists = false;
    uint64_t result_size = 0;
    if (lossy) {
        const std::string result = preview_result_file(path);
        if (!result.empty()) result_size = preview_file_size(result, result_exists);
        if (result_exists) unit_.shown_preview_size = result_size;
    } else {
        unit_.source_preview_size = unit_.shown_preview_size = get_file_size(path);
    }

    const QImage view = load_view();
    unit_.preview_failed = view.isNull();
    if (!unit_.preview_failed) {
        const QPixmap picture = QPixmap::fromImage(view);
        Image1->setPixmap(picture);
        if (lossy) {
            Image4->setPixmap(picture);
            unit_.lossy_preview_size = unit_.shown_preview_size;
        } else {
            Image3->setPixmap(picture);
        }
        if (!unit_.preview_open) {
            unit_.preview_open = true;
            TfrmAbout window(*this);
            frmAbout = &window;
            window.exec();
            frmAbout = nullptr;
        }
    } else if (lossy) {
        // The window keeps showing the last picture that was made.
        Image4->setPixmap(Image1->pixmap());
        if (result_exists) unit_.lossy_preview_size = result_size;
    } else {
        // No window opens: give the grid back and say why.
        int_grid_files->setEnabled(true);
        do_message_bar(status_cannot_preview);
    }
}

void TfrmMain::destroy_preview() { unit_.preview_open = false; }

void TfrmMain::set_quality_position(int32_t position) {
    panel_.quality = position;
    show_panel_state();
}
