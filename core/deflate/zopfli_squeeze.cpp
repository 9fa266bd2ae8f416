// Shortest-path parsing with a bit-cost model: a forward pass relaxes literal
// and match edges at every position, a trace-back turns the cheapest path into
// symbols. The iterated parse records each position's match list once and
// replays it in later iterations.
#include "core/deflate/zopfli_squeeze.h"

#include <cstdlib>
#include <cstring>

#include "core/deflate/zopfli.h"
#include "core/deflate/zopfli_check.h"
#include "core/deflate/zopfli_symbols.h"
#include "core/deflate/zopfli_tree.h"
#include "core/fatal.h"

namespace zopfli {

namespace {

// The finder parked by a block whose successor in the same master block will
// run on this thread; it belongs to one zopfli_deflate call and one buffer.
struct parked_finder {
    match_finder finder;
    const unsigned char* buffer;
    int flag;
};
thread_local parked_finder tl_parked = {};

thread_local iteration_observer tl_observer = nullptr;
thread_local void* tl_observer_context = nullptr;
thread_local bool tl_early_stop = true;
thread_local bool tl_known_distance_find = true;

void park_snapshot(const match_finder* mf, const unsigned char* buffer) {
    if (tl_parked.finder.heads) match_finder_free(&tl_parked.finder);
    match_finder_snapshot(mf, &tl_parked.finder);
    tl_parked.buffer = buffer;
    tl_parked.flag = 1;
}

struct cost_tables {
    float literal[256];
    float length[kMaxMatch + 1];
    float* distance;  // 0..32767
};

void build_cost_tables(const symbol_stats* model, cost_tables* t) {
    t->distance = static_cast<float*>(checked_malloc(32768 * sizeof(float)));
    if (!model) {
        for (int b = 0; b < 256; ++b) t->literal[b] = b < 144 ? 8.0f : 9.0f;
        for (int l = 0; l < kMinMatch; ++l) t->length[l] = 0;
        for (int l = kMinMatch; l <= kMaxMatch; ++l) {
            t->length[l] = static_cast<float>(length_extra_bits(l) + (l <= 114 ? 12 : 13));
        }
        t->distance[0] = 0;
        for (int d = 1; d < 32768; ++d) t->distance[d] = static_cast<float>(dist_extra_bits(d));
        return;
    }
    for (int b = 0; b < 256; ++b) t->literal[b] = model->litlen_costs[b];
    for (int l = 0; l < kMinMatch; ++l) t->length[l] = 0;
    for (int l = kMinMatch; l <= kMaxMatch; ++l) {
        t->length[l] = model->litlen_costs[length_symbol(l)] + static_cast<float>(length_extra_bits(l));
    }
    for (int d = 1; d < 32768; ++d) {
        t->distance[d] = model->dist_costs[dist_symbol(d)] + static_cast<float>(dist_extra_bits(d));
    }
    t->distance[0] = t->distance[1];
}

struct match_cache {
    uint16_t* data;
    uint64_t size;
    uint64_t capacity;
    uint64_t read;
};

enum class pass_kind { plain, recording, replay };

// Moves the finder over run positions [from, to) without tree walks.
void advance_in_run(match_finder* mf, const unsigned char* in, uint64_t from, uint64_t to) {
    uint64_t n = to - from;
    if (n > 32768) {
        match_finder_reset(mf);
        mf->pos = in + to - 1;
        skip_run_positions(mf, 1);
    } else {
        skip_run_positions(mf, n);
    }
}

void forward_pass(const unsigned char* in, uint64_t start, uint64_t end, const symbol_stats* model,
                  uint32_t* steps, pass_kind kind, match_cache* cache, int position_code) {
    const uint64_t block_length = end - start;
    cost_tables t;
    build_cost_tables(model, &t);
    float* costs = static_cast<float*>(checked_malloc((block_length + 1) * sizeof(float)));
    costs[0] = 0;
    std::memset(costs + 1, 0x7F, block_length * sizeof(float));
    // Positions that no edge reaches (inside a run crossed by the shortcut)
    // keep step 0 and the sentinel cost, so no cheapest path passes them; the
    // trace-back stops the engine rather than follow such a step.
    std::memset(steps, 0, (block_length + 1) * sizeof(uint32_t));

    const bool use_finder = kind != pass_kind::replay;
    match_finder mf = {};
    if (use_finder) {
        if ((position_code & tl_parked.flag) != 0 && tl_parked.buffer == in) {
            mf = tl_parked.finder;
            tl_parked.finder.heads = nullptr;
            tl_parked.finder.tree = nullptr;
            tl_parked.flag = 0;
            mf.end = in + end;
            skip_positions(&mf, 258);
            ZOPFLI_CHECK(mf.pos == in + start);  // p.buffer == &in[instart]
        } else {
            uint64_t window_start = start > 32768 ? start - 32768 : 0;
            match_finder_init(&mf, in + window_start, in + end);
            skip_positions(&mf, start - window_start);
        }
    }
    const bool may_park = use_finder && (position_code & 2) && block_length >= 259;
    const uint64_t park_at = may_park ? end - 259 : UINT64_MAX;

    uint16_t list_buffer[kMaxMatchList];
    int state = 0;
    uint32_t known_dist = 0;
    const float run_step_cost_len = t.length[kMaxMatch];
    const float run_step_cost_dist = t.distance[1];

    for (uint64_t d = start; d < end; ++d) {
        enum { op_general, op_run, op_known } op = op_general;
        if (state == 3) {
            uint64_t r = d;
            while (r < end && in[r] == in[r - 1]) ++r;
            if (r >= d + kMaxMatch) {
                uint64_t run_len = r - d - 257;
                for (uint64_t y = d; y < d + run_len; ++y) {
                    uint64_t yx = y - start;
                    costs[yx + kMaxMatch] = costs[yx] + run_step_cost_len + run_step_cost_dist;
                    steps[yx + kMaxMatch] = (1u << 9) | kMaxMatch;
                }
                if (use_finder) {
                    if (park_at >= d && park_at < d + run_len) {
                        advance_in_run(&mf, in, d, park_at + 1);
                        park_snapshot(&mf, in);
                        advance_in_run(&mf, in, park_at + 1, d + run_len);
                    } else {
                        advance_in_run(&mf, in, d, d + run_len);
                    }
                }
                d += run_len;
            }
            op = end - d <= kMaxMatch ? op_general : op_run;
        } else if (state == 1) {
            op = op_run;
        } else if (state == 2) {
            op = op_known;
        }

        const uint64_t x = d - start;
        const uint16_t* list;
        int nlist;
        if (kind == pass_kind::replay) {
            ZOPFLI_CHECK(cache->read < cache->size);
            nlist = cache->data[cache->read++];
            ZOPFLI_CHECK(cache->read + nlist <= cache->size);
            list = cache->data + cache->read;
            cache->read += nlist;
        } else {
            if (kind == pass_kind::recording) op = op_general;
            if (op == op_run) {
                nlist = find_matches_run(&mf, list_buffer);
            } else if (op == op_known && tl_known_distance_find) {
                nlist = find_matches_known_distance(&mf, list_buffer, known_dist);
            } else {
                nlist = find_matches(&mf, list_buffer);
            }
            list = list_buffer;
            if (kind == pass_kind::recording) {
                if (cache->capacity - cache->size < 513) {
                    cache->capacity *= 2;
                    cache->data =
                        static_cast<uint16_t*>(checked_realloc(cache->data, cache->capacity * sizeof(uint16_t)));
                }
                cache->data[cache->size++] = static_cast<uint16_t>(nlist);
                std::memcpy(cache->data + cache->size, list, nlist * sizeof(uint16_t));
                cache->size += nlist;
            }
        }

        // Matches first, then the literal; equal costs keep the earlier step.
        if (nlist >= 2 && list[0] == kMaxMatch) {
            uint32_t dist = list[1];
            costs[x + kMaxMatch] = costs[x] + t.length[kMaxMatch] + t.distance[dist];
            steps[x + kMaxMatch] = (dist << 9) | kMaxMatch;
        } else {
            int previous = kMinMatch - 1;
            for (int k = 0; k + 1 < nlist; k += 2) {
                int len = list[k];
                uint32_t dist = list[k + 1];
                float base = costs[x] + t.distance[dist];
                for (int l = previous + 1; l <= len; ++l) {
                    float c = base + t.length[l];
                    if (c < costs[x + l]) {
                        costs[x + l] = c;
                        steps[x + l] = (dist << 9) | static_cast<uint32_t>(l);
                    }
                }
                previous = len;
            }
        }
        {
            float c = costs[x] + t.literal[in[d]];
            if (c < costs[x + 1]) {
                costs[x + 1] = c;
                steps[x + 1] = (static_cast<uint32_t>(in[d]) << 24) | 1;
            }
        }

        state = 0;
        if (nlist == 2 && list[0] == kMaxMatch) {
            uint32_t dist = list[1];
            if (dist == 1) {
                state = 3;
            } else if (d + kMaxMatch < end && in[d + kMaxMatch] == in[d + kMaxMatch - dist]) {
                state = 2;
                known_dist = dist;
            }
        } else if (nlist > 0) {
            uint32_t last_len = list[nlist - 2];
            uint32_t last_dist = list[nlist - 1];
            if (last_len == kMaxMatch && d + kMaxMatch < end && in[d + kMaxMatch] == in[d + kMaxMatch - last_dist]) {
                state = 2;
                known_dist = last_dist;
            } else if (list[1] == 1 && list[0] > 3 && d + kMaxMatch < end) {
                state = 1;
            }
        }

        if (d == park_at) park_snapshot(&mf, in);
    }

    if (use_finder) match_finder_free(&mf);
    std::free(costs);
    std::free(t.distance);
    if (kind != pass_kind::plain) cache->read = 0;
}

// The cheapest path from the block's end back to its start, last step first.
uint32_t* trace_back(uint64_t block_length, const uint32_t* steps, uint64_t* count_out) {
    uint64_t capacity = block_length / 258 + 50;
    uint32_t* path = static_cast<uint32_t*>(checked_malloc(capacity * sizeof(uint32_t)));
    uint64_t count = 0;
    uint64_t x = block_length;
    while (x > 0) {
        uint32_t step = steps[x];
        uint32_t len = step & 0x1FF;
        ZOPFLI_CHECK(len == 1 || (len >= kMinMatch && len <= kMaxMatch));
        ZOPFLI_CHECK(len <= x);
        if (count == capacity) {
            uint64_t grown = capacity * 2;
            if (grown > 4 * block_length) grown = 4 * block_length;
            ZOPFLI_CHECK(grown > capacity);
            capacity = grown;
            path = static_cast<uint32_t*>(checked_realloc(path, capacity * sizeof(uint32_t)));
        }
        path[count++] = step;
        x -= len;
    }
    *count_out = count;
    return path;
}

void parse_into_store(const uint32_t* steps, uint64_t block_length, lz77_store* store) {
    uint64_t count;
    uint32_t* path = trace_back(block_length, steps, &count);
    lz77_store_free(store);
    lz77_store_from_path(path, count, store);
    std::free(path);
}

struct random_state {
    uint32_t a = 2, b = 1;
    uint32_t next() {
        a = 36969 * (a & 65535) + (a >> 16);
        b = 18000 * (b & 65535) + (b >> 16);
        return (a << 16) + b;
    }
};

void randomize_counts(uint64_t* counts, int n, random_state& rng) {
    for (int i = 0; i < n; ++i) {
        uint32_t v = rng.next();
        if ((v >> 4) % 3 == 0) {
            v = rng.next();
            counts[i] = counts[v % static_cast<uint32_t>(n)];
        }
    }
}

void fixed_code_costs(symbol_stats* s) {
    std::memset(s, 0, sizeof(*s));
    for (int i = 0; i < kNumLitLen; ++i) {
        s->litlen_costs[i] = i < 144 ? 8.0f : (i < 256 ? 9.0f : (i < 280 ? 7.0f : 8.0f));
    }
    for (int i = 0; i < kNumDist; ++i) s->dist_costs[i] = 5.0f;
}

inline void add_to(float& v, double delta) { v = static_cast<float>(static_cast<double>(v) + delta); }

}  // namespace

void zopfli_clear_thread_snapshot() {
    if (tl_parked.finder.heads) match_finder_free(&tl_parked.finder);
    tl_parked = {};
}

bool zopfli_thread_snapshot_parked() { return tl_parked.finder.heads != nullptr; }

void zopfli_set_early_stop(bool on) { tl_early_stop = on; }

void zopfli_set_known_distance_find(bool on) { tl_known_distance_find = on; }

void zopfli_set_iteration_observer(iteration_observer observer, void* context) {
    tl_observer = observer;
    tl_observer_context = context;
}

void adjust_start_costs(symbol_stats* s, bool single_iteration, uint64_t block_length) {
    float* L = s->litlen_costs;
    float* D = s->dist_costs;
    for (int i = 0; i < 256; ++i) add_to(L[i], -0.2);
    if (block_length <= 999) {
        for (int i = 0; i < 256; ++i) add_to(L[i], -0.2);
    }
    add_to(L[0], -1.2);
    add_to(L[1], -0.4);
    add_to(D[0], -1.5);
    add_to(D[3], -1.4);
    add_to(L[255], -0.5);
    add_to(L[257], -0.8);
    add_to(L[258], 0.3);
    add_to(L[272], 1.2);
    add_to(L[282], 0.2);
    add_to(L[283], 0.2);
    add_to(L[284], 0.4);
    add_to(L[285], 0.3);
    const double g = single_iteration ? 0.35 : 0.4;
    for (int i = 270; i <= 285; ++i) add_to(L[i], g);
    for (int i = 0; i <= 285; ++i) L[i] = L[i] < 1.0f ? 1.0f : (L[i] > 15.0f ? 15.0f : L[i]);
    for (int i = 0; i <= 29; ++i) D[i] = D[i] < 1.0f ? 1.0f : (D[i] > 15.0f ? 15.0f : D[i]);
}

void zopfli_lz77_optimal_fixed(const Zopflioptions* /*opts*/, const unsigned char* in, uint64_t start,
                               uint64_t end, lz77_store* store, int position_code) {
    const uint64_t block_length = end - start;
    uint32_t* steps = static_cast<uint32_t*>(checked_malloc((block_length + 1) * sizeof(uint32_t)));
    forward_pass(in, start, end, nullptr, steps, pass_kind::plain, nullptr, position_code);
    parse_into_store(steps, block_length, store);
    std::free(steps);
}

void zopfli_lz77_optimal(const Zopflioptions* opts, const unsigned char* in, uint64_t start, uint64_t end,
                         lz77_store* store, const symbol_stats* stats, int position_code) {
    const uint64_t block_length = end - start;
    const uint32_t iterations = opts->iterations;
    uint32_t* steps = static_cast<uint32_t*>(checked_malloc((block_length + 1) * sizeof(uint32_t)));

    // The working model starts from the splitter's statistics, or from the
    // fixed code when the options ask not to use them.
    symbol_stats model;
    if (opts->no_start_stats) {
        fixed_code_costs(&model);
    } else {
        model = *stats;
    }

    if (iterations <= 1) {
        if (opts->tuned) adjust_start_costs(&model, true, block_length);
        forward_pass(in, start, end, &model, steps, pass_kind::plain, nullptr, position_code);
        parse_into_store(steps, block_length, store);
        std::free(steps);
        return;
    }

    const uint32_t limit = iterations <= 15 ? 4 : (iterations <= 59 ? 8 : 64);
    if (opts->tuned && iterations <= 8) adjust_start_costs(&model, false, block_length);

    match_cache cache;
    cache.capacity = block_length + 513;
    cache.data = static_cast<uint16_t*>(checked_malloc(cache.capacity * sizeof(uint16_t)));
    cache.size = 0;
    cache.read = 0;

    double best_cost = 1e30;
    uint64_t last_cost = 0;
    uint32_t no_improvement = 0;
    random_state rng;
    symbol_stats best = model;
    lz77_store work;
    lz77_store_init(&work);

    for (uint32_t j = 1; j <= iterations; ++j) {
        lz77_store_free(&work);
        const bool integer_lengths = j == 9 || j == 30 || (j == iterations - 1 && iterations > 5);
        if (integer_lengths) {
            smooth_style_a(best.dist_counts, kNumDist);
            smooth_style_a(best.litlen_counts, kNumLitLen);
            uint32_t ll_lengths[kNumLitLen];
            uint32_t d_lengths[kNumDist];
            zopfli_length_limited_lengths(best.litlen_counts, kNumLitLen, 15, ll_lengths);
            zopfli_length_limited_lengths(best.dist_counts, kNumDist, 15, d_lengths);
            for (int i = 0; i < kNumLitLen; ++i) model.litlen_costs[i] = static_cast<float>(ll_lengths[i]);
            for (int i = 0; i < kNumDist; ++i) model.dist_costs[i] = static_cast<float>(d_lengths[i]);
        }
        forward_pass(in, start, end, &model, steps, j == 1 ? pass_kind::recording : pass_kind::replay, &cache,
                     position_code);
        parse_into_store(steps, block_length, &work);
        uint64_t cost = dynamic_block_cost(&work, 0, work.size, static_cast<int>(opts->tree_search), false);
        const bool improved = static_cast<double>(cost) < best_cost;
        if (tl_observer) tl_observer({j, cost, integer_lengths, improved}, tl_observer_context);
        if (improved) {
            lz77_store_copy(&work, store);
            best = model;
            best_cost = static_cast<double>(cost);
            no_improvement = 0;
        } else if (++no_improvement >= limit && tl_early_stop) {
            break;
        }
        const symbol_stats previous = model;
        lz77_histogram(&work, 0, work.size, model.litlen_counts, model.dist_counts, false);
        for (int i = 0; i < kNumLitLen; ++i) {
            model.litlen_counts[i] = static_cast<uint64_t>(static_cast<float>(previous.litlen_counts[i]) * 0.5f +
                                                           static_cast<float>(model.litlen_counts[i]));
        }
        for (int i = 0; i < kNumDist; ++i) {
            model.dist_counts[i] = static_cast<uint64_t>(static_cast<float>(previous.dist_counts[i]) * 0.5f +
                                                         static_cast<float>(model.dist_counts[i]));
        }
        model.litlen_counts[256] = 1;
        entropy_costs(model.litlen_counts, kNumLitLen, model.litlen_costs);
        entropy_costs(model.dist_counts, kNumDist, model.dist_costs);
        if (j > 6 && cost == last_cost) {
            model = best;
            randomize_counts(model.litlen_counts, kNumLitLen, rng);
            randomize_counts(model.dist_counts, kNumDist, rng);
            model.litlen_counts[256] = 1;
            entropy_costs(model.litlen_counts, kNumLitLen, model.litlen_costs);
            entropy_costs(model.dist_counts, kNumDist, model.dist_costs);
        }
        last_cost = cost;
    }
    lz77_store_free(&work);
    std::free(cache.data);
    std::free(steps);
}

}  // namespace zopfli
