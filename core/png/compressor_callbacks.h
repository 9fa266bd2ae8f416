// The compressors the PNG encoder can call through its `deflate_callback`
// hook: one `level_callback` per level code of the multi-level compressor and
// `zopfli_callback` for the Zopfli-style compressor.
//
// Every call builds and releases its own compressor, so any number of encodes
// may use the callbacks at once. `zopfli_callback` takes its settings from the
// job being encoded, which the encoder settings carry in `compressor_context`
// (a `const image_job*`); nothing is kept per process, so concurrent encodes
// with different settings give the same bytes as when run alone.
#pragma once
#include <cstdint>

#include "core/deflate/zopfli.h"
#include "core/job.h"
#include "core/png/codec/codec_state.h"

// Raw DEFLATE from the multi-level compressor at one level code. Instances
// exist for the codes 0-13, 77, 80, 88 and 89 only. Returns 0, or 83 with
// *out null and *outsize 0 when memory runs out or the compressor produced
// no bytes. `settings` is not used.
template <int level_code>
uint32_t level_callback(uint8_t** out, uint64_t* outsize, const uint8_t* in, uint64_t insize,
                        const png_compress_settings* settings);

// The `level_callback` instance of a level code; null for any other code.
deflate_callback level_callback_for(int level_code);

// Raw DEFLATE from the Zopfli-style compressor with the settings of the job
// that `settings->compressor_context` points at. Without a job it uses the
// settings a fresh job starts with (level 5, one iteration) on one thread.
// Returns 0, or 83 with *out null and *outsize 0 when no bytes came back.
uint32_t zopfli_callback(uint8_t** out, uint64_t* outsize, const uint8_t* in, uint64_t insize,
                         const png_compress_settings* settings);

// Images of exactly this many pixels get the Zopfli-style compressor's special
// schedule (its optimal parse does not start from the splitter's statistics).
inline constexpr uint32_t zopfli_special_pixel_count = 14999105;

// The options `zopfli_callback` compresses with for `job`: mode = low byte of
// `zopfli_setting`, iterations = its high byte, threads = `deflate_threads`,
// special = 1 only for `zopfli_special_pixel_count` pixels.
zopfli::Zopflioptions zopfli_options_for_job(const image_job& job);

// What a `level_callback` does, with the output room given by the caller
// instead of the compressor's bound (which always suffices). Exposed so that
// the handling of a compressor that cannot fit its output can be tested.
uint32_t compress_with_level(int level_code, uint8_t** out, uint64_t* outsize, const uint8_t* in,
                             uint64_t insize, uint64_t room);
