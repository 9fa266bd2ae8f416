// Scan sizes from coefficients; see scan_measure.h. The symbol rules follow
// progressive Huffman coding as the JPEG standard describes it; where the
// library has a choice (dummy blocks, when to code a long end-of-band run)
// the sizes follow what libjpeg-turbo writes, as its output shows.
#include "core/jpg/turbo_ext/scan_measure.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Largest magnitude category the 8-bit format codes: AC values, DC differences.
constexpr int kMaxAcCategory = 10;
constexpr int kMaxDcCategory = 11;
// Longest end-of-band run one symbol can code.
constexpr std::uint32_t kMaxEobRun = 0x7FFF;
// Correction bits a refinement's end-of-band run may carry: libjpeg-turbo
// codes the run as soon as more are waiting (found by measuring its output).
constexpr std::int64_t kMaxPendingBits = 937;
// Deepest successive-approximation bit a scan may start at.
constexpr int kMaxAl = 13;
// Most blocks a component may have: symbol counts are 32-bit, and a block adds
// fewer than 128 symbols to any count.
constexpr std::uint64_t kMaxComponentBlocks = std::uint64_t{1} << 25;

// zigzag_to_natural[k] is the row-major index of the k-th coefficient in
// zigzag order: anti-diagonals walked alternately up and down.
constexpr std::array<std::uint8_t, 64> make_zigzag() {
    std::array<std::uint8_t, 64> order{};
    int k = 0;
    for (int d = 0; d < 15; ++d) {
        const int lo = d < 8 ? 0 : d - 7;
        const int hi = d < 8 ? d : 7;
        for (int i = 0; i <= hi - lo; ++i) {
            const int row = (d % 2) ? lo + i : hi - i;
            order[k++] = static_cast<std::uint8_t>(row * 8 + (d - row));
        }
    }
    return order;
}
constexpr std::array<std::uint8_t, 64> zigzag_to_natural = make_zigzag();

constexpr std::array<std::uint8_t, 64> make_natural_to_zigzag() {
    std::array<std::uint8_t, 64> order{};
    for (int k = 0; k < 64; ++k) order[zigzag_to_natural[k]] = static_cast<std::uint8_t>(k);
    return order;
}
constexpr std::array<std::uint8_t, 64> natural_to_zigzag = make_natural_to_zigzag();

// Bit n set when coefficient n (row-major order) of the block is nonzero.
inline std::uint64_t nonzero_mask(const JCOEF* coef) {
#if defined(__SSE2__)
    static_assert(sizeof(JCOEF) == 2, "coefficients are 16-bit");
    std::uint64_t zero = 0;
    const __m128i nothing = _mm_setzero_si128();
    for (int i = 0; i < 4; ++i) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coef + 16 * i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coef + 16 * i + 8));
        const __m128i z = _mm_packs_epi16(_mm_cmpeq_epi16(a, nothing), _mm_cmpeq_epi16(b, nothing));
        zero |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(z))) << (16 * i);
    }
    return ~zero;
#else
    std::uint64_t mask = 0;
    for (int n = 0; n < 64; ++n) mask |= static_cast<std::uint64_t>(coef[n] != 0) << n;
    return mask;
#endif
}

inline int bit_length(std::uint32_t x) { return x ? 32 - __builtin_clz(x) : 0; }

// Nonzero coefficients of one block at one bit level (magnitudes shifted right
// by the level), in zigzag order.
struct level_list {
    int count = 0;
    std::uint8_t pos[64];
    std::uint16_t mag[64];
};

// Band end points of one component's AC scans: point 0 is 0, the last is 63,
// and a band runs from just after one point to a later one. The points cut
// 1..63 into intervals 1..points-1.
struct band_layout {
    std::vector<int> ends;
    int points = 0;
    std::uint8_t interval_of[64] = {};  // interval holding each position
    std::uint8_t starts_upto[64] = {};  // band starts at or before each position

    explicit band_layout(std::vector<int> points_in) : ends(std::move(points_in)) {
        points = static_cast<int>(ends.size());
        for (int t = 1; t < points; ++t)
            for (int k = ends[t - 1] + 1; k <= ends[t]; ++k) interval_of[k] = static_cast<std::uint8_t>(t);
        for (int k = 1; k < 64; ++k) {
            int n = 0;
            while (n < points - 1 && ends[n] + 1 <= k) ++n;
            starts_upto[k] = static_cast<std::uint8_t>(n);
        }
    }
    int point_of(int end) const {
        return static_cast<int>(std::lower_bound(ends.begin(), ends.end(), end) - ends.begin());
    }
};

