// libFuzzer target for the PNG decoder: any input must give a code or a
// complete image, never a crash, an overread or undefined behaviour.
//
// Checksums stop random inputs early, so the first input byte picks how the
// rest is used: as a file as it stands, as a file whose chunk CRCs are
// recomputed, or as the parameters and scanlines of an image that is wrapped
// in a correct PNG (stored deflate, right Adler-32), which reaches unfiltering,
// Adam7 and conversion on almost every run.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/png/codec/colour_convert.h"
#include "core/png/codec/decode.h"

namespace {

using bytes = std::vector<uint8_t>;

void put_u32(bytes& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(v >> shift));
}

void fix_chunk_crcs(bytes& png) {
    for (size_t pos = 8; pos + 12 <= png.size();) {
        const uint32_t length = png_chunk_length(png.data() + pos);
        if (length > png.size() - pos - 12) break;
        const uLong crc = crc32(crc32(0, Z_NULL, 0), png.data() + pos + 4, uInt(length) + 4);
        for (int i = 0; i < 4; ++i) png[pos + 8 + length + i] = uint8_t(crc >> (24 - 8 * i));
        pos += 12 + size_t(length);
    }
}

bytes zlib_stored(const uint8_t* data, size_t size) {
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

// params: width, height, colour choice, flags, PLTE entries, tRNS length; then data.
bytes wrapped_image(const uint8_t* data, size_t size) {
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

void decode_all_ways(const bytes& png) {
    lodepng::State state;
    bytes rgba;
    uint32_t width = 0, height = 0;
    if (decode_png(rgba, width, height, state, png) == 0) {
        if (rgba.size() != uint64_t(width) * height * 4) std::abort();
        colour_stats stats;
        if (collect_colour_stats(stats, rgba.data(), width, height, state.raw_mode) != 0) std::abort();
    }

    lodepng::State raw_state;
    raw_state.decoder.convert_colour = 0;
    bytes raw;
    if (decode_png(raw, width, height, raw_state, png) == 0) {
        if (raw.size() != raw_image_size(width, height, raw_state.raw_mode)) std::abort();
        colour_stats stats;
        collect_colour_stats(stats, raw.data(), width, height, raw_state.raw_mode);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        decode_all_ways({});
        return 0;
    }
    const uint8_t mode = data[0] % 3;
    ++data;
    --size;
    if (mode == 0) {
        decode_all_ways(bytes(data, data + size));
    } else if (mode == 1) {
        bytes png(data, data + size);
        fix_chunk_crcs(png);
        decode_all_ways(png);
    } else {
        decode_all_ways(wrapped_image(data, size));
    }
    return 0;
}
