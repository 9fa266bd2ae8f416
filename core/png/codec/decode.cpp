// PNG decoder: inspection, chunk walk, inflate, unfiltering and conversion.
#include "core/png/codec/decode.h"

#include <zlib.h>

#include <climits>
#include <cstring>
#include <new>
#include <stdexcept>

#include "core/png/codec/colour_convert.h"

namespace {

constexpr uint32_t max_chunk_length = 2147483647u;  // 2^31 - 1
constexpr uint32_t max_plte_length = 770;           // 256 entries, with leeway for a stray byte or two
constexpr uint32_t inflate_chunk_limit = 33554432;  // 32 MiB

const uint8_t adam7_x0[7] = {0, 4, 0, 2, 0, 1, 0};
const uint8_t adam7_y0[7] = {0, 0, 4, 0, 2, 0, 1};
const uint8_t adam7_dx[7] = {8, 8, 4, 4, 2, 2, 1};
const uint8_t adam7_dy[7] = {8, 8, 8, 4, 4, 2, 2};

inline uint32_t read_u32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

inline int paeth_predictor(int left, int up, int upper_left) {
    const int p = left + up - upper_left;
    const int pa = p > left ? p - left : left - p;
    const int pb = p > up ? p - up : up - p;
    const int pc = p > upper_left ? p - upper_left : upper_left - p;
    if (pa <= pb && pa <= pc) return left;
    if (pb <= pc) return up;
    return upper_left;
}

// Reverses one row's filter. `previous` is null for the first row of an image
// or pass; `step` is the bytes per complete pixel (at least 1).
uint32_t unfilter_row(uint8_t* recon, const uint8_t* scanline, const uint8_t* previous,
                      size_t step, uint8_t filter_type, size_t length) {
    switch (filter_type) {
        case 0:
            std::memcpy(recon, scanline, length);
            return 0;
        case 1:
            for (size_t i = 0; i < length; ++i)
                recon[i] = static_cast<uint8_t>(scanline[i] + (i >= step ? recon[i - step] : 0));
            return 0;
        case 2:
            if (previous)
                for (size_t i = 0; i < length; ++i) recon[i] = static_cast<uint8_t>(scanline[i] + previous[i]);
            else
                std::memcpy(recon, scanline, length);
            return 0;
        case 3:
            for (size_t i = 0; i < length; ++i) {
                const unsigned left = i >= step ? recon[i - step] : 0;
                const unsigned up = previous ? previous[i] : 0;
                recon[i] = static_cast<uint8_t>(scanline[i] + ((left + up) >> 1));
            }
            return 0;
        case 4:
            for (size_t i = 0; i < length; ++i) {
                const int left = i >= step ? recon[i - step] : 0;
                const int up = previous ? previous[i] : 0;
                const int upper_left = (previous && i >= step) ? previous[i - step] : 0;
                recon[i] = static_cast<uint8_t>(scanline[i] + paeth_predictor(left, up, upper_left));
            }
            return 0;
        default:
            return png_error_filter_type;
    }
}

// Unfilters `height` rows of `row_bytes` bytes each (plus their filter bytes)
// into consecutive rows of `out`.
uint32_t unfilter_rows(uint8_t* out, const uint8_t* in, uint64_t row_bytes, uint64_t height,
                       uint32_t bpp) {
    const size_t step = (bpp + 7) / 8;
    const uint8_t* previous = nullptr;
    for (uint64_t y = 0; y < height; ++y) {
        const uint8_t* line = in + y * (row_bytes + 1);
        uint8_t* recon = out + y * row_bytes;
        const uint32_t error = unfilter_row(recon, line + 1, previous, step, line[0], row_bytes);
        if (error) return error;
        previous = recon;
    }
    return 0;
}

inline uint32_t get_bit(const uint8_t* data, uint64_t bit) {
    return (data[bit >> 3] >> (7 - (bit & 7))) & 1u;
}

inline void set_bit(uint8_t* data, uint64_t bit, uint32_t value) {
    const uint8_t mask = static_cast<uint8_t>(1u << (7 - (bit & 7)));
    if (value)
        data[bit >> 3] |= mask;
    else
        data[bit >> 3] &= static_cast<uint8_t>(~mask);
}

// Drops the fill bits at the end of each padded row while copying into packed output.
void remove_padding_bits(uint8_t* out, const uint8_t* in, uint64_t packed_row_bits,
                         uint64_t padded_row_bits, uint64_t height) {
    uint64_t out_bit = 0;
    for (uint64_t y = 0; y < height; ++y) {
        uint64_t in_bit = y * padded_row_bits;
        for (uint64_t x = 0; x < packed_row_bits; ++x) set_bit(out, out_bit++, get_bit(in, in_bit++));
    }
}

// True when every index of the packed palette image names a palette entry.
// The fill bits of the last byte are zero, which is index 0, and the caller
// has made sure the palette is not empty.
bool palette_indices_fit(const std::vector<uint8_t>& image, const png_colour_mode& colour) {
    const uint32_t depth = colour.bit_depth;
    if (colour.palette_size >= (size_t(1) << depth)) return true;
    bool present[256] = {};
    for (const uint8_t byte : image) present[byte] = true;
    const uint32_t mask = (1u << depth) - 1;
    for (uint32_t byte = 0; byte < 256; ++byte) {
        if (!present[byte]) continue;
        for (uint32_t shift = 0; shift < 8; shift += depth)
            if (((byte >> shift) & mask) >= colour.palette_size) return false;
    }
    return true;
}

}  // namespace

