// libFuzzer target for the chunk scan that runs before any decoding: no
// crash, no overread, facts that hold together, and agreement with the
// decoder on damage: a file the scan refuses for a bad CRC (57) or a missing
// palette (38) must not decode, since the other roads trust that it does not.
// Files are scanned as they stand and with their CRCs recomputed; other
// inputs become wrapped images (see fuzz_input.h).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "core/job.h"
#include "core/options.h"
#include "core/png/chunk_scan.h"
#include "core/png/codec/decode.h"
#include "fuzz/fuzz_input.h"

namespace {

using fuzz_input::bytes;

void scan_and_check(const bytes& png, uint8_t mode) {
    default_flags flags;
    init_default_flags(flags);
    image_job job;
    init_image_job(job, flags, uint32_t(png.size()));
    job.mode = mode;
    lodepng::State state;
    const uint8_t result = scan_png_chunks(png, state, job);
    if (result != job.result) std::abort();
    if (result == 0) {
        if (job.critical_chunks < 3 || job.bytes_per_pixel != 4) std::abort();
        if (uint64_t(job.width) * job.height > png_pipeline_max_pixels) std::abort();
        if (job.pixel_count != job.width * job.height) std::abort();
    }
    if (result == png_error_crc || result == png_error_palette_size) {
        lodepng::State decoder_state;
        bytes image;
        uint32_t width = 0, height = 0;
        if (decode_png(image, width, height, decoder_state, png) == 0) std::abort();
    }
}

}  // namespace

int fuzz_input::chunk_scan_target(const uint8_t* data, size_t size) {
    // Lossless and automatic runs differ in the bit-depth test.
    const uint8_t mode = size % 2 ? mode_lossless : mode_undecided;
    if (is_png_file(data, size)) {
        bytes png(data, data + size);
        scan_and_check(png, mode);
        fix_chunk_crcs(png);
        scan_and_check(png, mode);
    } else {
        scan_and_check(wrapped_image(data, size), mode);
    }
    return 0;
}

#ifndef VELTO_FUZZ_REPLAY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz_input::chunk_scan_target(data, size);
}
#endif
