// libFuzzer target for the animated-PNG road on a file held in memory: the
// chunk scan, the frame reader, the strip analysis and re-encode, the
// frame-set steps and the writer, then the result read back by the reader.
// Whatever the input, the engine must not crash, and an APNG it would write
// must be smaller, read back whole with the input's canvas (or a smaller one
// after a resize), keep the default image outside the animation as such, show
// the animation for the same total time and have no more frames than the
// input; on the lossless road every shown frame must look the same, in the
// same order and for the same time.
//
// The road is picked by the input's size, so a mutation that keeps the size
// keeps the road. Files have their chunk CRCs recomputed so that changed
// chunks get as far as the reader; other inputs become animations built from
// parameters and raw scanlines (below). Effort levels up to 3 on animations
// of at most 32,768 pixels in all keep runs short.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <vector>

#include "core/job.h"
#include "core/options.h"
#include "core/png/apng_pipeline.h"
#include "core/png/apng_reader.h"
#include "core/png/chunk_scan.h"
#include "core/png/codec/decode.h"
#include "fuzz/fuzz_input.h"

namespace {

using fuzz_input::bytes;

constexpr uint64_t max_road_pixels = 32768;  // all frames together

struct road {
    uint8_t mode;
    uint8_t png_level;
    uint16_t resize_target;
};

const road roads[] = {
    {mode_lossless, 0, 0},          // strip encode and writer at their fastest
    {mode_undecided, 0, 0},         // the mode decision picks the road
    {mode_lossless, 3, 0},          // higher levels keep a few-colour palette as encoded
    {mode_lossy_truecolour, 1, 0},  // posterised strip
    {mode_palette, 2, 0},           // quantised strip
    {mode_undecided, 0, 24},        // frames shrunk to 24 rows first
};

// A shown frame: its RGBA pixels and how long it shows.
struct shown {
    const std::vector<uint8_t>* pixels;
    uint64_t num, den;
};

bool same_visible(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i += 4) {
        if (a[i + 3] == 0 && b[i + 3] == 0) continue;
        if (std::memcmp(&a[i], &b[i], 4) != 0) return false;
    }
    return true;
}

// Adds c/d to n/d', reduced; false when the sum no longer fits 64 bits.
bool add_delay(uint64_t& num, uint64_t& den, uint64_t c, uint64_t d) {
    if (d == 0) d = 100;  // as viewers and the frame-set steps count it
    uint64_t a = 0, b = 0, sum = 0, product = 0;
    if (__builtin_mul_overflow(num, d, &a) || __builtin_mul_overflow(c, den, &b) ||
        __builtin_add_overflow(a, b, &sum) || __builtin_mul_overflow(den, d, &product))
        return false;
    const uint64_t divisor = std::gcd(sum, product);
    num = divisor ? sum / divisor : 0;
    den = divisor ? product / divisor : 1;
    return true;
}

// The frames of the animation (the default image outside it left out), with
// runs of visibly equal frames merged into one frame showing for their summed
// time. False when a sum does not fit.
bool timeline(const apng_animation& a, std::vector<shown>& out) {
    out.clear();
    for (size_t i = a.default_skipped ? 1 : 0; i < a.frames.size(); ++i) {
        const ImageRows& f = a.frames[i];
        if (out.empty() || !same_visible(*out.back().pixels, f.pixels)) out.push_back({&f.pixels, 0, 1});
        out.back().pixels = &f.pixels;
        if (!add_delay(out.back().num, out.back().den, f.delay_num, f.delay_den)) return false;
    }
    return true;
}

bool total_time(const std::vector<shown>& frames, uint64_t& num, uint64_t& den) {
    num = 0;
    den = 1;
    for (const shown& f : frames)
        if (!add_delay(num, den, f.num, f.den)) return false;
    return true;
}

