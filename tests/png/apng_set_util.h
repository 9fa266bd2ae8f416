// Frame records for the frame-set and writer tests, and what a set shows:
// every record as RGBA8 by the first record's colour type, palette and tRNS.
#pragma once
#include <cstring>
#include <vector>

#include "core/png/apng_frame.h"
#include "png/apng_builder.h"

namespace apng_test {

inline apng_frame make_frame(uint32_t width, uint32_t height, uint32_t colour_type, const bytes& pixels,
                             uint32_t delay_num = 1, uint32_t delay_den = 10) {
    const uint32_t bpp = colour_type == 6 ? 4 : colour_type == 2 ? 3 : colour_type == 4 ? 2 : 1;
    apng_frame frame;
    frame.init(width, height, bpp);
    std::memcpy(frame.pixels.data(), pixels.data(), frame.pixels.size());
    frame.colour_type = colour_type;
    frame.delay_num = delay_num;
    frame.delay_den = delay_den;
    return frame;
}

inline apng_frame grey_frame(uint32_t width, uint32_t height, const bytes& pixels, uint32_t num, uint32_t den) {
    return make_frame(width, height, 0, pixels, num, den);
}

inline void set_description(apng_frame& first, const bytes& plte, const bytes& trns) {
    first.palette_count = int32_t(plte.size() / 3);
    if (!plte.empty()) std::memcpy(first.palette, plte.data(), plte.size());
    first.trns_length = int32_t(trns.size());
    if (!trns.empty()) std::memcpy(first.trns, trns.data(), trns.size());
}

inline std::vector<bytes> set_as_rgba(const std::vector<apng_frame>& set) {
    const apng_frame& first = set.front();
    std::vector<bytes> out;
    for (const apng_frame& frame : set) {
        bytes rgba;
        const size_t count = size_t(frame.width) * frame.height;
        for (size_t i = 0; i < count; ++i) {
            const uint8_t* p = frame.pixels.data() + i * frame.bytes_per_pixel;
            uint8_t r = 0, g = 0, b = 0, a = 255;
            switch (first.colour_type) {
                case 0:
                    r = g = b = p[0];
                    if (first.trns_length >= 2 && p[0] == first.trns[1]) a = 0;
                    break;
                case 2:
                    r = p[0], g = p[1], b = p[2];
                    if (first.trns_length >= 6 && r == first.trns[1] && g == first.trns[3] && b == first.trns[5]) a = 0;
                    break;
                case 3:
                    r = first.palette[3 * p[0]], g = first.palette[3 * p[0] + 1], b = first.palette[3 * p[0] + 2];
                    if (p[0] < first.trns_length) a = first.trns[p[0]];
                    break;
                case 4: r = g = b = p[0], a = p[1]; break;
                default: r = p[0], g = p[1], b = p[2], a = p[3]; break;
            }
            rgba.insert(rgba.end(), {r, g, b, a});
        }
        out.push_back(rgba);
    }
    return out;
}

// Equal RGBA8 blocks, ignoring the colour of pixels transparent in both.
inline bool same_visible(const bytes& a, const bytes& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i + 3 < a.size(); i += 4) {
        if (a[i + 3] == 0 && b[i + 3] == 0) continue;
        if (std::memcmp(&a[i], &b[i], 4) != 0) return false;
    }
    return true;
}

}  // namespace apng_test
