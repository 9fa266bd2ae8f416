// The main window: the file grid, the buttons that start, pause, resume and
// clear a run and write the report, the settings panel that replaces the grid
// while it is open, a progress bar and a one-panel status bar; it runs the
// engine over the grid's files and prepares the pictures of the preview
// window. Component and handler names are those of the form; the decisions
// live in the plain logic (panel_rules, option_string, file_list,
// status_text, report, settings_file, batching, row_results, run_texts,
// preview_rules) and the handlers here apply them to the widgets. Runs are in
// main_runs.cpp, previews in main_preview.cpp.
#pragma once
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "frontend/file_list.h"
#include "frontend/main_unit.h"
#include "frontend/panel_rules.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QSlider;
class QStatusBar;
class QTableWidget;
class QTimer;
class TfrmAbout;

// What the program hands the window at start.
struct frontend_start {
    std::string program_folder;      // folder searched for `core`, ending in "/"
    std::vector<std::string> paths;  // paths named on the command line
};

class TfrmMain : public QWidget {
    Q_OBJECT

public:
    explicit TfrmMain(const frontend_start& start, QWidget* parent = nullptr);

    // Form events and handlers.
    void FormCreate();
    void FormResize();
    void FormCloseQuery();
    void FormKeyUp(int key);
    void do_drop_files(const std::vector<std::string>& paths);
    void add_path(const std::string& path);
    void tmrMainTimer();
    void int_grid_filesFixedCellClick(int column, int row);
    void int_button_clear_action();
    void int_button_settings_action();
    void int_button_optimize_action();
    void do_autorun();
    void do_stop();
    void do_report();
    void do_lock();
    void do_focus();
    void do_message_bar(int code);

    // Engine location and settings file.
    bool get_path();
    void get_ini();
    bool save_ini();
    void reset_ini();
    void int_button_save_action();

    // Settings panel: the rules applied to the controls, and the option string
    // of a run (`preview` false) or of a lossy preview at `preview_quality`.
    void change_status_lossy();
    void set_flags(bool preview, int32_t preview_quality = 0);

    // Engine runs: every start goes through run_engine; the handshake locks
    // the window when the engine does not answer.
    uint32_t run_engine(const std::vector<std::string>& args);
    bool handshake();

    // Preview of the selected row: may it be previewed, the view of the
    // unchanged file or of the lossy result, and the engine run that makes it.
    bool preview_check();
    void preview_original();
    void preview_lossy();
    void view_image(bool lossy);
    void destroy_preview();

    // An engine run or a preview is in progress: nothing may start another.
    bool busy() const { return busy_; }

    main_unit_state& unit() { return unit_; }
    file_list& files() { return files_; }
    const panel_state& panel() const { return panel_; }
    const std::string& ini_path() const { return ini_path_; }

    // Opens the written report in the user's program for CSV files; tests
    // replace it.
    std::function<void(const std::string&)> open_report;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    friend class TfrmAbout;

    // Marks the window busy for the life of a scope.
    struct busy_scope {
        TfrmMain& window;
        explicit busy_scope(TfrmMain& w) : window(w) { window.busy_ = true; }
        ~busy_scope() { window.busy_ = false; }
    };

    void build_window();
    void build_settings_panel();
    void show_panel_state();
    void set_grid_headers(const char* const (&texts)[3]);
    void set_column_widths(bool at_creation);
    void append_grid_row(size_t index);
    void after_paths_added();
    void show_engine_missing();
    void update_grid_row(size_t index);
    void run_rows(uint32_t first, uint32_t end);
    void show_progress();
    void end_run(int64_t start_ms);
    std::string selected_path() const;
    void preview_selected(bool lossy);
    void set_quality_position(int32_t position);

    frontend_start start_;
    main_unit_state unit_;
    file_list files_;
    panel_state panel_;
    std::string ini_path_;
    bool busy_ = false;
    uint32_t batch_size_ = 0;
    TfrmAbout* frmAbout = nullptr;  // the open preview window

    // Picture holders of the preview (never shown in this window).
    QLabel* Image1 = nullptr;
    QLabel* Image3 = nullptr;
    QLabel* Image4 = nullptr;

    QTableWidget* int_grid_files = nullptr;
    QLabel* int_drag_drop_text = nullptr;
    QStatusBar* stbMain = nullptr;
    QLabel* status_panel = nullptr;
    QProgressBar* ProgressBar = nullptr;
    QPushButton* int_button_optimize = nullptr;
    QPushButton* int_button_clear = nullptr;
    QPushButton* int_button_settings = nullptr;
    QPushButton* int_button_stop = nullptr;
    QPushButton* int_button_resume = nullptr;
    QPushButton* int_button_report = nullptr;
    QPushButton* int_button_save = nullptr;
    QPushButton* int_button_reset = nullptr;
    QGroupBox* int_group_settings = nullptr;
    QTimer* tmrMain = nullptr;

    // Settings panel controls.
    QComboBox* int_compression_level = nullptr;
    QComboBox* int_compression_level_jpeg = nullptr;
    QComboBox* settings_enable_lossy = nullptr;
    QSlider* settings_quality_bar = nullptr;
    QLabel* settings_quality_info = nullptr;
    QComboBox* settings_srgb_transform = nullptr;
    QLabel* settings_color_profile = nullptr;
    QCheckBox* settings_image_resize = nullptr;
    QLabel* settings_resize_text = nullptr;
    QComboBox* settings_resolution = nullptr;
    QCheckBox* settings_ratio = nullptr;
    QCheckBox* settings_jpeg_rotation = nullptr;
    QCheckBox* settings_keep_rgb = nullptr;
    QCheckBox* settings_meta = nullptr;
    QComboBox* settings_multitask_list = nullptr;
    QComboBox* settings_auto_run = nullptr;
};
