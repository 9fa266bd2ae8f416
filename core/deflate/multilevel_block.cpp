// Block output of the multi-level compressor. Codes are built with a counting
// sort by frequency and an in-place tree over the sorted array, and lengths
// are limited while they are counted, so no separate rebalancing pass is
// needed. Block prices come from the counts alone, before anything is written.
#include "core/deflate/multilevel_block.h"

#include <algorithm>
#include <cassert>

#include "core/deflate/multilevel_encoder.h"

namespace mlevel {

namespace {

// Order in which the code-length code's lengths are sent.
const uint8_t kPrecodeOrder[kNumPrecodeSyms] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                11, 4,  12, 3, 13, 2, 14, 1, 15};
const uint8_t kPrecodeExtra[kNumPrecodeSyms] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                0, 0, 0, 0, 0, 0, 2, 3, 7};

constexpr unsigned kSymbolBits = 10;
constexpr uint32_t kSymbolMask = (1u << kSymbolBits) - 1;
constexpr unsigned kMaxSyms = kNumLitlenSyms;

uint32_t reverse_bits(uint32_t v, unsigned n) {
  uint32_t r = 0;
  for (unsigned i = 0; i < n; i++) {
    r = (r << 1) | (v & 1);
    v >>= 1;
  }
  return r;
}

void sift_down(uint32_t* heap, unsigned size, unsigned i) {
  uint32_t v = heap[i];
  for (;;) {
    unsigned child = 2 * i + 1;
    if (child >= size) break;
    if (child + 1 < size && heap[child + 1] > heap[child]) child++;
    if (heap[child] <= v) break;
    heap[i] = heap[child];
    i = child;
  }
  heap[i] = v;
}

void heap_sort_symbols(uint32_t* a, unsigned n) {
  if (n < 2) return;
  for (unsigned i = n / 2; i-- > 0;) sift_down(a, n, i);
  for (unsigned end = n - 1; end > 0; end--) {
    std::swap(a[0], a[end]);
    sift_down(a, end, 0);
  }
}

// Lists the used symbols as (frequency << 10) | symbol by increasing frequency,
// equal frequencies by increasing symbol; unused symbols get length 0.
unsigned sort_symbols_by_freq(unsigned num_syms, const uint32_t* freqs, uint8_t* lens,
                              uint32_t* sorted) {
  const unsigned num_counters = (num_syms + 3) & ~3u;
  unsigned counters[kMaxSyms];
  std::fill(counters, counters + num_counters, 0u);
  for (unsigned s = 0; s < num_syms; s++) counters[std::min(freqs[s], num_counters - 1)]++;
  unsigned used = 0;
  for (unsigned i = 1; i < num_counters; i++) {
    unsigned count = counters[i];
    counters[i] = used;
    used += count;
  }
  for (unsigned s = 0; s < num_syms; s++) {
    uint32_t f = freqs[s];
    if (f == 0) {
      lens[s] = 0;
    } else {
      sorted[counters[std::min(f, num_counters - 1)]++] = (f << kSymbolBits) | s;
    }
  }
  // Entries of the last counter may hold any frequency at or above it.
  unsigned last_start = counters[num_counters - 2];
  heap_sort_symbols(sorted + last_start, used - last_start);
  return used;
}

// Builds the tree in place: entry e becomes internal node e (its frequency,
// later its parent, in the high bits); the low bits keep the sorted symbols.
void build_code_tree(uint32_t* a, unsigned m) {
  unsigned i = 0, b = 0, e = 0;
  do {
    uint32_t taken[2];
    for (uint32_t& t : taken) {
      if (i < m && (b == e || (a[i] >> kSymbolBits) <= (a[b] >> kSymbolBits))) {
        t = a[i++] >> kSymbolBits;
      } else {
        t = a[b] >> kSymbolBits;
        a[b] = (a[b] & kSymbolMask) | (e << kSymbolBits);  // parent of node b
        b++;
      }
    }
    a[e] = (a[e] & kSymbolMask) | ((taken[0] + taken[1]) << kSymbolBits);
    e++;
  } while (e < m - 1);
}

// Turns parent links into depths and counts codeword lengths, moving any node
// that would reach max_len up to the longest shorter length still in use.
void count_code_lengths(uint32_t* a, unsigned root, unsigned* len_counts, unsigned max_len) {
  for (unsigned len = 0; len <= max_len; len++) len_counts[len] = 0;
  len_counts[1] = 2;
  a[root] &= kSymbolMask;  // depth 0
  for (int node = static_cast<int>(root) - 1; node >= 0; node--) {
    unsigned parent = a[node] >> kSymbolBits;
    unsigned depth = (a[parent] >> kSymbolBits) + 1;
    unsigned len = depth;
    a[node] = (a[node] & kSymbolMask) | (depth << kSymbolBits);
    if (len >= max_len) {
      len = max_len - 1;
      while (len_counts[len] == 0) len--;
    }
    len_counts[len]--;
    len_counts[len + 1] += 2;
  }
}

}  // namespace

