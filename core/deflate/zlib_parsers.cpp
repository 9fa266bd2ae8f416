// Sliding window, hash chains and the fast and lazy parse routines.
//
// The window is twice the match distance: input is appended behind the parse
// position and, once the position reaches the upper half, that half is copied
// down and every chain entry drops by the window size. Each position is
// entered into a chain keyed by a rolling hash of its next three bytes; the
// match search walks that chain, probing two 2-byte pairs before comparing
// four bytes at a time. Both parsers run unchanged in writing and measuring
// mode; only the block coder looks at the mode.
#include "core/deflate/zlib_parsers.h"

#include "core/deflate/zlib_trees.h"

#include <bit>
#include <cstring>

namespace zdeflate {
namespace {

inline std::uint32_t max_distance(const deflate_state* s) { return s->window_bytes - min_lookahead; }

inline std::uint16_t load16(const std::uint8_t* p) {
    std::uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}
inline std::uint32_t load32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// Number of equal leading bytes (in memory order) of two differing words.
inline unsigned equal_leading_bytes(std::uint32_t a, std::uint32_t b) {
    if constexpr (std::endian::native == std::endian::little) return std::countr_zero(a ^ b) >> 3;
    else return std::countl_zero(a ^ b) >> 3;
}

inline void seed_hash(deflate_state* s, std::uint32_t p) {
    s->insert_hash = s->window[p];
    s->insert_hash = ((s->insert_hash << s->hash_step) ^ s->window[p + 1]) & s->hash_bitmask;
}

// Enters position p into its hash chain; returns the previous chain head.
inline unsigned insert_position(deflate_state* s, std::uint32_t p) {
    s->insert_hash = ((s->insert_hash << s->hash_step) ^ s->window[p + 2]) & s->hash_bitmask;
    std::uint16_t head = s->chain_head[s->insert_hash];
    s->chain_prev[p & s->window_mask] = head;
    s->chain_head[s->insert_hash] = static_cast<std::uint16_t>(p);
    return head;
}

// Longest match at cur_pos along the chain starting at candidate; sets match_pos.
std::uint32_t longest_match(deflate_state* s, unsigned candidate) {
    unsigned chain = s->max_chain;
    std::uint32_t best = s->prev_length;
    std::uint32_t nice = static_cast<std::uint32_t>(s->nice_length);
    const std::uint32_t limit = s->cur_pos > max_distance(s) ? s->cur_pos - max_distance(s) : 0;
    const std::uint8_t* scan = s->window + s->cur_pos;

    if (s->prev_length >= s->good_length) chain >>= 2;
    if (nice > s->lookahead) nice = s->lookahead;

    const std::uint16_t scan_start = load16(scan);
    std::uint16_t scan_end = load16(scan + best - 1);
    do {
        const std::uint8_t* match = s->window + candidate;
        if (load16(match + best - 1) != scan_end || load16(match) != scan_start) continue;

        // Offsets 2..257 in 64 words; the zero fill keeps them defined.
        std::uint32_t len = 2;
        while (len < max_match) {
            std::uint32_t a = load32(scan + len), b = load32(match + len);
            if (a != b) {
                len += equal_leading_bytes(a, b);
                break;
            }
            len += 4;
        }
        if (len > best) {
            s->match_pos = candidate;
            best = len;
            if (len >= nice) break;
            scan_end = load16(scan + best - 1);
        }
    } while ((candidate = s->chain_prev[candidate & s->window_mask]) > limit && --chain != 0);

    return best <= s->lookahead ? best : s->lookahead;
}

void slide_chains(std::uint16_t* entries, std::uint32_t count, std::uint32_t window_bytes) {
    const std::uint16_t w = static_cast<std::uint16_t>(window_bytes);
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint16_t v = entries[i];
        entries[i] = static_cast<std::uint16_t>(v >= w ? v - w : 0);
    }
}

// Moves up to size bytes of input into buf; keeps the Adler-32 of a zlib stream.
std::uint32_t read_input(deflate_state* s, std::uint8_t* buf, std::uint64_t size) {
    z_stream* strm = s->stream;
    std::uint32_t len = strm->avail_in;
    if (len > size) len = static_cast<std::uint32_t>(size);
    if (len == 0) return 0;
    strm->avail_in -= len;
    std::memcpy(buf, strm->next_in, len);
    if (s->wrapper == 1) strm->adler = adler32(strm->adler, buf, len);
    strm->next_in += len;
    strm->total_in += len;
    return len;
}

// Ends the current block at cur_pos and hands its output on.
void flush_block(deflate_state* s, bool last, uLong* measure) {
    const std::uint8_t* bytes = s->block_origin >= 0 ? s->window + s->block_origin : nullptr;
    std::uint64_t length = static_cast<std::uint64_t>(static_cast<std::int64_t>(s->cur_pos) - s->block_origin);
    finish_block(s, bytes, length, last, measure);
    s->block_origin = static_cast<std::int32_t>(s->cur_pos);
    if (!measure) flush_pending(s->stream);
}

// Common end of both parsers once the input in hand is parsed.
parse_result finish_parse(deflate_state* s, int flush, uLong* measure) {
    s->pending_inserts = s->cur_pos < min_match - 1 ? s->cur_pos : min_match - 1;
    if (flush == Z_FINISH) {
        flush_block(s, true, measure);
        return s->stream->avail_out == 0 ? parse_result::finish_started : parse_result::finish_done;
    }
    if (s->symbol_count) {
        flush_block(s, false, measure);
        if (s->stream->avail_out == 0) return parse_result::need_more;
    }
    return parse_result::block_done;
}

// Keeps at least min_lookahead bytes ahead of the parse position while input
// lasts; tells the parser to wait for more input or that the input is used up.
enum class refill_outcome { go_on, need_more, input_done };
inline refill_outcome keep_lookahead(deflate_state* s, int flush) {
    if (s->lookahead < min_lookahead) {
        refill_window(s);
        if (s->lookahead < min_lookahead && flush == Z_NO_FLUSH) return refill_outcome::need_more;
        if (s->lookahead == 0) return refill_outcome::input_done;
    }
    return refill_outcome::go_on;
}

}  // namespace

