#include "core/jpg/turbo_ext/encoder_quant.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace sjpeg::detail {

const uint8_t zigzag_to_natural[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
};

namespace {

// Base tables (quality 50) from a radial frequency model: the step grows
// with the distance r of (u, v) from DC, r = sqrt(u^2 + v^2) / (7 sqrt 2):
// step = base * (1 + slope * r^shape). Against the usual tables these are
// finer in the middle frequencies of luma, where structure lives, and coarser
// where the eye and structural similarity care least; on photographs they give
// the same structural similarity in fewer bytes.
struct radial_table {
    double base, slope, shape;
};
const radial_table luma_model = {12.0, 6.0, 0.7};
const radial_table chroma_model = {17.0, 7.0, 1.3};

double radial_step(const radial_table& t, int k) {
    const int u = k % 8, v = k / 8;
    const double r = std::sqrt(double(u * u + v * v)) / (7.0 * std::sqrt(2.0));
    return t.base * (1.0 + t.slope * std::pow(r, t.shape));
}

// Lagrange multiplier in units of (error / step)^2 per bit. With a uniform
// quantiser at high rate, d/ds (s^2/12 + lambda * (h - log2 s)) vanishes at
// the base step exactly when lambda = ln 2 / 6 (0.116); a little above it,
// steps grow where this image's statistics let them, which on photographs
// buys more bytes than it costs in structural similarity.
const double adapt_lambda = 0.16;
// The trellis trades gently: its distortion is squared error, and a strong
// trade loses more structural similarity than it saves bytes (measured on
// photographs), so it only drops values whose bits are clearly not worth it.
const float trellis_lambda = 0.03f;
// Range a step may move to under table adaptation.
const double adapt_low = 0.7, adapt_high = 1.45;

// Busy-block masking: activity (sum of |AC| in steps) at which masking starts
// and where it is complete.
const float mask_start = 3.0f, mask_full = 24.0f;
// Largest rounding shift toward zero (in steps) at the highest frequency and
// at the lowest AC frequency, reached in fully masked blocks.
const float bias_low = 0.05f, bias_high = 0.15f;
// Distortion weight of a fully masked block in the trellis.
const float masked_weight = 0.8f;

const int max_ac_magnitude = 1023;
const int max_dc_magnitude = 2047;

inline int table_of(int component) { return component == 0 ? 0 : 1; }

inline int bit_length(unsigned v) {
    int n = 0;
    while (v) {
        ++n;
        v >>= 1;
    }
    return n;
}

// Plain rounding of one stored coefficient (ties away from zero).
inline int16_t round_value(int16_t in, int step, int limit) {
    const int q = step * coef_scale;
    const int v = std::min((std::abs(int(in)) + q / 2) / q, limit);
    return int16_t(in < 0 ? -v : v);
}

// Rounds one block plainly, natural order, into `out` (which may be `in`).
void round_block(const int16_t* in, const uint16_t* steps, int16_t* out) {
    for (int k = 0; k < 64; ++k) out[k] = round_value(in[k], steps[k], k == 0 ? max_dc_magnitude : max_ac_magnitude);
}

// AC symbol statistics of plainly rounded blocks, per table: counts of the
// Huffman symbols (run << 4 | size), with 0x00 end of block and 0xF0 a run of 16.
struct symbol_costs {
    float bits[256];
};

void count_symbols(const int16_t* q, uint32_t counts[256]) {
    int run = 0;
    for (int z = 1; z < 64; ++z) {
        const int v = q[zigzag_to_natural[z]];
        if (v == 0) {
            ++run;
            continue;
        }
        while (run > 15) {
            ++counts[0xF0];
            run -= 16;
        }
        ++counts[(run << 4) | bit_length(unsigned(std::abs(v)))];
        run = 0;
    }
    if (run > 0) ++counts[0x00];
}

void costs_from_counts(const uint32_t counts[256], symbol_costs& costs) {
    double total = 0;
    for (int s = 0; s < 256; ++s) total += counts[s];
    for (int s = 0; s < 256; ++s) {
        const double p = (counts[s] + 0.5) / (total + 128.0);
        costs.bits[s] = float(std::clamp(-std::log2(p), 1.0, 16.0));
    }
}

float masking_of(const float* c) {
    float activity = 0.0f;
    for (int z = 1; z < 64; ++z) activity += std::fabs(c[z]);
    return std::clamp((activity - mask_start) / (mask_full - mask_start), 0.0f, 1.0f);
}

// Biased rounding of the AC values of one block (c: values in steps, zigzag).
void round_biased(const float* c, float masking, int16_t* out_zigzag) {
    for (int z = 1; z < 64; ++z) {
        const float bias = masking * (bias_low + (bias_high - bias_low) * float(z - 1) / 62.0f);
        const float m = std::fabs(c[z]);
        int v = int(m + 0.5f - bias);
        if (v < 0) v = 0;
        v = std::min(v, max_ac_magnitude);
        out_zigzag[z] = int16_t(c[z] < 0 ? -v : v);
    }
}

// Rate-distortion choice of the AC values of one block (c: values in steps,
// zigzag order). Writes the chosen values (zigzag) into out.
void trellis_block(const float* c, const symbol_costs& costs, float weight, int16_t* out) {
    float zero_cost[64];  // running sum of weighted squared values: cost of zeroing 1..z
    zero_cost[0] = 0.0f;
    for (int z = 1; z < 64; ++z) zero_cost[z] = zero_cost[z - 1] + weight * c[z] * c[z];

    // Candidate positions: those whose rounded magnitude is at least 1. Index
    // 0 of the tables below is the start of the block.
    int pos[64], round_mag[64], best_prev[64], best_val[64];
    float best[64];
    int n = 1;
    pos[0] = 0;
    round_mag[0] = max_ac_magnitude;  // the start can never be skipped over
    best[0] = 0.0f;
    // A coefficient of 4 steps or more is never worth zeroing (its error alone
    // outweighs any symbol), so no path jumps back past it.
    const int keep_magnitude = 4;
    for (int z = 1; z < 64; ++z) {
        const int a = std::min(int(std::fabs(c[z]) + 0.5f), max_ac_magnitude);
        if (a == 0) continue;
        pos[n] = z;
        round_mag[n] = a;
        float best_cost = 3.0e38f;
        int chosen_prev = 0, chosen_val = a;
        for (int v = a; v >= std::max(1, a - 1); --v) {
            const float e = std::fabs(c[z]) - float(v);
            const int size = bit_length(unsigned(v));
            const float here = weight * e * e + trellis_lambda * float(size);
            for (int i = n - 1; i >= 0; --i) {
                const int run = z - pos[i] - 1;
                const float symbol = costs.bits[((run & 15) << 4) | size] + float(run >> 4) * costs.bits[0xF0];
                const float cost = best[i] + (zero_cost[z - 1] - zero_cost[pos[i]]) + here + trellis_lambda * symbol;
                if (cost < best_cost) {
                    best_cost = cost;
                    chosen_prev = i;
                    chosen_val = v;
                }
                if (round_mag[i] >= keep_magnitude) break;
            }
        }
        best[n] = best_cost;
        best_prev[n] = chosen_prev;
        best_val[n] = chosen_val;
        ++n;
    }
    // Close the block: everything after the last kept value is zero; an end of
    // block symbol is needed unless that value sits at position 63.
    float best_total = 3.0e38f;
    int last = 0;
    for (int i = n - 1; i >= 0; --i) {
        const float eob = pos[i] == 63 ? 0.0f : trellis_lambda * costs.bits[0x00];
        const float cost = best[i] + (zero_cost[63] - zero_cost[pos[i]]) + eob;
        if (cost < best_total) {
            best_total = cost;
            last = i;
        }
        if (round_mag[i] >= keep_magnitude) break;
    }
    for (int z = 1; z < 64; ++z) out[z] = 0;
    for (int i = last; i > 0; i = best_prev[i]) {
        const int z = pos[i];
        out[z] = int16_t(c[z] < 0 ? -best_val[i] : best_val[i]);
    }
}

}  // namespace

