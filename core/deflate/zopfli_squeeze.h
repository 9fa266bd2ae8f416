// Optimal parsing of the Zopfli-style compressor: shortest-path parsing of one
// block under a bit-cost model, iterated with re-estimated costs
// (zopfli_lz77_optimal) or done once against the fixed code
// (zopfli_lz77_optimal_fixed).
#pragma once

#include <cstdint>

#include "core/deflate/zopfli_lz77.h"

namespace zopfli {

struct Zopflioptions;

// Block position codes within a master block: bit 1 another block follows,
// bit 0 a block preceded.
enum : int { kOnlyBlock = 0, kLastBlock = 1, kFirstBlock = 2, kMiddleBlock = 3 };

// Parses in[start, end) into the empty plain store `store`, starting from the
// splitter's statistics for the block.
void zopfli_lz77_optimal(const Zopflioptions* opts, const unsigned char* in, uint64_t start, uint64_t end,
                         lz77_store* store, const symbol_stats* stats, int position_code);
void zopfli_lz77_optimal_fixed(const Zopflioptions* opts, const unsigned char* in, uint64_t start,
                               uint64_t end, lz77_store* store, int position_code);

// Frees the match finder parked on the calling thread between blocks of one
// master block, if any. zopfli_deflate calls it on entry and on exit.
void zopfli_clear_thread_snapshot();
// True while a finder is parked on the calling thread (for tests).
bool zopfli_thread_snapshot_parked();

// What one iteration of zopfli_lz77_optimal did, for tests: its number
// (from 1), the block cost of its parse, whether its costs came from integer
// code lengths of the best statistics so far, and whether it was the
// cheapest so far.
struct iteration_report {
    uint32_t iteration;
    uint64_t cost;
    bool integer_lengths;
    bool improved;
};
using iteration_observer = void (*)(const iteration_report& report, void* context);
// Test hook: zopfli_lz77_optimal calls `observer` on the calling thread after
// every iteration of a parse with more than one iteration (null: no calls).
void zopfli_set_iteration_observer(iteration_observer observer, void* context);

// Benchmark hooks for the calling thread's parses. With `on` false the
// iterated parse runs all its iterations instead of stopping after its
// no-improvement limit; the forward pass asks the general find where it would
// use the known-distance find (same matches, more work).
void zopfli_set_early_stop(bool on);
void zopfli_set_known_distance_find(bool on);

// Start-cost adjustments applied to a starting model.
void adjust_start_costs(symbol_stats* s, bool single_iteration, uint64_t block_length);

}  // namespace zopfli