// Statistics of one kind of AC scan of a component (first scans, or
// refinements, at one bit level) over every band of a layout at once.
// A block's symbols are split by where they fall instead of being counted once
// per band: the symbol of a coded coefficient depends only on the previous
// coded coefficient of its band, so it is counted once under the pair of
// intervals holding the two (it belongs to every band spanning both), or,
// when no coded coefficient precedes it in the band, once under the band
// start. End-of-band runs are followed per band, but only in blocks where the
// band codes something. The work per block thus grows with the coefficients
// coded, not with the number of bands. Extra bits are not counted here: those
// of a coded coefficient are given by its symbol.
class band_stats {
public:
    band_stats(band_layout layout, bool refinement) : layout_(std::move(layout)), refinement_(refinement) {
        const std::size_t cells = static_cast<std::size_t>(layout_.points) * layout_.points;
        pair_counts_.resize(cells);
        start_counts_.resize(cells);
        run_base_.resize(cells);
        run_classes_.resize(cells);
        single_runs_.resize(cells);
        if (refinement_) {
            pending_.resize(cells);
            interval_history_.resize(layout_.points);
            for (int t = 1; t < layout_.points; ++t)
                for (int k = layout_.ends[t - 1] + 1; k <= layout_.ends[t]; ++k)
                    interval_bits_[t] |= std::uint64_t{1} << k;
        }
    }

    const band_layout& layout() const { return layout_; }

    // What one block has seen and coded so far.
    struct block_walk {
        std::uint64_t coded_mask = 0;
        std::uint64_t history_mask = 0;  // refinements: coefficients already nonzero
        int started = 0;  // band starts at or before the current position
        int waiting = 0;  // band starts before this one have met a coded coefficient
        int prev_pos = -1, prev_entry = -1;
        int start_entry[64];  // first list entry at or after each band start
        int first_coded[64];  // first coded position at or after each band start
    };

    // Passes entry n of the block's list at this level, at zigzag position k.
    void see(block_walk& walk, int k, int n) const {
        for (const int upto = layout_.starts_upto[k]; walk.started < upto;) walk.start_entry[walk.started++] = n;
    }

    // A refinement passes a coefficient that was already nonzero: it sends a
    // correction bit, with the next symbol or with the end-of-band run.
    static void see_history(block_walk& walk, int k) { walk.history_mask |= std::uint64_t{1} << k; }

    // Codes the coefficient just seen. Coefficients between two coded ones
    // that are themselves not coded (already nonzero in a refinement) do not
    // count in the zero run.
    void code(block_walk& walk, int k, int n, int size) {
        walk.coded_mask |= std::uint64_t{1} << k;
        const int to = layout_.interval_of[k];
        for (; walk.waiting < walk.started; ++walk.waiting) {
            const int w = walk.waiting;
            const int run = (k - layout_.ends[w] - 1) - (n - walk.start_entry[w]);
            count_symbol(start_counts_[static_cast<std::size_t>(w) * layout_.points + to], run, size);
            walk.first_coded[w] = k;
        }
        if (walk.prev_pos >= 0) {
            const int run = (k - walk.prev_pos - 1) - (n - walk.prev_entry - 1);
            count_symbol(pair_counts_[static_cast<std::size_t>(layout_.interval_of[walk.prev_pos]) * layout_.points + to],
                         run, size);
        }
        walk.prev_pos = k;
        walk.prev_entry = n;
    }

    // Bands holding a coded coefficient end the pending end-of-band run; the
    // block itself starts the next run unless the band's last coefficient was
    // coded.
    void end_block(const block_walk& walk) {
        if (refinement_)
            end_refinement_block(walk);
        else
            end_first_block(walk);
        ++blocks_;
    }

