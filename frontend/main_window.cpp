// The main window's components and handlers; the settings panel's controls
// are built in settings_panel.cpp.
#include "frontend/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStatusBar>
#include <QTableWidget>
#include <QTimer>
#include <QUrl>

#include "core/platform.h"
#include "frontend/engine_location.h"
#include "frontend/file_urls.h"
#include "frontend/form_widgets.h"
#include "frontend/option_string.h"
#include "frontend/report.h"
#include "frontend/settings_file.h"
#include "frontend/status_text.h"

namespace {

constexpr int window_width = 770;
constexpr int window_height = 690;
constexpr int status_height = 24;
constexpr int progress_height = 17;
constexpr int grid_columns = 6;
constexpr int row_height = 24;

// Odd file rows are filled with the colour of a scroll bar, even rows white.
const QColor odd_row_colour(0xC8, 0xC8, 0xC8);

const char* const start_headers[3] = {"文件", "原始", "已优化"};
const char* const clear_headers[3] = {"file", "original", "optimized"};

QString text_of(const std::string& utf8) { return QString::fromStdString(utf8); }

QPushButton* make_button(QWidget* parent, const char* name, const char* caption, int x, int y) {
    QPushButton* b = make_form_button(parent, name, caption);
    b->move(x, y);
    return b;
}

QLabel* make_picture_holder(QWidget* parent, const char* name) {
    auto* image = new QLabel(parent);
    image->setObjectName(name);
    image->setGeometry(0, 0, 1, 1);
    image->hide();
    return image;
}

}  // namespace