void check_output(const bytes& input, const bytes& output, const image_job& job, const road& r) {
    if (output.size() >= input.size()) std::abort();
    apng_animation before;
    if (!load_apng(input.data(), input.size(), before)) std::abort();  // the road read it whole
    const ImageRows& canvas = before.frames[0];

    // The output as the reader sees it, or as a plain PNG when one frame was
    // left (which the writer writes without animation chunks).
    apng_animation after;
    if (!load_apng(output.data(), output.size(), after)) {
        if (before.default_skipped) std::abort();
        after = apng_animation{};
        ImageRows still;
        uint32_t width = 0, height = 0;
        lodepng::State state;
        if (decode_png(still.pixels, width, height, state, output) != 0) std::abort();
        still.width = width;
        still.height = height;
        after.frames.push_back(std::move(still));
    }
    if (after.default_skipped != before.default_skipped) std::abort();
    if (after.frames.size() > before.frames.size()) std::abort();
    const bool resized = r.resize_target != 0 && job.resize_target != 0;
    const ImageRows& first = after.frames[0];
    if (resized ? first.width > canvas.width || first.height >= canvas.height
                : first.width != canvas.width || first.height != canvas.height)
        std::abort();

    std::vector<shown> want, got;
    if (!timeline(before, want) || !timeline(after, got)) return;  // delays too long to sum here
    uint64_t want_num, want_den, got_num, got_den;
    const bool animated = after.default_skipped || after.frames.size() > 1;
    if (animated && total_time(want, want_num, want_den) && total_time(got, got_num, got_den) &&
        (want_num != got_num || want_den != got_den))
        std::abort();

    if (r.mode != mode_lossless) return;
    if (before.default_skipped && !same_visible(before.frames[0].pixels, after.frames[0].pixels)) std::abort();
    if (want.size() != got.size()) std::abort();
    for (size_t i = 0; i < want.size(); ++i) {
        if (!same_visible(*want[i].pixels, *got[i].pixels)) std::abort();
        if (want.size() > 1 && (want[i].num != got[i].num || want[i].den != got[i].den)) std::abort();
    }
}

void run_road(const bytes& png, const road& r) {
    default_flags flags;
    init_default_flags(flags);
    flags.inner_threads = 1;
    flags.png_level = r.png_level;
    flags.resize_target = r.resize_target;
    image_job job;
    init_image_job(job, flags, uint32_t(png.size()));
    job.mode = r.mode;

    lodepng::State state;
    if (scan_png_chunks(png, state, job) != 0 || !job.is_apng) return;
    if (uint64_t(job.width) * job.height * (uint64_t(job.frame_count) + 1) > max_road_pixels) return;

    bytes output;
    const uint8_t code = build_optimized_apng("", png, output, job);
    if (output.empty()) return;
    if (code != 0) std::abort();
    check_output(png, output, job, r);
}

// Bytes read one after another, zeros once they run out.
struct byte_reader {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
    uint8_t next() { return pos < size ? data[pos++] : 0; }
};

