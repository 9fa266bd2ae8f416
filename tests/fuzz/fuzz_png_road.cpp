// libFuzzer target for the whole PNG road on a file held in memory: the
// engine's own chunk scan, decode, analysis, the chosen road and the output
// assembly, then the result read back. Whatever the input, the engine must
// not crash, and a result it would write must decode to an image of the
// job's size; on the lossless roads every visible pixel must come back
// unchanged and every transparent one stay transparent.
//
// The road is picked by the input's size, so a mutation that keeps the size
// keeps the road. Files have their chunk CRCs recomputed so that changed
// chunks get as far as the roads; other inputs become wrapped images (see
// fuzz_input.h). Effort level 0 and one thread keep runs short, and images
// above 64 x 64 pixels are left to the chunk scan and decoder targets;
// animations are left to the animation road's own target.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/job.h"
#include "core/options.h"
#include "core/png/chunk_scan.h"
#include "core/png/codec/decode.h"
#include "core/png/png_optimizer.h"
#include "core/png/png_output.h"
#include "fuzz/fuzz_input.h"

namespace {

using fuzz_input::bytes;

constexpr uint64_t max_road_pixels = 64 * 64;

struct road {
    uint8_t mode;
    uint8_t png_level;
    uint8_t metadata_mode;  // 0 keeps every chunk ("-nostrip")
    uint16_t resize_target;
};

const road roads[] = {
    {mode_lossless, 0, 1, 0},          // fast lossless
    {mode_lossless, 1, 0, 0},          // lossless search, chunks kept
    {mode_undecided, 0, 1, 0},         // the mode decision picks the road
    {mode_lossy_truecolour, 0, 0, 0},  // posterised truecolour, chunks kept
    {mode_palette, 0, 1, 0},           // quantised palette
    {mode_undecided, 0, 1, 24},        // shrunk first
};

// Same size, and wherever `before` is visible the same RGBA; transparent
// pixels stay transparent.
bool same_visible_pixels(const bytes& before, const bytes& after) {
    if (before.size() != after.size()) return false;
    for (size_t i = 0; i < before.size(); i += 4) {
        if (before[i + 3] == 0 ? after[i + 3] != 0 : std::memcmp(&before[i], &after[i], 4) != 0) return false;
    }
    return true;
}

void run_road(const bytes& png, const road& r) {
    uint32_t width = 0, height = 0;
    lodepng::State header;
    if (inspect_png(width, height, header, png.data(), png.size()) == 0 &&
        uint64_t(width) * height > max_road_pixels)
        return;

    default_flags flags;
    init_default_flags(flags);
    flags.inner_threads = 1;
    flags.png_level = r.png_level;
    flags.metadata_mode = r.metadata_mode;
    flags.resize_target = r.resize_target;
    image_job job;
    init_image_job(job, flags, uint32_t(png.size()));
    job.mode = r.mode;

    // Animations take a road of their own, fuzzed by a target of its own.
    image_job probe = job;
    lodepng::State probe_state;
    scan_png_chunks(png, probe_state, probe);
    if (probe.is_apng) return;

    bytes result, image;
    if (!run_png_pipeline("", png, result, image, job)) return;
    if (!assemble_png_output(png, result, job)) return;  // a bad chunk ends the stage: nothing written
    if (result.size() <= smallest_written_png) return;   // never written

    lodepng::State state;
    bytes decoded;
    if (decode_png(decoded, width, height, state, result) != 0) std::abort();
    if (width != job.width || height != job.height) std::abort();
    if (r.mode == mode_lossless) {
        lodepng::State input_state;
        bytes original;
        if (decode_png(original, width, height, input_state, png) != 0) std::abort();
        if (!same_visible_pixels(original, decoded)) std::abort();
    }
}

}  // namespace

int fuzz_input::png_road_target(const uint8_t* data, size_t size) {
    const road& r = roads[size % (sizeof roads / sizeof roads[0])];
    run_road(png_file_or(data, size, wrapped_image), r);
    return 0;
}

#ifndef VELTO_FUZZ_REPLAY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz_input::png_road_target(data, size);
}
#endif
