// Test helpers for the multi-level compressor: input generators, zlib's inflate
// as the reference decoder, and a small DEFLATE reader that reports the block
// structure and the symbols of a stream.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace mlevel_test {

using Bytes = std::vector<uint8_t>;

inline Bytes random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& v : b) v = static_cast<uint8_t>(rng());
  return b;
}

// Runs of random length and value, the odd random byte between them.
inline Bytes runs(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b;
  b.reserve(n);
  while (b.size() < n) {
    size_t len = 1 + rng() % 400;
    uint8_t v = static_cast<uint8_t>(rng() % 4);
    for (size_t i = 0; i < len && b.size() < n; i++) b.push_back(v);
    if (b.size() < n) b.push_back(static_cast<uint8_t>(rng()));
  }
  return b;
}

// English-like text from a small vocabulary.
inline Bytes text(size_t n, uint32_t seed) {
  static const char* const words[] = {"the ", "quick ", "brown ", "fox ", "jumps ", "over ",
                                      "lazy ", "dog ", "and ", "then ", "rests ", "in ",
                                      "a ", "warm ", "patch ", "of ", "sunlight. ", "\n"};
  std::mt19937 rng(seed);
  Bytes b;
  b.reserve(n + 16);
  while (b.size() < n) {
    const char* w = words[rng() % (sizeof words / sizeof words[0])];
    b.insert(b.end(), w, w + std::strlen(w));
  }
  b.resize(n);
  return b;
}

// RGBA rows of a smooth picture with some noise, each filtered with the Sub
// or Up filter and led by its filter byte, as a PNG encoder would hand them over.
inline Bytes filtered_scanlines(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  const size_t width = 301, stride = 4 * width;
  Bytes out, prev(stride, 0), row(stride);
  size_t y = 0;
  while (out.size() < n) {
    for (size_t x = 0; x < width; x++) {
      row[4 * x + 0] = static_cast<uint8_t>(x + y + (rng() % 3));
      row[4 * x + 1] = static_cast<uint8_t>((x * y) / 64);
      row[4 * x + 2] = static_cast<uint8_t>(128 + ((x / 16 + y / 16) % 2) * 40);
      row[4 * x + 3] = 255;
    }
    const uint8_t filter = (y % 3 == 0) ? 2 : 1;
    out.push_back(filter);
    for (size_t i = 0; i < stride; i++) {
      uint8_t pred = filter == 1 ? (i >= 4 ? row[i - 4] : 0) : prev[i];
      out.push_back(static_cast<uint8_t>(row[i] - pred));
    }
    prev = row;
    y++;
  }
  out.resize(n);
  return out;
}

// Raw DEFLATE through zlib's inflate; false when the stream is invalid, does
// not end, or leaves bytes over.
inline bool inflate_raw(const uint8_t* data, size_t len, size_t expected_size, Bytes& out) {
  z_stream s{};
  if (inflateInit2(&s, -15) != Z_OK) return false;
  out.assign(expected_size + 1, 0);
  s.next_in = const_cast<Bytes::value_type*>(data);
  s.avail_in = static_cast<uInt>(len);
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  int rc = inflate(&s, Z_FINISH);
  const bool ok = rc == Z_STREAM_END && s.avail_in == 0;
  out.resize(s.total_out);
  inflateEnd(&s);
  return ok;
}

// What a DEFLATE stream contains, block by block.
struct Symbol {
  uint32_t length;    // 0 for a literal
  uint32_t distance;  // or the literal byte
};
struct BlockInfo {
  int type = -1;  // 0 stored, 1 fixed, 2 dynamic
  bool final = false;
  size_t out_len = 0;
  std::vector<Symbol> symbols;
};
struct StreamInfo {
  bool ok = false;
  std::vector<BlockInfo> blocks;
  Bytes data;
};

class DeflateReader {
 public:
  DeflateReader(const uint8_t* p, size_t n) : p_(p), n_(n) {}

