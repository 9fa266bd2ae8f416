// Stream interface of zdeflate: argument checks and their codes, header and
// trailer, level and strategy handling, the bound, tuning and reset, ending.
#include "core/deflate/zlib_state.h"
#include "tests/deflate/zlib_test_util.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace ztest;
using namespace zdeflate;

namespace {

int init(z_stream* s, int level, int wbits, int mem = 8, int strategy = 0) {
    return deflate_init2(s, level, Z_DEFLATED, wbits, mem, strategy, deflate_version, sizeof(z_stream));
}

bytes compress(const params& p, const bytes& data) {
    bool ok = false;
    bytes z = zcompress(p, data, ok);
    EXPECT_TRUE(ok) << describe(p);
    return z;
}

TEST(ZlibStream, InitRefusesBadVersionsAndArguments) {
    z_stream s{};
    EXPECT_EQ(deflate_init2(&s, 6, 8, 15, 8, 0, nullptr, sizeof(z_stream)), Z_VERSION_ERROR);
    EXPECT_EQ(deflate_init2(&s, 6, 8, 15, 8, 0, "2.0", sizeof(z_stream)), Z_VERSION_ERROR);
    EXPECT_EQ(deflate_init2(&s, 6, 8, 15, 8, 0, deflate_version, sizeof(z_stream) - 8), Z_VERSION_ERROR);
    EXPECT_EQ(deflate_init2(nullptr, 6, 8, 15, 8, 0, deflate_version, sizeof(z_stream)), Z_STREAM_ERROR);
    EXPECT_EQ(deflate_init2(&s, 6, 8, 15, 8, 0, ZLIB_VERSION, sizeof(z_stream)), Z_OK);
    EXPECT_EQ(deflate_end(&s), Z_OK);

    struct bad {
        int level, method, wbits, mem, strategy;
    } cases[] = {
        {10, 8, 15, 8, 0}, {-2, 8, 15, 8, 0}, {6, 7, 15, 8, 0}, {6, 8, 7, 8, 0},   {6, 8, 16, 8, 0},
        {6, 8, 31, 8, 0},  {6, 8, -7, 8, 0},  {6, 8, -16, 8, 0}, {6, 8, 15, 0, 0}, {6, 8, 15, 10, 0},
        {6, 8, 15, 8, 5},  {6, 8, 15, 8, -1},
    };
    for (const bad& c : cases) {
        z_stream t{};
        EXPECT_EQ(deflate_init2(&t, c.level, c.method, c.wbits, c.mem, c.strategy, deflate_version, sizeof(z_stream)),
                  Z_STREAM_ERROR)
            << c.level << " " << c.method << " " << c.wbits << " " << c.mem << " " << c.strategy;
        EXPECT_EQ(t.state, nullptr);
    }
}

TEST(ZlibStream, EmptyStreamsAndHeaders) {
    // Raw: one fixed block holding only end-of-block (10 bits).
    EXPECT_EQ(compress({9, -15, 8, 0}, {}), (bytes{0x03, 0x00}));
    EXPECT_EQ(zmeasure({9, -15, 8, 0}, {}), 2);
    // Level 0 stores: an empty stored last block.
    EXPECT_EQ(compress({0, -15, 8, 0}, {}), (bytes{0x01, 0x00, 0x00, 0xFF, 0xFF}));
    // zlib wrapper: header by level, Adler-32 of nothing is 1.
    EXPECT_EQ(compress({9, 15, 8, 0}, {}), (bytes{0x78, 0xDA, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01}));
    struct header_case {
        int level, wbits, strategy;
        std::uint8_t cmf, flg;
    } headers[] = {
        {0, 15, 0, 0x78, 0x01}, {1, 15, 0, 0x78, 0x01}, {2, 15, 0, 0x78, 0x5E}, {5, 15, 0, 0x78, 0x5E},
        {6, 15, 0, 0x78, 0x9C}, {7, 15, 0, 0x78, 0xDA}, {9, 15, 2, 0x78, 0x01}, {9, 15, 4, 0x78, 0x01},
        {9, 15, 1, 0x78, 0xDA}, {6, 9, 0, 0x18, 0x95}, {6, 8, 0, 0x18, 0x95}, {6, 12, 0, 0x48, 0x89},
    };
    for (const header_case& h : headers) {
        bytes z = compress({h.level, h.wbits, 8, h.strategy}, make_data(data_kind::text, 100));
        ASSERT_GE(z.size(), 2u);
        EXPECT_EQ(z[0], h.cmf) << h.level << " " << h.wbits;
        EXPECT_EQ(z[1], h.flg) << h.level << " " << h.wbits;
        EXPECT_EQ((z[0] * 256 + z[1]) % 31, 0);
    }
}

TEST(ZlibStream, WindowBitsEightActsAsNine) {
    const bytes data = make_data(data_kind::text, 20000, 3);
    EXPECT_EQ(compress({6, -8, 8, 0}, data), compress({6, -9, 8, 0}, data));
    EXPECT_EQ(compress({6, 8, 8, 0}, data), compress({6, 9, 8, 0}, data));
    z_stream s{};
    ASSERT_EQ(init(&s, 6, -8), Z_OK);
    EXPECT_EQ(state_of(&s)->window_bits, 9u);
    deflate_end(&s);
}

TEST(ZlibStream, DefaultLevelIsSix) {
    const bytes data = make_data(data_kind::scanlines, 30000, 2);
    EXPECT_EQ(compress({-1, 15, 8, 0}, data), compress({6, 15, 8, 0}, data));
}

TEST(ZlibStream, StrategiesOnlyChangeHeaderFlagsAndTheLazyFilterRule) {
    for (data_kind kind : {data_kind::text, data_kind::scanlines}) {
        const bytes data = make_data(kind, 60000, 4);
        for (int level = 0; level <= 9; ++level) {
            const bytes plain = compress({level, -15, 8, 0}, data);
            for (int strategy : {2, 3, 4}) EXPECT_EQ(compress({level, -15, 8, strategy}, data), plain) << level;
            const bytes filtered = compress({level, -15, 8, 1}, data);
            if (level == 2 || level == 3) {
                EXPECT_EQ(filtered, plain) << level;
            } else if (level != 0) {
                EXPECT_NE(filtered, plain) << level << " " << kind_name(kind);
            }
        }
        EXPECT_EQ(compress({2, 15, 8, 1}, data), compress({2, 15, 8, 0}, data));
    }
}

TEST(ZlibStream, LazyParserKeepsFarThreeByteMatchesUnlessFiltered) {
    // Three-byte pieces of early random data repeated ~28 KB later: the
    // matches are far beyond 4096 bytes and must still be taken.
    std::mt19937 rng(12);
    bytes data(28000);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    for (int i = 0; i < 200; ++i) {
        std::size_t at = (i * 7) % 1000;
        const std::uint8_t piece[3] = {data[at], data[at + 1], data[at + 2]};
        data.insert(data.end(), piece, piece + 3);
        data.push_back(static_cast<std::uint8_t>(rng()));
    }
    for (int i = 0; i < 600; ++i) data.push_back(static_cast<std::uint8_t>(rng()));
    for (int strategy : {0, 1}) {
        z_stream s{};
        ASSERT_EQ(init(&s, 9, -15, 9, strategy), Z_OK);
        std::uint8_t sink = 0;
        s.next_in = data.data();
        s.avail_in = static_cast<uInt>(data.size());
        s.next_out = &sink;
        s.avail_out = 1;
        ASSERT_EQ(deflate_measure(&s, Z_NO_FLUSH), Z_OK);
        const deflate_state* st = state_of(&s);
        ASSERT_LT(st->symbol_count, st->symbol_capacity - 1);  // still one open block
        unsigned far = 0;
        for (int code = 26; code < 30; ++code) far += st->dist_tree[code].fc;  // distances above 8192
        if (strategy == 0) {
            EXPECT_GE(far, 190u);
            EXPECT_GE(st->litlen_tree[257].fc, 190u);  // length 3
        } else {
            EXPECT_EQ(far, 0u);
        }
        deflate_end(&s);
    }
}

TEST(ZlibStream, ResetUndoesTuneAndStartsAfresh) {
    const bytes data = make_data(data_kind::text, 40000, 8);
    const bytes fresh = compress({6, 15, 8, 0}, data);
    auto run = [&](z_stream* s) {
        bytes out(deflate_bound(s, data.size()));
        s->next_in = const_cast<Bytef*>(data.data());
        s->avail_in = static_cast<uInt>(data.size());
        s->next_out = out.data();
        s->avail_out = static_cast<uInt>(out.size());
        EXPECT_EQ(deflate_stream(s, Z_FINISH), Z_STREAM_END);
        out.resize(s->total_out);
        return out;
    };
    z_stream s{};
    ASSERT_EQ(init(&s, 6, 15), Z_OK);
    ASSERT_EQ(deflate_tune(&s, 1, 1, 3, 1), Z_OK);
    const bytes tuned = run(&s);
    EXPECT_NE(tuned, fresh);
    ASSERT_EQ(deflate_reset(&s), Z_OK);
    EXPECT_EQ(s.total_in, 0u);
    EXPECT_EQ(s.total_out, 0u);
    EXPECT_EQ(s.adler, 1u);
    EXPECT_EQ(run(&s), fresh);  // reset restores the level's parameters
    EXPECT_EQ(s.data_type, Z_UNKNOWN);
    EXPECT_EQ(s.adler, adler32(1, data.data(), static_cast<uInt>(data.size())));
    EXPECT_EQ(deflate_end(&s), Z_OK);

    EXPECT_EQ(deflate_tune(nullptr, 1, 1, 1, 1), Z_STREAM_ERROR);
    EXPECT_EQ(deflate_reset(nullptr), Z_STREAM_ERROR);
    z_stream none{};
    EXPECT_EQ(deflate_tune(&none, 1, 1, 1, 1), Z_STREAM_ERROR);
    EXPECT_EQ(deflate_reset(&none), Z_STREAM_ERROR);
}

TEST(ZlibStream, BoundFormulas) {
    const uLong lens[] = {0, 1, 100, 4096, 65535, 1000000, 123456789};
    for (uLong n : lens) {
        const uLong c = n + ((n + 7) >> 3) + ((n + 63) >> 6) + 5;
        const uLong tight = n + (n >> 12) + (n >> 14) + (n >> 25) + 7;
        EXPECT_EQ(deflate_bound(nullptr, n), c + 6);
        struct bound_case {
            int wbits, mem;
            uLong expect;
        } cases[] = {{-15, 8, tight}, {15, 8, tight + 6}, {-14, 8, c}, {15, 9, c + 6}, {-15, 7, c}, {9, 1, c + 6}};
        for (const bound_case& k : cases) {
            z_stream s{};
            ASSERT_EQ(init(&s, 6, k.wbits, k.mem), Z_OK);
            EXPECT_EQ(deflate_bound(&s, n), k.expect) << n << " " << k.wbits << " " << k.mem;
            deflate_end(&s);
        }
    }
    // A zlib stream under way (cur_pos != 0) reserves room for a dictionary id;
    // after its trailer any wrapper value other than 0 and 1 counts 6.
    const bytes data = make_data(data_kind::text, 5000);
    z_stream s{};
    ASSERT_EQ(init(&s, 6, 15), Z_OK);
    bytes out(8000);
    s.next_in = const_cast<Bytef*>(data.data());
    s.avail_in = 4000;
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    ASSERT_EQ(deflate_stream(&s, Z_NO_FLUSH), Z_OK);
    EXPECT_EQ(deflate_bound(&s, 100), 107 + 10u);
    s.avail_in = 1000;
    ASSERT_EQ(deflate_stream(&s, Z_FINISH), Z_STREAM_END);
    EXPECT_EQ(deflate_bound(&s, 100), 107 + 6u);
    deflate_end(&s);
}

TEST(ZlibStream, DriverArgumentChecksAndBufferErrors) {
    z_stream s{};
    ASSERT_EQ(init(&s, 6, -15), Z_OK);
    std::uint8_t out[64];
    EXPECT_EQ(deflate_stream(&s, 6), Z_STREAM_ERROR);
    EXPECT_EQ(deflate_stream(&s, -1), Z_STREAM_ERROR);
    EXPECT_EQ(deflate_stream(&s, Z_NO_FLUSH), Z_STREAM_ERROR);  // no next_out
    EXPECT_STREQ(s.msg, "stream error");
    s.next_out = out;
    s.avail_out = 0;
    EXPECT_EQ(deflate_stream(&s, Z_NO_FLUSH), Z_BUF_ERROR);
    EXPECT_STREQ(s.msg, "buffer error");
    s.avail_out = sizeof out;
    s.avail_in = 5;  // with next_in null
    EXPECT_EQ(deflate_stream(&s, Z_NO_FLUSH), Z_STREAM_ERROR);
    s.avail_in = 0;
    EXPECT_EQ(deflate_stream(&s, Z_NO_FLUSH), Z_BUF_ERROR);  // nothing to do
    EXPECT_EQ(deflate_stream(&s, Z_FINISH), Z_STREAM_END);
    EXPECT_EQ(deflate_stream(&s, Z_NO_FLUSH), Z_STREAM_ERROR);  // finished
    EXPECT_EQ(deflate_stream(&s, Z_FINISH), Z_STREAM_END);
    const std::uint8_t more[3] = {1, 2, 3};
    s.next_in = const_cast<Bytef*>(more);
    s.avail_in = 3;
    EXPECT_EQ(deflate_stream(&s, Z_FINISH), Z_BUF_ERROR);
    EXPECT_EQ(deflate_end(&s), Z_OK);
    EXPECT_EQ(deflate_stream(&s, Z_FINISH), Z_STREAM_ERROR);
    EXPECT_EQ(deflate_stream(nullptr, Z_FINISH), Z_STREAM_ERROR);
}

TEST(ZlibStream, FinishingCallMustBeCheckedBeforeTotalOut) {
    // When the output does not fit, the finishing call answers Z_OK, not
    // Z_STREAM_END, and total_out counts only what fitted: callers have to
    // check the return value before trusting total_out as a size.
    const bytes data = make_data(data_kind::random, 10000, 6);
    z_stream s{};
    ASSERT_EQ(init(&s, 9, -15), Z_OK);
    bytes out(20000);
    s.next_in = const_cast<Bytef*>(data.data());
    s.avail_in = static_cast<uInt>(data.size());
    s.next_out = out.data();
    s.avail_out = 1000;
    EXPECT_EQ(deflate_stream(&s, Z_FINISH), Z_OK);
    EXPECT_EQ(s.total_out, 1000u);
    s.avail_out = static_cast<uInt>(out.size() - 1000);
    EXPECT_EQ(deflate_stream(&s, Z_FINISH), Z_STREAM_END);
    out.resize(s.total_out);
    EXPECT_EQ(out.size(), data.size() + 5);  // one stored block
    bool ok = false;
    EXPECT_EQ(inflate_all(out, -15, ok), data);
    EXPECT_TRUE(ok);
    deflate_end(&s);
}

TEST(ZlibStream, IncompressibleDataIsStored) {
    const bytes data = make_data(data_kind::random, 1000, 1);
    for (int level : {0, 1, 5, 9}) {
        bytes z = compress({level, -15, 8, 0}, data);
        ASSERT_EQ(z.size(), 1005u) << level;
        EXPECT_EQ(z[0], 0x01);  // stored, last
        EXPECT_EQ(z[1] | (z[2] << 8), 1000);
        EXPECT_EQ(std::memcmp(z.data() + 5, data.data(), 1000), 0);
    }
}

TEST(ZlibStream, EndReportsBusyStreams) {
    std::uint8_t out[256];
    const std::uint8_t in[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    auto feed = [&](z_stream* s, int flush) {
        s->next_in = const_cast<Bytef*>(in);
        s->avail_in = sizeof in;
        s->next_out = out;
        s->avail_out = sizeof out;
        return deflate_stream(s, flush);
    };
    z_stream s{};
    ASSERT_EQ(init(&s, 6, -15), Z_OK);
    EXPECT_EQ(deflate_end(&s), Z_DATA_ERROR);  // raw streams are busy from the start
    EXPECT_EQ(s.state, nullptr);
    EXPECT_EQ(deflate_end(&s), Z_STREAM_ERROR);

    ASSERT_EQ(init(&s, 6, 15), Z_OK);
    EXPECT_EQ(deflate_end(&s), Z_OK);  // zlib stream never used

    ASSERT_EQ(init(&s, 6, 15), Z_OK);
    EXPECT_EQ(feed(&s, Z_NO_FLUSH), Z_OK);
    EXPECT_EQ(deflate_end(&s), Z_DATA_ERROR);

    ASSERT_EQ(init(&s, 6, -15), Z_OK);
    EXPECT_EQ(feed(&s, Z_FINISH), Z_STREAM_END);
    EXPECT_EQ(deflate_end(&s), Z_OK);
    EXPECT_EQ(deflate_reset(&s), Z_STREAM_ERROR);
    EXPECT_EQ(deflate_end(nullptr), Z_STREAM_ERROR);
}

TEST(ZlibStream, InitAllocationFailureEndsThePartStream) {
    for (int allowed = 0; allowed < 6; ++allowed) {
        alloc_budget budget{allowed};
        z_stream s{};
        s.zalloc = budget_alloc;
        s.zfree = budget_free;
        s.opaque = &budget;
        EXPECT_EQ(init(&s, 6, 15), Z_MEM_ERROR) << allowed;
        EXPECT_EQ(s.state, nullptr);
        EXPECT_EQ(budget.live, 0) << allowed;
        if (allowed > 0) {
            EXPECT_STREQ(s.msg, "insufficient memory");
        }
    }
}

}  // namespace
