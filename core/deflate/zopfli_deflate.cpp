// Options table and the driver of the Zopfli-style compressor: master blocks,
// block splitting, parsing on the calling thread or on worker threads that
// share one cursor, and block output in input order.
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "core/deflate/zopfli.h"
#include "core/deflate/zopfli_check.h"
#include "core/deflate/zopfli_driver.h"
#include "core/deflate/zopfli_split.h"
#include "core/deflate/zopfli_squeeze.h"
#include "core/deflate/zopfli_tree.h"
#include "core/deflate/zopfli_writer.h"
#include "core/fatal.h"

namespace zopfli {

namespace {

struct level_row {
    uint32_t iterations;
    uint32_t tree_search;
    uint32_t split_min_bytes;
    uint32_t fixed_trial_symbols;
    uint32_t fixed_only_max_bytes;
    uint32_t split_min_symbols;
};

// Rows for levels 2..9.
static const level_row kLevels[8] = {
    {1, 0, 800, 0, 80, 100},      {1, 1, 2000, 0, 180, 512},    {2, 1, 2000, 0, 180, 512},
    {8, 1, 1300, 800, 80, 200},   {8, 1, 1300, 800, 80, 200},   {13, 1, 1000, 1800, 80, 200},
    {60, 1, 800, 2000, 80, 120},  {60, 2, 800, 3000, 80, 100},
};

thread_local int tl_thread_start_limit = -1;
thread_local int tl_last_thread_count = 0;

// Parses one block into *store; returns its block type. Ties between the
// dynamic and the fixed cost go to the fixed block.
uint32_t parse_block(const Zopflioptions* opts, const unsigned char* in, uint64_t start, uint64_t end,
                     const symbol_stats* stats, int position_code, lz77_store* store) {
    const uint64_t len = end - start;
    lz77_store_init(store);
    if (len <= opts->fixed_only_max_bytes) {
        zopfli_lz77_optimal_fixed(opts, in, start, end, store, position_code);
        return 1;
    }
    zopfli_lz77_optimal(opts, in, start, end, store, stats, position_code);
    if (store->size < opts->fixed_trial_symbols) {
        lz77_store fixed;
        lz77_store_init(&fixed);
        zopfli_lz77_optimal_fixed(opts, in, start, end, &fixed, kOnlyBlock);
        uint64_t dynamic_cost = dynamic_block_cost(store, 0, store->size, static_cast<int>(opts->tree_search), false);
        uint64_t fixed_cost = fixed_block_cost(&fixed, 0, fixed.size);
        if (dynamic_cost >= fixed_cost) {
            lz77_store_free(store);
            *store = fixed;
            return 1;
        }
        lz77_store_free(&fixed);
    }
    return 2;
}

void write_parsed_block(const Zopflioptions* opts, uint32_t btype, int final, lz77_store* store,
                        const unsigned char* in, uint64_t start, uint64_t end, unsigned char* bp,
                        unsigned char** out, size_t* outsize) {
    zopfli_write_block(static_cast<int>(btype), final, store->litlens, store->dists, store->size, end - start, bp,
                       out, outsize, static_cast<int>(opts->tree_search), in, start, opts->refine_passes,
                       opts->exact_tree);
    if (opts->refine_passes == 0) {
        lz77_store_free(store);
    } else {
        lz77_store_init(store);  // the writer released the arrays
    }
}

void append_point(uint64_t** points, uint64_t* npoints, uint64_t value) {
    uint64_t n = *npoints;
    if ((n & (n - 1)) == 0) {
        *points = static_cast<uint64_t*>(checked_realloc(*points, (n == 0 ? 1 : n * 2) * sizeof(uint64_t)));
    }
    (*points)[n] = value;
    *npoints = n + 1;
}

void write_empty_block(int final, unsigned char* bp, unsigned char** out, size_t* outsize) {
    // BFINAL, BTYPE 01, then the seven 0 bits of the fixed end-of-block code.
    const int bits[10] = {final ? 1 : 0, 1, 0, 0, 0, 0, 0, 0, 0, 0};
    for (int b : bits) {
        if (*bp == 0) {
            *out = static_cast<unsigned char*>(checked_realloc(*out, *outsize + 1));
            (*out)[(*outsize)++] = 0;
        }
        (*out)[*outsize - 1] |= static_cast<unsigned char>(b << *bp);
        *bp = (*bp + 1) & 7;
    }
}

void deflate_threaded(const Zopflioptions* opts, int final, const unsigned char* in, uint64_t insize,
                      unsigned char* bp, unsigned char** out, size_t* outsize) {
    uint64_t* points = nullptr;
    uint64_t npoints = 0;
    symbol_stats* records = nullptr;
    for (uint64_t s = 0; s < insize; s += kMasterBlockSize) {
        uint64_t e = s + kMasterBlockSize < insize ? s + kMasterBlockSize : insize;
        zopfli_block_split(opts, in, s, e, &points, &npoints, &records);
        if (e < insize) append_point(&points, &npoints, e);
    }

    const uint64_t nblocks = npoints + 1;
    BlockData* blocks = static_cast<BlockData*>(checked_calloc(nblocks, sizeof(BlockData)));
    for (uint64_t k = 0; k < nblocks; ++k) {
        blocks[k].start = k == 0 ? 0 : points[k - 1];
        blocks[k].end = k == npoints ? insize : points[k];
        blocks[k].stats = &records[k];
    }

    BlockData* cursor = blocks;
    BlockData* blocks_end = blocks + nblocks;
    std::mutex mutex;
    uint64_t wanted = opts->threads < nblocks ? opts->threads : nblocks;
    std::thread* threads = static_cast<std::thread*>(checked_malloc(wanted * sizeof(std::thread)));
    uint64_t started = 0;
    bool start_failed = false;
    for (uint64_t i = 0; i < wanted; ++i) {
        if (tl_thread_start_limit >= 0 && started >= static_cast<uint64_t>(tl_thread_start_limit)) {
            start_failed = true;
            break;
        }
        try {
            new (&threads[started]) std::thread(zopfli_block_worker, opts, in, &cursor, blocks_end, std::ref(mutex));
            ++started;
        } catch (...) {
            start_failed = true;
            break;
        }
    }
    // Blocks no worker could be started for are parsed here; workers carry no
    // state between blocks, so the stream stays the same.
    if (start_failed) zopfli_block_worker(opts, in, &cursor, blocks_end, mutex);
    for (uint64_t i = 0; i < started; ++i) {
        threads[i].join();
        threads[i].~thread();
    }
    tl_last_thread_count = static_cast<int>(started);

    for (uint64_t k = 0; k < nblocks; ++k) {
        BlockData& b = blocks[k];
        ZOPFLI_CHECK(b.btype == 1 || b.btype == 2);
        write_parsed_block(opts, b.btype, (k == nblocks - 1) && final, &b.store, in, b.start, b.end, bp, out,
                           outsize);
    }

    std::free(points);
    std::free(records);
    std::free(blocks);
    std::free(threads);
}

}  // namespace

Zopflioptions* zopfli_init_options(Zopflioptions* opts, uint32_t mode, uint32_t threads, int32_t flag,
                                   int32_t iteration_override, uint8_t special) {
    const uint32_t m = mode;
    const uint32_t g = m <= 2 ? 2 : (m < 9 ? m : 9);
    const level_row& row = kLevels[g - 2];
    std::memset(opts, 0, sizeof(*opts));
    if (m >= 10) {
        opts->iterations = m;
    } else if (iteration_override != -1) {
        opts->iterations = static_cast<uint32_t>(iteration_override);
    } else {
        opts->iterations = row.iterations;
    }
    opts->fixed_only_max_bytes = row.fixed_only_max_bytes;
    opts->fixed_trial_symbols = row.fixed_trial_symbols;
    opts->split_min_bytes = row.split_min_bytes;
    opts->split_min_symbols = row.split_min_symbols;
    opts->tree_search = row.tree_search;
    opts->split_probes = g > 5 ? 9 : 3;
    opts->refine_passes = g == 2 ? 1 : 1001;
    opts->exact_tree = m > 4 ? 1 : 0;
    opts->lazy_stop_length = (flag == 1 && m == 3) ? 50 : 258;
    opts->threads = threads;
    opts->tuned = static_cast<uint32_t>(flag);
    opts->no_start_stats = special;
    return opts;
}

void zopfli_block_worker(const Zopflioptions* opts, const unsigned char* in, BlockData** cursor, BlockData* end,
                         std::mutex& mutex) {
    for (;;) {
        BlockData* item;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (*cursor == end) return;
            item = *cursor;
            ++*cursor;
        }
        item->btype = parse_block(opts, in, item->start, item->end, item->stats, kOnlyBlock, &item->store);
    }
}