void refill_window(deflate_state* s) {
    z_stream* strm = s->stream;
    const std::uint32_t w = s->window_bytes;
    do {
        std::uint64_t free = s->window_capacity - s->lookahead - s->cur_pos;
        if (s->cur_pos >= w + max_distance(s)) {
            std::memcpy(s->window, s->window + w, w);
            s->match_pos -= w;
            s->cur_pos -= w;
            s->block_origin -= static_cast<std::int32_t>(w);
            slide_chains(s->chain_head, s->hash_entries, w);
            slide_chains(s->chain_prev, w, w);
            free += w;
        }
        if (strm->avail_in == 0) break;

        s->lookahead += read_input(s, s->window + s->cur_pos + s->lookahead, free);

        // Enter the positions held back at the end of earlier input now that
        // their three bytes are known.
        if (s->lookahead + s->pending_inserts >= min_match) {
            std::uint32_t p = s->cur_pos - s->pending_inserts;
            seed_hash(s, p);
            while (s->pending_inserts) {
                insert_position(s, p);
                ++p;
                --s->pending_inserts;
                if (s->lookahead + s->pending_inserts < min_match) break;
            }
        }
    } while (s->lookahead < min_lookahead && strm->avail_in != 0);

    // Zero the bytes a match comparison may read beyond the data.
    if (s->zeroed_end < s->window_capacity) {
        std::uint64_t c = std::uint64_t(s->cur_pos) + s->lookahead;
        if (s->zeroed_end < c) {
            std::uint64_t n = s->window_capacity - c;
            if (n > zero_fill_margin) n = zero_fill_margin;
            std::memset(s->window + c, 0, n);
            s->zeroed_end = c + n;
        } else if (s->zeroed_end < c + zero_fill_margin) {
            std::uint64_t end = c + zero_fill_margin;
            if (end > s->window_capacity) end = s->window_capacity;
            std::memset(s->window + s->zeroed_end, 0, end - s->zeroed_end);
            s->zeroed_end = end;
        }
    }
}

