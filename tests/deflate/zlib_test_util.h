// Shared fixtures of the zdeflate tests: test data built in code, one-call
// compression with zdeflate or the packaged zlib, and inflate.
#pragma once

#include "core/deflate/zlib_deflate.h"

#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace ztest {

using bytes = std::vector<std::uint8_t>;

enum class data_kind { random, runs, text, scanlines };
inline const char* kind_name(data_kind k) {
    switch (k) {
    case data_kind::random: return "random";
    case data_kind::runs: return "runs";
    case data_kind::text: return "text";
    case data_kind::scanlines: return "scanlines";
    }
    return "?";
}
inline constexpr data_kind all_kinds[] = {data_kind::random, data_kind::runs, data_kind::text,
                                          data_kind::scanlines};

inline std::uint8_t paeth(int a, int b, int c) {
    int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return static_cast<std::uint8_t>(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// Filtered RGB scanlines of a smooth synthetic picture with noise, each row
// led by its PNG filter byte (none, sub, up, average, paeth in turn).
inline bytes make_scanlines(std::size_t size, std::mt19937& rng) {
    const int width = 211, bpp = 3, stride = width * bpp;
    bytes out;
    bytes prev(stride, 0), row(stride);
    for (int y = 0; out.size() < size; ++y) {
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < bpp; ++c) {
                int v = (x * (c + 1) + y * (3 - c)) / 2 + static_cast<int>(rng() % 9) - 4;
                if ((x / 37 + y / 23) % 5 == 0) v = 200 + c * 10;  // flat patches
                row[x * bpp + c] = static_cast<std::uint8_t>(v);
            }
        int filter = y % 5;
        out.push_back(static_cast<std::uint8_t>(filter));
        for (int i = 0; i < stride; ++i) {
            int a = i >= bpp ? row[i - bpp] : 0, b = prev[i], c = i >= bpp ? prev[i - bpp] : 0;
            int pred = filter == 0 ? 0 : filter == 1 ? a : filter == 2 ? b : filter == 3 ? (a + b) / 2 : paeth(a, b, c);
            out.push_back(static_cast<std::uint8_t>(row[i] - pred));
        }
        prev = row;
    }
    out.resize(size);
    return out;
}

inline bytes make_data(data_kind kind, std::size_t size, unsigned seed = 1) {
    std::mt19937 rng(seed);
    bytes out;
    out.reserve(size);
    switch (kind) {
    case data_kind::random:
        while (out.size() < size) out.push_back(static_cast<std::uint8_t>(rng()));
        break;
    case data_kind::runs:
        while (out.size() < size) {
            std::uint8_t b = static_cast<std::uint8_t>(rng() % 4 == 0 ? rng() : rng() % 3);
            std::size_t n = 1 + rng() % (rng() % 8 == 0 ? 600 : 20);
            for (std::size_t i = 0; i < n && out.size() < size; ++i) out.push_back(b);
        }
        break;
    case data_kind::text: {
        static const char* words[] = {"the ", "deflate ", "stream ", "window ", "of ", "a ", "block ",
                                      "Huffman ", "code ", "length ", "distance ", "match ", "and ",
                                      "literal ", "PNG ", "row\n", "filter, ", "zlib. ", "to ", "is "};
        while (out.size() < size) {
            const char* w = words[rng() % 20];
            if (rng() % 50 == 0) out.push_back(static_cast<std::uint8_t>('A' + rng() % 26));
            for (const char* p = w; *p && out.size() < size; ++p) out.push_back(static_cast<std::uint8_t>(*p));
        }
        break;
    }
    case data_kind::scanlines:
        out = make_scanlines(size, rng);
        break;
    }
    return out;
}

struct params {
    int level = 6;
    int window_bits = -15;  // negative: raw
    int mem_level = 8;
    int strategy = Z_DEFAULT_STRATEGY;
};

inline std::string describe(const params& p) {
    return "level " + std::to_string(p.level) + " wbits " + std::to_string(p.window_bits) + " mem " +
           std::to_string(p.mem_level) + " strategy " + std::to_string(p.strategy);
}

// Compresses data in one stream with zdeflate, feeding input in chunks of
// in_chunk bytes with flush (finishing with Z_FINISH) and handing out output
// through a window of out_chunk bytes. Returns empty and sets ok = false on
// any unexpected return code.
inline bytes zcompress(const params& p, const bytes& data, bool& ok, std::size_t in_chunk = 0,
                       std::size_t out_chunk = 0, int flush = Z_NO_FLUSH) {
    ok = false;
    z_stream s{};
    if (zdeflate::deflate_init2(&s, p.level, Z_DEFLATED, p.window_bits, p.mem_level, p.strategy,
                                zdeflate::deflate_version, sizeof(z_stream)) != Z_OK)
        return {};
    bytes out(zdeflate::deflate_bound(&s, data.size()) + 64 + data.size() / 8);
    if (in_chunk == 0) in_chunk = data.size() + 1;
    if (out_chunk == 0) out_chunk = out.size();
    std::size_t in_pos = 0;
    s.next_out = out.data();
    int rc = Z_OK;
    for (;;) {
        std::size_t n = std::min(in_chunk, data.size() - in_pos);
        s.next_in = const_cast<Bytef*>(data.data() + in_pos);
        s.avail_in = static_cast<uInt>(n);
        in_pos += n;
        const bool last = in_pos == data.size();
        const int f = last ? Z_FINISH : flush;
        do {
            s.avail_out = static_cast<uInt>(std::min<std::size_t>(out_chunk, out.data() + out.size() - s.next_out));
            rc = zdeflate::deflate_stream(&s, f);
            if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
                zdeflate::deflate_end(&s);
                return {};
            }
        } while (s.avail_in != 0 || (last && rc != Z_STREAM_END) || (!last && s.avail_out == 0));
        if (last) break;
    }
    out.resize(s.total_out);
    ok = zdeflate::deflate_end(&s) == Z_OK;
    return out;
}

