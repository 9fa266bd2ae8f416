// Store, histogram, entropy-cost, match-finder and lazy-matcher tests of the
// Zopfli-style compressor.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "core/deflate/zopfli_lz77.h"
#include "core/deflate/zopfli_symbols.h"
#include "tests/deflate/zopfli_test_util.h"

using namespace zopfli;
using namespace zopfli_test;

TEST(ZopfliSymbols, LengthAndDistanceCodesFollowRfc1951) {
    for (int len = 3; len <= 258; ++len) {
        int sym = length_symbol(len);
        ASSERT_GE(sym, 257);
        ASSERT_LE(sym, 285);
        EXPECT_EQ(length_symbol_base(sym) + length_extra_value(len), len);
        EXPECT_LT(length_extra_value(len), 1 << length_extra_bits(len));
        EXPECT_EQ(length_extra_bits(len), length_symbol_extra_bits(sym));
    }
    EXPECT_EQ(length_symbol(258), 285);
    EXPECT_EQ(length_extra_bits(258), 0);
    EXPECT_EQ(length_symbol(257), 284);
    const int dist_base[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                               193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
    for (int d = 1; d <= 32768; ++d) {
        int sym = dist_symbol(d);
        ASSERT_GE(sym, 0);
        ASSERT_LE(sym, 29);
        EXPECT_EQ(dist_base[sym] + dist_extra_value(d), d);
        EXPECT_EQ(dist_extra_bits(d), dist_symbol_extra_bits(sym));
        EXPECT_LT(dist_extra_value(d), 1 << dist_extra_bits(d));
    }
}

TEST(ZopfliStore, PackedMatchesKeepTheirLength) {
    EXPECT_EQ(pack_match_litlen(258), 285 + (58 << 9));
    for (int len = 3; len <= 258; ++len) {
        uint16_t v = pack_match_litlen(len);
        EXPECT_EQ(v & 0x1FF, length_symbol(len));
        EXPECT_EQ(packed_match_length(v), len);
    }
}

TEST(ZopfliStore, FromPathCopyAndHistogram) {
    // Path last symbol first: literal 'a', match (10, 1), literal 'b' reversed.
    const uint32_t path[3] = {(uint32_t('b') << 24) | 1, (1u << 9) | 10, (uint32_t('a') << 24) | 1};
    lz77_store s;
    lz77_store_init(&s);
    lz77_store_from_path(path, 3, &s);
    ASSERT_EQ(s.size, 3u);
    EXPECT_EQ(s.litlens[0], 'a');
    EXPECT_EQ(s.dists[0], 0);
    EXPECT_EQ(s.litlens[1], 10);
    EXPECT_EQ(s.dists[1], 1);
    EXPECT_EQ(s.litlens[2], 'b');

    lz77_store copy;
    lz77_store_init(&copy);
    lz77_store_copy(&s, &copy);
    ASSERT_EQ(copy.size, 3u);
    EXPECT_EQ(0, std::memcmp(copy.litlens, s.litlens, 6));

    uint64_t ll[288], d[32];
    lz77_histogram(&copy, 0, copy.size, ll, d, false);
    EXPECT_EQ(ll['a'], 1u);
    EXPECT_EQ(ll['b'], 1u);
    EXPECT_EQ(ll[length_symbol(10)], 1u);
    EXPECT_EQ(ll[256], 1u);
    EXPECT_EQ(d[0], 1u);
    lz77_store_free(&s);
    lz77_store_free(&copy);
}

TEST(ZopfliStats, LiteralOnlyStore) {
    lz77_store s;
    lz77_store_init(&s);
    const char* text = "hello, hello";
    for (const char* c = text; *c; ++c) lz77_store_append_packed(&s, static_cast<uint8_t>(*c), 0);
    symbol_stats st;
    stats_from_store(&s, &st);
    EXPECT_EQ(st.litlen_counts['l'], 4u);
    EXPECT_EQ(st.litlen_counts[256], 1u);
    for (int i = 0; i < 32; ++i) {
        EXPECT_EQ(st.dist_counts[i], 0u);
        EXPECT_FLOAT_EQ(st.dist_costs[i], static_cast<float>(std::log(32.0)));
    }
    // total 13: 'l' costs log2(13) - log2(4), an unused symbol log2(13).
    EXPECT_FLOAT_EQ(st.litlen_costs['l'], static_cast<float>(std::log2(13.0)) - std::log2(4.0f));
    EXPECT_FLOAT_EQ(st.litlen_costs['z'], static_cast<float>(std::log2(13.0)));
    lz77_store_free(&s);
}

TEST(ZopfliStats, EntropyCostsCapsUnusedDistancesAndClampsAtZero) {
    uint64_t counts[32] = {0};
    counts[0] = 5000;
    float costs[32];
    entropy_costs(counts, 32, costs);
    EXPECT_FLOAT_EQ(costs[0], 0.0f);
    EXPECT_FLOAT_EQ(costs[5], 10.0f);  // log2(5000) > 10, capped for the distance table
    uint64_t ll[288] = {0};
    ll[0] = 5000;
    ll[1] = 1;
    float llc[288];
    entropy_costs(ll, 288, llc);
    EXPECT_FLOAT_EQ(llc[7], static_cast<float>(std::log2(5001.0)));  // no cap for 288 symbols
}

namespace {

int brute_longest(const std::vector<unsigned char>& in, size_t pos, size_t end) {
    int maxlen = static_cast<int>(std::min<size_t>(258, end - pos));
    int best = 0;
    for (size_t d = 1; d <= 32767 && d <= pos; ++d) {
        int l = 0;
        while (l < maxlen && in[pos - d + l] == in[pos + l]) ++l;
        best = std::max(best, l);
    }
    return best < 3 ? 0 : best;
}

}  // namespace

TEST(ZopfliMatchFinder, ReportsValidIncreasingMatchesUpToTheLongest) {
    std::vector<unsigned char> in = text_data(3000);
    auto s = scanline_data(10, 100, 2);
    in.insert(in.end(), s.begin(), s.end());
    match_finder mf;
    match_finder_init(&mf, in.data(), in.data() + in.size());
    uint16_t list[kMaxMatchList];
    for (size_t pos = 0; pos < in.size(); ++pos) {
        ASSERT_EQ(mf.pos, in.data() + pos);
        int n = find_matches(&mf, list);
        if (in.size() - pos < 3) {
            EXPECT_EQ(n, 0) << "nothing in the last two bytes";
            break;
        }
        int previous = 2;
        for (int k = 0; k < n; k += 2) {
            int len = list[k], dist = list[k + 1];
            ASSERT_GT(len, previous);
            ASSERT_GE(static_cast<size_t>(dist), 1u);
            ASSERT_LE(static_cast<size_t>(dist), pos);
            for (int i = 0; i < len; ++i) ASSERT_EQ(in[pos - dist + i], in[pos + i]);
            previous = len;
        }
        EXPECT_EQ(n ? list[n - 2] : 0, brute_longest(in, pos, in.size())) << "at " << pos;
    }
    match_finder_free(&mf);
}

TEST(ZopfliMatchFinder, RunFindReportsTheRunFirst) {
    std::vector<unsigned char> in(20, 'q');
    in.insert(in.end(), 300, 'r');
    match_finder mf;
    match_finder_init(&mf, in.data(), in.data() + in.size());
    skip_positions(&mf, 22);
    uint16_t list[kMaxMatchList];
    int n = find_matches_run(&mf, list);
    ASSERT_GE(n, 2);
    EXPECT_EQ(list[0], 258);  // 298 bytes of 'r' left, capped at 258
    EXPECT_EQ(list[1], 1);
    // A fresh finder has empty buckets: no match at the first position.
    match_finder fresh;
    match_finder_init(&fresh, in.data() + 20, in.data() + in.size());
    EXPECT_EQ(find_matches(&fresh, list), 0);
    match_finder_free(&fresh);
    // Snapshots own their tables.
    match_finder copy;
    match_finder_snapshot(&mf, &copy);
    EXPECT_NE(copy.heads, mf.heads);
    EXPECT_EQ(copy.pos, mf.pos);
    EXPECT_EQ(0, std::memcmp(copy.heads, mf.heads, 393216));
    match_finder_free(&copy);
    match_finder_free(&mf);
}

TEST(ZopfliMatchFinder, KnownDistanceFindEqualsTheGeneralFind) {
    // Noise repeated at distance 3000 (and between), then text: after the
    // first copy every position has a full-length match at a known distance.
    std::vector<unsigned char> block = noise_data(3000, 11);
    std::vector<unsigned char> in;
    for (int i = 0; i < 4; ++i) in.insert(in.end(), block.begin(), block.end());
    in[7000] ^= 0x55;  // one break in the repetition
    auto t = text_data(2000);
    in.insert(in.end(), t.begin(), t.end());

    match_finder known, general;
    match_finder_init(&known, in.data(), in.data() + in.size());
    match_finder_init(&general, in.data(), in.data() + in.size());
    uint16_t a[kMaxMatchList], b[kMaxMatchList];
    uint32_t last_len = 0, last_dist = 0;
    int known_calls = 0;
    for (size_t pos = 0; pos < in.size(); ++pos) {
        const bool use_known = last_len == 258 && pos + 257 < in.size() && in[pos + 257] == in[pos + 257 - last_dist];
        int na = use_known ? find_matches_known_distance(&known, a, last_dist) : find_matches(&known, a);
        int nb = find_matches(&general, b);
        known_calls += use_known;
        ASSERT_EQ(na, nb) << "at " << pos;
        ASSERT_EQ(0, std::memcmp(a, b, na * sizeof(uint16_t))) << "at " << pos;
        last_len = na ? a[na - 2] : 0;
        last_dist = na ? a[na - 1] : 0;
    }
    EXPECT_GT(known_calls, 5000);
    EXPECT_EQ(0, std::memcmp(known.heads, general.heads, 393216)) << "same tree after the walks";
    match_finder_free(&known);
    match_finder_free(&general);
}

TEST(ZopfliMatchFinder, KnownDistanceIsTakenWithoutComparing) {
    // The copy at distance 400 differs after 100 bytes: the general find
    // reports 100, the known-distance find takes (258, 400) on trust.
    std::vector<unsigned char> in = noise_data(400, 5);
    in.insert(in.end(), in.begin(), in.end());
    auto tail = noise_data(400, 6);
    in.insert(in.end(), tail.begin(), tail.end());
    in[500] ^= 1;
    match_finder mf;
    match_finder_init(&mf, in.data(), in.data() + in.size());
    skip_positions(&mf, 400);
    match_finder probe;
    match_finder_snapshot(&mf, &probe);
    uint16_t list[kMaxMatchList];
    int n = find_matches(&probe, list);
    ASSERT_EQ(n, 2);
    EXPECT_EQ(list[0], 100);
    n = find_matches_known_distance(&mf, list, 400);
    ASSERT_EQ(n, 2);
    EXPECT_EQ(list[0], 258);
    EXPECT_EQ(list[1], 400);
    match_finder_free(&probe);
    match_finder_free(&mf);
}

namespace {

// Expands a packed store back into bytes.
std::vector<unsigned char> expand_packed(const lz77_store& s, const std::vector<unsigned char>& in) {
    std::vector<unsigned char> out;
    for (uint64_t i = 0; i < s.size; ++i) {
        if (s.packed_dists[i] == 0) {
            out.push_back(static_cast<unsigned char>(s.litlens[i]));
        } else {
            // The packed form drops the distance's extra bits: copy from the input.
            int len = packed_match_length(s.litlens[i]);
            size_t pos = out.size();
            for (int k = 0; k < len; ++k) out.push_back(in[pos + k]);
        }
    }
    return out;
}

}  // namespace

TEST(ZopfliLazy, LongRunIsALiteralThen258MatchesAndATail) {
    std::vector<unsigned char> in(10000, 7);
    Zopflioptions o = options(5, 1);
    lz77_store s;
    lz77_store_init(&s);
    zopfli_lz77_lazy(&o, in.data(), 0, in.size(), &s);
    ASSERT_GE(s.size, 3u);
    EXPECT_EQ(s.packed_dists[0], 0);
    for (uint64_t i = 1; i + 1 < s.size; ++i) {
        EXPECT_EQ(packed_match_length(s.litlens[i]), 258);
        EXPECT_EQ(s.packed_dists[i], 1);  // distance symbol 0
    }
    EXPECT_LT(packed_match_length(s.litlens[s.size - 1]), 258);
    EXPECT_EQ(s.size, 2u + 9999 / 258);
    EXPECT_EQ(expand_packed(s, in), in);
    lz77_store_free(&s);
}

TEST(ZopfliLazy, CoversTheRangeForVariedInputs) {
    Zopflioptions plain = options(5, 1);
    Zopflioptions stop50 = options(3, 1);
    std::vector<unsigned char> inputs[] = {text_data(40000), noise_data(5000, 3), scanline_data(80, 300, 1),
                                           mixed_data(50000)};
    for (const auto& in : inputs) {
        for (const Zopflioptions* o : {&plain, &stop50}) {
            // The whole input, and a range after 32 KiB of history.
            for (uint64_t start : {uint64_t(0), std::min<uint64_t>(in.size() / 2, 33000)}) {
                lz77_store s;
                lz77_store_init(&s);
                zopfli_lz77_lazy(o, in.data(), start, in.size(), &s);
                std::vector<unsigned char> part(in.begin() + start, in.end());
                std::vector<unsigned char> shifted_in(in.begin() + start, in.end());
                EXPECT_EQ(expand_packed(s, shifted_in), part);
                lz77_store_free(&s);
            }
        }
    }
}
