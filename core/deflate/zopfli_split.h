// Block splitting of the Zopfli-style compressor: parses a range once with the
// lazy matcher, searches the packed store for split points that lower the
// estimated compressed size, and hands back one statistics record per block.
#pragma once

#include <cstdint>

#include "core/deflate/zopfli_lz77.h"

namespace zopfli {

struct Zopflioptions;

// Appends the byte positions of the split points inside [start, end) to
// *points (count *npoints, grown by doubling) and one record per resulting
// block to *records, at indexes *npoints (before the call) onwards.
void zopfli_block_split(const Zopflioptions* opts, const unsigned char* in, uint64_t start, uint64_t end,
                        uint64_t** points, uint64_t* npoints, symbol_stats** records);

}  // namespace zopfli
