// Huffman machinery of the Zopfli-style compressor: length-limited code
// lengths by boundary package-merge, canonical codes, the two count-smoothing
// styles that make code lengths cheaper to send, the exact size of a tree
// header under several run-length encoding variants and the search for the
// cheapest variant, and the block-cost functions used to compare parses and
// split points. Sizes are in bits.
#pragma once

#include <cstdint>

#include "core/deflate/zopfli_lz77.h"

namespace zopfli {

// Tree-encoding variant bits: code 16 allowed, code 17, code 18, eight-split, seven-split.
enum : int { kUse16 = 1, kUse17 = 2, kUse18 = 4, kSplit8 = 8, kSplit7 = 16 };

void zopfli_length_limited_lengths(const uint64_t* counts, int n, int maxbits, uint32_t* lengths);
void canonical_codes(const uint32_t* lengths, int n, int maxbits, uint32_t* codes);

void smooth_style_a(uint64_t* counts, int n);
void smooth_style_b(uint64_t* counts, int n);

// Style-A smoothed copies of both count arrays, then 15-bit limited lengths.
void dynamic_lengths(const uint64_t* ll_counts, const uint64_t* d_counts, uint32_t* ll_lengths,
                     uint32_t* d_lengths);

uint64_t data_bits(const uint64_t* ll_counts, const uint64_t* d_counts, const uint32_t* ll_lengths,
                   const uint32_t* d_lengths);

// Gives at least two distance codes a length (1), as inflaters expect.
void patch_distance_lengths(uint32_t* d_lengths);

// One run-length symbol of a tree header: code-length symbol 0..18 and its extra value.
struct tree_symbol {
    uint8_t symbol;
    uint8_t extra;
};
// The run-length symbols of the header for the given lengths and variant;
// returns their number (out holds room for 286 + 30 entries).
int tree_symbols(const uint32_t* ll_lengths, const uint32_t* d_lengths, int variant, tree_symbol* out,
                 int* hlit, int* hdist);
// The code-length-code lengths and the number of them sent (HCLEN + 4).
void tree_code_lengths(const tree_symbol* syms, int count, uint32_t* cl_lengths, int* hclen);
extern const int kCodeLengthOrder[19];

uint64_t tree_bits(const uint32_t* ll_lengths, const uint32_t* d_lengths, int variant);
// Patches the distance lengths, then returns the smallest tree bits among the
// variants of mode 0 (variant 7), 1 (nine candidates) or 2 (thirty-two).
// The ninth candidate of mode 1 is returned as the variant it was measured
// with (code 16 with both splits).
uint64_t tree_size_search(const uint32_t* ll_lengths, uint32_t* d_lengths, int mode, int* variant);

uint64_t fixed_block_cost(const lz77_store* s, uint64_t start, uint64_t end);
uint64_t dynamic_block_cost(const lz77_store* s, uint64_t start, uint64_t end, int tree_search, bool packed);
// Cost of a block with the given counts (real counts for the data bits).
uint64_t dynamic_block_cost_from_counts(const uint64_t* ll_counts, const uint64_t* d_counts, int tree_search);

}  // namespace zopfli
