// Split-point search on the lazy matcher's packed store. Each segment keeps
// its whole histogram and the histogram of its first half, so the histogram of
// a probe's side is built from whichever is nearest.
#include "core/deflate/zopfli_split.h"

#include <cstdlib>
#include <cstring>

#include "core/deflate/zopfli.h"
#include "core/deflate/zopfli_check.h"
#include "core/deflate/zopfli_symbols.h"
#include "core/deflate/zopfli_tree.h"
#include "core/fatal.h"

namespace zopfli {

namespace {

struct segment {
    const lz77_store* store;
    uint64_t lstart;
    uint64_t lend;
    uint64_t half;  // lend - (lend - lstart) / 2
    uint64_t whole_ll[kNumLitLen];
    uint64_t whole_d[kNumDist];
    uint64_t half_ll[kNumLitLen];
    uint64_t half_d[kNumDist];
};

inline void count_symbol(const lz77_store* s, uint64_t i, uint64_t* ll, uint64_t* d, int64_t sign) {
    ll[s->litlens[i] & 0x1FF] += static_cast<uint64_t>(sign);
    uint8_t dist = s->packed_dists[i];
    if (dist) d[dist - 1] += static_cast<uint64_t>(sign);
}

void prepare_segment(segment* seg, const lz77_store* store, uint64_t lstart, uint64_t lend) {
    seg->store = store;
    seg->lstart = lstart;
    seg->lend = lend;
    seg->half = lend - (lend - lstart) / 2;
    lz77_histogram(store, lstart, lend, seg->whole_ll, seg->whole_d, true);
    lz77_histogram(store, lstart, seg->half, seg->half_ll, seg->half_d, true);
}

// Histogram of [lstart, x) without the end-of-block count.
void left_histogram(const segment* seg, uint64_t x, uint64_t* ll, uint64_t* d) {
    const lz77_store* s = seg->store;
    uint64_t direct = x - seg->lstart;
    uint64_t from_half = x > seg->half ? x - seg->half : seg->half - x;
    uint64_t from_right = seg->lend - x;
    if (direct <= from_half && direct <= from_right) {
        std::memset(ll, 0, kNumLitLen * sizeof(uint64_t));
        std::memset(d, 0, kNumDist * sizeof(uint64_t));
        for (uint64_t i = seg->lstart; i < x; ++i) count_symbol(s, i, ll, d, 1);
    } else if (from_half <= from_right) {
        std::memcpy(ll, seg->half_ll, kNumLitLen * sizeof(uint64_t));
        std::memcpy(d, seg->half_d, kNumDist * sizeof(uint64_t));
        ll[256] = 0;
        if (x > seg->half) {
            for (uint64_t i = seg->half; i < x; ++i) count_symbol(s, i, ll, d, 1);
        } else {
            for (uint64_t i = x; i < seg->half; ++i) count_symbol(s, i, ll, d, -1);
        }
    } else {
        uint64_t rll[kNumLitLen] = {0};
        uint64_t rd[kNumDist] = {0};
        for (uint64_t i = x; i < seg->lend; ++i) count_symbol(s, i, rll, rd, 1);
        for (int k = 0; k < kNumLitLen; ++k) ll[k] = seg->whole_ll[k] - rll[k];
        for (int k = 0; k < kNumDist; ++k) d[k] = seg->whole_d[k] - rd[k];
        ll[256] = 0;
    }
}

// Estimated bits of the segment cut at x; at x = lend, of the whole segment.
double split_cost(const segment* seg, uint64_t x, const Zopflioptions* opts) {
    const int mode = static_cast<int>(opts->tree_search & 2);
    if (x == seg->lend) {
        return static_cast<double>(dynamic_block_cost_from_counts(seg->whole_ll, seg->whole_d, mode) + 3);
    }
    ZOPFLI_CHECK(x > seg->lstart && x < seg->lend);
    uint64_t ll[kNumLitLen], d[kNumDist], rll[kNumLitLen], rd[kNumDist];
    left_histogram(seg, x, ll, d);
    for (int k = 0; k < kNumLitLen; ++k) rll[k] = seg->whole_ll[k] - ll[k];
    for (int k = 0; k < kNumDist; ++k) rd[k] = seg->whole_d[k] - d[k];
    ll[256] = 1;
    rll[256] = 1;
    return static_cast<double>(dynamic_block_cost_from_counts(ll, d, mode) +
                               dynamic_block_cost_from_counts(rll, rd, mode));
}

// The best split index in [a, b) of the segment, or a when no split pays.
uint64_t find_split(const segment* seg, uint64_t a, uint64_t b, const Zopflioptions* opts) {
    const uint64_t probes = opts->split_probes;
    ZOPFLI_CHECK(probes >= 1 && probes <= 64);
    uint64_t count = b - a;
    uint64_t pos = a;
    double best = 1e30;
    uint64_t start = a;
    uint64_t end = b;
    bool scan_tail = true;
    if (probes < count) {
        const uint64_t c0 = count;
        const bool big = c0 > 600;
        bool first = true;
        uint64_t p[64];
        double cost[64];
        for (;;) {
            for (uint64_t i = 0; i < probes; ++i) {
                p[i] = start + (count / (probes + 1)) * (i + 1);
                if (p[i] == pos || (probes == 3 && i == 1 && !first)) {
                    cost[i] = best;
                } else {
                    cost[i] = split_cost(seg, p[i], opts);
                }
            }
            uint64_t k = 0;
            for (uint64_t i = 1; i < probes; ++i) {
                if (cost[i] < cost[k]) k = i;
            }
            if (cost[k] > best) {
                best = cost[k];
                scan_tail = false;
                break;
            }
            best = cost[k];
            pos = p[k];
            start = k == 0 ? start : p[k - 1];
            end = k == probes - 1 ? end : p[k + 1];
            count = end - start;
            if (count <= probes) break;
            if (probes == 3 && big && count <= c0 / 100) {
                scan_tail = false;
                break;
            }
            first = false;
        }
    }
    if (scan_tail && opts->iterations > 50) {
        for (uint64_t x = start; x < start + count; ++x) {
            double c = split_cost(seg, x, opts);
            if (c < best) {
                pos = x;
                best = c;
            }
        }
    }
    double nosplit = split_cost(seg, seg->lend, opts);
    return best >= nosplit ? a : pos;
}

void append_point(uint64_t** points, uint64_t* npoints, uint64_t value) {
    uint64_t n = *npoints;
    if ((n & (n - 1)) == 0) {
        *points = static_cast<uint64_t*>(checked_realloc(*points, (n == 0 ? 1 : n * 2) * sizeof(uint64_t)));
    }
    (*points)[n] = value;
    *npoints = n + 1;
}

}  // namespace

void zopfli_block_split(const Zopflioptions* opts, const unsigned char* in, uint64_t start, uint64_t end,
                        uint64_t** points, uint64_t* npoints, symbol_stats** records) {
    const uint64_t first_record = *npoints;
    lz77_store store;
    lz77_store_init(&store);
    zopfli_lz77_lazy(opts, in, start, end, &store);

    if (end - start < opts->split_min_bytes || store.size < opts->split_min_symbols) {
        *records = static_cast<symbol_stats*>(checked_realloc(*records, (first_record + 1) * sizeof(symbol_stats)));
        stats_from_store(&store, &(*records)[first_record]);
        lz77_store_free(&store);
        return;
    }

    // Symbol split points, sorted.
    uint64_t* lz_points = nullptr;
    uint64_t nlz_points = 0;
    unsigned char* done = static_cast<unsigned char*>(checked_calloc(store.size, 1));
    segment* seg = static_cast<segment*>(checked_malloc(sizeof(segment)));

    uint64_t lstart = 0;
    uint64_t lend = store.size;
    for (;;) {
        ZOPFLI_CHECK(lstart < lend);  // lstart < lend
        prepare_segment(seg, &store, lstart, lend);
        uint64_t x = find_split(seg, lstart + 1, lend, opts);
        ZOPFLI_CHECK(x > lstart || x == 0);  // llpos > lstart || !llpos
        ZOPFLI_CHECK(x < lend);              // llpos < lend
        if (x == lstart + 1) {
            done[lstart] = 1;
        } else {
            append_point(&lz_points, &nlz_points, x);
            for (uint64_t i = nlz_points - 1; i > 0 && lz_points[i - 1] > lz_points[i]; --i) {
                uint64_t t = lz_points[i];
                lz_points[i] = lz_points[i - 1];
                lz_points[i - 1] = t;
            }
        }
        // Continue with the longest segment not yet done.
        bool found = false;
        uint64_t best_start = 0, best_end = 0, best_len = 0;
        for (uint64_t i = 0; i <= nlz_points; ++i) {
            uint64_t s = i == 0 ? 0 : lz_points[i - 1];
            uint64_t e = i == nlz_points ? store.size - 1 : lz_points[i];
            if (done[s] || e <= s) continue;
            if (!found || e - s > best_len) {
                found = true;
                best_start = s;
                best_end = e;
                best_len = e - s;
            }
        }
        if (!found || best_len < opts->split_min_symbols) break;
        lstart = best_start;
        lend = best_end;
    }

    // Symbol indexes to byte positions, with one record per block.
    *records = static_cast<symbol_stats*>(
        checked_realloc(*records, (first_record + nlz_points + 1) * sizeof(symbol_stats)));
    uint64_t byte_pos = start;
    uint64_t next_point = 0;
    uint64_t previous_index = 0;
    for (uint64_t i = 0; i < store.size && next_point < nlz_points; ++i) {
        if (i == lz_points[next_point]) {
            append_point(points, npoints, byte_pos);
            stats_from_store(&store, previous_index, i, &(*records)[*npoints - 1]);
            previous_index = i;
            ++next_point;
        }
        uint16_t v = store.litlens[i];
        byte_pos += store.packed_dists[i] ? static_cast<uint64_t>(packed_match_length(v)) : 1;
    }
    ZOPFLI_CHECK(*npoints - first_record == nlz_points);  // *npoints - prevpoints == nlz77points
    stats_from_store(&store, previous_index, store.size, &(*records)[*npoints]);

    std::free(seg);
    std::free(done);
    std::free(lz_points);
    lz77_store_free(&store);
}

}  // namespace zopfli
