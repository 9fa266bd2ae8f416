// Colour conversion between PNG colour modes and colour statistics.
#include "core/png/codec/colour_convert.h"

#include <cstring>
#include <new>

namespace {

inline uint32_t child_number(uint8_t red, uint8_t green, uint8_t blue, uint8_t alpha, int level) {
    return ((red >> level) & 1u) << 3 | ((green >> level) & 1u) << 2 | ((blue >> level) & 1u) << 1 |
           ((alpha >> level) & 1u);
}

// A sub-byte sample, most significant bits first.
inline uint32_t read_bits(const uint8_t* data, uint64_t index, uint32_t depth) {
    const uint64_t bit = index * depth;
    const uint32_t shift = 8 - depth - static_cast<uint32_t>(bit & 7);
    return (data[bit >> 3] >> shift) & ((1u << depth) - 1);
}

inline void write_bits(uint8_t* data, uint64_t index, uint32_t depth, uint32_t value) {
    const uint64_t bit = index * depth;
    const uint32_t shift = 8 - depth - static_cast<uint32_t>(bit & 7);
    const uint32_t mask = ((1u << depth) - 1) << shift;
    uint8_t& byte = data[bit >> 3];
    byte = static_cast<uint8_t>((byte & ~mask) | ((value << shift) & mask));
}

inline uint16_t read_u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

inline void write_u16(uint8_t* p, uint16_t value) {
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value);
}

inline bool is_rgba8(const png_colour_mode& mode) {
    return mode.colour_type == 6 && mode.bit_depth == 8;
}

// Bits per channel a grey value needs to be stored exactly.
inline uint32_t bits_needed(uint8_t value) {
    if (value == 0 || value == 255) return 1;
    if (value % 85 == 0) return 2;
    if (value % 17 == 0) return 4;
    return 8;
}

// Palette images can be transparent when an entry is not opaque.
bool mode_can_be_transparent(const png_colour_mode& mode) {
    if (mode.key_defined) return true;
    if (mode.colour_type == 4 || mode.colour_type == 6) return true;
    if (mode.colour_type == 3)
        for (size_t i = 0; i < mode.palette_size; ++i)
            if (mode.palette[i * 4 + 3] < 255) return true;
    return false;
}

// Writes one 8-bit RGBA colour as pixel `index` of an image in `mode` (not
// 16-bit in both directions, which convert_pixels handles apart).
void write_pixel_from_rgba8(uint8_t* out, uint64_t index, const png_colour_mode& mode,
                            const colour_tree* tree, uint8_t red, uint8_t green, uint8_t blue,
                            uint8_t alpha) {
    const uint32_t depth = mode.bit_depth;
    switch (mode.colour_type) {
        case 0:
            if (depth == 8) {
                out[index] = red;
            } else if (depth == 16) {
                out[index * 2] = out[index * 2 + 1] = red;
            } else {
                write_bits(out, index, depth, red >> (8 - depth));
            }
            break;
        case 2:
            if (depth == 8) {
                out[index * 3] = red;
                out[index * 3 + 1] = green;
                out[index * 3 + 2] = blue;
            } else {
                uint8_t* p = out + index * 6;
                p[0] = p[1] = red;
                p[2] = p[3] = green;
                p[4] = p[5] = blue;
            }
            break;
        case 3: {
            const int32_t found = tree ? tree->find(red, green, blue, alpha) : -1;
            const uint32_t palette_index = found < 0 ? 0 : static_cast<uint32_t>(found);
            if (depth == 8)
                out[index] = static_cast<uint8_t>(palette_index);
            else
                write_bits(out, index, depth, palette_index);
            break;
        }
        case 4:
            if (depth == 8) {
                out[index * 2] = red;
                out[index * 2 + 1] = alpha;
            } else {
                uint8_t* p = out + index * 4;
                p[0] = p[1] = red;
                p[2] = p[3] = alpha;
            }
            break;
        case 6:
            if (depth == 8) {
                uint8_t* p = out + index * 4;
                p[0] = red;
                p[1] = green;
                p[2] = blue;
                p[3] = alpha;
            } else {
                uint8_t* p = out + index * 8;
                p[0] = p[1] = red;
                p[2] = p[3] = green;
                p[4] = p[5] = blue;
                p[6] = p[7] = alpha;
            }
            break;
        default:
            break;
    }
}

}  // namespace

