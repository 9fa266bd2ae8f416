// The private record of a zdeflate stream, shared by the stream driver, the
// window and parsers, and the block coder. Callers outside core/deflate use
// only zlib_deflate.h; tests read the record to check buffer layout.
#pragma once

#include "core/deflate/zlib_deflate.h"

#include <cstdint>

namespace zdeflate {

inline constexpr unsigned min_match = 3;
inline constexpr unsigned max_match = 258;
inline constexpr unsigned min_lookahead = max_match + min_match + 1;  // 262
inline constexpr unsigned zero_fill_margin = max_match;

// Slack behind the pending output so an 8-byte store of the bit buffer can
// never pass the end of the allocation.
inline constexpr std::uint64_t pending_slack = 64;

inline constexpr int status_init = 42;
inline constexpr int status_busy = 113;
inline constexpr int status_finish = 666;

inline constexpr int litlen_symbols = 286;  // literal/length codes in use
inline constexpr int dist_symbols = 30;
inline constexpr int codelen_symbols = 19;
inline constexpr int heap_capacity = 2 * litlen_symbols + 1;  // 573
inline constexpr int max_code_bits = 15;
inline constexpr int max_codelen_bits = 7;
inline constexpr int end_of_block = 256;

// A tree node: while counting, fc is the frequency and dl the parent; once the
// tree is built, fc is the bit-reversed code and dl the code length.
struct tree_node {
    std::uint16_t fc;
    std::uint16_t dl;
};

struct fixed_descriptor;

struct tree_descriptor {
    tree_node* tree;
    int max_symbol;
    const fixed_descriptor* fixed;
};

struct deflate_state {
    z_stream* stream;
    int status;
    std::uint8_t* pending_buffer;
    std::uint64_t pending_capacity;
    std::uint8_t* pending_next;
    std::uint32_t pending_count;
    int wrapper;  // 1 zlib, 0 raw; negated once the trailer is written
    std::uint8_t method_code;
    int previous_flush;

    std::uint32_t window_bytes;
    std::uint32_t window_bits;
    std::uint32_t window_mask;
    std::uint8_t* window;
    std::uint64_t window_capacity;
    std::uint16_t* chain_prev;
    std::uint16_t* chain_head;

    std::uint32_t insert_hash;
    std::uint32_t hash_entries;
    std::uint32_t hash_width;
    std::uint32_t hash_bitmask;
    std::uint32_t hash_step;

    std::int32_t block_origin;

    std::uint32_t cur_length;
    std::uint32_t prev_match_pos;
    int literal_deferred;
    std::uint32_t cur_pos;
    std::uint32_t match_pos;
    std::uint32_t lookahead;
    std::uint32_t prev_length;

    std::uint32_t max_chain;
    std::uint32_t max_lazy;
    int level;
    int strategy;
    std::uint32_t good_length;
    int nice_length;

    // Block coder.
    tree_node litlen_tree[heap_capacity];
    tree_node dist_tree[2 * dist_symbols + 1];
    tree_node codelen_tree[2 * codelen_symbols + 1];
    tree_descriptor litlen_desc;
    tree_descriptor dist_desc;
    tree_descriptor codelen_desc;
    std::uint16_t length_counts[max_code_bits + 1];
    int heap[heap_capacity];
    int heap_size;
    int heap_top;
    std::uint8_t node_depth[heap_capacity];
    // The symbol buffer lives in an allocation of its own (symbol_buffer), apart
    // from the pending output, so coded output can never reach unread symbols.
    std::uint8_t* symbol_buffer;
    std::uint8_t* sym_lengths;  // literal, or match length - 3
    std::uint32_t symbol_capacity;
    std::uint32_t symbol_count;
    std::uint16_t* sym_dists;   // distance, 0 for a literal
    std::uint64_t dynamic_bits;
    std::uint64_t fixed_bits;

    std::uint32_t pending_inserts;
    std::uint64_t bit_buffer;
    int bit_count;
    std::uint64_t zeroed_end;
};

inline deflate_state* state_of(z_stream* strm) {
    return reinterpret_cast<deflate_state*>(strm->state);
}
inline const deflate_state* state_of(const z_stream* strm) {
    return reinterpret_cast<const deflate_state*>(strm->state);
}

// Bytes of the symbol buffer for a given capacity: u16 distances then u8 lengths.
inline std::uint64_t symbol_buffer_bytes(std::uint32_t capacity) {
    return std::uint64_t(capacity) * 3;
}
// Pending output: one block's worst case (stored blocks at level 0 can span the
// whole window), a marker block and trailer, and the 8-byte store slack.
inline std::uint64_t pending_buffer_bytes(std::uint32_t symbol_capacity, std::uint32_t window_bytes) {
    std::uint64_t coded = std::uint64_t(symbol_capacity) * 4;
    std::uint64_t stored = std::uint64_t(window_bytes) * 2;
    return (coded > stored ? coded : stored) + pending_slack;
}

// Hands pending output to next_out as far as avail_out allows.
void flush_pending(z_stream* strm);

}  // namespace zdeflate
