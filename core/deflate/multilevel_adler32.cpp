// Adler-32 for the zlib wrapper. The vector routines keep the two sums in
// 32-bit lanes and reduce them modulo 65,521 once per chunk; the chunk limits
// (4,096 bytes for SSE2, 5,536 for AVX2) keep the sums below 2^32 even for
// all-0xFF input starting from the largest reduced sums. The routine is chosen
// on first use from the processor's features; the project is built without
// -mavx2, so the AVX2 routine carries its own target attribute.
#include "core/deflate/multilevel_adler32.h"

#include <atomic>
#include <cstddef>

#include "core/deflate/multilevel.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define MLEVEL_X86 1
#endif

namespace mlevel {
namespace {

constexpr uint32_t kMod = 65521;
// Longest run of bytes after which s2 still fits in 32 bits without reduction.
constexpr uint64_t kPortableChunk = 5552;
constexpr uint64_t kSse2Chunk = 4096;
constexpr uint64_t kAvx2Chunk = 5536;

using Adler32Fn = uint32_t (*)(uint32_t, const uint8_t*, uint64_t);

uint32_t adler32_dispatch(uint32_t adler, const uint8_t* p, uint64_t len);

std::atomic<uint32_t> g_cpu_features{0};
std::atomic<Adler32Fn> g_adler32{adler32_dispatch};

struct Sums {
  uint32_t s1;
  uint32_t s2;
};

// Single bytes up to the alignment boundary, then both sums reduced.
inline const uint8_t* adler_align_prefix(Sums& s, const uint8_t* p, uint64_t& len,
                                         uintptr_t alignment) {
  uint64_t prefix = (alignment - (reinterpret_cast<uintptr_t>(p) & (alignment - 1))) & (alignment - 1);
  if (prefix > len) prefix = len;
  len -= prefix;
  while (prefix-- > 0) {
    s.s1 += *p++;
    s.s2 += s.s1;
  }
  s.s1 %= kMod;
  s.s2 %= kMod;
  return p;
}

inline uint32_t adler_finish_tail(Sums s, const uint8_t* p, uint64_t len) {
  while (len-- > 0) {
    s.s1 = (s.s1 + *p++) % kMod;
    s.s2 = (s.s2 + s.s1) % kMod;
  }
  return s.s1 | (s.s2 << 16);
}

uint32_t adler32_dispatch(uint32_t adler, const uint8_t* p, uint64_t len) {
#ifdef MLEVEL_X86
  Adler32Fn fn = (cpu_feature_word() & kCpuAvx2) ? adler32_avx2 : adler32_sse2;
#else
  Adler32Fn fn = adler32_portable;
#endif
  g_adler32.store(fn, std::memory_order_relaxed);
  return fn(adler, p, len);
}

#ifdef MLEVEL_X86
uint64_t read_xcr0() {
  uint32_t lo, hi;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (static_cast<uint64_t>(hi) << 32) | lo;
}

inline uint32_t hsum_epi32(__m128i v) {
  v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
  v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(v));
}
#endif

}  // namespace

uint32_t probe_cpu_features() {
  uint32_t word = kCpuProbed;
#ifdef MLEVEL_X86
  unsigned a = 0, b = 0, c = 0, d = 0;
  const unsigned max_leaf = __get_cpuid_max(0, nullptr);
  if (max_leaf >= 1) {
    __cpuid(1, a, b, c, d);
    const bool osxsave = (c & (1u << 27)) != 0;
    if (osxsave && (read_xcr0() & 6) == 6 && max_leaf >= 7) {
      __cpuid_count(7, 0, a, b, c, d);
      if (b & (1u << 5)) word |= kCpuAvx2;
    }
  }
#endif
  g_cpu_features.store(word, std::memory_order_relaxed);
  return word;
}

uint32_t cpu_feature_word() {
  uint32_t word = g_cpu_features.load(std::memory_order_relaxed);
  return word != 0 ? word : probe_cpu_features();
}

uint32_t adler32_portable(uint32_t adler, const uint8_t* p, uint64_t len) {
  Sums s{adler & 0xFFFF, adler >> 16};
  while (len > 0) {
    uint64_t n = len < kPortableChunk ? len : kPortableChunk;
    len -= n;
    while (n-- > 0) {
      s.s1 += *p++;
      s.s2 += s.s1;
    }
    s.s1 %= kMod;
    s.s2 %= kMod;
  }
  return s.s1 | (s.s2 << 16);
}

#ifdef MLEVEL_X86

