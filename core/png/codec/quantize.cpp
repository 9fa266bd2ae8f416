// Palette quantiser (see quantize.h for the outline).
//
// Working data per distinct colour is kept in parallel arrays of small
// fields (weights, pixel count, distance, nearest entry, a bucket link and the
// pixel sum of its finest cell: 21 bytes) plus the census table, so images
// with millions of colours stay within a few hundred megabytes. The pixel to
// colour mapping is not stored: the output pass looks each run of equal
// pixels up again in the census table.
#include "core/png/codec/quantize.h"

#include <algorithm>
#include <cmath>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/png/codec/quantize_table.h"

namespace {

constexpr int level_count = 7;
constexpr int32_t bucket_count = 16384;
constexpr int32_t no_distance = std::numeric_limits<int32_t>::max();
constexpr uint32_t no_colour = std::numeric_limits<uint32_t>::max();

// Budget divisors for quality 55..89, one per step of five.
const float upper_divisors[7] = {2.5f, 3.0f, 3.5f, 4.0f, 4.5f, 5.0f, 5.5f};

// Census key of a pixel: RGBA packed big-end first; every fully transparent
// pixel shares key 0.
inline uint32_t pixel_key(const uint8_t* p) {
    if (p[3] == 0) return 0;
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

inline uint32_t pack_weights(const quantize_weights& w) {
    return (uint32_t(w.w0) << 24) | (uint32_t(w.w1) << 16) | (uint32_t(w.w2) << 8) | w.w3;
}

inline int32_t weighted_distance(uint32_t a, uint32_t b) {
    int32_t d0 = int32_t(a >> 24) - int32_t(b >> 24);
    int32_t d1 = int32_t((a >> 16) & 0xFF) - int32_t((b >> 16) & 0xFF);
    int32_t d2 = int32_t((a >> 8) & 0xFF) - int32_t((b >> 8) & 0xFF);
    int32_t d3 = int32_t(a & 0xFF) - int32_t(b & 0xFF);
    return d0 * d0 + d1 * d1 + d2 * d2 + d3 * d3;
}

// Tables that depend on nothing but a channel value: the spread of bits 0..7
// to every fourth bit (for the Morton code) and, per level, the squared
// distance from a value to the far edge of its cell.
struct channel_tables {
    uint32_t spread[256];
    uint32_t edge_squared[level_count][256];

    channel_tables() {
        for (uint32_t v = 0; v < 256; ++v) {
            uint32_t s = 0;
            for (int k = 0; k < 8; ++k) s |= ((v >> k) & 1u) << (4 * k);
            spread[v] = s;
            for (int l = 0; l < level_count; ++l) {
                uint32_t side = (1u << (l + 2)) - 1;
                uint32_t e = std::max(v & side, (255 - v) & side);
                edge_squared[l][v] = e * e;
            }
        }
    }
};

const channel_tables& tables() {
    static const channel_tables t;
    return t;
}

// Level-0 cell of packed weights: bits 2..7 of the four channels interleaved,
// w0 in the highest position of each group of four.
inline uint32_t morton_code(uint32_t w) {
    const uint32_t* s = tables().spread;
    uint32_t full = (s[w >> 24] << 3) | (s[(w >> 16) & 0xFF] << 2) | (s[(w >> 8) & 0xFF] << 1) | s[w & 0xFF];
    return full >> 8;
}

inline int64_t scaled_error(double squared) { return int64_t(std::sqrt(0.2 * squared) + 0.5); }

inline int64_t cell_radius(uint32_t w, int level) {
    const uint32_t* e = tables().edge_squared[level];
    uint32_t sum = e[w >> 24] + e[(w >> 16) & 0xFF] + e[(w >> 8) & 0xFF] + e[w & 0xFF];
    return scaled_error(double(sum));
}

// All per-call working data.
struct quantizer {
    // Per distinct colour, indexed by colour number (order of first appearance).
    std::vector<uint32_t> weights;   // w0 << 24 | w1 << 16 | w2 << 8 | w3
    std::vector<uint32_t> count;     // pixels of the colour
    std::vector<int32_t> distance;   // squared distance to its nearest entry
    std::vector<uint8_t> nearest;    // palette index of that entry
    std::vector<uint32_t> cell_sum;  // non-seed pixels in its level-0 cell
    std::vector<uint32_t> next;      // link in its priority bucket

    quantize_key_table numbers;      // census key -> colour number + 1
    uint32_t transparent_raw = 0;    // R, G, B of the first fully transparent pixel

    std::vector<uint32_t> palette;   // colour numbers in palette order
    uint64_t total_error = 0;        // modular while seeding, exact from the priorities on

    // Dense pixel sums for the cells of levels 1..6 (level l has 2^(24-4l) cells).
    std::vector<uint32_t> histogram[level_count];

    std::vector<uint32_t> bucket_top;
};

void take_census(quantizer& q, const uint8_t* pixels, uint64_t pixel_total) {
    uint32_t previous_key = 0;
    uint32_t number = 0;
    for (uint64_t i = 0; i < pixel_total; ++i) {
        const uint8_t* p = pixels + 4 * i;
        uint32_t key = pixel_key(p);
        if (i == 0 || key != previous_key) {
            bool added = false;
            uint32_t& slot = q.numbers.value_for(key, added);
            if (added) {
                number = uint32_t(q.weights.size());
                slot = number + 1;
                q.weights.push_back(pack_weights(quantize_weigh(p[0], p[1], p[2], p[3])));
                q.count.push_back(0);
                if (key == 0) q.transparent_raw = (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8);
            } else {
                number = slot - 1;
            }
            previous_key = key;
        }
        ++q.count[number];
    }
}

// Puts colour `colour` into the palette as entry `index`; every colour that is
// strictly closer to it than to its present nearest entry moves over (on equal
// distances the earlier entry stays nearest). The total error follows along.
void add_palette_colour(uint32_t colour, uint32_t index, quantizer& q) {
    q.palette.push_back(colour);
    q.nearest[colour] = uint8_t(index);
    q.total_error -= uint64_t(q.count[colour]) * uint64_t(q.distance[colour]);
    q.distance[colour] = 0;

    const uint32_t wc = q.weights[colour];
    const uint32_t* weights = q.weights.data();
    const uint32_t* count = q.count.data();
    int32_t* distance = q.distance.data();
    uint8_t* nearest = q.nearest.data();
    const size_t n = q.weights.size();
    uint64_t error = q.total_error;
    size_t i = 0;
#if defined(__SSE2__)
    // Four colours at a time; the rare lanes that move over are finished one
    // by one. The results are those of the plain loop below.
    const __m128i zero = _mm_setzero_si128();
    const __m128i centre = _mm_unpacklo_epi8(_mm_set1_epi32(int32_t(wc)), zero);
    for (; i + 4 <= n; i += 4) {
        const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(weights + i));
        const __m128i lo = _mm_sub_epi16(_mm_unpacklo_epi8(w, zero), centre);
        const __m128i hi = _mm_sub_epi16(_mm_unpackhi_epi8(w, zero), centre);
        const __m128 pairs_lo = _mm_castsi128_ps(_mm_madd_epi16(lo, lo));
        const __m128 pairs_hi = _mm_castsi128_ps(_mm_madd_epi16(hi, hi));
        const __m128i d = _mm_add_epi32(_mm_castps_si128(_mm_shuffle_ps(pairs_lo, pairs_hi, _MM_SHUFFLE(2, 0, 2, 0))),
                                        _mm_castps_si128(_mm_shuffle_ps(pairs_lo, pairs_hi, _MM_SHUFFLE(3, 1, 3, 1))));
        const __m128i old = _mm_loadu_si128(reinterpret_cast<const __m128i*>(distance + i));
        const int closer = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmplt_epi32(d, old)));
        if (closer == 0) continue;
        alignas(16) int32_t lanes[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes), d);
        for (int k = 0; k < 4; ++k) {
            if (!(closer & (1 << k))) continue;
            error += uint64_t(int64_t(lanes[k] - distance[i + k]) * int64_t(count[i + k]));
            distance[i + k] = lanes[k];
            nearest[i + k] = uint8_t(index);
        }
    }