void make_huffman_code(unsigned num_syms, unsigned max_len, const uint32_t* freqs, uint8_t* lens,
                       uint32_t* codewords) {
  uint32_t a[kMaxSyms];
  unsigned m = sort_symbols_by_freq(num_syms, freqs, lens, a);
  if (m == 0) return;
  if (m == 1) {
    unsigned s = a[0] & kSymbolMask;
    unsigned other = s == 0 ? 1 : s;
    lens[0] = 1;
    codewords[0] = 0;
    lens[other] = 1;
    codewords[other] = 1;
    return;
  }
  build_code_tree(a, m);
  unsigned len_counts[kMaxDistCodeLen + 1];
  count_code_lengths(a, m - 2, len_counts, max_len);

  // The least frequent symbols get the longest codewords.
  unsigned idx = 0;
  for (unsigned len = max_len; len >= 1; len--)
    for (unsigned n = len_counts[len]; n > 0; n--) lens[a[idx++] & kSymbolMask] = static_cast<uint8_t>(len);

  uint32_t next_code[kMaxDistCodeLen + 2];
  next_code[1] = 0;
  for (unsigned len = 2; len <= max_len; len++)
    next_code[len] = (next_code[len - 1] + len_counts[len - 1]) << 1;
  for (unsigned s = 0; s < num_syms; s++) {
    unsigned len = lens[s];
    if (len != 0) codewords[s] = reverse_bits(next_code[len]++, len);
  }
}

void make_block_codes(const SymbolFreqs& freqs, HuffmanCodes& codes) {
  make_huffman_code(kNumLitlenSyms, kMaxLitlenCodeLen, freqs.litlen, codes.litlen_lens,
                    codes.litlen_codewords);
  make_huffman_code(kNumDistSyms, kMaxDistCodeLen, freqs.dist, codes.dist_lens,
                    codes.dist_codewords);
}

bool block_split_check(SplitStats& s, uint32_t block_length) {
  if (s.num_total > 0) {
    uint32_t delta = 0;
    for (unsigned t = 0; t < kNumObservationTypes; t++) {
      uint32_t expected = s.observations[t] * s.num_new;
      uint32_t actual = s.new_observations[t] * s.num_total;
      delta += actual > expected ? actual - expected : expected - actual;
    }
    if (delta + (block_length / 4096) * s.num_total >= 200 * s.num_total) return true;
  }
  for (unsigned t = 0; t < kNumObservationTypes; t++) {
    s.observations[t] += s.new_observations[t];
    s.num_total += s.new_observations[t];
    s.new_observations[t] = 0;
  }
  s.num_new = 0;
  return false;
}

uint64_t finish_bit_writer(BitWriter& w) {
  if (bit_writer_overflowed(w)) return 0;
  while (w.bitcount > 0) {
    *w.next++ = static_cast<uint8_t>(w.bitbuf);
    w.bitbuf >>= 8;
    w.bitcount = w.bitcount > 8 ? w.bitcount - 8 : 0;
  }
  return static_cast<uint64_t>(w.next - w.begin);
}

void write_stored_block(BitWriter& w, const uint8_t* bytes, uint32_t length, bool final_block) {
  add_bits(w, final_block ? 1 : 0, 3);  // block type 0 in the two bits above
  flush_bits(w);
  if (w.bitcount > 0) {  // the partial byte is already stored, its high bits zero
    if (w.next < w.end) w.next++;
    w.bitbuf = 0;
    w.bitcount = 0;
  }
  if (4 + static_cast<uint64_t>(length) >= static_cast<uint64_t>(w.end - w.next)) {
    w.next = w.end;
    return;
  }
  w.next[0] = static_cast<uint8_t>(length);
  w.next[1] = static_cast<uint8_t>(length >> 8);
  w.next[2] = static_cast<uint8_t>(~length);
  w.next[3] = static_cast<uint8_t>(~length >> 8);
  if (length > 0) std::memcpy(w.next + 4, bytes, length);
  w.next += 4 + length;
}

