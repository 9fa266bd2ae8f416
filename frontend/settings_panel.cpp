// The settings panel's controls and their binding to the panel record: a
// user's pick or click updates the record, runs the handler the control is
// bound to (the panel rules or the focus housekeeping), and the record is
// shown again with the widgets' signals blocked, so only user actions reach
// the handlers, as with the form library's combo boxes.
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QSignalBlocker>
#include <QSlider>

#include "frontend/main_window.h"
#include "frontend/option_string.h"

namespace {

constexpr int panel_x = 15;
constexpr int panel_width = 711;
constexpr int label_x = 24;
constexpr int control_x = 170;
constexpr int control_width = 400;

QFrame* make_panel(QWidget* parent, const char* name, int y, int height) {
    auto* panel = new QFrame(parent);
    panel->setObjectName(name);
    panel->setGeometry(panel_x, y, panel_width, height);
    panel->setFrameShape(QFrame::StyledPanel);
    return panel;
}

QLabel* make_label(QWidget* parent, const char* name, const char* text, int x, int y, bool heading = false) {
    auto* label = new QLabel(QString::fromUtf8(text), parent);
    label->setObjectName(name);
    label->move(x, y);
    if (heading) {
        QFont bold = label->font();
        bold.setBold(true);
        label->setFont(bold);
    }
    label->adjustSize();
    return label;
}

QComboBox* make_combo(QWidget* parent, const char* name, const QStringList& items, int x, int y, int width) {
    auto* combo = new QComboBox(parent);
    combo->setObjectName(name);
    combo->addItems(items);
    combo->setEditable(false);
    combo->setGeometry(x, y, width, 24);
    combo->setFocusPolicy(Qt::ClickFocus);
    return combo;
}

QCheckBox* make_check(QWidget* parent, const char* name, const char* text, int x, int y) {
    auto* box = new QCheckBox(QString::fromUtf8(text), parent);
    box->setObjectName(name);
    box->move(x, y);
    box->adjustSize();
    box->setFocusPolicy(Qt::ClickFocus);
    return box;
}

QStringList items(std::initializer_list<const char*> texts) {
    QStringList list;
    for (const char* t : texts) list << QString::fromUtf8(t);
    return list;
}

void show_combo(QComboBox* combo, const combo_control& state) {
    const QSignalBlocker block(combo);
    combo->setCurrentIndex(state.index);
    combo->setEnabled(state.enabled);
}

void show_check(QCheckBox* box, const check_control& state) {
    const QSignalBlocker block(box);
    box->setChecked(state.ticked);
    box->setEnabled(state.enabled);
}

}  // namespace