    // Symbols of the band from ends[i] + 1 to ends[j], and the extra bits of
    // its end-of-band runs.
    void band_symbols(int i, int j, symbol_counts& counts, std::uint64_t& run_bits) const {
        const int points = layout_.points;
        const auto add = [&counts](const symbol_counts& more) {
            for (int s = 0; s < 256; ++s) counts.freq[s] += more.freq[s];
        };
        for (int a = i + 1; a <= j; ++a) {
            for (int b = a; b <= j; ++b) add(pair_counts_[static_cast<std::size_t>(a) * points + b]);
            add(start_counts_[static_cast<std::size_t>(i) * points + a]);
        }
        const std::size_t band = static_cast<std::size_t>(i) * points + j;
        run_classes runs = run_classes_[band];
        runs.count[0] += single_runs_[band];
        add_run(runs, blocks_ - run_base_[band]);
        run_bits = 0;
        for (int n = 0; n < 15; ++n) {
            counts.freq[n << 4] += runs.count[n];
            run_bits += static_cast<std::uint64_t>(runs.count[n]) * n;  // a run of class n carries n bits
        }
    }

private:
    void end_first_block(const block_walk& walk) {
        const int points = layout_.points;
        if (walk.waiting == 0) return;
        std::int32_t next_base[64];
        const int lowest = std::min(layout_.interval_of[walk.first_coded[0]],
                                    layout_.interval_of[walk.first_coded[walk.waiting - 1]]);
        for (int j = lowest; j < points; ++j)
            next_base[j] = blocks_ + static_cast<std::int32_t>(walk.coded_mask >> layout_.ends[j] & 1);
        for (int i = 0; i < walk.waiting; ++i) {
            const std::size_t row = static_cast<std::size_t>(i) * points;
            std::int32_t* base = &run_base_[row];
            std::uint32_t* single = &single_runs_[row];
            int j = layout_.interval_of[walk.first_coded[i]];
#if defined(__SSE2__)
            // Four bands at a time: runs of one block are counted in bulk,
            // longer ones one by one.
            const __m128i now = _mm_set1_epi32(blocks_), one = _mm_set1_epi32(1);
            for (; j + 4 <= points; j += 4) {
                const __m128i run = _mm_sub_epi32(now, _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + j)));
                const __m128i ones = _mm_cmpeq_epi32(run, one);
                __m128i* counted = reinterpret_cast<__m128i*>(single + j);
                _mm_storeu_si128(counted, _mm_sub_epi32(_mm_loadu_si128(counted), ones));
                if (_mm_movemask_epi8(_mm_cmpgt_epi32(run, one))) {
                    for (int lane = j; lane < j + 4; ++lane)
                        if (blocks_ - base[lane] > 1) add_run(run_classes_[row + lane], blocks_ - base[lane]);
                }
                _mm_storeu_si128(reinterpret_cast<__m128i*>(base + j),
                                 _mm_loadu_si128(reinterpret_cast<const __m128i*>(next_base + j)));
            }
#endif
            for (; j < points; ++j) {
                const std::int32_t run = blocks_ - base[j];
                single[j] += run == 1;
                if (run > 1) add_run(run_classes_[row + j], run);
                base[j] = next_base[j];
            }
        }
    }

    // Refinements carry the correction bits of blocks that end early on their
    // end-of-band run, and the run is coded before its bits pile up beyond
    // kMaxPendingBits, even in a block that codes nothing. So besides the
    // runs, each band follows its pending bits: the band's cumulative count of
    // already-nonzero coefficients (from per-interval totals) against the
    // count where its run began. Bands are checked one by one only when the
    // image's total count has grown enough for some band to cross the limit,
    // or some run to reach the longest one symbol codes.
    void end_refinement_block(const block_walk& walk) {
        const int points = layout_.points;
        std::int64_t history_upto[64];  // bits of all blocks so far, intervals 1..t
        history_upto[0] = 0;
        for (int t = 1; t < points; ++t) {
            interval_history_[t] += __builtin_popcountll(walk.history_mask & interval_bits_[t]);
            history_upto[t] = history_upto[t - 1] + interval_history_[t];
        }
        const std::int64_t total = history_upto[points - 1];
        if (walk.waiting > 0) {
            // Per band end: where a new run starts (after this block when the
            // end coefficient was coded) and the correction bits it starts
            // with, those after the last coded coefficient.
            const int lowest = std::min(layout_.interval_of[walk.first_coded[0]],
                                        layout_.interval_of[walk.first_coded[walk.waiting - 1]]);
            std::int32_t next_base[64];
            std::int64_t start_bits[64];
            std::int64_t most_bits = 0;
            for (int j = lowest; j < points; ++j) {
                const int end = layout_.ends[j];
                const bool ends_coded = walk.coded_mask >> end & 1;
                next_base[j] = blocks_ + (ends_coded ? 1 : 0);
                start_bits[j] = 0;
                const std::uint64_t upto_end = end == 63 ? ~std::uint64_t{0} : (std::uint64_t{2} << end) - 1;
                const std::uint64_t coded = walk.coded_mask & upto_end;
                if (ends_coded || coded == 0) continue;
                const std::uint64_t after_last = upto_end & ~((std::uint64_t{2} << (63 - __builtin_clzll(coded))) - 1);
                start_bits[j] = __builtin_popcountll(walk.history_mask & after_last);
                most_bits = std::max(most_bits, start_bits[j]);
            }
            for (int i = 0; i < walk.waiting; ++i) {
                const std::size_t row = static_cast<std::size_t>(i) * points;
                for (int j = layout_.interval_of[walk.first_coded[i]]; j < points; ++j) {
                    const std::int32_t run = blocks_ - run_base_[row + j];
                    if (run == 1)
                        ++single_runs_[row + j];
                    else if (run > 1)
                        add_run(run_classes_[row + j], run);
                    run_base_[row + j] = next_base[j];
                    pending_[row + j] = pending_state{start_bits[j], history_upto[j] - history_upto[i]};
                }
            }
            next_check_ = std::min(next_check_, total + kMaxPendingBits + 1 - most_bits);
        }
        if (total >= next_check_ || blocks_ >= run_check_) check_pending(history_upto, total);
    }

    // Codes every run whose pending bits went over the limit or whose length
    // reached the longest run one symbol codes, with this block as its last,
    // and sets when the next check is due.
    void check_pending(const std::int64_t* history_upto, std::int64_t total) {
        const int points = layout_.points;
        next_check_ = std::numeric_limits<std::int64_t>::max();
        run_check_ = std::numeric_limits<std::int32_t>::max();
        for (int i = 0; i + 1 < points; ++i) {
            for (int j = i + 1; j < points; ++j) {
                const std::size_t band = static_cast<std::size_t>(i) * points + j;
                pending_state& p = pending_[band];
                const std::int64_t history = history_upto[j] - history_upto[i];
                std::int64_t bits = 0;
                if (run_base_[band] <= blocks_) {
                    bits = p.bits + history - p.history_mark;
                    const std::int32_t run = blocks_ - run_base_[band] + 1;
                    if (bits > kMaxPendingBits || run >= static_cast<std::int32_t>(kMaxEobRun)) {
                        add_run(run_classes_[band], run);
                        run_base_[band] = blocks_ + 1;
                        bits = 0;
                    }
                }
                if (run_base_[band] > blocks_) {
                    p.bits = 0;
                    p.history_mark = history;
                }
                next_check_ = std::min(next_check_, total + kMaxPendingBits + 1 - bits);
                run_check_ = std::min(run_check_, run_base_[band] + static_cast<std::int32_t>(kMaxEobRun) - 1);
            }
        }
    }

    // End-of-band runs coded so far, by class (a run of class n is 2^n to
    // 2^(n+1) - 1 blocks long).
    struct run_classes {
        std::uint32_t count[16] = {};
    };

    // Codes a run of blocks that end early, split where it exceeds the longest
    // run one symbol codes.
    static void add_run(run_classes& runs, std::int32_t run) {
        for (; run >= static_cast<std::int32_t>(kMaxEobRun); run -= kMaxEobRun) ++runs.count[14];
        if (run > 0) ++runs.count[bit_length(static_cast<std::uint32_t>(run)) - 1];
    }

    // A coded coefficient after `run` uncoded ones: a zero-run-of-16 symbol per
    // full 16, then the run/size symbol.
    static void count_symbol(symbol_counts& counts, int run, int size) {
        counts.freq[0xF0] += static_cast<std::uint32_t>(run >> 4);
        ++counts.freq[((run & 15) << 4) | (size & 15)];
    }

    band_layout layout_;
    std::int32_t blocks_ = 0;
    std::vector<symbol_counts> pair_counts_;   // [interval of previous][interval of coded]
    std::vector<symbol_counts> start_counts_;  // [band start][interval of coded]
    // Per band [start point][end point]: the block from which the pending
    // end-of-band run counts, and the runs coded so far.
    std::vector<std::int32_t> run_base_;
    std::vector<run_classes> run_classes_;
    std::vector<std::uint32_t> single_runs_;  // runs of one block, the commonest, counted apart

    // Refinements only: per band, the correction bits its pending run held
    // when it began and the band's cumulative count of already-nonzero
    // coefficients then; per interval, that count over all blocks so far.
    struct pending_state {
        std::int64_t bits = 0;
        std::int64_t history_mark = 0;
    };
    bool refinement_;
    std::vector<pending_state> pending_;
    std::vector<std::int64_t> interval_history_;
    std::uint64_t interval_bits_[64] = {};
    std::int64_t next_check_ = kMaxPendingBits + 1;
    std::int32_t run_check_ = static_cast<std::int32_t>(kMaxEobRun) - 1;
};

