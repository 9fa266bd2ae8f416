// Fast levels of the multi-level compressor: a hash-chain match finder with a
// three-byte head table (most recent position only) and four-byte chains,
// driven by a greedy parser (codes 0-4) or a one-step lazy parser (codes 5-7),
// and the literal-only level (code 77). Each parser cuts the input into blocks
// of at most 300,000 bytes, ending earlier when the split statistics see the
// data change, and hands each block to the block writer.
#include <algorithm>
#include <iterator>

#include "core/deflate/multilevel_encoder.h"

namespace mlevel {
namespace {

constexpr uint32_t kWindowMask = kWindowSize - 1;

struct Match {
  uint32_t length;
  uint32_t distance;  // 0 when nothing longer than the length to beat was found
};

struct ChainCursor {
  ChainFinder& f;
  const uint8_t* base;
  uint32_t hash3;  // hashes of the next position, carried one step ahead
  uint32_t hash4;
};

inline int16_t slid(int16_t pos) { return pos >= 0 ? static_cast<int16_t>(pos - 32768) : kNoPos; }

void chain_slide(ChainCursor& c) {
  for (int16_t& v : c.f.hash3_heads) v = slid(v);
  for (int16_t& v : c.f.hash4_heads) v = slid(v);
  for (int16_t& v : c.f.next) v = slid(v);
  c.base += kWindowSize;
}

inline void advance_hashes(ChainCursor& c, const uint8_t* next_pos) {
  uint32_t seq = load_le32(next_pos);
  c.hash3 = hash_bytes(seq & 0xFFFFFF, kChainHash3Bits);
  c.hash4 = hash_bytes(seq, kChainHash4Bits);
}

// Inserts p and returns the longest match there that beats `best`.
Match chain_find_longest(ChainCursor& c, const uint8_t* p, uint32_t best, uint32_t max_len,
                         uint32_t nice, uint32_t depth) {
  if (p - c.base == kWindowSize) chain_slide(c);
  Match m{best, 0};
  if (max_len < 5) return m;

  const int32_t rel = static_cast<int32_t>(p - c.base);
  const int32_t cutoff = rel - static_cast<int32_t>(kWindowSize);
  const int32_t c3 = c.f.hash3_heads[c.hash3];
  int32_t cand = c.f.hash4_heads[c.hash4];
  c.f.hash3_heads[c.hash3] = static_cast<int16_t>(rel);
  c.f.hash4_heads[c.hash4] = static_cast<int16_t>(rel);
  c.f.next[rel & kWindowMask] = static_cast<int16_t>(cand);
  advance_hashes(c, p + 1);

  const uint32_t first4 = load_le32(p);
  uint32_t depth_left = depth;
  if (m.length < 4) {
    if (c3 <= cutoff) return m;
    if (m.length < 3 && ((load_le32(c.base + c3) ^ first4) & 0xFFFFFF) == 0) {
      m.length = 3;
      m.distance = static_cast<uint32_t>(rel - c3);
    }
    if (cand <= cutoff) return m;
    while (load_le32(c.base + cand) != first4) {
      cand = c.f.next[cand & kWindowMask];
      if (cand <= cutoff || --depth_left == 0) return m;
    }
    m.length = extend_match(c.base + cand, p, 4, max_len);
    m.distance = static_cast<uint32_t>(rel - cand);
    if (m.length >= nice) return m;
    cand = c.f.next[cand & kWindowMask];
    if (cand <= cutoff || --depth_left == 0) return m;
  } else if (cand <= cutoff || m.length >= nice) {
    return m;
  }

  for (;;) {
    const uint8_t* q = c.base + cand;
    if (load_le32(q + m.length - 3) == load_le32(p + m.length - 3) && load_le32(q) == first4) {
      uint32_t len = extend_match(q, p, 4, max_len);
      if (len > m.length) {
        m.length = len;
        m.distance = static_cast<uint32_t>(rel - cand);
        if (len >= nice) return m;
      }
    }
    cand = c.f.next[cand & kWindowMask];
    if (cand <= cutoff || --depth_left == 0) return m;
  }
}

// Inserts the `count` positions from `first` on, which a chosen match covers.
// Near the end of the input they are passed over so no hash reads past it.
void chain_skip(ChainCursor& c, const uint8_t* first, uint32_t count, const uint8_t* in_end) {
  if (static_cast<uint64_t>(in_end - first) < count + 5ull) return;
  for (const uint8_t* p = first; p < first + count; p++) {
    if (p - c.base == kWindowSize) chain_slide(c);
    const int16_t rel = static_cast<int16_t>(p - c.base);
    c.f.hash3_heads[c.hash3] = rel;
    c.f.next[rel & kWindowMask] = c.f.hash4_heads[c.hash4];
    c.f.hash4_heads[c.hash4] = rel;
    advance_hashes(c, p + 1);
  }
}

// Collects one block's sequences and symbol counts.
struct BlockBuilder {
  DeflateEncoder& enc;
  Sequence* seq;
  uint32_t litrun;

