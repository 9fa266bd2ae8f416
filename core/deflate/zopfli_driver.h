// Threaded driver of the Zopfli-style compressor: the per-block work item,
// the worker body and the single-thread path for one master block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "core/deflate/zopfli.h"
#include "core/deflate/zopfli_lz77.h"

namespace zopfli {

inline constexpr uint64_t kMasterBlockSize = 5000000;

struct BlockData {
    uint32_t btype;  // 2 parsed for a dynamic block, 1 for a fixed block
    lz77_store store;
    uint64_t start;
    uint64_t end;
    symbol_stats* stats;
};

// Takes items from the shared cursor until none are left and parses each.
void zopfli_block_worker(const Zopflioptions* opts, const unsigned char* in, BlockData** cursor,
                         BlockData* end, std::mutex& mutex);

void zopfli_deflate_master_block(const Zopflioptions* opts, int final, const unsigned char* in, uint64_t start,
                                 uint64_t end, unsigned char* bp, unsigned char** out, size_t* outsize);

// Test hook: the calling thread's zopfli_deflate calls start at most this many
// worker threads and treat further starts as failed (-1: no limit).
void zopfli_set_thread_start_limit(int limit);
// Number of worker threads the calling thread's last zopfli_deflate started.
int zopfli_last_thread_count();

}  // namespace zopfli