#endif
    // A new distance is never negative, so "strictly smaller" also skips the
    // colours that already sit on an entry.
    for (; i < n; ++i) {
        int32_t d = weighted_distance(wc, weights[i]);
        if (d < distance[i]) {
            error += uint64_t(int64_t(d - distance[i]) * int64_t(count[i]));
            distance[i] = d;
            nearest[i] = uint8_t(index);
        }
    }
    q.total_error = error;
}

// Estimated error the colour would remove: its own pixels at its present
// scaled error, plus the pixels of the surrounding cells that lie farther from
// it than that error reaches out, each cell counted once at the level where
// it first appears.
int32_t priority_of(const quantizer& q, uint32_t j) {
    const int64_t z = scaled_error(double(q.distance[j]));
    const uint32_t w = q.weights[j];
    const uint32_t code = morton_code(w);
    int64_t score = int64_t(q.count[j]) * z;
    for (int l = 0; l < level_count; ++l) {
        int64_t r = cell_radius(w, l);
        if (z <= r) continue;
        int64_t outer = l == 0 ? q.cell_sum[j] : q.histogram[l][code >> (4 * l)];
        int64_t inner = l == 0 ? q.count[j] : l == 1 ? q.cell_sum[j] : q.histogram[l - 1][code >> (4 * (l - 1))];
        score += (z - r) * (outer - inner);
    }
    return int32_t(std::min<int64_t>(score / 16, bucket_count - 1));
}