void scaled_base_tables(float quality, quant_tables& tables) {
    const double q = std::clamp(double(quality), 1.0, 100.0);
    const double scale = q < 50.0 ? 5000.0 / q : 200.0 - 2.0 * q;
    for (int k = 0; k < 64; ++k) {
        const double luma = std::floor(radial_step(luma_model, k) * scale / 100.0 + 0.5);
        const double chroma = std::floor(radial_step(chroma_model, k) * scale / 100.0 + 0.5);
        tables.step[0][k] = uint16_t(std::clamp(luma, 1.0, 255.0));
        tables.step[1][k] = uint16_t(std::clamp(chroma, 1.0, 255.0));
    }
}

void adapt_tables(const coefficient_image& image, quant_tables& tables) {
    // Histogram of |coefficient| per table and AC position, in bins of half a
    // coefficient unit.
    const int bin_shift = 2;  // coef_scale 8 -> bins of 0.5
    const int bins = 4096;
    for (int t = 0; t < (image.components == 1 ? 1 : 2); ++t) {
        std::vector<uint32_t> hist(size_t(64) * bins, 0);
        for (int c = 0; c < image.components; ++c) {
            if (table_of(c) != t) continue;
            const std::vector<int16_t>& coefs = image.comp[c].coefs;
            for (size_t i = 0; i < coefs.size(); ++i) {
                const int k = int(i & 63);
                if (k == 0) continue;
                const int b = std::min(std::abs(int(coefs[i])) >> bin_shift, bins - 1);
                ++hist[size_t(k) * bins + b];
            }
        }
        for (int k = 1; k < 64; ++k) {
            const uint32_t* h = hist.data() + size_t(k) * bins;
            std::vector<int> used;
            uint64_t total = 0;
            for (int b = 0; b < bins; ++b)
                if (h[b]) {
                    used.push_back(b);
                    total += h[b];
                }
            if (total == 0) continue;
            const int base = tables.step[t][k];
            const int lo = std::max(1, int(std::floor(base * adapt_low)));
            const int hi = std::min(255, int(std::ceil(base * adapt_high)));
            double best_cost = 0;
            int best_step = base;
            for (int s = lo; s <= hi; ++s) {
                double distortion = 0;
                double size_count[12] = {};
                for (int b : used) {
                    const double x = (double((b << bin_shift) + (1 << (bin_shift - 1)))) / coef_scale;
                    const int v = std::min(int(x / s + 0.5), max_ac_magnitude);
                    const double e = x - double(v) * s;
                    distortion += h[b] * e * e;
                    size_count[bit_length(unsigned(v))] += h[b];
                }
                double bits = 0;
                for (int size = 0; size < 12; ++size)
                    if (size_count[size] > 0)
                        bits += size_count[size] * (-std::log2(size_count[size] / double(total)) + size);
                const double cost = distortion / (double(base) * base) + adapt_lambda * bits;
                if (s == lo || cost < best_cost) {
                    best_cost = cost;
                    best_step = s;
                }
            }
            tables.step[t][k] = uint16_t(best_step);
        }
    }
}