parse_result parse_fast(deflate_state* s, int flush, uLong* measure) {
    for (;;) {
        refill_outcome r = keep_lookahead(s, flush);
        if (r == refill_outcome::need_more) return parse_result::need_more;
        if (r == refill_outcome::input_done) break;

        unsigned head = 0;
        if (s->lookahead >= min_match) head = insert_position(s, s->cur_pos);
        if (head != 0 && s->cur_pos - head <= max_distance(s)) s->cur_length = longest_match(s, head);

        bool full;
        if (s->cur_length >= min_match) {
            full = tally_match(s, s->cur_pos - s->match_pos, s->cur_length - min_match);
            s->lookahead -= s->cur_length;
            if (s->cur_length <= s->max_lazy && s->lookahead >= min_match) {
                // Short match: enter every position it covers.
                s->cur_length--;
                do {
                    s->cur_pos++;
                    insert_position(s, s->cur_pos);
                } while (--s->cur_length != 0);
                s->cur_pos++;
            } else {
                s->cur_pos += s->cur_length;
                s->cur_length = 0;
                seed_hash(s, s->cur_pos);
            }
        } else {
            full = tally_literal(s, s->window[s->cur_pos]);
            s->lookahead--;
            s->cur_pos++;
        }
        if (full) {
            flush_block(s, false, measure);
            if (s->stream->avail_out == 0) return parse_result::need_more;
        }
    }
    return finish_parse(s, flush, measure);
}

parse_result parse_lazy(deflate_state* s, int flush, uLong* measure) {
    for (;;) {
        refill_outcome r = keep_lookahead(s, flush);
        if (r == refill_outcome::need_more) return parse_result::need_more;
        if (r == refill_outcome::input_done) break;

        unsigned head = 0;
        if (s->lookahead >= min_match) head = insert_position(s, s->cur_pos);

        s->prev_length = s->cur_length;
        s->prev_match_pos = s->match_pos;
        s->cur_length = min_match - 1;

        if (head != 0 && s->prev_length < s->max_lazy && s->cur_pos - head <= max_distance(s)) {
            s->cur_length = longest_match(s, head);
            // Filtered data: short matches rarely pay off against literals.
            if (s->strategy == Z_FILTERED && s->cur_length <= 5) s->cur_length = min_match - 1;
        }

        if (s->prev_length >= min_match && s->cur_length <= s->prev_length) {
            // The match at the previous position wins.
            const std::uint32_t limit = s->cur_pos + s->lookahead - min_match;
            bool full = tally_match(s, s->cur_pos - 1 - s->prev_match_pos, s->prev_length - min_match);
            s->lookahead -= s->prev_length - 1;
            s->prev_length -= 2;
            do {
                if (++s->cur_pos <= limit) insert_position(s, s->cur_pos);
            } while (--s->prev_length != 0);
            s->literal_deferred = 0;
            s->cur_length = min_match - 1;
            s->cur_pos++;
            if (full) {
                flush_block(s, false, measure);
                if (s->stream->avail_out == 0) return parse_result::need_more;
            }
        } else if (s->literal_deferred) {
            // No better match here: the previous byte goes out as a literal.
            if (tally_literal(s, s->window[s->cur_pos - 1])) flush_block(s, false, measure);
            s->cur_pos++;
            s->lookahead--;
            if (s->stream->avail_out == 0) return parse_result::need_more;
        } else {
            s->literal_deferred = 1;
            s->cur_pos++;
            s->lookahead--;
        }
    }
    if (s->literal_deferred) {
        tally_literal(s, s->window[s->cur_pos - 1]);
        s->literal_deferred = 0;
    }
    return finish_parse(s, flush, measure);
}

}  // namespace zdeflate
