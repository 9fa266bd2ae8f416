// PNG encoder: automatic colour choice, palette ordering, scanline
// preparation (sub-byte rows, Adam7 passes), the zlib stream around the
// compressor hook or stored blocks, and the chunk layout of the file.
//
// All working memory comes from vectors; running out of memory anywhere in
// an encode is reported as 83 for that image and never ends the process.
#include "core/png/codec/encode.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "core/png/codec/colour_convert.h"
#include "core/png/codec/decode.h"
#include "core/png/codec/filters.h"

namespace {

// A zlib stream's first two bytes: deflate, 32 KiB window, best compression.
constexpr uint8_t zlib_header[2] = {0x78, 0xDA};
constexpr size_t stored_block_limit = 65535;
// Images this small get a full alpha channel instead of a colour key: the
// tRNS chunk would cost more than the alpha bytes.
constexpr uint64_t key_pixel_limit = 49;
// Opaque grey images with more distinct levels than this stay grey.
constexpr uint32_t grey_palette_limit = 179;
// Largest chunk data length a PNG may hold.
constexpr uint64_t max_chunk_length = 0x7FFFFFFF;

void append_u32_be(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v >> 24));
    out.push_back(static_cast<uint8_t>(v >> 16));
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

// True when width x height pixels of `mode` make fewer than 2^64 bits, so that
// raw_image_size is the true size.
bool image_size_fits(uint32_t width, uint32_t height, const png_colour_mode& mode) {
    uint64_t bits = 0;
    return !__builtin_mul_overflow(uint64_t(width) * height, uint64_t(bits_per_pixel(mode)), &bits);
}

uint32_t palette_bits_for(uint32_t colours) {
    if (colours <= 2) return 1;
    if (colours <= 4) return 2;
    if (colours <= 16) return 4;
    return 8;
}

uint32_t choose_colour_mode(png_colour_mode& mode, const uint8_t* image, uint32_t width,
                            uint32_t height, const png_colour_mode& raw_mode,
                            const png_palette_order& order) {
    colour_stats stats;
    if (const uint32_t error = collect_colour_stats(stats, image, width, height, raw_mode))
        return error;
    const uint64_t pixels = uint64_t(width) * height;
    const uint32_t n = stats.colour_count;

    mode.key_defined = 0;
    if (stats.key && pixels <= key_pixel_limit) {
        stats.alpha = 1;
        if (stats.bits < 8) stats.bits = 8;
    }
    const bool opaque_grey = !stats.coloured && !stats.alpha;
    const bool palette = n <= 256 && pixels >= 2 * uint64_t(n) && pixels > 9 && stats.bits <= 8 &&
                         !(opaque_grey && n > grey_palette_limit);
    if (palette) {
        clear_palette(mode);
        for (uint32_t i = 0; i < n; ++i) {
            const uint8_t* c = stats.palette + 4 * i;
            if (const uint32_t error = palette_add(mode, c[0], c[1], c[2], c[3])) return error;
        }
        mode.colour_type = 3;
        mode.bit_depth = palette_bits_for(n);
        order_palette(mode.palette, mode.palette_size, pixels, order);
        return 0;
    }
    mode.bit_depth = stats.bits;
    if (stats.alpha)
        mode.colour_type = stats.coloured ? 6 : 4;
    else
        mode.colour_type = stats.coloured ? 2 : 0;
    if (stats.key && !stats.alpha) {
        const uint32_t mask = (1u << mode.bit_depth) - 1;
        mode.key_defined = 1;
        mode.key_red = stats.key_red & mask;
        mode.key_green = stats.key_green & mask;
        mode.key_blue = stats.key_blue & mask;
    }
    return 0;
}

// Copies `bits` bits from bit offset `from` of `in` to bit offset `to` of
// `out` (most significant bit first, as PNG packs samples). `out` starts
// zeroed, so only set bits are written.
void copy_bits(uint8_t* out, uint64_t to, const uint8_t* in, uint64_t from, uint32_t bits) {
    for (uint32_t i = 0; i < bits; ++i, ++from, ++to) {
        if ((in[from >> 3] >> (7 - (from & 7))) & 1) out[to >> 3] |= uint8_t(0x80 >> (to & 7));
    }
}

// Writes the pixels at (x0 + x * dx, y0 + y * dy) of the packed image as a
// pass_width x pass_height image whose rows start on whole bytes.
void extract_rows(std::vector<uint8_t>& out, const uint8_t* image, uint64_t width, uint32_t bpp,
                  uint64_t x0, uint64_t y0, uint64_t dx, uint64_t dy, uint64_t pass_width,
                  uint64_t pass_height) {
    const uint64_t row_bytes = png_row_bytes(pass_width, bpp);
    out.assign(row_bytes * pass_height, 0);
    if (bpp >= 8) {
        const uint64_t pixel_bytes = bpp / 8;
        for (uint64_t y = 0; y < pass_height; ++y)
            for (uint64_t x = 0; x < pass_width; ++x)
                std::memcpy(out.data() + y * row_bytes + x * pixel_bytes,
                            image + ((y0 + y * dy) * width + x0 + x * dx) * pixel_bytes, pixel_bytes);
        return;
    }
    for (uint64_t y = 0; y < pass_height; ++y)
        for (uint64_t x = 0; x < pass_width; ++x)
            copy_bits(out.data(), y * row_bytes * 8 + x * bpp, image,
                      ((y0 + y * dy) * width + x0 + x * dx) * bpp, bpp);
}