colour_tree::colour_tree() : nodes_(1) {
    std::memset(nodes_[0].children, 0, sizeof nodes_[0].children);
    nodes_[0].index = -1;
}

int32_t colour_tree::find(uint8_t red, uint8_t green, uint8_t blue, uint8_t alpha) const {
    uint32_t at = 0;
    for (int level = 0; level < 8; ++level) {
        at = static_cast<uint32_t>(nodes_[at].children[child_number(red, green, blue, alpha, level)]);
        if (at == 0) return -1;
    }
    return nodes_[at].index;
}

uint32_t colour_tree::add(uint8_t red, uint8_t green, uint8_t blue, uint8_t alpha, int32_t index) {
    try {
        uint32_t at = 0;
        for (int level = 0; level < 8; ++level) {
            const uint32_t child = child_number(red, green, blue, alpha, level);
            if (nodes_[at].children[child] == 0) {
                node fresh;
                std::memset(fresh.children, 0, sizeof fresh.children);
                fresh.index = -1;
                nodes_.push_back(fresh);
                nodes_[at].children[child] = static_cast<int32_t>(nodes_.size() - 1);
            }
            at = static_cast<uint32_t>(nodes_[at].children[child]);
        }
        nodes_[at].index = index;
    } catch (const std::bad_alloc&) {
        return png_error_alloc;
    }
    return 0;
}

void read_pixel_rgba8(uint8_t& red, uint8_t& green, uint8_t& blue, uint8_t& alpha, size_t index,
                      const uint8_t* image, const png_colour_mode& mode) {
    const uint32_t depth = mode.bit_depth;
    switch (mode.colour_type) {
        case 0: {
            if (depth == 8) {
                red = green = blue = image[index];
                alpha = (mode.key_defined && mode.key_red == image[index]) ? 0 : 255;
            } else if (depth == 16) {
                red = green = blue = image[index * 2];
                alpha = (mode.key_defined && mode.key_red == read_u16(image + index * 2)) ? 0 : 255;
            } else {
                const uint32_t value = read_bits(image, index, depth);
                red = green = blue = static_cast<uint8_t>(value * 255 / ((1u << depth) - 1));
                alpha = (mode.key_defined && mode.key_red == value) ? 0 : 255;
            }
            break;
        }
        case 2: {
            if (depth == 8) {
                const uint8_t* p = image + index * 3;
                red = p[0];
                green = p[1];
                blue = p[2];
                alpha = (mode.key_defined && mode.key_red == p[0] && mode.key_green == p[1] &&
                         mode.key_blue == p[2])
                            ? 0
                            : 255;
            } else {
                const uint8_t* p = image + index * 6;
                red = p[0];
                green = p[2];
                blue = p[4];
                alpha = (mode.key_defined && mode.key_red == read_u16(p) &&
                         mode.key_green == read_u16(p + 2) && mode.key_blue == read_u16(p + 4))
                            ? 0
                            : 255;
            }
            break;
        }
        case 3: {
            const uint32_t entry = depth == 8 ? image[index] : read_bits(image, index, depth);
            if (entry >= mode.palette_size) {
                red = green = blue = 0;
                alpha = 255;
            } else {
                const uint8_t* p = mode.palette + entry * 4;
                red = p[0];
                green = p[1];
                blue = p[2];
                alpha = p[3];
            }
            break;
        }
        case 4:
            if (depth == 8) {
                red = green = blue = image[index * 2];
                alpha = image[index * 2 + 1];
            } else {
                red = green = blue = image[index * 4];
                alpha = image[index * 4 + 2];
            }
            break;
        case 6:
            if (depth == 8) {
                const uint8_t* p = image + index * 4;
                red = p[0];
                green = p[1];
                blue = p[2];
                alpha = p[3];
            } else {
                const uint8_t* p = image + index * 8;
                red = p[0];
                green = p[2];
                blue = p[4];
                alpha = p[6];
            }
            break;
        default:
            red = green = blue = 0;
            alpha = 255;
            break;
    }
}

