// End-to-end tests of the Zopfli-style compressor: options, round trips
// through the system inflate, block structure, bit positions, determinism
// across runs and thread counts, and the block writer's size prediction.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "core/deflate/zopfli.h"
#include "core/deflate/zopfli_driver.h"
#include "core/deflate/zopfli_squeeze.h"
#include "core/deflate/zopfli_writer.h"
#include "tests/deflate/zopfli_test_util.h"

using namespace zopfli_test;
using zopfli::Zopflioptions;

namespace {

// Long runs of bytes that do not occur before them, between text.
std::vector<unsigned char> run_data() {
    std::vector<unsigned char> v = {'a', 'b', 'c', 'd', 'e', 'f', 'g'};
    v.insert(v.end(), 1000, 'x');
    auto t = text_data(3000);
    v.insert(v.end(), t.begin(), t.end());
    v.insert(v.end(), 40000, 0);
    v.insert(v.end(), 600, 'y');
    v.insert(v.end(), t.begin(), t.begin() + 500);
    v.insert(v.end(), 259, 'z');
    v.push_back('q');
    return v;
}

struct named_input {
    const char* name;
    std::vector<unsigned char> data;
};

std::vector<named_input> varied_inputs() {
    return {
        {"one byte", {42}},
        {"two bytes", {1, 2}},
        {"text", text_data(8000)},
        {"random", noise_data(3000, 99)},
        {"scanlines", scanline_data(60, 200, 5)},
        {"runs", run_data()},
        {"mixed", mixed_data(16000)},
    };
}

// Walks the blocks with inflate's block mode; reads each block header from
// the input bits itself. Returns false on an inflate error.
struct block_info {
    int btype;
    int final;
    size_t out_before;
};
bool walk_blocks(const std::vector<unsigned char>& stream, std::vector<block_info>* blocks,
                 std::vector<unsigned char>* out) {
    z_stream zs{};
    if (inflateInit2(&zs, -15) != Z_OK) return false;
    zs.next_in = const_cast<unsigned char*>(stream.data());
    zs.avail_in = static_cast<uInt>(stream.size());
    std::vector<unsigned char> buf(1 << 16);
    out->clear();
    blocks->clear();
    bool at_boundary = true;
    int ret = Z_OK;
    while (ret == Z_OK) {
        if (at_boundary) {
            // Next header starts after the bits inflate has taken.
            size_t used_bytes = stream.size() - zs.avail_in;
            int unused = zs.data_type & 7;
            size_t bitpos = used_bytes * 8 - unused;
            auto bit = [&](size_t p) { return (stream[p / 8] >> (p % 8)) & 1; };
            if (bitpos + 3 > stream.size() * 8) break;
            block_info b;
            b.final = bit(bitpos);
            b.btype = bit(bitpos + 1) | (bit(bitpos + 2) << 1);
            b.out_before = out->size();
            blocks->push_back(b);
        }
        zs.next_out = buf.data();
        zs.avail_out = static_cast<uInt>(buf.size());
        ret = inflate(&zs, Z_BLOCK);
        out->insert(out->end(), buf.data(), buf.data() + (buf.size() - zs.avail_out));
        at_boundary = (zs.data_type & 128) && !(zs.data_type & 64);
    }
    inflateEnd(&zs);
    return ret == Z_STREAM_END;
}

}  // namespace

