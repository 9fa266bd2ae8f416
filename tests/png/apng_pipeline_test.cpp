// The animated road end to end through the PNG driver: built animations come
// out with the same frames (identical under "-l", colours under alpha 0
// aside), the same timing and a sound chunk structure, checked with our
// reader and with apngdis; damaged or inconsistent files fail and are never
// written.
#include "core/png/apng_pipeline.h"

#include <algorithm>
#include <cstdlib>

#include "core/png/colour_profile.h"
#include "png/apng_check.h"
#include "png/icc_fixture.h"

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

// A 16-entry palette animation of `frames` frames of 16 x 16 indices; `top`
// replaces the last index of frame `damaged_frame` (none when past the end).
apng_spec palette_animation(uint32_t frames, uint32_t damaged_frame, uint8_t top) {
    apng_spec s;
    s.width = 16, s.height = 16, s.colour_type = 3;
    for (int i = 0; i < 16; ++i) s.plte.insert(s.plte.end(), {uint8_t(16 * i), uint8_t(255 - 16 * i), 9});
    for (uint32_t f = 0; f < frames; ++f) {
        bytes idx(256);
        for (size_t i = 0; i < idx.size(); ++i) idx[i] = uint8_t((i / 16 + f * (i % 3 == 0)) % 16);
        if (f == damaged_frame) idx.back() = top;
        s.frames.push_back({.pixels = idx});
    }
    return s;
}

// Two frames of 5 x 4 pixels with 4-bit indices 0..15 and a palette of
// `entries` entries.
bytes four_bit_animation(int entries) {
    apng_spec s;
    s.width = 5, s.height = 4, s.colour_type = 3, s.bit_depth = 4;
    for (int i = 0; i < entries; ++i) s.plte.insert(s.plte.end(), {uint8_t(16 * i), 40, uint8_t(255 - 16 * i)});
    for (uint8_t f = 0; f < 2; ++f) {
        bytes packed;  // 3 bytes a row, the last low nibble unused
        for (uint8_t i = 0; i < 12; ++i) packed.push_back(uint8_t(((i + f) % 16) << 4 | (i + f + 7) % 16));
        s.frames.push_back({.pixels = packed});
    }
    return s.build();
}

// A file and the result code it must give; a file refused with a code other
// than 0 must stay as it was, any other must come out sound.
struct code_row {
    const char* name;
    bytes file;
    int code;
};

// Each row under "-l" and without it.
template <size_t N>
void expect_codes_on_both_roads(const code_row (&rows)[N]) {
    for (const code_row& r : rows) {
        for (bool lossless : {true, false}) {
            const std::string what = std::string(r.name) + (lossless ? " -l" : "");
            const run_result result = optimise(r.file, lossless, 0);
            EXPECT_EQ(result.code, r.code) << what;
            if (r.code != 0) {
                EXPECT_EQ(result.after, r.file) << what;
            } else {
                check_output(result, lossless, what);
            }
        }
    }
}

// An index past the end of the palette is refused as in a still image (the
// codec's code 38) on every road, wherever the frame stands, and the file
// stays as it was; an index that the palette holds is fine (and shows its
// entry, by our reader and by apngdis).
TEST(ApngPipeline, IndexPastThePaletteIsRefused) {
    const code_row rows[] = {
        {"in the first frame", palette_animation(3, 0, 16).build(), 38},
        {"in a later frame", palette_animation(3, 2, 16).build(), 38},
        {"far past the palette", palette_animation(3, 1, 255).build(), 38},
        {"last entry used", palette_animation(3, 1, 15).build(), 0},
        {"4-bit indices", four_bit_animation(10), 38},
        {"4-bit indices inside the palette", four_bit_animation(16), 0},
    };
    expect_codes_on_both_roads(rows);
}

