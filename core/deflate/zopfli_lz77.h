// Building blocks shared by the Zopfli-style compressor: the LZ77 symbol store
// in its plain and packed forms, symbol histograms and entropy costs, the
// binary-tree match finder queried by the optimal parse, and the fast lazy
// matcher whose packed output the block splitter works on.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zopfli {

struct Zopflioptions;

// Plain form: literal (byte, 0), match (length 3..258, distance 1..32768).
// Packed form (lazy matcher only): literal (byte, 0); match (length symbol in
// bits 0..8 plus (length - bias) in bits 9..15, distance symbol + 1), with bias
// 0 for symbols 257..279, 100 for 280..283 and 200 for 284 and 285.
struct lz77_store {
    uint16_t* litlens;
    uint16_t* dists;        // plain form
    uint8_t* packed_dists;  // packed form
    uint64_t size;
    uint8_t packed;
};

void lz77_store_init(lz77_store* s);
void lz77_store_free(lz77_store* s);
// Appends one packed symbol; capacity doubles whenever the size reaches a power of two.
void lz77_store_append_packed(lz77_store* s, uint16_t litlen, uint8_t dist);
// Replaces target's contents with an exact-size plain copy of source.
void lz77_store_copy(const lz77_store* source, lz77_store* target);
// Fills an empty store from a trace-back path (one step per symbol, last symbol first).
void lz77_store_from_path(const uint32_t* path, uint64_t count, lz77_store* s);

// Length of a packed match symbol.
inline int packed_match_length(uint16_t v) {
    int sym = v & 0x1FF;
    int bias = sym >= 284 ? 200 : (sym >= 280 ? 100 : 0);
    return (v >> 9) + bias;
}
uint16_t pack_match_litlen(int length);

// Counts the symbols of [start, end); litlen count 256 is set to 1.
void lz77_histogram(const lz77_store* s, uint64_t start, uint64_t end, uint64_t* ll_counts,
                    uint64_t* d_counts, bool packed);

// Estimated bits per symbol from counts.
void entropy_costs(const uint64_t* counts, int n, float* costs);

struct symbol_stats {
    uint64_t litlen_counts[288];
    uint64_t dist_counts[32];
    float litlen_costs[288];
    float dist_costs[32];
};
static_assert(sizeof(symbol_stats) == 3840, "statistics record layout");

// Histogram of [start, end) of the store with its own packed flag, then entropy costs.
void stats_from_store(const lz77_store* s, uint64_t start, uint64_t end, symbol_stats* out);
void stats_from_store(const lz77_store* s, symbol_stats* out);

struct match_finder {
    const unsigned char* pos;
    const unsigned char* end;
    uint32_t counter;
    uint32_t cursor;
    uint32_t* heads;  // 32768 entries, then the tree in the same allocation
    uint32_t* tree;   // 32768 nodes of two children
};

// Fresh finder at pos with the given end; tables allocated, heads zeroed.
void match_finder_init(match_finder* mf, const unsigned char* pos, const unsigned char* end);
void match_finder_free(match_finder* mf);
// A copy with its own newly allocated tables.
void match_finder_snapshot(const match_finder* mf, match_finder* copy);
// Clears the heads and restarts the counter at 32768, keeping the position.
void match_finder_reset(match_finder* mf);

// Each find reports (length, distance) pairs into out (at most 2 * 256 values)
// and returns the number of 16-bit values written.
int find_matches(match_finder* mf, uint16_t* out);
// For a position after a distance-1 match longer than 3: the run match first.
int find_matches_run(match_finder* mf, uint16_t* out);
// For a position whose next 258 bytes are known to repeat at distance `dist`
// (the previous position had (258, dist) and the byte 258 ahead repeats too):
// the walk takes the full-length match of that node without comparing and
// ends there. It reports what the general find would, with less work. With
// fewer than 258 bytes left it is the general find.
int find_matches_known_distance(match_finder* mf, uint16_t* out, uint32_t dist);
void skip_positions(match_finder* mf, uint64_t n);
void skip_run_positions(match_finder* mf, uint64_t n);

// Largest number of 16-bit values one find can report.
inline constexpr int kMaxMatchList = 2 * 257;

// Appends the packed symbols of in[start, end) to store.
void zopfli_lz77_lazy(const Zopflioptions* opts, const unsigned char* in, uint64_t start,
                      uint64_t end, lz77_store* store);

}  // namespace zopfli