TfrmMain::TfrmMain(const frontend_start& start, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      start_(start),
      ini_path_(get_ini_path()) {
    open_report = [](const std::string& path) { QDesktopServices::openUrl(local_file_url(path)); };
    build_window();
    build_settings_panel();
    FormCreate();
}

void TfrmMain::build_window() {
    setObjectName("frmMain");
    setWindowTitle("velto");
    setFixedSize(window_width, window_height);
    QFont font("Segoe UI");
    font.setPixelSize(11);
    setFont(font);
    setFocusPolicy(Qt::StrongFocus);
    if (const QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());

    Image1 = make_picture_holder(this, "Image1");
    Image3 = make_picture_holder(this, "Image3");
    Image4 = make_picture_holder(this, "Image4");

    int_grid_files = new QTableWidget(0, grid_columns, this);
    int_grid_files->setObjectName("int_grid_files");
    int_grid_files->setGeometry(15, 20, 741, 570);
    int_grid_files->setFrameShape(QFrame::NoFrame);
    int_grid_files->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    int_grid_files->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    int_grid_files->setEditTriggers(QAbstractItemView::NoEditTriggers);
    int_grid_files->setSelectionMode(QAbstractItemView::NoSelection);
    int_grid_files->setFocusPolicy(Qt::NoFocus);
    int_grid_files->setShowGrid(true);
    int_grid_files->setWordWrap(false);
    int_grid_files->verticalHeader()->hide();
    int_grid_files->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    int_grid_files->verticalHeader()->setDefaultSectionSize(row_height);
    int_grid_files->horizontalHeader()->setDefaultSectionSize(256);
    int_grid_files->horizontalHeader()->setFixedHeight(row_height);
    int_grid_files->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    int_grid_files->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    int_grid_files->horizontalHeader()->setHighlightSections(false);
    // Columns 3 to 5 carry the sizes before and after a run for the report;
    // the user sees only the path and the two size texts, the last of them
    // reaching to the scroll bar, or to the edge while there is none.
    for (int c = 3; c < grid_columns; ++c) int_grid_files->setColumnHidden(c, true);
    int_grid_files->horizontalHeader()->setStretchLastSection(true);
    connect(int_grid_files, &QTableWidget::cellClicked, this,
            [this](int row, int column) { int_grid_filesFixedCellClick(column, row + 1); });

    int_drag_drop_text = new QLabel(QString::fromUtf8("在这里拖放文件/文件夹"), int_grid_files);
    int_drag_drop_text->setObjectName("int_drag_drop_text");
    int_drag_drop_text->setGeometry(220, 277, 368, 37);
    int_drag_drop_text->setAlignment(Qt::AlignCenter);
    int_drag_drop_text->setAttribute(Qt::WA_TransparentForMouseEvents);
    QFont drop_font = font;
    drop_font.setPixelSize(27);
    drop_font.setItalic(true);
    int_drag_drop_text->setFont(drop_font);
    int_drag_drop_text->setStyleSheet(QString("color: %1;").arg(odd_row_colour.name()));

    stbMain = new QStatusBar(this);
    stbMain->setObjectName("stbMain");
    stbMain->setSizeGripEnabled(false);
    stbMain->setGeometry(0, window_height - status_height, window_width, status_height);
    status_panel = new QLabel(stbMain);
    status_panel->setObjectName("status_panel");
    status_panel->setMinimumWidth(650);
    QFont status_font = font;
    status_font.setPixelSize(12);
    status_font.setBold(true);
    status_panel->setFont(status_font);
    stbMain->addPermanentWidget(status_panel, 1);

    ProgressBar = new QProgressBar(this);
    ProgressBar->setObjectName("ProgressBar");
    ProgressBar->setGeometry(0, window_height - status_height - progress_height, window_width, progress_height);
    ProgressBar->setTextVisible(false);
    ProgressBar->setRange(0, 100);
    ProgressBar->setStyleSheet("QProgressBar::chunk { background-color: #06B025; }");
    ProgressBar->hide();

    // Three shared places; later buttons lie above earlier ones.
    int_button_optimize = make_button(this, "int_button_optimize", "优化 ", 666, 600);
    int_button_clear = make_button(this, "int_button_clear", "清除", 569, 600);
    int_button_settings = make_button(this, "int_button_settings", "设置", 472, 600);
    int_button_stop = make_button(this, "int_button_stop", "暂停", 666, 600);
    int_button_resume = make_button(this, "int_button_resume", "重新开始", 666, 600);
    int_button_report = make_button(this, "int_button_report", "报告", 472, 600);
    int_button_save = make_button(this, "int_button_save", "保存   ", 666, 600);
    int_button_reset = make_button(this, "int_button_reset", "重置", 569, 600);
    int_button_optimize->setEnabled(false);
    int_button_clear->setEnabled(false);
    int_button_save->setEnabled(false);
    int_button_reset->setEnabled(false);
    for (QPushButton* hidden : {int_button_save, int_button_reset, int_button_stop, int_button_resume, int_button_report})
        hidden->hide();
    connect(int_button_optimize, &QPushButton::clicked, this, [this] { int_button_optimize_action(); });
    connect(int_button_resume, &QPushButton::clicked, this, [this] { int_button_optimize_action(); });
    connect(int_button_clear, &QPushButton::clicked, this, [this] { int_button_clear_action(); });
    connect(int_button_settings, &QPushButton::clicked, this, [this] { int_button_settings_action(); });
    connect(int_button_stop, &QPushButton::clicked, this, [this] { do_stop(); });
    connect(int_button_report, &QPushButton::clicked, this, [this] { do_report(); });
    connect(int_button_save, &QPushButton::clicked, this, [this] { int_button_save_action(); });
    connect(int_button_reset, &QPushButton::clicked, this, [this] { reset_ini(); });

    tmrMain = new QTimer(this);
    tmrMain->setObjectName("tmrMain");
    tmrMain->setInterval(1000);
    connect(tmrMain, &QTimer::timeout, this, [this] { tmrMainTimer(); });
    tmrMain->start();
}

void TfrmMain::set_grid_headers(const char* const (&texts)[3]) {
    QStringList headers;
    for (const char* t : texts) headers << QString::fromUtf8(t);
    headers << " " << " " << " ";
    int_grid_files->setHorizontalHeaderLabels(headers);
}

void TfrmMain::set_column_widths(bool at_creation) {
    // Columns 0 to 2 share the visible width (room kept for the scroll bar);
    // columns 3 to 5 lie beyond it and only carry data.
    const int w = int_grid_files->width() - int_grid_files->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    int_grid_files->setColumnWidth(0, w >> 1);
    int_grid_files->setColumnWidth(1, w >> 2);
    int_grid_files->setColumnWidth(2, w >> 2);
    if (at_creation) {
        int_grid_files->setColumnWidth(3, w >> 3);
    } else {
        for (int c = 3; c < grid_columns; ++c) int_grid_files->setColumnWidth(c, w >> 1);
    }
}

void TfrmMain::append_grid_row(size_t index) {
    const int r = int_grid_files->rowCount();
    int_grid_files->insertRow(r);
    // File rows count from 1 (row 0 is the header): odd rows grey, even white.
    const QBrush fill((r + 1) % 2 == 1 ? odd_row_colour : QColor(Qt::white));
    for (int c = 0; c < grid_columns; ++c) {
        auto* item = new QTableWidgetItem();
        item->setBackground(fill);
        item->setForeground(QBrush(Qt::black));
        item->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        int_grid_files->setItem(r, c, item);
    }
    update_grid_row(index);
}

void TfrmMain::update_grid_row(size_t index) {
    const file_row& row = files_.rows()[index];
    const QString cells[grid_columns] = {
        // Shown as Qt can (a byte that is not UTF-8 as U+FFFD); the row keeps
        // the bytes, which are what the engine is handed.
        QFile::decodeName(row.path.c_str()),
        text_of(original_column_text(row)),
        text_of(optimized_column_text(row)),
        row.optimized ? QString::number(row.before) : QString(),
        row.optimized ? QString::number(row.after) : QString(),
        QString(),
    };
    const int r = static_cast<int>(index);
    for (int c = 0; c < grid_columns; ++c) int_grid_files->item(r, c)->setText(cells[c]);
}

void TfrmMain::FormCreate() {
    set_grid_headers(start_headers);
    set_column_widths(true);
    if (get_path()) {
        get_ini();
        do_focus();
        do_message_bar(status_ready);
    } else {
        do_lock();
        if (!unit_.is_64bit_os) do_message_bar(status_needs_64bit);
    }
}

bool TfrmMain::get_path() {
    if (!unit_.is_64bit_os) return false;
    unit_.frontend_folder = start_.program_folder;
    unit_.engine_path = engine_path_in(unit_.frontend_folder);
    return engine_exists(unit_.engine_path);
}

void TfrmMain::get_ini() {
    load_panel(panel_, load_settings_file(ini_path_));
    show_panel_state();
}

bool TfrmMain::save_ini() {
    const bool saved = save_settings_file(ini_path_, panel_settings(panel_));
    if (!saved) do_message_bar(status_settings_not_saved);
    return saved;
}

void TfrmMain::reset_ini() {
    reset_panel(panel_);
    show_panel_state();
    do_focus();
    if (!int_group_settings->isHidden() && int_button_reset->isEnabled() && !int_button_reset->isHidden())
        int_button_reset->setEnabled(false);
}

void TfrmMain::int_button_save_action() {
    const bool saved = save_ini();
    int_button_settings_action();
    // Closing the panel shows "ready"; a failed save must stay in view.
    if (!saved) do_message_bar(status_settings_not_saved);
}

void TfrmMain::change_status_lossy() {
    ::change_status_lossy(panel_);
    show_panel_state();
    do_focus();
}

void TfrmMain::set_flags(bool preview, int32_t preview_quality) {
    unit_.engine_options = build_engine_options(panel_, preview, preview_quality);
}

void TfrmMain::do_focus() {
    if (!int_group_settings->isHidden()) {
        for (QPushButton* b : {int_button_save, int_button_reset})
            if (!b->isHidden() && !b->isEnabled()) b->setEnabled(true);
    }
    // No control keeps the focus: keys go to the window itself.
    setFocus(Qt::OtherFocusReason);
}

void TfrmMain::do_message_bar(int code) {
    unit_.status_text = status_message(code, unit_.version, unit_.total_saved);
    status_panel->setText(text_of(unit_.status_text));
}

void TfrmMain::FormResize() {
    set_column_widths(false);
    ProgressBar->setValue(0);
    // Files dropped during a run or a preview would change the list the run
    // walks through; drops come back when it ends.
    setAcceptDrops(!busy_);
    if (isMinimized())
        int_drag_drop_text->hide();
    else if (windowState() == Qt::WindowNoState && !unit_.files_loaded)
        int_drag_drop_text->show();
}

void TfrmMain::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    FormResize();
}

