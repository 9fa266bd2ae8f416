// Option string of the engine; see option_string.h.
#include "frontend/option_string.h"

#include <algorithm>

int resize_target_for(int32_t index) {
    index = std::clamp(index, 0, resize_choices - 1);
    return index == resize_choices - 1 ? 64 : 4096 - 128 * index;
}

std::string build_engine_options(const panel_state& panel, bool preview, int32_t preview_quality) {
    std::string s = "-notime ";
    const int32_t multitask = panel.multitask.index;
    if (multitask >= 1 && multitask <= 4) s += "-process=" + std::to_string(multitask) + " ";
    const bool lossless = panel.method.index == 1;
    if (lossless) s += "-l ";
    s += "-png-s" + std::to_string(std::clamp(panel.png_level.index, 0, 3) + 1) + " ";
    s += "-jpg-s" + std::to_string(std::clamp(panel.jpeg_level.index, 0, 3)) + " ";
    if (panel.rotation.ticked) s += "-rotate ";
    if (panel.keep_rgb.ticked) s += "-noalpha ";
    if (!lossless || preview) {
        if (panel.resize.ticked) s += "-resize=" + std::to_string(resize_target_for(panel.resolution.index)) + " ";
        const int32_t position = std::clamp(preview ? preview_quality : panel.quality, 0, 8);
        s += "-q=" + std::to_string(quality_table[static_cast<size_t>(position)]) + " ";
    }
    if (panel.meta.ticked)
        s += "-nostrip ";
    else if (panel.srgb.index == 0)
        s += "-srgb ";
    else if (panel.srgb.index == 2)
        s += "-strip ";
    return s;
}
