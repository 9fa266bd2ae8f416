// Ratio and speed of every level code of the multi-level compressor on real
// filtered PNG scanlines (the inflated IDAT data of the PNG files given on
// the command line), side by side with zlib level 9 and libdeflate levels 6,
// 9 and 12. Every file is compressed on its own, as the PNG encoder does.
//   bench_multilevel [--cap BYTES] [--repeat N] file.png...
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "core/deflate/multilevel.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// The filtered scanlines of a PNG: its IDAT chunks joined and inflated.
bool png_scanlines(const std::string& path, size_t cap, Bytes& out) {
  std::ifstream f(path, std::ios::binary);
  Bytes file((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (file.size() < 8 || std::memcmp(file.data(), "\x89PNG\r\n\x1a\n", 8) != 0) return false;
  Bytes idat;
  for (size_t pos = 8; pos + 12 <= file.size();) {
    const uint32_t len = be32(&file[pos]);
    if (len > file.size() - pos - 12) return false;
    if (std::memcmp(&file[pos + 4], "IDAT", 4) == 0)
      idat.insert(idat.end(), file.begin() + pos + 8, file.begin() + pos + 8 + len);
    pos += 12 + len;
  }
  z_stream s{};
  if (inflateInit(&s) != Z_OK) return false;
  out.assign(cap, 0);
  s.next_in = idat.data();
  s.avail_in = static_cast<uInt>(idat.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  const int rc = inflate(&s, Z_FINISH);
  out.resize(s.total_out);
  inflateEnd(&s);
  return (rc == Z_STREAM_END || rc == Z_BUF_ERROR) && !out.empty();
}

using Compressor = std::function<size_t(const Bytes& in, Bytes& out)>;

struct Row {
  std::string name;
  Compressor compress;
};

size_t zlib_raw(const Bytes& in, Bytes& out, int level) {
  z_stream s{};
  deflateInit2(&s, level, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
  out.resize(deflateBound(&s, in.size()));
  s.next_in = const_cast<uint8_t*>(in.data());
  s.avail_in = static_cast<uInt>(in.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  deflate(&s, Z_FINISH);
  const size_t n = s.total_out;
  deflateEnd(&s);
  return n;
}

size_t inflate_check(const Bytes& packed, size_t n, const Bytes& original) {
  z_stream s{};
  inflateInit2(&s, -15);
  Bytes back(original.size() + 1);
  s.next_in = const_cast<uint8_t*>(packed.data());
  s.avail_in = static_cast<uInt>(n);
  s.next_out = back.data();
  s.avail_out = static_cast<uInt>(back.size());
  const int rc = inflate(&s, Z_FINISH);
  const bool ok = rc == Z_STREAM_END && s.total_out == original.size() &&
                  std::memcmp(back.data(), original.data(), original.size()) == 0;
  inflateEnd(&s);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  size_t cap = 1500000;
  int repeat = 1;
  std::vector<std::string> paths;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--cap" && i + 1 < argc) {
      cap = std::strtoull(argv[++i], nullptr, 10);
    } else if (a == "--repeat" && i + 1 < argc) {
      repeat = std::max(1, std::atoi(argv[++i]));
    } else {
      paths.push_back(a);
    }
  }
  std::vector<Bytes> inputs;
  std::vector<std::string> names;
  size_t total_in = 0;
  for (const std::string& p : paths) {
    Bytes b;
    if (!png_scanlines(p, cap, b)) {
      std::fprintf(stderr, "skipped %s\n", p.c_str());
      continue;
    }
    std::printf("input %-60s %9zu bytes of scanlines\n", p.c_str(), b.size());
    total_in += b.size();
    inputs.push_back(std::move(b));
    names.push_back(p.substr(p.find_last_of('/') + 1));
  }
  if (inputs.empty()) {
    std::fprintf(stderr, "usage: bench_multilevel [--cap BYTES] [--repeat N] file.png...\n");
    return 2;
  }

  std::vector<Row> rows;
  for (int code : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 77, 80, 88, 89}) {
    rows.push_back({"multilevel " + std::to_string(code), [code](const Bytes& in, Bytes& out) {
                      mlevel::DeflateEncoder* e = mlevel::create_deflate_encoder(code);
                      out.resize(mlevel::deflate_encode_bound(e, in.size()));
                      size_t n = mlevel::deflate_encode(e, in.data(), in.size(), out.data(), out.size());
                      mlevel::destroy_deflate_encoder(e);
                      return n;
                    }});
  }
  rows.push_back({"zlib 9", [](const Bytes& in, Bytes& out) { return zlib_raw(in, out, 9); }});
  for (int level : {6, 9, 12}) {
    rows.push_back({"libdeflate " + std::to_string(level), [level](const Bytes& in, Bytes& out) {
                      libdeflate_compressor* c = libdeflate_alloc_compressor(level);
                      out.resize(libdeflate_deflate_compress_bound(c, in.size()));
                      size_t n = libdeflate_deflate_compress(c, in.data(), in.size(), out.data(), out.size());
                      libdeflate_free_compressor(c);
                      return n;
                    }});
  }

  std::printf("\n%zu files, %zu bytes of filtered scanlines; best of %d run(s)\n\n", inputs.size(),
              total_in, repeat);
  std::printf("%-16s %12s %8s %10s\n", "compressor", "bytes", "ratio", "MB/s");
  Bytes out;
  std::vector<std::vector<size_t>> per_file(rows.size());
  for (size_t ri = 0; ri < rows.size(); ri++) {
    const Row& row = rows[ri];
    size_t total_out = 0;
    double best_seconds = 1e300;
    bool ok = true;
    for (int r = 0; r < repeat; r++) {
      double seconds = 0;
      size_t sum = 0;
      per_file[ri].clear();
      for (const Bytes& in : inputs) {
        const auto t0 = std::chrono::steady_clock::now();
        const size_t n = row.compress(in, out);
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (n == 0 || !inflate_check(out, n, in)) ok = false;
        sum += n;
        per_file[ri].push_back(n);
      }
      total_out = sum;
      best_seconds = std::min(best_seconds, seconds);
    }
    std::printf("%-16s %12zu %8.4f %10.2f%s\n", row.name.c_str(), total_out,
                static_cast<double>(total_out) / static_cast<double>(total_in),
                static_cast<double>(total_in) / 1e6 / best_seconds, ok ? "" : "  ROUND TRIP FAILED");
  }

  // Per file, the bytes of every compressor; "<" marks a size below libdeflate 12.
  std::printf("\nbytes per file (\"<\" = smaller than libdeflate 12)\n%-16s", "compressor");
  for (size_t f = 0; f < inputs.size(); f++) std::printf(" %12.12s ", names[f].c_str());
  std::printf("\n");
  const std::vector<size_t>& reference = per_file.back();
  for (size_t ri = 0; ri < rows.size(); ri++) {
    std::printf("%-16s", rows[ri].name.c_str());
    for (size_t f = 0; f < inputs.size(); f++)
      std::printf(" %12zu%s", per_file[ri][f], per_file[ri][f] < reference[f] ? "<" : " ");
    std::printf("\n");
  }
  return 0;
}
