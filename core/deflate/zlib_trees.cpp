// Block coder: builds each block's Huffman trees from the tallied frequencies,
// picks the smallest of a stored, fixed-code and dynamic-code block (RFC 1951)
// and either writes it to the pending output or, in measuring mode, only adds
// its size. Bits collect in a 64-bit buffer that leaves eight bytes at a time
// with one little-endian store, which keeps the number of stores low.
#include "core/deflate/zlib_trees.h"

#include <cstring>

namespace zdeflate {
namespace {

constexpr int length_codes = 29;

constexpr std::array<std::uint8_t, length_codes> length_extra = {
    0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<std::uint8_t, dist_symbols> dist_extra = {
    0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr std::array<std::uint8_t, codelen_symbols> codelen_extra = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 7};
// Order in which the code-length code lengths are sent.
constexpr std::array<std::uint8_t, codelen_symbols> codelen_order = {
    16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

constexpr int repeat_previous = 16;  // 3..6 copies of the previous length, 2 extra bits
constexpr int repeat_zero_short = 17;  // 3..10 zeros, 3 extra bits
constexpr int repeat_zero_long = 18;  // 11..138 zeros, 7 extra bits

constexpr unsigned reverse_bits(unsigned code, int length) {
    unsigned r = 0;
    for (int i = 0; i < length; ++i) {
        r = (r << 1) | (code & 1);
        code >>= 1;
    }
    return r;
}

// Base of each length code, in units of length - 3.
constexpr std::array<std::uint8_t, length_codes> make_length_base() {
    std::array<std::uint8_t, length_codes> base{};
    unsigned length = 0;
    for (int code = 0; code < length_codes - 1; ++code) {
        base[code] = static_cast<std::uint8_t>(length);
        length += 1u << length_extra[code];
    }
    base[length_codes - 1] = 0;  // length 258 has a code of its own, no extra bits
    return base;
}
constexpr auto length_base = make_length_base();

// Base of each distance code, in units of distance - 1.
constexpr std::array<std::uint16_t, dist_symbols> make_dist_base() {
    std::array<std::uint16_t, dist_symbols> base{};
    unsigned dist = 0;
    for (int code = 0; code < dist_symbols; ++code) {
        base[code] = static_cast<std::uint16_t>(dist);
        dist += 1u << dist_extra[code];
    }
    return base;
}
constexpr auto dist_base = make_dist_base();

constexpr std::array<std::uint8_t, 256> make_length_codes() {
    std::array<std::uint8_t, 256> table{};
    unsigned length = 0;
    for (int code = 0; code < length_codes - 1; ++code)
        for (unsigned n = 0; n < (1u << length_extra[code]); ++n) table[length++] = static_cast<std::uint8_t>(code);
    table[255] = length_codes - 1;
    return table;
}

constexpr std::array<std::uint8_t, 512> make_dist_codes() {
    std::array<std::uint8_t, 512> table{};
    unsigned dist = 0;
    int code = 0;
    for (; code < 16; ++code)
        for (unsigned n = 0; n < (1u << dist_extra[code]); ++n) table[dist++] = static_cast<std::uint8_t>(code);
    dist >>= 7;
    for (; code < dist_symbols; ++code)
        for (unsigned n = 0; n < (1u << (dist_extra[code] - 7)); ++n)
            table[256 + dist++] = static_cast<std::uint8_t>(code);
    return table;
}

// Assigns canonical codes (bit-reversed) to symbols 0..max_symbol by length.
void assign_codes(tree_node* tree, int max_symbol, const std::uint16_t* counts) {
    std::uint16_t next[max_code_bits + 1] = {};
    unsigned code = 0;
    for (int bits = 1; bits <= max_code_bits; ++bits) {
        code = (code + counts[bits - 1]) << 1;
        next[bits] = static_cast<std::uint16_t>(code);
    }
    for (int n = 0; n <= max_symbol; ++n) {
        int len = tree[n].dl;
        if (len == 0) continue;
        tree[n].fc = static_cast<std::uint16_t>(reverse_bits(next[len]++, len));
    }
}

struct fixed_trees {
    std::array<tree_node, 288> litlen{};
    std::array<tree_node, dist_symbols> dist{};
    fixed_trees() {
        std::uint16_t counts[max_code_bits + 1] = {};
        for (int n = 0; n < 288; ++n) {
            int len = n < 144 ? 8 : n < 256 ? 9 : n < 280 ? 7 : 8;
            litlen[n].dl = static_cast<std::uint16_t>(len);
            counts[len]++;
        }
        assign_codes(litlen.data(), 287, counts);
        for (int n = 0; n < dist_symbols; ++n) {
            dist[n].dl = 5;
            dist[n].fc = static_cast<std::uint16_t>(reverse_bits(n, 5));
        }
    }
};
const fixed_trees fixed;

}  // namespace

struct fixed_descriptor {
    const tree_node* tree;  // fixed codes, or null
    const std::uint8_t* extra_bits;
    int extra_base;  // first symbol with extra bits
    int symbols;
    int longest_code;
};

namespace {

const fixed_descriptor litlen_fixed = {fixed.litlen.data(), length_extra.data(), end_of_block + 1,
                                       litlen_symbols, max_code_bits};
const fixed_descriptor dist_fixed = {fixed.dist.data(), dist_extra.data(), 0, dist_symbols, max_code_bits};
const fixed_descriptor codelen_fixed = {nullptr, codelen_extra.data(), 0, codelen_symbols, max_codelen_bits};

// ---- bit output -------------------------------------------------------------

inline void store_le64(std::uint8_t* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

inline void send_bits(deflate_state* s, std::uint64_t value, int length) {
    // length <= 16, so an overflow only happens with bit_count >= 48.
    s->bit_buffer |= value << s->bit_count;
    int total = s->bit_count + length;
    if (total >= 64) {
        store_le64(s->pending_buffer + s->pending_count, s->bit_buffer);
        s->pending_count += 8;
        s->bit_buffer = value >> (64 - s->bit_count);
        total -= 64;
    }
    s->bit_count = total;
}

inline void send_code(deflate_state* s, int symbol, const tree_node* tree) {
    send_bits(s, tree[symbol].fc, tree[symbol].dl);
}

inline void put_short_le(deflate_state* s, unsigned w) {
    put_pending_byte(s, static_cast<std::uint8_t>(w));
    put_pending_byte(s, static_cast<std::uint8_t>(w >> 8));
}

// Empties the bit buffer up to the next byte boundary.
void align_bit_buffer(deflate_state* s) {
    while (s->bit_count >= 16) {
        put_short_le(s, static_cast<unsigned>(s->bit_buffer & 0xFFFF));
        s->bit_buffer >>= 16;
        s->bit_count -= 16;
    }
    if (s->bit_count > 8) {
        put_short_le(s, static_cast<unsigned>(s->bit_buffer & 0xFFFF));
    } else if (s->bit_count > 0) {
        put_pending_byte(s, static_cast<std::uint8_t>(s->bit_buffer));
    }
    s->bit_buffer = 0;
    s->bit_count = 0;
}

// ---- tree building ----------------------------------------------------------

inline bool precedes(const tree_node* tree, int a, int b, const std::uint8_t* depth) {
    return tree[a].fc < tree[b].fc || (tree[a].fc == tree[b].fc && depth[a] <= depth[b]);
}

void heap_sift_down(deflate_state* s, const tree_node* tree, int k) {
    int v = s->heap[k];
    int j = k << 1;
    while (j <= s->heap_size) {
        if (j < s->heap_size && precedes(tree, s->heap[j + 1], s->heap[j], s->node_depth)) ++j;
        if (precedes(tree, v, s->heap[j], s->node_depth)) break;
        s->heap[k] = s->heap[j];
        k = j;
        j <<= 1;
    }
    s->heap[k] = v;
}

// Code lengths from the built tree, limited to the descriptor's longest code;
// adds the block's bit costs with these lengths and with the fixed codes.
void assign_lengths(deflate_state* s, tree_descriptor* d) {
    tree_node* tree = d->tree;
    const fixed_descriptor* f = d->fixed;
    const int max_symbol = d->max_symbol;
    const int longest = f->longest_code;
    int overflow = 0;

    for (auto& c : s->length_counts) c = 0;
    tree[s->heap[s->heap_top]].dl = 0;  // root
    int h = s->heap_top + 1;
    for (; h < heap_capacity; ++h) {
        int n = s->heap[h];
        int bits = tree[tree[n].dl].dl + 1;
        if (bits > longest) {
            bits = longest;
            ++overflow;
        }
        tree[n].dl = static_cast<std::uint16_t>(bits);
        if (n > max_symbol) continue;  // internal node
        s->length_counts[bits]++;
        int extra = n >= f->extra_base ? f->extra_bits[n - f->extra_base] : 0;
        std::uint64_t freq = tree[n].fc;
        s->dynamic_bits += freq * static_cast<std::uint64_t>(bits + extra);
        if (f->tree) s->fixed_bits += freq * static_cast<std::uint64_t>(f->tree[n].dl + extra);
    }
    if (overflow == 0) return;

    // Move codes out of the overlong lengths: each step turns a leaf at some
    // shorter length into an internal node, making room for two codes.
    do {
        int bits = longest - 1;
        while (s->length_counts[bits] == 0) --bits;
        s->length_counts[bits]--;
        s->length_counts[bits + 1] += 2;
        s->length_counts[longest]--;
        overflow -= 2;
    } while (overflow > 0);

    // Hand out the corrected lengths, most frequent leaves getting the shortest.
    for (int bits = longest; bits != 0; --bits) {
        int n = s->length_counts[bits];
        while (n != 0) {
            int m = s->heap[--h];
            if (m > max_symbol) continue;
            if (tree[m].dl != bits) {
                s->dynamic_bits += (static_cast<std::uint64_t>(bits) - tree[m].dl) * tree[m].fc;
                tree[m].dl = static_cast<std::uint16_t>(bits);
            }
            --n;
        }
    }
}

}  // namespace

void build_huffman_tree(deflate_state* s, tree_descriptor* d) {
    tree_node* tree = d->tree;
    const fixed_descriptor* f = d->fixed;
    const int symbols = f->symbols;
    int max_symbol = -1;

    s->heap_size = 0;
    s->heap_top = heap_capacity;
    for (int n = 0; n < symbols; ++n) {
        if (tree[n].fc != 0) {
            s->heap[++s->heap_size] = max_symbol = n;
            s->node_depth[n] = 0;
        } else {
            tree[n].dl = 0;
        }
    }
    // Deflate needs at least two codes: add dummy symbols of frequency 1.
    while (s->heap_size < 2) {
        int node = max_symbol < 2 ? ++max_symbol : 0;
        s->heap[++s->heap_size] = node;
        tree[node].fc = 1;
        s->node_depth[node] = 0;
        s->dynamic_bits -= 1;
        if (f->tree) s->fixed_bits -= f->tree[node].dl;
    }
    d->max_symbol = max_symbol;

    for (int n = s->heap_size / 2; n >= 1; --n) heap_sift_down(s, tree, n);

    int node = symbols;
    do {
        int n = s->heap[1];
        s->heap[1] = s->heap[s->heap_size--];
        heap_sift_down(s, tree, 1);
        int m = s->heap[1];
        s->heap[--s->heap_top] = n;
        s->heap[--s->heap_top] = m;
        tree[node].fc = static_cast<std::uint16_t>(tree[n].fc + tree[m].fc);
        std::uint8_t dn = s->node_depth[n], dm = s->node_depth[m];
        s->node_depth[node] = static_cast<std::uint8_t>((dn >= dm ? dn : dm) + 1);
        tree[n].dl = tree[m].dl = static_cast<std::uint16_t>(node);
        s->heap[1] = node++;
        heap_sift_down(s, tree, 1);
    } while (s->heap_size >= 2);
    s->heap[--s->heap_top] = s->heap[1];

    assign_lengths(s, d);
    assign_codes(tree, max_symbol, s->length_counts);
}

namespace {

// Walks the runs of a code-length list as the code-length alphabet sees them;
// Send = false counts symbol frequencies, Send = true writes them.
template <bool Send>
void walk_tree_runs(deflate_state* s, tree_node* tree, int max_symbol) {
    tree_node* cl = s->codelen_tree;
    int prev_len = -1;
    int next_len = tree[0].dl;
    int count = 0;
    int max_count = 7, min_count = 4;
    if (next_len == 0) max_count = 138, min_count = 3;
    if (!Send) tree[max_symbol + 1].dl = 0xFFFF;  // guard; still in place when sending
    for (int n = 0; n <= max_symbol; ++n) {
        int cur_len = next_len;
        next_len = tree[n + 1].dl;
        if (++count < max_count && cur_len == next_len) continue;
        if (count < min_count) {
            if (Send) {
                do send_code(s, cur_len, cl);
                while (--count != 0);
            } else {
                cl[cur_len].fc = static_cast<std::uint16_t>(cl[cur_len].fc + count);
            }
        } else if (cur_len != 0) {
            if (cur_len != prev_len) {
                if (Send) send_code(s, cur_len, cl);
                else cl[cur_len].fc++;
                --count;
            }
            if (Send) {
                send_code(s, repeat_previous, cl);
                send_bits(s, count - 3, 2);
            } else {
                cl[repeat_previous].fc++;
            }
        } else if (count <= 10) {
            if (Send) {
                send_code(s, repeat_zero_short, cl);
                send_bits(s, count - 3, 3);
            } else {
                cl[repeat_zero_short].fc++;
            }
        } else {
            if (Send) {
                send_code(s, repeat_zero_long, cl);
                send_bits(s, count - 11, 7);
            } else {
                cl[repeat_zero_long].fc++;
            }
        }
        count = 0;
        prev_len = cur_len;
        if (next_len == 0) max_count = 138, min_count = 3;
        else if (cur_len == next_len) max_count = 6, min_count = 3;
        else max_count = 7, min_count = 4;
    }
}

void count_tree_runs(deflate_state* s, tree_node* tree, int max_symbol) {
    walk_tree_runs<false>(s, tree, max_symbol);
}
void send_tree_runs(deflate_state* s, tree_node* tree, int max_symbol) {
    walk_tree_runs<true>(s, tree, max_symbol);
}

// Builds the code-length tree; returns k, the index in codelen_order of the
// last code-length symbol whose length is sent (the header sends k + 1).
int build_codelen_tree(deflate_state* s) {
    count_tree_runs(s, s->litlen_tree, s->litlen_desc.max_symbol);
    count_tree_runs(s, s->dist_tree, s->dist_desc.max_symbol);
    build_huffman_tree(s, &s->codelen_desc);
    int k = codelen_symbols - 1;
    for (; k >= 3; --k)
        if (s->codelen_tree[codelen_order[k]].dl != 0) break;
    s->dynamic_bits += 3 * (static_cast<std::uint64_t>(k) + 1) + 5 + 5 + 4;
    return k;
}

void emit_block_symbols(deflate_state* s, const tree_node* litlen, const tree_node* dist) {
    for (std::uint32_t i = 0; i < s->symbol_count; ++i) {
        unsigned d = s->sym_dists[i];
        unsigned lc = s->sym_lengths[i];
        if (d == 0) {
            send_code(s, static_cast<int>(lc), litlen);
            continue;
        }
        unsigned code = length_code_table[lc];
        send_code(s, static_cast<int>(code) + end_of_block + 1, litlen);
        if (int extra = length_extra[code]) send_bits(s, lc - length_base[code], extra);
        --d;
        code = dist_code(d);
        send_code(s, static_cast<int>(code), dist);
        if (int extra = dist_extra[code]) send_bits(s, d - dist_base[code], extra);
    }
    send_code(s, end_of_block, litlen);
}

void emit_dynamic_header(deflate_state* s, int k) {
    send_bits(s, static_cast<unsigned>(s->litlen_desc.max_symbol + 1 - 257), 5);
    send_bits(s, static_cast<unsigned>(s->dist_desc.max_symbol), 5);
    send_bits(s, static_cast<unsigned>(k + 1 - 4), 4);
    for (int r = 0; r <= k; ++r) send_bits(s, s->codelen_tree[codelen_order[r]].dl, 3);
    send_tree_runs(s, s->litlen_tree, s->litlen_desc.max_symbol);
    send_tree_runs(s, s->dist_tree, s->dist_desc.max_symbol);
}

void start_block(deflate_state* s) {
    for (int n = 0; n < litlen_symbols; ++n) s->litlen_tree[n].fc = 0;
    for (int n = 0; n < dist_symbols; ++n) s->dist_tree[n].fc = 0;
    for (int n = 0; n < codelen_symbols; ++n) s->codelen_tree[n].fc = 0;
    s->litlen_tree[end_of_block].fc = 1;
    s->dynamic_bits = s->fixed_bits = 0;
    s->symbol_count = 0;
}

}  // namespace

const std::array<std::uint8_t, 256> length_code_table = make_length_codes();
const std::array<std::uint8_t, 512> dist_code_table = make_dist_codes();

void block_coder_init(deflate_state* s) {
    s->litlen_desc = {s->litlen_tree, 0, &litlen_fixed};
    s->dist_desc = {s->dist_tree, 0, &dist_fixed};
    s->codelen_desc = {s->codelen_tree, 0, &codelen_fixed};
    s->bit_buffer = 0;
    s->bit_count = 0;
    start_block(s);
}

void flush_bit_buffer(deflate_state* s) {
    while (s->bit_count >= 16) {
        put_short_le(s, static_cast<unsigned>(s->bit_buffer & 0xFFFF));
        s->bit_buffer >>= 16;
        s->bit_count -= 16;
    }
    if (s->bit_count >= 8) {
        put_pending_byte(s, static_cast<std::uint8_t>(s->bit_buffer));
        s->bit_buffer >>= 8;
        s->bit_count -= 8;
    }
}

void emit_stored_block(deflate_state* s, const std::uint8_t* bytes, std::uint32_t count, bool last) {
    send_bits(s, last ? 1u : 0u, 3);
    align_bit_buffer(s);
    put_short_le(s, count & 0xFFFF);
    put_short_le(s, ~count & 0xFFFF);
    if (count) std::memcpy(s->pending_buffer + s->pending_count, bytes, count);
    s->pending_count += count;
}

void emit_align_block(deflate_state* s) {
    send_bits(s, 1u << 1, 3);
    send_code(s, end_of_block, fixed.litlen.data());
    flush_bit_buffer(s);
}

void finish_block(deflate_state* s, const std::uint8_t* bytes, std::uint64_t stored_length, bool last,
                  uLong* measure) {
    std::uint32_t dyn, fix, best;
    int k = 0;
    if (s->level > 0) {
        build_huffman_tree(s, &s->litlen_desc);
        build_huffman_tree(s, &s->dist_desc);
        k = build_codelen_tree(s);
        dyn = static_cast<std::uint32_t>((s->dynamic_bits + 3 + 7) >> 3);
        fix = static_cast<std::uint32_t>((s->fixed_bits + 3 + 7) >> 3);
        best = fix <= dyn ? fix : dyn;
    } else {
        dyn = fix = best = static_cast<std::uint32_t>(stored_length + 5);
    }

    enum { stored, fixed_codes, dynamic_codes } kind;
    if (stored_length + 4 <= best && bytes) kind = stored;
    else if (fix <= dyn) kind = fixed_codes;
    else kind = dynamic_codes;

    if (!measure) {
        switch (kind) {
        case stored:
            emit_stored_block(s, bytes, static_cast<std::uint32_t>(stored_length), last);
            break;
        case fixed_codes:
            send_bits(s, (1u << 1) + (last ? 1 : 0), 3);
            emit_block_symbols(s, fixed.litlen.data(), fixed.dist.data());
            break;
        case dynamic_codes:
            send_bits(s, (2u << 1) + (last ? 1 : 0), 3);
            emit_dynamic_header(s, k);
            emit_block_symbols(s, s->litlen_tree, s->dist_tree);
            break;
        }
    } else {
        // Whole bytes of the block go to pending_count, the partial last byte
        // stays in bit_count for the next block.
        std::int32_t t;
        switch (kind) {
        case stored:
            t = s->bit_count + 3;
            s->pending_count += static_cast<std::uint32_t>((t >> 3) + ((t & 7) ? 1 : 0) + 4) +
                                static_cast<std::uint32_t>(stored_length);
            s->bit_buffer = 0;
            s->bit_count = 0;
            break;
        case fixed_codes:
            t = static_cast<std::int32_t>(static_cast<std::uint32_t>(s->bit_count) +
                                          static_cast<std::uint32_t>(s->fixed_bits) + 3);
            s->pending_count += static_cast<std::uint32_t>(t >> 3);
            s->bit_count = t & 7;
            break;
        case dynamic_codes:
            t = static_cast<std::int32_t>(static_cast<std::uint32_t>(s->bit_count) +
                                          static_cast<std::uint32_t>(s->dynamic_bits) + 3);
            s->pending_count += static_cast<std::uint32_t>(t >> 3);
            s->bit_count = t & 7;
            break;
        }
    }

    start_block(s);

    if (last) {
        if (!measure) {
            align_bit_buffer(s);
        } else {
            if (s->bit_count > 8) s->pending_count += 2;
            else if (s->bit_count > 0) s->pending_count += 1;
            s->bit_count = 0;
        }
    }
    if (measure) {
        *measure += s->pending_count;
        s->pending_count = 0;
    }
}

}  // namespace zdeflate
