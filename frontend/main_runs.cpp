// The main window's engine runs: the handshake, batch or single-file mode,
// the per-row sizes and totals, the progress bar and the texts shown while
// the run goes on, pause and resume, the end of a run and auto-run.
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>

#include "frontend/batching.h"
#include "frontend/engine_runner.h"
#include "frontend/main_window.h"
#include "frontend/row_results.h"
#include "frontend/run_texts.h"
#include "frontend/status_text.h"

namespace {

// Auto-run choice that closes the program after a run went to its end.
constexpr int32_t autorun_and_close_index = 2;

int64_t tick_ms() {
    static QElapsedTimer clock;
    if (!clock.isValid()) clock.start();
    return clock.elapsed();
}

}  // namespace

uint32_t TfrmMain::run_engine(const std::vector<std::string>& args) {
    if (!isVisible()) close();
    const uint32_t code =
        run_process(unit_.engine_path, args, unit_.frontend_folder, [this] { return isVisible(); });
    QApplication::processEvents();
    return code;
}

bool TfrmMain::handshake() {
    const uint32_t answer = run_engine(engine_arguments(unit_.probe_option));
    if (answer == expected_probe_status(unit_.probe_answer)) return true;
    do_lock();
    return false;
}

void TfrmMain::int_button_optimize_action() {
    if (busy_) return;
    const busy_scope busy(*this);
    if (!handshake()) return;

    const auto row_count = static_cast<uint32_t>(files_.rows().size() + 1);
    setAcceptDrops(false);
    int_grid_files->setEnabled(false);
    int_button_clear->setEnabled(false);
    int_button_optimize->setEnabled(false);
    int_button_settings->setEnabled(false);
    int_button_resume->hide();
    int_button_stop->show();
    ProgressBar->setRange(0, static_cast<int>(row_count));
    ProgressBar->setValue(0);
    ProgressBar->show();

    unit_.stop_requested = false;
    set_flags(false);
    const int64_t start_ms = tick_ms();
    const bool single = single_file_mode(panel_.multitask.index, row_count);
    if (unit_.next_row == 0) unit_.next_row = 1;
    if (unit_.next_row > 1) ProgressBar->setValue(static_cast<int>(unit_.next_row));
    do_message_bar(status_empty);

    if (single) {
        // A run that went to its end leaves no row to hand over again, as in
        // batch mode: files added later start where it ended, and no file is
        // optimised (and counted) twice.
        uint32_t row = unit_.next_row;
        for (; row < row_count && !unit_.stop_requested; ++row) {
            run_rows(row, row + 1);
            unit_.progress_percent = progress_percent(row, row_count);
            show_progress();
        }
        unit_.next_row = row;
    } else {
        uint64_t size_sum = 0;
        for (const file_row& row : files_.rows()) size_sum += get_file_size(row.path);
        batch_size_ = batch_size_for(average_file_size(size_sum, row_count), row_count, panel_.png_level.index,
                                     panel_.jpeg_level.index);
        while (unit_.next_row < row_count) {
            if (unit_.stop_requested) break;
            const uint32_t end = batch_end(unit_.next_row, batch_size_, row_count);
            run_rows(unit_.next_row, end);
            unit_.progress_percent = progress_percent(unit_.next_row, row_count);
            show_progress();
            unit_.next_row = end;
        }
    }
    end_run(start_ms);
}

void TfrmMain::run_rows(uint32_t first, uint32_t end) {
    std::vector<std::string> paths;
    for (uint32_t r = first; r < end; ++r) {
        file_row& row = files_.rows()[r - 1];
        if (prepare_row(row)) paths.push_back(row.path);
    }
    // The sizes on disk are the result; only a crash or a failed start of
    // the engine is looked at.
    const uint32_t code = paths.empty() ? 0 : run_engine(engine_arguments(unit_.engine_options, paths));
    if (code == engine_run_failed) unit_.engine_failed = true;
    for (uint32_t r = first; r < end; ++r) {
        record_row(files_.rows()[r - 1], code == engine_run_failed, unit_.total_before, unit_.total_after);
        update_grid_row(r - 1);
    }
}

void TfrmMain::show_progress() {
    ProgressBar->setRange(0, 100);
    ProgressBar->setValue(unit_.progress_percent);
    unit_.total_saved = static_cast<int64_t>(unit_.total_before - unit_.total_after);
    unit_.status_text = progress_status_text(unit_.total_saved);
    status_panel->setText(QString::fromStdString(unit_.status_text));
    unit_.title_savings_text = progress_title_savings_text(unit_.total_saved);
    unit_.title_text = progress_title_text(unit_.progress_percent, unit_.total_saved);
    setWindowTitle(QString::fromStdString(unit_.title_text));
}

void TfrmMain::end_run(int64_t start_ms) {
    const bool stopped = unit_.stop_requested;
    // A crashed engine is no completed run, even when other starts went well.
    const bool failed = unit_.engine_failed;
    if (!stopped) setWindowTitle("velto");
    unit_.settings_unsaved = !save_ini();
    do_message_bar(stopped ? status_paused : failed ? status_run_failed : status_finished);
    unit_.seconds_total += elapsed_seconds(start_ms, tick_ms());
    if (!stopped && !failed)
        unit_.status_text += elapsed_text(unit_.seconds_total, QLocale().decimalPoint().toStdString());
    // The run's own text would hide a failed save of the settings: the error
    // follows it and stays until the next message.
    if (unit_.settings_unsaved)
        unit_.status_text += status_message(status_settings_not_saved, unit_.version, unit_.total_saved);
    status_panel->setText(QString::fromStdString(unit_.status_text));
    ProgressBar->hide();
    int_button_clear->setEnabled(true);
    if (stopped) {
        int_button_resume->show();
        int_button_resume->setEnabled(true);
        int_button_optimize->setEnabled(true);
        int_button_settings->setEnabled(false);
    } else {
        unit_.run_finished = true;
        int_button_stop->hide();
        // Report takes the place of Settings, which stays disabled until Clear.
        int_button_settings->hide();
        int_button_report->show();
    }
    int_grid_files->setEnabled(true);
    do_focus();
}

void TfrmMain::do_stop() {
    int_button_stop->hide();
    int_button_resume->show();
    int_button_resume->setEnabled(false);
    unit_.stop_requested = true;
}

void TfrmMain::do_autorun() {
    if (busy_) return;
    int_button_optimize_action();
    // Only a run that went to its end without a failed engine start or a
    // failed save of the settings closes the program; a pause, a failed
    // handshake, a crashed engine or lost settings leave the window open with
    // the message.
    if (panel_.auto_run.index == autorun_and_close_index && unit_.run_finished && !unit_.stop_requested &&
        !unit_.engine_failed && !unit_.settings_unsaved)
        close();
}