TEST(ZopfliOptions, ModeTable) {
    struct row {
        uint32_t mode;
        int32_t override_iterations;
        uint32_t iterations, fixed_only, fixed_trial, split_bytes, split_symbols, probes, tree, refine, lazy, exact;
    };
    const row rows[] = {
        {2, 1, 1, 80, 0, 800, 100, 3, 0, 1, 258, 0},
        {5, 8, 8, 80, 800, 1300, 200, 3, 1, 1001, 258, 1},
        {5, -1, 8, 80, 800, 1300, 200, 3, 1, 1001, 258, 1},
        {3, -1, 1, 180, 0, 2000, 512, 3, 1, 1001, 50, 0},
        {4, -1, 2, 180, 0, 2000, 512, 3, 1, 1001, 258, 0},
        {0, -1, 1, 80, 0, 800, 100, 3, 0, 1, 258, 0},
        {6, -1, 8, 80, 800, 1300, 200, 9, 1, 1001, 258, 1},
        {7, -1, 13, 80, 1800, 1000, 200, 9, 1, 1001, 258, 1},
        {8, -1, 60, 80, 2000, 800, 120, 9, 1, 1001, 258, 1},
        {9, -1, 60, 80, 3000, 800, 100, 9, 2, 1001, 258, 1},
        {12, 4, 12, 80, 3000, 800, 100, 9, 2, 1001, 258, 1},
    };
    for (const row& r : rows) {
        Zopflioptions o;
        Zopflioptions* ret = zopfli::zopfli_init_options(&o, r.mode, 6, 1, r.override_iterations, 1);
        SCOPED_TRACE(r.mode);
        EXPECT_EQ(ret, &o);
        EXPECT_EQ(o.iterations, r.iterations);
        EXPECT_EQ(o.fixed_only_max_bytes, r.fixed_only);
        EXPECT_EQ(o.fixed_trial_symbols, r.fixed_trial);
        EXPECT_EQ(o.split_min_bytes, r.split_bytes);
        EXPECT_EQ(o.split_min_symbols, r.split_symbols);
        EXPECT_EQ(o.split_probes, r.probes);
        EXPECT_EQ(o.tree_search, r.tree);
        EXPECT_EQ(o.refine_passes, r.refine);
        EXPECT_EQ(o.lazy_stop_length, r.lazy);
        EXPECT_EQ(o.exact_tree, r.exact);
        EXPECT_EQ(o.threads, 6u);
        EXPECT_EQ(o.tuned, 1u);
        EXPECT_EQ(o.no_start_stats, 1);
    }
}

TEST(ZopfliDeflate, EmptyInputIsTenBits) {
    // At bit 0: BFINAL 1, BTYPE 01, seven zero bits.
    auto s = compress(options(5, 1), {});
    EXPECT_EQ(s.bytes, (std::vector<unsigned char>{0x03, 0x00}));
    EXPECT_EQ(s.bp, 2);

    // Continuing a caller's byte at bit 3.
    unsigned char* out = static_cast<unsigned char*>(std::malloc(1));
    out[0] = 0x05;
    size_t outsize = 1;
    unsigned char bp = 3;
    Zopflioptions o = options(2, 1);
    zopfli::zopfli_deflate(&o, 1, nullptr, 0, &bp, &out, &outsize);
    ASSERT_EQ(outsize, 2u);
    EXPECT_EQ(out[0], 0x05 | (1 << 3) | (1 << 4));
    EXPECT_EQ(out[1], 0x00);
    EXPECT_EQ(bp, 5);
    std::free(out);
}

TEST(ZopfliDeflate, RoundTripModesAndIterations) {
    const auto inputs = varied_inputs();
    struct setting {
        uint32_t mode;
        int32_t iterations;
        uint32_t threads;
    };
    const setting settings[] = {{2, 1, 1}, {2, 1, 2}, {5, 1, 1}, {5, 2, 1}, {5, 4, 3},
                                {5, 8, 1}, {5, 10, 2}, {5, 16, 1}};
    for (const setting& st : settings) {
        for (const auto& in : inputs) {
            SCOPED_TRACE(std::string(in.name) + " mode " + std::to_string(st.mode) + " iterations " +
                         std::to_string(st.iterations) + " threads " + std::to_string(st.threads));
            auto s = compress(options(st.mode, st.iterations, st.threads), in.data);
            std::vector<unsigned char> back;
            ASSERT_TRUE(inflate_raw(s.bytes.data(), s.bytes.size(), &back));
            EXPECT_EQ(back, in.data);
        }
    }
}

TEST(ZopfliDeflate, ManyIterationsOnSmallInputs) {
    // 60 and 80 iterations reach the exhaustive split scan and the late
    // cost replacements at iterations 30 and 79.
    for (int32_t iterations : {60, 80}) {
        for (const auto& in : {text_data(2500), scanline_data(12, 150, 9)}) {
            auto s = compress(options(5, iterations, 2), in);
            std::vector<unsigned char> back;
            ASSERT_TRUE(inflate_raw(s.bytes.data(), s.bytes.size(), &back));
            EXPECT_EQ(back, in);
        }
    }
}

