// Byte-for-byte comparison with the packaged zlib where this deflate's level
// table and parsing agree with stock zlib's:
// - levels 2 to 7 and 9 have stock zlib's parameters (levels 0 and 1 are lazy
//   levels of their own here and level 8 searches deeper, so they differ);
// - strategies 0 and 1 only (stock zlib runs 2 and 3 through routines of its
//   own and forces fixed blocks with 4);
// - stock zlib's lazy levels drop three-byte matches farther than 4096 bytes,
//   this deflate keeps them, so with strategy 0 the lazy levels are compared
//   with windows of at most 4096 bytes, where no match can be that far; with
//   strategy 1 both drop every match of up to 5 bytes, so every window
//   compares; the fast levels (2 and 3) have no such rule either;
// - stock zlib refuses raw streams with window bits 8, so windows start at 9.
#include "tests/deflate/zlib_test_util.h"

#include <gtest/gtest.h>

using namespace ztest;

namespace {

void expect_same_as_stock(const params& p, const bytes& data, const char* what) {
    bool ok = false;
    const bytes ours = zcompress(p, data, ok);
    ASSERT_TRUE(ok);
    const bytes stock = stock_compress(p, data);
    ASSERT_FALSE(stock.empty());
    EXPECT_TRUE(ours == stock) << what << " " << describe(p) << " sizes " << ours.size() << " / " << stock.size();
}

TEST(ZlibOracle, FastLevelsMatchStockZlibForEveryWindow) {
    for (data_kind kind : all_kinds) {
        // 70 KB: the 32 KB window slides too.
        const bytes data = make_data(kind, 70000, 41);
        for (int level : {2, 3})
            for (int wbits = 9; wbits <= 15; ++wbits)
                for (int mem : {1, 8, 9}) {
                    int strategy = (wbits + mem) % 2;
                    int sign = (wbits + mem + level) % 3 == 0 ? 1 : -1;
                    expect_same_as_stock({level, sign * wbits, mem, strategy}, data, kind_name(kind));
                }
    }
}

TEST(ZlibOracle, LazyLevelsMatchStockZlibWithSmallWindows) {
    for (data_kind kind : all_kinds) {
        const bytes data = make_data(kind, 30000, 43);
        for (int level : {4, 5, 6, 7, 9})
            for (int strategy : {0, 1})
                for (int wbits = 9; wbits <= 12; ++wbits) {
                    int mem = 1 + (level * 3 + wbits * 5 + strategy) % 9;
                    int sign = (level + wbits) % 2 ? 1 : -1;
                    expect_same_as_stock({level, sign * wbits, mem, strategy}, data, kind_name(kind));
                }
    }
}

TEST(ZlibOracle, FilteredLazyLevelsMatchStockZlibForLargeWindows) {
    for (data_kind kind : all_kinds) {
        const bytes data = make_data(kind, 70000, 47);
        for (int level : {4, 6, 9})
            for (int wbits = 13; wbits <= 15; ++wbits) {
                int sign = (level + wbits) % 2 ? 1 : -1;
                expect_same_as_stock({level, sign * wbits, 8 + (level == 9), Z_FILTERED}, data, kind_name(kind));
            }
    }
}

}  // namespace