namespace {

void add_precode_item(DeflateEncoder& enc, unsigned symbol, unsigned extra) {
  enc.precode_freqs[symbol]++;
  enc.precode_items[enc.num_precode_items++] = symbol | (extra << 5);
}

// Run-length codes the literal/length and distance code lengths (sent as one
// list) and builds the code-length code.
void prepare_dynamic_header(DeflateEncoder& enc) {
  const HuffmanCodes& c = enc.codes;
  unsigned nl = kNumLitlenSyms;
  while (nl > 257 && c.litlen_lens[nl - 1] == 0) nl--;
  unsigned nd = kNumDistSyms;
  while (nd > 1 && c.dist_lens[nd - 1] == 0) nd--;
  enc.num_litlen_syms = nl;
  enc.num_dist_syms = nd;

  uint8_t lens[kNumLitlenSyms + kNumDistSyms];
  std::memcpy(lens, c.litlen_lens, nl);
  std::memcpy(lens + nl, c.dist_lens, nd);
  const unsigned total = nl + nd;

  std::fill(enc.precode_freqs, enc.precode_freqs + kNumPrecodeSyms, 0u);
  enc.num_precode_items = 0;
  unsigned i = 0;
  while (i < total) {
    const unsigned len = lens[i];
    unsigned run = 1;
    while (i + run < total && lens[i + run] == len) run++;
    i += run;
    if (len == 0) {
      while (run >= 11) {
        unsigned extra = std::min(run - 11, 127u);
        add_precode_item(enc, 18, extra);
        run -= 11 + extra;
      }
      if (run >= 3) {
        unsigned extra = std::min(run - 3, 7u);
        add_precode_item(enc, 17, extra);
        run -= 3 + extra;
      }
    } else if (run >= 4) {
      add_precode_item(enc, len, 0);
      run--;
      while (run >= 3) {
        unsigned extra = std::min(run - 3, 3u);
        add_precode_item(enc, 16, extra);
        run -= 3 + extra;
      }
    }
    for (; run > 0; run--) add_precode_item(enc, len, 0);
  }

  make_huffman_code(kNumPrecodeSyms, kMaxPrecodeCodeLen, enc.precode_freqs, enc.precode_lens,
                    enc.precode_codewords);
  unsigned ne = kNumPrecodeSyms;
  while (ne > 4 && enc.precode_lens[kPrecodeOrder[ne - 1]] == 0) ne--;
  enc.num_explicit_lens = ne;
}

uint64_t dynamic_block_cost(const DeflateEncoder& enc) {
  const SymbolFreqs& f = enc.freqs;
  const HuffmanCodes& c = enc.codes;
  uint64_t bits = 5 + 5 + 4 + 3 * static_cast<uint64_t>(enc.num_explicit_lens);
  for (unsigned s = 0; s < kNumPrecodeSyms; s++)
    bits += static_cast<uint64_t>(enc.precode_freqs[s]) * (enc.precode_lens[s] + kPrecodeExtra[s]);
  for (unsigned s = 0; s < 256; s++) bits += static_cast<uint64_t>(f.litlen[s]) * c.litlen_lens[s];
  bits += c.litlen_lens[kEndOfBlock];
  for (unsigned lc = 0; lc < 29; lc++)
    bits += static_cast<uint64_t>(f.litlen[257 + lc]) * (c.litlen_lens[257 + lc] + kLengthExtra[lc]);
  for (unsigned dc = 0; dc < kNumDistSyms; dc++)
    bits += static_cast<uint64_t>(f.dist[dc]) * (c.dist_lens[dc] + kDistExtra[dc]);
  return bits;
}

uint64_t fixed_block_cost(const DeflateEncoder& enc) {
  const SymbolFreqs& f = enc.freqs;
  uint64_t bits = 7;  // end of block
  for (unsigned s = 0; s < 144; s++) bits += 8 * static_cast<uint64_t>(f.litlen[s]);
  for (unsigned s = 144; s < 256; s++) bits += 9 * static_cast<uint64_t>(f.litlen[s]);
  for (unsigned lc = 0; lc < 29; lc++) {
    unsigned fixed_len = 257 + lc < 280 ? 7 : 8;
    bits += static_cast<uint64_t>(f.litlen[257 + lc]) * (fixed_len + kLengthExtra[lc]);
  }
  for (unsigned dc = 0; dc < kNumDistSyms; dc++)
    bits += static_cast<uint64_t>(f.dist[dc]) * (5 + kDistExtra[dc]);
  return bits;
}

uint64_t stored_block_cost(const BitWriter& w, uint32_t block_length) {
  uint64_t pieces = std::max<uint64_t>((block_length + 65534ull) / 65535, 1);
  return ((0u - (w.bitcount + 3)) & 7) + 32 + 40 * (pieces - 1) + 8ull * block_length;
}

void write_dynamic_header(const DeflateEncoder& enc, BitWriter& w) {
  add_bits(w, enc.num_litlen_syms - 257, 5);
  add_bits(w, enc.num_dist_syms - 1, 5);
  add_bits(w, enc.num_explicit_lens - 4, 4);
  flush_bits(w);
  for (unsigned i = 0; i < enc.num_explicit_lens; i++)
    add_bits(w, enc.precode_lens[kPrecodeOrder[i]], 3);
  flush_bits(w);
  for (unsigned i = 0; i < enc.num_precode_items; i++) {
    uint32_t item = enc.precode_items[i];
    unsigned sym = item & 31;
    add_bits(w, enc.precode_codewords[sym], enc.precode_lens[sym]);
    add_bits(w, item >> 5, kPrecodeExtra[sym]);
    flush_bits(w);
  }
}

inline void write_literal(BitWriter& w, const HuffmanCodes& c, uint8_t byte) {
  add_bits(w, c.litlen_codewords[byte], c.litlen_lens[byte]);
}

inline void write_match(BitWriter& w, const HuffmanCodes& c, uint32_t length, unsigned length_code,
                        uint32_t distance, unsigned distance_code) {
  add_bits(w, c.litlen_codewords[257 + length_code], c.litlen_lens[257 + length_code]);
  add_bits(w, length - kLengthBase[length_code], kLengthExtra[length_code]);
  add_bits(w, c.dist_codewords[distance_code], c.dist_lens[distance_code]);
  add_bits(w, distance - kDistBase[distance_code], kDistExtra[distance_code]);
  flush_bits(w);
}

void write_literal_run(BitWriter& w, const HuffmanCodes& c, const uint8_t* bytes, uint32_t count) {
  while (count >= 4) {
    write_literal(w, c, bytes[0]);
    write_literal(w, c, bytes[1]);
    write_literal(w, c, bytes[2]);
    write_literal(w, c, bytes[3]);
    flush_bits(w);
    bytes += 4;
    count -= 4;
  }
  if (count > 0) {
    for (uint32_t i = 0; i < count; i++) write_literal(w, c, bytes[i]);
    flush_bits(w);
  }
}

void write_sequences(const DeflateEncoder& enc, BitWriter& w, const HuffmanCodes& c,
                     const uint8_t* block) {
  const uint8_t* pos = block;
  for (const Sequence* seq = enc.area.chain.sequences;; seq++) {
    uint32_t litrun = seq->litrun_and_length & 0x7FFFFF;
    uint32_t length = seq->litrun_and_length >> 23;
    write_literal_run(w, c, pos, litrun);
    pos += litrun;
    if (length == 0) break;
    write_match(w, c, length, seq->length_code, seq->distance, seq->distance_code);
    pos += length;
  }
}

void write_path_items(const DeflateEncoder& enc, BitWriter& w, const HuffmanCodes& c,
                      uint32_t block_length) {
  const PathNode* nodes = enc.area.tree.nodes;
  unsigned pending_literals = 0;
  for (uint32_t p = 0; p < block_length;) {
    uint32_t item = nodes[p].item;
    uint32_t length = item & 511;
    if (length == 1) {
      write_literal(w, c, static_cast<uint8_t>(item >> 9));
      if (++pending_literals == 4) {
        flush_bits(w);
        pending_literals = 0;
      }
    } else {
      if (pending_literals > 0) {
        flush_bits(w);
        pending_literals = 0;
      }
      uint32_t distance = item >> 9;
      write_match(w, c, length, kLengthCodeOf[length], distance, enc.distance_code_of[distance]);
    }
    p += length;
  }
  if (pending_literals > 0) flush_bits(w);
}

}  // namespace