void quantise_image(coefficient_image& image, const quant_tables& tables, quant_options options) {
    // Symbol costs for the trellis come from a plain rounding of the image.
    symbol_costs costs[2];
    if (options.trellis) {
        uint32_t counts[2][256] = {};
        int16_t q[64];
        for (int c = 0; c < image.components; ++c) {
            const std::vector<int16_t>& coefs = image.comp[c].coefs;
            for (size_t i = 0; i < coefs.size(); i += 64) {
                round_block(coefs.data() + i, tables.step[table_of(c)], q);
                count_symbols(q, counts[table_of(c)]);
            }
        }
        costs_from_counts(counts[0], costs[0]);
        costs_from_counts(counts[1], costs[1]);
    }
    for (int c = 0; c < image.components; ++c) {
        const uint16_t* steps = tables.step[table_of(c)];
        std::vector<int16_t>& coefs = image.comp[c].coefs;
        float inverse[64];
        for (int k = 0; k < 64; ++k) inverse[k] = 1.0f / float(steps[k] * coef_scale);
        for (size_t i = 0; i < coefs.size(); i += 64) {
            int16_t* block = coefs.data() + i;
            if (!options.trellis && !options.adaptive_bias) {
                round_block(block, steps, block);
                continue;
            }
            float c_zig[64];
            for (int z = 0; z < 64; ++z) {
                const int k = zigzag_to_natural[z];
                c_zig[z] = float(block[k]) * inverse[k];
            }
            const float masking = options.adaptive_bias ? masking_of(c_zig) : 0.0f;
            int16_t out[64];
            if (options.trellis)
                trellis_block(c_zig, costs[table_of(c)], 1.0f - (1.0f - masked_weight) * masking, out);
            else
                round_biased(c_zig, masking, out);
            block[0] = round_value(block[0], steps[0], max_dc_magnitude);
            for (int z = 1; z < 64; ++z) block[zigzag_to_natural[z]] = out[z];
        }
    }
}

}  // namespace sjpeg::detail
