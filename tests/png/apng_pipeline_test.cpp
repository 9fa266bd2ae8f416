// The animated road end to end through the PNG driver: built animations come
// out with the same frames (identical under "-l", colours under alpha 0
// aside), the same timing and a sound chunk structure, checked with our
// reader and with apngdis; damaged or inconsistent files fail and are never
// written.
#include "core/png/apng_pipeline.h"
#include "png/apng_check.h"

namespace {

using namespace apng_test;

std::vector<std::pair<std::string, apng_spec>> built_animations() {
    std::vector<std::pair<std::string, apng_spec>> out;
    auto noise = [](uint32_t w, uint32_t h, uint32_t seed, bool alpha) {
        return rgba_pixels(w, h, [&](uint32_t x, uint32_t y) {
            const uint32_t v = (x * 7 + y * 13 + seed * 5) % 23;
            return std::array<uint8_t, 4>{uint8_t(v * 11), uint8_t(200 - v * 3), uint8_t(seed * 40),
                                          uint8_t(alpha ? (v % 3 == 0 ? 0 : v % 3 == 1 ? 255 : 90) : 255)};
        });
    };
    {
        apng_spec s;
        s.width = 24, s.height = 16;
        s.frames.push_back({.pixels = noise(24, 16, 1, false)});
        s.frames.push_back({.x = 3, .y = 2, .width = 8, .height = 5, .delay_num = 3, .dispose = 1,
                            .pixels = noise(8, 5, 2, false)});
        s.frames.push_back({.x = 10, .y = 6, .width = 9, .height = 9, .dispose = 2, .blend = 1,
                            .pixels = noise(9, 9, 3, true)});
        s.frames.push_back({.x = 0, .y = 0, .width = 24, .height = 16, .delay_den = 0, .pixels = noise(24, 16, 1, false)});
        s.frames.push_back({.x = 0, .y = 0, .width = 24, .height = 16, .pixels = noise(24, 16, 1, false)});
        out.push_back({"dispose and blend ops, repeated frames", s});
    }
    {
        apng_spec s;
        s.width = 20, s.height = 10;
        s.hidden_default = true;
        s.default_pixels = noise(20, 10, 7, false);
        s.frames.push_back({.pixels = noise(20, 10, 4, true)});
        s.frames.push_back({.x = 5, .y = 5, .width = 3, .height = 3, .blend = 1, .pixels = noise(3, 3, 5, true),
                            .data_chunks = 2});
        out.push_back({"hidden default image, translucent frames", s});
    }
    {
        apng_spec s;
        s.width = 16, s.height = 16, s.colour_type = 3;
        for (int i = 0; i < 16; ++i) s.plte.insert(s.plte.end(), {uint8_t(16 * i), uint8_t(255 - 16 * i), 9});
        s.trns = {0, 128};
        for (uint32_t f = 0; f < 4; ++f) {
            bytes idx(256);
            for (size_t i = 0; i < idx.size(); ++i) idx[i] = uint8_t((i / 16 + f * (i % 5 == 0)) % 16);
            s.frames.push_back({.blend = uint8_t(f % 2), .pixels = idx});
        }
        out.push_back({"palette with translucent entries", s});
    }
    {
        apng_spec s;
        s.width = 12, s.height = 9, s.colour_type = 0;
        for (uint32_t f = 0; f < 3; ++f) {
            bytes g(12 * 9);
            for (size_t i = 0; i < g.size(); ++i) g[i] = uint8_t(i * 2 + (i > 50 ? f * 3 : 0));
            s.frames.push_back({.delay_num = uint16_t(f + 1), .delay_den = 7, .pixels = g});
        }
        out.push_back({"grey", s});
    }
    return out;
}

TEST(ApngPipeline, BuiltAnimationsRoundTrip) {
    for (const auto& [name, spec] : built_animations()) {
        for (uint8_t level : {0, 2}) {
            const std::string what = name + " -png-s" + std::to_string(level);
            const run_result lossless = optimise(spec.build(), true, level);
            EXPECT_EQ(lossless.code, 0) << what;
            check_output(lossless, true, what + " -l");
            const run_result automatic = optimise(spec.build(), false, level);
            EXPECT_EQ(automatic.code, 0) << what;
            check_output(automatic, false, what);
        }
    }
}

TEST(ApngPipeline, AnimationIsMadeSmaller) {
    // Frames stored without compression: the road must shrink them.
    apng_spec spec;
    spec.width = 32, spec.height = 32;
    for (uint32_t f = 0; f < 4; ++f)
        spec.frames.push_back({.pixels = rgba_pixels(32, 32, [&](uint32_t x, uint32_t y) {
                                   return std::array<uint8_t, 4>{uint8_t(x * 8), uint8_t(y * 8 + f), 0, 255};
                               })});
    const run_result r = optimise(spec.build(), true, 1);
    EXPECT_EQ(r.code, 0);
    EXPECT_LT(r.after.size(), r.before.size());
    EXPECT_EQ(r.job.current_size, r.after.size());
    check_output(r, true, "gradient");
}

// Files that must fail with result 1 and stay byte for byte as they were.
TEST(ApngPipeline, FailuresLeaveTheFileUntouched) {
    apng_spec spec = built_animations()[0].second;
    bytes good = spec.build();
    std::vector<std::pair<std::string, bytes>> rows;
    {
        // libpng reports the broken data; the process goes on.
        bytes broken = good;
        std::vector<chunk_view> chunks = list_chunks(broken);
        bytes rebuilt(good.begin(), good.begin() + 8);
        bool damaged = false;
        for (chunk_view& c : chunks) {
            if (c.type == "fdAT" && !damaged) {
                std::fill(c.data.begin() + 4, c.data.end(), 0x37);
                damaged = true;
            }
            apng_spec::append(rebuilt, chunk(c.type, c.data));
        }
        rows.push_back({"damaged frame data", rebuilt});
    }
    {
        // One more fcTL after the IEND: the chunk count and the frames read differ.
        bytes extra = good;
        bytes fctl(26, 0);
        fctl[3] = 99;
        fctl[7] = 1, fctl[11] = 1, fctl[21] = 1, fctl[23] = 10;
        apng_spec::append(extra, chunk("fcTL", fctl));
        rows.push_back({"fcTL after IEND", extra});
    }
    {
        apng_spec gap = spec;
        gap.sequence = {0, 1, 2, 4, 5, 6, 7, 8};
        rows.push_back({"sequence gap", gap.build()});
    }
    for (const auto& [name, file] : rows) {
        const run_result r = optimise(file, true, 0);
        EXPECT_EQ(r.code, 1) << name;
        EXPECT_EQ(r.after, file) << name;
    }
}

TEST(ApngPipeline, ResultNotSmallerLeavesTheInput) {
    apng_spec spec = built_animations()[0].second;
    const bytes file = spec.build();
    scratch tmp;
    const std::string path = tmp / "anim.png";
    write_file(path, file);
    image_job job = job_for(file, true, 0);
    ASSERT_EQ(optimize_png_file(path, job), 0);  // the chunk scan fills the job first
    const bytes once = read_file(path);
    // The same file again, with an input size the result cannot beat.
    write_file(path, file);
    image_job tight = job_for(file, true, 0);
    ASSERT_EQ(optimize_png_file(path, tight), 0);
    image_job small = tight;
    small.input_size = 40;
    small.current_size = 40;
    small.height = 16;
    small.width = 24;
    small.frame_count = 5;
    small.mode = mode_lossless;
    write_file(path, file);
    EXPECT_EQ(optimize_apng_file(path, file, small), 0);
    EXPECT_EQ(read_file(path), file);
    EXPECT_EQ(small.current_size, once.size());
}

}  // namespace