  explicit BlockBuilder(DeflateEncoder& e) : enc(e), seq(e.area.chain.sequences), litrun(0) {
    std::memset(&enc.freqs, 0, sizeof enc.freqs);
    reset_split_stats(enc.split_stats);
  }
  void literal(uint8_t byte) {
    litrun++;
    enc.freqs.litlen[byte]++;
  }
  void match(uint32_t length, uint32_t distance) {
    const uint8_t lc = kLengthCodeOf[length];
    const uint8_t dc = enc.distance_code_of[distance];
    enc.freqs.litlen[257 + lc]++;
    enc.freqs.dist[dc]++;
    *seq++ = Sequence{litrun | (length << 23), static_cast<uint16_t>(distance), dc, lc};
    litrun = 0;
  }
  void close() { *seq = Sequence{litrun, 0, 0, 0}; }
};

struct Limits {
  uint32_t max_len;
  uint32_t nice;
  void fit(const uint8_t* p, const uint8_t* in_end) {
    uint64_t remaining = static_cast<uint64_t>(in_end - p);
    if (remaining < max_len) {
      max_len = static_cast<uint32_t>(remaining);
      nice = std::min(nice, max_len);
    }
  }
};

inline bool block_done(DeflateEncoder& enc, const uint8_t* p, const uint8_t* block_start,
                       const uint8_t* block_limit, const uint8_t* in_end) {
  if (p >= block_limit) return true;
  const uint64_t block_length = static_cast<uint64_t>(p - block_start);
  return split_check_due(enc.split_stats, block_length, static_cast<uint64_t>(in_end - p)) &&
         block_split_check(enc.split_stats, static_cast<uint32_t>(block_length));
}

template <bool kLazy>
uint64_t hash_chain_encoder(DeflateEncoder& enc, const uint8_t* in, uint64_t in_len, uint8_t* out,
                            uint64_t out_avail) {
  BitWriter w;
  init_bit_writer(w, out, out_avail);
  ChainArea& area = enc.area.chain;
  std::fill(std::begin(area.finder.hash3_heads), std::end(area.finder.hash3_heads), kNoPos);
  std::fill(std::begin(area.finder.hash4_heads), std::end(area.finder.hash4_heads), kNoPos);
  ChainCursor cursor{area.finder, in, 0, 0};
  Limits lim{kMaxMatch, std::min<uint32_t>(enc.nice_len, kMaxMatch)};
  const uint32_t depth = enc.search_depth;
  const uint8_t* const in_end = in + in_len;

  const uint8_t* p = in;
  while (p < in_end) {
    const uint8_t* const block_start = p;
    const uint8_t* const block_limit =
        p + std::min<uint64_t>(static_cast<uint64_t>(in_end - p), kSoftBlockLimit);
    BlockBuilder block(enc);
    do {
      lim.fit(p, in_end);
      Match cur = chain_find_longest(cursor, p, 2, lim.max_len, lim.nice, depth);
      if (cur.length < kMinMatch) {
        block.literal(*p);
        observe_literal(enc.split_stats, *p);
        p++;
        continue;
      }
      if (!kLazy) {
        block.match(cur.length, cur.distance);
        observe_match(enc.split_stats, cur.length);
        chain_skip(cursor, p + 1, cur.length - 1, in_end);
        p += cur.length;
        continue;
      }
      for (;;) {
        observe_match(enc.split_stats, cur.length);
        if (cur.length >= lim.nice) {
          block.match(cur.length, cur.distance);
          chain_skip(cursor, p + 1, cur.length - 1, in_end);
          p += cur.length;
          break;
        }
        lim.fit(p + 1, in_end);
        Match next = chain_find_longest(cursor, p + 1, cur.length, lim.max_len, lim.nice, depth / 2);
        if (next.length > cur.length) {
          block.literal(*p);
          p++;
          cur = next;
          continue;
        }
        block.match(cur.length, cur.distance);
        chain_skip(cursor, p + 2, cur.length - 2, in_end);
        p += cur.length;
        break;
      }
    } while (!block_done(enc, p, block_start, block_limit, in_end));
    block.close();
    flush_encoder_block(enc, w, block_start, static_cast<uint32_t>(p - block_start), p == in_end,
                        false);
  }
  return finish_bit_writer(w);
}

}  // namespace

uint64_t greedy_encoder(DeflateEncoder& enc, const uint8_t* in, uint64_t in_len, uint8_t* out,
                        uint64_t out_avail) {
  return hash_chain_encoder<false>(enc, in, in_len, out, out_avail);
}

uint64_t lazy_encoder(DeflateEncoder& enc, const uint8_t* in, uint64_t in_len, uint8_t* out,
                      uint64_t out_avail) {
  return hash_chain_encoder<true>(enc, in, in_len, out, out_avail);
}

uint64_t literal_only_encoder(DeflateEncoder& enc, const uint8_t* in, uint64_t in_len,
                              uint8_t* out, uint64_t out_avail) {
  BitWriter w;
  init_bit_writer(w, out, out_avail);
  const uint8_t* const in_end = in + in_len;
  const uint8_t* p = in;
  while (p < in_end) {
    const uint8_t* const block_start = p;
    const uint8_t* const block_limit =
        p + std::min<uint64_t>(static_cast<uint64_t>(in_end - p), kSoftBlockLimit);
    BlockBuilder block(enc);
    do {
      block.literal(*p);
      observe_literal(enc.split_stats, *p);
      p++;
    } while (!block_done(enc, p, block_start, block_limit, in_end));
    block.close();
    flush_encoder_block(enc, w, block_start, static_cast<uint32_t>(p - block_start), p == in_end,
                        false);
  }
  return finish_bit_writer(w);
}

}  // namespace mlevel