// A critical chunk the engine does not know is refused as in a still image
// (the codec's code 69) wherever it stands, on every road, and the file stays
// as it was: writing the animation again without it would change what it
// means. An unknown ancillary chunk may be dropped.
TEST(ApngPipeline, UnknownCriticalChunkIsRefused) {
    const bytes good = built_animations()[0].second.build();
    // `good` with a chunk of `type` put before the chunk at position `before`
    // of its list (the IEND when past the end).
    auto with_chunk = [&](const std::string& type, size_t before) {
        const std::vector<chunk_view> chunks = list_chunks(good);
        before = std::min(before, chunks.size() - 1);
        bytes out(good.begin(), good.begin() + 8);
        for (size_t i = 0; i < chunks.size(); ++i) {
            if (i == before) apng_spec::append(out, chunk(type, {1, 2, 3}));
            apng_spec::append(out, chunk(chunks[i].type, chunks[i].data));
        }
        return out;
    };
    const code_row rows[] = {
        {"before the image data", with_chunk("ABCD", 2), 69},
        {"between two frames", with_chunk("ABCD", 5), 69},
        {"before IEND", with_chunk("ABCD", 1000), 69},
        {"ancillary before IEND", with_chunk("abCD", 1000), 0},
    };
    expect_codes_on_both_roads(rows);
}

// A lossless palette strip of few colours is encoded with translucent entries
// first and the others in the order in which the colours first appear; at
// the higher levels the frames keep that palette.
TEST(ApngPipeline, FewColourStripKeepsFirstAppearanceOrder) {
    const std::array<uint8_t, 4> colours[] = {
        {255, 255, 255, 255}, {255, 0, 0, 255}, {0, 0, 0, 255}, {0, 0, 255, 128}, {0, 255, 0, 255}};
    apng_spec spec;
    spec.width = 8, spec.height = 8;
    for (uint32_t f = 0; f < 2; ++f)
        spec.frames.push_back({.pixels = rgba_pixels(8, 8, [&](uint32_t x, uint32_t y) {
                                   return colours[(x + y * 8 + f * (x == 3)) / 3 % 5];
                               })});
    const run_result r = optimise(spec.build(), true, 3);
    ASSERT_EQ(r.code, 0);
    check_output(r, true, "few colours");
    bytes plte, trns;
    for (const chunk_view& c : list_chunks(r.after)) {
        if (c.type == "PLTE") plte = c.data;
        if (c.type == "tRNS") trns = c.data;
    }
    const bytes want_plte = {0, 0, 255, 255, 255, 255, 255, 0, 0, 0, 0, 0, 0, 255, 0};
    EXPECT_EQ(plte, want_plte);
    EXPECT_EQ(trns, bytes{128});
}

// The text chunk that makes a file larger than any optimised version of it:
// the animated road keeps no text.
void add_filler(bytes& file) {
    const bytes text = chunk("tEXt", bytes(20000, 'x'));
    file.insert(file.end() - 12, text.begin(), text.end());
}