void read_pixel_rgba16(uint16_t& red, uint16_t& green, uint16_t& blue, uint16_t& alpha,
                       size_t index, const uint8_t* image, const png_colour_mode& mode) {
    switch (mode.colour_type) {
        case 0:
            red = green = blue = read_u16(image + index * 2);
            alpha = (mode.key_defined && mode.key_red == red) ? 0 : 65535;
            break;
        case 2: {
            const uint8_t* p = image + index * 6;
            red = read_u16(p);
            green = read_u16(p + 2);
            blue = read_u16(p + 4);
            alpha = (mode.key_defined && mode.key_red == red && mode.key_green == green &&
                     mode.key_blue == blue)
                        ? 0
                        : 65535;
            break;
        }
        case 4:
            red = green = blue = read_u16(image + index * 4);
            alpha = read_u16(image + index * 4 + 2);
            break;
        case 6: {
            const uint8_t* p = image + index * 8;
            red = read_u16(p);
            green = read_u16(p + 2);
            blue = read_u16(p + 4);
            alpha = read_u16(p + 6);
            break;
        }
        default:
            red = green = blue = 0;
            alpha = 65535;
            break;
    }
}

void read_pixels_rgba8(uint8_t* out, size_t count, bool with_alpha, const uint8_t* image,
                       const png_colour_mode& mode) {
    const size_t step = with_alpha ? 4 : 3;
    const uint32_t depth = mode.bit_depth;
    // The common 8-bit layouts without a colour key get straight loops.
    if (depth == 8 && !mode.key_defined) {
        switch (mode.colour_type) {
            case 0:
                for (size_t i = 0; i < count; ++i, out += step) {
                    out[0] = out[1] = out[2] = image[i];
                    if (with_alpha) out[3] = 255;
                }
                return;
            case 2:
                if (!with_alpha) {
                    std::memcpy(out, image, count * 3);
                    return;
                }
                for (size_t i = 0; i < count; ++i, out += 4) {
                    std::memcpy(out, image + i * 3, 3);
                    out[3] = 255;
                }
                return;
            case 6:
                if (with_alpha) {
                    std::memcpy(out, image, count * 4);
                    return;
                }
                for (size_t i = 0; i < count; ++i, out += 3) std::memcpy(out, image + i * 4, 3);
                return;
            case 4:
                for (size_t i = 0; i < count; ++i, out += step) {
                    out[0] = out[1] = out[2] = image[i * 2];
                    if (with_alpha) out[3] = image[i * 2 + 1];
                }
                return;
            default:
                break;
        }
    }
    if (mode.colour_type == 3 && depth == 8) {
        for (size_t i = 0; i < count; ++i, out += step) {
            const uint32_t entry = image[i];
            if (entry < mode.palette_size) {
                std::memcpy(out, mode.palette + entry * 4, step);
            } else {
                out[0] = out[1] = out[2] = 0;
                if (with_alpha) out[3] = 0;
            }
        }
        return;
    }
    for (size_t i = 0; i < count; ++i, out += step) {
        uint8_t alpha;
        read_pixel_rgba8(out[0], out[1], out[2], alpha, i, image, mode);
        if (with_alpha) out[3] = alpha;
    }
}