  StreamInfo read() {
    StreamInfo info;
    bool last = false;
    while (!last) {
      BlockInfo b;
      b.final = last = bits(1);
      b.type = static_cast<int>(bits(2));
      const size_t start = info.data.size();
      if (b.type == 0) {
        bitbuf_ = 0;
        bitcnt_ = 0;
        if (pos_ + 4 > n_) return info;
        uint32_t len = p_[pos_] | (p_[pos_ + 1] << 8);
        uint32_t nlen = p_[pos_ + 2] | (p_[pos_ + 3] << 8);
        pos_ += 4;
        if ((len ^ 0xFFFF) != nlen || pos_ + len > n_) return info;
        info.data.insert(info.data.end(), p_ + pos_, p_ + pos_ + len);
        pos_ += len;
      } else if (b.type == 1 || b.type == 2) {
        Huffman lit, dist;
        if (b.type == 1) {
          uint8_t l[288 + 32];
          for (int i = 0; i < 288; i++) l[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
          for (int i = 0; i < 32; i++) l[288 + i] = 5;
          lit.build(l, 288);
          dist.build(l + 288, 32);
        } else if (!read_dynamic_header(lit, dist)) {
          return info;
        }
        if (!read_symbols(lit, dist, b, info.data)) return info;
      } else {
        return info;
      }
      if (error_) return info;
      b.out_len = info.data.size() - start;
      info.blocks.push_back(std::move(b));
    }
    info.ok = !error_;
    return info;
  }

 private:
  struct Huffman {
    uint16_t count[16] = {};
    uint16_t symbol[320] = {};
    void build(const uint8_t* lens, int n) {
      std::memset(count, 0, sizeof count);
      for (int i = 0; i < n; i++) count[lens[i]]++;
      uint16_t offs[16];
      offs[1] = 0;
      for (int l = 1; l < 15; l++) offs[l + 1] = offs[l] + count[l];
      for (int i = 0; i < n; i++)
        if (lens[i]) symbol[offs[lens[i]]++] = static_cast<uint16_t>(i);
    }
  };

  uint32_t bits(int need) {
    while (bitcnt_ < need) {
      if (pos_ >= n_) {
        error_ = true;
        return 0;
      }
      bitbuf_ |= static_cast<uint64_t>(p_[pos_++]) << bitcnt_;
      bitcnt_ += 8;
    }
    uint32_t v = static_cast<uint32_t>(bitbuf_ & ((1ull << need) - 1));
    bitbuf_ >>= need;
    bitcnt_ -= need;
    return v;
  }

  int decode(const Huffman& h) {
    int code = 0, first = 0, index = 0;
    for (int len = 1; len <= 15; len++) {
      code |= static_cast<int>(bits(1));
      int count = h.count[len];
      if (code - count < first) return h.symbol[index + (code - first)];
      index += count;
      first = (first + count) << 1;
      code <<= 1;
      if (error_) return -1;
    }
    error_ = true;
    return -1;
  }

  bool read_dynamic_header(Huffman& lit, Huffman& dist) {
    static const uint8_t order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    int nlen = static_cast<int>(bits(5)) + 257, ndist = static_cast<int>(bits(5)) + 1;
    int ncode = static_cast<int>(bits(4)) + 4;
    uint8_t lens[320] = {};
    for (int i = 0; i < ncode; i++) lens[order[i]] = static_cast<uint8_t>(bits(3));
    Huffman pre;
    pre.build(lens, 19);
    std::memset(lens, 0, sizeof lens);
    int i = 0;
    while (i < nlen + ndist && !error_) {
      int sym = decode(pre);
      if (sym < 16) {
        lens[i++] = static_cast<uint8_t>(sym);
        continue;
      }
      int rep, val = 0;
      if (sym == 16) {
        if (i == 0) return false;
        val = lens[i - 1];
        rep = 3 + static_cast<int>(bits(2));
      } else if (sym == 17) {
        rep = 3 + static_cast<int>(bits(3));
      } else {
        rep = 11 + static_cast<int>(bits(7));
      }
      if (i + rep > nlen + ndist) return false;
      while (rep--) lens[i++] = static_cast<uint8_t>(val);
    }
    lit.build(lens, nlen);
    dist.build(lens + nlen, ndist);
    return !error_;
  }

  bool read_symbols(const Huffman& lit, const Huffman& dist, BlockInfo& b, Bytes& out) {
    static const uint16_t lbase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                       31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
    static const uint8_t lext[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                     2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    static const uint16_t dbase[30] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                                       33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                                       1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
    static const uint8_t dext[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                     6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
    for (;;) {
      int sym = decode(lit);
      if (error_ || sym < 0) return false;
      if (sym < 256) {
        out.push_back(static_cast<uint8_t>(sym));
        b.symbols.push_back({0, static_cast<uint32_t>(sym)});
      } else if (sym == 256) {
        return true;
      } else {
        sym -= 257;
        if (sym >= 29) return false;
        uint32_t len = lbase[sym] + bits(lext[sym]);
        int dsym = decode(dist);
        if (dsym < 0 || dsym >= 30) return false;
        uint32_t d = dbase[dsym] + bits(dext[dsym]);
        if (d > out.size()) return false;
        for (uint32_t k = 0; k < len; k++) out.push_back(out[out.size() - d]);
        b.symbols.push_back({len, d});
      }
    }
  }

  const uint8_t* p_;
  size_t n_;
  size_t pos_ = 0;
  uint64_t bitbuf_ = 0;
  int bitcnt_ = 0;
  bool error_ = false;
};

inline StreamInfo inspect_deflate(const Bytes& stream) {
  return DeflateReader(stream.data(), stream.size()).read();
}

// Every level code of the compressor.
inline const std::vector<int>& all_level_codes() {
  static const std::vector<int> codes = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 77, 80, 88, 89};
  return codes;
}

inline bool is_near_optimal(int code) { return (code >= 8 && code <= 13) || code >= 80; }

}  // namespace mlevel_test