TEST(ZopfliDeflate, BlockStructure) {
    auto in = mixed_data(30000);
    for (uint32_t mode : {2u, 5u}) {
        for (uint32_t threads : {1u, 4u}) {
            SCOPED_TRACE(mode * 100 + threads);
            auto s = compress(options(mode, 2, threads), in);
            std::vector<block_info> blocks;
            std::vector<unsigned char> back;
            ASSERT_TRUE(walk_blocks(s.bytes, &blocks, &back));
            EXPECT_EQ(back, in);
            ASSERT_GE(blocks.size(), 2u) << "mixed input should be split";
            for (size_t i = 0; i < blocks.size(); ++i) {
                EXPECT_TRUE(blocks[i].btype == 1 || blocks[i].btype == 2) << "block " << i;
                EXPECT_EQ(blocks[i].final, i + 1 == blocks.size() ? 1 : 0) << "block " << i;
            }
        }
    }
}

TEST(ZopfliDeflate, TwoMasterBlocksCutAtFiveMillion) {
    // 5,000,001 bytes make two master blocks; the first one's end is a block
    // boundary in both paths. A periodic pattern keeps this fast.
    std::vector<unsigned char> in(5000001);
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<unsigned char>("periodic"[i % 8] + (i / 1000003));
    for (uint32_t threads : {1u, 2u}) {
        SCOPED_TRACE(threads);
        auto s = compress(options(2, 1, threads), in);
        std::vector<block_info> blocks;
        std::vector<unsigned char> back;
        ASSERT_TRUE(walk_blocks(s.bytes, &blocks, &back));
        ASSERT_TRUE(back == in);
        bool cut = false;
        for (const auto& b : blocks) cut |= b.out_before == 5000000;
        EXPECT_TRUE(cut);
    }
}

TEST(ZopfliDeflate, ContinuesAtNonZeroBitPosition) {
    // A first, non-final stream leaves a partial byte; the second continues it.
    auto a = text_data(3001);
    auto b = scanline_data(30, 100, 4);
    for (uint32_t mode : {2u, 5u}) {
        Zopflioptions o = options(mode, 2, 1);
        unsigned char* out = nullptr;
        size_t outsize = 0;
        unsigned char bp = 0;
        size_t extra = 0;
        // Grow the first input until its stream ends inside a byte.
        std::vector<unsigned char> first = a;
        for (;;) {
            std::free(out);
            out = nullptr;
            outsize = 0;
            bp = 0;
            zopfli::zopfli_deflate(&o, 0, first.data(), first.size(), &bp, &out, &outsize);
            if (bp != 0) break;
            first.push_back(static_cast<unsigned char>('a' + extra++ % 26));
            ASSERT_LT(extra, 50u);
        }
        zopfli::zopfli_deflate(&o, 1, b.data(), b.size(), &bp, &out, &outsize);
        std::vector<unsigned char> back;
        ASSERT_TRUE(inflate_raw(out, outsize, &back));
        std::vector<unsigned char> expected = first;
        expected.insert(expected.end(), b.begin(), b.end());
        EXPECT_EQ(back, expected);
        std::free(out);
    }
}

TEST(ZopfliDeflate, SameStreamForEveryThreadCountAndRun) {
    auto in = mixed_data(16000);
    for (uint32_t mode : {2u, 5u}) {
        auto reference = compress(options(mode, 2, 2), in);
        std::vector<block_info> blocks;
        std::vector<unsigned char> back;
        ASSERT_TRUE(walk_blocks(reference.bytes, &blocks, &back));
        EXPECT_GE(blocks.size(), 3u);
        for (uint32_t threads : {2u, 3u, 8u, 32u}) {
            auto s = compress(options(mode, 2, threads), in);
            EXPECT_EQ(s.bytes, reference.bytes) << "threads " << threads;
            EXPECT_EQ(s.bp, reference.bp);
        }
        // The single-thread path is deterministic too.
        auto one = compress(options(mode, 2, 1), in);
        EXPECT_EQ(compress(options(mode, 2, 1), in).bytes, one.bytes);
    }
}

TEST(ZopfliDeflate, ThreadsStartedOnlyOnTheThreadPath) {
    auto longer = text_data(20000);
    compress(options(5, 1, 1), longer);
    EXPECT_EQ(zopfli::zopfli_last_thread_count(), 0);
    compress(options(5, 1, 8), text_data(1299));  // below split_min_bytes of mode 5
    EXPECT_EQ(zopfli::zopfli_last_thread_count(), 0);
    compress(options(2, 1, 8), text_data(1299));  // mode 2 splits from 800 bytes
    EXPECT_GE(zopfli::zopfli_last_thread_count(), 1);
    compress(options(5, 1, 3), longer);
    EXPECT_EQ(zopfli::zopfli_last_thread_count(), 3);
}