// The AC scans of one component at one bit level: first scans code every
// nonzero coefficient of the level's list, refinements code those that become
// nonzero at this bit (magnitude 1). Both walk the same list once.
struct level_stats {
    int level;
    std::unique_ptr<band_stats> first, refine;

    void add_block(const level_list& list) {
        if (first && refine)
            walk_block<true, true>(list);
        else if (first)
            walk_block<true, false>(list);
        else if (refine)
            walk_block<false, true>(list);
    }

private:
    template <bool First, bool Refine>
    void walk_block(const level_list& list) {
        band_stats::block_walk first_walk, refine_walk;
        for (int n = 0; n < list.count; ++n) {
            const int k = list.pos[n];
            if (First) {
                first->see(first_walk, k, n);
                first->code(first_walk, k, n, bit_length(list.mag[n]));
            }
            if (Refine) {
                refine->see(refine_walk, k, n);
                if (list.mag[n] == 1)
                    refine->code(refine_walk, k, n, 1);
                else
                    band_stats::see_history(refine_walk, k);
            }
        }
        if (First) first->end_block(first_walk);
        if (Refine) refine->end_block(refine_walk);
    }
};

// What every AC scan of a component needs beyond its own symbols: the largest
// magnitude (for the format's value limit) and the number of nonzero
// coefficients at each position and bit level above 0 (the correction bits of
// refinements).
struct component_stats {
    std::uint16_t largest = 0;
    std::uint64_t nonzero[kMaxAl + 2][64] = {};
};

// Statistics of one DC scan: one symbol set per Huffman table it uses.
struct dc_tally {
    symbol_counts counts[NUM_HUFF_TBLS];
    bool table_used[NUM_HUFF_TBLS] = {};
    std::uint64_t raw_bits = 0;
    bool codable = true;
};

unsigned component_mask(const jpeg_scan_info& s) {
    unsigned mask = 0;
    for (int i = 0; i < s.comps_in_scan; ++i) mask |= 1u << s.component_index[i];
    return mask;
}

bool valid_scan_shape(const scan_frame& frame, const jpeg_scan_info& s) {
    if (s.comps_in_scan < 1 || s.comps_in_scan > MAX_COMPS_IN_SCAN) return false;
    bool seen[MAX_COMPONENTS] = {};
    int mcu_blocks = 0;
    for (int i = 0; i < s.comps_in_scan; ++i) {
        const int c = s.component_index[i];
        if (c < 0 || c >= frame.components || seen[c]) return false;
        seen[c] = true;
        mcu_blocks += blocks_in_mcu(frame, c);
    }
    if (s.comps_in_scan > 1 && mcu_blocks > C_MAX_BLOCKS_IN_MCU) return false;
    if (s.Ah < 0 || s.Al < 0 || s.Al > kMaxAl || (s.Ah != 0 && s.Al != s.Ah - 1)) return false;
    if (s.Ss == 0) return s.Se == 0;
    return s.comps_in_scan == 1 && s.Ss <= s.Se && s.Se <= 63;
}