uint32_t convert_pixels(uint8_t* out, const uint8_t* in, const png_colour_mode& out_mode,
                        const png_colour_mode& in_mode, uint32_t width, uint32_t height) {
    const uint64_t count = static_cast<uint64_t>(width) * height;
    if (colour_modes_equal(out_mode, in_mode)) {
        const uint64_t size = raw_image_size(width, height, in_mode);
        if (size) std::memcpy(out, in, size);
        return 0;
    }

    colour_tree tree;
    if (out_mode.colour_type == 3) {
        const uint64_t limit = out_mode.bit_depth >= 32 ? ~uint64_t(0) : uint64_t(1) << out_mode.bit_depth;
        const uint64_t entries = out_mode.palette_size < limit ? out_mode.palette_size : limit;
        for (uint64_t i = 0; i < entries; ++i) {
            const uint8_t* p = out_mode.palette + i * 4;
            const uint32_t error = tree.add(p[0], p[1], p[2], p[3], static_cast<int32_t>(i));
            if (error) return error;
        }
    }

    if (in_mode.bit_depth == 16 && out_mode.bit_depth == 16) {
        for (uint64_t i = 0; i < count; ++i) {
            uint16_t red, green, blue, alpha;
            read_pixel_rgba16(red, green, blue, alpha, i, in, in_mode);
            switch (out_mode.colour_type) {
                case 0:
                    write_u16(out + i * 2, red);
                    break;
                case 2:
                    write_u16(out + i * 6, red);
                    write_u16(out + i * 6 + 2, green);
                    write_u16(out + i * 6 + 4, blue);
                    break;
                case 4:
                    write_u16(out + i * 4, red);
                    write_u16(out + i * 4 + 2, alpha);
                    break;
                case 6:
                    write_u16(out + i * 8, red);
                    write_u16(out + i * 8 + 2, green);
                    write_u16(out + i * 8 + 4, blue);
                    write_u16(out + i * 8 + 6, alpha);
                    break;
                default:
                    break;
            }
        }
        return 0;
    }
    if (out_mode.bit_depth == 8 && (out_mode.colour_type == 6 || out_mode.colour_type == 2)) {
        read_pixels_rgba8(out, count, out_mode.colour_type == 6, in, in_mode);
        return 0;
    }
    if (is_rgba8(in_mode) && out_mode.colour_type == 3 && out_mode.bit_depth == 8) {
        uint32_t previous = 0;
        uint8_t last_index = 0;
        for (uint64_t i = 0; i < count; ++i) {
            uint32_t pixel;
            std::memcpy(&pixel, in + i * 4, 4);
            if (i == 0 || pixel != previous) {
                const uint8_t* p = in + i * 4;
                const int32_t found = tree.find(p[0], p[1], p[2], p[3]);
                last_index = found < 0 ? 0 : static_cast<uint8_t>(found);
                previous = pixel;
            }
            out[i] = last_index;
        }
        return 0;
    }
    for (uint64_t i = 0; i < count; ++i) {
        uint8_t red, green, blue, alpha;
        read_pixel_rgba8(red, green, blue, alpha, i, in, in_mode);
        write_pixel_from_rgba8(out, i, out_mode, &tree, red, green, blue, alpha);
    }
    return 0;
}