TEST(ZopfliDeflate, WorkerThatCannotStartLeavesItsBlocksToTheCaller) {
    auto in = mixed_data(30000);
    auto reference = compress(options(5, 2, 4), in);
    for (int limit : {0, 1, 3}) {
        zopfli::zopfli_set_thread_start_limit(limit);
        auto s = compress(options(5, 2, 4), in);
        EXPECT_EQ(zopfli::zopfli_last_thread_count(), limit);
        zopfli::zopfli_set_thread_start_limit(-1);
        EXPECT_EQ(s.bytes, reference.bytes) << "limit " << limit;
    }
}

TEST(ZopfliDeflate, DefinedStartWithoutSplitterStatistics) {
    auto in = mixed_data(16000);
    for (int32_t iterations : {1, 4, 16}) {
        Zopflioptions o;
        zopfli::zopfli_init_options(&o, 5, 1, 1, iterations, 1);
        auto s = compress(o, in);
        auto again = compress(o, in);
        EXPECT_EQ(s.bytes, again.bytes);
        std::vector<unsigned char> back;
        ASSERT_TRUE(inflate_raw(s.bytes.data(), s.bytes.size(), &back));
        EXPECT_EQ(back, in);
    }
}

TEST(ZopfliDeflate, FinderSnapshotBelongsToOneCall) {
    // A first block of a master block parks its finder for the next block on
    // the same thread; that block takes it over and parses correctly.
    auto in = mixed_data(12000);
    Zopflioptions o = options(5, 2, 1);
    zopfli::symbol_stats stats[2];
    for (int k = 0; k < 2; ++k) {
        zopfli::lz77_store lazy;
        zopfli::lz77_store_init(&lazy);
        zopfli::zopfli_lz77_lazy(&o, in.data(), k ? 5000 : 0, k ? in.size() : 5000, &lazy);
        zopfli::stats_from_store(&lazy, &stats[k]);
        zopfli::lz77_store_free(&lazy);
    }
    zopfli::lz77_store first, second;
    zopfli::lz77_store_init(&first);
    zopfli::lz77_store_init(&second);
    zopfli::zopfli_lz77_optimal(&o, in.data(), 0, 5000, &first, &stats[0], zopfli::kFirstBlock);
    EXPECT_TRUE(zopfli::zopfli_thread_snapshot_parked());
    zopfli::zopfli_lz77_optimal(&o, in.data(), 5000, in.size(), &second, &stats[1], zopfli::kLastBlock);
    EXPECT_FALSE(zopfli::zopfli_thread_snapshot_parked());
    unsigned char* out = nullptr;
    size_t outsize = 0;
    unsigned char bp = 0;
    zopfli::zopfli_write_block(2, 0, first.litlens, first.dists, first.size, 5000, &bp, &out, &outsize, 1,
                               in.data(), 0, 0, 0);
    zopfli::zopfli_write_block(2, 1, second.litlens, second.dists, second.size, in.size() - 5000, &bp, &out,
                               &outsize, 1, in.data(), 5000, 0, 0);
    zopfli::lz77_store_free(&first);
    zopfli::lz77_store_free(&second);
    std::vector<unsigned char> back;
    ASSERT_TRUE(inflate_raw(out, outsize, &back));
    EXPECT_EQ(back, in);
    std::free(out);

    // A finder left parked on this thread (here by a first block whose
    // successor never came) is not taken over by a call on another buffer:
    // the call clears it on entry and exit and gives a fresh thread's bytes.
    zopfli::lz77_store_init(&first);
    zopfli::zopfli_lz77_optimal(&o, in.data(), 0, 5000, &first, &stats[0], zopfli::kFirstBlock);
    zopfli::lz77_store_free(&first);
    ASSERT_TRUE(zopfli::zopfli_thread_snapshot_parked());
    auto other = text_data(9000);
    auto here = compress(o, other);
    EXPECT_FALSE(zopfli::zopfli_thread_snapshot_parked());
    stream fresh;
    std::thread t([&] { fresh = compress(o, other); });
    t.join();
    EXPECT_EQ(here.bytes, fresh.bytes);
}