uint64_t png_row_bytes(uint64_t width, uint32_t bits_per_pixel) {
    return (width / 8) * bits_per_pixel + ((width % 8) * bits_per_pixel + 7) / 8;
}

adam7_pass adam7_pass_geometry(int pass, uint32_t width, uint32_t height) {
    adam7_pass geometry;
    geometry.x0 = adam7_x0[pass];
    geometry.y0 = adam7_y0[pass];
    geometry.dx = adam7_dx[pass];
    geometry.dy = adam7_dy[pass];
    const uint64_t w = width, h = height;
    geometry.width = w > geometry.x0 ? (w - geometry.x0 + geometry.dx - 1) / geometry.dx : 0;
    geometry.height = h > geometry.y0 ? (h - geometry.y0 + geometry.dy - 1) / geometry.dy : 0;
    return geometry;
}

uint64_t png_filtered_size(uint32_t width, uint32_t height, const png_info& info) {
    const uint32_t bpp = bits_per_pixel(info.colour);
    if (info.interlace_method == 0) return static_cast<uint64_t>(height) * (1 + png_row_bytes(width, bpp));
    uint64_t total = 0;
    for (int pass = 0; pass < 7; ++pass) {
        const adam7_pass p = adam7_pass_geometry(pass, width, height);
        if (p.width == 0 || p.height == 0) continue;
        total += p.height * (1 + png_row_bytes(p.width, bpp));
    }
    return total;
}

uint32_t inspect_png(uint32_t& width, uint32_t& height, LodePNGState& state, const uint8_t* data,
                     size_t size) {
    auto fail = [&state](uint32_t code) { return state.last_error = code; };
    if (size == 0 || data == nullptr) return fail(png_error_empty_input);
    if (size < 33) return fail(png_error_too_short);
    clear_png_info(state.file_info);
    if (std::memcmp(data, png_signature, 8) != 0) return fail(png_error_signature);
    if (read_u32(data + 8) != 13) return fail(png_error_ihdr_length);
    if (std::memcmp(data + 12, "IHDR", 4) != 0) return fail(png_error_first_not_ihdr);

    width = read_u32(data + 16);
    height = read_u32(data + 20);
    png_info& info = state.file_info;
    info.colour.bit_depth = data[24];
    info.colour.colour_type = data[25];
    info.compression_method = data[26];
    info.filter_method = data[27];
    info.interlace_method = data[28];

    if (width == 0 || height == 0) return fail(png_error_zero_size);
    if (!png_chunk_crc_matches(data + 8)) return fail(png_error_crc);
    if (info.compression_method != 0) return fail(png_error_compression_method);
    if (info.filter_method != 0) return fail(png_error_filter_method);
    if (info.interlace_method > 1) return fail(png_error_interlace_method);
    if (const uint32_t error = check_colour_mode(info.colour.colour_type, info.colour.bit_depth))
        return fail(error);
    return state.last_error = 0;
}