// "-resize=" gives every frame the target height: also an opaque palette
// animation, whose strip is otherwise cut from the frames as read, and an
// animation of identical frames, which is written as one still image of that
// size.
TEST(ApngPipeline, ResizedStripGivesFramesTheTargetHeight) {
    struct row {
        const char* name;
        uint8_t colour_type;
        bool frames_differ;
        size_t frames_out;
    } rows[] = {{"opaque palette", 3, true, 3}, {"identical RGBA frames", 6, false, 1}};
    for (const row& r : rows) {
        apng_spec spec;
        spec.width = 96, spec.height = 80, spec.colour_type = r.colour_type;
        for (int i = 0; i < 16; ++i) spec.plte.insert(spec.plte.end(), {uint8_t(16 * i), uint8_t(255 - 16 * i), 60});
        if (r.colour_type != 3) spec.plte.clear();
        for (uint32_t f = 0; f < 3; ++f) {
            bytes pixels;
            for (size_t i = 0; i < 96 * 80; ++i) {
                const uint8_t index = uint8_t((i % 96 / 12 + i / 96 / 10 + (r.frames_differ ? f : 0)) % 16);
                if (r.colour_type == 3)
                    pixels.push_back(index);
                else  // columns, half of them translucent; rows alike, so frames stay alike when shrunk
                    pixels.insert(pixels.end(), {uint8_t(i % 96 * 2), 0, 60, uint8_t(i % 2 ? 128 : 255)});
            }
            spec.frames.push_back({.pixels = pixels});
        }
        bytes file = spec.build();
        add_filler(file);
        scratch tmp;
        const std::string path = tmp / "anim.png";
        write_file(path, file);
        image_job job = job_for(file, false, 0);
        job.resize_target = 40;
        EXPECT_EQ(optimize_png_file(path, job), 0) << r.name;
        const bytes after = read_file(path);
        ASSERT_LT(after.size(), file.size()) << r.name;
        uint32_t width = 0, height = 0;
        if (r.frames_out > 1) {
            apng_animation out;
            ASSERT_TRUE(load_apng(after.data(), after.size(), out)) << r.name;
            ASSERT_EQ(out.frames.size(), r.frames_out) << r.name;
            width = out.frames[0].width, height = out.frames[0].height;
        } else {
            for (const chunk_view& c : list_chunks(after)) EXPECT_NE(c.type, "acTL") << r.name;
            write_file(tmp / "still.png", after);
            EXPECT_FALSE(decode_rgba(tmp / "still.png", width, height).empty()) << r.name;
        }
        EXPECT_EQ(height, 40u) << r.name;
        EXPECT_EQ(width, 48u) << r.name;
    }
}

// "-srgb" on an opaque palette animation with a profile: the frames come out
// converted to sRGB (the optimised animation keeps no profile).
TEST(ApngPipeline, ConvertedPaletteStripIsEncoded) {
    apng_spec spec = palette_animation(3, 99, 0);
    bytes file = spec.build();
    const bytes profile = fixture::wide_gamut_profile();
    bytes iccp = {'w', 'i', 'd', 'e', 0, 0};
    uLongf z_size = compressBound(uLong(profile.size()));
    bytes z(z_size);
    ASSERT_EQ(compress2(z.data(), &z_size, profile.data(), uLong(profile.size()), 9), Z_OK);
    iccp.insert(iccp.end(), z.begin(), z.begin() + long(z_size));
    const bytes iccp_chunk = chunk("iCCP", iccp);
    file.insert(file.begin() + 8 + 25 + 20, iccp_chunk.begin(), iccp_chunk.end());  // after IHDR and acTL
    add_filler(file);

    std::vector<shown_frame> before;
    ASSERT_TRUE(our_frames(file, before));
    scratch tmp;
    const std::string path = tmp / "anim.png";
    write_file(path, file);
    image_job job = job_for(file, false, 0);
    job.srgb = 1;
    EXPECT_EQ(optimize_png_file(path, job), 0);
    const bytes after = read_file(path);
    ASSERT_LT(after.size(), file.size());
    std::vector<shown_frame> got;
    ASSERT_TRUE(our_frames(after, got));
    ASSERT_EQ(got.size(), before.size());
    int largest_change = 0, largest_error = 0;
    for (size_t f = 0; f < before.size(); ++f) {
        bytes want = before[f].pixels;  // converted in place, alpha kept
        ASSERT_TRUE(transform_profile_to_srgb(profile.data(), profile.size(), TYPE_RGBA_8, want.data(),
                                              TYPE_RGBA_8, want.data(), uint32_t(want.size() / 4)));
        for (size_t i = 0; i < want.size(); ++i) {
            largest_change = std::max(largest_change, std::abs(int(want[i]) - int(before[f].pixels[i])));
            largest_error = std::max(largest_error, std::abs(int(want[i]) - int(got[f].pixels[i])));
        }
    }
    EXPECT_GT(largest_change, 10);  // the conversion is visible
    EXPECT_LE(largest_error, 2);
}

}  // namespace
