// The preview window's components and handlers.
#include "frontend/preview_window.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QStatusBar>
#include <QTableWidget>

#include "frontend/form_widgets.h"
#include "frontend/main_window.h"
#include "frontend/preview_rules.h"
#include "frontend/status_text.h"

namespace {

constexpr int client_width = 946;
constexpr int client_height = 710;
constexpr int status_height = 24;
// Distances kept to the right and bottom edges when the window grows.
constexpr int frame_right_gap = client_width - 17 - 892;
constexpr int frame_bottom_gap = client_height - 6 - 590;
constexpr int button_top_gap = client_height - 608;
constexpr int bar_top_gap = client_height - 628;
constexpr int picture_left = 14;
constexpr int picture_top = 27;

QPushButton* make_button(QWidget* parent, const char* name, const char* caption) {
    QPushButton* b = make_form_button(parent, name, caption);
    b->setEnabled(false);
    return b;
}

QLabel* make_key_hint(QWidget* parent, const char* name, const char* text) {
    auto* hint = new QLabel(text, parent);
    hint->setObjectName(name);
    hint->setAlignment(Qt::AlignCenter);
    hint->setFrameShape(QFrame::Panel);
    hint->setFrameShadow(QFrame::Sunken);
    hint->resize(30, 16);
    return hint;
}

}  // namespace

TfrmAbout::TfrmAbout(TfrmMain& main)
    : QDialog(&main, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowMaximizeButtonHint),
      main_(main) {
    build_window();
    FormCreate();
}

void TfrmAbout::build_window() {
    setObjectName("frmAbout");
    setWindowTitle(QString::fromUtf8("预览"));
    setModal(true);
    setMinimumSize(client_width, client_height);
    resize(client_width, client_height);
    setFocusPolicy(Qt::StrongFocus);
    if (const QScreen* s = main_.screen()) move(s->availableGeometry().center() - rect().center());

    int_preview = new QGroupBox(QString::fromUtf8("   图像   "), this);
    int_preview->setObjectName("int_preview");
    Image2 = new QLabel(int_preview);
    Image2->setObjectName("Image2");
    Image2->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    int_button_view_lossy = make_button(this, "int_button_view_lossy", "有损");
    int_button_view_original = make_button(this, "int_button_view_original", "原始");
    int_button_exit = make_button(this, "int_button_exit", "确定");
    int_f1 = make_key_hint(this, "int_f1", "F1");
    int_f2 = make_key_hint(this, "int_f2", "F2");
    connect(int_button_view_lossy, &QPushButton::clicked, this, [this] { view_lossy(); });
    connect(int_button_view_original, &QPushButton::clicked, this, [this] { view_original(); });
    connect(int_button_exit, &QPushButton::clicked, this, [this] { do_close(); });

    settings_quality_info = new QLabel(QString::fromUtf8("质量因子"), this);
    settings_quality_info->setObjectName("settings_quality_info");
    settings_quality_info->adjustSize();
    preview_quality_bar = new QSlider(Qt::Horizontal, this);
    preview_quality_bar->setObjectName("preview_quality_bar");
    preview_quality_bar->setRange(0, 8);
    preview_quality_bar->setPageStep(1);
    preview_quality_bar->setTickPosition(QSlider::TicksBelow);
    preview_quality_bar->setTickInterval(1);
    preview_quality_bar->setValue(7);
    preview_quality_bar->setEnabled(false);
    preview_quality_bar->setFocusPolicy(Qt::NoFocus);
    preview_quality_bar->resize(300, 30);
    connect(preview_quality_bar, &QSlider::valueChanged, this, [this] { change_status_apply(); });

    stbMain = new QStatusBar(this);
    stbMain->setObjectName("stbMain");
    stbMain->setSizeGripEnabled(false);
    status_panel = new QLabel(stbMain);
    status_panel->setObjectName("status_panel");
    status_panel->setMinimumWidth(650);
    QFont bold = status_panel->font();
    bold.setBold(true);
    status_panel->setFont(bold);
    stbMain->addPermanentWidget(status_panel, 1);
}

void TfrmAbout::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    const int w = width();
    const int h = height();
    int_preview->setGeometry(17, 6, w - 17 - frame_right_gap, h - 6 - frame_bottom_gap);
    const int button_y = h - button_top_gap;
    int_button_view_lossy->move(w - (client_width - 621), button_y);
    int_button_view_original->move(w - (client_width - 721), button_y);
    int_button_exit->move(w - (client_width - 821), button_y);
    int_f1->move(int_button_view_lossy->x() + 30, button_y + 42);
    int_f2->move(int_button_view_original->x() + 30, button_y + 42);
    preview_quality_bar->move(290, h - bar_top_gap);
    settings_quality_info->move(290 - settings_quality_info->width() - 12, h - bar_top_gap + 6);
    stbMain->setGeometry(0, h - status_height, w, status_height);
    fit_picture();
}