void TfrmMain::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange) FormResize();
}

void TfrmMain::FormCloseQuery() {
    // A run in progress sees the hidden window, ends its engine process and
    // starts no other one.
    hide();
}

void TfrmMain::closeEvent(QCloseEvent* event) {
    FormCloseQuery();
    event->accept();
}

void TfrmMain::FormKeyUp(int key) {
    if (key == Qt::Key_Escape) showMinimized();
}

void TfrmMain::keyReleaseEvent(QKeyEvent* event) {
    FormKeyUp(event->key());
    QWidget::keyReleaseEvent(event);
}

void TfrmMain::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void TfrmMain::dropEvent(QDropEvent* event) {
    std::vector<std::string> paths;
    for (const QUrl& url : event->mimeData()->urls()) {
        std::string path = local_path_of(url);
        if (!path.empty()) paths.push_back(std::move(path));
    }
    event->acceptProposedAction();
    do_drop_files(paths);
}

void TfrmMain::do_drop_files(const std::vector<std::string>& paths) {
    if (busy_) return;
    if (!paths.empty()) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        QApplication::processEvents();
        for (const std::string& path : paths) add_path(path);
        if (!files_.rows().empty()) ProgressBar->setValue(0);
        // Drops were accepted before this one; they are again even when it
        // added nothing, so a drop of stray files cannot shut the window.
        setAcceptDrops(true);
        QApplication::restoreOverrideCursor();
    }
    after_paths_added();
}

