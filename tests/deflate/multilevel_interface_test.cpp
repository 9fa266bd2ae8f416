// Interface of the multi-level compressor: level table, exact outputs for the
// shortest inputs, bounds, the zlib wrapper, failure on small buffers, and
// reuse of one encoder.
#include <gtest/gtest.h>

#include <memory>

#include "core/deflate/multilevel.h"
#include "core/deflate/multilevel_encoder.h"
#include "multilevel_test_util.h"

namespace {

using namespace mlevel_test;
using mlevel::DeflateEncoder;

struct EncoderDeleter {
  void operator()(DeflateEncoder* e) const { mlevel::destroy_deflate_encoder(e); }
};
using EncoderPtr = std::unique_ptr<DeflateEncoder, EncoderDeleter>;

EncoderPtr make_encoder(int code) { return EncoderPtr(mlevel::create_deflate_encoder(code)); }

Bytes encode(DeflateEncoder* e, const Bytes& in) {
  Bytes out(mlevel::deflate_encode_bound(e, in.size()));
  uint64_t n = mlevel::deflate_encode(e, in.data(), in.size(), out.data(), out.size());
  out.resize(n);
  return out;
}

TEST(MultilevelInterface, LevelTable) {
  for (int code : {14, 76, -1, 15, 78, 79, 81, 87, 90, 255, 1000}) {
    EXPECT_EQ(mlevel::create_deflate_encoder(code), nullptr) << code;
  }
  mlevel::destroy_deflate_encoder(nullptr);
  for (int code : all_level_codes()) {
    EncoderPtr e = make_encoder(code);
    ASSERT_NE(e, nullptr) << code;
    EXPECT_EQ(mlevel::get_encoder_level(e.get()), static_cast<uint32_t>(code));
  }
  // Every row: parser, nice length, search depth, passes.
  using mlevel::ParserKind;
  const mlevel::LevelRow rows[] = {
      {0, ParserKind::greedy, 1, 1, 0},          {1, ParserKind::greedy, 8, 2, 0},
      {2, ParserKind::greedy, 10, 6, 0},         {3, ParserKind::greedy, 14, 12, 0},
      {4, ParserKind::greedy, 24, 24, 0},        {5, ParserKind::lazy, 30, 20, 0},
      {6, ParserKind::lazy, 65, 40, 0},          {7, ParserKind::lazy, 130, 100, 0},
      {8, ParserKind::near_optimal, 20, 10, 2},  {9, ParserKind::near_optimal, 50, 30, 2},
      {10, ParserKind::near_optimal, 50, 30, 4}, {11, ParserKind::near_optimal, 80, 60, 4},
      {12, ParserKind::near_optimal, 133, 100, 4}, {13, ParserKind::near_optimal, 166, 133, 6},
      {80, ParserKind::near_optimal, 13, 8, 2},  {88, ParserKind::near_optimal, 26, 16, 2},
      {89, ParserKind::near_optimal, 34, 28, 2},
  };
  for (const mlevel::LevelRow& expected : rows) {
    const mlevel::LevelRow* row = mlevel::find_level_row(expected.code);
    ASSERT_NE(row, nullptr) << expected.code;
    EXPECT_EQ(row->parser, expected.parser) << expected.code;
    EXPECT_EQ(row->nice_len, expected.nice_len) << expected.code;
    EXPECT_EQ(row->search_depth, expected.search_depth) << expected.code;
    EXPECT_EQ(row->passes, expected.passes) << expected.code;
  }
  EXPECT_EQ(mlevel::find_level_row(77)->parser, ParserKind::literal_only);
}

TEST(MultilevelInterface, Bounds) {
  EncoderPtr e = make_encoder(6);
  EXPECT_EQ(mlevel::deflate_encode_bound(e.get(), 0), 14u);
  EXPECT_EQ(mlevel::deflate_encode_bound(e.get(), 10000), 10014u);
  EXPECT_EQ(mlevel::deflate_encode_bound(e.get(), 10001), 10020u);
  EXPECT_EQ(mlevel::deflate_encode_bound(nullptr, 15), 29u);
  EXPECT_EQ(mlevel::zlib_encode_bound(e.get(), 0), 20u);
  EXPECT_EQ(mlevel::zlib_encode_bound(e.get(), 10001), 10026u);
}

TEST(MultilevelInterface, EmptyInputIsOneStoredBlock) {
  for (int code : all_level_codes()) {
    EncoderPtr e = make_encoder(code);
    uint8_t out[32];
    for (uint64_t avail = 0; avail <= 13; avail++)
      EXPECT_EQ(mlevel::deflate_encode(e.get(), nullptr, 0, out, avail), 0u) << code << " " << avail;
    std::memset(out, 0xAA, sizeof out);
    ASSERT_EQ(mlevel::deflate_encode(e.get(), nullptr, 0, out, 14), 5u) << code;
    const uint8_t expected[5] = {0x01, 0x00, 0x00, 0xFF, 0xFF};
    EXPECT_EQ(0, std::memcmp(out, expected, 5));
  }
}

TEST(MultilevelInterface, FifteenBytesAreStoredSixteenAreParsed) {
  const Bytes in15 = text(15, 1);
  const Bytes in16(16, 0);
  for (int code : all_level_codes()) {
    EncoderPtr e = make_encoder(code);
    Bytes out(64, 0xAA);
    EXPECT_EQ(mlevel::deflate_encode(e.get(), in15.data(), 15, out.data(), 28), 0u) << code;
    ASSERT_EQ(mlevel::deflate_encode(e.get(), in15.data(), 15, out.data(), 29), 20u) << code;
    const uint8_t header[5] = {0x01, 0x0F, 0x00, 0xF0, 0xFF};
    EXPECT_EQ(0, std::memcmp(out.data(), header, 5));
    EXPECT_EQ(0, std::memcmp(out.data() + 5, in15.data(), 15));

    // Sixteen equal bytes go through the parser and come out smaller than a
    // stored block.
    Bytes enc16 = encode(e.get(), in16);
    ASSERT_GT(enc16.size(), 0u);
    EXPECT_LT(enc16.size(), 21u) << code;
    EXPECT_NE(enc16[0] & 6, 0) << code;
    Bytes back;
    ASSERT_TRUE(inflate_raw(enc16.data(), enc16.size(), 16, back));
    EXPECT_EQ(back, in16);
  }
}

TEST(MultilevelInterface, ZlibHeaderPerLevel) {
  const Bytes in = text(5000, 3);
  for (int code : all_level_codes()) {
    EncoderPtr e = make_encoder(code);
    const uint8_t expected = code < 2 ? 0x01 : code < 6 ? 0x5E : code < 8 ? 0x9C : 0xDA;
    Bytes out(mlevel::zlib_encode_bound(e.get(), in.size()));
    uint64_t n = mlevel::zlib_encode(e.get(), in.data(), in.size(), out.data(), out.size());
    ASSERT_GT(n, 6u) << code;
    EXPECT_EQ(out[0], 0x78);
    EXPECT_EQ(out[1], expected) << code;
    EXPECT_EQ(((out[0] << 8) | out[1]) % 31, 0);
    Bytes back(in.size() + 1);
    uLongf back_len = back.size();
    ASSERT_EQ(uncompress(back.data(), &back_len, out.data(), n), Z_OK) << code;
    back.resize(back_len);
    EXPECT_EQ(back, in);
  }
  // Empty input: header, a stored block, Adler-32 of nothing (1).
  EncoderPtr e = make_encoder(4);
  uint8_t out[32];
  for (uint64_t avail = 0; avail <= 6; avail++)
    EXPECT_EQ(mlevel::zlib_encode(e.get(), nullptr, 0, out, avail), 0u);
  ASSERT_EQ(mlevel::zlib_encode(e.get(), nullptr, 0, out, 20), 11u);
  const uint8_t expected[11] = {0x78, 0x5E, 0x01, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x01};
  EXPECT_EQ(0, std::memcmp(out, expected, 11));
}

// Every buffer too small for the stream gives 0, never a partial stream, and
// nothing is written past out_avail.
TEST(MultilevelInterface, TooSmallOutputFailsAndCanariesStayIntact) {
  constexpr size_t kCanary = 64;
  const std::vector<Bytes> inputs = {random_bytes(3000, 5), text(3000, 6), runs(3000, 7),
                                     filtered_scanlines(3000, 8)};
  for (int code : {0, 4, 6, 8, 13, 77, 80}) {
    EncoderPtr e = make_encoder(code);
    for (const Bytes& in : inputs) {
      const Bytes full = encode(e.get(), in);
      ASSERT_GT(full.size(), 0u);
      // The writer needs 8 spare bytes behind the stream (one more for the
      // pending bits), so sizes up to full + 8 may fail too; above that all succeed.
      for (uint64_t avail = 0; avail <= full.size() + 12; avail += (avail + 40 < full.size() ? 97 : 1)) {
        Bytes buf(avail + kCanary, 0xC3);
        uint64_t n = mlevel::deflate_encode(e.get(), in.data(), in.size(), buf.data(), avail);
        for (size_t i = avail; i < buf.size(); i++) ASSERT_EQ(buf[i], 0xC3) << code << " " << avail;
        if (avail < full.size()) {
          ASSERT_EQ(n, 0u) << code << " " << avail;
        } else if (n != 0) {
          ASSERT_EQ(n, full.size());
          EXPECT_EQ(0, std::memcmp(buf.data(), full.data(), n));
        } else {
          ASSERT_LE(avail, full.size() + 8) << code;
        }
        Bytes zbuf(avail + kCanary, 0x5A);
        uint64_t zn = mlevel::zlib_encode(e.get(), in.data(), in.size(), zbuf.data(), avail);
        for (size_t i = avail; i < zbuf.size(); i++) ASSERT_EQ(zbuf[i], 0x5A) << code << " " << avail;
        if (avail < full.size() + 6) {
          ASSERT_EQ(zn, 0u);
        }
      }
    }
  }
}

TEST(MultilevelInterface, BoundAlwaysSuffices) {
  // Incompressible data is the worst case: stored pieces with their headers.
  for (size_t n : {16u, 17u, 1000u, 9999u, 10000u, 10001u, 65535u, 65536u, 131071u, 300001u}) {
    const Bytes in = random_bytes(n, static_cast<uint32_t>(n));
    for (int code : {0, 5, 8, 77}) {
      EncoderPtr e = make_encoder(code);
      Bytes out(mlevel::deflate_encode_bound(e.get(), n));
      ASSERT_GT(mlevel::deflate_encode(e.get(), in.data(), n, out.data(), out.size()), 0u)
          << code << " " << n;
      Bytes zout(mlevel::zlib_encode_bound(e.get(), n));
      ASSERT_GT(mlevel::zlib_encode(e.get(), in.data(), n, zout.data(), zout.size()), 0u);
    }
  }
}

TEST(MultilevelInterface, EncoderReuseGivesSameBytes) {
  const Bytes a = filtered_scanlines(70000, 11);
  const Bytes b = text(50000, 12);
  for (int code : all_level_codes()) {
    EncoderPtr reused = make_encoder(code);
    const Bytes first = encode(reused.get(), a);
    const Bytes other = encode(reused.get(), b);
    const Bytes again = encode(reused.get(), a);
    EncoderPtr fresh = make_encoder(code);
    const Bytes from_fresh = encode(fresh.get(), a);
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(other.empty());
    EXPECT_EQ(first, from_fresh) << code;
    EXPECT_EQ(again, from_fresh) << code;
  }
}

}  // namespace
