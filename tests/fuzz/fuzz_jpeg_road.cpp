// libFuzzer target for the JPEG roads on a file held in memory: the
// inspection and mode decision, then the lossless transcoding or the lossy
// decode and encode, and the result read back. Whatever the input, the engine
// must not crash; a result it would write must decode without a sign of
// damage, at the job's size (warnings about metadata the input carried and
// "-nostrip" kept may remain); a lossless result must show the input's pixels
// (a grey reduction the same grey), unless it was turned, when only the size
// may be swapped.
//
// The road is picked by the input's size, so a mutation that keeps the size
// keeps the road. Images above 256 x 256 pixels by their header are left out
// so that runs stay short; the inputs are used as files, unchanged (JPEG has
// no checksums that would stop mutated data early).
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/job.h"
#include "core/jpg/jpeg_colour_signals.h"
#include "core/jpg/jpeg_error_trap.h"
#include "core/jpg/jpeg_examine.h"
#include "core/jpg/jpeg_lossless.h"
#include "core/jpg/jpeg_lossy.h"
#include "core/jpg/jpeg_mode.h"
#include "core/jpg/jpeg_source.h"
#include "core/jpg/turbo_ext/memory_dest.h"
#include "core/options.h"
#include "fuzz/fuzz_input.h"

namespace {

constexpr uint64_t max_road_pixels = 256 * 256;

struct road {
    uint8_t lossless;
    uint8_t jpeg_level;
    uint8_t metadata_mode;  // 0 keeps every segment ("-nostrip"), 2 none ("-strip")
    uint16_t resize_target;
    uint8_t srgb;
    uint8_t rotate;
};

const road roads[] = {
    {1, 0, 1, 0, 0, 0},   // standard tables
    {1, 1, 0, 0, 0, 0},   // optimised tables, every segment kept
    {1, 2, 2, 0, 0, 0},   // progressive, stripped
    {1, 3, 1, 0, 0, 0},   // searched scan script; grey images take two passes
    {1, 1, 1, 0, 0, 1},   // turned by the Exif orientation
    {0, 0, 1, 0, 0, 0},   // lossy
    {0, 1, 0, 0, 0, 0},   // lossy, metadata kept
    {0, 0, 1, 24, 0, 0},  // lossy, shrunk
    {0, 1, 1, 0, 1, 0},   // lossy, converted to sRGB
};


struct picture {
    bool ok = false;
    unsigned damage = 0;  // corrupt-data warnings, as the engine's trap counts them
    int width = 0, height = 0, components = 0;
    std::vector<uint8_t> pixels;  // the library's default output
};

struct full_read {
    jpeg_error_trap trap;
    jpeg_decompress_struct d;
};

// Decodes as a viewer would, counting the signs of damage. Holds nothing with a
// destructor but the picture, which a jump leaves as it was.
void decode(full_read& f, const uint8_t* data, size_t size, picture& p) {
    std::memset(static_cast<void*>(&f.d), 0, sizeof f.d);
    init_jpeg_error_trap(f.trap);
    if (setjmp(f.trap.recovery)) {
        jpeg_destroy_decompress(&f.d);
        p.ok = false;
        return;
    }
    create_jpeg_decompressor(&f.d, f.trap);
    jpeg_checked_memory_source(&f.d, data, size);
    jpeg_read_header(&f.d, TRUE);
    jpeg_start_decompress(&f.d);
    p.width = int(f.d.output_width);
    p.height = int(f.d.output_height);
    p.components = f.d.output_components;
    p.pixels.resize(size_t(p.width) * p.height * p.components);
    while (f.d.output_scanline < f.d.output_height) {
        JSAMPROW row = p.pixels.data() + size_t(f.d.output_scanline) * p.width * p.components;
        jpeg_read_scanlines(&f.d, &row, 1);
    }
    jpeg_finish_decompress(&f.d);
    p.damage = f.trap.corrupt_warnings;
    jpeg_destroy_decompress(&f.d);
    p.ok = true;
}

picture decode(const uint8_t* data, size_t size) {
    picture p;
    full_read f;
    decode(f, data, size, p);
    return p;
}

// A result the engine would write: decodes without damage, at `width` x
// `height`.
picture check_result(const uint8_t* data, size_t size, uint32_t width, uint32_t height) {
    const picture out = decode(data, size);
    if (!out.ok || out.damage != 0) std::abort();
    if (uint32_t(out.width) != width || uint32_t(out.height) != height) std::abort();
    return out;
}

// The same pixels, or a one-component result whose grey equals every
// channel of a three-component input.
bool same_image(const picture& in, const picture& out) {
    if (in.width != out.width || in.height != out.height) return false;
    if (in.components == out.components) return in.pixels == out.pixels;
    if (in.components != 3 || out.components != 1) return false;
    for (size_t i = 0; i < out.pixels.size(); ++i) {
        const uint8_t* p = &in.pixels[i * 3];
        if (p[0] != out.pixels[i] || p[1] != out.pixels[i] || p[2] != out.pixels[i]) return false;
    }
    return true;
}

void run_road(const uint8_t* data, size_t size, const road& r) {
    jpeg_header_facts header;
    if (!read_jpeg_header_facts(data, size, header) || uint64_t(header.width) * header.height > max_road_pixels)
        return;

    default_flags flags;
    init_default_flags(flags);
    flags.lossless = r.lossless;
    flags.jpeg_level = r.jpeg_level;
    flags.metadata_mode = r.metadata_mode;
    flags.resize_target = r.resize_target;
    flags.srgb = r.srgb;
    flags.rotate = r.rotate;
    image_job job;
    init_image_job(job, flags, uint32_t(size));

    inspect_jpeg_data(data, size, job);
    if (job.result != job_ok) return;
    decide_jpeg_mode(job);
    if (job.result != job_ok) return;
    const uint32_t width = job.width, height = job.height;

    if (job.mode == mode_lossless) {
        const uint8_t orientation = job.orientation;
        jpeg_memory_output out;
        transcode_jpeg_data(data, size, job, out);
        const std::vector<uint8_t> result(out.data, out.data + out.size);
        release_jpeg_memory_output(out);
        if (result.empty()) return;  // nothing would be written
        if (job.result != job_ok || result.size() >= size) std::abort();
        const bool turned = orientation != job.orientation;
        const bool swapped = turned && orientation >= 5;
        const picture after = check_result(result.data(), result.size(), swapped ? height : width,
                                           swapped ? width : height);
        if (turned) return;
        const picture before = decode(data, size);
        if (before.ok && !same_image(before, after)) std::abort();
        return;
    }

    std::string result;
    encode_jpeg_lossy_data(data, size, job, result);
    if (result.empty()) return;
    if (job.result != job_ok || job.current_size != result.size()) std::abort();
    check_result(reinterpret_cast<const uint8_t*>(result.data()), result.size(), job.width, job.height);
}

}  // namespace

int fuzz_input::jpeg_road_target(const uint8_t* data, size_t size) {
    run_road(data, size, roads[size % (sizeof roads / sizeof roads[0])]);
    return 0;
}

#ifndef VELTO_FUZZ_REPLAY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz_input::jpeg_road_target(data, size);
}
#endif
