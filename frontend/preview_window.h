// The preview window: a modal dialog that shows one picture at a time, the
// view of the unchanged file or of the lossy result, each with its file size,
// and lets the user try another quality position; closing it deletes the
// preview files and hands the position back to the main settings. The main
// window runs the engine and keeps the pictures (Image1, Image3, Image4); the
// window shows them. Closed only by its OK button or Escape.
#pragma once
#include <QDialog>
#include <QPixmap>
#include <cstdint>

class QGroupBox;
class QLabel;
class QPushButton;
class QSlider;
class QStatusBar;
class TfrmMain;

class TfrmAbout : public QDialog {
    Q_OBJECT

public:
    explicit TfrmAbout(TfrmMain& main);

    // Form creation: quality position from the main settings, the view of the
    // unchanged file, maximised for a large picture.
    void FormCreate();
    void view_lossy();
    void view_original();
    void do_close();
    void apply_lossy();
    bool check_settings() const;
    void change_status_apply();
    void change_status_button(int kind);
    void disable_stuff();
    void set_from_preview();
    void do_focus();
    void FormKeyUp(int key);
    void do_message_bar(int kind, uint64_t size);

    int32_t quality_position() const;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void build_window();
    void show_picture(const QPixmap& picture);
    void fit_picture();

    TfrmMain& main_;

    bool preview_closing = false;
    bool preview_busy = false;  // a view is being prepared or the window closes
    bool first_lossy_view = true;
    int32_t rendered_quality = 0;
    uint64_t preview_shown_size = 0;
    QPixmap picture_;  // the picture shown, at its own size

    QGroupBox* int_preview = nullptr;
    QLabel* Image2 = nullptr;
    QPushButton* int_button_view_lossy = nullptr;
    QPushButton* int_button_view_original = nullptr;
    QPushButton* int_button_exit = nullptr;
    QLabel* int_f1 = nullptr;
    QLabel* int_f2 = nullptr;
    QSlider* preview_quality_bar = nullptr;
    QLabel* settings_quality_info = nullptr;
    QStatusBar* stbMain = nullptr;
    QLabel* status_panel = nullptr;
};
