// Helpers for the Zopfli-style compressor tests: inputs built in code and
// raw-DEFLATE inflation through the system zlib.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/deflate/zopfli.h"

namespace zopfli_test {

inline std::vector<unsigned char> text_data(size_t n) {
    static const char* words[] = {"the ", "quick ", "brown ", "fox ", "jumps ", "over ", "lazy ", "dog ",
                                  "and ", "runs ", "away\n", "compress ", "block ", "tree "};
    std::vector<unsigned char> v;
    uint32_t r = 12345;
    while (v.size() < n) {
        r = r * 1103515245u + 12345u;
        const char* w = words[(r >> 16) % 14];
        for (const char* c = w; *c && v.size() < n; ++c) v.push_back(static_cast<unsigned char>(*c));
    }
    return v;
}

inline std::vector<unsigned char> noise_data(size_t n, uint32_t seed) {
    std::vector<unsigned char> v(n);
    uint32_t r = seed;
    for (auto& b : v) {
        r = r * 1664525u + 1013904223u;
        b = static_cast<unsigned char>(r >> 24);
    }
    return v;
}

// Rows of a smooth image with filter bytes, like PNG scanlines.
inline std::vector<unsigned char> scanline_data(size_t rows, size_t row_bytes, uint32_t seed) {
    std::vector<unsigned char> v;
    uint32_t r = seed;
    for (size_t y = 0; y < rows; ++y) {
        v.push_back(static_cast<unsigned char>(y % 5));
        for (size_t x = 0; x < row_bytes; ++x) {
            r = r * 1664525u + 1013904223u;
            unsigned char noise = static_cast<unsigned char>((r >> 28) & 3);
            v.push_back(static_cast<unsigned char>((x * 3 + y) / 7 % 40 + noise));
        }
    }
    return v;
}

inline std::vector<unsigned char> mixed_data(size_t n) {
    std::vector<unsigned char> v = text_data(n / 3);
    std::vector<unsigned char> r = noise_data(n / 6, 7);
    v.insert(v.end(), r.begin(), r.end());
    v.insert(v.end(), n / 6, 'x');
    std::vector<unsigned char> s = scanline_data(20, (n / 3) / 20 + 1, 3);
    v.insert(v.end(), s.begin(), s.end());
    v.resize(n);
    return v;
}

// Inflates a raw DEFLATE stream; false when zlib rejects it or it does not end.
inline bool inflate_raw(const unsigned char* data, size_t size, std::vector<unsigned char>* out) {
    z_stream zs{};
    if (inflateInit2(&zs, -15) != Z_OK) return false;
    zs.next_in = const_cast<unsigned char*>(data);
    zs.avail_in = static_cast<uInt>(size);
    out->clear();
    unsigned char buf[65536];
    int ret;
    do {
        zs.next_out = buf;
        zs.avail_out = sizeof(buf);
        ret = inflate(&zs, Z_NO_FLUSH);
        out->insert(out->end(), buf, buf + (sizeof(buf) - zs.avail_out));
    } while (ret == Z_OK);
    inflateEnd(&zs);
    return ret == Z_STREAM_END;
}

struct stream {
    std::vector<unsigned char> bytes;
    unsigned char bp = 0;
};

inline stream compress(const zopfli::Zopflioptions& opts, const std::vector<unsigned char>& in) {
    unsigned char* out = nullptr;
    size_t outsize = 0;
    unsigned char bp = 0;
    zopfli::zopfli_deflate(&opts, 1, in.data(), in.size(), &bp, &out, &outsize);
    stream s;
    s.bytes.assign(out, out + outsize);
    s.bp = bp;
    std::free(out);
    return s;
}

inline zopfli::Zopflioptions options(uint32_t mode, int32_t iterations, uint32_t threads = 1) {
    zopfli::Zopflioptions o;
    zopfli::zopfli_init_options(&o, mode, threads, 1, iterations, 0);
    return o;
}

}  // namespace zopfli_test