// DC values of one component's blocks, row by row.
struct dc_plane {
    unsigned across = 0, down = 0;
    std::vector<JCOEF> values;
    JCOEF at(unsigned row, unsigned col) const { return values[static_cast<std::size_t>(row) * across + col]; }
};

// Whether block row `row` of a component lies in a sampled MCU row.
inline bool row_sampled(const scan_frame_component& comp, unsigned row, unsigned row_step) {
    return (row / static_cast<unsigned>(comp.v)) % row_step == 0;
}

// One pass over a component's blocks in the sampled MCU rows (every
// `row_step`-th): gathers their DC values and the shared statistics, and feeds
// the AC statistics of every requested bit level. `levels` marks the bit
// levels whose lists are needed. Returns the number of block rows read.
unsigned scan_component(j_compress_ptr cinfo, jvirt_barray_ptr array, const scan_frame_component& comp,
                        std::vector<level_stats>& stats, unsigned levels, unsigned row_step,
                        component_stats& shared, dc_plane& plane) {
    plane.across = comp.blocks_across;
    plane.down = comp.blocks_down;
    plane.values.resize(static_cast<std::size_t>(comp.blocks_across) * comp.blocks_down);
    const int deepest = levels ? bit_length(levels) - 1 : -1;
    level_list lists[kMaxAl + 2];

    unsigned sampled = 0;
    std::uint16_t largest = 0;
    for (unsigned row = 0; row < comp.blocks_down; ++row) {
        if (!row_sampled(comp, row, row_step)) continue;
        ++sampled;
        JBLOCKARRAY rows = cinfo->mem->access_virt_barray(reinterpret_cast<j_common_ptr>(cinfo), array,
                                                          row, 1, FALSE);
        const JBLOCKROW blocks = rows[0];
        for (unsigned col = 0; col < comp.blocks_across; ++col) {
            const JCOEF* coef = blocks[col];
            plane.values[static_cast<std::size_t>(row) * comp.blocks_across + col] = coef[0];
            if (deepest < 0) continue;
            // The AC coefficients in zigzag order, visiting only nonzero ones.
            std::uint64_t in_zigzag = 0;
            for (std::uint64_t m = nonzero_mask(coef) & ~std::uint64_t{1}; m; m &= m - 1)
                in_zigzag |= std::uint64_t{1} << natural_to_zigzag[__builtin_ctzll(m)];
            level_list& base = lists[0];
            base.count = 0;
            for (; in_zigzag; in_zigzag &= in_zigzag - 1) {
                const int k = __builtin_ctzll(in_zigzag);
                const std::uint16_t mag = static_cast<std::uint16_t>(std::abs(coef[zigzag_to_natural[k]]));
                largest = std::max(largest, mag);
                base.pos[base.count] = static_cast<std::uint8_t>(k);
                base.mag[base.count++] = mag;
            }
            for (int level = 1; level <= deepest; ++level) {
                if (!(levels >> level & 1)) continue;
                level_list& out = lists[level];
                out.count = 0;
                for (int i = 0; i < base.count; ++i) {
                    const std::uint16_t m = static_cast<std::uint16_t>(base.mag[i] >> level);
                    if (m == 0) continue;
                    ++shared.nonzero[level][base.pos[i]];
                    out.pos[out.count] = base.pos[i];
                    out.mag[out.count++] = m;
                }
            }
            for (level_stats& l : stats) l.add_block(lists[l.level]);
        }
    }
    shared.largest = largest;
    return sampled;
}

// DC value as the scan codes it: shifted arithmetically by the point transform.
inline int point_transform_dc(int value, int al) { return value >> al; }

void count_dc_difference(dc_tally& tally, int table, int diff) {
    const int category = bit_length(static_cast<std::uint32_t>(std::abs(diff)));
    if (category > kMaxDcCategory) tally.codable = false;
    ++tally.counts[table].freq[category & 15];
    tally.raw_bits += static_cast<std::uint64_t>(category);
}