uint32_t inflate_zlib(std::vector<uint8_t>& out, const uint8_t* data, size_t size, uint32_t width,
                      uint32_t height, uint64_t expected_size) {
    if (size < 2) return png_error_zlib_too_short;
    const uint32_t cmf = data[0], flg = data[1];
    if ((cmf * 256 + flg) % 31 != 0) return png_error_zlib_check_value;
    if ((cmf & 15) != 8 || (cmf >> 4) > 7) return png_error_zlib_method;
    if ((flg >> 5) & 1) return png_error_zlib_dictionary;

    // Four bytes per pixel, wrapping like the 32-bit product it stands for.
    uint32_t chunk_size = 4u * width * height;
    if (chunk_size < 4 || chunk_size > inflate_chunk_limit) chunk_size = inflate_chunk_limit;
    // No point in a buffer larger than the whole expected output plus one byte
    // (the byte that proves an overlong stream).
    if (expected_size + 1 < chunk_size) chunk_size = static_cast<uint32_t>(expected_size + 1);

    std::vector<uint8_t> result;
    std::vector<uint8_t> chunk;
    try {
        chunk.resize(chunk_size);
    } catch (const std::bad_alloc&) {
        return png_error_alloc;
    }

    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    if (inflateInit2(&stream, -15) != Z_OK) return png_error_alloc;

    const uint8_t* next_input = data + 2;
    uint64_t input_left = size - 2;
    auto feed = [&]() {
        const uInt piece = input_left > UINT_MAX ? UINT_MAX : static_cast<uInt>(input_left);
        stream.next_in = const_cast<Bytef*>(next_input);
        stream.avail_in = piece;
        next_input += piece;
        input_left -= piece;
    };
    feed();

    uint32_t error = 0;
    for (;;) {
        if (stream.avail_in == 0 && input_left > 0) feed();
        stream.next_out = chunk.data();
        stream.avail_out = chunk_size;
        const int ret = inflate(&stream, Z_SYNC_FLUSH);
        const uint64_t produced = chunk_size - stream.avail_out;
        if (produced > 0) {
            if (result.size() + produced > expected_size) {
                error = png_error_data_size;
                break;
            }
            try {
                result.insert(result.end(), chunk.data(), chunk.data() + produced);
            } catch (const std::exception&) {
                error = png_error_alloc;
                break;
            }
        }
        if (ret == Z_STREAM_END) break;
        if (ret == Z_MEM_ERROR) {
            error = png_error_alloc;
            break;
        }
        if (ret == Z_OK) {
            // No progress with all input used up: the stream was cut off.
            if (produced == 0 && stream.avail_in == 0 && input_left == 0) {
                error = png_error_inflate;
                break;
            }
            continue;
        }
        if (ret == Z_BUF_ERROR && input_left > 0) continue;
        error = png_error_inflate;
        break;
    }
    if (inflateEnd(&stream) != Z_OK && error == 0) error = png_error_alloc;
    if (error) return error;

    if (size < 4) return png_error_adler;
    const uint32_t stored = read_u32(data + size - 4);
    uLong adler = adler32(0L, Z_NULL, 0);
    for (uint64_t done = 0; done < result.size();) {
        const uint64_t left = result.size() - done;
        const uInt piece = left > UINT_MAX ? UINT_MAX : static_cast<uInt>(left);
        adler = adler32(adler, result.data() + done, piece);
        done += piece;
    }
    if (static_cast<uint32_t>(adler) != stored) return png_error_adler;
    out.swap(result);
    return 0;
}