// Size of the filtered data (a type byte per row, per pass); false when it
// does not even fit in 64 bits.
bool filtered_data_size(uint64_t& size, uint32_t width, uint32_t height, const png_info& info) {
    const uint32_t bpp = bits_per_pixel(info.colour);
    size = 0;
    for (int pass = 0; pass < 7; ++pass) {
        uint64_t pass_width = width, pass_height = height;
        if (info.interlace_method != 0) {
            const adam7_pass p = adam7_pass_geometry(pass, width, height);
            pass_width = p.width;
            pass_height = p.height;
        } else if (pass > 0) {
            break;
        }
        if (pass_width == 0 || pass_height == 0) continue;
        uint64_t bytes = 0;
        if (__builtin_mul_overflow(pass_height, png_row_bytes(pass_width, bpp) + 1, &bytes) ||
            __builtin_add_overflow(size, bytes, &size))
            return false;
    }
    return true;
}

uint32_t call_compressor(std::vector<uint8_t>& out, const uint8_t* data, size_t size,
                         const png_compress_settings& settings) {
    // Without a hook there is no way to produce the deflate data.
    if (!settings.compressor) return png_error_block_type;
    uint8_t* compressed = nullptr;
    uint64_t compressed_size = 0;
    const uint32_t error = settings.compressor(&compressed, &compressed_size, data, size, &settings);
    struct release {
        uint8_t* p;
        ~release() { std::free(p); }
    } guard{compressed};
    if (error) return error;
    // A valid deflate stream is never empty; an empty answer means the
    // compressor could not do its job.
    if (!compressed || compressed_size == 0) return png_error_alloc;
    out.insert(out.end(), compressed, compressed + compressed_size);
    return 0;
}

uint32_t write_ihdr(std::vector<uint8_t>& png, uint32_t width, uint32_t height,
                    const png_colour_mode& mode, uint32_t interlace) {
    uint8_t data[13];
    for (int i = 0; i < 4; ++i) {
        data[i] = static_cast<uint8_t>(width >> (24 - 8 * i));
        data[4 + i] = static_cast<uint8_t>(height >> (24 - 8 * i));
    }
    data[8] = static_cast<uint8_t>(mode.bit_depth);
    data[9] = static_cast<uint8_t>(mode.colour_type);
    data[10] = 0;
    data[11] = 0;
    data[12] = static_cast<uint8_t>(interlace);
    return png_chunk_create(png, 13, "IHDR", data);
}

uint32_t encode_core(std::vector<uint8_t>& out, const uint8_t* image, uint32_t width,
                     uint32_t height, LodePNGState& state, const png_palette_order& order) {
    png_info info;
    info.compression_method = state.file_info.compression_method;
    info.filter_method = state.file_info.filter_method;
    info.interlace_method = state.file_info.interlace_method;
    if (const uint32_t error = copy_colour_mode(info.colour, state.file_info.colour)) return error;
    png_colour_mode& mode = info.colour;

    if (mode.colour_type == 3 && (mode.palette_size == 0 || mode.palette_size > 256))
        return png_error_palette_count;
    if (state.encoder.auto_colour) {
        if (const uint32_t error = choose_colour_mode(mode, image, width, height, state.raw_mode, order))
            return error;
        if (const uint32_t error = copy_colour_mode(state.result_mode, mode)) return error;
    }
    const png_compress_settings& compression = state.encoder.compression;
    if (compression.block_type > 2) return png_error_block_type;
    if (info.interlace_method > 1) return png_error_encode_interlace;
    if (const uint32_t error = check_colour_mode(mode.colour_type, mode.bit_depth)) return error;
    if (const uint32_t error = check_colour_mode(state.raw_mode.colour_type, state.raw_mode.bit_depth))
        return error;

    std::vector<uint8_t> filtered;
    {
        std::vector<uint8_t> converted;
        const uint8_t* pixels = image;
        if (!colour_modes_equal(state.raw_mode, mode)) {
            if (!image_size_fits(width, height, mode)) return png_error_alloc;
            converted.resize(raw_image_size(width, height, mode));
            if (const uint32_t error =
                    convert_pixels(converted.data(), image, mode, state.raw_mode, width, height))
                return error;
            pixels = converted.data();
        }
        if (const uint32_t error = prepare_scanlines(filtered, pixels, width, height, info, state))
            return error;
    }

    std::vector<uint8_t> zlib_data(zlib_header, zlib_header + 2);
    if (compression.block_type == 0) {
        write_stored_blocks(zlib_data, filtered.data(), filtered.size());
    } else if (const uint32_t error =
                   call_compressor(zlib_data, filtered.data(), filtered.size(), compression)) {
        return error;
    }
    uLong adler = adler32(0L, Z_NULL, 0);
    for (size_t done = 0; done < filtered.size();) {
        const uInt piece = static_cast<uInt>(std::min<size_t>(filtered.size() - done, UINT_MAX));
        adler = adler32(adler, filtered.data() + done, piece);
        done += piece;
    }
    append_u32_be(zlib_data, static_cast<uint32_t>(adler));
    if (zlib_data.size() > max_chunk_length) return png_error_size_overflow;

    std::vector<uint8_t> png(png_signature, png_signature + 8);
    uint32_t error = write_ihdr(png, width, height, mode, info.interlace_method);
    if (!error && mode.colour_type == 3) {
        error = write_plte_chunk(png, mode);
        bool translucent = false;
        for (size_t i = 0; i < mode.palette_size; ++i) translucent |= mode.palette[4 * i + 3] != 255;
        if (!error && translucent) error = write_trns_chunk(png, mode);
    } else if (!error && mode.key_defined && (mode.colour_type == 0 || mode.colour_type == 2)) {
        error = write_trns_chunk(png, mode);
    }
    if (!error)
        error = png_chunk_create(png, static_cast<uint32_t>(zlib_data.size()), "IDAT", zlib_data.data());
    if (!error) error = png_chunk_create(png, 0, "IEND", nullptr);
    if (error) return error;
    out.swap(png);
    return 0;
}

}  // namespace

