// Panel rules, Reset and the load order of the settings; see panel_rules.h.
#include "frontend/panel_rules.h"

namespace {

// A check box set from the file: the rules run only when its state changes.
void load_check(panel_state& panel, check_control panel_state::*box, int32_t value) {
    const bool ticked = value != 0;
    if ((panel.*box).ticked == ticked) return;
    (panel.*box).ticked = ticked;
    change_status_lossy(panel);
}

}  // namespace

void change_status_lossy(panel_state& panel) {
    panel.ratio = {true, false};

    const bool lossless = panel.method.index == 1;
    if (lossless) {
        panel.quality_enabled = false;
        panel.quality_label_enabled = false;
        if (panel.srgb.index == 0) panel.srgb.index = 1;
        panel.resize = {false, false};
        panel.resolution.enabled = false;
        panel.resize_heading_enabled = false;
        panel.keep_rgb.enabled = true;
    } else {
        panel.quality_enabled = true;
        panel.quality_label_enabled = true;
        panel.srgb_label_enabled = true;
        panel.srgb.enabled = true;
        panel.resize.enabled = true;
        panel.resize_heading_enabled = true;
        panel.keep_rgb = {false, false};
    }

    if (panel.meta.ticked) {
        panel.srgb = {1, false};
        panel.rotation = {false, false};
    } else {
        if (!lossless) panel.srgb.enabled = true;
        panel.rotation.enabled = true;
    }

    panel.resolution.enabled = panel.resize.enabled && panel.resize.ticked;
}

void reset_panel(panel_state& panel) {
    panel.png_level.index = 0;
    panel.jpeg_level.index = 0;
    panel.method = {0, true};
    panel.quality = 6;
    panel.meta = {false, true};
    panel.rotation = {true, true};
    panel.resize = {false, true};
    panel.multitask.index = 0;
    panel.auto_run.index = 0;
    panel.keep_rgb = {false, true};
    panel.resolution.index = 17;
    panel.srgb.index = 1;
    change_status_lossy(panel);
}

void load_panel(panel_state& panel, const settings_values& values) {
    panel.png_level.index = values.png_level;
    panel.jpeg_level.index = values.jpeg_level;
    panel.method.index = values.method;
    panel.quality = values.quality;
    panel.srgb.index = values.srgb;
    load_check(panel, &panel_state::rotation, values.rotation);
    load_check(panel, &panel_state::resize, values.resize);
    panel.resolution.index = values.resolution;
    load_check(panel, &panel_state::meta, values.keep_meta);
    load_check(panel, &panel_state::keep_rgb, values.keep_rgb);
    panel.multitask.index = values.multitask;
    panel.auto_run.index = values.auto_run;
}

settings_values panel_settings(const panel_state& panel) {
    settings_values v;
    v.png_level = panel.png_level.index;
    v.jpeg_level = panel.jpeg_level.index;
    v.method = panel.method.index;
    v.quality = panel.quality;
    v.srgb = panel.srgb.index;
    v.rotation = panel.rotation.ticked ? 1 : 0;
    v.resize = panel.resize.ticked ? 1 : 0;
    v.resolution = panel.resolution.index;
    v.keep_meta = panel.meta.ticked ? 1 : 0;
    v.keep_rgb = panel.keep_rgb.ticked ? 1 : 0;
    v.multitask = panel.multitask.index;
    v.auto_run = panel.auto_run.index;
    return v;
}