void TfrmMain::build_settings_panel() {
    int_group_settings = new QGroupBox(QString::fromUtf8("    设置    "), this);
    int_group_settings->setObjectName("int_group_settings");
    int_group_settings->setGeometry(15, 14, 741, 576);
    int_group_settings->hide();

    // Compression levels.
    QFrame* compression = make_panel(int_group_settings, "panel_compression", 28, 112);
    make_label(compression, "int_compression_level_text", "压缩级别", 12, 10, true);
    make_label(compression, "int_png", "PNG :", label_x, 44);
    int_compression_level = make_combo(compression, "int_compression_level",
                                       items({"快速压缩", "平均节省/速度", "高压缩(慢)", "极度压缩(非常慢)"}),
                                       control_x, 40, control_width);
    make_label(compression, "int_jpeg", "JPEG :", label_x, 78);
    int_compression_level_jpeg = make_combo(compression, "int_compression_level_jpeg",
                                            items({"基线 - 最快的编码，快速解码", "基线 - 快速编码和解码",
                                                   "渐进 - 快速编码，缓慢解码", "最好节省 - 慢编码和解码"}),
                                            control_x, 74, control_width);

    // Method, quality, colour profile, resizing and the other choices.
    QFrame* lossy = make_panel(int_group_settings, "panel_lossy", 150, 276);
    make_label(lossy, "settings_quality_text", "压缩类型", 12, 10, true);
    make_label(lossy, "settings_compression_text", "方法 :", label_x, 44);
    settings_enable_lossy = make_combo(lossy, "settings_enable_lossy", items({"有损 - 自动压缩", "无损压缩"}),
                                       control_x, 40, control_width);
    settings_quality_info = make_label(lossy, "settings_quality_info", "品质因数 :", label_x, 80);
    settings_quality_bar = new QSlider(Qt::Horizontal, lossy);
    settings_quality_bar->setObjectName("settings_quality_bar");
    settings_quality_bar->setRange(0, 8);
    settings_quality_bar->setPageStep(1);
    settings_quality_bar->setTickPosition(QSlider::TicksBelow);
    settings_quality_bar->setTickInterval(1);
    settings_quality_bar->setGeometry(control_x, 72, control_width, 30);
    settings_quality_bar->setFocusPolicy(Qt::ClickFocus);
    settings_color_profile = make_label(lossy, "settings_color_profile", "颜色配置 :", label_x, 116);
    settings_srgb_transform = make_combo(
        lossy, "settings_srgb_transform",
        items({"转换图像数据为 sRGB", "保留 ICC 颜色配置文件", "删除 ICC 颜色配置文件"}), control_x, 112,
        control_width);

    settings_resize_text = make_label(lossy, "settings_resize_text", "调整大小", 12, 152, true);
    settings_image_resize = make_check(lossy, "settings_image_resize", "限制最大宽度/高度(调整大小)为 :", label_x, 178);
    QStringList sizes;
    for (int i = 0; i < resize_choices; ++i) sizes << QString::number(resize_target_for(i)) + QString::fromUtf8(" 像素");
    settings_resolution = make_combo(lossy, "settings_resolution", sizes, 300, 176, 130);
    settings_ratio = make_check(lossy, "settings_ratio", "保持比例", 450, 178);

    make_label(lossy, "settings_misc", "其他", 12, 212, true);
    settings_jpeg_rotation = make_check(lossy, "settings_jpeg_rotation", "JPEG 自动旋转(方向)", label_x, 238);
    settings_meta = make_check(lossy, "settings_meta", "保存所有元数据", 300, 238);
    settings_keep_rgb = make_check(lossy, "settings_keep_rgb", "保持所有的颜色，即使是透明的", 450, 238);

    // Machine use and what happens to files as they arrive.
    QFrame* multitask = make_panel(int_group_settings, "panel_multitask", 436, 118);
    make_label(multitask, "settings_multitask_text", "处理方式", 12, 10, true);
    make_label(multitask, "settings_resource", "资源使用情况 :", label_x, 44);
    settings_multitask_list = make_combo(multitask, "settings_multitask_list",
                                         items({"利用所有可用资源", "有限 - 但仍然优先考虑", "资源高于处理速度",
                                                "保留大部分资源", "后台运行"}),
                                         control_x, 40, control_width);
    make_label(multitask, "settings_drag_text", "自动运行文件 :", label_x, 78);
    settings_auto_run = make_combo(multitask, "settings_auto_run",
                                   items({"等待 - 不要自动处理", "优化文件并等待完成", "优化文件并在完成后关闭"}),
                                   control_x, 74, control_width);

    // After a change the control's handler runs: the panel rules, or only the
    // focus housekeeping.
    const auto run_handler = [this](bool rules) {
        if (rules)
            change_status_lossy();
        else
            do_focus();
    };
    // Combo boxes: the user's pick only.
    const auto on_pick = [this, run_handler](QComboBox* combo, combo_control panel_state::*field, bool rules) {
        connect(combo, &QComboBox::activated, this, [this, run_handler, field, rules](int index) {
            (panel_.*field).index = index;
            run_handler(rules);
        });
    };
    on_pick(int_compression_level, &panel_state::png_level, false);
    on_pick(int_compression_level_jpeg, &panel_state::jpeg_level, false);
    on_pick(settings_enable_lossy, &panel_state::method, true);
    on_pick(settings_srgb_transform, &panel_state::srgb, true);
    on_pick(settings_resolution, &panel_state::resolution, false);
    on_pick(settings_multitask_list, &panel_state::multitask, false);
    on_pick(settings_auto_run, &panel_state::auto_run, false);

    // Check boxes: every change of state.
    const auto on_toggle = [this, run_handler](QCheckBox* box, check_control panel_state::*field, bool rules) {
        connect(box, &QCheckBox::toggled, this, [this, run_handler, field, rules](bool ticked) {
            (panel_.*field).ticked = ticked;
            run_handler(rules);
        });
    };
    on_toggle(settings_image_resize, &panel_state::resize, true);
    on_toggle(settings_ratio, &panel_state::ratio, false);
    on_toggle(settings_jpeg_rotation, &panel_state::rotation, true);
    on_toggle(settings_keep_rgb, &panel_state::keep_rgb, true);
    on_toggle(settings_meta, &panel_state::meta, true);

    connect(settings_quality_bar, &QSlider::valueChanged, this, [this](int position) {
        panel_.quality = position;
        do_focus();
    });

    show_panel_state();
}

void TfrmMain::show_panel_state() {
    show_combo(int_compression_level, panel_.png_level);
    show_combo(int_compression_level_jpeg, panel_.jpeg_level);
    show_combo(settings_enable_lossy, panel_.method);
    {
        const QSignalBlocker block(settings_quality_bar);
        settings_quality_bar->setValue(panel_.quality);
        settings_quality_bar->setEnabled(panel_.quality_enabled);
    }
    settings_quality_info->setEnabled(panel_.quality_label_enabled);
    show_combo(settings_srgb_transform, panel_.srgb);
    settings_color_profile->setEnabled(panel_.srgb_label_enabled);
    show_check(settings_image_resize, panel_.resize);
    settings_resize_text->setEnabled(panel_.resize_heading_enabled);
    show_combo(settings_resolution, panel_.resolution);
    show_check(settings_ratio, panel_.ratio);
    show_check(settings_jpeg_rotation, panel_.rotation);
    show_check(settings_keep_rgb, panel_.keep_rgb);
    show_check(settings_meta, panel_.meta);
    show_combo(settings_multitask_list, panel_.multitask);
    show_combo(settings_auto_run, panel_.auto_run);
}