// Pixel sums of the non-seed colours per cell at every level. Level 0 has 2^24
// cells and is kept sparse; each colour keeps the sum of its own level-0 cell.
void fill_histograms(quantizer& q, const std::vector<uint32_t>& seeds) {
    const size_t n = q.weights.size();
    for (int l = 1; l < level_count; ++l) q.histogram[l].assign(size_t(1) << (24 - 4 * l), 0);
    quantize_key_table finest;
    size_t s = 0;
    for (size_t j = 0; j < n; ++j) {
        if (s < seeds.size() && seeds[s] == j) {
            ++s;
            continue;
        }
        uint32_t code = morton_code(q.weights[j]);
        bool added = false;
        finest.value_for(code, added) += q.count[j];
        for (int l = 1; l < level_count; ++l) q.histogram[l][code >> (4 * l)] += q.count[j];
    }
    q.cell_sum.assign(n, 0);
    s = 0;
    for (size_t j = 0; j < n; ++j) {
        if (s < seeds.size() && seeds[s] == j) {
            ++s;
            continue;
        }
        q.cell_sum[j] = finest.find(morton_code(q.weights[j]));
    }
}

inline void push_bucket(quantizer& q, int32_t bucket, uint32_t colour) {
    q.next[colour] = q.bucket_top[bucket];
    q.bucket_top[bucket] = colour;
}

}  // namespace

quantize_weights quantize_weigh(uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
    // a45 is 0.45 * a rounded to the nearest integer, halves upwards.
    const uint32_t a45 = (45u * a + 50u) / 100u;
    quantize_weights w;
    w.w0 = uint8_t((uint32_t(r) * ((uint32_t(a) + 1) / 2)) / 256);
    w.w1 = uint8_t((uint32_t(g) * a) / 256);
    w.w2 = uint8_t((uint32_t(b) * a45) / 256);
    w.w3 = a;
    return w;
}

float quantize_budget_divisor(uint8_t quality, uint8_t apng) {
    if (quality >= 95) return 0.0f;
    if (quality >= 90) return 5.9f;
    if (apng && quality <= 49) {
        if (quality >= 45) return 1.7f;
        if (quality >= 40) return 1.6f;
        if (quality >= 35) return 1.5f;
        return 1.4f;
    }
    if (quality <= 54) return 2.2f;
    return upper_divisors[(quality - 55) / 5];
}

int64_t quantize_error_budget(uint64_t pixel_count, uint8_t quality, uint8_t apng) {
    const float divisor = quantize_budget_divisor(quality, apng);
    if (divisor == 0.0f) return 0;
    const float pixels = float(pixel_count);
    return int64_t(pixels / divisor);
}

uint32_t quantize_grace_count(uint64_t pixel_count) {
    if (pixel_count <= 199999) return 10;
    if (pixel_count > 5139999) return 256;
    return uint32_t(pixel_count / 20000);
}

