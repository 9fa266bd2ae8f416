#include "core/png/apng_strip.h"

#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <new>

namespace {

[[noreturn]] void trap_png_error(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void ignore_png_warning(png_structp, png_const_charp) {}

struct memory_source {
    const uint8_t* data;
    size_t size;
    size_t position;
};

void read_from_memory(png_structp png, png_bytep out, png_size_t length) {
    auto* source = static_cast<memory_source*>(png_get_io_ptr(png));
    if (length > source->size - source->position) png_error(png, "read past the end of the data");
    std::memcpy(out, source->data + source->position, length);
    source->position += length;
}

// What libpng says about the image once its transformations are set.
struct png_layout {
    uint32_t width, height, channels, colour_type;
    int palette_count;
    uint8_t palette[768];
    int trns_length;
    uint8_t trns[256];
};

// libpng's read up to the pixels. No object with a destructor lives here, so
// libpng's error jump skips nothing.
bool read_png_layout(png_structp png, png_infop info, memory_source* source, png_layout* layout) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_read_fn(png, source, read_from_memory);
    png_read_info(png, info);
    const int colour_type = png_get_color_type(png, info);
    const int bit_depth = png_get_bit_depth(png, info);
    if (bit_depth < 8) {
        if (colour_type == PNG_COLOR_TYPE_PALETTE)
            png_set_packing(png);
        else
            png_set_expand(png);
    }
    png_set_strip_16(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    layout->width = png_get_image_width(png, info);
    layout->height = png_get_image_height(png, info);
    layout->channels = png_get_channels(png, info);
    layout->colour_type = png_get_color_type(png, info);
    layout->palette_count = 0;
    layout->trns_length = 0;
    png_colorp palette = nullptr;
    int palette_count = 0;
    if (png_get_PLTE(png, info, &palette, &palette_count) & PNG_INFO_PLTE) {
        if (palette_count > 256) palette_count = 256;
        for (int i = 0; i < palette_count; ++i) {
            layout->palette[3 * i] = palette[i].red;
            layout->palette[3 * i + 1] = palette[i].green;
            layout->palette[3 * i + 2] = palette[i].blue;
        }
        layout->palette_count = palette_count;
    }
    png_bytep alphas = nullptr;
    int alpha_count = 0;
    png_color_16p key = nullptr;
    if ((png_get_tRNS(png, info, &alphas, &alpha_count, &key) & PNG_INFO_tRNS) && alpha_count > 0) {
        if (layout->colour_type == PNG_COLOR_TYPE_GRAY && key) {
            layout->trns[0] = 0;
            layout->trns[1] = uint8_t(key->gray);
            layout->trns_length = 2;
        } else if (layout->colour_type == PNG_COLOR_TYPE_RGB && key) {
            const uint8_t bytes[6] = {0, uint8_t(key->red), 0, uint8_t(key->green), 0, uint8_t(key->blue)};
            std::memcpy(layout->trns, bytes, 6);
            layout->trns_length = 6;
        } else if (layout->colour_type == PNG_COLOR_TYPE_PALETTE && alphas) {
            if (alpha_count > 256) alpha_count = 256;
            std::memcpy(layout->trns, alphas, size_t(alpha_count));
            layout->trns_length = alpha_count;
        }
    }
    return true;
}

bool read_png_pixels(png_structp png, png_infop info, png_bytepp rows) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_read_image(png, rows);
    png_read_end(png, info);
    return true;
}

}  // namespace

bool build_frame_strip(const std::vector<ImageRows>& frames, std::vector<uint8_t>& strip) {
    size_t total = 0;
    for (const ImageRows& frame : frames) total += frame.pixels.size();
    try {
        strip.clear();
        strip.reserve(total);
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (const ImageRows& frame : frames) strip.insert(strip.end(), frame.pixels.begin(), frame.pixels.end());
    return true;
}

int read_png_frame(const uint8_t* data, size_t size, apng_frame& record) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, trap_png_error, ignore_png_warning);
    if (!png) return 1;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return 1;
    }
    memory_source source{data, size, 0};
    png_layout layout;
    bool ok = read_png_layout(png, info, &source, &layout) && layout.channels >= 1 && layout.channels <= 4 &&
              record.init(layout.width, layout.height, layout.channels) &&
              png_get_rowbytes(png, info) == record.row_bytes();
    ok = ok && read_png_pixels(png, info, record.rows.data());
    png_destroy_read_struct(&png, &info, nullptr);
    if (!ok) {
        record.free();
        return 1;
    }
    record.colour_type = layout.colour_type;
    record.palette_count = layout.palette_count;
    std::memcpy(record.palette, layout.palette, size_t(layout.palette_count) * 3);
    record.trns_length = layout.trns_length;
    std::memcpy(record.trns, layout.trns, size_t(layout.trns_length));
    return 0;
}

int cut_frame_strip(const apng_frame& strip, uint32_t frame_count, uint32_t frame_height,
                    const std::vector<ImageRows>& delays, std::vector<apng_frame>& frame_set,
                    uint32_t& colour_type) {
    if (frame_count == 0 || strip.height % frame_count != 0 || delays.size() != frame_count) return 1;
    colour_type = strip.colour_type;
    const uint32_t rows = std::min(frame_height, strip.height / frame_count);
    try {
        frame_set.clear();
        frame_set.resize(frame_count);
    } catch (const std::bad_alloc&) {
        frame_set.clear();
        return 1;
    }
    for (uint32_t j = 0; j < frame_count; ++j) {
        apng_frame& record = frame_set[j];
        if (!record.init(strip.width, rows, strip.bytes_per_pixel)) {
            frame_set.clear();
            return 1;
        }
        record.colour_type = strip.colour_type;
        record.palette_count = strip.palette_count;
        std::memcpy(record.palette, strip.palette, sizeof(record.palette));
        record.trns_length = strip.trns_length;
        std::memcpy(record.trns, strip.trns, sizeof(record.trns));
        record.delay_num = delays[j].delay_num;
        record.delay_den = delays[j].delay_den;
        std::memcpy(record.pixels.data(), strip.rows[size_t(j) * rows], record.pixels.size());
    }
    return 0;
}

int frames_to_frame_set(const std::vector<ImageRows>& frames, std::vector<apng_frame>& frame_set) {
    try {
        frame_set.clear();
        frame_set.resize(frames.size());
    } catch (const std::bad_alloc&) {
        frame_set.clear();
        return 1;
    }
    for (size_t j = 0; j < frames.size(); ++j) {
        apng_frame& record = frame_set[j];
        if (!record.init(frames[j].width, frames[j].height, 4)) {
            frame_set.clear();
            return 1;
        }
        record.colour_type = 6;
        record.delay_num = frames[j].delay_num;
        record.delay_den = frames[j].delay_den;
        std::memcpy(record.pixels.data(), frames[j].pixels.data(), record.pixels.size());
    }
    return 0;
}
