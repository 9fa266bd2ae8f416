// Block coder of the zdeflate stream: symbol tally, Huffman trees, the choice
// between stored, fixed-code and dynamic-code blocks, bit output through a
// 64-bit buffer, and block sizing without output for measuring mode.
#pragma once

#include "core/deflate/zlib_state.h"

#include <array>
#include <cstdint>

namespace zdeflate {

// Code of each match length - 3 (0..255), and of each distance - 1: entries
// 0..255 for distances 1..256, 256 + ((distance - 1) >> 7) above.
extern const std::array<std::uint8_t, 256> length_code_table;
extern const std::array<std::uint8_t, 512> dist_code_table;

inline unsigned dist_code(unsigned dist_minus_one) {
    return dist_minus_one < 256 ? dist_code_table[dist_minus_one]
                                : dist_code_table[256 + (dist_minus_one >> 7)];
}

void block_coder_init(deflate_state* s);

// Tally a literal or a match; both return true when the symbol buffer is full.
inline bool tally_literal(deflate_state* s, std::uint8_t byte) {
    s->sym_dists[s->symbol_count] = 0;
    s->sym_lengths[s->symbol_count] = byte;
    s->symbol_count++;
    s->litlen_tree[byte].fc++;
    return s->symbol_count == s->symbol_capacity - 1;
}
inline bool tally_match(deflate_state* s, unsigned distance, unsigned length_minus_3) {
    s->sym_dists[s->symbol_count] = static_cast<std::uint16_t>(distance);
    s->sym_lengths[s->symbol_count] = static_cast<std::uint8_t>(length_minus_3);
    s->symbol_count++;
    s->litlen_tree[length_code_table[length_minus_3] + end_of_block + 1].fc++;
    s->dist_tree[dist_code(distance - 1)].fc++;
    return s->symbol_count == s->symbol_capacity - 1;
}

// Ends the current block. bytes: the block's input while it is still in the
// window, else null. measure: the stream's total_out in measuring mode.
void finish_block(deflate_state* s, const std::uint8_t* bytes, std::uint64_t stored_length,
                  bool last, uLong* measure);

// Builds the Huffman tree of a descriptor from the frequencies in its tree:
// code lengths limited to the alphabet's longest code, canonical codes, and
// the block's bit costs added to dynamic_bits and fixed_bits.
void build_huffman_tree(deflate_state* s, tree_descriptor* d);

// Stored block; with no bytes and count 0 the empty marker of sync/full flush.
void emit_stored_block(deflate_state* s, const std::uint8_t* bytes, std::uint32_t count, bool last);

// Marker of a partial flush: an empty fixed-code block.
void emit_align_block(deflate_state* s);

// Moves whole bytes of the bit buffer to the pending output (at most 7 bits stay).
void flush_bit_buffer(deflate_state* s);

inline void put_pending_byte(deflate_state* s, std::uint8_t b) {
    s->pending_buffer[s->pending_count++] = b;
}

}  // namespace zdeflate
