// Code lengths, smoothing, tree-header sizes and block costs of the
// Zopfli-style compressor.
#include "core/deflate/zopfli_tree.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "core/deflate/zopfli_check.h"
#include "core/deflate/zopfli_symbols.h"
#include "core/fatal.h"

namespace zopfli {

const int kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// ---------------------------------------------------------------- package-merge

namespace {

// A chain of the boundary package-merge: its weight, the number of leaves its
// list has taken, and the chain of the list below that it continues.
struct pm_node {
    uint64_t weight;
    int count;
    pm_node* tail;
};

struct pm_state {
    pm_node* (*lists)[2];
    const uint64_t* weights;  // leaf weights in key order
    int num_leaves;
    pm_node* pool;
    size_t pool_used;
    size_t pool_size;
};

pm_node* pm_new(pm_state& s, uint64_t weight, int count, pm_node* tail) {
    ZOPFLI_CHECK(s.pool_used < s.pool_size);
    pm_node* n = &s.pool[s.pool_used++];
    n->weight = weight;
    n->count = count;
    n->tail = tail;
    return n;
}

// Adds one chain to list `index`: the next leaf, or a package of the two
// lookahead chains of the list below, whichever weighs less.
void boundary_pm(pm_state& s, int index) {
    int lastcount = s.lists[index][1]->count;
    if (index == 0 && lastcount >= s.num_leaves) return;
    pm_node* old_chain = s.lists[index][1];
    if (index == 0) {
        s.lists[index][0] = old_chain;
        s.lists[index][1] = pm_new(s, s.weights[lastcount], lastcount + 1, nullptr);
        return;
    }
    uint64_t sum = s.lists[index - 1][0]->weight + s.lists[index - 1][1]->weight;
    s.lists[index][0] = old_chain;
    if (lastcount < s.num_leaves && sum > s.weights[lastcount]) {
        s.lists[index][1] = pm_new(s, s.weights[lastcount], lastcount + 1, old_chain->tail);
    } else {
        s.lists[index][1] = pm_new(s, sum, lastcount, s.lists[index - 1][1]);
        boundary_pm(s, index - 1);
        boundary_pm(s, index - 1);
    }
}

}  // namespace

void zopfli_length_limited_lengths(const uint64_t* counts, int n, int maxbits, uint32_t* lengths) {
    std::memset(lengths, 0, n * sizeof(uint32_t));
    uint64_t keys[kNumLitLen];
    ZOPFLI_CHECK(n <= kNumLitLen);
    int num_leaves = 0;
    for (int i = 0; i < n; ++i) {
        if (counts[i]) keys[num_leaves++] = (counts[i] << 9) | static_cast<uint64_t>(i);
    }
    ZOPFLI_CHECK((1ull << maxbits) >= static_cast<uint64_t>(num_leaves));
    if (num_leaves == 0) return;
    if (num_leaves <= 2) {
        for (int i = 0; i < num_leaves; ++i) lengths[keys[i] & 0x1FF] = 1;
        return;
    }
    if (num_leaves <= 16) {
        for (int i = 1; i < num_leaves; ++i) {
            uint64_t k = keys[i];
            int j = i;
            while (j > 0 && keys[j - 1] > k) {
                keys[j] = keys[j - 1];
                --j;
            }
            keys[j] = k;
        }
    } else {
        std::sort(keys, keys + num_leaves);
    }
    if (maxbits > num_leaves - 1) maxbits = num_leaves - 1;

    uint64_t weights[kNumLitLen];
    for (int i = 0; i < num_leaves; ++i) weights[i] = keys[i] >> 9;

    pm_node* lists[16][2];
    pm_state s;
    s.lists = lists;
    s.weights = weights;
    s.num_leaves = num_leaves;
    s.pool_size = static_cast<size_t>(maxbits) * 2 * num_leaves + 2;
    s.pool = static_cast<pm_node*>(checked_malloc(s.pool_size * sizeof(pm_node)));
    s.pool_used = 0;

    pm_node* first = pm_new(s, weights[0], 1, nullptr);
    pm_node* second = pm_new(s, weights[1], 2, nullptr);
    for (int i = 0; i < maxbits; ++i) {
        lists[i][0] = first;
        lists[i][1] = second;
    }
    int runs = 2 * num_leaves - 4;
    for (int i = 0; i < runs; ++i) boundary_pm(s, maxbits - 1);

    for (pm_node* node = lists[maxbits - 1][1]; node; node = node->tail) {
        for (int i = 0; i < node->count; ++i) lengths[keys[i] & 0x1FF]++;
    }
    std::free(s.pool);
}

void canonical_codes(const uint32_t* lengths, int n, int maxbits, uint32_t* codes) {
    uint32_t bl_count[16] = {0};
    uint32_t next_code[16] = {0};
    for (int i = 0; i < n; ++i) {
        ZOPFLI_CHECK(lengths[i] <= static_cast<uint32_t>(maxbits));  // lengths[i] <= maxbits
        bl_count[lengths[i]]++;
    }
    bl_count[0] = 0;
    uint32_t code = 0;
    for (int bits = 1; bits <= maxbits; ++bits) {
        code = (code + bl_count[bits - 1]) << 1;
        next_code[bits] = code;
    }
    for (int i = 0; i < n; ++i) codes[i] = lengths[i] ? next_code[lengths[i]]++ : 0;
}

// ---------------------------------------------------------------- smoothing

namespace {

// Marks every position inside a zero run of at least 5 or any run of at least 7.
void mark_good_runs(const uint64_t* counts, int length, bool* good) {
    std::memset(good, 0, length);
    uint64_t symbol = counts[0];
    int stride = 0;
    for (int i = 0; i <= length; ++i) {
        if (i == length || counts[i] != symbol) {
            if ((symbol == 0 && stride >= 5) || (symbol != 0 && stride >= 7)) {
                for (int k = 0; k < stride; ++k) good[i - k - 1] = true;
            }
            stride = 1;
            if (i != length) symbol = counts[i];
        } else {
            ++stride;
        }
    }
}

// Average of a stride; a stride holding any count keeps at least 1, so no used
// symbol loses its code.
inline uint64_t stride_average(uint64_t sum, int stride) {
    uint64_t v = (sum + stride / 2) / stride;
    return (v == 0 && sum > 0) ? 1 : v;
}

int trimmed_length(const uint64_t* counts, int n) {
    int length = n;
    while (length > 0 && counts[length - 1] == 0) --length;
    return length;
}

inline int64_t abs64(int64_t v) { return v < 0 ? -v : v; }

}  // namespace

void smooth_style_a(uint64_t* c, int n) {
    int length = trimmed_length(c, n);
    if (length == 0) return;
    bool good[kNumLitLen];
    mark_good_runs(c, length, good);
    auto at = [&](int i) -> int64_t { return i < n ? static_cast<int64_t>(c[i]) : 0; };
    int stride = 0;
    int64_t sum = 0;
    int64_t limit = 256 * (at(0) + at(1) + at(2)) / 3 + 420;
    for (int i = 0; i <= length; ++i) {
        if (i == length || good[i] || (i > 0 && good[i - 1]) ||
            abs64(256 * static_cast<int64_t>(c[i]) - limit) >= 1240) {
            if (stride >= 4) {
                uint64_t v = stride_average(static_cast<uint64_t>(sum), stride);
                for (int k = 0; k < stride; ++k) c[i - k - 1] = v;
            }
            stride = 0;
            sum = 0;
            if (i < length - 2) {
                limit = 256 * (at(i) + at(i + 1) + at(i + 2)) / 3 + 420;
            } else if (i < length) {
                limit = 256 * at(i);
            } else {
                limit = 0;
            }
        }
        ++stride;
        if (i != length) sum += static_cast<int64_t>(c[i]);
        if (stride >= 4) {
            limit = (256 * sum + stride / 2) / stride;
            if (stride == 4) limit += 120;
        }
    }
}

void smooth_style_b(uint64_t* c, int n) {
    int length = trimmed_length(c, n);
    if (length == 0) return;
    bool good[kNumLitLen];
    mark_good_runs(c, length, good);
    auto at = [&](int i) -> int64_t { return i < n ? static_cast<int64_t>(c[i]) : 0; };
    int stride = 0;
    int64_t sum = 0;
    int64_t limit = (at(0) + at(1) + at(2) + at(3) + 2) >> 2;
    for (int i = 0; i <= length; ++i) {
        if (i == length || good[i] || abs64(static_cast<int64_t>(c[i]) - limit) >= 4) {
            if (stride >= 4) {
                uint64_t v = stride_average(static_cast<uint64_t>(sum), stride);
                for (int k = 0; k < stride; ++k) c[i - k - 1] = v;
            }
            stride = 0;
            sum = 0;
            if (i < length - 3) {
                limit = (at(i) + at(i + 1) + at(i + 2) + at(i + 3) + 2) >> 2;
            } else if (i < length) {
                limit = at(i);
            } else {
                limit = 0;
            }
        }
        ++stride;
        if (i != length) sum += static_cast<int64_t>(c[i]);
    }
}

void dynamic_lengths(const uint64_t* ll_counts, const uint64_t* d_counts, uint32_t* ll_lengths,
                     uint32_t* d_lengths) {
    uint64_t ll[kNumLitLen];
    uint64_t d[kNumDist];
    std::memcpy(ll, ll_counts, sizeof(ll));
    std::memcpy(d, d_counts, sizeof(d));
    smooth_style_a(ll, kNumLitLen);
    smooth_style_a(d, kNumDist);
    zopfli_length_limited_lengths(ll, kNumLitLen, 15, ll_lengths);
    zopfli_length_limited_lengths(d, kNumDist, 15, d_lengths);
}

uint64_t data_bits(const uint64_t* ll_counts, const uint64_t* d_counts, const uint32_t* ll_lengths,
                   const uint32_t* d_lengths) {
    uint64_t bits = 0;
    for (int s = 0; s < 286; ++s) {
        bits += ll_counts[s] * ll_lengths[s];
        if (s >= 265 && s <= 284) bits += ll_counts[s] * static_cast<uint64_t>(length_symbol_extra_bits(s));
    }
    for (int s = 0; s < kNumDist; ++s) {
        bits += d_counts[s] * d_lengths[s];
        if (s >= 4 && s <= 29) bits += d_counts[s] * static_cast<uint64_t>(s / 2 - 1);
    }
    return bits;
}

void patch_distance_lengths(uint32_t* d_lengths) {
    int used = 0;
    for (int i = 0; i < 30; ++i) used += d_lengths[i] != 0;
    if (used >= 2) return;
    if (used == 0) {
        d_lengths[0] = d_lengths[1] = 1;
    } else if (d_lengths[0]) {
        d_lengths[1] = 1;
    } else {
        d_lengths[0] = 1;
    }
}

// ---------------------------------------------------------------- tree headers

int tree_symbols(const uint32_t* ll_lengths, const uint32_t* d_lengths, int variant, tree_symbol* out,
                 int* hlit_out, int* hdist_out) {
    const bool u16 = variant & kUse16, u17 = variant & kUse17, u18 = variant & kUse18;
    const bool e8 = variant & kSplit8, e7 = variant & kSplit7;
    int hlit = 257;
    for (int i = 285; i >= 257; --i) {
        if (ll_lengths[i]) {
            hlit = i + 1;
            break;
        }
    }
    int hdist = 1;
    for (int i = 29; i >= 0; --i) {
        if (d_lengths[i]) {
            hdist = i + 1;
            break;
        }
    }
    uint32_t seq[286 + 30];
    int size = hlit + hdist;
    for (int i = 0; i < hlit; ++i) seq[i] = ll_lengths[i];
    for (int i = 0; i < hdist; ++i) seq[hlit + i] = d_lengths[i];

    int n = 0;
    auto put = [&](int sym, int extra) {
        out[n].symbol = static_cast<uint8_t>(sym);
        out[n].extra = static_cast<uint8_t>(extra);
        ++n;
    };
    // A run of `count` copies of value sent with single values and codes 16.
    auto general_run = [&](uint32_t value, int count) {
        if (count < 4 || !u16) {
            for (int k = 0; k < count; ++k) put(static_cast<int>(value), 0);
            return;
        }
        put(static_cast<int>(value), 0);
        int rem = count - 1;
        while (rem > 2) {
            if (rem == 8 && e8) {
                put(16, 1);
                put(16, 1);
                rem = 0;
            } else if (rem == 7 && e7) {
                put(16, 1);
                put(16, 0);
                rem = 0;
            } else {
                int k = std::min(rem, 6);
                put(16, k - 3);
                rem -= k;
            }
        }
        for (int k = 0; k < rem; ++k) put(static_cast<int>(value), 0);
    };

    int i = 0;
    while (i < size) {
        uint32_t v = seq[i];
        int run = 1;
        while (i + run < size && seq[i + run] == v) ++run;
        if (v == 0 && run > 2 && (u17 || u18)) {
            int rem = run;
            if (u18 && rem > 10) {
                while (rem > 10) {
                    int k = std::min(rem, 138);
                    put(18, k - 11);
                    rem -= k;
                }
            }
            if (u17) {
                while (rem > 2) {
                    int k = std::min(rem, 10);
                    put(17, k - 3);
                    rem -= k;
                }
                for (int k = 0; k < rem; ++k) put(0, 0);
            } else {
                general_run(0, rem);
            }
        } else {
            general_run(v, run);
        }
        i += run;
    }
    *hlit_out = hlit;
    *hdist_out = hdist;
    return n;
}

void tree_code_lengths(const tree_symbol* syms, int count, uint32_t* cl_lengths, int* hclen) {
    uint64_t freq[19] = {0};
    for (int i = 0; i < count; ++i) freq[syms[i].symbol]++;
    zopfli_length_limited_lengths(freq, 19, 7, cl_lengths);
    int sent = 4;
    for (int i = 18; i >= 0; --i) {
        if (freq[kCodeLengthOrder[i]]) {
            sent = std::max(sent, i + 1);
            break;
        }
    }
    *hclen = sent;
}

uint64_t tree_bits(const uint32_t* ll_lengths, const uint32_t* d_lengths, int variant) {
    tree_symbol syms[286 + 30];
    int hlit, hdist;
    int count = tree_symbols(ll_lengths, d_lengths, variant, syms, &hlit, &hdist);
    uint32_t cl_lengths[19];
    int hclen;
    tree_code_lengths(syms, count, cl_lengths, &hclen);
    uint64_t bits = 14 + 3 * static_cast<uint64_t>(hclen);
    for (int i = 0; i < count; ++i) {
        int s = syms[i].symbol;
        bits += cl_lengths[s];
        if (s == 16) bits += 2;
        if (s == 17) bits += 3;
        if (s == 18) bits += 7;
    }
    return bits;
}

uint64_t tree_size_search(const uint32_t* ll_lengths, uint32_t* d_lengths, int mode, int* variant) {
    patch_distance_lengths(d_lengths);
    uint64_t best = UINT64_MAX;
    int best_variant = 7;
    auto consider = [&](int v) {
        uint64_t bits = tree_bits(ll_lengths, d_lengths, v);
        if (bits < best) {
            best = bits;
            best_variant = v;
        }
    };
    if (mode == 2) {
        for (int v = 0; v < 32; ++v) {
            if (!(v & kUse16) && (v & (kSplit8 | kSplit7))) continue;
            consider(v);
        }
    } else if (mode == 1) {
        for (int v = 0; v < 8; ++v) consider(v);
        consider(kUse16 | kSplit8 | kSplit7);
    } else {
        consider(kUse16 | kUse17 | kUse18);
    }
    *variant = best_variant;
    return best;
}

// ---------------------------------------------------------------- block costs

uint64_t fixed_block_cost(const lz77_store* s, uint64_t start, uint64_t end) {
    uint64_t bits = 3 + 7;
    for (uint64_t i = start; i < end; ++i) {
        if (s->dists[i] == 0) {
            bits += s->litlens[i] < 144 ? 8 : 9;
        } else {
            int len = s->litlens[i];
            bits += (len < 115 ? 7 : 8) + 5;
            bits += length_extra_bits(len) + dist_extra_bits(s->dists[i]);
        }
    }
    return bits;
}

uint64_t dynamic_block_cost_from_counts(const uint64_t* ll_counts, const uint64_t* d_counts, int tree_search) {
    uint32_t ll_lengths[kNumLitLen];
    uint32_t d_lengths[kNumDist];
    dynamic_lengths(ll_counts, d_counts, ll_lengths, d_lengths);
    int variant;
    uint64_t tree = tree_size_search(ll_lengths, d_lengths, tree_search, &variant);
    return data_bits(ll_counts, d_counts, ll_lengths, d_lengths) + tree + 3;
}

uint64_t dynamic_block_cost(const lz77_store* s, uint64_t start, uint64_t end, int tree_search, bool packed) {
    uint64_t ll_counts[kNumLitLen];
    uint64_t d_counts[kNumDist];
    lz77_histogram(s, start, end, ll_counts, d_counts, packed);
    return dynamic_block_cost_from_counts(ll_counts, d_counts, tree_search);
}

}  // namespace zopfli
