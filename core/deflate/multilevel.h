// Multi-level compressor: turns a whole buffer into a raw DEFLATE stream
// (RFC 1951) or a zlib stream (RFC 1950) in one call.
//
// Level codes 0-4 use a greedy hash-chain parser, 5-7 a lazy one, 8-13 a
// near-optimal parser over a binary-tree match finder (more passes and deeper
// searches as the code grows), 77 codes literals only, and 80, 88 and 89 are
// lighter near-optimal variants. Any other code is refused.
//
// An encoder belongs to one thread at a time and may compress any number of
// buffers; every call starts afresh, so the bytes never depend on earlier calls.
//
// Failure: the encode functions return 0 when the output does not fit in
// out_avail bytes (the buffer's contents are then undefined). A non-empty
// stream is never 0 bytes long, so callers must treat 0 as a failure, never as
// an empty stream. A buffer of the matching *_bound() size always suffices.
#pragma once

#include <cstdint>

namespace mlevel {

struct DeflateEncoder;

// Null when level_code is not one of 0-13, 77, 80, 88, 89, or memory runs out.
DeflateEncoder* create_deflate_encoder(int level_code);

// Null is allowed.
void destroy_deflate_encoder(DeflateEncoder* encoder);

uint32_t get_encoder_level(const DeflateEncoder* encoder);

// Raw DEFLATE: bytes written to out, or 0 when they do not fit (see above).
// in may be null when in_len is 0.
uint64_t deflate_encode(DeflateEncoder* encoder, const void* in, uint64_t in_len, void* out,
                        uint64_t out_avail);

// n + 9 + 5 * max(ceil(n / 10000), 1): enough output room for any n-byte input.
uint64_t deflate_encode_bound(const DeflateEncoder* encoder, uint64_t n);

// zlib stream: header 0x78 and a level byte, raw DEFLATE, Adler-32 big-endian.
// Bytes written, or 0 when they do not fit (see above).
uint64_t zlib_encode(DeflateEncoder* encoder, const void* in, uint64_t in_len, void* out,
                     uint64_t out_avail);

uint64_t zlib_encode_bound(const DeflateEncoder* encoder, uint64_t n);

// Adler-32 of buffer continued from adler; 1 when buffer is null. Runs the
// SSE2 or AVX2 routine, chosen once per process from the processor's features.
uint32_t adler32_update(uint32_t adler, const void* buffer, uint64_t len);

}  // namespace mlevel