int32_t quantize_palette(const uint8_t* pixels, std::vector<uint8_t>& index_out, uint8_t* palette_out,
                         uint32_t width, uint32_t height, uint16_t max_colours, uint8_t quality, uint8_t apng,
                         uint8_t count_only) {
    const uint64_t pixel_total = uint64_t(width) * height;
    // Pixel counts are 32-bit; no decoded image comes near that size.
    if (pixel_total == 0 || pixel_total > std::numeric_limits<uint32_t>::max()) return 0;
    const uint32_t limit = std::clamp<uint32_t>(max_colours, 1, 256);

    quantizer q;
    take_census(q, pixels, pixel_total);
    const size_t n = q.weights.size();
    q.distance.assign(n, no_distance);
    q.nearest.assign(n, 0);
    q.palette.reserve(limit);

    const int64_t budget = quantize_error_budget(pixel_total, quality, apng);
    const uint32_t grace = quantize_grace_count(pixel_total);

    // Seeding: every colour above the threshold, in colour order; without any,
    // the most frequent colour (the first met among equals).
    const uint64_t threshold = n > 256 ? (4 * pixel_total) / limit : n;
    uint32_t most_frequent = 0;
    for (uint32_t c = 0; c < n && q.palette.size() < limit; ++c) {
        if (q.count[c] > q.count[most_frequent]) most_frequent = c;
        if (q.count[c] > threshold) add_palette_colour(c, uint32_t(q.palette.size()), q);
    }
    if (q.palette.empty()) add_palette_colour(most_frequent, 0, q);
    std::vector<uint32_t> seeds(q.palette);
    std::sort(seeds.begin(), seeds.end());

    if (n > seeds.size()) {
        fill_histograms(q, seeds);

        q.total_error = 0;
        for (size_t c = 0; c < n; ++c) q.total_error += uint64_t(q.count[c]) * uint64_t(q.distance[c]);

        q.bucket_top.assign(bucket_count, no_colour);
        q.next.assign(n, no_colour);
        int32_t top = -1;
        size_t s = 0;
        for (uint32_t j = 0; j < n; ++j) {
            if (s < seeds.size() && seeds[s] == j) {
                ++s;
                continue;
            }
            int32_t p = priority_of(q, j);
            push_bucket(q, p, j);
            top = std::max(top, p);
        }

        // Growth: take the best-looking candidate, re-rate it with its present
        // distance, and add it only when it still belongs in its bucket. Once
        // the error is under budget, the surplus accumulates; the growth ends
        // when that slack reaches the grace count of budgets.
        double slack = 0.0;
        const double slack_limit = double(int64_t(grace) * budget);
        while (top >= 0 && q.palette.size() < limit) {
            const int64_t error = int64_t(q.total_error);
            if (error < budget) {
                slack += double(budget - error);
                if (slack >= slack_limit) break;
            }
            const uint32_t j = q.bucket_top[top];
            q.bucket_top[top] = q.next[j];
            const int32_t p = priority_of(q, j);
            if (p < top)
                push_bucket(q, p, j);
            else
                add_palette_colour(j, uint32_t(q.palette.size()), q);
            while (top >= 0 && q.bucket_top[top] == no_colour) --top;
        }
    }

    const size_t entries = q.palette.size();
    if (count_only) return int32_t(entries);

    if (palette_out) {
        q.numbers.for_each([&](uint32_t key, uint32_t value) {
            const uint32_t c = value - 1;
            const uint32_t k = q.nearest[c];
            if (q.distance[c] != 0 || q.palette[k] != c) return;
            const uint32_t raw = key == 0 ? q.transparent_raw : key;
            palette_out[4 * k + 0] = uint8_t(raw >> 24);
            palette_out[4 * k + 1] = uint8_t(raw >> 16);
            palette_out[4 * k + 2] = uint8_t(raw >> 8);
            palette_out[4 * k + 3] = uint8_t(raw);
        });
    }

    if (index_out.size() < pixel_total) index_out.resize(pixel_total);
    uint32_t previous_key = 0;
    uint8_t index = 0;
    for (uint64_t i = 0; i < pixel_total; ++i) {
        const uint32_t key = pixel_key(pixels + 4 * i);
        if (i == 0 || key != previous_key) {
            index = q.nearest[q.numbers.find(key) - 1];
            previous_key = key;
        }
        index_out[i] = index;
    }
    return int32_t(4 * entries);
}
