// Exact compressed sizes of the multi-level and Zopfli-style compressors on
// fixed inputs, for every level code and every Zopfli setting the engine uses.
// Both compressors depend on dozens of constants (nice lengths, block limits,
// literal and start costs, smoothing, iteration limits) whose change still
// gives a valid stream; a round trip cannot tell that one of them moved, an
// exact size can. Inputs built here always run; scanlines of corpus PNGs add
// real image data when the corpus is there. After an intended change to a
// compressor, a failing case prints its new row ready to paste.
#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/deflate/multilevel.h"
#include "core/deflate/zopfli.h"
#include "tests/deflate/multilevel_test_util.h"
#include "tests/deflate/zlib_test_util.h"
#include "tests/deflate/zopfli_test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kLevelCodes[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 77, 80, 88, 89};
constexpr size_t kLevels = sizeof kLevelCodes / sizeof kLevelCodes[0];

// The settings the PNG pipeline and the APNG writer pass, on the thread path
// (two threads) and once on the single-thread path; the last one has the
// special start of the one special image size.
struct zopfli_setting {
    uint32_t mode;
    int32_t iterations;
    uint32_t threads;
    uint8_t special;
};
constexpr zopfli_setting kZopfliSettings[] = {
    {2, 1, 2, 0},  {5, 1, 2, 0},  {5, 2, 2, 0},  {5, 4, 2, 0}, {5, 8, 2, 0}, {5, 10, 2, 0},
    {5, 16, 2, 0}, {5, 60, 2, 0}, {5, 80, 2, 0}, {5, 4, 1, 0}, {5, 4, 2, 1}};
constexpr size_t kZopfli = sizeof kZopfliSettings / sizeof kZopfliSettings[0];

struct size_row {
    const char* input;
    uint64_t level_bytes[kLevels];  // raw DEFLATE bytes per level code
    uint64_t zopfli_bits[kZopfli];  // raw DEFLATE bits per Zopfli setting
};

uint64_t multilevel_bytes(int code, const Bytes& in) {
    mlevel::DeflateEncoder* e = mlevel::create_deflate_encoder(code);
    Bytes out(mlevel::deflate_encode_bound(e, in.size()));
    const uint64_t n = mlevel::deflate_encode(e, in.data(), in.size(), out.data(), out.size());
    mlevel::destroy_deflate_encoder(e);
    Bytes back;
    EXPECT_TRUE(mlevel_test::inflate_raw(out.data(), n, in.size(), back) && back == in) << "level " << code;
    return n;
}

uint64_t zopfli_bits(const zopfli_setting& s, const Bytes& in) {
    zopfli::Zopflioptions opts;
    zopfli::zopfli_init_options(&opts, s.mode, s.threads, 1, s.iterations, s.special);
    const auto stream = zopfli_test::compress(opts, in);
    std::vector<unsigned char> back;
    EXPECT_TRUE(zopfli_test::inflate_raw(stream.bytes.data(), stream.bytes.size(), &back) && back == in)
        << "mode " << s.mode << " iterations " << s.iterations;
    return stream.bytes.size() * 8 - (stream.bp == 0 ? 0 : 8 - stream.bp);
}

// Compresses `in` every way and compares with the row; on a difference the
// whole new row is printed.
void check_row(const size_row& expected, const Bytes& in) {
    size_row actual{expected.input, {}, {}};
    for (size_t i = 0; i < kLevels; ++i) actual.level_bytes[i] = multilevel_bytes(kLevelCodes[i], in);
    for (size_t i = 0; i < kZopfli; ++i) actual.zopfli_bits[i] = zopfli_bits(kZopfliSettings[i], in);
    bool same = true;
    for (size_t i = 0; i < kLevels; ++i) {
        EXPECT_EQ(actual.level_bytes[i], expected.level_bytes[i]) << expected.input << ", level " << kLevelCodes[i];
        same = same && actual.level_bytes[i] == expected.level_bytes[i];
    }
    for (size_t i = 0; i < kZopfli; ++i) {
        const zopfli_setting& s = kZopfliSettings[i];
        EXPECT_EQ(actual.zopfli_bits[i], expected.zopfli_bits[i])
            << expected.input << ", Zopfli mode " << s.mode << ", " << s.iterations << " iterations, " << s.threads
            << " threads, special " << int(s.special);
        same = same && actual.zopfli_bits[i] == expected.zopfli_bits[i];
    }
    if (!same) {
        std::ostringstream row;
        row << "{\"" << actual.input << "\", {";
        for (size_t i = 0; i < kLevels; ++i) row << (i ? ", " : "") << actual.level_bytes[i];
        row << "}, {";
        for (size_t i = 0; i < kZopfli; ++i) row << (i ? ", " : "") << actual.zopfli_bits[i];
        row << "}},";
        ADD_FAILURE() << "new row: " << row.str();
    }
}

