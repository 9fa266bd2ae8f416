// Encoder record, level table, one-call interface and zlib wrapper of the
// multi-level compressor. The record is one aligned allocation sized for the
// level's parser; creation fills only the tables every call needs (the level
// row, distance codes, fixed codes), and each call rebuilds the rest.
#include <algorithm>
#include <cstddef>
#include <cstdlib>

#include "core/deflate/multilevel_encoder.h"

namespace mlevel {
namespace {

constexpr LevelRow kLevelTable[] = {
    {0, ParserKind::greedy, 1, 1, 0},
    {1, ParserKind::greedy, 8, 2, 0},
    {2, ParserKind::greedy, 10, 6, 0},
    {3, ParserKind::greedy, 14, 12, 0},
    {4, ParserKind::greedy, 24, 24, 0},
    {5, ParserKind::lazy, 30, 20, 0},
    {6, ParserKind::lazy, 65, 40, 0},
    {7, ParserKind::lazy, 130, 100, 0},
    {8, ParserKind::near_optimal, 20, 10, 2},
    {9, ParserKind::near_optimal, 50, 30, 2},
    {10, ParserKind::near_optimal, 50, 30, 4},
    {11, ParserKind::near_optimal, 80, 60, 4},
    {12, ParserKind::near_optimal, 133, 100, 4},
    {13, ParserKind::near_optimal, 166, 133, 6},
    {77, ParserKind::literal_only, 0, 0, 0},
    {80, ParserKind::near_optimal, 13, 8, 2},
    {88, ParserKind::near_optimal, 26, 16, 2},
    {89, ParserKind::near_optimal, 34, 28, 2},
};

// Inputs this short always go out as one stored block.
constexpr uint64_t kStoredOnlyInput = 15;

void fill_distance_codes(DeflateEncoder& enc) {
  enc.distance_code_of[0] = 0;
  for (unsigned c = 0; c < 30; c++) {
    const uint32_t first = kDistBase[c];
    const uint32_t last = first + (1u << kDistExtra[c]) - 1;
    for (uint32_t d = first; d <= last; d++) enc.distance_code_of[d] = static_cast<uint8_t>(c);
  }
}

// The fixed code of RFC 1951 falls out of the code builder for these counts.
void build_static_codes(DeflateEncoder& enc) {
  SymbolFreqs& f = enc.freqs;
  for (unsigned s = 0; s < 144; s++) f.litlen[s] = 2;
  for (unsigned s = 144; s < 256; s++) f.litlen[s] = 1;
  for (unsigned s = 256; s < 280; s++) f.litlen[s] = 4;
  for (unsigned s = 280; s < 288; s++) f.litlen[s] = 2;
  for (unsigned d = 0; d < kNumDistSyms; d++) f.dist[d] = 1;
  make_block_codes(f, enc.static_codes);
}

ParseFn parser_of(ParserKind kind) {
  switch (kind) {
    case ParserKind::greedy: return greedy_encoder;
    case ParserKind::lazy: return lazy_encoder;
    case ParserKind::near_optimal: return near_optimal_encoder;
    case ParserKind::literal_only: return literal_only_encoder;
  }
  return nullptr;
}

}  // namespace

const LevelRow* find_level_row(int level_code) {
  for (const LevelRow& row : kLevelTable)
    if (row.code == level_code) return &row;
  return nullptr;
}

void* alloc_aligned(uint64_t alignment, uint64_t size) {
  void* heap = std::malloc(size + alignment + 7);
  if (heap == nullptr) return nullptr;
  const uintptr_t first = reinterpret_cast<uintptr_t>(heap) + 8;
  const uintptr_t aligned = (first + alignment - 1) & ~static_cast<uintptr_t>(alignment - 1);
  void* block = reinterpret_cast<void*>(aligned);
  std::memcpy(static_cast<uint8_t*>(block) - 8, &heap, sizeof heap);
  return block;
}

void free_aligned(void* block) {
  if (block == nullptr) return;
  void* heap;
  std::memcpy(&heap, static_cast<uint8_t*>(block) - 8, sizeof heap);
  std::free(heap);
}

DeflateEncoder* create_deflate_encoder(int level_code) {
  const LevelRow* row = find_level_row(level_code);
  if (row == nullptr) return nullptr;
  // Levels 0-7 need only the hash-chain area; the others get room for the
  // near-optimal area (the literal-only level uses the chain shape inside it).
  const uint64_t size = level_code < 8 ? offsetof(DeflateEncoder, area) + sizeof(ChainArea)
                                       : sizeof(DeflateEncoder);
  auto* enc = static_cast<DeflateEncoder*>(alloc_aligned(16, size));
  if (enc == nullptr) return nullptr;
  enc->parse = parser_of(row->parser);
  enc->nice_len = row->nice_len;
  enc->search_depth = row->search_depth;
  enc->passes = row->passes;
  enc->level_code = static_cast<uint32_t>(level_code);
  fill_distance_codes(*enc);
  build_static_codes(*enc);
  return enc;
}

void destroy_deflate_encoder(DeflateEncoder* encoder) { free_aligned(encoder); }

uint32_t get_encoder_level(const DeflateEncoder* encoder) { return encoder->level_code; }

uint64_t deflate_encode(DeflateEncoder* encoder, const void* in, uint64_t in_len, void* out,
                        uint64_t out_avail) {
  if (out_avail <= 7) return 0;
  auto* const out_bytes = static_cast<uint8_t*>(out);
  const auto* const in_bytes = static_cast<const uint8_t*>(in);
  if (in_len <= kStoredOnlyInput) {
    BitWriter w;
    init_bit_writer(w, out_bytes, out_avail);
    write_stored_block(w, in_bytes, static_cast<uint32_t>(in_len), true);
    return finish_bit_writer(w);
  }
  return encoder->parse(*encoder, in_bytes, in_len, out_bytes, out_avail);
}

uint64_t deflate_encode_bound(const DeflateEncoder*, uint64_t n) {
  const uint64_t blocks = std::max<uint64_t>((n + 9999) / 10000, 1);
  return n + 9 + 5 * blocks;
}

uint64_t zlib_encode(DeflateEncoder* encoder, const void* in, uint64_t in_len, void* out,
                     uint64_t out_avail) {
  if (out_avail <= 6) return 0;
  auto* const out_bytes = static_cast<uint8_t*>(out);
  const uint32_t level = encoder->level_code;
  out_bytes[0] = 0x78;
  out_bytes[1] = level < 2 ? 0x01 : level < 6 ? 0x5E : level < 8 ? 0x9C : 0xDA;
  const uint64_t deflated = deflate_encode(encoder, in, in_len, out_bytes + 2, out_avail - 6);
  if (deflated == 0) return 0;
  const uint32_t adler = adler32_update(1, in, in_len);
  uint8_t* trailer = out_bytes + 2 + deflated;
  trailer[0] = static_cast<uint8_t>(adler >> 24);
  trailer[1] = static_cast<uint8_t>(adler >> 16);
  trailer[2] = static_cast<uint8_t>(adler >> 8);
  trailer[3] = static_cast<uint8_t>(adler);
  return deflated + 6;
}

uint64_t zlib_encode_bound(const DeflateEncoder* encoder, uint64_t n) {
  return deflate_encode_bound(encoder, n) + 6;
}

}  // namespace mlevel