namespace {

// Parses a block with the optimal parse and writes it with the given writer
// settings at bit position `start_bp`; checks prediction and decoding.
void check_written_block(const std::vector<unsigned char>& in, int btype, int tree_search, uint32_t refine,
                         uint32_t exact, unsigned char start_bp) {
    Zopflioptions o = options(5, 2, 1);
    zopfli::lz77_store store;
    zopfli::lz77_store_init(&store);
    if (btype == 1) {
        zopfli::zopfli_lz77_optimal_fixed(&o, in.data(), 0, in.size(), &store, zopfli::kOnlyBlock);
    } else {
        zopfli::lz77_store lazy;
        zopfli::lz77_store_init(&lazy);
        zopfli::zopfli_lz77_lazy(&o, in.data(), 0, in.size(), &lazy);
        zopfli::symbol_stats stats;
        zopfli::stats_from_store(&lazy, &stats);
        zopfli::lz77_store_free(&lazy);
        zopfli::zopfli_lz77_optimal(&o, in.data(), 0, in.size(), &store, &stats, zopfli::kOnlyBlock);
    }
    // A caller's byte holding start_bp bits of a stored-block-free prefix is
    // not decodable on its own, so the check decodes from a whole stream:
    // start_bp bits of padding are set to 0 and skipped by shifting.
    unsigned char* out = static_cast<unsigned char*>(std::malloc(1));
    out[0] = 0;
    size_t outsize = start_bp ? 1 : 0;
    unsigned char bp = start_bp;
    uint64_t predicted = 0;
    zopfli::zopfli_write_block_predicted(btype, 1, store.litlens, store.dists, store.size, in.size(), &bp, &out,
                                         &outsize, tree_search, in.data(), 0, refine, exact, &predicted);
    if (refine == 0) zopfli::lz77_store_free(&store);
    uint64_t written = outsize * 8 - (bp ? 8 - bp : 0) - start_bp;
    EXPECT_EQ(predicted, written);
    // Shift the stream down by start_bp bits and inflate it.
    std::vector<unsigned char> shifted(outsize);
    for (size_t i = 0; i < outsize; ++i) {
        unsigned v = out[i] >> start_bp;
        if (start_bp && i + 1 < outsize) v |= out[i + 1] << (8 - start_bp);
        shifted[i] = static_cast<unsigned char>(v);
    }
    std::vector<unsigned char> back;
    EXPECT_TRUE(inflate_raw(shifted.data(), shifted.size(), &back));
    EXPECT_EQ(back, in);
    std::free(out);
}

}  // namespace

TEST(ZopfliWriter, PredictedSizeEqualsBitsWritten) {
    const auto inputs = varied_inputs();
    struct setting {
        int btype, tree_search;
        uint32_t refine, exact;
        unsigned char bp;
    };
    const setting settings[] = {{1, 0, 0, 0, 0}, {1, 1, 1001, 1, 5}, {2, 0, 0, 0, 0}, {2, 0, 1, 0, 3},
                                {2, 1, 1001, 1, 7}, {2, 1, 1001, 0, 1}, {2, 2, 1001, 0, 0}, {2, 1, 4, 0, 2}};
    for (const auto& st : settings) {
        for (const auto& in : inputs) {
            SCOPED_TRACE(std::string(in.name) + " btype " + std::to_string(st.btype) + " refine " +
                         std::to_string(st.refine) + " exact " + std::to_string(st.exact));
            check_written_block(in.data, st.btype, st.tree_search, st.refine, st.exact, st.bp);
        }
    }
}