// First DC scans over one group of components, at every point transform
// whose bit is set in `al_mask`, in one pass over the sampled MCU rows;
// tallies[al] receives each. A single component is coded block by block in
// raster order; several components go MCU by MCU, with the blocks beyond the
// image edge that fill an MCU coded as repeats of the previous DC value
// (difference 0). Returns the share of the scan's rows that was read.
double measure_dc_first(const scan_frame& frame, const std::vector<dc_plane>& planes, const jpeg_scan_info& s,
                        unsigned al_mask, unsigned row_step, std::vector<dc_tally>& tallies) {
    int als[kMaxAl + 1];
    int levels = 0;
    for (int al = 0; al <= kMaxAl; ++al)
        if (al_mask & (1u << al)) als[levels++] = al;
    for (int l = 0; l < levels; ++l)
        for (int i = 0; i < s.comps_in_scan; ++i)
            tallies[als[l]].table_used[frame.comp[s.component_index[i]].dc_table] = true;
    int pred[MAX_COMPS_IN_SCAN][kMaxAl + 1] = {};
    const auto code_block = [&](int i, int table, int value) {
        for (int l = 0; l < levels; ++l) {
            const int v = point_transform_dc(value, als[l]);
            count_dc_difference(tallies[als[l]], table, v - pred[i][l]);
            pred[i][l] = v;
        }
    };
    if (s.comps_in_scan == 1) {
        const scan_frame_component& comp = frame.comp[s.component_index[0]];
        const dc_plane& plane = planes[s.component_index[0]];
        unsigned sampled = 0;
        for (unsigned row = 0; row < plane.down; ++row) {
            if (!row_sampled(comp, row, row_step)) continue;
            ++sampled;
            for (unsigned col = 0; col < plane.across; ++col) code_block(0, comp.dc_table, plane.at(row, col));
        }
        return sampled ? static_cast<double>(sampled) / plane.down : 1.0;
    }
    unsigned sampled = 0;
    for (unsigned my = 0; my < frame.mcus_down; my += row_step) {
        ++sampled;
        for (unsigned mx = 0; mx < frame.mcus_across; ++mx) {
            for (int i = 0; i < s.comps_in_scan; ++i) {
                const int c = s.component_index[i];
                const scan_frame_component& comp = frame.comp[c];
                for (int by = 0; by < comp.v; ++by) {
                    for (int bx = 0; bx < comp.h; ++bx) {
                        const unsigned row = my * comp.v + by;
                        const unsigned col = mx * comp.h + bx;
                        if (row >= comp.blocks_down || col >= comp.blocks_across) {
                            for (int l = 0; l < levels; ++l) count_dc_difference(tallies[als[l]], comp.dc_table, 0);
                            continue;
                        }
                        code_block(i, comp.dc_table, planes[c].at(row, col));
                    }
                }
            }
        }
    }
    return static_cast<double>(sampled) / frame.mcus_down;
}

std::uint64_t blocks_in_scan(const scan_frame& frame, const jpeg_scan_info& s) {
    if (s.comps_in_scan == 1) {
        const scan_frame_component& comp = frame.comp[s.component_index[0]];
        return static_cast<std::uint64_t>(comp.blocks_across) * comp.blocks_down;
    }
    std::uint64_t per_mcu = 0;
    for (int i = 0; i < s.comps_in_scan; ++i) per_mcu += blocks_in_mcu(frame, s.component_index[i]);
    return per_mcu * frame.mcus_across * frame.mcus_down;
}

inline std::int64_t padded_bytes(std::uint64_t bits) { return static_cast<std::int64_t>((bits + 7) / 8); }

// Bits of a whole scan estimated from the share of its rows that was read.
inline std::uint64_t scaled_bits(std::uint64_t bits, double share) {
    return share >= 1.0 ? bits : static_cast<std::uint64_t>(static_cast<double>(bits) / share);
}

std::int64_t dc_refine_bytes(const scan_frame& frame, const jpeg_scan_info& s) {
    return scan_header_bytes(s.comps_in_scan) + padded_bytes(blocks_in_scan(frame, s));  // one bit a block
}

std::int64_t dc_first_bytes(const jpeg_scan_info& s, const dc_tally& tally, double share) {
    if (!tally.codable) return -1;
    std::int64_t bytes = scan_header_bytes(s.comps_in_scan);
    std::uint64_t bits = tally.raw_bits;
    for (int t = 0; t < NUM_HUFF_TBLS; ++t) {
        if (!tally.table_used[t]) continue;
        const huffman_size h = optimal_huffman_size(tally.counts[t]);
        bits += h.bits;
        bytes += table_segment_bytes(h.symbols);
    }
    return bytes + padded_bytes(scaled_bits(bits, share));
}

// Sizes of the DC scans among `scans`: the first scans of each component group
// are measured together, whatever their point transforms.
void measure_dc_scans(const scan_frame& frame, const std::vector<dc_plane>& planes, const jpeg_scan_info* scans,
                      std::size_t count, const std::vector<bool>& valid, unsigned row_step,
                      std::vector<std::int64_t>& bytes) {
    std::map<unsigned, unsigned> levels_of_group;
    for (std::size_t i = 0; i < count; ++i) {
        if (!valid[i] || scans[i].Ss != 0) continue;
        if (scans[i].Ah != 0)
            bytes[i] = dc_refine_bytes(frame, scans[i]);
        else
            levels_of_group[component_mask(scans[i])] |= 1u << scans[i].Al;
    }
    for (const auto& [group, al_mask] : levels_of_group) {
        std::vector<dc_tally> tallies(kMaxAl + 1);
        const jpeg_scan_info* shape = nullptr;
        for (std::size_t i = 0; i < count && !shape; ++i)
            if (valid[i] && scans[i].Ss == 0 && scans[i].Ah == 0 && component_mask(scans[i]) == group) shape = &scans[i];
        const double share = measure_dc_first(frame, planes, *shape, al_mask, row_step, tallies);
        for (std::size_t i = 0; i < count; ++i)
            if (valid[i] && scans[i].Ss == 0 && scans[i].Ah == 0 && component_mask(scans[i]) == group)
                bytes[i] = dc_first_bytes(scans[i], tallies[scans[i].Al], share);
    }
}

}  // namespace

