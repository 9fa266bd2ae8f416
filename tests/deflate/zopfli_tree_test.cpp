// Code-length, smoothing and tree-header tests of the Zopfli-style compressor.
#include <gtest/gtest.h>

#include <queue>
#include <vector>

#include "core/deflate/zopfli_tree.h"

using namespace zopfli;

namespace {

uint64_t kraft_numerator(const uint32_t* lengths, int n, int maxbits) {
    uint64_t sum = 0;
    for (int i = 0; i < n; ++i) {
        if (lengths[i]) sum += 1ull << (maxbits - lengths[i]);
    }
    return sum;
}

uint64_t huffman_cost(const std::vector<uint64_t>& counts) {
    std::priority_queue<uint64_t, std::vector<uint64_t>, std::greater<uint64_t>> q;
    for (uint64_t c : counts) {
        if (c) q.push(c);
    }
    if (q.size() < 2) return q.empty() ? 0 : q.top();
    uint64_t cost = 0;
    while (q.size() > 1) {
        uint64_t a = q.top();
        q.pop();
        uint64_t b = q.top();
        q.pop();
        cost += a + b;
        q.push(a + b);
    }
    return cost;
}

}  // namespace

TEST(ZopfliCodeLengths, OneAndTwoSymbols) {
    uint64_t counts[19] = {0};
    uint32_t lengths[19];
    counts[7] = 40;
    zopfli_length_limited_lengths(counts, 19, 7, lengths);
    for (int i = 0; i < 19; ++i) EXPECT_EQ(lengths[i], i == 7 ? 1u : 0u);
    counts[3] = 1;
    zopfli_length_limited_lengths(counts, 19, 7, lengths);
    EXPECT_EQ(lengths[3], 1u);
    EXPECT_EQ(lengths[7], 1u);
}

TEST(ZopfliCodeLengths, OptimalWhenUnconstrainedAndCompleteWhenLimited) {
    // Fibonacci counts need 20 bits unconstrained.
    std::vector<uint64_t> counts(288, 0);
    uint64_t a = 1, b = 1;
    for (int i = 0; i < 22; ++i) {
        counts[i * 7] = a;
        uint64_t c = a + b;
        a = b;
        b = c;
    }
    for (int maxbits : {15, 9, 5}) {
        uint32_t lengths[288];
        zopfli_length_limited_lengths(counts.data(), 288, maxbits, lengths);
        uint32_t longest = 0;
        for (int i = 0; i < 288; ++i) {
            EXPECT_EQ(lengths[i] != 0, counts[i] != 0);
            longest = std::max(longest, lengths[i]);
        }
        EXPECT_LE(longest, static_cast<uint32_t>(maxbits));
        EXPECT_EQ(kraft_numerator(lengths, 288, 15), 1ull << 15) << "complete code";
    }
    // Counts whose Huffman code fits in 15 bits get the optimal total.
    std::vector<uint64_t> text_counts = {50, 3, 0, 9, 14, 1, 1, 0, 27, 6, 6, 2, 90, 4, 0, 8, 1, 33, 12};
    uint32_t lengths[19];
    zopfli_length_limited_lengths(text_counts.data(), 19, 15, lengths);
    uint64_t total = 0;
    for (int i = 0; i < 19; ++i) total += text_counts[i] * lengths[i];
    EXPECT_EQ(total, huffman_cost(text_counts));
}

TEST(ZopfliCodeLengths, CanonicalCodesOfRfc1951Example) {
    const uint32_t lengths[8] = {3, 3, 3, 3, 3, 2, 4, 4};
    uint32_t codes[8];
    canonical_codes(lengths, 8, 7, codes);
    const uint32_t expected[8] = {2, 3, 4, 5, 6, 0, 14, 15};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(codes[i], expected[i]);
}

TEST(ZopfliSmoothing, KeepsTrailingZerosAndUsedSymbols) {
    // Style B would average the stride {1, 0, 0, 0} to 0; no style may drop a used symbol.
    uint64_t b[32] = {1, 0, 0, 0, 9, 30};
    smooth_style_b(b, 32);
    EXPECT_GE(b[0], 1u);
    for (int i = 6; i < 32; ++i) EXPECT_EQ(b[i], 0u);

    uint32_t r = 7;
    for (int round = 0; round < 300; ++round) {
        uint64_t counts[288] = {0};
        int used = 5 + round % 200;
        for (int i = 0; i < used; ++i) {
            r = r * 1103515245u + 12345u;
            counts[i] = ((r >> 16) % 4 == 0) ? (r >> 20) % 3 : (r >> 18) % (1 + round);
        }
        for (int style = 0; style < 2; ++style) {
            uint64_t c[288];
            std::copy(counts, counts + 288, c);
            if (style == 0) smooth_style_a(c, 288);
            else smooth_style_b(c, 288);
            for (int i = 0; i < 288; ++i) {
                if (counts[i]) {
                    EXPECT_GT(c[i], 0u) << "style " << style << " symbol " << i;
                }
                if (i >= used) {
                    EXPECT_EQ(c[i], 0u);
                }
            }
        }
    }
}

