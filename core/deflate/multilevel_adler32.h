// Adler-32 routines of the multi-level compressor and the processor probe that
// picks one of them. Each routine is callable directly (tests compare them);
// adler32_update in multilevel.h runs the chosen one.
#pragma once

#include <cstdint>

namespace mlevel {

// Bits of the processor feature word.
inline constexpr uint32_t kCpuProbed = 1u << 31;
inline constexpr uint32_t kCpuAvx2 = 1u << 9;

// Asks the processor (CPUID leaves 0, 1 and 7, XGETBV) for its features,
// stores the word process-wide and returns it.
uint32_t probe_cpu_features();

// The stored feature word, probing first when it is still 0.
uint32_t cpu_feature_word();

uint32_t adler32_portable(uint32_t adler, const uint8_t* p, uint64_t len);
uint32_t adler32_sse2(uint32_t adler, const uint8_t* p, uint64_t len);
// Only for processors whose feature word has kCpuAvx2.
uint32_t adler32_avx2(uint32_t adler, const uint8_t* p, uint64_t len);

}  // namespace mlevel