// Phrases of 20 to 300 bytes copied from up to 30 KB back, between runs of
// fresh text: many long matches of every length, at every distance.
Bytes repeats(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b = mlevel_test::text(2000, seed);
    while (b.size() < n) {
        const size_t len = 20 + rng() % 281;
        const size_t back = len + rng() % std::min<size_t>(b.size() - len, 30000);
        const size_t from = b.size() - back;
        for (size_t i = 0; i < len; ++i) b.push_back(b[from + i]);
        const Bytes fresh = mlevel_test::text(1 + rng() % 40, rng());
        b.insert(b.end(), fresh.begin(), fresh.end());
    }
    b.resize(n);
    return b;
}

// Bytes 0 and 1 at random: literals of about one bit each, against which
// short matches hardly pay.
Bytes bits(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& v : b) v = static_cast<uint8_t>(rng() & 1);
    return b;
}

// Inputs built in code. Two short ones sit at the split thresholds of the
// Zopfli-style compressor (below 1300 bytes mode 5 does not split, below 800
// mode 2), with text and noise that splitting pays for; 750 bytes of noise
// are one block that no code makes much smaller.
Bytes generated(const std::string& name) {
    if (name == "scanlines") return mlevel_test::filtered_scanlines(48000, 1);
    if (name == "text") return mlevel_test::text(30000, 2);
    if (name == "runs") return mlevel_test::runs(40000, 3);
    if (name == "mixed") return zopfli_test::mixed_data(24000);
    if (name == "repeats") return repeats(40000, 6);
    if (name == "bits") return bits(20000, 7);
    if (name == "noise-750") return mlevel_test::random_bytes(750, 8);
    const size_t half = name == "split-800" ? 400 : 650;
    Bytes b = mlevel_test::text(half, 4);
    const Bytes noise = mlevel_test::random_bytes(half, 5);
    b.insert(b.end(), noise.begin(), noise.end());
    return b;  // "split-1300", "split-800"
}

const size_row kGenerated[] = {
    {"scanlines",
     {10995, 10661, 10091, 9719, 9371, 9077, 8802, 8564, 8145, 7495, 7455, 7455, 7455, 7454, 11456, 8871, 7680, 7500},
     {58830, 58794, 58293, 57992, 57900, 57873, 57889, 57776, 57776, 57992, 58117}},
    {"text",
     {7591, 7447, 7100, 6741, 6428, 6516, 6274, 6039, 5777, 5575, 5546, 5546, 5546, 5509, 16636, 6500, 5574, 5575},
     {44346, 44334, 44125, 43931, 43850, 43841, 43490, 43244, 43244, 43931, 43629}},
    {"runs",
     {923, 923, 935, 951, 982, 736, 749, 776, 721, 720, 720, 715, 714, 711, 11163, 721, 721, 721},
     {5490, 5483, 5448, 5448, 5448, 5448, 5448, 5448, 5448, 5448, 5448}},
    {"mixed",
     {11179, 11099, 10962, 10846, 10736, 10759, 10699, 10657, 10455, 10417, 10409, 10409, 10409, 10409, 16802, 10624, 10416, 10417},
     {76781, 76733, 76502, 76398, 76304, 76290, 76284, 76230, 76196, 76398, 76411}},
    {"repeats",
     {5934, 5551, 4467, 4053, 3491, 3355, 2926, 2569, 2819, 2569, 2557, 2434, 2349, 2321, 22244, 3097, 2727, 2677},
     {18284, 18271, 18207, 18156, 18135, 18142, 18135, 18097, 18097, 18156, 18177}},
    {"bits",
     {3776, 3732, 3544, 3405, 3295, 3349, 3308, 3236, 3072, 3054, 2965, 2965, 2965, 2962, 3758, 3478, 3061, 3054},
     {23780, 23760, 23566, 23552, 23532, 23525, 23510, 23416, 23412, 23552, 23539}},
    {"noise-750",
     {755, 755, 755, 755, 755, 755, 755, 755, 755, 755, 755, 755, 755, 755, 755, 755, 755, 755},
     {6226, 6224, 6224, 6224, 6224, 6224, 6224, 6224, 6224, 6224, 6224}},
    {"split-800",
     {626, 619, 619, 618, 618, 618, 618, 618, 617, 617, 617, 617, 617, 617, 767, 617, 617, 617},
     {4724, 4922, 4922, 4922, 4922, 4922, 4922, 4898, 4898, 4922, 4922}},
    {"split-1300",
     {985, 975, 967, 966, 966, 964, 964, 964, 963, 963, 963, 963, 963, 963, 1201, 964, 963, 963},
     {7241, 7223, 7223, 7223, 7223, 7206, 7206, 7201, 7192, 7223, 7219}},
};

