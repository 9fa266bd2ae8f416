// DEFLATE length and distance codes (RFC 1951) as the Zopfli-style compressor
// uses them: symbol, extra-bit count and extra-bit value per length 3..258 and
// per distance 1..32768.
#pragma once

#include <array>
#include <cstdint>

namespace zopfli {

inline constexpr int kMinMatch = 3;
inline constexpr int kMaxMatch = 258;
inline constexpr int kWindowSize = 32768;
inline constexpr int kNumLitLen = 288;
inline constexpr int kNumDist = 32;

struct length_code {
    uint16_t symbol;
    uint8_t extra_bits;
    uint8_t extra_value;
};

inline constexpr std::array<length_code, 259> make_length_codes() {
    constexpr int base[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                              31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
    constexpr int extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                               2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    std::array<length_code, 259> t{};
    for (int s = 0; s < 29; ++s) {
        int span = s == 28 ? 1 : (1 << extra[s]);
        for (int k = 0; k < span; ++k) {
            int len = base[s] + k;
            if (len > 258 || (s == 27 && len == 258)) break;  // 258 has its own symbol
            t[len] = {static_cast<uint16_t>(257 + s), static_cast<uint8_t>(extra[s]),
                      static_cast<uint8_t>(k)};
        }
    }
    return t;
}

inline constexpr std::array<length_code, 259> kLengthCodes = make_length_codes();

inline int length_symbol(int len) { return kLengthCodes[len].symbol; }
inline int length_extra_bits(int len) { return kLengthCodes[len].extra_bits; }
inline int length_extra_value(int len) { return kLengthCodes[len].extra_value; }

// Extra bits of a length symbol 257..285.
inline int length_symbol_extra_bits(int sym) {
    return (sym >= 265 && sym <= 284) ? (sym - 261) / 4 : 0;
}

inline int dist_symbol(int dist) {
    if (dist < 5) return dist - 1;
    unsigned d = static_cast<unsigned>(dist - 1);
    int l = 31 - __builtin_clz(d);
    return l * 2 + static_cast<int>((d >> (l - 1)) & 1);
}

inline int dist_extra_bits(int dist) {
    if (dist < 5) return 0;
    return 30 - __builtin_clz(static_cast<unsigned>(dist - 1));
}

inline int dist_extra_value(int dist) {
    if (dist < 5) return 0;
    int bits = dist_extra_bits(dist);
    return (dist - 1) & ((1 << bits) - 1);
}

// Extra bits of a distance symbol 0..29.
inline int dist_symbol_extra_bits(int sym) { return sym < 4 ? 0 : sym / 2 - 1; }

// First length of a length symbol 257..285 and first distance of a distance symbol.
inline int length_symbol_base(int sym) {
    constexpr int base[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                              31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
    return base[sym - 257];
}

}  // namespace zopfli