bool describe_scan_frame(j_compress_ptr cinfo, scan_frame& frame) {
    frame = scan_frame{};
    const int n = cinfo->num_components;
    if (n < 1 || n > MAX_COMPONENTS || cinfo->image_width == 0 || cinfo->image_height == 0) return false;
    frame.components = n;
    for (int c = 0; c < n; ++c) {
        const jpeg_component_info& info = cinfo->comp_info[c];
        if (info.h_samp_factor < 1 || info.h_samp_factor > MAX_SAMP_FACTOR || info.v_samp_factor < 1 ||
            info.v_samp_factor > MAX_SAMP_FACTOR)
            return false;
        if (info.dc_tbl_no < 0 || info.dc_tbl_no >= NUM_HUFF_TBLS || info.ac_tbl_no < 0 ||
            info.ac_tbl_no >= NUM_HUFF_TBLS)
            return false;
        frame.max_h = std::max(frame.max_h, info.h_samp_factor);
        frame.max_v = std::max(frame.max_v, info.v_samp_factor);
    }
    const std::uint64_t width = cinfo->image_width, height = cinfo->image_height;
    const auto ceil_div = [](std::uint64_t a, std::uint64_t b) { return (a + b - 1) / b; };
    frame.mcus_across = static_cast<unsigned>(ceil_div(width, 8u * frame.max_h));
    frame.mcus_down = static_cast<unsigned>(ceil_div(height, 8u * frame.max_v));
    for (int c = 0; c < n; ++c) {
        const jpeg_component_info& info = cinfo->comp_info[c];
        scan_frame_component& comp = frame.comp[c];
        comp.h = info.h_samp_factor;
        comp.v = info.v_samp_factor;
        comp.blocks_across = static_cast<unsigned>(ceil_div(width * comp.h, 8u * frame.max_h));
        comp.blocks_down = static_cast<unsigned>(ceil_div(height * comp.v, 8u * frame.max_v));
        if (static_cast<std::uint64_t>(comp.blocks_across) * comp.blocks_down > kMaxComponentBlocks) return false;
        comp.dc_table = info.dc_tbl_no;
        comp.ac_table = info.ac_tbl_no;
    }
    return true;
}

huffman_size optimal_huffman_size(const symbol_counts& counts, std::uint8_t* lengths) {
    if (lengths) std::memset(lengths, 0, 256);
    // Leaves: the used symbols in increasing order, then the reserved code
    // point (symbol 256, count 1) so that no code is all ones.
    int symbol[257];
    std::uint64_t weight[2 * 257];
    int n = 0;
    for (int s = 0; s < 256; ++s) {
        if (counts.freq[s] == 0) continue;
        symbol[n] = s;
        weight[n++] = counts.freq[s];
    }
    if (n == 0) return {};
    symbol[n] = 256;
    weight[n++] = 1;
    // Repeatedly join the two least frequent trees, the one with the larger
    // symbol first among equal counts; the joined tree takes the place of the
    // first. Trees are kept in a heap ordered by (count, -place).
    struct tree {
        std::uint64_t weight;
        int place;  // leaf index that stands for the tree in ties
        int node;
    };
    const auto later = [](const tree& a, const tree& b) {
        return a.weight != b.weight ? a.weight > b.weight : a.place < b.place;
    };
    tree heap[257];
    int heap_size = 0;
    for (int i = 0; i < n; ++i) heap[heap_size++] = tree{weight[i], i, i};
    std::make_heap(heap, heap + heap_size, later);
    int child[2 * 257][2];
    int nodes = n;
    while (heap_size > 1) {
        std::pop_heap(heap, heap + heap_size, later);
        const tree first = heap[--heap_size];
        std::pop_heap(heap, heap + heap_size, later);
        const tree second = heap[--heap_size];
        child[nodes][0] = first.node;
        child[nodes][1] = second.node;
        heap[heap_size++] = tree{first.weight + second.weight, first.place, nodes++};
        std::push_heap(heap, heap + heap_size, later);
    }
    // Code size of each leaf: its depth in the joined tree.
    int depth[2 * 257];
    depth[nodes - 1] = 0;
    for (int node = nodes - 1; node >= n; --node) {
        depth[child[node][0]] = depth[node] + 1;
        depth[child[node][1]] = depth[node] + 1;
    }
    // Codes per length; lengths over 16 are folded back by moving pairs of
    // long codes up, then the reserved code (one of the longest) is dropped.
    int bits[258] = {};
    int longest = 0;
    for (int i = 0; i < n; ++i) {
        ++bits[depth[i]];
        longest = std::max(longest, depth[i]);
    }
    for (int i = longest; i > 16; --i) {
        while (bits[i] > 0) {
            int j = i - 2;
            while (bits[j] == 0) --j;
            bits[i] -= 2;
            bits[i - 1] += 1;
            bits[j + 1] += 2;
            bits[j] -= 1;
        }
    }
    int last = 16;
    while (last > 0 && bits[last] == 0) --last;
    --bits[last];
    // Lengths go to the real symbols in order of their code size, then symbol
    // value.
    int order[256];
    const int used = n - 1;
    for (int i = 0; i < used; ++i) order[i] = i;
    std::sort(order, order + used, [&](int a, int b) { return depth[a] != depth[b] ? depth[a] < depth[b] : a < b; });
    huffman_size result;
    result.symbols = used;
    int length = 1;
    for (int i = 0; i < used; ++i) {
        while (bits[length] == 0) ++length;
        --bits[length];
        const int s = symbol[order[i]];
        if (lengths) lengths[s] = static_cast<std::uint8_t>(length);
        result.bits += static_cast<std::uint64_t>(counts.freq[s]) * length;
    }
    return result;
}

