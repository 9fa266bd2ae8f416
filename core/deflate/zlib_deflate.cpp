// Streams of the zdeflate compressor: set-up, level table, the stream driver
// shared by writing and measuring mode, and the state copy.
//
// Measuring mode exists for the PNG row-filter search: a candidate row is
// sized by cloning the main stream (deflate_copy_state with the clone's own
// buffers kept), finishing the clone in measuring mode and reading total_out.
// Measuring runs the same parse and block choice as writing and only differs
// in the block coder, which adds sizes instead of emitting bits.
#include "core/deflate/zlib_deflate.h"

#include "core/deflate/zlib_parsers.h"
#include "core/deflate/zlib_state.h"
#include "core/deflate/zlib_trees.h"

#include <cstdlib>
#include <cstring>

namespace zdeflate {

const level_row deflate_level_table[10] = {
    {16, 258, 258, 2048, parse_lazy},  // 0: parses like 8, codes stored blocks
    {16, 258, 258, 4096, parse_lazy},  // 1
    {4, 5, 16, 8, parse_fast},         // 2
    {4, 6, 32, 32, parse_fast},        // 3
    {4, 4, 16, 16, parse_lazy},        // 4
    {8, 16, 32, 32, parse_lazy},       // 5
    {8, 16, 128, 128, parse_lazy},     // 6
    {8, 32, 128, 256, parse_lazy},     // 7
    {32, 258, 258, 2048, parse_lazy},  // 8
    {32, 258, 258, 4096, parse_lazy},  // 9
};

namespace {

char msg_stream_error[] = "stream error";
char msg_buffer_error[] = "buffer error";
char msg_no_memory[] = "insufficient memory";

voidpf plain_alloc(voidpf, uInt items, uInt size) {
    return std::malloc(static_cast<std::size_t>(items) * size);
}
void plain_free(voidpf, voidpf p) { std::free(p); }

inline void* allocate(z_stream* strm, std::uint64_t items, std::uint64_t size) {
    return strm->zalloc(strm->opaque, static_cast<uInt>(items), static_cast<uInt>(size));
}
inline void release(z_stream* strm, void* p) {
    if (p) strm->zfree(strm->opaque, p);
}

// Points the views and descriptors of s at its own buffers and trees.
void bind_views(deflate_state* s) {
    s->sym_dists = reinterpret_cast<std::uint16_t*>(s->symbol_buffer);
    s->sym_lengths = s->symbol_buffer ? s->symbol_buffer + 2 * std::uint64_t(s->symbol_capacity) : nullptr;
    s->litlen_desc.tree = s->litlen_tree;
    s->dist_desc.tree = s->dist_tree;
    s->codelen_desc.tree = s->codelen_tree;
}

inline bool has_all_buffers(const deflate_state* s) {
    return s->window && s->chain_prev && s->chain_head && s->pending_buffer && s->symbol_buffer;
}

// Measuring mode never writes: pending bytes (only a writing-mode copy can
// leave any) are counted instead of handed out.
void hand_out(z_stream* strm, bool measuring) {
    deflate_state* s = state_of(strm);
    if (!measuring) {
        flush_pending(strm);
        return;
    }
    strm->total_out += s->pending_count;
    s->pending_count = 0;
    s->pending_next = s->pending_buffer;
}

inline int flush_rank(int f) { return f * 2 - (f > 4 ? 9 : 0); }

void put_be16(deflate_state* s, unsigned v) {
    put_pending_byte(s, static_cast<std::uint8_t>(v >> 8));
    put_pending_byte(s, static_cast<std::uint8_t>(v));
}

void put_be32(deflate_state* s, uLong v) {
    put_be16(s, static_cast<unsigned>((v >> 16) & 0xFFFF));
    put_be16(s, static_cast<unsigned>(v & 0xFFFF));
}

void write_zlib_header(z_stream* strm, deflate_state* s) {
    unsigned header = (Z_DEFLATED + ((s->window_bits - 8) << 4)) << 8;
    unsigned level_flags;
    if (s->strategy >= Z_HUFFMAN_ONLY || s->level < 2) level_flags = 0;
    else if (s->level < 6) level_flags = 1;
    else if (s->level == 6) level_flags = 2;
    else level_flags = 3;
    header |= level_flags << 6;
    if (s->cur_pos != 0) header |= 0x20;  // preset dictionary
    header += 31 - (header % 31);
    put_be16(s, header);
    if (s->cur_pos != 0) put_be32(s, strm->adler);
    strm->adler = 1;
    s->status = status_busy;
}

}  // namespace

void flush_pending(z_stream* strm) {
    deflate_state* s = state_of(strm);
    unsigned len = s->pending_count;
    if (len > strm->avail_out) len = strm->avail_out;
    if (len == 0) return;
    std::memcpy(strm->next_out, s->pending_next, len);
    strm->next_out += len;
    s->pending_next += len;
    strm->total_out += len;
    strm->avail_out -= len;
    s->pending_count -= len;
    if (s->pending_count == 0) s->pending_next = s->pending_buffer;
}

int deflate_init2(z_stream* strm, int level, int method, int windowBits, int memLevel, int strategy,
                  const char* version, int stream_size) {
    if (!version || version[0] != '1' || stream_size != static_cast<int>(sizeof(z_stream))) return Z_VERSION_ERROR;
    if (!strm) return Z_STREAM_ERROR;

    strm->msg = nullptr;
    if (!strm->zalloc) {
        strm->zalloc = plain_alloc;
        strm->opaque = nullptr;
    }
    if (!strm->zfree) strm->zfree = plain_free;

    if (level == Z_DEFAULT_COMPRESSION) level = 6;
    int wrapper = 1;
    if (windowBits < 0) {
        if (windowBits < -15) return Z_STREAM_ERROR;
        wrapper = 0;
        windowBits = -windowBits;
    }
    if (memLevel < 1 || memLevel > 9 || method != Z_DEFLATED || windowBits < 8 || windowBits > 15 || level < 0 ||
        level > 9 || strategy < 0 || strategy > Z_FIXED)
        return Z_STREAM_ERROR;
    if (windowBits == 8) windowBits = 9;

    auto* s = static_cast<deflate_state*>(allocate(strm, 1, sizeof(deflate_state)));
    if (!s) return Z_MEM_ERROR;
    std::memset(static_cast<void*>(s), 0, sizeof(deflate_state));
    strm->state = reinterpret_cast<internal_state*>(s);
    s->stream = strm;
    s->status = status_init;
    s->wrapper = wrapper;

    s->window_bits = static_cast<std::uint32_t>(windowBits);
    s->window_bytes = 1u << windowBits;
    s->window_mask = s->window_bytes - 1;
    s->hash_width = static_cast<std::uint32_t>(memLevel) + 7;
    s->hash_entries = 1u << s->hash_width;
    s->hash_bitmask = s->hash_entries - 1;
    s->hash_step = (s->hash_width + min_match - 1) / min_match;
    s->symbol_capacity = 1u << (memLevel + 6);
    s->pending_capacity = pending_buffer_bytes(s->symbol_capacity, s->window_bytes);

    s->window = static_cast<std::uint8_t*>(allocate(strm, s->window_bytes, 2));
    s->chain_prev = static_cast<std::uint16_t*>(allocate(strm, s->window_bytes, sizeof(std::uint16_t)));
    s->chain_head = static_cast<std::uint16_t*>(allocate(strm, s->hash_entries, sizeof(std::uint16_t)));
    s->zeroed_end = 0;
    s->pending_buffer = static_cast<std::uint8_t*>(allocate(strm, s->pending_capacity, 1));
    s->symbol_buffer = static_cast<std::uint8_t*>(allocate(strm, symbol_buffer_bytes(s->symbol_capacity), 1));
    if (!has_all_buffers(s)) {
        s->status = status_finish;
        strm->msg = msg_no_memory;
        deflate_end(strm);
        return Z_MEM_ERROR;
    }
    bind_views(s);
    s->level = level;
    s->strategy = strategy;
    s->method_code = static_cast<std::uint8_t>(method);
    return deflate_reset(strm);
}

int deflate_reset(z_stream* strm) {
    if (!strm || !strm->state || !strm->zalloc || !strm->zfree) return Z_STREAM_ERROR;
    deflate_state* s = state_of(strm);

    strm->total_in = strm->total_out = 0;
    strm->msg = nullptr;
    strm->data_type = Z_UNKNOWN;
    s->pending_count = 0;
    s->pending_next = s->pending_buffer;
    if (s->wrapper < 0) s->wrapper = -s->wrapper;
    s->status = s->wrapper ? status_init : status_busy;
    strm->adler = 1;
    s->previous_flush = Z_NO_FLUSH;
    block_coder_init(s);

    s->window_capacity = 2 * std::uint64_t(s->window_bytes);
    std::memset(s->chain_head, 0, s->hash_entries * sizeof(std::uint16_t));
    const level_row& row = deflate_level_table[s->level];
    s->good_length = row.good_length;
    s->max_lazy = row.max_lazy;
    s->nice_length = row.nice_length;
    s->max_chain = row.max_chain;
    s->cur_pos = 0;
    s->block_origin = 0;
    s->lookahead = 0;
    s->pending_inserts = 0;
    s->cur_length = s->prev_length = min_match - 1;
    s->literal_deferred = 0;
    s->insert_hash = 0;
    return Z_OK;
}

int deflate_tune(z_stream* strm, int good_length, int max_lazy, int nice_length, int max_chain) {
    if (!strm || !strm->state) return Z_STREAM_ERROR;
    deflate_state* s = state_of(strm);
    s->good_length = static_cast<std::uint32_t>(good_length);
    s->max_lazy = static_cast<std::uint32_t>(max_lazy);
    s->nice_length = nice_length;
    s->max_chain = static_cast<std::uint32_t>(max_chain);
    return Z_OK;
}

uLong deflate_bound(z_stream* strm, uLong sourceLen) {
    uLong c = sourceLen + ((sourceLen + 7) >> 3) + ((sourceLen + 63) >> 6) + 5;
    if (!strm || !strm->state) return c + 6;
    const deflate_state* s = state_of(strm);
    uLong w;
    switch (s->wrapper) {
    case 0: w = 0; break;
    case 1: w = 6 + (s->cur_pos ? 4 : 0); break;
    default: w = 6; break;
    }
    if (s->window_bits != 15 || s->hash_width != 15) return c + w;
    return sourceLen + (sourceLen >> 12) + (sourceLen >> 14) + (sourceLen >> 25) + 7 + w;
}

int deflate_stream(z_stream* strm, int flush) { return deflate_core(strm, flush, 1); }

int deflate_measure(z_stream* strm, int flush) { return deflate_core(strm, flush, 0); }

int deflate_core(z_stream* strm, int flush, int write) {
    if (!strm || !strm->state || static_cast<unsigned>(flush) > Z_BLOCK) return Z_STREAM_ERROR;
    deflate_state* s = state_of(strm);
    const bool measuring = write == 0;
    uLong* measure = measuring ? &strm->total_out : nullptr;

    if (!strm->next_out || (!strm->next_in && strm->avail_in != 0) ||
        (s->status == status_finish && flush != Z_FINISH)) {
        strm->msg = msg_stream_error;
        return Z_STREAM_ERROR;
    }
    // A zlib header or trailer, or a flush marker, would have to go out
    // through next_out, which in measuring mode is only a placeholder.
    if (measuring && (s->wrapper != 0 || flush == Z_PARTIAL_FLUSH || flush == Z_SYNC_FLUSH ||
                      flush == Z_FULL_FLUSH)) {
        strm->msg = msg_stream_error;
        return Z_STREAM_ERROR;
    }
    if (strm->avail_out == 0) {
        strm->msg = msg_buffer_error;
        return Z_BUF_ERROR;
    }

    const int old_flush = s->previous_flush;
    s->previous_flush = flush;

    if (s->status == status_init) write_zlib_header(strm, s);

    if (s->pending_count != 0) {
        hand_out(strm, measuring);
        if (strm->avail_out == 0) {
            s->previous_flush = -1;
            return Z_OK;
        }
    } else if (strm->avail_in == 0 && flush_rank(flush) <= flush_rank(old_flush) && flush != Z_FINISH) {
        strm->msg = msg_buffer_error;
        return Z_BUF_ERROR;
    }

    if (s->status == status_finish && strm->avail_in != 0) {
        strm->msg = msg_buffer_error;
        return Z_BUF_ERROR;
    }

    if (strm->avail_in != 0 || s->lookahead != 0 || (flush != Z_NO_FLUSH && s->status != status_finish)) {
        parse_result r = deflate_level_table[s->level].routine(s, flush, measure);
        if (r == parse_result::finish_started || r == parse_result::finish_done) s->status = status_finish;
        if (r == parse_result::need_more || r == parse_result::finish_started) {
            if (strm->avail_out == 0) s->previous_flush = -1;
            return Z_OK;
        }
        if (r == parse_result::block_done) {
            if (flush == Z_PARTIAL_FLUSH) {
                emit_align_block(s);
            } else if (flush != Z_BLOCK) {
                emit_stored_block(s, nullptr, 0, false);
                if (flush == Z_FULL_FLUSH) {
                    std::memset(s->chain_head, 0, s->hash_entries * sizeof(std::uint16_t));
                    if (s->lookahead == 0) {
                        s->cur_pos = 0;
                        s->block_origin = 0;
                        s->pending_inserts = 0;
                    }
                }
            }
            hand_out(strm, measuring);
            if (strm->avail_out == 0) {
                s->previous_flush = -1;
                return Z_OK;
            }
        }
    }

    if (flush != Z_FINISH) return Z_OK;
    if (s->wrapper <= 0) return Z_STREAM_END;

    put_be32(s, strm->adler);
    hand_out(strm, measuring);
    s->wrapper = -s->wrapper;
    return s->pending_count != 0 ? Z_OK : Z_STREAM_END;
}

int deflate_end(z_stream* strm) {
    if (!strm || !strm->state) return Z_STREAM_ERROR;
    deflate_state* s = state_of(strm);
    const int status = s->status;
    if (status != status_init && status != status_busy && status != status_finish) return Z_STREAM_ERROR;

    release(strm, s->pending_buffer);
    release(strm, s->symbol_buffer);
    release(strm, s->chain_head);
    release(strm, s->chain_prev);
    release(strm, s->window);
    release(strm, s);
    strm->state = nullptr;
    return status == status_busy ? Z_DATA_ERROR : Z_OK;
}

int deflate_copy_state(z_stream* dest, const z_stream* source, std::uint8_t alloc) {
    if (!dest || !source || !source->state || dest == source) return Z_STREAM_ERROR;
    const deflate_state* ss = state_of(source);
    deflate_state* ds;

    if (alloc) {
        *dest = *source;
        // Until the clone has a state of its own, dest must not point at the
        // source's: ending dest would free the source's buffers.
        dest->state = nullptr;
        ds = static_cast<deflate_state*>(allocate(dest, 1, sizeof(deflate_state)));
        if (!ds) return Z_MEM_ERROR;
        std::memcpy(static_cast<void*>(ds), ss, sizeof(deflate_state));
        dest->state = reinterpret_cast<internal_state*>(ds);
        ds->window = static_cast<std::uint8_t*>(allocate(dest, ss->window_bytes, 2));
        ds->chain_prev = static_cast<std::uint16_t*>(allocate(dest, ss->window_bytes, sizeof(std::uint16_t)));
        ds->chain_head = static_cast<std::uint16_t*>(allocate(dest, ss->hash_entries, sizeof(std::uint16_t)));
        ds->pending_buffer = static_cast<std::uint8_t*>(allocate(dest, ss->pending_capacity, 1));
        ds->symbol_buffer =
            static_cast<std::uint8_t*>(allocate(dest, symbol_buffer_bytes(ss->symbol_capacity), 1));
        // Neither pending output nor symbols are copied; start them defined so
        // that a misused copy stays memory-safe.
        if (ds->pending_buffer) std::memset(ds->pending_buffer, 0, ss->pending_capacity);
        if (ds->symbol_buffer) std::memset(ds->symbol_buffer, 0, symbol_buffer_bytes(ss->symbol_capacity));
    } else {
        ds = state_of(dest);
        if (!ds || ds == ss || ds->window_bits != ss->window_bits || ds->hash_width != ss->hash_width ||
            ds->symbol_capacity != ss->symbol_capacity || ds->pending_capacity != ss->pending_capacity)
            return Z_STREAM_ERROR;
        std::uint8_t* window = ds->window;
        std::uint16_t* chain_prev = ds->chain_prev;
        std::uint16_t* chain_head = ds->chain_head;
        std::uint8_t* pending_buffer = ds->pending_buffer;
        std::uint8_t* symbol_buffer = ds->symbol_buffer;
        *dest = *source;
        dest->state = reinterpret_cast<internal_state*>(ds);
        std::memcpy(static_cast<void*>(ds), ss, sizeof(deflate_state));
        ds->window = window;
        ds->chain_prev = chain_prev;
        ds->chain_head = chain_head;
        ds->pending_buffer = pending_buffer;
        ds->symbol_buffer = symbol_buffer;
    }

    ds->stream = dest;
    if (!has_all_buffers(ds)) {
        deflate_end(dest);
        return Z_MEM_ERROR;
    }

    // Bytes at and above zeroed_end have never been read or written by the
    // source; the copy can leave them out.
    std::uint64_t window_used = ss->zeroed_end < ss->window_capacity ? ss->zeroed_end : ss->window_capacity;
    std::memcpy(ds->window, ss->window, window_used);
    std::memcpy(ds->chain_prev, ss->chain_prev, ss->window_bytes * sizeof(std::uint16_t));
    std::memcpy(ds->chain_head, ss->chain_head, ss->hash_entries * sizeof(std::uint16_t));

    ds->pending_next = ds->pending_buffer + (ss->pending_next - ss->pending_buffer);
    bind_views(ds);
    return Z_OK;
}

}  // namespace zdeflate