TEST(ZopfliWriter, ShortMatchBecomesLiteralsWithOneRefinePass) {
    // Many 'a' and 'b' literals make their codes short; one (3, 6) match
    // costs more than its three literals and is rewritten, while the code
    // lengths stay those of the unrefined store.
    std::vector<unsigned char> in;
    for (int i = 0; i < 200; ++i) in.push_back(i % 3 ? 'a' : 'b');
    std::vector<uint16_t> litlens, dists;
    // 200 literals, then a match (3, 6) copying in[194..196] = "aba": its
    // codes and extra bit (3 + 1 + 1) cost more than the literals (1 + 2 + 1).
    litlens.assign(in.begin(), in.begin() + 200);
    dists.assign(200, 0);
    in.resize(203);
    in[200] = in[194];
    in[201] = in[195];
    in[202] = in[196];
    litlens.push_back(3);
    dists.push_back(6);
    auto* ll = static_cast<uint16_t*>(std::malloc(litlens.size() * 2));
    auto* dd = static_cast<uint16_t*>(std::malloc(dists.size() * 2));
    std::memcpy(ll, litlens.data(), litlens.size() * 2);
    std::memcpy(dd, dists.data(), dists.size() * 2);
    unsigned char* out = nullptr;
    size_t outsize = 0;
    unsigned char bp = 0;
    uint64_t predicted = 0;
    zopfli::zopfli_write_block_predicted(2, 1, ll, dd, litlens.size(), in.size(), &bp, &out, &outsize, 0,
                                         in.data(), 0, 1, 0, &predicted);
    std::vector<unsigned char> back;
    ASSERT_TRUE(inflate_raw(out, outsize, &back));
    EXPECT_EQ(back, in);
    EXPECT_EQ(predicted, outsize * 8 - (bp ? 8 - bp : 0));
    // Unrefined, the same store costs more bits.
    auto* ll2 = static_cast<uint16_t*>(std::malloc(litlens.size() * 2));
    auto* dd2 = static_cast<uint16_t*>(std::malloc(dists.size() * 2));
    std::memcpy(ll2, litlens.data(), litlens.size() * 2);
    std::memcpy(dd2, dists.data(), dists.size() * 2);
    unsigned char* out2 = nullptr;
    size_t outsize2 = 0;
    unsigned char bp2 = 0;
    uint64_t predicted2 = 0;
    zopfli::zopfli_write_block_predicted(2, 1, ll2, dd2, litlens.size(), in.size(), &bp2, &out2, &outsize2, 0,
                                         in.data(), 0, 0, 0, &predicted2);
    std::free(ll2);
    std::free(dd2);
    EXPECT_LT(predicted, predicted2);
    std::free(out);
    std::free(out2);
}

namespace {

void write_match_before_input() {
    std::vector<unsigned char> in = {'a', 'b', 'c', 'a', 'b', 'c'};
    uint16_t ll[2] = {3, 3};
    uint16_t dd[2] = {5, 3};
    unsigned char* out = nullptr;
    size_t outsize = 0;
    unsigned char bp = 0;
    zopfli::zopfli_write_block(2, 1, ll, dd, 2, 6, &bp, &out, &outsize, 0, in.data(), 0, 0, 0);
}

void write_short_store() {
    std::vector<unsigned char> in = {'a', 'b', 'c', 'a', 'b', 'c'};
    uint16_t ll[1] = {'a'};
    uint16_t dd[1] = {0};
    unsigned char* out = nullptr;
    size_t outsize = 0;
    unsigned char bp = 0;
    zopfli::zopfli_write_block(1, 1, ll, dd, 1, 6, &bp, &out, &outsize, 0, in.data(), 0, 0, 0);
}

}  // namespace

TEST(ZopfliWriterDeathTest, BrokenStoreEndsWithExitCodeOne) {
    // A match reaching before the input, or symbols that do not cover the
    // block, would make a broken stream: the engine ends with exit code 1
    // instead of writing it, in release builds too.
    EXPECT_EXIT(write_match_before_input(), ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(write_short_store(), ::testing::ExitedWithCode(1), "");
}

#if !defined(__SANITIZE_ADDRESS__)
namespace {

// Compresses 4 MB of noise with 16 MB of address space to spare.
void compress_with_little_memory() {
    auto in = noise_data(4000000, 5);
    long pages = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
        std::fclose(f);
    }
    rlim_t limit = static_cast<rlim_t>(pages) * 4096 + (16u << 20);
    rlimit r{limit, limit};
    setrlimit(RLIMIT_AS, &r);
    Zopflioptions o = options(2, 1, 1);
    unsigned char* out = nullptr;
    size_t outsize = 0;
    unsigned char bp = 0;
    zopfli::zopfli_deflate(&o, 1, in.data(), in.size(), &bp, &out, &outsize);
    std::_Exit(0);
}

}  // namespace

TEST(ZopfliDeflateDeathTest, AllocationFailureEndsWithExitCodeOne) {
    // The sanitizer's allocator reports and aborts instead, so this runs in
    // plain builds only.
    EXPECT_EXIT(compress_with_little_memory(), ::testing::ExitedWithCode(1), "");
}
#endif
