// How the PNG fuzz targets turn fuzzer bytes into PNG files.
//
// Checksums stop random inputs early, so the targets take an input in one of
// these forms: bytes that begin with the PNG signature are a file (its chunk
// CRCs may be recomputed so that changed data gets past them); other bytes are
// the parameters and scanlines of an image wrapped in a correct PNG (stored
// deflate, right Adler-32), which reaches unfiltering, Adam7, conversion and
// the encoder roads on almost every run. Seeds taken from real PNG files are
// therefore used as files, unchanged.
#pragma once
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/png/codec/codec_state.h"
#include "core/png/codec/decode.h"

namespace fuzz_input {

using bytes = std::vector<uint8_t>;

// Functions the targets export for the regression test, which replays the
// kept inputs without libFuzzer.
int decode_png_target(const uint8_t* data, size_t size);
int chunk_scan_target(const uint8_t* data, size_t size);
int png_road_target(const uint8_t* data, size_t size);
int jpeg_road_target(const uint8_t* data, size_t size);  // files used as they are
int apng_road_target(const uint8_t* data, size_t size);

inline bool is_png_file(const uint8_t* data, size_t size) {
    return size >= 8 && std::memcmp(data, png_signature, 8) == 0;
}

inline void put_u32(bytes& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(v >> shift));
}

// Recomputes the CRC of every chunk that lies wholly inside the file.
inline void fix_chunk_crcs(bytes& png) {
    for (size_t pos = 8; pos + 12 <= png.size();) {
        const uint32_t length = png_chunk_length(png.data() + pos);
        if (length > png.size() - pos - 12) break;
        const uint32_t crc = png_chunk_crc(png.data() + pos);
        for (int i = 0; i < 4; ++i) png[pos + 8 + length + i] = uint8_t(crc >> (24 - 8 * i));
        pos += 12 + size_t(length);
    }
}

inline bytes zlib_stored(const uint8_t* data, size_t size) {
    bytes out = {0x78, 0x01};
    size_t pos = 0;
    do {
        const size_t n = size - pos < 65535 ? size - pos : 65535;
        out.push_back(pos + n == size ? 1 : 0);
        out.insert(out.end(), {uint8_t(n), uint8_t(n >> 8), uint8_t(~n), uint8_t(~n >> 8)});
        out.insert(out.end(), data + pos, data + pos + n);
        pos += n;
    } while (pos < size);
    put_u32(out, uint32_t(adler32(adler32(0, Z_NULL, 0), data, uInt(size))));
    return out;
}

// Parameters (6 bytes): width, height, colour choice, flags, PLTE entries,
// tRNS length; then the scanlines. Images stay within 40 x 40 pixels.
inline bytes wrapped_image(const uint8_t* data, size_t size) {
    static const uint8_t colours[][2] = {{0, 1}, {0, 2}, {0, 4}, {0, 8}, {0, 16}, {2, 8},  {2, 16}, {3, 1},
                                         {3, 2}, {3, 4}, {3, 8}, {4, 8}, {4, 16}, {6, 8}, {6, 16}, {5, 8}};
    if (size < 6) return {};
    const uint32_t width = 1 + data[0] % 40, height = 1 + data[1] % 40;
    const uint8_t* colour = colours[data[2] % 16];
    const uint8_t flags = data[3];
    const uint32_t palette_entries = data[4];
    const uint32_t trns_length = data[5] % 8 == 0 ? data[5] : 0;
    data += 6;
    size -= 6;

    bytes png(png_signature, png_signature + 8);
    bytes ihdr;
    put_u32(ihdr, width);
    put_u32(ihdr, height);
    ihdr.insert(ihdr.end(), {colour[1], colour[0], 0, 0, uint8_t(flags & 1)});
    png_chunk_create(png, 13, "IHDR", ihdr.data());
    const bytes palette(palette_entries * 3, 0x5A);
    if (colour[0] == 3 || (flags & 2)) png_chunk_create(png, uint32_t(palette.size()), "PLTE", palette.data());
    const bytes alphas(trns_length, 0x7F);
    if (trns_length) png_chunk_create(png, trns_length, "tRNS", alphas.data());

    png_info info;
    info.interlace_method = flags & 1;
    info.colour.colour_type = colour[0];
    info.colour.bit_depth = colour[1];
    const uint64_t expected = png_filtered_size(width, height, info);
    bytes scanlines(data, data + size);
    if (!(flags & 4)) scanlines.resize(expected, 0);  // usually exactly the size the header implies
    if (flags & 8)  // mostly valid filter types
        for (uint64_t pos = 0; pos < scanlines.size(); pos += 1 + png_row_bytes(width, bits_per_pixel(info.colour)))
            scanlines[pos] %= 5;
    const bytes z = zlib_stored(scanlines.data(), scanlines.size());
    png_chunk_create(png, uint32_t(z.size()), "IDAT", z.data());
    png_chunk_create(png, 0, "IEND", nullptr);
    return png;
}

// A PNG file as it is, with its chunk CRCs made right so that changed chunks
// get past the CRC check; any other input through `wrap`.
inline bytes png_file_or(const uint8_t* data, size_t size, bytes (*wrap)(const uint8_t*, size_t)) {
    if (!is_png_file(data, size)) return wrap(data, size);
    bytes png(data, data + size);
    fix_chunk_crcs(png);
    return png;
}

}  // namespace fuzz_input
