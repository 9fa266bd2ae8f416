// Compression ratio and speed of the changed zlib deflate (zdeflate) against
// the packaged zlib, level by level, on real filtered PNG scanlines: the IDAT
// stream of each PNG given is inflated with the packaged zlib and the result
// (filter byte + filtered row, as the PNG encoder compresses it) is
// compressed again as one zlib stream per file, window 15, memLevel 8.
//
//   bench_zlib [--max-bytes N] [--strategy S] [--repeat R] file.png...
#include "core/deflate/zlib_deflate.h"

#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;

std::uint32_t be32(const std::uint8_t* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}

// Filtered scanlines of a PNG: its IDAT data inflated, at most max_bytes.
bool scanlines_of(const std::string& path, std::size_t max_bytes, bytes& out) {
    std::ifstream f(path, std::ios::binary);
    bytes file((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    static const std::uint8_t signature[8] = {137, 80, 78, 71, 13, 10, 26, 10};
    if (file.size() < 8 || std::memcmp(file.data(), signature, 8) != 0) return false;
    bytes idat;
    for (std::size_t pos = 8; pos + 12 <= file.size();) {
        std::uint32_t len = be32(&file[pos]);
        if (len > file.size() - pos - 12) return false;
        if (std::memcmp(&file[pos + 4], "IDAT", 4) == 0)
            idat.insert(idat.end(), file.begin() + pos + 8, file.begin() + pos + 8 + len);
        pos += 12 + std::size_t(len);
    }
    z_stream s{};
    if (inflateInit(&s) != Z_OK) return false;
    out.assign(max_bytes, 0);
    s.next_in = idat.data();
    s.avail_in = static_cast<uInt>(idat.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    int rc = inflate(&s, Z_FINISH);
    out.resize(s.total_out);
    inflateEnd(&s);
    return rc == Z_STREAM_END || rc == Z_BUF_ERROR || rc == Z_OK;
}

struct result {
    std::uint64_t out_bytes = 0;
    double seconds = 0;
};

template <class Init, class Deflate, class End>
result run(const std::vector<bytes>& inputs, int repeat, Init init, Deflate deflate_fn, End end_fn) {
    result r;
    for (const bytes& in : inputs) {
        double best = 1e30;
        std::uint64_t size = 0;
        bytes out(in.size() + in.size() / 8 + 1024);
        for (int k = 0; k < repeat; ++k) {
            z_stream s{};
            auto t0 = std::chrono::steady_clock::now();
            if (init(&s) != Z_OK) std::exit(2);
            s.next_in = const_cast<Bytef*>(in.data());
            s.avail_in = static_cast<uInt>(in.size());
            s.next_out = out.data();
            s.avail_out = static_cast<uInt>(out.size());
            if (deflate_fn(&s, Z_FINISH) != Z_STREAM_END) std::exit(3);  // check before reading total_out
            size = s.total_out;
            end_fn(&s);
            double dt = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            if (dt < best) best = dt;
        }
        // Our streams must inflate back to the input.
        bytes back(in.size() + 1);
        uLongf back_len = back.size();
        if (uncompress(back.data(), &back_len, out.data(), size) != Z_OK || back_len != in.size() ||
            std::memcmp(back.data(), in.data(), in.size()) != 0)
            std::exit(4);
        r.out_bytes += size;
        r.seconds += best;
    }
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t max_bytes = 2u << 20;
    int strategy = Z_DEFAULT_STRATEGY, repeat = 1;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--max-bytes" && i + 1 < argc) max_bytes = std::strtoul(argv[++i], nullptr, 10);
        else if (a == "--strategy" && i + 1 < argc) strategy = std::atoi(argv[++i]);
        else if (a == "--repeat" && i + 1 < argc) repeat = std::atoi(argv[++i]);
        else files.push_back(a);
    }
    std::vector<bytes> inputs;
    std::uint64_t total = 0;
    for (const std::string& f : files) {
        bytes b;
        if (!scanlines_of(f, max_bytes, b) || b.empty()) {
            std::fprintf(stderr, "skipped %s\n", f.c_str());
            continue;
        }
        total += b.size();
        inputs.push_back(std::move(b));
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "usage: bench_zlib [--max-bytes N] [--strategy S] [--repeat R] file.png...\n");
        return 1;
    }
    std::printf("%zu files, %.2f MB of filtered scanlines, zlib streams, window 15, memLevel 8, strategy %d\n\n",
                inputs.size(), total / 1e6, strategy);
    std::printf("| level | zdeflate bytes | ratio | MB/s | zlib %s bytes | ratio | MB/s | size vs zlib |\n",
                zlibVersion());
    std::printf("|---|---|---|---|---|---|---|---|\n");
    for (int level = 0; level <= 9; ++level) {
        result ours = run(
            inputs, repeat,
            [&](z_stream* s) {
                return zdeflate::deflate_init2(s, level, Z_DEFLATED, 15, 8, strategy, zdeflate::deflate_version,
                                               sizeof(z_stream));
            },
            zdeflate::deflate_stream, zdeflate::deflate_end);
        result stock = run(
            inputs, repeat, [&](z_stream* s) { return deflateInit2(s, level, Z_DEFLATED, 15, 8, strategy); },
            deflate, deflateEnd);
        std::printf("| %d | %llu | %.4f | %.1f | %llu | %.4f | %.1f | %+.2f%% |\n", level,
                    static_cast<unsigned long long>(ours.out_bytes), double(ours.out_bytes) / total,
                    total / 1e6 / ours.seconds, static_cast<unsigned long long>(stock.out_bytes),
                    double(stock.out_bytes) / total, total / 1e6 / stock.seconds,
                    100.0 * (double(ours.out_bytes) - double(stock.out_bytes)) / double(stock.out_bytes));
        std::fflush(stdout);
    }
    return 0;
}
