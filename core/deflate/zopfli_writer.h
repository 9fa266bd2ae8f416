// Block writer of the Zopfli-style compressor: emits one fixed or dynamic
// DEFLATE block from a plain LZ77 store at the current bit position of a
// growing output buffer, after turning short matches back into literals where
// the block's own code lengths make that cheaper.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zopfli {

// btype 1 fixed, 2 dynamic. When refine_passes is not 0 the writer releases
// the store's arrays (including arrays it replaced); otherwise the caller does.
void zopfli_write_block(int btype, int final, uint16_t* litlens, uint16_t* dists, uint64_t count,
                        uint64_t length, unsigned char* bp, unsigned char** out, size_t* outsize,
                        int tree_search, const unsigned char* in, uint64_t instart, uint32_t refine_passes,
                        uint32_t exact_tree);

// The same, also reporting the size in bits predicted for the block before it
// was written.
void zopfli_write_block_predicted(int btype, int final, uint16_t* litlens, uint16_t* dists, uint64_t count,
                                  uint64_t length, unsigned char* bp, unsigned char** out, size_t* outsize,
                                  int tree_search, const unsigned char* in, uint64_t instart,
                                  uint32_t refine_passes, uint32_t exact_tree, uint64_t* predicted_bits);

}  // namespace zopfli
