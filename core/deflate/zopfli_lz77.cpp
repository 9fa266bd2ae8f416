// LZ77 store, histograms, entropy costs, the binary-tree match finder and the
// lazy matcher of the Zopfli-style compressor.
#include "core/deflate/zopfli_lz77.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "core/deflate/zopfli.h"
#include "core/deflate/zopfli_check.h"
#include "core/deflate/zopfli_symbols.h"
#include "core/fatal.h"

namespace zopfli {

// ---------------------------------------------------------------- store

void lz77_store_init(lz77_store* s) { std::memset(s, 0, sizeof(*s)); }

void lz77_store_free(lz77_store* s) {
    std::free(s->litlens);
    std::free(s->dists);
    std::free(s->packed_dists);
    lz77_store_init(s);
}

void lz77_store_append_packed(lz77_store* s, uint16_t litlen, uint8_t dist) {
    uint64_t n = s->size;
    if ((n & (n - 1)) == 0) {
        uint64_t cap = n == 0 ? 1 : n * 2;
        s->litlens = static_cast<uint16_t*>(checked_realloc(s->litlens, cap * sizeof(uint16_t)));
        s->packed_dists = static_cast<uint8_t*>(checked_realloc(s->packed_dists, cap));
    }
    s->packed = 1;
    s->litlens[n] = litlen;
    s->packed_dists[n] = dist;
    s->size = n + 1;
}

void lz77_store_copy(const lz77_store* source, lz77_store* target) {
    lz77_store_free(target);
    target->litlens = static_cast<uint16_t*>(checked_malloc(source->size * sizeof(uint16_t)));
    target->dists = static_cast<uint16_t*>(checked_malloc(source->size * sizeof(uint16_t)));
    if (source->size) {
        std::memcpy(target->litlens, source->litlens, source->size * sizeof(uint16_t));
        std::memcpy(target->dists, source->dists, source->size * sizeof(uint16_t));
    }
    target->size = source->size;
    target->packed = 0;
}

void lz77_store_from_path(const uint32_t* path, uint64_t count, lz77_store* s) {
    s->litlens = static_cast<uint16_t*>(checked_malloc(count * sizeof(uint16_t)));
    s->dists = static_cast<uint16_t*>(checked_malloc(count * sizeof(uint16_t)));
    for (uint64_t i = 0; i < count; ++i) {
        uint32_t step = path[count - 1 - i];
        uint32_t len = step & 0x1FF;
        if (len > 2) {
            s->litlens[i] = static_cast<uint16_t>(len);
            s->dists[i] = static_cast<uint16_t>(step >> 9);
        } else {
            s->litlens[i] = static_cast<uint16_t>(step >> 24);
            s->dists[i] = 0;
        }
    }
    s->size = count;
    s->packed = 0;
}

uint16_t pack_match_litlen(int length) {
    int sym = length_symbol(length);
    int bias = sym >= 284 ? 200 : (sym >= 280 ? 100 : 0);
    return static_cast<uint16_t>(sym | ((length - bias) << 9));
}

// ---------------------------------------------------------------- statistics

void lz77_histogram(const lz77_store* s, uint64_t start, uint64_t end, uint64_t* ll_counts,
                    uint64_t* d_counts, bool packed) {
    std::memset(ll_counts, 0, kNumLitLen * sizeof(uint64_t));
    std::memset(d_counts, 0, kNumDist * sizeof(uint64_t));
    if (packed) {
        for (uint64_t i = start; i < end; ++i) {
            ll_counts[s->litlens[i] & 0x1FF]++;
            uint8_t d = s->packed_dists[i];
            if (d) d_counts[d - 1]++;
        }
    } else {
        for (uint64_t i = start; i < end; ++i) {
            if (s->dists[i] == 0) {
                ll_counts[s->litlens[i]]++;
            } else {
                ll_counts[length_symbol(s->litlens[i])]++;
                d_counts[dist_symbol(s->dists[i])]++;
            }
        }
    }
    ll_counts[256] = 1;
}

void entropy_costs(const uint64_t* counts, int n, float* costs) {
    uint32_t total = 0;
    for (int i = 0; i < n; ++i) total += static_cast<uint32_t>(counts[i]);
    double base = total > 0 ? std::log2(static_cast<double>(total)) : std::log(static_cast<double>(n));
    float fbase = static_cast<float>(base);
    for (int i = 0; i < n; ++i) {
        float c;
        if (counts[i] > 0) {
            c = fbase - std::log2(static_cast<float>(counts[i]));
        } else {
            c = (n < 50 && base > 10) ? 10.0f : fbase;
        }
        costs[i] = c < 0 ? 0.0f : c;
    }
}

void stats_from_store(const lz77_store* s, uint64_t start, uint64_t end, symbol_stats* out) {
    lz77_histogram(s, start, end, out->litlen_counts, out->dist_counts, s->packed != 0);
    entropy_costs(out->litlen_counts, kNumLitLen, out->litlen_costs);
    entropy_costs(out->dist_counts, kNumDist, out->dist_costs);
}

void stats_from_store(const lz77_store* s, symbol_stats* out) { stats_from_store(s, 0, s->size, out); }

// ---------------------------------------------------------------- match finder

namespace {

constexpr std::array<uint32_t, 256> make_crc_table() {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[i] = c;
    }
    return t;
}
constexpr std::array<uint32_t, 256> kCrcTable = make_crc_table();
static_assert(kCrcTable[1] == 0x77073096u, "CRC-32 table");

constexpr uint32_t kWindowMask = 32767;
constexpr size_t kFinderTableBytes = (32768 + 2 * 32768) * sizeof(uint32_t);
static_assert(kFinderTableBytes == 393216, "finder tables");

inline uint32_t tree_hash(const unsigned char* p) {
    return ((static_cast<uint32_t>(p[0]) << 8 | p[2]) ^ kCrcTable[p[1]]) & kWindowMask;
}

// Length of the common prefix of a and b, from `from` up to max bytes; the
// first difference is found from the lowest set bit of an 8-byte XOR.
inline int common_length(const unsigned char* a, const unsigned char* b, int from, int max) {
    int len = from;
    while (len + 8 <= max) {
        uint64_t x, y;
        std::memcpy(&x, a + len, 8);
        std::memcpy(&y, b + len, 8);
        uint64_t diff = x ^ y;
        if (diff) return len + (__builtin_ctzll(diff) >> 3);
        len += 8;
    }
    while (len < max && a[len] == b[len]) ++len;
    return len;
}

inline void advance(match_finder* mf) {
    mf->counter++;
    mf->cursor = (mf->cursor + 1) & kWindowMask;
    mf->pos++;
}

// Inserts the current position into the tree and reports every match longer
// than `best`. Candidates are visited newest first, so each reported length
// comes with the smallest distance found for it. A non-zero `known` is a
// distance whose candidate the caller knows to match the longest possible
// length: its node ends the walk without a comparison.
int tree_walk(match_finder* mf, uint16_t* out, int n, int best, uint32_t known = 0) {
    const unsigned char* cur = mf->pos;
    uint64_t left = static_cast<uint64_t>(mf->end - cur);
    int maxlen = left < kMaxMatch ? static_cast<int>(left) : kMaxMatch;
    uint32_t h = tree_hash(cur);
    uint32_t cand = mf->heads[h];
    mf->heads[h] = mf->counter;
    uint32_t* tree = mf->tree;
    uint32_t* slot_smaller = &tree[2 * mf->cursor];
    uint32_t* slot_larger = &tree[2 * mf->cursor + 1];
    int len_smaller = 0, len_larger = 0;
    uint32_t last_dist = 0;
    for (;;) {
        uint32_t dist = mf->counter - cand;
        // Out of the window, or not older than the node before it (only
        // possible with stale links): close both open slots.
        if (dist > kWindowMask || dist <= last_dist) {
            *slot_smaller = 0;
            *slot_larger = 0;
            break;
        }
        last_dist = dist;
        const unsigned char* cp = cur - dist;
        uint32_t node = cand & kWindowMask;
        int len = dist == known ? maxlen : common_length(cp, cur, std::min(len_smaller, len_larger), maxlen);
        if (len > best) {
            best = len;
            out[n++] = static_cast<uint16_t>(len);
            out[n++] = static_cast<uint16_t>(dist);
        }
        if (len >= maxlen) {
            *slot_smaller = tree[2 * node];
            *slot_larger = tree[2 * node + 1];
            break;
        }
        if (cp[len] < cur[len]) {
            *slot_smaller = cand;
            slot_smaller = &tree[2 * node + 1];
            cand = *slot_smaller;
            len_smaller = len;
        } else {
            *slot_larger = cand;
            slot_larger = &tree[2 * node];
            cand = *slot_larger;
            len_larger = len;
        }
    }
    advance(mf);
    return n;
}

}  // namespace