uint32_t unfilter_image(uint8_t* out, const uint8_t* in, uint32_t width, uint32_t height,
                        const png_info& info) {
    const uint32_t bpp = bits_per_pixel(info.colour);
    if (bpp == 0) return png_error_colour_type;

    if (info.interlace_method == 0) {
        const uint64_t row_bytes = png_row_bytes(width, bpp);
        const uint64_t row_bits = static_cast<uint64_t>(width) * bpp;
        if (bpp < 8 && row_bits % 8 != 0) {
            std::vector<uint8_t> padded;
            try {
                padded.resize(row_bytes * height);
            } catch (const std::exception&) {
                return png_error_alloc;
            }
            if (const uint32_t error = unfilter_rows(padded.data(), in, row_bytes, height, bpp)) return error;
            remove_padding_bits(out, padded.data(), row_bits, row_bytes * 8, height);
            return 0;
        }
        return unfilter_rows(out, in, row_bytes, height, bpp);
    }

    std::vector<uint8_t> pass_image;
    const uint8_t* pass_in = in;
    for (int pass = 0; pass < 7; ++pass) {
        const adam7_pass p = adam7_pass_geometry(pass, width, height);
        if (p.width == 0 || p.height == 0) continue;
        const uint64_t row_bytes = png_row_bytes(p.width, bpp);
        try {
            pass_image.resize(row_bytes * p.height);
        } catch (const std::exception&) {
            return png_error_alloc;
        }
        if (const uint32_t error = unfilter_rows(pass_image.data(), pass_in, row_bytes, p.height, bpp))
            return error;
        pass_in += p.height * (row_bytes + 1);

        if (bpp >= 8) {
            const uint64_t pixel_bytes = bpp / 8;
            for (uint64_t y = 0; y < p.height; ++y) {
                const uint64_t out_y = p.y0 + y * p.dy;
                for (uint64_t x = 0; x < p.width; ++x) {
                    const uint64_t out_x = p.x0 + x * p.dx;
                    std::memcpy(out + (out_y * width + out_x) * pixel_bytes,
                                pass_image.data() + y * row_bytes + x * pixel_bytes, pixel_bytes);
                }
            }
        } else {
            for (uint64_t y = 0; y < p.height; ++y) {
                const uint64_t out_y = p.y0 + y * p.dy;
                for (uint64_t x = 0; x < p.width; ++x) {
                    const uint64_t out_x = p.x0 + x * p.dx;
                    const uint64_t in_bit = y * row_bytes * 8 + x * bpp;
                    const uint64_t out_bit = (out_y * width + out_x) * bpp;
                    for (uint32_t b = 0; b < bpp; ++b)
                        set_bit(out, out_bit + b, get_bit(pass_image.data(), in_bit + b));
                }
            }
        }
    }
    return 0;
}