// An animation from parameters and raw scanlines. Parameters (8 bytes): canvas
// width and height (1..40), colour choice, frame count (1..8), flags, palette
// entries, tRNS length, play count. Each frame: x, y, width, height (within
// the canvas), delay numerator and denominator, dispose op, blend op (8
// bytes), then its scanlines. Flags: 1 a default image outside the animation,
// 2 Adam7, 4 mostly valid filter types, 8 one sequence number out of order,
// 16 the acTL counts one frame more. Data chunks hold stored deflate blocks.
bytes wrapped_animation(const uint8_t* data, size_t size) {
    static const uint8_t colours[][2] = {{0, 8}, {2, 8}, {3, 8}, {3, 4}, {3, 1}, {4, 8}, {6, 8}, {6, 16}, {0, 2}};
    byte_reader in{data, size};
    const uint32_t width = 1 + in.next() % 40, height = 1 + in.next() % 40;
    const uint8_t* colour = colours[in.next() % (sizeof colours / sizeof colours[0])];
    const uint32_t frames = 1 + in.next() % 8;
    const uint8_t flags = in.next();
    const uint32_t palette_entries = 1 + in.next();
    const uint32_t trns_length = in.next() % 8 == 0 ? in.next() % 64 : 0;
    const uint32_t plays = in.next() % 4;

    png_info info;
    info.interlace_method = (flags & 2) ? 1 : 0;
    info.colour.colour_type = colour[0];
    info.colour.bit_depth = colour[1];
    auto image_data = [&](uint32_t w, uint32_t h) {
        bytes scanlines(size_t(png_filtered_size(w, h, info)));
        for (uint8_t& b : scanlines) b = in.next();
        if ((flags & 4) && !info.interlace_method)
            for (size_t pos = 0; pos < scanlines.size(); pos += 1 + size_t(png_row_bytes(w, bits_per_pixel(info.colour))))
                scanlines[pos] %= 5;
        return fuzz_input::zlib_stored(scanlines.data(), scanlines.size());
    };

    bytes png(png_signature, png_signature + 8);
    bytes ihdr;
    fuzz_input::put_u32(ihdr, width);
    fuzz_input::put_u32(ihdr, height);
    ihdr.insert(ihdr.end(), {colour[1], colour[0], 0, 0, uint8_t(info.interlace_method)});
    png_chunk_create(png, 13, "IHDR", ihdr.data());
    bytes actl;
    fuzz_input::put_u32(actl, frames + ((flags & 16) ? 1 : 0));
    fuzz_input::put_u32(actl, plays);
    png_chunk_create(png, 8, "acTL", actl.data());
    if (colour[0] == 3) {
        bytes palette(palette_entries * 3);
        for (size_t i = 0; i < palette.size(); ++i) palette[i] = uint8_t(i * 37 + 11);
        png_chunk_create(png, uint32_t(palette.size()), "PLTE", palette.data());
    }
    if (trns_length) {
        bytes alphas(trns_length);
        for (size_t i = 0; i < alphas.size(); ++i) alphas[i] = uint8_t(i * 85);
        png_chunk_create(png, trns_length, "tRNS", alphas.data());
    }

    uint32_t sequence = 0;
    const uint32_t wrong_sequence = (flags & 8) ? in.next() % 16 : UINT32_MAX;
    auto next_sequence = [&]() {
        const uint32_t n = sequence++;
        return n == wrong_sequence ? n + 7 : n;
    };
    if (flags & 1) {
        const bytes z = image_data(width, height);
        png_chunk_create(png, uint32_t(z.size()), "IDAT", z.data());
    }
    for (uint32_t f = 0; f < frames; ++f) {
        const uint32_t x = in.next() % width, y = in.next() % height;
        const uint32_t w = 1 + in.next() % (width - x), h = 1 + in.next() % (height - y);
        bytes fctl;
        fuzz_input::put_u32(fctl, next_sequence());
        fuzz_input::put_u32(fctl, w);
        fuzz_input::put_u32(fctl, h);
        fuzz_input::put_u32(fctl, x);
        fuzz_input::put_u32(fctl, y);
        fctl.insert(fctl.end(), {0, in.next(), 0, in.next(), uint8_t(in.next() % 3), uint8_t(in.next() % 2)});
        png_chunk_create(png, 26, "fcTL", fctl.data());
        const bytes z = image_data(w, h);
        if (f == 0 && !(flags & 1)) {
            png_chunk_create(png, uint32_t(z.size()), "IDAT", z.data());
        } else {
            bytes fdat;
            fuzz_input::put_u32(fdat, next_sequence());
            fdat.insert(fdat.end(), z.begin(), z.end());
            png_chunk_create(png, uint32_t(fdat.size()), "fdAT", fdat.data());
        }
    }
    png_chunk_create(png, 0, "IEND", nullptr);
    return png;
}

}  // namespace

int fuzz_input::apng_road_target(const uint8_t* data, size_t size) {
    const road& r = roads[size % (sizeof roads / sizeof roads[0])];
    run_road(png_file_or(data, size, wrapped_animation), r);
    return 0;
}

#ifndef VELTO_FUZZ_REPLAY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz_input::apng_road_target(data, size);
}
#endif