// Corpus files and how many bytes of their scanlines are compressed.
struct corpus_input {
    const char* name;
    const char* path;
    size_t bytes;
};
constexpr corpus_input kCorpusInputs[] = {
    {"kodim23", "png/kodak/kodim23.png", 64000},
    {"drawing", "png/large/drawing-1625x1625-palette.png", 200000},
    {"screenshot", "png/screenshot/lorem-ipsum-firefox-screenshot.png", 64000},
    {"gradient", "png/grey/radial-gradients-512.png", 64000},
};

const size_row kCorpus[] = {
    {"kodim23",
     {26932, 26723, 26375, 26093, 26000, 25683, 25616, 25499, 24143, 24073, 23921, 23921, 23921, 23883, 24364, 24225, 24074, 24073},
     {191208, 191125, 190548, 190157, 189751, 189552, 189215, 188707, 188513, 190157, 191636}},
    {"drawing",
     {673, 666, 666, 667, 667, 661, 661, 661, 651, 638, 638, 619, 563, 542, 25092, 653, 646, 636},
     {3792, 3792, 3779, 3760, 3760, 3760, 3763, 3602, 3602, 3760, 3758}},
    {"screenshot",
     {3472, 3387, 3260, 3225, 3199, 3147, 3123, 3125, 3112, 3026, 3022, 2992, 2979, 2962, 13068, 3161, 3081, 3051},
     {23240, 23109, 23074, 23053, 23029, 23036, 22920, 22812, 22722, 23053, 23033}},
    {"gradient",
     {43892, 43740, 43649, 43617, 43586, 43409, 43401, 43397, 42900, 42891, 42884, 42884, 42884, 42884, 50750, 42917, 42890, 42890},
     {324110, 323877, 323472, 323206, 323068, 322997, 322882, 322654, 322641, 323206, 322984}},
};

}  // namespace

TEST(CompressorSizes, GeneratedInputs) {
    for (const size_row& row : kGenerated) {
        SCOPED_TRACE(row.input);
        check_row(row, generated(row.input));
    }
}

TEST(CompressorSizes, CorpusScanlines) {
    const char* corpus = std::getenv("VELTO_CORPUS");
    if (!corpus || !std::filesystem::is_directory(corpus))
        GTEST_SKIP() << "the shared corpus is not there (VELTO_CORPUS)";
    for (size_t i = 0; i < sizeof kCorpus / sizeof kCorpus[0]; ++i) {
        const corpus_input& c = kCorpusInputs[i];
        SCOPED_TRACE(c.name);
        const Bytes in = ztest::corpus_scanlines(c.path, c.bytes);
        if (in.size() != c.bytes) GTEST_SKIP() << c.path << " is missing from the corpus or too short";
        check_row(kCorpus[i], in);
    }
}