void TfrmMain::add_path(const std::string& path) {
    setAcceptDrops(false);
    const size_t first = files_.rows().size();
    ::add_path(path, files_);
    for (size_t i = first; i < files_.rows().size(); ++i) append_grid_row(i);
    if (files_.rows().size() == first) return;
    unit_.files_loaded = true;
    // after_paths_added puts the engine's error back when it is missing.
    do_message_bar(panel_.method.index == 0 ? status_click_to_preview : status_ready);
}

void TfrmMain::tmrMainTimer() {
    // Files dropped within the first second may have started a run: the
    // paths of the command line wait for its end (the timer fires again).
    if (busy_) return;
    tmrMain->stop();
    if (!start_.paths.empty()) {
        const bool accepting = acceptDrops();
        QApplication::setOverrideCursor(Qt::WaitCursor);
        QApplication::processEvents();
        for (const std::string& path : start_.paths) add_path(path);
        setAcceptDrops(accepting || !files_.rows().empty());
        QApplication::restoreOverrideCursor();
    }
    after_paths_added();
}

void TfrmMain::after_paths_added() {
    if (!unit_.files_loaded) return;
    int_drag_drop_text->hide();
    // While the engine cannot be found the window stays locked: its error in
    // view and nothing enabled that would start a run or clear the error.
    if (!get_path()) {
        show_engine_missing();
        return;
    }
    if (panel_.auto_run.index == 0) {
        int_button_optimize->setEnabled(true);
        int_button_clear->setEnabled(true);
    } else {
        do_autorun();
    }
}

void TfrmMain::int_button_clear_action() {
    setWindowTitle("velto");
    int_grid_files->setRowCount(0);
    files_.clear();
    set_grid_headers(clear_headers);

    unit_.preview_open = false;
    unit_.engine_options.clear();
    unit_.total_before = unit_.total_after = 0;
    unit_.total_saved = 0;
    unit_.files_loaded = unit_.run_finished = unit_.stop_requested = unit_.preview_failed = false;
    unit_.engine_failed = false;
    unit_.next_row = 1;
    unit_.seconds_total = 0;

    int_button_clear->setEnabled(false);
    int_button_clear->show();
    int_button_optimize->setEnabled(false);
    int_button_optimize->show();
    int_button_resume->hide();
    int_button_settings->setEnabled(true);
    int_button_settings->show();
    int_button_report->setEnabled(true);
    int_button_report->hide();
    int_group_settings->hide();

    change_status_lossy();
    ProgressBar->hide();
    int_grid_files->setEnabled(true);
    int_grid_files->show();
    int_drag_drop_text->show();
    setAcceptDrops(true);

    do_focus();
    do_message_bar(status_ready);
    do_focus();
}

void TfrmMain::show_engine_missing() { do_message_bar(unit_.is_64bit_os ? status_error : status_needs_64bit); }

void TfrmMain::do_lock() {
    if (unit_.files_loaded) int_button_clear_action();
    setAcceptDrops(false);
    int_grid_files->setEnabled(false);
    int_button_optimize->setEnabled(false);
    int_button_clear->setEnabled(false);
    int_button_settings->setEnabled(false);
    do_message_bar(status_error);
}

void TfrmMain::int_button_settings_action() {
    if (!int_group_settings->isHidden()) {
        int_group_settings->hide();
        int_button_reset->setEnabled(false);
        int_button_reset->hide();
        int_button_save->setEnabled(false);
        int_button_save->hide();
        setAcceptDrops(true);
        int_grid_files->show();
        if (unit_.stop_requested)
            int_button_resume->show();
        else
            int_button_optimize->show();
        int_button_clear->show();
        int_button_clear->setEnabled(unit_.files_loaded);
        int_button_optimize->setEnabled(unit_.files_loaded);
        do_message_bar(status_ready);
    } else {
        int_group_settings->show();
        int_button_clear->setEnabled(false);
        int_button_clear->hide();
        int_button_resume->hide();
        int_button_optimize->setEnabled(false);
        int_button_optimize->show();
        int_button_settings->setEnabled(true);
        int_button_settings->show();
        int_button_reset->setEnabled(true);
        int_button_reset->show();
        int_button_save->setEnabled(true);
        int_button_save->show();
        panel_.method.enabled = true;
        change_status_lossy();
        ProgressBar->hide();
        int_grid_files->hide();
        setAcceptDrops(false);
        do_message_bar(status_options);
    }
    do_focus();
    do_focus();
}

void TfrmMain::do_report() {
    int_button_report->setEnabled(false);
    const std::string path = data_file_path("krast.csv");
    if (!write_report(path, files_.rows(), unit_.total_before, unit_.total_after)) {
        // Nothing was replaced; the button stays for another try.
        do_message_bar(status_report_not_written);
        int_button_report->setEnabled(true);
        return;
    }
    open_report(path);
    int_button_report->hide();
    int_button_settings->show();
    do_focus();
    showMinimized();
}
