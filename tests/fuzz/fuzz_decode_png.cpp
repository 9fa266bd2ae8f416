// libFuzzer target for the PNG decoder: any input must give a code or a
// complete image, never a crash, an overread or undefined behaviour. A file is
// decoded as it stands and, when that fails, again with its chunk CRCs
// recomputed; other inputs become wrapped images (see fuzz_input.h).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "core/png/codec/colour_convert.h"
#include "core/png/codec/decode.h"
#include "fuzz/fuzz_input.h"

namespace {

using fuzz_input::bytes;

// Returns whether the converting decode succeeded.
bool decode_all_ways(const bytes& png) {
    lodepng::State state;
    bytes rgba;
    uint32_t width = 0, height = 0;
    const bool decoded = decode_png(rgba, width, height, state, png) == 0;
    if (decoded) {
        if (rgba.size() != uint64_t(width) * height * 4) std::abort();
        colour_stats stats;
        if (collect_colour_stats(stats, rgba.data(), width, height, state.raw_mode) != 0) std::abort();
    }

    lodepng::State raw_state;
    raw_state.decoder.convert_colour = 0;
    bytes raw;
    const bool raw_decoded = decode_png(raw, width, height, raw_state, png) == 0;
    if (raw_decoded != decoded) std::abort();  // conversion never decides whether a file decodes
    if (raw_decoded) {
        if (raw.size() != raw_image_size(width, height, raw_state.raw_mode)) std::abort();
        colour_stats stats;
        collect_colour_stats(stats, raw.data(), width, height, raw_state.raw_mode);
    }
    return decoded;
}

}  // namespace

int fuzz_input::decode_png_target(const uint8_t* data, size_t size) {
    if (is_png_file(data, size)) {
        bytes png(data, data + size);
        if (decode_all_ways(png)) return 0;
        fix_chunk_crcs(png);
        decode_all_ways(png);
    } else if (size > 0 && data[0] % 2 == 0) {
        decode_all_ways(bytes(data + 1, data + size));
    } else {
        decode_all_ways(size > 0 ? wrapped_image(data + 1, size - 1) : bytes());
    }
    return 0;
}

#ifndef VELTO_FUZZ_REPLAY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz_input::decode_png_target(data, size);
}
#endif