uint32_t decode_png_buffer(std::vector<uint8_t>& image, uint32_t& width, uint32_t& height,
                           LodePNGState& state, const uint8_t* data, size_t size) {
    auto fail = [&state](uint32_t code) { return state.last_error = code; };
    uint32_t w = 0, h = 0;
    if (const uint32_t error = inspect_png(w, h, state, data, size)) return error;

    const uint64_t pixels = static_cast<uint64_t>(w) * h;
    if (pixels > png_max_pixels) return fail(png_error_too_many_pixels);

    png_info& info = state.file_info;
    png_colour_mode& colour = info.colour;
    std::vector<uint8_t> compressed;
    uint32_t walk_error = png_error_chunk_header_past_end;  // stands when IEND never comes
    bool idat_seen = false;
    size_t pos = 33;
    for (;;) {
        if (size - pos < 12) break;  // frame past the end: 30
        const uint8_t* chunk = data + pos;
        const uint32_t length = png_chunk_length(chunk);
        if (length > max_chunk_length) {
            walk_error = png_error_chunk_length;
            break;
        }
        if (static_cast<uint64_t>(length) > size - pos - 12) {
            walk_error = png_error_chunk_data_past_end;
            break;
        }
        // Every chunk's CRC is compared, skipped ones too: a damaged type
        // letter can turn a PLTE, tRNS or IDAT into an unknown ancillary chunk,
        // and the pipeline copies ancillary chunks into its output.
        if (!png_chunk_crc_matches(chunk)) {
            walk_error = png_error_crc;
            break;
        }
        const uint8_t* payload = chunk + 8;
        bool end = false;
        uint32_t error = 0;
        if (png_chunk_type_equals(chunk, "IDAT")) {
            idat_seen = true;
            try {
                compressed.insert(compressed.end(), payload, payload + length);
            } catch (const std::exception&) {
                error = png_error_alloc;
            }
        } else if (png_chunk_type_equals(chunk, "IEND")) {
            end = true;
        } else if (idat_seen && (png_chunk_type_equals(chunk, "PLTE") || png_chunk_type_equals(chunk, "tRNS"))) {
            // Both must come before the image data; a late one is out of place
            // and describes nothing.
        } else if (png_chunk_type_equals(chunk, "PLTE")) {
            if (length > max_plte_length) {
                error = png_error_palette_size;
            } else {
                clear_palette(colour);
                for (uint32_t i = 0; i < length / 3 && !error; ++i)
                    error = palette_add(colour, payload[i * 3], payload[i * 3 + 1], payload[i * 3 + 2], 255);
            }
        } else if (png_chunk_type_equals(chunk, "tRNS")) {
            if (colour.colour_type == 3) {
                if (length > colour.palette_size) {
                    error = png_error_palette_size;
                } else {
                    for (uint32_t i = 0; i < length; ++i) colour.palette[i * 4 + 3] = payload[i];
                }
            } else if (colour.colour_type == 0) {
                if (length == 2) {
                    colour.key_defined = 1;
                    colour.key_red = colour.key_green = colour.key_blue =
                        static_cast<uint32_t>(payload[0]) << 8 | payload[1];
                }
            } else if (colour.colour_type == 2) {
                if (length == 6) {
                    colour.key_defined = 1;
                    colour.key_red = static_cast<uint32_t>(payload[0]) << 8 | payload[1];
                    colour.key_green = static_cast<uint32_t>(payload[2]) << 8 | payload[3];
                    colour.key_blue = static_cast<uint32_t>(payload[4]) << 8 | payload[5];
                }
            } else {
                error = png_error_trns_with_alpha;
            }
        } else {
            if (chunk[4] >= 'A' && chunk[4] <= 'Z') error = png_error_unknown_critical;
        }
        if (error) {
            walk_error = error;
            break;
        }
        if (end) {
            walk_error = 0;
            break;
        }
        pos += 12 + static_cast<size_t>(length);
    }
    if (walk_error) return fail(walk_error);
    // Indices have nothing to stand for without a palette.
    if (colour.colour_type == 3 && colour.palette_size == 0) return fail(png_error_palette_size);

    const uint64_t expected = png_filtered_size(w, h, info);
    std::vector<uint8_t> scanlines;
    if (const uint32_t error = inflate_zlib(scanlines, compressed.data(), compressed.size(), w, h, expected))
        return fail(error);
    std::vector<uint8_t>().swap(compressed);
    if (scanlines.size() != expected) return fail(png_error_data_size);

    std::vector<uint8_t> decoded;
    try {
        decoded.assign(raw_image_size(w, h, colour), 0);
    } catch (const std::exception&) {
        return fail(png_error_alloc);
    }
    if (const uint32_t error = unfilter_image(decoded.data(), scanlines.data(), w, h, info))
        return fail(error);
    // An index past the palette has no colour; any colour given to it would be invented.
    if (colour.colour_type == 3 && !palette_indices_fit(decoded, colour)) return fail(png_error_palette_size);
    image.swap(decoded);
    width = w;
    height = h;
    return state.last_error = 0;
}

uint32_t decode_png(std::vector<uint8_t>& out, uint32_t& width, uint32_t& height,
                    LodePNGState& state, const std::vector<uint8_t>& png) {
    auto fail = [&state](uint32_t code) { return state.last_error = code; };
    std::vector<uint8_t> image;
    uint32_t w = 0, h = 0;
    if (const uint32_t error = decode_png_buffer(image, w, h, state, png.data(), png.size())) return error;

    const png_colour_mode& file_mode = state.file_info.colour;
    if (!state.decoder.convert_colour) {
        if (const uint32_t error = copy_colour_mode(state.raw_mode, file_mode)) return fail(error);
    } else if (!colour_modes_equal(state.raw_mode, file_mode)) {
        const png_colour_mode& raw = state.raw_mode;
        if (raw.colour_type != 2 && raw.colour_type != 6 && raw.bit_depth != 8)
            return fail(png_error_raw_mode);
        // A raw mode that is not a valid PNG layout would be written past its buffer.
        if (const uint32_t error = check_colour_mode(raw.colour_type, raw.bit_depth)) return fail(error);
        std::vector<uint8_t> converted;
        try {
            converted.resize(raw_image_size(w, h, raw));
        } catch (const std::exception&) {
            return fail(png_error_alloc);
        }
        if (const uint32_t error = convert_pixels(converted.data(), image.data(), raw, file_mode, w, h))
            return fail(error);
        image.swap(converted);
    }

    if (out.empty()) {
        out.swap(image);
    } else {
        try {
            out.insert(out.end(), image.begin(), image.end());
        } catch (const std::exception&) {
            return fail(png_error_alloc);
        }
    }
    width = w;
    height = h;
    return state.last_error = 0;
}
