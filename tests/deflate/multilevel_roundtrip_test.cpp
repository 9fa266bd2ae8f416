// Every level code round-trips through zlib's inflate on varied data, and the
// parsers leave the block structure and symbols they are meant to.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "core/deflate/multilevel.h"
#include "multilevel_test_util.h"

namespace {

using namespace mlevel_test;
using mlevel::DeflateEncoder;

struct EncoderDeleter {
  void operator()(DeflateEncoder* e) const { mlevel::destroy_deflate_encoder(e); }
};
using EncoderPtr = std::unique_ptr<DeflateEncoder, EncoderDeleter>;

Bytes encode_at(int code, const Bytes& in) {
  EncoderPtr e(mlevel::create_deflate_encoder(code));
  if (!e) return {};
  Bytes out(mlevel::deflate_encode_bound(e.get(), in.size()));
  out.resize(mlevel::deflate_encode(e.get(), in.data(), in.size(), out.data(), out.size()));
  return out;
}

struct Input {
  const char* name;
  Bytes data;
  bool big;  // the near-optimal levels take only some of the big inputs
};

std::vector<Input> inputs() {
  std::vector<Input> v;
  v.push_back({"empty", {}, false});
  v.push_back({"one", {0x42}, false});
  v.push_back({"fifteen", text(15, 1), false});
  v.push_back({"sixteen", random_bytes(16, 2), false});
  v.push_back({"random", random_bytes(70000, 3), false});
  v.push_back({"runs", runs(120000, 4), false});
  v.push_back({"text", text(90000, 5), false});
  v.push_back({"scanlines", filtered_scanlines(150000, 6), false});
  v.push_back({"zeros", Bytes(70000, 0), false});
  v.push_back({"text_300001", text(300001, 7), true});
  v.push_back({"scanlines_300001", filtered_scanlines(300001, 8), true});
  v.push_back({"random_300001", random_bytes(300001, 9), true});
  return v;
}

TEST(MultilevelRoundTrip, EveryLevelOnVariedData) {
  const std::vector<Input> all = inputs();
  for (int code : all_level_codes()) {
    int big_index = 0;
    for (const Input& in : all) {
      // The slow levels see one of the three big inputs each, chosen by level,
      // so every big input is still covered several times.
      if (in.big && is_near_optimal(code) && (code + big_index++) % 3 != 0) continue;
      const Bytes enc = encode_at(code, in.data);
      ASSERT_FALSE(enc.empty()) << code << " " << in.name;
      Bytes back;
      ASSERT_TRUE(inflate_raw(enc.data(), enc.size(), in.data.size(), back)) << code << " " << in.name;
      ASSERT_EQ(back, in.data) << code << " " << in.name;
      // Also through our own reader, which must agree with zlib.
      const StreamInfo info = inspect_deflate(enc);
      ASSERT_TRUE(info.ok) << code << " " << in.name;
      ASSERT_EQ(info.data, in.data);
      ASSERT_TRUE(info.blocks.back().final);
    }
  }
}

TEST(MultilevelRoundTrip, CompressionImprovesWithEffort) {
  const Bytes in = filtered_scanlines(200000, 21);
  const size_t s0 = encode_at(0, in).size();
  const size_t s4 = encode_at(4, in).size();
  const size_t s7 = encode_at(7, in).size();
  const size_t s12 = encode_at(12, in).size();
  const size_t s77 = encode_at(77, in).size();
  EXPECT_LT(s4, s0);
  EXPECT_LT(s7, s4);
  EXPECT_LT(s12, s7);
  EXPECT_GT(s77, s0);
}

TEST(MultilevelRoundTrip, RandomDataIsStoredInPiecesOfAtMost65535) {
  const Bytes in = random_bytes(200000, 31);
  for (int code : {0, 6, 8, 77}) {
    const StreamInfo info = inspect_deflate(encode_at(code, in));
    ASSERT_TRUE(info.ok);
    size_t pieces = 0;
    for (const BlockInfo& b : info.blocks) {
      EXPECT_EQ(b.type, 0) << code;
      EXPECT_LE(b.out_len, 65535u);
      pieces++;
    }
    EXPECT_GE(pieces, 4u);
    // Only the last piece of the stream is final.
    for (size_t i = 0; i + 1 < info.blocks.size(); i++) EXPECT_FALSE(info.blocks[i].final);
  }
}

TEST(MultilevelRoundTrip, LiteralOnlyBlocks) {
  // 300,001 bytes need at least two blocks; 19,999 bytes are never split.
  const Bytes big = filtered_scanlines(300001, 41);
  StreamInfo info = inspect_deflate(encode_at(77, big));
  ASSERT_TRUE(info.ok);
  EXPECT_GE(info.blocks.size(), 2u);
  for (const BlockInfo& b : info.blocks) {
    EXPECT_LE(b.out_len, 300000u);
    for (const Symbol& s : b.symbols) ASSERT_EQ(s.length, 0u);
  }
  // Two very different halves would be split if the block were long enough.
  Bytes mixed = text(10000, 42);
  const Bytes noise = random_bytes(9999, 43);
  mixed.insert(mixed.end(), noise.begin(), noise.end());
  mixed.resize(19999);
  info = inspect_deflate(encode_at(77, mixed));
  ASSERT_TRUE(info.ok);
  EXPECT_EQ(info.blocks.size(), 1u);
  // ...and is split once there is room on both sides.
  Bytes longer = text(60000, 44);
  const Bytes more_noise = random_bytes(60000, 45);
  longer.insert(longer.end(), more_noise.begin(), more_noise.end());
  info = inspect_deflate(encode_at(77, longer));
  ASSERT_TRUE(info.ok);
  EXPECT_GE(info.blocks.size(), 2u);
}

TEST(MultilevelRoundTrip, RunOfOneByteUsesDistanceOneMatches) {
  const Bytes in(5000, 0x7E);
  for (int code : {0, 1, 2, 3, 4, 5, 6, 7}) {
    const StreamInfo info = inspect_deflate(encode_at(code, in));
    ASSERT_TRUE(info.ok);
    uint32_t longest = 0;
    size_t matches = 0;
    for (const BlockInfo& b : info.blocks)
      for (const Symbol& s : b.symbols)
        if (s.length != 0) {
          EXPECT_EQ(s.distance, 1u) << code;
          longest = std::max(longest, s.length);
          matches++;
        }
    EXPECT_EQ(longest, 258u) << code;
    EXPECT_LT(matches, 30u) << code;
  }
}

TEST(MultilevelRoundTrip, LastFourBytesAreNotSearched) {
  // "wxyz" recurs as the last four bytes; no search runs there, so they stay literals.
  const std::string s = "0wxyz123456789abcdefghijklmnopqrstuvwxyz";
  const Bytes in(s.begin(), s.end());
  for (int code : all_level_codes()) {
    const StreamInfo info = inspect_deflate(encode_at(code, in));
    ASSERT_TRUE(info.ok);
    const std::vector<Symbol>& syms = info.blocks.back().symbols;
    ASSERT_GE(syms.size(), 4u);
    for (size_t i = syms.size() - 4; i < syms.size(); i++) EXPECT_EQ(syms[i].length, 0u) << code;
  }
}

TEST(MultilevelRoundTrip, EqualBytesFillTheFirstNearOptimalBlock) {
  const Bytes in(400000, 0);
  for (int code : {8, 80}) {
    const StreamInfo info = inspect_deflate(encode_at(code, in));
    ASSERT_TRUE(info.ok);
    ASSERT_GE(info.blocks.size(), 2u);
    EXPECT_GE(info.blocks[0].out_len, 300000u);
    EXPECT_LE(info.blocks[0].out_len, 300000u + 257u);
    ASSERT_GE(info.blocks[0].symbols.size(), 2u);
    EXPECT_EQ(info.blocks[0].symbols[0].length, 0u);
    EXPECT_EQ(info.blocks[0].symbols[1].distance, 1u);
  }
}

TEST(MultilevelRoundTrip, LazyParserDefersToLongerMatchOneByteLater) {
  // "abcd" recurs at q, but "bcdefghij" from q + 1 is longer.
  const std::string s = "XYZabcd!!!!!!!!#bcdefghij%%%%%%%%abcdefghij@@@@@@@@@@";
  const Bytes in(s.begin(), s.end());
  const size_t q = s.find("abcdefghij");
  auto symbols_from = [&](int code) {
    const StreamInfo info = inspect_deflate(encode_at(code, in));
    EXPECT_TRUE(info.ok);
    std::vector<Symbol> at_q;
    size_t pos = 0;
    for (const Symbol& sym : info.blocks.at(0).symbols) {
      if (pos >= q && at_q.size() < 2) at_q.push_back(sym);
      pos += sym.length ? sym.length : 1;
    }
    return at_q;
  };
  const std::vector<Symbol> lazy = symbols_from(5);
  ASSERT_EQ(lazy.size(), 2u);
  EXPECT_EQ(lazy[0].length, 0u);
  EXPECT_EQ(lazy[0].distance, static_cast<uint32_t>('a'));
  EXPECT_EQ(lazy[1].length, 9u);
  const std::vector<Symbol> greedy = symbols_from(4);
  ASSERT_EQ(greedy.size(), 2u);
  EXPECT_EQ(greedy[0].length, 4u);
}

}  // namespace
