// Shared back end of the multi-level compressor's parsers: the bit writer over
// the caller's buffer, the length-limited Huffman code builder, the statistics
// that decide where a block ends, and the block writer that prices a block as
// dynamic, fixed and stored and writes the cheapest.
#pragma once

#include <cstdint>
#include <cstring>

namespace mlevel {

struct DeflateEncoder;

inline constexpr unsigned kNumLitlenSyms = 288;
inline constexpr unsigned kNumDistSyms = 32;
inline constexpr unsigned kNumPrecodeSyms = 19;
inline constexpr unsigned kMaxLitlenCodeLen = 14;
inline constexpr unsigned kMaxDistCodeLen = 15;
inline constexpr unsigned kMaxPrecodeCodeLen = 7;
inline constexpr unsigned kEndOfBlock = 256;
inline constexpr unsigned kMinMatch = 3;
inline constexpr unsigned kMaxMatch = 258;
inline constexpr uint32_t kWindowSize = 32768;
inline constexpr uint32_t kSoftBlockLimit = 300000;
// The split check runs only with this many fresh observations waiting and with
// blocks (before and after) of at least kMinBlockForSplit bytes.
inline constexpr uint32_t kSplitObservationBatch = 512;
inline constexpr uint32_t kMinBlockForSplit = 10000;

// RFC 1951 length and distance tables.
inline constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10,  11,  13,
                                             15, 17, 19, 23, 27, 31, 35, 43,  51,  59,
                                             67, 83, 99, 115, 131, 163, 195, 227, 258};
inline constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                             2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
inline constexpr uint16_t kDistBase[32] = {
    1,    2,    3,    4,    5,    7,    9,    13,    17,    25,    33,    49,   65,   97,    129,   193,
    257,  385,  513,  769,  1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577, 32769, 49153};
inline constexpr uint8_t kDistExtra[32] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,  6,
                                           7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 14, 14};

// Length code (0..28) of every match length 3..258 (entries below 3 unused).
struct LengthCodeTable {
  uint8_t code[kMaxMatch + 1];
  constexpr LengthCodeTable() : code() {
    for (unsigned c = 0; c < 28; c++)
      for (unsigned len = kLengthBase[c]; len < kLengthBase[c + 1]; len++)
        code[len] = static_cast<uint8_t>(c);
    code[kMaxMatch] = 28;
  }
  constexpr uint8_t operator[](unsigned length) const { return code[length]; }
};
inline constexpr LengthCodeTable kLengthCodeOf{};

struct SymbolFreqs {
  uint32_t litlen[kNumLitlenSyms];
  uint32_t dist[kNumDistSyms];
};

// Codewords are stored bit-reversed, ready to be added to the bit buffer.
struct HuffmanCodes {
  uint32_t litlen_codewords[kNumLitlenSyms];
  uint32_t dist_codewords[kNumDistSyms];
  uint8_t litlen_lens[kNumLitlenSyms];
  uint8_t dist_lens[kNumDistSyms];
};

// Observation types 0..7 are literals (by top two bits and lowest bit),
// 8 a match shorter than 9, 9 a longer match.
inline constexpr unsigned kNumObservationTypes = 10;

struct SplitStats {
  uint32_t new_observations[kNumObservationTypes];
  uint32_t observations[kNumObservationTypes];
  uint32_t num_new;
  uint32_t num_total;
};

inline void reset_split_stats(SplitStats& s) { std::memset(&s, 0, sizeof s); }

inline void observe_literal(SplitStats& s, uint8_t byte) {
  s.new_observations[((byte >> 5) & 6) | (byte & 1)]++;
  s.num_new++;
}

inline void observe_match(SplitStats& s, uint32_t length) {
  s.new_observations[length < 9 ? 8 : 9]++;
  s.num_new++;
}

// True ends the block; otherwise the new observations are merged.
bool block_split_check(SplitStats& s, uint32_t block_length);

// Whether the parsers should run the split check at this point.
inline bool split_check_due(const SplitStats& s, uint64_t block_length, uint64_t remaining) {
  return s.num_new >= kSplitObservationBatch && block_length >= kMinBlockForSplit &&
         remaining >= kMinBlockForSplit;
}

// Bits go in least significant first. `end` lies 8 bytes before the end of the
// caller's buffer so that the 8-byte stores of flush() always stay inside it;
// `next` reaching `end` means the output did not fit.
struct BitWriter {
  uint64_t bitbuf;
  uint32_t bitcount;
  uint8_t* begin;
  uint8_t* next;
  uint8_t* end;
};

inline void init_bit_writer(BitWriter& w, uint8_t* out, uint64_t out_avail) {
  w.bitbuf = 0;
  w.bitcount = 0;
  w.begin = out;
  w.next = out;
  w.end = out + (out_avail - 8);  // callers guarantee out_avail >= 8
}

// At most 64 bits may be pending; callers flush often enough (a match with its
// extra bits is 47 bits, four literals 56).
inline void add_bits(BitWriter& w, uint64_t bits, uint32_t count) {
  w.bitbuf |= bits << w.bitcount;
  w.bitcount += count;
}

inline void store_le64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline void flush_bits(BitWriter& w) {
  store_le64(w.next, w.bitbuf);
  uint32_t bytes = w.bitcount >> 3;
  uint64_t room = static_cast<uint64_t>(w.end - w.next);
  w.next += bytes < room ? bytes : room;
  // With 64 pending bits all eight bytes go out; a shift by 64 is undefined.
  w.bitbuf = bytes >= 8 ? 0 : w.bitbuf >> (8 * bytes);
  w.bitcount &= 7;
}

inline bool bit_writer_overflowed(const BitWriter& w) { return w.next == w.end; }

// Final step of every encode: 0 when the output did not fit, else the pending
// bits go out byte by byte and the total length is returned.
uint64_t finish_bit_writer(BitWriter& w);

// Builds a canonical code of at most max_len bits for num_syms symbols.
void make_huffman_code(unsigned num_syms, unsigned max_len, const uint32_t* freqs,
                       uint8_t* lens, uint32_t* codewords);

// Literal/length code (14 bits at most) and distance code (15 bits at most).
void make_block_codes(const SymbolFreqs& freqs, HuffmanCodes& codes);

void write_stored_block(BitWriter& w, const uint8_t* bytes, uint32_t length, bool final_block);

// Prices the block as dynamic, fixed and stored and writes the cheapest. With
// use_path_items the symbols come from the near-optimal parser's path nodes,
// otherwise from the sequence list of the hash-chain parsers. Adds the
// end-of-block symbol to the encoder's frequencies.
void flush_encoder_block(DeflateEncoder& enc, BitWriter& w, const uint8_t* block,
                         uint32_t block_length, bool final_block, bool use_path_items);

}  // namespace mlevel
