// Measuring mode and the state copy: a measured size is the written size,
// a measuring trial on a copied stream sizes a candidate exactly like a full
// clone would, and failed or mismatched copies are refused safely.
#include "core/deflate/zlib_state.h"
#include "tests/deflate/zlib_test_util.h"

#include <gtest/gtest.h>

using namespace ztest;
using namespace zdeflate;

namespace {

int init(z_stream* s, const params& p) {
    return deflate_init2(s, p.level, Z_DEFLATED, p.window_bits, p.mem_level, p.strategy, deflate_version,
                         sizeof(z_stream));
}

TEST(ZlibMeasure, MeasuredSizeEqualsWrittenSize) {
    // Fed whole, in row-sized calls with no flush, or in calls ending blocks
    // (Z_BLOCK); the 32 KB windows get 70 KB so that they slide.
    struct shape {
        int wbits, mem;
        std::size_t size;
    } shapes[] = {{-15, 8, 70000}, {-15, 9, 70000}, {-9, 1, 20000}, {-12, 4, 20000}};
    for (data_kind kind : all_kinds)
        for (const shape& sh : shapes) {
            const bytes data = make_data(kind, sh.size, 21);
            for (int level = 1; level <= 9; ++level) {
                params p{level, sh.wbits, sh.mem, (level + sh.mem) % 2};
                struct call {
                    std::size_t chunk;
                    int flush;
                } calls[] = {{0, Z_NO_FLUSH}, {634, Z_NO_FLUSH}, {3001, Z_BLOCK}};
                for (const call& c : calls) {
                    bool ok = false;
                    bytes z = zcompress(p, data, ok, c.chunk, 0, c.flush);
                    ASSERT_TRUE(ok);
                    EXPECT_EQ(zmeasure(p, data, c.chunk, c.flush), static_cast<long>(z.size()))
                        << kind_name(kind) << " " << describe(p) << " chunk " << c.chunk << " flush " << c.flush;
                }
            }
        }
}

TEST(ZlibMeasure, LevelZeroMeasuresStoredBlocksExactly) {
    // While a block's bytes are still in the window level 0 stores it.
    for (data_kind kind : all_kinds) {
        const bytes data = make_data(kind, 20000, 5);
        for (int mem : {1, 8, 9}) {
            params p{0, -15, mem, 0};
            bool ok = false;
            bytes z = zcompress(p, data, ok, 1000);
            ASSERT_TRUE(ok);
            EXPECT_EQ(zmeasure(p, data, 1000), static_cast<long>(z.size())) << kind_name(kind) << " " << mem;
        }
    }
}

TEST(ZlibMeasure, RefusedWhereOutputWouldPassThePlaceholder) {
    const bytes data = make_data(data_kind::text, 3000);
    std::uint8_t placeholder = 0x5A;
    auto prepare = [&](z_stream* s) {
        s->next_in = const_cast<Bytef*>(data.data());
        s->avail_in = static_cast<uInt>(data.size());
        s->next_out = &placeholder;
        s->avail_out = ~0u;
    };
    // zlib wrapper: header and trailer would be written.
    z_stream s{};
    ASSERT_EQ(init(&s, {9, 15, 9, 0}), Z_OK);
    prepare(&s);
    EXPECT_EQ(deflate_measure(&s, Z_NO_FLUSH), Z_STREAM_ERROR);
    EXPECT_EQ(deflate_measure(&s, Z_FINISH), Z_STREAM_ERROR);
    EXPECT_EQ(s.total_out, 0u);
    EXPECT_EQ(s.avail_in, data.size());
    EXPECT_EQ(deflate_end(&s), Z_OK);

    // Raw stream: flush markers would be written; the stream stays usable.
    ASSERT_EQ(init(&s, {9, -15, 9, 0}), Z_OK);
    prepare(&s);
    for (int flush : {Z_PARTIAL_FLUSH, Z_SYNC_FLUSH, Z_FULL_FLUSH}) {
        EXPECT_EQ(deflate_measure(&s, flush), Z_STREAM_ERROR) << flush;
        EXPECT_STREQ(s.msg, "stream error");
    }
    EXPECT_EQ(s.avail_in, data.size());
    EXPECT_EQ(deflate_measure(&s, Z_FINISH), Z_STREAM_END);
    EXPECT_EQ(placeholder, 0x5A);
    EXPECT_EQ(s.next_out, &placeholder);
    EXPECT_EQ(s.avail_out, ~0u);
    EXPECT_EQ(static_cast<long>(s.total_out), zmeasure({9, -15, 9, 0}, data));
    bool ok = false;
    EXPECT_EQ(s.total_out, zcompress({9, -15, 9, 0}, data, ok).size());
    EXPECT_EQ(deflate_end(&s), Z_OK);
}

// The row-filter search: a main measuring stream takes the chosen row of each
// step; every candidate row is sized on a trial copied from the main stream.
void run_filter_search(const params& p, int tune_good, int tune_lazy, int tune_nice, int tune_chain) {
    const int rows = 24, row_bytes = 3000, candidates = 4;
    std::vector<bytes> cand(candidates);
    for (int c = 0; c < candidates; ++c)
        cand[c] = make_data(c == 0 ? data_kind::random : c == 1 ? data_kind::runs : c == 2 ? data_kind::text
                                                                                            : data_kind::scanlines,
                            rows * row_bytes, 30 + c);

    z_stream main{}, trial{};
    ASSERT_EQ(init(&main, p), Z_OK);
    ASSERT_EQ(deflate_tune(&main, tune_good, tune_lazy, tune_nice, tune_chain), Z_OK);
    std::uint8_t placeholder = 0;
    main.next_out = &placeholder;
    main.avail_out = ~0u;
    ASSERT_EQ(deflate_copy_state(&trial, &main, 1), Z_OK);

    bytes chosen;  // everything the main stream has taken
    for (int r = 0; r < rows; ++r) {
        long best = -1;
        int best_c = 0;
        for (int c = 0; c < candidates; ++c) {
            const std::uint8_t* row = cand[c].data() + r * row_bytes;
            // Trial reusing its own buffers.
            ASSERT_EQ(deflate_copy_state(&trial, &main, 0), Z_OK);
            trial.next_in = const_cast<Bytef*>(row);
            trial.avail_in = row_bytes;
            ASSERT_EQ(deflate_measure(&trial, Z_FINISH), Z_STREAM_END);
            const long reused = static_cast<long>(trial.total_out);

            // Clone with fresh buffers.
            z_stream clone{};
            ASSERT_EQ(deflate_copy_state(&clone, &main, 1), Z_OK);
            clone.next_in = const_cast<Bytef*>(row);
            clone.avail_in = row_bytes;
            ASSERT_EQ(deflate_measure(&clone, Z_FINISH), Z_STREAM_END);
            EXPECT_EQ(static_cast<long>(clone.total_out), reused) << "row " << r << " candidate " << c;
            EXPECT_EQ(deflate_end(&clone), Z_OK);

            // Every few rows: the size of really writing the same calls.
            if (r % 8 == 7) {
                z_stream w{};
                ASSERT_EQ(init(&w, p), Z_OK);
                ASSERT_EQ(deflate_tune(&w, tune_good, tune_lazy, tune_nice, tune_chain), Z_OK);
                bytes out(deflate_bound(&w, chosen.size() + row_bytes) + 1000);
                w.next_out = out.data();
                w.avail_out = static_cast<uInt>(out.size());
                for (int k = 0; k < r; ++k) {
                    w.next_in = chosen.data() + k * row_bytes;
                    w.avail_in = row_bytes;
                    ASSERT_EQ(deflate_stream(&w, Z_NO_FLUSH), Z_OK);
                }
                w.next_in = const_cast<Bytef*>(row);
                w.avail_in = row_bytes;
                ASSERT_EQ(deflate_stream(&w, Z_FINISH), Z_STREAM_END);
                EXPECT_EQ(static_cast<long>(w.total_out), reused) << "row " << r << " candidate " << c;
                deflate_end(&w);
            }
            if (best < 0 || reused < best) best = reused, best_c = c;
        }
        const std::uint8_t* row = cand[best_c].data() + r * row_bytes;
        chosen.insert(chosen.end(), row, row + row_bytes);
        main.next_in = const_cast<Bytef*>(row);
        main.avail_in = row_bytes;
        ASSERT_EQ(deflate_measure(&main, Z_NO_FLUSH), Z_OK);
    }
    EXPECT_EQ(placeholder, 0);
    deflate_end(&trial);
    deflate_end(&main);
}

TEST(ZlibMeasure, TrialCopiesSizeCandidatesLikeClonesAndWriters) {
    run_filter_search({9, -15, 9, Z_FILTERED}, 4, 32, 32, 25);
    run_filter_search({1, -15, 9, Z_RLE}, 1, 8, 8, 24);
    run_filter_search({9, -10, 9, Z_FILTERED}, 4, 32, 32, 25);
}

TEST(ZlibCopy, WritingCopyAtABlockBoundaryContinuesIdentically) {
    const bytes data = make_data(data_kind::scanlines, 120000, 8);
    for (int alloc : {1, 0})
        for (int wbits : {-15, 15}) {
            params p{6, wbits, 8, 0};
            z_stream a{}, b{};
            ASSERT_EQ(init(&a, p), Z_OK);
            if (alloc == 0) {
                ASSERT_EQ(init(&b, {9, wbits, 8, 1}), Z_OK);  // same sizes, other level
            }
            bytes head(deflate_bound(&a, data.size()));
            a.next_in = const_cast<Bytef*>(data.data());
            a.avail_in = 70000;
            a.next_out = head.data();
            a.avail_out = static_cast<uInt>(head.size());
            ASSERT_EQ(deflate_stream(&a, Z_BLOCK), Z_OK);
            head.resize(a.total_out);
            ASSERT_EQ(deflate_copy_state(&b, &a, static_cast<std::uint8_t>(alloc)), Z_OK);
            EXPECT_EQ(b.total_out, a.total_out);
            EXPECT_EQ(b.total_in, 70000u);

            bytes tail_a(deflate_bound(&a, data.size())), tail_b(tail_a.size());
            for (auto [s, tail] : {std::pair{&a, &tail_a}, std::pair{&b, &tail_b}}) {
                s->next_in = const_cast<Bytef*>(data.data() + 70000);
                s->avail_in = static_cast<uInt>(data.size() - 70000);
                s->next_out = tail->data();
                s->avail_out = static_cast<uInt>(tail->size());
                ASSERT_EQ(deflate_stream(s, Z_FINISH), Z_STREAM_END);
                tail->resize(s->avail_out ? tail->size() - s->avail_out : tail->size());
            }
            EXPECT_EQ(tail_a, tail_b) << alloc << " " << wbits;
            bytes whole = head;
            whole.insert(whole.end(), tail_b.begin(), tail_b.end());
            bool ok = false;
            EXPECT_EQ(inflate_all(whole, wbits, ok), data);
            EXPECT_TRUE(ok);
            EXPECT_EQ(b.adler, a.adler);
            EXPECT_EQ(deflate_end(&a), Z_OK);
            EXPECT_EQ(deflate_end(&b), Z_OK);
        }
}

TEST(ZlibCopy, RefusesMismatchedOrMissingStreams) {
    z_stream src{}, dest{}, none{};
    ASSERT_EQ(init(&src, {9, -15, 9, 1}), Z_OK);
    EXPECT_EQ(deflate_copy_state(nullptr, &src, 1), Z_STREAM_ERROR);
    EXPECT_EQ(deflate_copy_state(&dest, nullptr, 1), Z_STREAM_ERROR);
    EXPECT_EQ(deflate_copy_state(&dest, &none, 1), Z_STREAM_ERROR);
    EXPECT_EQ(deflate_copy_state(&src, &src, 0), Z_STREAM_ERROR);
    EXPECT_EQ(deflate_copy_state(&dest, &src, 0), Z_STREAM_ERROR);  // dest has no state
    for (params other : {params{9, -14, 9, 1}, params{9, -15, 8, 1}, params{9, 15, 1, 1}}) {
        z_stream d{};
        ASSERT_EQ(init(&d, other), Z_OK);
        const internal_state* before = d.state;
        EXPECT_EQ(deflate_copy_state(&d, &src, 0), Z_STREAM_ERROR) << describe(other);
        EXPECT_EQ(d.state, before);
        // dest is left as it was and still works.
        bool ok = false;
        const bytes data = make_data(data_kind::text, 5000);
        std::uint8_t out[8000];
        d.next_in = const_cast<Bytef*>(data.data());
        d.avail_in = static_cast<uInt>(data.size());
        d.next_out = out;
        d.avail_out = sizeof out;
        ASSERT_EQ(deflate_stream(&d, Z_FINISH), Z_STREAM_END);
        EXPECT_EQ(inflate_all(bytes(out, out + d.total_out), other.window_bits, ok), data);
        EXPECT_EQ(deflate_end(&d), Z_OK);
    }
    EXPECT_EQ(deflate_end(&src), Z_DATA_ERROR);
}

TEST(ZlibCopy, FailedCopyLeavesDestinationWithoutState) {
    const bytes data = make_data(data_kind::text, 20000, 3);
    for (int allowed = 0; allowed < 6; ++allowed) {
        alloc_budget budget{1000};
        z_stream src{};
        src.zalloc = budget_alloc;
        src.zfree = budget_free;
        src.opaque = &budget;
        ASSERT_EQ(init(&src, {6, -15, 8, 0}), Z_OK);
        bytes out(30000);
        src.next_in = const_cast<Bytef*>(data.data());
        src.avail_in = 10000;
        src.next_out = out.data();
        src.avail_out = static_cast<uInt>(out.size());
        ASSERT_EQ(deflate_stream(&src, Z_NO_FLUSH), Z_OK);
        const int live = budget.live;

        budget.allowed = allowed;
        z_stream dest{};
        EXPECT_EQ(deflate_copy_state(&dest, &src, 1), Z_MEM_ERROR) << allowed;
        EXPECT_EQ(dest.state, nullptr) << allowed;
        EXPECT_EQ(budget.live, live) << allowed;
        EXPECT_EQ(deflate_end(&dest), Z_STREAM_ERROR);

        // The source is untouched: it finishes and inflates.
        budget.allowed = 1000;
        src.next_in = const_cast<Bytef*>(data.data() + 10000);
        src.avail_in = 10000;
        ASSERT_EQ(deflate_stream(&src, Z_FINISH), Z_STREAM_END);
        out.resize(src.total_out);
        bool ok = false;
        EXPECT_EQ(inflate_all(out, -15, ok), data);
        EXPECT_TRUE(ok);
        EXPECT_EQ(deflate_end(&src), Z_OK);
        EXPECT_EQ(budget.live, 0);
    }
}

TEST(ZlibCopy, SymbolBufferIsApartFromPendingOutput) {
    for (int mem = 1; mem <= 9; ++mem)
        for (int wbits : {9, 15}) {
            z_stream s{};
            ASSERT_EQ(init(&s, {6, -wbits, mem, 0}), Z_OK);
            const deflate_state* st = state_of(&s);
            const auto* pend_lo = st->pending_buffer;
            const auto* pend_hi = st->pending_buffer + st->pending_capacity;
            const auto* sym_lo = st->symbol_buffer;
            const auto* sym_hi = st->symbol_buffer + 3 * std::uint64_t(st->symbol_capacity);
            EXPECT_TRUE(sym_hi <= pend_lo || pend_hi <= sym_lo);
            EXPECT_EQ(reinterpret_cast<const std::uint8_t*>(st->sym_dists), sym_lo);
            EXPECT_EQ(st->sym_lengths, sym_lo + 2 * std::uint64_t(st->symbol_capacity));
            EXPECT_GE(st->pending_capacity, 4 * std::uint64_t(st->symbol_capacity) + 8);
            EXPECT_GE(st->pending_capacity, 2 * std::uint64_t(st->window_bytes) + 8);
            deflate_end(&s);
        }
}

}  // namespace