void write_stored_blocks(std::vector<uint8_t>& out, const uint8_t* data, size_t size) {
    for (size_t done = 0; done < size;) {
        const size_t length = std::min(size - done, stored_block_limit);
        const bool last = done + length == size;
        out.push_back(last ? 1 : 0);
        out.push_back(static_cast<uint8_t>(length));
        out.push_back(static_cast<uint8_t>(length >> 8));
        out.push_back(static_cast<uint8_t>(~length));
        out.push_back(static_cast<uint8_t>(~length >> 8));
        out.insert(out.end(), data + done, data + done + length);
        done += length;
    }
}

uint32_t prepare_scanlines(std::vector<uint8_t>& out, const uint8_t* image, uint32_t width,
                           uint32_t height, const png_info& info, const LodePNGState& state) {
    const png_colour_mode& mode = info.colour;
    const uint32_t bpp = bits_per_pixel(mode);
    if (mode.colour_type > 6 || bpp == 0) return png_error_colour_type;
    uint64_t size = 0;
    if (!filtered_data_size(size, width, height, info) || size > out.max_size()) return png_error_alloc;
    try {
        out.assign(size, 0);
        if (info.interlace_method == 0) {
            if (bpp < 8 && (uint64_t(width) * bpp) % 8 != 0) {
                std::vector<uint8_t> widened;
                extract_rows(widened, image, width, bpp, 0, 0, 1, 1, width, height);
                return filter_with_trials(out.data(), widened.data(), width, height, mode, state);
            }
            return filter_with_trials(out.data(), image, width, height, mode, state);
        }
        std::vector<uint8_t> pass_image;
        uint64_t offset = 0;
        for (int pass = 0; pass < 7; ++pass) {
            const adam7_pass p = adam7_pass_geometry(pass, width, height);
            if (p.width == 0 || p.height == 0) continue;
            extract_rows(pass_image, image, width, bpp, p.x0, p.y0, p.dx, p.dy, p.width, p.height);
            if (const uint32_t error =
                    filter_with_trials(out.data() + offset, pass_image.data(),
                                       static_cast<uint32_t>(p.width), static_cast<uint32_t>(p.height),
                                       mode, state))
                return error;
            offset += p.height * (png_row_bytes(p.width, bpp) + 1);
        }
        return 0;
    } catch (const std::bad_alloc&) {
        return png_error_alloc;
    } catch (const std::length_error&) {
        return png_error_alloc;
    }
}

uint32_t encode_png_buffer(std::vector<uint8_t>& out, const uint8_t* image, uint32_t width,
                           uint32_t height, LodePNGState& state, const png_palette_order* order) {
    state.last_error = 0;
    out.clear();
    const png_palette_order no_preference{};
    uint32_t error;
    try {
        error = encode_core(out, image, width, height, state, order ? *order : no_preference);
    } catch (const std::bad_alloc&) {
        error = png_error_alloc;
    } catch (const std::length_error&) {
        error = png_error_alloc;
    }
    if (error) out.clear();
    state.last_error = error;
    return error;
}

uint32_t encode_png(std::vector<uint8_t>& out, const std::vector<uint8_t>& image, uint32_t width,
                    uint32_t height, LodePNGState& state, const png_palette_order* order) {
    if (state.raw_mode.colour_type <= 6 &&
        (!image_size_fits(width, height, state.raw_mode) ||
         image.size() < raw_image_size(width, height, state.raw_mode)))
        return png_error_image_too_small;
    std::vector<uint8_t> png;
    const uint32_t error = encode_png_buffer(png, image.data(), width, height, state, order);
    if (error) return error;
    try {
        out.insert(out.end(), png.begin(), png.end());
    } catch (const std::bad_alloc&) {
        return state.last_error = png_error_alloc;
    }
    return 0;
}
