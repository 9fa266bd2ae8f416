// Colour modes, chunk routines and whole-file load and save of the PNG codec.
#include "core/png/codec/codec_state.h"

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

#include "core/fatal.h"
#include "core/platform.h"

namespace {

// Palettes get room for 256 entries at once; longer ones (only ever refused by
// the encoder) get exactly what they need.
size_t palette_capacity(size_t entries) { return entries < 256 ? 256 : entries; }

// A palette block holding `entries` entries of `source`, or null when memory is short.
uint8_t* duplicate_palette(const uint8_t* source, size_t entries) {
    if (!source) return nullptr;
    auto* copy = static_cast<uint8_t*>(std::malloc(palette_capacity(entries) * 4));
    if (copy && entries) std::memcpy(copy, source, entries * 4);
    return copy;
}

void put_u32_big_endian(uint8_t* out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
}

}  // namespace

png_colour_mode::png_colour_mode(const png_colour_mode& other)
    : colour_type(other.colour_type),
      bit_depth(other.bit_depth),
      palette(nullptr),
      palette_size(other.palette_size),
      key_defined(other.key_defined),
      key_red(other.key_red),
      key_green(other.key_green),
      key_blue(other.key_blue) {
    if (other.palette) {
        palette = duplicate_palette(other.palette, other.palette_size);
        if (!palette) fatal_exit();
    }
}

png_colour_mode& png_colour_mode::operator=(const png_colour_mode& other) {
    if (this != &other && copy_colour_mode(*this, other) != 0) fatal_exit();
    return *this;
}

png_colour_mode::png_colour_mode(png_colour_mode&& other) noexcept
    : colour_type(other.colour_type),
      bit_depth(other.bit_depth),
      palette(other.palette),
      palette_size(other.palette_size),
      key_defined(other.key_defined),
      key_red(other.key_red),
      key_green(other.key_green),
      key_blue(other.key_blue) {
    other.palette = nullptr;
    other.palette_size = 0;
}

png_colour_mode& png_colour_mode::operator=(png_colour_mode&& other) noexcept {
    if (this != &other) {
        std::free(palette);
        colour_type = other.colour_type;
        bit_depth = other.bit_depth;
        palette = other.palette;
        palette_size = other.palette_size;
        key_defined = other.key_defined;
        key_red = other.key_red;
        key_green = other.key_green;
        key_blue = other.key_blue;
        other.palette = nullptr;
        other.palette_size = 0;
    }
    return *this;
}

png_colour_mode::~png_colour_mode() { std::free(palette); }

uint32_t colour_channels(uint32_t colour_type) {
    switch (colour_type) {
        case 0: return 1;
        case 2: return 3;
        case 3: return 1;
        case 4: return 2;
        case 6: return 4;
        default: return 0;
    }
}

uint32_t bits_per_pixel(const png_colour_mode& mode) {
    return colour_channels(mode.colour_type) * mode.bit_depth;
}

uint32_t palette_add(png_colour_mode& mode, uint8_t red, uint8_t green, uint8_t blue, uint8_t alpha) {
    if (!mode.palette) {
        mode.palette = static_cast<uint8_t*>(std::malloc(palette_capacity(0) * 4));
        if (!mode.palette) return png_error_alloc;
        mode.palette_size = 0;
    } else if (mode.palette_size >= 256) {
        void* grown = std::realloc(mode.palette, (mode.palette_size + 1) * 4);
        if (!grown) return png_error_alloc;
        mode.palette = static_cast<uint8_t*>(grown);
    }
    uint8_t* entry = mode.palette + mode.palette_size * 4;
    entry[0] = red;
    entry[1] = green;
    entry[2] = blue;
    entry[3] = alpha;
    ++mode.palette_size;
    return 0;
}

void clear_palette(png_colour_mode& mode) {
    std::free(mode.palette);
    mode.palette = nullptr;
    mode.palette_size = 0;
}

