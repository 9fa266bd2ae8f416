// Zopfli-style optimal DEFLATE compressor: options and the entry point.
// The input is cut into master blocks of 5,000,000 bytes, each split into
// blocks by estimated cost; every block is parsed by an iterated shortest-path
// parse (or against the fixed code) and written as a fixed or dynamic block.
// With two or more threads the blocks of all master blocks are parsed by
// worker threads and written in input order; the stream then does not depend
// on the number of threads. Allocation failure ends the engine with exit code 1.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zopfli {

struct Zopflioptions {
    uint32_t iterations;            // iterations of the optimal parse
    uint32_t fixed_only_max_bytes;  // blocks up to this size take only the fixed-tree parse
    uint32_t fixed_trial_symbols;   // fewer parsed symbols: also try the fixed tree
    uint32_t split_min_bytes;       // shorter ranges are not split; shorter inputs run single-threaded
    uint32_t split_min_symbols;     // stores with fewer symbols are not split
    uint32_t split_probes;          // probes per narrowing step of the split search
    uint32_t tree_search;           // 0, 1 or 2: 1, 9 or 32 tree-header encodings tried
    uint32_t threads;               // worker threads allowed
    uint32_t tuned;                 // start-cost adjustments for runs of at most 8 iterations
    uint32_t refine_passes;         // match-to-literal refinement passes of the block writer
    uint32_t lazy_stop_length;      // lazy matcher takes matches this long at once
    uint32_t exact_tree;            // writer measures exact tree sizes and searches code-length sets
    uint8_t no_start_stats;         // optimal parse does not start from the splitter's statistics
};

// Fills every field from the mode (0..9, or an iteration count from 10 on),
// thread count, flag (1 in every call), iteration override (-1 = none) and
// special value; returns opts.
Zopflioptions* zopfli_init_options(Zopflioptions* opts, uint32_t mode, uint32_t threads, int32_t flag,
                                   int32_t iteration_override, uint8_t special);

// Appends raw DEFLATE blocks for in[0, insize) at bit position *bp (0..7) of
// the last byte of *out (a malloc'd buffer or null, grown with realloc).
// final = 1 gives the last block BFINAL = 1.
void zopfli_deflate(const Zopflioptions* opts, int final, const unsigned char* in, size_t insize,
                    unsigned char* bp, unsigned char** out, size_t* outsize);

}  // namespace zopfli