std::vector<std::int64_t> measure_scans(j_compress_ptr cinfo, const scan_frame& frame,
                                        jvirt_barray_ptr* coef_arrays, const jpeg_scan_info* scans,
                                        std::size_t count, unsigned row_step) {
    std::vector<std::int64_t> bytes(count, -1);
    std::vector<bool> valid(count, false);
    for (std::size_t i = 0; i < count; ++i) valid[i] = valid_scan_shape(frame, scans[i]);

    std::vector<dc_plane> planes(frame.components);
    for (int c = 0; c < frame.components; ++c) {
        // One set of statistics per bit level and kind of scan, over the band
        // ends of that kind's scans; the lists of a refinement's level and of
        // the level above (whose nonzero counts give its correction bits) are
        // needed.
        const auto is_ac_of_c = [&](std::size_t i) {
            return valid[i] && scans[i].Ss != 0 && scans[i].component_index[0] == c;
        };
        std::vector<int> ends[kMaxAl + 1][2];
        unsigned levels = 0;
        for (std::size_t i = 0; i < count; ++i) {
            if (!is_ac_of_c(i)) continue;
            const jpeg_scan_info& s = scans[i];
            std::vector<int>& e = ends[s.Al][s.Ah != 0];
            e.push_back(s.Ss - 1);
            e.push_back(s.Se);
            levels |= (s.Ah != 0 ? 3u : 1u) << s.Al;
        }
        std::vector<level_stats> stats;
        for (int level = 0; level <= kMaxAl; ++level) {
            std::unique_ptr<band_stats> kind[2];
            for (int refine = 0; refine < 2; ++refine) {
                std::vector<int>& e = ends[level][refine];
                if (e.empty()) continue;
                e.push_back(0);
                e.push_back(63);
                std::sort(e.begin(), e.end());
                e.erase(std::unique(e.begin(), e.end()), e.end());
                kind[refine] = std::make_unique<band_stats>(band_layout(std::move(e)), refine != 0);
            }
            if (kind[0] || kind[1]) stats.push_back(level_stats{level, std::move(kind[0]), std::move(kind[1])});
        }
        component_stats shared;
        const unsigned sampled =
            scan_component(cinfo, coef_arrays[c], frame.comp[c], stats, levels, row_step, shared, planes[c]);
        const double share = sampled ? static_cast<double>(sampled) / frame.comp[c].blocks_down : 1.0;

        for (std::size_t i = 0; i < count; ++i) {
            if (!is_ac_of_c(i)) continue;
            const jpeg_scan_info& s = scans[i];
            const bool refine = s.Ah != 0;
            std::uint64_t extra_bits = 0;
            if (refine) {
                for (int k = s.Ss; k <= s.Se; ++k) extra_bits += shared.nonzero[s.Al + 1][k];  // correction bits
            } else if ((shared.largest >> s.Al) >= (1 << kMaxAcCategory)) {
                continue;  // a value of the component may be too large for this scan
            }
            const level_stats& l = *std::find_if(stats.begin(), stats.end(), [&](const level_stats& x) { return x.level == s.Al; });
            symbol_counts counts;
            std::uint64_t run_bits = 0;
            const band_stats& kind = *(refine ? l.refine : l.first);
            kind.band_symbols(kind.layout().point_of(s.Ss - 1), kind.layout().point_of(s.Se), counts, run_bits);
            // Each coded coefficient's value (or sign) bits number its size.
            for (int sym = 0; sym < 256; ++sym) extra_bits += static_cast<std::uint64_t>(counts.freq[sym]) * (sym & 15);
            const huffman_size h = optimal_huffman_size(counts);
            bytes[i] = scan_header_bytes(1) + table_segment_bytes(h.symbols) +
                       padded_bytes(scaled_bits(h.bits + run_bits + extra_bits, share));
        }
    }
    measure_dc_scans(frame, planes, scans, count, valid, row_step, bytes);
    return bytes;
}

std::int64_t measure_scan_script(j_compress_ptr cinfo, jvirt_barray_ptr* coef_arrays,
                                 const std::vector<jpeg_scan_info>& script) {
    scan_frame frame;
    if (!describe_scan_frame(cinfo, frame) || script.empty()) return -1;
    const std::vector<std::int64_t> bytes = measure_scans(cinfo, frame, coef_arrays, script.data(), script.size());
    std::int64_t total = 0;
    for (std::int64_t b : bytes) {
        if (b < 0) return -1;
        total += b;
    }
    return total;
}
