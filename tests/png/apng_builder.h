// Builds APNG files for the tests with exact control of every chunk: frame
// controls (region, delay, dispose and blend ops), a default image inside or
// outside the animation, sequence numbers, split data chunks, and hostile
// variants (wrong lengths, CRCs, orders). Pixels are given in the file's own
// layout (colour type and depth of the IHDR, samples below 8 bits packed);
// rows are written unfiltered.
#pragma once
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace apng_test {

using bytes = std::vector<uint8_t>;

inline void put_u32(bytes& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(v >> shift));
}
inline void put_u16(bytes& out, uint32_t v) {
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v));
}
inline uint32_t get_u32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

inline bytes chunk(const std::string& type, const bytes& data, bool good_crc = true) {
    bytes out;
    put_u32(out, uint32_t(data.size()));
    out.insert(out.end(), type.begin(), type.end());
    out.insert(out.end(), data.begin(), data.end());
    uint32_t crc = uint32_t(::crc32(0, out.data() + 4, uInt(out.size() - 4)));
    if (!good_crc) crc ^= 1;
    put_u32(out, crc);
    return out;
}

// zlib stream of unfiltered rows of `row` bytes each.
inline bytes zlib_rows(const bytes& pixels, uint32_t height, size_t row) {
    bytes raw;
    for (uint32_t y = 0; y < height; ++y) {
        raw.push_back(0);
        raw.insert(raw.end(), pixels.begin() + y * row, pixels.begin() + (y + 1) * row);
    }
    uLongf size = compressBound(uLong(raw.size()));
    bytes out(size);
    compress2(out.data(), &size, raw.data(), uLong(raw.size()), 6);
    out.resize(size);
    return out;
}

struct frame_spec {
    uint32_t x = 0, y = 0, width = 0, height = 0;  // width 0: the whole canvas
    uint16_t delay_num = 1, delay_den = 10;
    uint8_t dispose = 0, blend = 0;
    bytes pixels;          // width x height pixels in the file's layout
    int data_chunks = 1;   // the frame's data split over this many chunks
};

struct apng_spec {
    uint32_t width = 4, height = 3;
    uint8_t bit_depth = 8, colour_type = 6;
    bytes plte, trns;                 // written when not empty
    bool hidden_default = false;      // the IDAT image is not part of the animation
    bytes default_pixels;             // its pixels, when hidden
    std::vector<frame_spec> frames;
    uint32_t plays = 0;
    // Hostile variants.
    bool write_actl = true;
    int64_t actl_frames = -1;         // -1: the number of frames
    std::vector<int64_t> sequence;    // replaces the numbers 0, 1, 2, ... where given
    bytes extra_before_data;          // raw chunk bytes before the first data chunk
    bool write_iend = true;

    // Bytes of a row of `w` pixels; samples below 8 bits are packed.
    size_t row_bytes(uint32_t w) const {
        const uint32_t channels[] = {1, 0, 3, 1, 2, 0, 4};
        return (size_t(w) * channels[colour_type] * bit_depth + 7) / 8;
    }

    bytes build() const {
        bytes out = {137, 80, 78, 71, 13, 10, 26, 10};
        bytes ihdr;
        put_u32(ihdr, width);
        put_u32(ihdr, height);
        ihdr.insert(ihdr.end(), {bit_depth, colour_type, 0, 0, 0});
        append(out, chunk("IHDR", ihdr));
        if (write_actl) {
            bytes actl;
            put_u32(actl, uint32_t(actl_frames < 0 ? frames.size() : uint64_t(actl_frames)));
            put_u32(actl, plays);
            append(out, chunk("acTL", actl));
        }
        if (!plte.empty()) append(out, chunk("PLTE", plte));
        if (!trns.empty()) append(out, chunk("tRNS", trns));
        append(out, extra_before_data);
        size_t next = 0;
        auto sequence_number = [&]() {
            const size_t i = next++;
            return uint32_t(i < sequence.size() && sequence[i] >= 0 ? uint64_t(sequence[i]) : i);
        };
        if (hidden_default) append(out, chunk("IDAT", zlib_rows(default_pixels, height, row_bytes(width))));
        for (size_t f = 0; f < frames.size(); ++f) {
            const frame_spec& frame = frames[f];
            const uint32_t w = frame.width ? frame.width : width;
            const uint32_t h = frame.width ? frame.height : height;
            bytes fctl;
            put_u32(fctl, sequence_number());
            put_u32(fctl, w);
            put_u32(fctl, h);
            put_u32(fctl, frame.x);
            put_u32(fctl, frame.y);
            put_u16(fctl, frame.delay_num);
            put_u16(fctl, frame.delay_den);
            fctl.push_back(frame.dispose);
            fctl.push_back(frame.blend);
            append(out, chunk("fcTL", fctl));
            const bytes data = zlib_rows(frame.pixels, h, row_bytes(w));
            const size_t parts = size_t(frame.data_chunks);
            for (size_t part = 0; part < parts; ++part) {
                const size_t from = data.size() * part / parts, to = data.size() * (part + 1) / parts;
                bytes piece(data.begin() + from, data.begin() + to);
                if (f == 0 && !hidden_default) {
                    append(out, chunk("IDAT", piece));
                } else {
                    bytes fdat;
                    put_u32(fdat, sequence_number());
                    append(fdat, piece);
                    append(out, chunk("fdAT", fdat));
                }
            }
        }
        if (write_iend) append(out, chunk("IEND", {}));
        return out;
    }

    static void append(bytes& out, const bytes& more) { out.insert(out.end(), more.begin(), more.end()); }
};

// One RGBA8 pixel block of w x h filled by f(x, y) -> {r, g, b, a}.
template <typename F>
bytes rgba_pixels(uint32_t w, uint32_t h, F f) {
    bytes out;
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const auto p = f(x, y);
            out.insert(out.end(), p.begin(), p.end());
        }
    return out;
}

inline bytes solid(uint32_t w, uint32_t h, std::vector<uint8_t> pixel) {
    bytes out;
    for (uint32_t i = 0; i < w * h; ++i) out.insert(out.end(), pixel.begin(), pixel.end());
    return out;
}

// The chunks of a PNG file: type and data, in order.
struct chunk_view {
    std::string type;
    bytes data;
    bool crc_ok;
};
inline std::vector<chunk_view> list_chunks(const bytes& file) {
    std::vector<chunk_view> out;
    size_t pos = 8;
    while (pos + 12 <= file.size()) {
        const uint32_t length = get_u32(&file[pos]);
        if (pos + 12 + uint64_t(length) > file.size()) break;
        chunk_view c;
        c.type.assign(file.begin() + pos + 4, file.begin() + pos + 8);
        c.data.assign(file.begin() + pos + 8, file.begin() + pos + 8 + length);
        c.crc_ok = get_u32(&file[pos + 8 + length]) == uint32_t(::crc32(0, &file[pos + 4], length + 4));
        out.push_back(c);
        pos += 12 + length;
    }
    return out;
}

}  // namespace apng_test