void match_finder_init(match_finder* mf, const unsigned char* pos, const unsigned char* end) {
    mf->pos = pos;
    mf->end = end;
    mf->counter = 32768;
    mf->cursor = 0;
    mf->heads = static_cast<uint32_t*>(checked_malloc(kFinderTableBytes));
    mf->tree = mf->heads + 32768;
    std::memset(mf->heads, 0, 32768 * sizeof(uint32_t));
}

void match_finder_free(match_finder* mf) {
    std::free(mf->heads);
    mf->heads = nullptr;
    mf->tree = nullptr;
}

void match_finder_snapshot(const match_finder* mf, match_finder* copy) {
    *copy = *mf;
    copy->heads = static_cast<uint32_t*>(checked_malloc(kFinderTableBytes));
    copy->tree = copy->heads + 32768;
    std::memcpy(copy->heads, mf->heads, kFinderTableBytes);
}

void match_finder_reset(match_finder* mf) {
    // The tree is cleared with the heads so that no link outlives its position.
    std::memset(mf->heads, 0, kFinderTableBytes);
    mf->counter = 32768;
    mf->cursor = 0;
}

int find_matches(match_finder* mf, uint16_t* out) {
    if (mf->end - mf->pos < 3) return 0;
    return tree_walk(mf, out, 0, 2);
}

