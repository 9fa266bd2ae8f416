// Block coder: Huffman trees of skewed and degenerate frequency sets, and the
// exact sizes of the blocks it chooses.
#include "core/deflate/zlib_state.h"
#include "core/deflate/zlib_trees.h"
#include "tests/deflate/zlib_test_util.h"

#include <gtest/gtest.h>

using namespace ztest;
using namespace zdeflate;

namespace {

struct stream_guard {
    z_stream s{};
    explicit stream_guard(int level = 6) {
        EXPECT_EQ(deflate_init2(&s, level, Z_DEFLATED, -15, 8, 0, deflate_version, sizeof(z_stream)), Z_OK);
    }
    ~stream_guard() { deflate_end(&s); }
    deflate_state* st() { return state_of(&s); }
};

// Kraft sum of the code lengths 0..max_symbol, scaled by 2^15.
std::uint64_t kraft(const tree_node* tree, int max_symbol, int& longest) {
    std::uint64_t sum = 0;
    longest = 0;
    for (int n = 0; n <= max_symbol; ++n)
        if (tree[n].dl) {
            sum += 1ull << (15 - tree[n].dl);
            longest = std::max<int>(longest, tree[n].dl);
        }
    return sum;
}

TEST(ZlibTrees, SkewedFrequenciesAreLengthLimited) {
    // Fibonacci frequencies (21 symbols, 28,656 in all, below the 16-bit node
    // counts as any real block is) would need codes of 20 bits unlimited.
    stream_guard g;
    deflate_state* s = g.st();
    for (auto& node : s->litlen_tree) node.fc = 0;
    std::uint32_t a = 1, b = 1;
    for (int n = 0; n < 21; ++n) {
        s->litlen_tree[n * 11].fc = static_cast<std::uint16_t>(a);
        std::uint32_t c = a + b;
        a = b;
        b = c;
    }
    s->dynamic_bits = s->fixed_bits = 0;
    build_huffman_tree(s, &s->litlen_desc);
    int longest = 0;
    EXPECT_EQ(kraft(s->litlen_tree, s->litlen_desc.max_symbol, longest), 1ull << 15);
    EXPECT_EQ(longest, 15);
    // dynamic_bits is the block's cost with the final lengths.
    std::uint64_t cost = 0;
    for (int n = 0; n < 21; ++n) {
        int sym = n * 11;
        cost += std::uint64_t(s->litlen_tree[sym].dl) * [&] {
            std::uint32_t x = 1, y = 1;
            for (int k = 0; k < n; ++k) {
                std::uint32_t z = x + y;
                x = y;
                y = z;
            }
            return x;
        }();
    }
    EXPECT_EQ(s->dynamic_bits, cost);

    // Code-length alphabet: at most 7 bits.
    for (auto& node : s->codelen_tree) node.fc = 0;
    a = 1, b = 1;
    for (int n = 0; n < 19; ++n) {
        s->codelen_tree[n].fc = static_cast<std::uint16_t>(a);
        std::uint32_t c = a + b;
        a = b;
        b = c;
    }
    build_huffman_tree(s, &s->codelen_desc);
    int cl_longest = 0;
    std::uint64_t sum = 0;
    for (int n = 0; n < 19; ++n) {
        sum += 1ull << (7 - s->codelen_tree[n].dl);
        cl_longest = std::max<int>(cl_longest, s->codelen_tree[n].dl);
    }
    EXPECT_EQ(sum, 1ull << 7);
    EXPECT_EQ(cl_longest, 7);
}

TEST(ZlibTrees, EndOfBlockAloneGetsTwoCodesPerTree) {
    stream_guard g;
    deflate_state* s = g.st();  // a fresh block: only end-of-block counted
    build_huffman_tree(s, &s->litlen_desc);
    build_huffman_tree(s, &s->dist_desc);
    EXPECT_EQ(s->litlen_desc.max_symbol, 256);
    EXPECT_EQ(s->litlen_tree[0].dl, 1);
    EXPECT_EQ(s->litlen_tree[256].dl, 1);
    EXPECT_EQ(s->dist_desc.max_symbol, 1);
    EXPECT_EQ(s->dist_tree[0].dl, 1);
    EXPECT_EQ(s->dist_tree[1].dl, 1);
    EXPECT_EQ(s->fixed_bits, 7u);  // end-of-block's fixed code
}

TEST(ZlibTrees, MeasuredStoredBlockAfterCarriedBits) {
    // A compressible first block leaves bits carried in measuring mode; an
    // incompressible second block is then stored. The measured total must
    // equal the written bytes at every cut.
    bytes data = make_data(data_kind::runs, 3000, 1);
    const bytes noise = make_data(data_kind::random, 3000, 2);
    data.insert(data.end(), noise.begin(), noise.end());
    for (std::size_t cut : {std::size_t(3000), std::size_t(2999), std::size_t(1234)}) {
        params p{6, -15, 8, 0};
        bool ok = false;
        bytes z = zcompress(p, data, ok, cut, 0, Z_BLOCK);
        ASSERT_TRUE(ok);
        EXPECT_EQ(zmeasure(p, data, cut, Z_BLOCK), static_cast<long>(z.size())) << cut;
    }
}

TEST(ZlibTrees, LongZeroRunsInCodeLengthLists) {
    // Literals from both ends of the byte range only: the literal/length list
    // has a zero run of 200 (codes 18 then 17 or plain lengths).
    for (int gap : {3, 10, 11, 138, 139, 149, 200}) {
        bytes data;
        std::mt19937 rng(gap);
        for (int i = 0; i < 5000; ++i)
            data.push_back(static_cast<std::uint8_t>(rng() % 2 ? rng() % 8 : 8 + gap + rng() % 8));
        for (int level : {1, 6}) {
            params p{level, -15, 8, 0};
            bool ok = false;
            bytes z = zcompress(p, data, ok);
            ASSERT_TRUE(ok);
            bool inflated = false;
            EXPECT_EQ(inflate_all(z, -15, inflated), data) << gap;
            EXPECT_TRUE(inflated);
            EXPECT_EQ(zmeasure(p, data), static_cast<long>(z.size()));
        }
    }
}

}  // namespace