uint32_t copy_colour_mode(png_colour_mode& dest, const png_colour_mode& source) {
    if (&dest == &source) return 0;
    uint8_t* palette = nullptr;
    if (source.palette) {
        palette = duplicate_palette(source.palette, source.palette_size);
        if (!palette) return png_error_alloc;
    }
    std::free(dest.palette);
    dest.colour_type = source.colour_type;
    dest.bit_depth = source.bit_depth;
    dest.palette = palette;
    dest.palette_size = source.palette ? source.palette_size : 0;
    dest.key_defined = source.key_defined;
    dest.key_red = source.key_red;
    dest.key_green = source.key_green;
    dest.key_blue = source.key_blue;
    return 0;
}

uint32_t check_colour_mode(uint32_t colour_type, uint32_t bit_depth) {
    switch (colour_type) {
        case 0:
            return (bit_depth == 1 || bit_depth == 2 || bit_depth == 4 || bit_depth == 8 ||
                    bit_depth == 16)
                       ? 0
                       : png_error_bit_depth;
        case 2:
        case 4:
        case 6:
            return (bit_depth == 8 || bit_depth == 16) ? 0 : png_error_bit_depth;
        case 3:
            return (bit_depth == 1 || bit_depth == 2 || bit_depth == 4 || bit_depth == 8)
                       ? 0
                       : png_error_bit_depth;
        default:
            return png_error_colour_type;
    }
}

bool colour_modes_equal(const png_colour_mode& a, const png_colour_mode& b) {
    if (a.colour_type != b.colour_type || a.bit_depth != b.bit_depth) return false;
    if (a.key_defined != b.key_defined) return false;
    if (a.key_defined &&
        (a.key_red != b.key_red || a.key_green != b.key_green || a.key_blue != b.key_blue))
        return false;
    if (a.palette_size != b.palette_size) return false;
    if (a.palette_size && std::memcmp(a.palette, b.palette, a.palette_size * 4) != 0) return false;
    return true;
}

uint64_t raw_image_size(uint32_t width, uint32_t height, const png_colour_mode& mode) {
    if (mode.colour_type > 6) return 0;
    // Split by eighths so that the product cannot overflow 64 bits.
    const uint64_t bpp = bits_per_pixel(mode);
    const uint64_t pixels = static_cast<uint64_t>(width) * height;
    return (pixels / 8) * bpp + ((pixels % 8) * bpp + 7) / 8;
}

void clear_png_info(png_info& info) {
    clear_palette(info.colour);
    info.colour = png_colour_mode();
    info.compression_method = 0;
    info.filter_method = 0;
    info.interlace_method = 0;
}

uint32_t png_chunk_length(const uint8_t* chunk) {
    return (static_cast<uint32_t>(chunk[0]) << 24) | (static_cast<uint32_t>(chunk[1]) << 16) |
           (static_cast<uint32_t>(chunk[2]) << 8) | static_cast<uint32_t>(chunk[3]);
}

void png_chunk_type(char out[5], const uint8_t* chunk) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<char>(chunk[4 + i]);
    out[4] = 0;
}

bool png_chunk_type_equals(const uint8_t* chunk, const char* type) {
    return std::memcmp(chunk + 4, type, 4) == 0;
}

const uint8_t* png_chunk_data(const uint8_t* chunk) { return chunk + 8; }
uint8_t* png_chunk_data(uint8_t* chunk) { return chunk + 8; }

const uint8_t* png_chunk_next(const uint8_t* chunk) {
    return chunk + static_cast<uint64_t>(png_chunk_length(chunk)) + 12;
}
uint8_t* png_chunk_next(uint8_t* chunk) {
    return chunk + static_cast<uint64_t>(png_chunk_length(chunk)) + 12;
}

uint32_t png_chunk_crc(const uint8_t* chunk) {
    // zlib's crc32 takes a 32-bit length; chunk lengths the codec accepts stay below 2^31.
    return static_cast<uint32_t>(
        crc32(crc32(0L, Z_NULL, 0), chunk + 4, static_cast<uInt>(png_chunk_length(chunk)) + 4));
}