// For a chunk of n bytes (whole 32-byte blocks) s2 grows by n * s1 plus each
// byte weighted by its distance from the chunk end. Per block that weight is
// 32 * (blocks after it) + (32 - offset): the first part comes from summing
// the running s1 of the vector lanes before each block, the second from a
// multiply-add with the weights 32..1.
uint32_t adler32_sse2(uint32_t adler, const uint8_t* p, uint64_t len) {
  Sums s{adler & 0xFFFF, adler >> 16};
  p = adler_align_prefix(s, p, len, 16);
  const __m128i zero = _mm_setzero_si128();
  const __m128i w0 = _mm_setr_epi16(32, 31, 30, 29, 28, 27, 26, 25);
  const __m128i w1 = _mm_setr_epi16(24, 23, 22, 21, 20, 19, 18, 17);
  const __m128i w2 = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
  const __m128i w3 = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
  while (len >= 32) {
    const uint64_t n = (len < kSse2Chunk ? len : kSse2Chunk) & ~uint64_t{31};
    len -= n;
    __m128i v_s1 = zero, v_prev = zero, v_weighted = zero;
    for (const uint8_t* end = p + n; p < end; p += 32) {
      const __m128i a = _mm_load_si128(reinterpret_cast<const __m128i*>(p));
      const __m128i b = _mm_load_si128(reinterpret_cast<const __m128i*>(p + 16));
      v_prev = _mm_add_epi32(v_prev, v_s1);
      v_s1 = _mm_add_epi32(v_s1, _mm_add_epi32(_mm_sad_epu8(a, zero), _mm_sad_epu8(b, zero)));
      __m128i m = _mm_madd_epi16(_mm_unpacklo_epi8(a, zero), w0);
      m = _mm_add_epi32(m, _mm_madd_epi16(_mm_unpackhi_epi8(a, zero), w1));
      m = _mm_add_epi32(m, _mm_madd_epi16(_mm_unpacklo_epi8(b, zero), w2));
      m = _mm_add_epi32(m, _mm_madd_epi16(_mm_unpackhi_epi8(b, zero), w3));
      v_weighted = _mm_add_epi32(v_weighted, m);
    }
    s.s2 += static_cast<uint32_t>(n) * s.s1 + 32 * hsum_epi32(v_prev) + hsum_epi32(v_weighted);
    s.s1 += hsum_epi32(v_s1);
    s.s1 %= kMod;
    s.s2 %= kMod;
  }
  return adler_finish_tail(s, p, len);
}

__attribute__((target("avx2"))) uint32_t adler32_avx2(uint32_t adler, const uint8_t* p,
                                                      uint64_t len) {
  Sums s{adler & 0xFFFF, adler >> 16};
  p = adler_align_prefix(s, p, len, 32);
  const __m256i zero = _mm256_setzero_si256();
  const __m256i weights = _mm256_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19,
                                           18, 17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3,
                                           2, 1);
  const __m256i ones = _mm256_set1_epi16(1);
  while (len >= 32) {
    const uint64_t n = (len < kAvx2Chunk ? len : kAvx2Chunk) & ~uint64_t{31};
    len -= n;
    __m256i v_s1 = zero, v_prev = zero, v_weighted = zero;
    for (const uint8_t* end = p + n; p < end; p += 32) {
      const __m256i a = _mm256_load_si256(reinterpret_cast<const __m256i*>(p));
      v_prev = _mm256_add_epi32(v_prev, v_s1);
      v_s1 = _mm256_add_epi32(v_s1, _mm256_sad_epu8(a, zero));
      v_weighted = _mm256_add_epi32(v_weighted,
                                    _mm256_madd_epi16(_mm256_maddubs_epi16(a, weights), ones));
    }
    const __m128i prev = _mm_add_epi32(_mm256_castsi256_si128(v_prev), _mm256_extracti128_si256(v_prev, 1));
    const __m128i s1v = _mm_add_epi32(_mm256_castsi256_si128(v_s1), _mm256_extracti128_si256(v_s1, 1));
    const __m128i wv = _mm_add_epi32(_mm256_castsi256_si128(v_weighted),
                                     _mm256_extracti128_si256(v_weighted, 1));
    s.s2 += static_cast<uint32_t>(n) * s.s1 + 32 * hsum_epi32(prev) + hsum_epi32(wv);
    s.s1 += hsum_epi32(s1v);
    s.s1 %= kMod;
    s.s2 %= kMod;
  }
  return adler_finish_tail(s, p, len);
}

#else

uint32_t adler32_sse2(uint32_t adler, const uint8_t* p, uint64_t len) {
  return adler32_portable(adler, p, len);
}
uint32_t adler32_avx2(uint32_t adler, const uint8_t* p, uint64_t len) {
  return adler32_portable(adler, p, len);
}

#endif

uint32_t adler32_update(uint32_t adler, const void* buffer, uint64_t len) {
  if (buffer == nullptr) return 1;
  return g_adler32.load(std::memory_order_relaxed)(adler, static_cast<const uint8_t*>(buffer), len);
}

}  // namespace mlevel