TEST(ZopfliSmoothing, StyleAEvensOutANoisyStretch) {
    uint64_t c[32] = {10, 11, 9, 10, 12, 10, 9, 11};
    smooth_style_a(c, 32);
    for (int i = 1; i < 8; ++i) EXPECT_EQ(c[i], c[0]);
}

namespace {

std::vector<tree_symbol> symbols_for(const std::vector<uint32_t>& litlen_tail, int variant) {
    // Litlen lengths: 0..255 all 8, 256 = 8, then the given lengths from 257.
    uint32_t ll[288] = {0};
    for (int i = 0; i <= 256; ++i) ll[i] = 8;
    for (size_t i = 0; i < litlen_tail.size(); ++i) ll[257 + i] = litlen_tail[i];
    uint32_t d[32] = {0};
    d[0] = d[1] = 1;
    tree_symbol syms[316];
    int hlit, hdist;
    int n = tree_symbols(ll, d, variant, syms, &hlit, &hdist);
    return std::vector<tree_symbol>(syms, syms + n);
}

}  // namespace

TEST(ZopfliTreeHeader, RunLengthSymbols) {
    // Nine equal lengths with code 16 and the eight-split: the value, then
    // two codes 16 of 4.
    {
        uint32_t ll[288] = {0};
        for (int i = 0; i < 9; ++i) ll[i] = 5;
        ll[256] = 3;
        uint32_t d[32] = {0};
        d[0] = d[1] = 1;
        tree_symbol syms[316];
        int hlit, hdist;
        int n = tree_symbols(ll, d, kUse16 | kSplit8, syms, &hlit, &hdist);
        ASSERT_GE(n, 3);
        EXPECT_EQ(syms[0].symbol, 5);
        EXPECT_EQ(syms[1].symbol, 16);
        EXPECT_EQ(syms[1].extra, 1);
        EXPECT_EQ(syms[2].symbol, 16);
        EXPECT_EQ(syms[2].extra, 1);
        EXPECT_EQ(syms[3].symbol, 0);
        EXPECT_EQ(hlit, 257);
        EXPECT_EQ(hdist, 2);
        // Without the split: 5, 16 (6), 5, 5.
        n = tree_symbols(ll, d, kUse16, syms, &hlit, &hdist);
        EXPECT_EQ(syms[1].symbol, 16);
        EXPECT_EQ(syms[1].extra, 3);
        EXPECT_EQ(syms[2].symbol, 5);
        EXPECT_EQ(syms[3].symbol, 5);
    }
    {
        // A zero run of 139 (lengths 100..238) with codes 17 and 18: one 18
        // of 138 and one single zero.
        uint32_t ll[288] = {0};
        for (int i = 0; i < 100; ++i) ll[i] = 8;
        for (int i = 239; i <= 256; ++i) ll[i] = 8;
        uint32_t d[32] = {0};
        d[0] = d[1] = 1;
        tree_symbol syms[316];
        int hlit, hdist;
        int n = tree_symbols(ll, d, kUse17 | kUse18, syms, &hlit, &hdist);
        ASSERT_GT(n, 102);
        EXPECT_EQ(syms[100].symbol, 18);
        EXPECT_EQ(syms[100].extra, 138 - 11);
        EXPECT_EQ(syms[101].symbol, 0);
        EXPECT_EQ(syms[102].symbol, 8);
    }
    // Plain variant 0 sends every value itself.
    auto plain = symbols_for({}, 0);
    EXPECT_EQ(plain.size(), 257u + 2u);
}

TEST(ZopfliTreeHeader, DistancePatch) {
    struct row {
        std::vector<int> used;
        std::vector<int> expect_nonzero;
    };
    const row rows[] = {{{}, {0, 1}}, {{5}, {0, 5}}, {{0}, {0, 1}}, {{3, 9}, {3, 9}}};
    for (const row& r : rows) {
        uint32_t d[32] = {0};
        for (int u : r.used) d[u] = 4;
        patch_distance_lengths(d);
        int nonzero = 0;
        for (int i = 0; i < 32; ++i) nonzero += d[i] != 0;
        EXPECT_EQ(nonzero, static_cast<int>(r.expect_nonzero.size()));
        for (int e : r.expect_nonzero) EXPECT_NE(d[e], 0u);
    }
}

TEST(ZopfliTreeHeader, SearchModesTryTheirVariants) {
    uint32_t ll[288] = {0};
    for (int i = 0; i < 256; ++i) ll[i] = (i % 40 == 0) ? 6 : 9;
    ll[256] = 9;
    ll[257] = 7;
    uint32_t d[32] = {0};
    int v0, v1, v2;
    uint64_t b0 = tree_size_search(ll, d, 0, &v0);
    uint64_t b1 = tree_size_search(ll, d, 1, &v1);
    uint64_t b2 = tree_size_search(ll, d, 2, &v2);
    EXPECT_EQ(v0, 7);
    EXPECT_EQ(b0, tree_bits(ll, d, 7));
    EXPECT_LE(b1, b0);
    EXPECT_LE(b2, b1);
    EXPECT_EQ(b2, tree_bits(ll, d, v2));
    EXPECT_NE(d[0], 0u);  // patched
    EXPECT_NE(d[1], 0u);
}