bool png_chunk_crc_matches(const uint8_t* chunk) {
    const uint8_t* stored = chunk + 8 + static_cast<size_t>(png_chunk_length(chunk));
    const uint32_t value = (static_cast<uint32_t>(stored[0]) << 24) | (static_cast<uint32_t>(stored[1]) << 16) |
                           (static_cast<uint32_t>(stored[2]) << 8) | static_cast<uint32_t>(stored[3]);
    return value == png_chunk_crc(chunk);
}

uint32_t png_chunk_create(std::vector<uint8_t>& buffer, uint32_t length, const char* type,
                          const uint8_t* data) {
    const size_t old_size = buffer.size();
    const uint64_t grow = static_cast<uint64_t>(length) + 12;
    if (grow > buffer.max_size() - old_size) return png_error_size_overflow;
    try {
        buffer.resize(old_size + grow);
    } catch (const std::bad_alloc&) {
        return png_error_alloc;
    } catch (const std::length_error&) {
        return png_error_size_overflow;
    }
    uint8_t* chunk = buffer.data() + old_size;
    put_u32_big_endian(chunk, length);
    std::memcpy(chunk + 4, type, 4);
    if (length) std::memcpy(chunk + 8, data, length);
    put_u32_big_endian(chunk + 8 + length, png_chunk_crc(chunk));
    return 0;
}

uint32_t write_plte_chunk(std::vector<uint8_t>& buffer, const png_colour_mode& mode) {
    std::vector<uint8_t> data;
    try {
        data.resize(mode.palette_size * 3);
    } catch (const std::exception&) {
        return png_error_alloc;
    }
    for (size_t i = 0; i < mode.palette_size; ++i)
        for (int c = 0; c < 3; ++c) data[i * 3 + c] = mode.palette[i * 4 + c];
    if (data.size() > std::numeric_limits<uint32_t>::max() - 12) return png_error_size_overflow;
    return png_chunk_create(buffer, static_cast<uint32_t>(data.size()), "PLTE", data.data());
}

uint32_t write_trns_chunk(std::vector<uint8_t>& buffer, const png_colour_mode& mode) {
    uint8_t data[6];
    if (mode.colour_type == 3) {
        size_t count = mode.palette_size;
        while (count > 0 && mode.palette[(count - 1) * 4 + 3] == 255) --count;
        std::vector<uint8_t> alphas;
        try {
            alphas.resize(count);
        } catch (const std::exception&) {
            return png_error_alloc;
        }
        for (size_t i = 0; i < count; ++i) alphas[i] = mode.palette[i * 4 + 3];
        return png_chunk_create(buffer, static_cast<uint32_t>(count), "tRNS", alphas.data());
    }
    if (!mode.key_defined) return 0;
    if (mode.colour_type == 0) {
        data[0] = static_cast<uint8_t>(mode.key_red >> 8);
        data[1] = static_cast<uint8_t>(mode.key_red);
        return png_chunk_create(buffer, 2, "tRNS", data);
    }
    if (mode.colour_type == 2) {
        const uint32_t key[3] = {mode.key_red, mode.key_green, mode.key_blue};
        for (int c = 0; c < 3; ++c) {
            data[c * 2] = static_cast<uint8_t>(key[c] >> 8);
            data[c * 2 + 1] = static_cast<uint8_t>(key[c]);
        }
        return png_chunk_create(buffer, 6, "tRNS", data);
    }
    return 0;
}

std::vector<uint8_t> load_file_bytes(const std::string& path) {
    std::vector<uint8_t> bytes;
    (void)read_whole_file(path, bytes);  // empty when the file cannot be read whole
    return bytes;
}

void save_file_bytes(const std::vector<uint8_t>& bytes, const std::string& path) {
    (void)write_whole_file(path, bytes.data(), bytes.size());
}