// Measures data with a raw zdeflate stream fed in chunks with flush 0 (or
// the given flush) and finished with Z_FINISH; -1 on failure.
inline long zmeasure(const params& p, const bytes& data, std::size_t in_chunk = 0, int flush = Z_NO_FLUSH) {
    z_stream s{};
    if (zdeflate::deflate_init2(&s, p.level, Z_DEFLATED, p.window_bits, p.mem_level, p.strategy,
                                zdeflate::deflate_version, sizeof(z_stream)) != Z_OK)
        return -1;
    std::uint8_t placeholder = 0;
    s.next_out = &placeholder;
    s.avail_out = ~0u;
    if (in_chunk == 0) in_chunk = data.size() + 1;
    std::size_t in_pos = 0;
    int rc = Z_OK;
    do {
        std::size_t n = std::min(in_chunk, data.size() - in_pos);
        s.next_in = const_cast<Bytef*>(data.data() + in_pos);
        s.avail_in = static_cast<uInt>(n);
        in_pos += n;
        rc = zdeflate::deflate_measure(&s, in_pos == data.size() ? Z_FINISH : flush);
        if (rc != Z_OK && rc != Z_STREAM_END) break;
    } while (in_pos < data.size());
    long result = rc == Z_STREAM_END && s.next_out == &placeholder && placeholder == 0 &&
                          s.avail_out == ~0u
                      ? static_cast<long>(s.total_out)
                      : -1;
    zdeflate::deflate_end(&s);
    return result;
}

// Debian's zlib with the same parameters, one call.
inline bytes stock_compress(const params& p, const bytes& data) {
    z_stream s{};
    if (deflateInit2(&s, p.level, Z_DEFLATED, p.window_bits, p.mem_level, p.strategy) != Z_OK) return {};
    bytes out(deflateBound(&s, data.size()) + 64);
    s.next_in = const_cast<Bytef*>(data.data());
    s.avail_in = static_cast<uInt>(data.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    int rc = deflate(&s, Z_FINISH);
    out.resize(s.total_out);
    deflateEnd(&s);
    return rc == Z_STREAM_END ? out : bytes{};
}

// Inflates a raw (window_bits < 0) or zlib stream; ok = stream complete and
// every input byte used.
inline bytes inflate_all(const bytes& stream, int window_bits, bool& ok) {
    ok = false;
    z_stream s{};
    if (inflateInit2(&s, window_bits < 0 ? -15 : 15) != Z_OK) return {};
    bytes out;
    std::uint8_t buf[1 << 16];
    s.next_in = const_cast<Bytef*>(stream.data());
    s.avail_in = static_cast<uInt>(stream.size());
    int rc;
    do {
        s.next_out = buf;
        s.avail_out = sizeof buf;
        rc = inflate(&s, Z_NO_FLUSH);
        out.insert(out.end(), buf, buf + (sizeof buf - s.avail_out));
    } while (rc == Z_OK);
    ok = rc == Z_STREAM_END && s.avail_in == 0;
    inflateEnd(&s);
    return out;
}

// Filtered scanlines of a corpus PNG (its IDAT data inflated), at most
// max_bytes; empty when the corpus or the file is missing.
inline bytes corpus_scanlines(const std::string& relative, std::size_t max_bytes) {
    const char* root = std::getenv("VELTO_CORPUS");
    if (!root) return {};
    std::ifstream f(std::string(root) + "/" + relative, std::ios::binary);
    bytes file((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (file.size() < 8) return {};
    bytes idat;
    for (std::size_t pos = 8; pos + 12 <= file.size();) {
        std::size_t len = (std::size_t(file[pos]) << 24) | (file[pos + 1] << 16) | (file[pos + 2] << 8) | file[pos + 3];
        if (len > file.size() - pos - 12) return {};
        if (std::memcmp(&file[pos + 4], "IDAT", 4) == 0)
            idat.insert(idat.end(), file.begin() + pos + 8, file.begin() + pos + 8 + len);
        pos += 12 + len;
    }
    z_stream s{};
    if (inflateInit(&s) != Z_OK) return {};
    bytes out(max_bytes);
    s.next_in = idat.data();
    s.avail_in = static_cast<uInt>(idat.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    int rc = inflate(&s, Z_FINISH);
    out.resize(s.total_out);
    inflateEnd(&s);
    return rc == Z_STREAM_END || rc == Z_BUF_ERROR ? out : bytes{};
}

// A zlib allocator that fails once `allowed` allocations have succeeded, and
// counts the blocks still live, for allocation-failure tests.
struct alloc_budget {
    int allowed;  // allocations that succeed before the next ones fail
    int live = 0;
};
inline voidpf budget_alloc(voidpf opaque, uInt items, uInt size) {
    auto* b = static_cast<alloc_budget*>(opaque);
    if (b->allowed-- <= 0) return nullptr;
    ++b->live;
    return std::malloc(static_cast<std::size_t>(items) * size);
}
inline void budget_free(voidpf opaque, voidpf p) {
    --static_cast<alloc_budget*>(opaque)->live;
    std::free(p);
}

}  // namespace ztest
