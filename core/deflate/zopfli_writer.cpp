// Fixed and dynamic block output with match-to-literal refinement and the
// exact search over code-length sets. The buffer is grown to the block's exact
// size before writing and every byte appended is bounds-checked as well.
#include "core/deflate/zopfli_writer.h"

#include <cstdlib>
#include <cstring>

#include "core/deflate/zopfli_check.h"
#include "core/deflate/zopfli_lz77.h"
#include "core/deflate/zopfli_symbols.h"
#include "core/deflate/zopfli_tree.h"
#include "core/fatal.h"

namespace zopfli {

namespace {

struct bit_writer {
    unsigned char** out;
    size_t* outsize;
    unsigned char* bp;
    size_t capacity;
};

void ensure_capacity(bit_writer& w, size_t bytes) {
    if (bytes <= w.capacity) return;
    size_t grown = w.capacity * 2 > bytes ? w.capacity * 2 : bytes;
    *w.out = static_cast<unsigned char*>(checked_realloc(*w.out, grown));
    std::memset(*w.out + w.capacity, 0, grown - w.capacity);
    w.capacity = grown;
}

inline void add_bit(bit_writer& w, uint32_t bit) {
    if (*w.bp == 0) {
        ensure_capacity(w, *w.outsize + 1);
        (*w.out)[(*w.outsize)++] = 0;
    }
    (*w.out)[*w.outsize - 1] |= static_cast<unsigned char>((bit & 1) << *w.bp);
    *w.bp = (*w.bp + 1) & 7;
}

// Extra bits and header fields: least-significant bit first.
inline void add_bits(bit_writer& w, uint32_t value, int count) {
    for (int i = 0; i < count; ++i) add_bit(w, value >> i);
}

// Huffman codes: most-significant bit first.
inline void add_code(bit_writer& w, uint32_t code, uint32_t length) {
    for (int i = static_cast<int>(length) - 1; i >= 0; --i) add_bit(w, code >> i);
}

void fixed_lengths(uint32_t* ll, uint32_t* d) {
    for (int i = 0; i < 144; ++i) ll[i] = 8;
    for (int i = 144; i < 256; ++i) ll[i] = 9;
    for (int i = 256; i < 280; ++i) ll[i] = 7;
    for (int i = 280; i < 288; ++i) ll[i] = 8;
    for (int i = 0; i < 32; ++i) d[i] = 5;
}

// Replaces matches of 3..7 bytes by their literals where the literals' codes
// are strictly shorter; returns false when nothing changed.
bool rewrite_short_matches(lz77_store* s, const uint32_t* ll_len, const uint32_t* d_len,
                           const unsigned char* in, uint64_t instart) {
    uint16_t* litlens = static_cast<uint16_t*>(checked_malloc(s->size * 7 * sizeof(uint16_t)));
    uint16_t* dists = static_cast<uint16_t*>(checked_malloc(s->size * 7 * sizeof(uint16_t)));
    uint64_t n = 0;
    uint64_t pos = instart;
    for (uint64_t i = 0; i < s->size; ++i) {
        uint32_t len = s->litlens[i];
        uint32_t dist = s->dists[i];
        if (dist != 0 && len >= 3 && len <= 7) {
            uint64_t match_cost = ll_len[length_symbol(len)] + length_extra_bits(len) +
                                  d_len[dist_symbol(dist)] + dist_extra_bits(dist);
            bool usable = true;
            uint64_t literal_cost = 0;
            for (uint32_t k = 0; k < len; ++k) {
                uint32_t b = in[pos + k];
                if (ll_len[b] == 0) usable = false;
                literal_cost += ll_len[b];
            }
            if (usable && literal_cost < match_cost) {
                for (uint32_t k = 0; k < len; ++k) {
                    litlens[n] = in[pos + k];
                    dists[n] = 0;
                    ++n;
                }
                pos += len;
                continue;
            }
        }
        litlens[n] = static_cast<uint16_t>(len);
        dists[n] = static_cast<uint16_t>(dist);
        ++n;
        pos += dist ? len : 1;
    }
    if (n == s->size) {
        std::free(litlens);
        std::free(dists);
        return false;
    }
    std::free(s->litlens);
    std::free(s->dists);
    s->litlens = litlens;
    s->dists = dists;
    s->size = n;
    return true;
}

// True when every symbol that occurs has a code.
bool covers_used(const uint64_t* counts, const uint32_t* lengths, int n) {
    for (int i = 0; i < n; ++i) {
        if (counts[i] && !lengths[i]) return false;
    }
    return true;
}

struct tree_choice {
    uint32_t ll[kNumLitLen];
    uint32_t d[kNumDist];
    int variant;
    uint64_t size;
};

// Size of a code-length set from (possibly smoothed) counts, measured with the
// real counts; false when the set would leave a used symbol without a code.
bool measure_candidate(const uint64_t* smooth_ll, const uint64_t* smooth_d, int maxbits, const uint64_t* ll_counts,
                       const uint64_t* d_counts, tree_choice* c) {
    zopfli_length_limited_lengths(smooth_ll, kNumLitLen, maxbits, c->ll);
    zopfli_length_limited_lengths(smooth_d, kNumDist, maxbits, c->d);
    if (!covers_used(ll_counts, c->ll, kNumLitLen) || !covers_used(d_counts, c->d, kNumDist)) return false;
    uint64_t tree = tree_size_search(c->ll, c->d, 2, &c->variant);
    c->size = data_bits(ll_counts, d_counts, c->ll, c->d) + tree;
    return true;
}

void exact_tree_search(const lz77_store* s, uint32_t* ll_len, uint32_t* d_len, int* variant) {
    uint64_t ll_counts[kNumLitLen], d_counts[kNumDist];
    lz77_histogram(s, 0, s->size, ll_counts, d_counts, false);

    tree_choice best;
    bool have_best = false;
    uint64_t best_ll[kNumLitLen], best_d[kNumDist];
    for (int style = 0; style < 3; ++style) {
        uint64_t ll[kNumLitLen], d[kNumDist];
        std::memcpy(ll, ll_counts, sizeof(ll));
        std::memcpy(d, d_counts, sizeof(d));
        if (style == 0) {
            smooth_style_a(ll, kNumLitLen);
            smooth_style_a(d, kNumDist);
        } else if (style == 1) {
            smooth_style_b(ll, kNumLitLen);
            smooth_style_b(d, kNumDist);
        }
        tree_choice c;
        if (!measure_candidate(ll, d, 15, ll_counts, d_counts, &c)) continue;
        if (!have_best || c.size < best.size) {
            best = c;
            have_best = true;
            std::memcpy(best_ll, ll, sizeof(ll));
            std::memcpy(best_d, d, sizeof(d));
        }
    }
    ZOPFLI_CHECK(have_best);
    for (int maxbits = 14; maxbits >= 9; --maxbits) {
        tree_choice c;
        if (!measure_candidate(best_ll, best_d, maxbits, ll_counts, d_counts, &c)) break;
        if (c.size < best.size) {
            best = c;
        } else if (c.size > best.size) {
            break;
        }
    }
    std::memcpy(ll_len, best.ll, sizeof(best.ll));
    std::memcpy(d_len, best.d, sizeof(best.d));
    *variant = best.variant;
}

void write_tree(bit_writer& w, const uint32_t* ll_len, const uint32_t* d_len, int variant) {
    tree_symbol syms[286 + 30];
    int hlit, hdist;
    int count = tree_symbols(ll_len, d_len, variant, syms, &hlit, &hdist);
    uint32_t cl_len[19], cl_codes[19];
    int hclen;
    tree_code_lengths(syms, count, cl_len, &hclen);
    canonical_codes(cl_len, 19, 7, cl_codes);
    add_bits(w, static_cast<uint32_t>(hlit - 257), 5);
    add_bits(w, static_cast<uint32_t>(hdist - 1), 5);
    add_bits(w, static_cast<uint32_t>(hclen - 4), 4);
    for (int i = 0; i < hclen; ++i) add_bits(w, cl_len[kCodeLengthOrder[i]], 3);
    for (int i = 0; i < count; ++i) {
        int s = syms[i].symbol;
        ZOPFLI_CHECK(cl_len[s] > 0);
        add_code(w, cl_codes[s], cl_len[s]);
        if (s == 16) add_bits(w, syms[i].extra, 2);
        if (s == 17) add_bits(w, syms[i].extra, 3);
        if (s == 18) add_bits(w, syms[i].extra, 7);
    }
}

// Checks every symbol against the input and the code lengths before anything
// is written, so a broken block never reaches the output.
void check_symbols(const lz77_store* s, const uint32_t* ll_len, const uint32_t* d_len, const unsigned char* in,
                   uint64_t instart, uint64_t length) {
    uint64_t test_length = 0;
    for (uint64_t i = 0; i < s->size; ++i) {
        uint32_t litlen = s->litlens[i];
        uint32_t dist = s->dists[i];
        if (dist == 0) {
            ZOPFLI_CHECK(litlen < 256);           // litlen < 256
            ZOPFLI_CHECK(ll_len[litlen] > 0);     // ll_lengths[litlen] > 0
            ZOPFLI_CHECK(test_length < length && in[instart + test_length] == litlen);
            test_length += 1;
        } else {
            ZOPFLI_CHECK(litlen >= 3 && litlen <= static_cast<uint32_t>(kMaxMatch));
            ZOPFLI_CHECK(ll_len[length_symbol(litlen)] > 0);
            ZOPFLI_CHECK(dist <= 32768 && d_len[dist_symbol(dist)] > 0);  // d_lengths[ds]
            uint64_t pos = instart + test_length;
            ZOPFLI_CHECK(pos >= dist && test_length + litlen <= length);
            for (uint32_t k = 0; k < litlen; ++k) ZOPFLI_CHECK(in[pos - dist + k] == in[pos + k]);
            test_length += litlen;
        }
    }
    ZOPFLI_CHECK(test_length == length);  // testlength == expected_data_size
    ZOPFLI_CHECK(ll_len[256] > 0);
}

void write_data(bit_writer& w, const lz77_store* s, const uint32_t* ll_len, const uint32_t* d_len) {
    uint32_t ll_codes[kNumLitLen], d_codes[kNumDist];
    canonical_codes(ll_len, kNumLitLen, 15, ll_codes);
    canonical_codes(d_len, kNumDist, 15, d_codes);
    for (uint64_t i = 0; i < s->size; ++i) {
        uint32_t litlen = s->litlens[i];
        uint32_t dist = s->dists[i];
        if (dist == 0) {
            add_code(w, ll_codes[litlen], ll_len[litlen]);
        } else {
            int lsym = length_symbol(litlen);
            add_code(w, ll_codes[lsym], ll_len[lsym]);
            add_bits(w, length_extra_value(litlen), length_extra_bits(litlen));
            int dsym = dist_symbol(dist);
            add_code(w, d_codes[dsym], d_len[dsym]);
            add_bits(w, dist_extra_value(dist), dist_extra_bits(dist));
        }
    }
    add_code(w, ll_codes[256], ll_len[256]);
}

}  // namespace

void zopfli_write_block_predicted(int btype, int final, uint16_t* litlens, uint16_t* dists, uint64_t count,
                                  uint64_t length, unsigned char* bp, unsigned char** out, size_t* outsize,
                                  int tree_search, const unsigned char* in, uint64_t instart,
                                  uint32_t refine_passes, uint32_t exact_tree, uint64_t* predicted_bits) {
    ZOPFLI_CHECK(btype == 1 || btype == 2);
    lz77_store s;
    lz77_store_init(&s);
    s.litlens = litlens;
    s.dists = dists;
    s.size = count;

    uint32_t ll_len[kNumLitLen], d_len[kNumDist];
    int variant = kUse16 | kUse17 | kUse18;
    uint64_t ll_counts[kNumLitLen], d_counts[kNumDist];
    if (btype == 1) {
        fixed_lengths(ll_len, d_len);
    } else {
        lz77_histogram(&s, 0, s.size, ll_counts, d_counts, false);
        dynamic_lengths(ll_counts, d_counts, ll_len, d_len);
        tree_size_search(ll_len, d_len, tree_search, &variant);
        for (uint32_t i = 0; i < refine_passes; ++i) {
            if (i % 2 == 0) {
                if (!rewrite_short_matches(&s, ll_len, d_len, in, instart)) break;
            } else {
                lz77_histogram(&s, 0, s.size, ll_counts, d_counts, false);
                dynamic_lengths(ll_counts, d_counts, ll_len, d_len);
                if (refine_passes - i <= 2 || exact_tree) tree_size_search(ll_len, d_len, tree_search, &variant);
            }
        }
        if (exact_tree) exact_tree_search(&s, ll_len, d_len, &variant);
    }
    patch_distance_lengths(d_len);
    check_symbols(&s, ll_len, d_len, in, instart, length);

    // Exact size of what follows: header, tree and data of the final store.
    uint64_t predicted;
    if (btype == 1) {
        predicted = fixed_block_cost(&s, 0, s.size);
    } else {
        lz77_histogram(&s, 0, s.size, ll_counts, d_counts, false);
        predicted = 3 + tree_bits(ll_len, d_len, variant) + data_bits(ll_counts, d_counts, ll_len, d_len);
    }
    if (predicted_bits) *predicted_bits = predicted;

    bit_writer w{out, outsize, bp, *outsize};
    ensure_capacity(w, *outsize + static_cast<size_t>((predicted + 7) / 8) + 1);

    add_bit(w, final ? 1 : 0);
    if (btype == 1) {
        add_bit(w, 1);
        add_bit(w, 0);
    } else {
        add_bit(w, 0);
        add_bit(w, 1);
        write_tree(w, ll_len, d_len, variant);
    }
    write_data(w, &s, ll_len, d_len);

    if (refine_passes != 0) lz77_store_free(&s);
}

void zopfli_write_block(int btype, int final, uint16_t* litlens, uint16_t* dists, uint64_t count,
                        uint64_t length, unsigned char* bp, unsigned char** out, size_t* outsize,
                        int tree_search, const unsigned char* in, uint64_t instart, uint32_t refine_passes,
                        uint32_t exact_tree) {
    zopfli_write_block_predicted(btype, final, litlens, dists, count, length, bp, out, outsize, tree_search, in,
                                 instart, refine_passes, exact_tree, nullptr);
}

}  // namespace zopfli
