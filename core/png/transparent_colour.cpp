#include "core/png/transparent_colour.h"

#include <cstddef>
#include <cstdlib>

#include "core/fatal.h"
#include "core/png/codec/decode.h"
#include "core/png/codec/encode.h"
#include "core/transparency.h"

namespace {

constexpr int kHighestStep = 254;   // stepping and random draws stay below 255
constexpr int kRandomTries = 65535;

// One bit per 24-bit RGB value, set for the colours of opaque pixels.
class used_colours {
public:
    used_colours(const uint8_t* pixels, size_t count)
        : words_(static_cast<uint64_t*>(checked_calloc(kWords, sizeof(uint64_t)))) {
        for (size_t i = 0; i < count; ++i) {
            const uint8_t* p = pixels + 4 * i;
            if (p[3] == 255) {
                const uint32_t key = key_of(p[0], p[1], p[2]);
                words_[key >> 6] |= uint64_t(1) << (key & 63);
            }
        }
    }
    ~used_colours() { std::free(words_); }
    used_colours(const used_colours&) = delete;
    used_colours& operator=(const used_colours&) = delete;

    bool in_use(int r, int g, int b) const {
        const uint32_t key = key_of(uint32_t(r), uint32_t(g), uint32_t(b));
        return (words_[key >> 6] >> (key & 63)) & 1;
    }

private:
    static constexpr size_t kWords = (size_t(1) << 24) / 64;
    static uint32_t key_of(uint32_t r, uint32_t g, uint32_t b) { return (r << 16) | (g << 8) | b; }
    uint64_t* words_;
};

// SplitMix64: a small generator owned by one call, so the colours chosen do
// not depend on what other threads draw.
class colour_draws {
public:
    // A value 0..254.
    int next() {
        state_ += 0x9E3779B97F4A7C15ull;
        uint64_t z = state_;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        return int(((z >> 32) * 255) >> 32);
    }

private:
    uint64_t state_ = 0x5DEECE66Dull;
};

// The first free colour stepping one channel upwards from start + 1 to 254;
// -1 when the channel is not steppable or nothing is free.
template <typename Probe>
int step_channel(int start, Probe free_at) {
    if (start < 1 || start > kHighestStep) return -1;
    for (int v = start + 1; v <= kHighestStep; ++v)
        if (free_at(v)) return v;
    return -1;
}

}  // namespace

void fill_transparent_unused_colour(uint8_t* pixels, const image_job& job) {
    if (job.is_grey) {
        fill_transparent(pixels, 0, 0, 0, job);
        return;
    }
    const size_t count = job.pixel_count;
    int r = 0, g = 0, b = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* p = pixels + 4 * i;
        if (p[3] != 0) {
            r = p[0];
            g = p[1];
            b = p[2];
            break;
        }
    }
    const used_colours used(pixels, count);
    auto fill = [&](int fr, int fg, int fb) {
        fill_transparent(pixels, uint8_t(fr), uint8_t(fg), uint8_t(fb), job);
    };
    if (!used.in_use(r, g, b)) return fill(r, g, b);

    if (int v = step_channel(r, [&](int x) { return !used.in_use(x, g, b); }); v >= 0) return fill(v, g, b);

    // When green finds nothing it is left at the end of its range for the blue step.
    int green = g;
    if (int v = step_channel(g, [&](int x) { return !used.in_use(r, x, b); }); v >= 0)
        return fill(r, v, b);
    else if (g >= 1 && g <= kHighestStep)
        green = kHighestStep;

    if (int v = step_channel(b, [&](int x) { return !used.in_use(r, green, x); }); v >= 0)
        return fill(r, green, v);

    colour_draws draws;
    for (int i = 0; i < kRandomTries; ++i) {
        const int dr = draws.next();
        const int dg = draws.next();
        const int db = draws.next();
        if (!used.in_use(dr, dg, db)) return fill(dr, dg, db);
    }
}

uint32_t normalise_by_round_trip(std::vector<uint8_t>& image, std::vector<uint8_t>& png,
                                 lodepng::State& state, const png_palette_order& order,
                                 image_job& job) {
    state.encoder.auto_colour = 0;
    state.encoder.compression.block_type = 0;
    state.file_info.colour.colour_type = 6;
    state.file_info.colour.bit_depth = 8;

    png.clear();
    uint32_t code = encode_png(png, image, job.width, job.height, state, &order);
    if (code == 0) {
        // Decoded into a buffer of its own, so a failure cannot leave the
        // caller without its image.
        std::vector<uint8_t> decoded;
        uint32_t width = 0, height = 0;
        code = decode_png(decoded, width, height, state, png);
        if (code == 0) {
            image.swap(decoded);
            job.width = width;
            job.height = height;
        }
    }
    job.result = uint8_t(code);

    state.encoder.auto_colour = 1;
    state.encoder.compression.block_type = 2;
    return code;
}