// The picture keeps its proportions and is only ever scaled down to fit the
// frame.
void TfrmAbout::fit_picture() {
    if (picture_.isNull()) {
        Image2->clear();
        return;
    }
    const QSize room(int_preview->width() - 2 * picture_left, int_preview->height() - picture_top - picture_left);
    QPixmap shown = picture_;
    if (picture_.width() > room.width() || picture_.height() > room.height())
        shown = picture_.scaled(room, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    Image2->setPixmap(shown);
    Image2->setGeometry(picture_left, picture_top, shown.width(), shown.height());
}

void TfrmAbout::show_picture(const QPixmap& picture) {
    picture_ = picture;
    fit_picture();
    Image2->show();
}

void TfrmAbout::FormCreate() {
    first_lossy_view = true;
    preview_quality_bar->blockSignals(true);
    preview_quality_bar->setValue(main_.panel_.quality);
    preview_quality_bar->blockSignals(false);
    rendered_quality = main_.panel_.quality;
    int_button_exit->setEnabled(true);
    int_button_view_lossy->setEnabled(true);
    int_button_view_original->setEnabled(false);
    preview_quality_bar->setEnabled(true);
    view_original();
    if (preview_opens_maximised(picture_.width(), picture_.height())) setWindowState(Qt::WindowMaximized);
    do_message_bar(preview_status_original, preview_shown_size);
    preview_closing = false;
}

void TfrmAbout::view_original() {
    preview_busy = true;
    disable_stuff();
    show_picture(main_.Image3->pixmap());
    preview_shown_size = main_.unit_.source_preview_size;
    change_status_button(preview_status_original);
    do_message_bar(preview_status_original, preview_shown_size);
    do_focus();
    preview_busy = false;
}

void TfrmAbout::view_lossy() {
    preview_busy = true;
    disable_stuff();
    if (lossy_view_renders(first_lossy_view, quality_position(), rendered_quality)) {
        apply_lossy();
        first_lossy_view = false;
    } else {
        show_picture(main_.Image4->pixmap());
        preview_shown_size = main_.unit_.lossy_preview_size;
    }
    rendered_quality = quality_position();
    change_status_button(preview_status_lossy);
    do_message_bar(preview_status_lossy, preview_shown_size);
    // A lossy picture that could not be made leaves the last one in view;
    // the status bar says so instead of passing it off as the lossy result.
    if (main_.unit_.preview_failed)
        status_panel->setText(QString::fromStdString(status_message(status_cannot_preview, "", 0)));
    do_focus();
    preview_busy = false;
}

void TfrmAbout::apply_lossy() {
    main_.preview_lossy();
    show_picture(main_.Image1->pixmap());
    preview_shown_size = main_.unit_.shown_preview_size;
}

bool TfrmAbout::check_settings() const { return quality_position() != rendered_quality; }

void TfrmAbout::change_status_apply() {
    if (preview_closing) return;
    int_button_view_lossy->setEnabled(true);
    do_focus();
}

void TfrmAbout::change_status_button(int kind) {
    int_button_view_lossy->setEnabled(kind != preview_status_lossy);
    int_button_view_original->setEnabled(kind == preview_status_lossy);
    preview_quality_bar->setEnabled(true);
    int_button_exit->setEnabled(true);
}

void TfrmAbout::disable_stuff() {
    int_button_exit->setEnabled(false);
    int_button_view_lossy->setEnabled(false);
    int_button_view_original->setEnabled(false);
    preview_quality_bar->setEnabled(false);
}

void TfrmAbout::set_from_preview() {
    main_.set_quality_position(quality_position());
    status_panel->clear();
}

void TfrmAbout::do_focus() {
    if (preview_closing) return;
    // No control keeps the focus: F1, F2 and Escape reach the window.
    setFocus(Qt::OtherFocusReason);
}

void TfrmAbout::FormKeyUp(int key) {
    if (preview_busy) return;
    if (key == Qt::Key_Escape)
        do_close();
    else if (key == Qt::Key_F1 && int_button_view_lossy->isEnabled())
        view_lossy();
    else if (key == Qt::Key_F2 && int_button_view_original->isEnabled())
        view_original();
}

void TfrmAbout::do_message_bar(int kind, uint64_t size) {
    status_panel->setText(QString::fromStdString(preview_status_text(kind, size)));
}

int32_t TfrmAbout::quality_position() const { return preview_quality_bar->value(); }

void TfrmAbout::do_close() {
    preview_busy = true;
    remove_preview_files();
    disable_stuff();
    set_from_preview();
    main_.int_grid_files->setEnabled(true);
    main_.destroy_preview();
    main_.do_message_bar(status_click_to_preview);
    main_.do_focus();
    preview_closing = true;
    hide();
    accept();
}

void TfrmAbout::keyPressEvent(QKeyEvent* event) {
    // Escape acts when released (FormKeyUp), through do_close; the dialog's
    // own Escape handling would close the window without it.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TfrmAbout::keyReleaseEvent(QKeyEvent* event) {
    FormKeyUp(event->key());
    QDialog::keyReleaseEvent(event);
}

void TfrmAbout::closeEvent(QCloseEvent* event) {
    // A close from the window manager goes the way of OK, so the preview
    // files never stay behind; it waits while a view is being prepared.
    if (preview_closing) {
        event->accept();
        return;
    }
    event->ignore();
    if (!preview_busy) do_close();
}
