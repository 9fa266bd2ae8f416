// Adler-32 routines of the multi-level compressor against zlib's adler32.
#include <gtest/gtest.h>
#include <zlib.h>

#include "core/deflate/multilevel.h"
#include "core/deflate/multilevel_adler32.h"
#include "multilevel_test_util.h"

namespace {

using namespace mlevel_test;

using Routine = uint32_t (*)(uint32_t, const uint8_t*, uint64_t);

std::vector<std::pair<const char*, Routine>> routines() {
  std::vector<std::pair<const char*, Routine>> v = {{"portable", mlevel::adler32_portable},
                                                    {"sse2", mlevel::adler32_sse2}};
  if (mlevel::cpu_feature_word() & mlevel::kCpuAvx2) v.push_back({"avx2", mlevel::adler32_avx2});
  return v;
}

uint32_t zlib_adler(uint32_t start, const uint8_t* p, size_t n) {
  return static_cast<uint32_t>(adler32_z(start, p, n));
}

TEST(MultilevelAdler32, FeatureWordMatchesProcessor) {
  const uint32_t word = mlevel::probe_cpu_features();
  EXPECT_TRUE(word & mlevel::kCpuProbed);
  EXPECT_EQ(mlevel::cpu_feature_word(), word);
  __builtin_cpu_init();
  EXPECT_EQ((word & mlevel::kCpuAvx2) != 0, __builtin_cpu_supports("avx2") != 0);
}

TEST(MultilevelAdler32, RoutinesMatchZlibForAllAlignmentsAndChunkLimits) {
  const Bytes random = random_bytes(3 * 5536 + 200, 77);
  const Bytes ones(3 * 5536 + 200, 0xFF);  // largest sums: tests the chunk limits
  const size_t lengths[] = {0,    1,    15,   16,   31,   32,   33,   63,   64,       65,
                            4064, 4095, 4096, 4097, 4127, 4128, 5535, 5536, 5537,     5552,
                            5568, 8192, 8193, 11072, 11073, 3 * 5536 + 17, 3 * 5536 + 100};
  const uint32_t starts[] = {1, 0, 0xFFF0FFF0u, 0x12345678u % 65521 | ((0x9ABCu % 65521) << 16)};
  for (const auto& [name, fn] : routines()) {
    for (const Bytes* data : {&random, &ones}) {
      for (size_t align = 0; align < 64; align++) {
        for (size_t len : lengths) {
          if (align + len > data->size()) continue;
          const uint8_t* p = data->data() + align;
          for (uint32_t start : starts) {
            ASSERT_EQ(fn(start, p, len), zlib_adler(start, p, len))
                << name << " align " << align << " len " << len << " start " << start;
          }
        }
      }
    }
  }
}

TEST(MultilevelAdler32, UpdateUsesAChosenRoutine) {
  EXPECT_EQ(mlevel::adler32_update(1, nullptr, 5), 1u);
  EXPECT_EQ(mlevel::adler32_update(77, nullptr, 0), 1u);
  const Bytes data = random_bytes(100003, 5);
  EXPECT_EQ(mlevel::adler32_update(1, data.data(), data.size()), zlib_adler(1, data.data(), data.size()));
  // Continuing from an earlier value equals one call over the whole buffer.
  uint32_t a = mlevel::adler32_update(1, data.data(), 40000);
  a = mlevel::adler32_update(a, data.data() + 40000, data.size() - 40000);
  EXPECT_EQ(a, zlib_adler(1, data.data(), data.size()));
}

}  // namespace
