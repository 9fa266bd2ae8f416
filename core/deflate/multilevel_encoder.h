// The multi-level compressor's encoder record and the parser areas inside it.
// Internal to the compressor; other stages use core/deflate/multilevel.h.
#pragma once

#include <cstdint>

#include "core/deflate/multilevel.h"
#include "core/deflate/multilevel_block.h"

namespace mlevel {

using ParseFn = uint64_t (*)(DeflateEncoder& enc, const uint8_t* in, uint64_t in_len, uint8_t* out,
                             uint64_t out_avail);

// Positions are 16-bit offsets from a base that moves forward by the window
// size; kNoPos means none (and every position that slid out of the window).
inline constexpr int16_t kNoPos = -32768;

// Hash-chain finder of the greedy and lazy levels.
inline constexpr unsigned kChainHash3Bits = 15;
inline constexpr unsigned kChainHash4Bits = 16;
struct ChainFinder {
  int16_t hash3_heads[1u << kChainHash3Bits];
  int16_t hash4_heads[1u << kChainHash4Bits];
  int16_t next[kWindowSize];
};

// One match with the literals before it; length 0 marks the block's last entry.
struct Sequence {
  uint32_t litrun_and_length;  // literal run in the low 23 bits, length above
  uint16_t distance;
  uint8_t distance_code;
  uint8_t length_code;
};
inline constexpr uint32_t kMaxSequences = (kSoftBlockLimit + 2) / 3 + 1;

struct ChainArea {
  ChainFinder finder;
  Sequence sequences[kMaxSequences];
};

// Binary-tree finder of the near-optimal levels.
inline constexpr unsigned kTreeHashBits = 16;
struct TreeFinder {
  int16_t hash3_heads[1u << kTreeHashBits][2];
  int16_t hash4_roots[1u << kTreeHashBits];
  int16_t children[2 * kWindowSize];
};

// A match (length, distance), or after a position's matches a count entry
// (number of matches, the byte at that position).
struct CacheEntry {
  uint16_t length;
  uint16_t distance;
};
inline constexpr uint32_t kMatchCacheLimit = 1500000;
inline constexpr uint32_t kMatchCacheSpare = 513;

// Longest block: the soft limit plus a final skip that crosses it, plus the end node.
inline constexpr uint32_t kMaxPathNodes = kSoftBlockLimit + kMaxMatch;

struct PathNode {
  uint32_t cost_to_end;
  uint32_t item;  // match: distance << 9 | length; literal: byte << 9 | 1
};

// Costs in eighths of a bit.
struct CostModel {
  uint32_t literal[256];
  uint32_t length[kMaxMatch + 1];
  uint32_t distance[30];
};

struct TreeArea {
  TreeFinder finder;
  CacheEntry cache[kMatchCacheLimit + kMatchCacheSpare];
  // Room for a match starting at the last node of a block that already passed
  // the soft limit, so every node a step can reach exists.
  PathNode nodes[kMaxPathNodes + kMaxMatch];
  CostModel costs;
};

struct DeflateEncoder {
  ParseFn parse;
  SymbolFreqs freqs;
  HuffmanCodes codes;
  HuffmanCodes static_codes;
  SplitStats split_stats;
  uint8_t distance_code_of[kWindowSize + 1];
  uint32_t nice_len;
  uint32_t search_depth;
  uint32_t level_code;
  uint32_t passes;
  // Code-length (precode) scratch of the block writer.
  uint32_t precode_freqs[kNumPrecodeSyms];
  uint8_t precode_lens[kNumPrecodeSyms];
  uint32_t precode_codewords[kNumPrecodeSyms];
  uint32_t precode_items[kNumLitlenSyms + kNumDistSyms];
  uint32_t num_litlen_syms;
  uint32_t num_dist_syms;
  uint32_t num_explicit_lens;
  uint32_t num_precode_items;
  // Only the member of the encoder's level is allocated (the literal-only level
  // gets the larger room and uses the chain shape).
  union {
    ChainArea chain;
    TreeArea tree;
  } area;
};

enum class ParserKind { greedy, lazy, near_optimal, literal_only };

struct LevelRow {
  int code;
  ParserKind parser;
  uint32_t nice_len;
  uint32_t search_depth;
  uint32_t passes;
};

// The row of a level code, or null when the code is not in the table.
const LevelRow* find_level_row(int level_code);

uint64_t greedy_encoder(DeflateEncoder& enc, const uint8_t* in, uint64_t in_len, uint8_t* out,
                        uint64_t out_avail);
uint64_t lazy_encoder(DeflateEncoder& enc, const uint8_t* in, uint64_t in_len, uint8_t* out,
                      uint64_t out_avail);
uint64_t literal_only_encoder(DeflateEncoder& enc, const uint8_t* in, uint64_t in_len,
                              uint8_t* out, uint64_t out_avail);
uint64_t near_optimal_encoder(DeflateEncoder& enc, const uint8_t* in, uint64_t in_len,
                              uint8_t* out, uint64_t out_avail);

// Heap block aligned to `alignment` (a power of two); the heap block's own
// address sits in the 8 bytes just before the returned address.
void* alloc_aligned(uint64_t alignment, uint64_t size);
void free_aligned(void* block);

// Little-endian loads that may be unaligned.
inline uint32_t load_le32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline uint64_t load_le64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

inline uint32_t hash_bytes(uint32_t seq, unsigned bits) {
  return (seq * 0x1E35A7BDu) >> (32 - bits);
}

// Number of equal leading bytes of a and b, starting at `len`, never past max_len.
inline uint32_t extend_match(const uint8_t* a, const uint8_t* b, uint32_t len, uint32_t max_len) {
  while (len + 8 <= max_len) {
    uint64_t x = load_le64(a + len) ^ load_le64(b + len);
    if (x != 0) return len + (static_cast<uint32_t>(__builtin_ctzll(x)) >> 3);
    len += 8;
  }
  while (len < max_len && a[len] == b[len]) len++;
  return len;
}

}  // namespace mlevel