int find_matches_run(match_finder* mf, uint16_t* out) {
    if (mf->end - mf->pos < 3) return 0;
    uint64_t left = static_cast<uint64_t>(mf->end - mf->pos);
    int maxlen = left < kMaxMatch ? static_cast<int>(left) : kMaxMatch;
    int run = common_length(mf->pos - 1, mf->pos, 0, maxlen);
    int n = 0, best = 2;
    if (run >= 3) {
        out[n++] = static_cast<uint16_t>(run);
        out[n++] = 1;
        best = run;
    }
    return tree_walk(mf, out, n, best);
}

int find_matches_known_distance(match_finder* mf, uint16_t* out, uint32_t dist) {
    if (mf->end - mf->pos < 3) return 0;
    // Only a full-length match can be taken on trust; closer to the end the
    // walk compares as usual.
    if (mf->end - mf->pos < kMaxMatch) dist = 0;
    return tree_walk(mf, out, 0, 2, dist);
}

void skip_positions(match_finder* mf, uint64_t n) {
    uint16_t scratch[kMaxMatchList];
    for (uint64_t i = 0; i < n; ++i) {
        if (mf->end - mf->pos < 3) {
            advance(mf);
        } else {
            tree_walk(mf, scratch, 0, kMaxMatch);
        }
    }
}

void skip_run_positions(match_finder* mf, uint64_t n) {
    if (n == 0) return;
    if (mf->end - mf->pos < 3) {
        for (uint64_t i = 0; i < n; ++i) advance(mf);
        return;
    }
    uint32_t h = tree_hash(mf->pos);
    for (uint64_t i = 0; i < n; ++i) {
        uint32_t node = mf->cursor;
        uint32_t prev = (node - 1) & kWindowMask;
        mf->tree[2 * node] = mf->tree[2 * prev];
        mf->tree[2 * node + 1] = mf->tree[2 * prev + 1];
        mf->heads[h] = mf->counter;
        advance(mf);
    }
}

