#include "core/png/apng_frame.h"

#include <cstring>
#include <new>

bool ImageRows::init(uint32_t new_width, uint32_t new_height, uint32_t new_bytes_per_pixel) {
    free();
    const uint64_t row = uint64_t(new_width) * new_bytes_per_pixel;
    const uint64_t total = row * new_height;
    if (new_height != 0 && total / new_height != row) return false;
    if (total > pixels.max_size()) return false;
    try {
        pixels.assign(size_t(total), 0);
        rows.resize(new_height);
    } catch (const std::bad_alloc&) {
        free();
        return false;
    }
    width = new_width;
    height = new_height;
    bytes_per_pixel = new_bytes_per_pixel;
    for (uint32_t y = 0; y < new_height; ++y) rows[y] = pixels.data() + size_t(row) * y;
    return true;
}

void ImageRows::free() {
    std::vector<uint8_t>().swap(pixels);
    std::vector<uint8_t*>().swap(rows);
    width = 0;
    height = 0;
}

apng_frame::apng_frame() {
    delay_num = 1;
    delay_den = 10;
    std::memset(palette, 255, sizeof(palette));
    std::memset(trns, 255, sizeof(trns));
}