void zopfli_deflate_master_block(const Zopflioptions* opts, int final, const unsigned char* in, uint64_t start,
                                 uint64_t end, unsigned char* bp, unsigned char** out, size_t* outsize) {
    uint64_t* points = nullptr;
    uint64_t npoints = 0;
    symbol_stats* records = nullptr;
    zopfli_block_split(opts, in, start, end, &points, &npoints, &records);
    const uint64_t nblocks = npoints + 1;
    for (uint64_t k = 0; k < nblocks; ++k) {
        uint64_t b = k == 0 ? start : points[k - 1];
        uint64_t h = k == npoints ? end : points[k];
        int position_code = npoints == 0 ? kOnlyBlock
                            : k == 0     ? kFirstBlock
                            : k == npoints ? kLastBlock
                                           : kMiddleBlock;
        lz77_store store;
        uint32_t btype = parse_block(opts, in, b, h, &records[k], position_code, &store);
        write_parsed_block(opts, btype, (k == npoints) && final, &store, in, b, h, bp, out, outsize);
    }
    std::free(points);
    std::free(records);
}

void zopfli_deflate(const Zopflioptions* opts, int final, const unsigned char* in, size_t insize,
                    unsigned char* bp, unsigned char** out, size_t* outsize) {
    ZOPFLI_CHECK(*bp < 8);
    tl_last_thread_count = 0;
    // A finder parked by an earlier call belongs to another buffer.
    zopfli_clear_thread_snapshot();
    if (insize == 0) {
        write_empty_block(final, bp, out, outsize);
        return;
    }
    if (opts->threads < 2 || insize < opts->split_min_bytes) {
        for (uint64_t s = 0; s < insize; s += kMasterBlockSize) {
            uint64_t e = s + kMasterBlockSize < insize ? s + kMasterBlockSize : insize;
            zopfli_deflate_master_block(opts, final && e == insize, in, s, e, bp, out, outsize);
        }
    } else {
        deflate_threaded(opts, final, in, insize, bp, out, outsize);
    }
    zopfli_clear_thread_snapshot();
}

void zopfli_set_thread_start_limit(int limit) { tl_thread_start_limit = limit; }

int zopfli_last_thread_count() { return tl_last_thread_count; }

}  // namespace zopfli
