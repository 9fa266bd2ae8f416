// The engine's own zlib-style deflate compressor ("1.2.8-qorelmods").
//
// It keeps zlib's calling convention: the caller's z_stream record from the
// system <zlib.h>, zlib's flush values (Z_NO_FLUSH .. Z_BLOCK) and return codes
// (Z_OK, Z_STREAM_END, Z_STREAM_ERROR, ...). Every name lives in namespace
// zdeflate, so none of them clashes with the packaged zlib, which stays linked
// for inflate, CRC-32 and Adler-32 (and for libpng's own writer).
//
// Beside writing, a stream can measure: deflate_measure runs the same parse and
// block decisions but only adds each block's byte count to total_out, and
// deflate_copy_state clones a stream cheaply so that candidate inputs can be
// sized one after another from the same starting point.
#pragma once

#include <zlib.h>

#include <cstdint>

namespace zdeflate {

inline constexpr char deflate_version[] = "1.2.8-qorelmods";

struct deflate_state;

// Result of a parse routine for the stream driver.
enum class parse_result : int {
    need_more = 0,       // out of input or out of output space
    block_done = 1,      // the flush asked for has been carried out
    finish_started = 2,  // the last block is written, not yet handed out
    finish_done = 3,     // the last block is written and handed out
};

// measure: the stream's total_out in measuring mode, null in writing mode.
using parse_routine = parse_result (*)(deflate_state* s, int flush, uLong* measure);

struct level_row {
    std::uint16_t good_length;  // shorten the chain search beyond this length
    std::uint16_t max_lazy;     // lazy: no search beyond; fast: insertion limit
    std::uint16_t nice_length;  // stop the chain search at this length
    std::uint16_t max_chain;    // chain candidates to try
    parse_routine routine;
};

// One row per level 0..9.
extern const level_row deflate_level_table[10];

// windowBits -9..-15 gives a raw stream, 8..15 a zlib-wrapped one (8 acts as 9).
// version: any string starting with '1' (deflate_version or ZLIB_VERSION);
// stream_size: sizeof(z_stream).
int deflate_init2(z_stream* strm, int level, int method, int windowBits, int memLevel,
                  int strategy, const char* version, int stream_size);
int deflate_reset(z_stream* strm);
int deflate_tune(z_stream* strm, int good_length, int max_lazy, int nice_length, int max_chain);
uLong deflate_bound(z_stream* strm, uLong sourceLen);

// Writing mode: compresses into next_out/avail_out like zlib's deflate().
int deflate_stream(z_stream* strm, int flush);

// Measuring mode: total_out grows by the bytes writing mode would produce;
// nothing is written through next_out (which must still be non-null) and
// avail_out (non-zero) is not consumed. Only raw streams, and only flush
// values Z_NO_FLUSH, Z_FINISH and Z_BLOCK; anything else is Z_STREAM_ERROR.
int deflate_measure(z_stream* strm, int flush);

int deflate_end(z_stream* strm);

// alloc != 0: dest becomes an independent clone with buffers of its own.
// alloc == 0: dest must be a live stream with the source's window bits and
// memLevel (else Z_STREAM_ERROR); it keeps its own buffers. Either way the
// pending output and the current block's symbols are not copied, so a copy of
// a stream in mid-block is fit for measuring only. If the copy fails with
// Z_MEM_ERROR, dest holds no state (state == nullptr).
int deflate_copy_state(z_stream* dest, const z_stream* source, std::uint8_t alloc);

// Common driver: write = 1 writes, 0 measures.
int deflate_core(z_stream* strm, int flush, int write);

}  // namespace zdeflate