// ---------------------------------------------------------------- lazy matcher

namespace {

struct lazy_state {
    const unsigned char* in;
    uint64_t end;
    lz77_store* store;
};

inline uint32_t load32(const unsigned char* p) {
    uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}

void emit_literal(lazy_state& st, uint64_t pos) { lz77_store_append_packed(st.store, st.in[pos], 0); }

void emit_match(lazy_state& st, uint64_t pos, int length, uint32_t dist) {
    ZOPFLI_CHECK(pos + length <= st.end);  // pos + length <= datasize
    ZOPFLI_CHECK(dist >= 1 && dist <= 32768 && dist <= pos && length >= 3 && length <= kMaxMatch);
    for (int i = 0; i < length; ++i) ZOPFLI_CHECK(st.in[pos - dist + i] == st.in[pos + i]);
    lz77_store_append_packed(st.store, pack_match_litlen(length), static_cast<uint8_t>(dist_symbol(dist) + 1));
}

}  // namespace

void zopfli_lz77_lazy(const Zopflioptions* opts, const unsigned char* in, uint64_t start, uint64_t end,
                      lz77_store* store) {
    if (start >= end) return;
    uint32_t head4[65536];
    uint16_t chain4[32768];
    uint32_t head3[1024];
    uint16_t chain3[1024];
    std::memset(head4, 0, sizeof(head4));
    std::memset(chain4, 0xFF, sizeof(chain4));
    std::memset(head3, 0, sizeof(head3));
    std::memset(chain3, 0xFF, sizeof(chain3));

    lazy_state st{in, end, store};
    const uint32_t stop_length = opts->lazy_stop_length;

    // Indexes of the 4-byte tables: the position 32 KiB before start is index
    // 32768, so 0 marks an empty bucket; likewise 1024 for the 3-byte tables.
    const int64_t base4 = static_cast<int64_t>(std::max<uint64_t>(start, 32768)) - 65536;
    const int64_t base3 = static_cast<int64_t>(std::max<uint64_t>(start, 1024)) - 2048;
    uint64_t next_insert4 = start > 32768 ? start - 32768 : 0;
    uint64_t next_insert3 = start > 1024 ? start - 1024 : 0;

    auto hash4 = [&](uint64_t q) { return (load32(in + q) * 0x9E3779B1u) >> 16; };
    auto hash3 = [&](uint64_t q) {
        uint32_t w = in[q] | (static_cast<uint32_t>(in[q + 1]) << 8) | (static_cast<uint32_t>(in[q + 2]) << 16);
        return (w * 0x9E3779B1u) >> 22;
    };
    auto insert4_upto = [&](uint64_t p) {
        for (uint64_t q = next_insert4; q < p; ++q) {
            if (q + 4 > end) break;
            uint32_t i = static_cast<uint32_t>(static_cast<int64_t>(q) - base4);
            uint32_t h = hash4(q);
            chain4[i & 32767] = static_cast<uint16_t>(std::min<uint32_t>(i - head4[h], 32767));
            head4[h] = i;
        }
        if (p > next_insert4) next_insert4 = p;
    };
    auto insert3_upto = [&](uint64_t p) {
        uint64_t q = std::max<uint64_t>(next_insert3, p > 1023 ? p - 1023 : 0);
        for (; q < p; ++q) {
            if (q + 3 > end) break;
            uint32_t i = static_cast<uint32_t>(static_cast<int64_t>(q) - base3);
            uint32_t h = hash3(q);
            chain3[i & 1023] = static_cast<uint16_t>(std::min<uint32_t>(i - head3[h], 1023));
            head3[h] = i;
        }
        if (p > next_insert3) next_insert3 = p;
    };

    // Longest match of more than 3 bytes at p (length 0 when none).
    auto search4 = [&](uint64_t p, int target, uint32_t* dist_out) -> int {
        if (p + 4 > end) return 0;
        insert4_upto(p);
        const uint32_t ip = static_cast<uint32_t>(static_cast<int64_t>(p) - base4);
        const uint32_t window_start = std::max<uint32_t>(32768, ip - 32767);
        const int lookahead = static_cast<int>(std::min<uint64_t>(kMaxMatch, end - p));
        auto too_old = [&](int t) {
            uint64_t q = p + t - 3;
            if (q + 4 > end) return true;
            return head4[hash4(q)] < window_start + static_cast<uint32_t>(t - 3);
        };
        if (too_old(target)) return 0;
        const uint32_t first_word = load32(in + p);
        int best = 0;
        uint32_t best_dist = 0;
        uint32_t c = head4[hash4(p)];
        for (int tries = 0; tries < 650 && c >= window_start; ++tries) {
            uint64_t q = static_cast<uint64_t>(static_cast<int64_t>(c) + base4);
            int t = std::max(target, best);
            if (p + t + 1 <= end && load32(in + q + t - 3) == load32(in + p + t - 3) &&
                load32(in + q) == first_word) {
                int len = common_length(in + q, in + p, 4, lookahead);
                if (len == kMaxMatch) {
                    best = len;
                    best_dist = static_cast<uint32_t>(p - q);
                    break;
                }
                if (len > best) {
                    best = len;
                    best_dist = static_cast<uint32_t>(p - q);
                    if (best >= lookahead || too_old(best)) break;
                }
            }
            c -= chain4[c & 32767];
        }
        *dist_out = best_dist;
        return best;
    };

    // A 3-byte match within the last 1023 bytes (distance 0 when none).
    auto search3 = [&](uint64_t p) -> uint32_t {
        if (p + 3 > end) return 0;
        insert3_upto(p);
        const uint32_t ip = static_cast<uint32_t>(static_cast<int64_t>(p) - base3);
        const uint32_t lim = std::max<uint32_t>(1024, ip - 1023);
        uint32_t c = head3[hash3(p)];
        while (c >= lim) {
            uint64_t q = static_cast<uint64_t>(static_cast<int64_t>(c) + base3);
            if (in[q] == in[p] && in[q + 1] == in[p + 1] && in[q + 2] == in[p + 2]) {
                return static_cast<uint32_t>(p - q);
            }
            c -= chain3[c & 1023];
        }
        return 0;
    };

    bool held = false;
    int held_len = 0;
    uint32_t held_dist = 0;
    uint64_t p = start;
    while (p < end) {
        uint32_t dist = 0;
        int n = search4(p, held ? held_len : 3, &dist);
        if (n > 3 && p + 4 <= end) {
            int rank = n;
            if (n == 4 && dist > 2048) rank = 3;
            if (n == 5 && dist > 4096) rank = 4;
            if (n == kMaxMatch) {
                if (held) {
                    emit_literal(st, p - 1);
                    held = false;
                }
                emit_match(st, p, kMaxMatch, dist);
                p += kMaxMatch;
                if (dist == 1) {
                    while (p + kMaxMatch <= end && std::memcmp(in + p, in + p - 1, kMaxMatch) == 0) {
                        emit_match(st, p, kMaxMatch, 1);
                        p += kMaxMatch;
                    }
                }
                continue;
            }
            if (held) {
                if (held_len + 1 >= rank) {
                    emit_match(st, p - 1, held_len, held_dist);
                    p = p - 1 + held_len;
                    held = false;
                } else {
                    emit_literal(st, p - 1);
                    held_len = n;
                    held_dist = dist;
                    p += 1;
                }
                continue;
            }
            if (static_cast<uint32_t>(n) < stop_length) {
                held = true;
                held_len = n;
                held_dist = dist;
                p += 1;
            } else {
                emit_match(st, p, n, dist);
                p += n;
            }
            continue;
        }
        if (held) {
            emit_match(st, p - 1, held_len, held_dist);
            p = p - 1 + held_len;
            held = false;
            continue;
        }
        uint32_t d3 = search3(p);
        if (d3) {
            held = true;
            held_len = 3;
            held_dist = d3;
        } else {
            emit_literal(st, p);
        }
        p += 1;
    }
    if (held) {
        // The input ended while a match was held.
        emit_match(st, p - 1, held_len, held_dist);
    }
}

}  // namespace zopfli
