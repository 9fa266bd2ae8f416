// Block output pieces of the multi-level compressor: bit writer, code builder,
// split statistics and the stored-block writer.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>

#include "core/deflate/multilevel_block.h"
#include "core/deflate/multilevel_encoder.h"

namespace {

using namespace mlevel;

TEST(MultilevelBitWriter, SixtyFourPendingBitsFlushWhole) {
  uint8_t buf[64];
  std::memset(buf, 0, sizeof buf);
  BitWriter w;
  init_bit_writer(w, buf, sizeof buf);
  add_bits(w, 0x55, 7);
  flush_bits(w);
  EXPECT_EQ(w.bitcount, 7u);
  // 7 pending + 57 added = a full 64-bit buffer.
  const uint64_t v = 0x1ABCDEF012345678ull & ((1ull << 57) - 1);
  add_bits(w, v, 57);
  EXPECT_EQ(w.bitcount, 64u);
  flush_bits(w);
  EXPECT_EQ(w.bitcount, 0u);
  EXPECT_EQ(w.bitbuf, 0u);  // nothing may survive a full flush
  EXPECT_EQ(w.next - buf, 8);
  const uint64_t expected = 0x55 | (v << 7);
  uint64_t got = 0;
  for (int i = 7; i >= 0; i--) got = (got << 8) | buf[i];
  EXPECT_EQ(got, expected);
  // Later bits land right after.
  add_bits(w, 0x3, 2);
  EXPECT_EQ(finish_bit_writer(w), 9u);
  EXPECT_EQ(buf[8], 0x3);
}

TEST(MultilevelBitWriter, StopsAtEndAndReportsOverflow) {
  constexpr size_t kAvail = 24;
  uint8_t buf[kAvail + 16];
  std::memset(buf, 0xEE, sizeof buf);
  BitWriter w;
  init_bit_writer(w, buf, kAvail);
  for (int i = 0; i < 20; i++) {
    add_bits(w, 0xFFFFFFFFFFFFull, 48);
    flush_bits(w);
    ASSERT_LE(w.next, w.end);
  }
  EXPECT_TRUE(bit_writer_overflowed(w));
  EXPECT_EQ(finish_bit_writer(w), 0u);
  for (size_t i = kAvail; i < sizeof buf; i++) EXPECT_EQ(buf[i], 0xEE);
}

TEST(MultilevelStoredBlock, RefusedUnlessItEndsBeforeEnd) {
  const uint8_t data[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  // One header byte + 4 length bytes + 10 data bytes = 15; the write position
  // must stay strictly before the end, which lies 8 bytes before out_avail.
  for (uint64_t avail : {23u, 24u}) {
    uint8_t buf[48];
    BitWriter w;
    init_bit_writer(w, buf, avail);
    write_stored_block(w, data, 10, true);
    if (avail == 23) {
      EXPECT_TRUE(bit_writer_overflowed(w));
    } else {
      EXPECT_FALSE(bit_writer_overflowed(w));
      ASSERT_EQ(finish_bit_writer(w), 15u);
      EXPECT_EQ(buf[0], 0x01);
      EXPECT_EQ(buf[1], 10);
      EXPECT_EQ(buf[3], 0xF5);
      EXPECT_EQ(0, std::memcmp(buf + 5, data, 10));
    }
  }
  // A block after pending bits is aligned to the next byte first.
  uint8_t buf[64];
  BitWriter w;
  init_bit_writer(w, buf, sizeof buf);
  add_bits(w, 0xF, 4);
  write_stored_block(w, data, 3, false);
  ASSERT_EQ(finish_bit_writer(w), 1u + 4u + 3u);
  EXPECT_EQ(buf[0], 0x0F);  // four pending bits, three header bits, one zero bit
  EXPECT_EQ(buf[1], 3);
  EXPECT_EQ(buf[3], 0xFC);
}

// Kraft sum of the lengths scaled to 2^max_len; a complete code sums to 2^max_len.
uint64_t kraft(const uint8_t* lens, unsigned n, unsigned max_len) {
  uint64_t sum = 0;
  for (unsigned i = 0; i < n; i++)
    if (lens[i]) sum += 1ull << (max_len - lens[i]);
  return sum;
}

// Canonical codes: for the same length, codewords count up with the symbol.
void expect_canonical_prefix_free(const uint8_t* lens, const uint32_t* codewords, unsigned n) {
  auto unreversed = [&](unsigned s) {
    uint32_t r = 0, v = codewords[s];
    for (unsigned i = 0; i < lens[s]; i++, v >>= 1) r = (r << 1) | (v & 1);
    return r;
  };
  for (unsigned a = 0; a < n; a++) {
    if (!lens[a]) continue;
    for (unsigned b = a + 1; b < n; b++) {
      if (!lens[b]) continue;
      const unsigned la = lens[a], lb = lens[b];
      const unsigned l = std::min(la, lb);
      ASSERT_NE(unreversed(a) >> (la - l), unreversed(b) >> (lb - l)) << a << " " << b;
      if (la == lb) {
        EXPECT_LT(unreversed(a), unreversed(b));
      }
    }
  }
}

TEST(MultilevelCodeBuilder, StaticCodesAreRfc1951Fixed) {
  std::unique_ptr<DeflateEncoder, void (*)(DeflateEncoder*)> e(create_deflate_encoder(4),
                                                                 destroy_deflate_encoder);
  const HuffmanCodes& c = e->static_codes;
  for (unsigned s = 0; s < 288; s++) {
    const unsigned expected = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
    ASSERT_EQ(c.litlen_lens[s], expected) << s;
  }
  for (unsigned d = 0; d < 32; d++) ASSERT_EQ(c.dist_lens[d], 5u);
  // Symbol 0 is 00110000 and symbol 256 is 0000000, sent most significant bit first.
  EXPECT_EQ(c.litlen_codewords[0], 0x0Cu);
  EXPECT_EQ(c.litlen_codewords[256], 0u);
  EXPECT_EQ(c.litlen_codewords[144], 0x13u);  // 110010000 reversed
  EXPECT_EQ(e->distance_code_of[1], 0);
  EXPECT_EQ(e->distance_code_of[5], 4);
  EXPECT_EQ(e->distance_code_of[24576], 28);
  EXPECT_EQ(e->distance_code_of[24577], 29);
  EXPECT_EQ(e->distance_code_of[32768], 29);
}

TEST(MultilevelCodeBuilder, DegenerateAlphabets) {
  uint32_t freqs[32] = {};
  uint8_t lens[32];
  uint32_t cw[32];
  std::memset(lens, 9, sizeof lens);
  make_huffman_code(32, 15, freqs, lens, cw);
  for (uint8_t l : lens) EXPECT_EQ(l, 0);

  struct Case {
    unsigned used;
    unsigned other;
  };
  for (Case c : {Case{7, 0}, Case{0, 1}, Case{29, 0}}) {
    std::memset(freqs, 0, sizeof freqs);
    freqs[c.used] = 12;
    make_huffman_code(32, 15, freqs, lens, cw);
    const unsigned one = c.used == 0 ? 1 : c.used;
    for (unsigned s = 0; s < 32; s++) {
      const bool has = s == 0 || s == one;
      EXPECT_EQ(lens[s], has ? 1 : 0) << c.used << " " << s;
    }
    EXPECT_EQ(cw[0], 0u);
    EXPECT_EQ(cw[one], 1u);
  }
}

TEST(MultilevelCodeBuilder, LengthsAreLimitedAndCodesComplete) {
  uint32_t freqs[288];
  uint8_t lens[288];
  uint32_t cw[288];
  // Fibonacci frequencies would need codes far longer than 14 bits.
  uint32_t a = 1, b = 1;
  for (unsigned s = 0; s < 288; s++) {
    freqs[s] = s < 28 ? a : 0;
    uint32_t next = a + b;
    a = b;
    b = next;
  }
  make_huffman_code(288, 14, freqs, lens, cw);
  EXPECT_EQ(*std::max_element(lens, lens + 28), 14);
  EXPECT_EQ(kraft(lens, 288, 14), 1ull << 14);
  expect_canonical_prefix_free(lens, cw, 288);

  std::mt19937 rng(9);
  for (int round = 0; round < 50; round++) {
    const unsigned n = round % 3 == 0 ? 19 : round % 3 == 1 ? 32 : 288;
    const unsigned limit = n == 19 ? 7 : n == 32 ? 15 : 14;
    for (unsigned s = 0; s < n; s++) freqs[s] = rng() % 4 == 0 ? 0 : (rng() % 2 ? rng() % 5 : rng() % 70000);
    freqs[rng() % n] = 1;
    freqs[rng() % n] = 3;
    make_huffman_code(n, limit, freqs, lens, cw);
    unsigned used = 0;
    for (unsigned s = 0; s < n; s++) {
      ASSERT_EQ(lens[s] != 0, freqs[s] != 0) << s;
      ASSERT_LE(lens[s], limit);
      used += freqs[s] != 0;
    }
    if (used >= 2) {
      EXPECT_EQ(kraft(lens, n, limit), 1ull << limit);
    }
    // More frequent symbols never get longer codewords.
    for (unsigned x = 0; x < n; x++)
      for (unsigned y = 0; y < n; y++)
        if (freqs[x] > freqs[y] && freqs[y] != 0) {
          ASSERT_LE(lens[x], lens[y]);
        }
    expect_canonical_prefix_free(lens, cw, n);
  }
}

TEST(MultilevelSplitStats, FirstCheckOnlyMergesAndChangeEndsTheBlock) {
  SplitStats s;
  reset_split_stats(s);
  for (int i = 0; i < 600; i++) observe_literal(s, static_cast<uint8_t>('a' + i % 3));
  EXPECT_FALSE(block_split_check(s, 50000));  // num_total was 0
  EXPECT_EQ(s.num_new, 0u);
  EXPECT_EQ(s.num_total, 600u);
  // Same distribution: no split.
  for (int i = 0; i < 600; i++) observe_literal(s, static_cast<uint8_t>('a' + i % 3));
  EXPECT_FALSE(block_split_check(s, 50000));
  EXPECT_EQ(s.num_total, 1200u);
  // Long matches only: a different distribution ends the block, counters kept.
  for (int i = 0; i < 600; i++) observe_match(s, 20);
  EXPECT_TRUE(block_split_check(s, 50000));
  EXPECT_EQ(s.num_new, 600u);
  EXPECT_EQ(s.num_total, 1200u);
  // Observation types: top two bits and the lowest bit of a literal.
  reset_split_stats(s);
  observe_literal(s, 0xFF);
  observe_literal(s, 0x40);
  observe_match(s, 8);
  observe_match(s, 9);
  EXPECT_EQ(s.new_observations[7], 1u);
  EXPECT_EQ(s.new_observations[2], 1u);
  EXPECT_EQ(s.new_observations[8], 1u);
  EXPECT_EQ(s.new_observations[9], 1u);
}

}  // namespace