void flush_encoder_block(DeflateEncoder& enc, BitWriter& w, const uint8_t* block,
                         uint32_t block_length, bool final_block, bool use_path_items) {
  enc.freqs.litlen[kEndOfBlock]++;
  make_block_codes(enc.freqs, enc.codes);
  prepare_dynamic_header(enc);

  const uint64_t dynamic_cost = dynamic_block_cost(enc);
  const uint64_t fixed_cost = fixed_block_cost(enc);
  const uint64_t stored_cost = stored_block_cost(w, block_length);

  const bool dynamic = dynamic_cost < fixed_cost && dynamic_cost < stored_cost;
  if (!dynamic && fixed_cost >= stored_cost) {
    uint32_t done = 0;
    do {
      uint32_t piece = std::min<uint32_t>(block_length - done, 65535);
      write_stored_block(w, block + done, piece, final_block && done + piece == block_length);
      done += piece;
    } while (done < block_length);
    return;
  }

  add_bits(w, final_block ? 1 : 0, 1);
  add_bits(w, dynamic ? 2 : 1, 2);
  if (dynamic) write_dynamic_header(enc, w);
  const HuffmanCodes& c = dynamic ? enc.codes : enc.static_codes;
  if (use_path_items) {
    write_path_items(enc, w, c, block_length);
  } else {
    write_sequences(enc, w, c, block);
  }
  add_bits(w, c.litlen_codewords[kEndOfBlock], c.litlen_lens[kEndOfBlock]);
  flush_bits(w);
}

}  // namespace mlevel