uint32_t collect_colour_stats(colour_stats& stats, const uint8_t* image, uint32_t width,
                              uint32_t height, const png_colour_mode& mode) {
    const uint64_t count = static_cast<uint64_t>(width) * height;
    const uint32_t bpp = bits_per_pixel(mode);

    bool coloured_done = mode.colour_type == 0 || mode.colour_type == 4;
    bool alpha_done = !mode_can_be_transparent(mode);
    bool bits_done = bpp == 1;
    uint32_t colour_limit = 257;
    if (bpp == 1) colour_limit = 2;
    else if (bpp == 2) colour_limit = 4;
    else if (bpp == 4) colour_limit = 16;
    else if (bpp == 8) colour_limit = 256;
    bool count_done = stats.colour_count >= colour_limit;
    auto raise_bits = [&stats](uint32_t bits) {
        if (stats.bits < bits) stats.bits = bits;
    };

    // 16-bit samples that are not all byte-doubled need 16 bits; such images
    // are judged at 16 bits and their colours are not counted.
    if (mode.bit_depth == 16) {
        bool sixteen = false;
        for (uint64_t i = 0; i < count && !sixteen; ++i) {
            uint16_t r, g, b, a;
            read_pixel_rgba16(r, g, b, a, i, image, mode);
            sixteen = (r >> 8) != (r & 255) || (g >> 8) != (g & 255) || (b >> 8) != (b & 255) ||
                      (a >> 8) != (a & 255);
        }
        if (sixteen) {
            stats.bits = 16;
            for (uint64_t i = 0; i < count; ++i) {
                uint16_t r, g, b, a;
                read_pixel_rgba16(r, g, b, a, i, image, mode);
                if (!coloured_done && (r != g || r != b)) {
                    stats.coloured = 1;
                    coloured_done = true;
                }
                if (!alpha_done) {
                    const bool match = r == stats.key_red && g == stats.key_green && b == stats.key_blue;
                    if ((a != 65535 && a != 0) || (a == 0 && stats.key && !match)) {
                        stats.alpha = 1;
                        stats.key = 0;
                        alpha_done = true;
                    } else if (a == 0 && !stats.alpha && !stats.key) {
                        stats.key = 1;
                        stats.key_red = r;
                        stats.key_green = g;
                        stats.key_blue = b;
                    } else if (a == 65535 && stats.key && match) {
                        stats.alpha = 1;
                        stats.key = 0;
                        alpha_done = true;
                    }
                }
                if (coloured_done && alpha_done) break;
            }
            if (stats.key && !stats.alpha) {
                for (uint64_t i = 0; i < count; ++i) {
                    uint16_t r, g, b, a;
                    read_pixel_rgba16(r, g, b, a, i, image, mode);
                    if (a != 0 && r == stats.key_red && g == stats.key_green && b == stats.key_blue) {
                        stats.alpha = 1;
                        stats.key = 0;
                        break;
                    }
                }
            }
            return 0;
        }
    }

    colour_tree tree;
    uint8_t previous[4] = {0, 0, 0, 0};
    for (uint64_t i = 0; i < count; ++i) {
        uint8_t r, g, b, a;
        read_pixel_rgba8(r, g, b, a, i, image, mode);
        // A pixel equal to the one before it changes none of the findings.
        if (i > 0 && r == previous[0] && g == previous[1] && b == previous[2] && a == previous[3])
            continue;
        previous[0] = r;
        previous[1] = g;
        previous[2] = b;
        previous[3] = a;

        if (!bits_done && stats.bits < 8) raise_bits(bits_needed(r));
        if (!coloured_done && (r != g || r != b)) {
            stats.coloured = 1;
            coloured_done = true;
            raise_bits(8);
        }
        if (!alpha_done) {
            const bool match = r == stats.key_red && g == stats.key_green && b == stats.key_blue;
            if ((a != 255 && a != 0) || (a == 0 && stats.key && !match)) {
                stats.alpha = 1;
                stats.key = 0;
                alpha_done = true;
                raise_bits(8);
            } else if (a == 0 && !stats.alpha && !stats.key) {
                stats.key = 1;
                stats.key_red = r;
                stats.key_green = g;
                stats.key_blue = b;
            } else if (a == 255 && stats.key && match) {
                stats.alpha = 1;
                stats.key = 0;
                alpha_done = true;
                raise_bits(8);
            }
        }
        if (!count_done) {
            if (tree.find(r, g, b, a) < 0) {
                const uint32_t error = tree.add(r, g, b, a, static_cast<int32_t>(stats.colour_count));
                if (error) return error;
                if (stats.colour_count < 256) {
                    uint8_t* entry = stats.palette + stats.colour_count * 4;
                    entry[0] = r;
                    entry[1] = g;
                    entry[2] = b;
                    entry[3] = a;
                }
                ++stats.colour_count;
                count_done = stats.colour_count >= colour_limit;
            }
        }
        if (coloured_done && alpha_done && count_done && stats.bits >= bpp) break;
    }

    // The key only works when no visible pixel shares its colour, including
    // pixels before the first transparent one.
    if (stats.key && !stats.alpha) {
        for (uint64_t i = 0; i < count; ++i) {
            uint8_t r, g, b, a;
            read_pixel_rgba8(r, g, b, a, i, image, mode);
            if (a != 0 && r == stats.key_red && g == stats.key_green && b == stats.key_blue) {
                stats.alpha = 1;
                stats.key = 0;
                raise_bits(8);
                break;
            }
        }
    }
    stats.key_red = static_cast<uint16_t>(stats.key_red * 257);
    stats.key_green = static_cast<uint16_t>(stats.key_green * 257);
    stats.key_blue = static_cast<uint16_t>(stats.key_blue * 257);
    return 0;
}
