// The APNG reader: composed frames for every dispose and blend op, the
// default image inside or outside the animation, data split over chunks,
// interlaced and 16-bit frames; and hostile files, which must end the read
// as incomplete without crashing or reading out of bounds.
#include <gtest/gtest.h>

#include <png.h>

#include <array>

#include "core/png/apng_reader.h"
#include "png/apng_builder.h"

namespace {

using namespace apng_test;

using px = std::array<uint8_t, 4>;
const px red{255, 0, 0, 255}, green{0, 255, 0, 255}, blue{0, 0, 255, 255}, clear{0, 0, 0, 0};

px pixel_at(const ImageRows& frame, uint32_t x, uint32_t y) {
    const uint8_t* p = frame.rows[y] + 4 * x;
    return {p[0], p[1], p[2], p[3]};
}

bool read(const bytes& file, apng_animation& animation) { return load_apng(file.data(), file.size(), animation); }

// A 4 x 3 canvas: a red first frame, then a 2 x 1 green patch at (1, 1).
apng_spec two_frames(uint8_t dispose, uint8_t blend) {
    apng_spec spec;
    spec.frames.push_back({.pixels = solid(4, 3, {255, 0, 0, 255})});
    frame_spec patch{.x = 1, .y = 1, .width = 2, .height = 1, .dispose = 0, .blend = blend,
                     .pixels = solid(2, 1, {0, 255, 0, 255})};
    spec.frames[0].dispose = dispose;
    spec.frames.push_back(patch);
    // A third frame, 1 x 1 blue at (0, 0), shows what the second frame's
    // dispose op left behind.
    spec.frames.push_back({.x = 0, .y = 0, .width = 1, .height = 1, .pixels = solid(1, 1, {0, 0, 255, 255})});
    return spec;
}

TEST(ApngReader, ComposesFramesByDisposeOp) {
    struct row {
        const char* name;
        uint8_t second_dispose;
        px third_at_1_1;  // what frame 3 shows where frame 2 drew
    } rows[] = {
        {"none keeps the patch", 0, green},
        {"background clears the patch", 1, clear},
        {"previous restores the red", 2, red},
    };
    for (const row& r : rows) {
        apng_spec spec = two_frames(0, 0);
        spec.frames[1].dispose = r.second_dispose;
        apng_animation a;
        ASSERT_TRUE(read(spec.build(), a)) << r.name;
        ASSERT_EQ(a.frames.size(), 3u) << r.name;
        EXPECT_FALSE(a.default_skipped);
        EXPECT_EQ(pixel_at(a.frames[1], 1, 1), green) << r.name;
        EXPECT_EQ(pixel_at(a.frames[1], 0, 0), red) << r.name;
        EXPECT_EQ(pixel_at(a.frames[2], 1, 1), r.third_at_1_1) << r.name;
        EXPECT_EQ(pixel_at(a.frames[2], 2, 1), r.second_dispose == 0 ? green : r.third_at_1_1) << r.name;
        EXPECT_EQ(pixel_at(a.frames[2], 0, 0), blue) << r.name;
        EXPECT_EQ(pixel_at(a.frames[2], 3, 2), red) << r.name;
        for (const ImageRows& f : a.frames) EXPECT_EQ(f.width * f.height * 4, f.pixels.size());
    }
}

TEST(ApngReader, BlendOverMixesByAlpha) {
    apng_spec spec;
    spec.width = 3, spec.height = 1;
    spec.frames.push_back({.pixels = rgba_pixels(3, 1, [](uint32_t x, uint32_t) {
                               return x == 2 ? px{0, 0, 0, 0} : px{200, 100, 0, 255};
                           })});
    // Opaque source, transparent source, half source over opaque target and
    // over a transparent target.
    spec.frames.push_back({.blend = 1, .pixels = rgba_pixels(3, 1, [](uint32_t x, uint32_t) {
                               return x == 0 ? px{10, 20, 30, 255} : x == 1 ? px{9, 9, 9, 0} : px{0, 0, 250, 128};
                           })});
    spec.frames.push_back({.blend = 1, .pixels = solid(3, 1, {0, 0, 250, 128})});
    apng_animation a;
    ASSERT_TRUE(read(spec.build(), a));
    ASSERT_EQ(a.frames.size(), 3u);
    EXPECT_EQ(pixel_at(a.frames[1], 0, 0), (px{10, 20, 30, 255}));
    EXPECT_EQ(pixel_at(a.frames[1], 1, 0), (px{200, 100, 0, 255}));
    EXPECT_EQ(pixel_at(a.frames[1], 2, 0), (px{0, 0, 250, 128}));
    // u = 128 x 255, v = 127 x 255: 200 x v / (u + v) = 99, alpha (u + v) / 255.
    EXPECT_EQ(pixel_at(a.frames[2], 1, 0), (px{99, 49, 125, 255}));
}

TEST(ApngReader, FirstFrameReplacesAndPreviousActsAsBackground) {
    // The first frame's blend-over and dispose-previous cannot apply: it is
    // drawn as it is, and "previous" clears its region.
    apng_spec spec = two_frames(2, 0);
    spec.frames[0].blend = 1;
    spec.frames[0].pixels = solid(4, 3, {255, 0, 0, 128});
    apng_animation a;
    ASSERT_TRUE(read(spec.build(), a));
    ASSERT_EQ(a.frames.size(), 3u);
    EXPECT_EQ(pixel_at(a.frames[0], 0, 0), (px{255, 0, 0, 128}));
    EXPECT_EQ(pixel_at(a.frames[1], 0, 0), clear);
    EXPECT_EQ(pixel_at(a.frames[1], 1, 1), green);
}

TEST(ApngReader, HiddenDefaultImageComesFirstAndIsFlagged) {
    apng_spec spec = two_frames(0, 0);
    spec.hidden_default = true;
    spec.default_pixels = solid(4, 3, {9, 9, 9, 255});
    spec.frames[1].data_chunks = 3;  // fdAT split over three chunks
    spec.plays = 7;
    apng_animation a;
    ASSERT_TRUE(read(spec.build(), a));
    EXPECT_TRUE(a.default_skipped);
    EXPECT_EQ(a.play_count, 7u);
    ASSERT_EQ(a.frames.size(), 4u);
    EXPECT_EQ(pixel_at(a.frames[0], 2, 2), (px{9, 9, 9, 255}));
    EXPECT_EQ(pixel_at(a.frames[1], 2, 2), red);
    EXPECT_EQ(pixel_at(a.frames[2], 1, 1), green);

    // The animation starts on a transparent canvas: a first frame smaller
    // than the canvas does not show the default image around it.
    apng_spec small = spec;
    small.frames = {{.x = 1, .y = 1, .width = 1, .height = 1, .pixels = solid(1, 1, {0, 255, 0, 255})}};
    ASSERT_TRUE(read(small.build(), a));
    ASSERT_EQ(a.frames.size(), 2u);
    EXPECT_EQ(pixel_at(a.frames[1], 0, 0), clear);
    EXPECT_EQ(pixel_at(a.frames[1], 1, 1), green);
}

TEST(ApngReader, DelaysAndOtherLayouts) {
    // Grey + alpha 16-bit frames come out as 8-bit RGBA (high bytes).
    apng_spec spec;
    spec.width = 2, spec.height = 1, spec.colour_type = 4, spec.bit_depth = 16;
    spec.frames.push_back({.delay_num = 3, .delay_den = 0, .pixels = {0x12, 0x34, 0xFF, 0xFF, 0xAB, 0xCD, 0x80, 0x00}});
    spec.frames.push_back({.delay_num = 65535, .delay_den = 1000, .pixels = {0, 0, 0, 0, 1, 2, 3, 4}});
    apng_animation a;
    ASSERT_TRUE(read(spec.build(), a));
    ASSERT_EQ(a.frames.size(), 2u);
    EXPECT_EQ(pixel_at(a.frames[0], 0, 0), (px{0x12, 0x12, 0x12, 0xFF}));
    EXPECT_EQ(pixel_at(a.frames[0], 1, 0), (px{0xAB, 0xAB, 0xAB, 0x80}));
    EXPECT_EQ(a.frames[0].delay_num, 3u);
    EXPECT_EQ(a.frames[0].delay_den, 0u);
    EXPECT_EQ(a.frames[1].delay_num, 65535u);
    EXPECT_EQ(a.frames[1].delay_den, 1000u);

    // A palette file with tRNS; chunks before the data reach every frame.
    apng_spec palette;
    palette.width = 2, palette.height = 1, palette.colour_type = 3;
    palette.plte = {255, 0, 0, 0, 0, 255};
    palette.trns = {0};
    palette.frames.push_back({.pixels = {0, 1}});
    palette.frames.push_back({.pixels = {1, 0}});
    ASSERT_TRUE(read(palette.build(), a));
    ASSERT_EQ(a.frames.size(), 2u);
    EXPECT_EQ(pixel_at(a.frames[0], 0, 0), (px{255, 0, 0, 0}));
    EXPECT_EQ(pixel_at(a.frames[1], 0, 0), blue);
}

// Palette frames below 8 bits, one of them a region of the canvas, show their
// entries (alpha from tRNS, 255 beyond it); an index past the end of the
// palette ends the read as incomplete and says so.
TEST(ApngReader, PaletteFramesAreExpandedAndChecked) {
    apng_spec spec;
    spec.width = 5, spec.height = 2, spec.colour_type = 3, spec.bit_depth = 2;
    spec.plte = {255, 0, 0, 0, 255, 0, 0, 0, 255};
    spec.trns = {0, 128};
    // Indices 0 1 2 0 1 / 2 2 1 0 0, four to a byte.
    spec.frames.push_back({.pixels = {0x18, 0x40, 0xA4, 0x00}});
    // Indices 2 2 0 at (1, 1).
    spec.frames.push_back({.x = 1, .y = 1, .width = 3, .height = 1, .pixels = {0xA0}});
    apng_animation a;
    ASSERT_TRUE(read(spec.build(), a));
    EXPECT_FALSE(a.index_past_palette);
    ASSERT_EQ(a.frames.size(), 2u);
    EXPECT_EQ(pixel_at(a.frames[0], 0, 0), (px{255, 0, 0, 0}));
    EXPECT_EQ(pixel_at(a.frames[0], 1, 0), (px{0, 255, 0, 128}));
    EXPECT_EQ(pixel_at(a.frames[0], 2, 0), blue);
    EXPECT_EQ(pixel_at(a.frames[0], 4, 0), (px{0, 255, 0, 128}));
    EXPECT_EQ(pixel_at(a.frames[0], 2, 1), (px{0, 255, 0, 128}));
    EXPECT_EQ(pixel_at(a.frames[1], 0, 1), blue);
    EXPECT_EQ(pixel_at(a.frames[1], 2, 1), blue);
    EXPECT_EQ(pixel_at(a.frames[1], 3, 1), (px{255, 0, 0, 0}));
    EXPECT_EQ(pixel_at(a.frames[1], 4, 1), (px{255, 0, 0, 0}));

    // Index 3 in the second frame, with three entries.
    spec.frames[1].pixels = {0xAC};
    EXPECT_FALSE(read(spec.build(), a));
    EXPECT_TRUE(a.index_past_palette);
    EXPECT_EQ(a.frames.size(), 1u);
    // Index 3 in a column past the frame's width is padding, not an index.
    spec.frames[1].pixels = {0xA3};
    EXPECT_TRUE(read(spec.build(), a));
    EXPECT_FALSE(a.index_past_palette);
}

// The IDAT data of an interlaced RGBA8 PNG that libpng writes.
bytes interlaced_idat(uint32_t w, uint32_t h, const bytes& pixels) {
    bytes file;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(
        png, &file,
        [](png_structp p, png_bytep data, png_size_t n) {
            auto* out = static_cast<bytes*>(png_get_io_ptr(p));
            out->insert(out->end(), data, data + n);
        },
        nullptr);
    png_set_IHDR(png, info, w, h, 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_ADAM7, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    std::vector<png_bytep> rows(h);
    for (uint32_t y = 0; y < h; ++y) rows[y] = const_cast<png_bytep>(pixels.data()) + 4 * w * y;
    png_set_rows(png, info, rows.data());
    png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    png_destroy_write_struct(&png, &info);
    bytes idat;
    for (const chunk_view& c : list_chunks(file))
        if (c.type == "IDAT") idat.insert(idat.end(), c.data.begin(), c.data.end());
    return idat;
}

// Adam7 frames, including sizes where some passes are empty, decode whole.
TEST(ApngReader, InterlacedFrames) {
    for (auto [w, h] : {std::pair{1u, 1u}, {1u, 3u}, {3u, 1u}, {5u, 9u}}) {
        const bytes pixels = rgba_pixels(w, h, [](uint32_t x, uint32_t y) {
            return px{uint8_t(x * 40), uint8_t(y * 20), 7, 255};
        });
        bytes file = {137, 80, 78, 71, 13, 10, 26, 10};
        bytes ihdr;
        put_u32(ihdr, w);
        put_u32(ihdr, h);
        ihdr.insert(ihdr.end(), {8, 6, 0, 0, 1});
        apng_spec::append(file, chunk("IHDR", ihdr));
        apng_spec::append(file, chunk("acTL", {0, 0, 0, 1, 0, 0, 0, 0}));
        bytes fctl;
        put_u32(fctl, 0);
        put_u32(fctl, w);
        put_u32(fctl, h);
        put_u32(fctl, 0);
        put_u32(fctl, 0);
        fctl.insert(fctl.end(), {0, 1, 0, 10, 0, 0});
        apng_spec::append(file, chunk("fcTL", fctl));
        apng_spec::append(file, chunk("IDAT", interlaced_idat(w, h, pixels)));
        apng_spec::append(file, chunk("IEND", {}));
        apng_animation a;
        ASSERT_TRUE(read(file, a)) << w << "x" << h;
        ASSERT_EQ(a.frames.size(), 1u);
        EXPECT_EQ(a.frames[0].pixels, pixels) << w << "x" << h;
    }
}

// Each case breaks one rule; none may be read as a whole animation.
TEST(ApngReader, HostileFilesAreIncomplete) {
    struct row {
        const char* name;
        void (*change)(apng_spec&);
    } rows[] = {
        {"region past the right edge", [](apng_spec& s) { s.frames[1].x = 3; }},
        {"region offset that wraps 32 bits",
         [](apng_spec& s) { s.frames[1].x = 0xFFFFFFFFu; }},
        {"dispose op 3", [](apng_spec& s) { s.frames[1].dispose = 3; }},
        {"blend op 2", [](apng_spec& s) { s.frames[1].blend = 2; }},
        {"sequence gap", [](apng_spec& s) { s.sequence = {0, 2, 3, 4, 5}; }},
        {"sequence repeated", [](apng_spec& s) { s.sequence = {0, 0, 1, 2, 3}; }},
        {"sequence starting at 1", [](apng_spec& s) { s.sequence = {1, 2, 3, 4, 5}; }},
        {"acTL counts more frames", [](apng_spec& s) { s.actl_frames = 4; }},
        {"acTL counts fewer frames", [](apng_spec& s) { s.actl_frames = 2; }},
        {"acTL counts no frame", [](apng_spec& s) { s.actl_frames = 0; }},
        {"acTL count beyond 2^31 - 1", [](apng_spec& s) { s.actl_frames = 0x80000001; }},
        {"no acTL", [](apng_spec& s) { s.write_actl = false; }},
        {"second acTL", [](apng_spec& s) { s.extra_before_data = chunk("acTL", {0, 0, 0, 3, 0, 0, 0, 0}); }},
        {"short acTL", [](apng_spec& s) {
             s.write_actl = false;
             s.extra_before_data = chunk("acTL", {0, 0, 0, 3, 0, 0, 0});
         }},
        {"chunk type with a digit", [](apng_spec& s) { s.extra_before_data = chunk("tE1t", {1}); }},
        {"bad CRC", [](apng_spec& s) { s.extra_before_data = chunk("tEXt", {'a', 0, 'b'}, false); }},
        {"unknown critical chunk", [](apng_spec& s) { s.extra_before_data = chunk("XYZW", {1}); }},
        {"no IEND", [](apng_spec& s) { s.write_iend = false; }},
    };
    for (const row& r : rows) {
        apng_spec spec = two_frames(0, 0);
        r.change(spec);
        apng_animation a;
        EXPECT_FALSE(read(spec.build(), a)) << r.name;
    }
}

// Structures the builder cannot make, edited on the bytes.
TEST(ApngReader, DamagedChunkListsAreIncomplete) {
    const bytes good = two_frames(0, 0).build();
    const std::vector<chunk_view> chunks = list_chunks(good);
    auto rebuild = [&](auto edit) {
        bytes out(good.begin(), good.begin() + 8);
        for (size_t i = 0; i < chunks.size(); ++i) {
            std::vector<chunk_view> replacement = edit(i, chunks[i]);
            for (const chunk_view& c : replacement) apng_spec::append(out, chunk(c.type, c.data));
        }
        return out;
    };
    struct row {
        const char* name;
        bytes file;
    };
    const std::vector<row> rows = {
        {"fcTL of 25 bytes", rebuild([](size_t, chunk_view c) {
             if (c.type == "fcTL") c.data.pop_back();
             return std::vector<chunk_view>{c};
         })},
        {"fdAT of 3 bytes", rebuild([](size_t, chunk_view c) {
             if (c.type == "fdAT") c.data.resize(3);
             return std::vector<chunk_view>{c};
         })},
        {"frame without data", rebuild([](size_t, chunk_view c) {
             return c.type == "fdAT" ? std::vector<chunk_view>{} : std::vector<chunk_view>{c};
         })},
        {"fdAT as the first frame's data", rebuild([](size_t, chunk_view c) {
             if (c.type == "IDAT") {
                 bytes data = {0, 0, 0, 1};
                 data.insert(data.end(), c.data.begin(), c.data.end());
                 return std::vector<chunk_view>{{"fdAT", data, true}};
             }
             return std::vector<chunk_view>{c};
         })},
        {"IDAT after an fdAT", rebuild([](size_t, chunk_view c) {
             if (c.type == "fdAT") return std::vector<chunk_view>{{"IDAT", bytes(c.data.begin() + 4, c.data.end()), true}};
             return std::vector<chunk_view>{c};
         })},
        {"frame data that is not zlib", rebuild([](size_t, chunk_view c) {
             if (c.type == "fdAT") std::fill(c.data.begin() + 4, c.data.end(), 0x55);
             return std::vector<chunk_view>{c};
         })},
        {"frame data cut short", rebuild([](size_t, chunk_view c) {
             if (c.type == "fdAT") c.data.resize(c.data.size() / 2);
             return std::vector<chunk_view>{c};
         })},
        {"frame data of too few rows", rebuild([](size_t, chunk_view c) {
             if (c.type == "fdAT") {
                 const bytes short_data = zlib_rows(solid(2, 1, {1, 2, 3, 4}), 1, 4);
                 c.data.resize(4);
                 c.data.insert(c.data.end(), short_data.begin(), short_data.end());
             }
             return std::vector<chunk_view>{c};
         })},
        {"acTL after the image data", rebuild([&](size_t, chunk_view c) {
             if (c.type == "acTL") return std::vector<chunk_view>{};
             if (c.type == "IDAT") return std::vector<chunk_view>{c, chunks[1]};
             return std::vector<chunk_view>{c};
         })},
    };
    for (const row& r : rows) {
        apng_animation a;
        EXPECT_FALSE(read(r.file, a)) << r.name;
    }
    // Truncated anywhere, and with a chunk length past the 8,000,000 cap.
    for (size_t cut = 0; cut < good.size(); cut += 7) {
        apng_animation a;
        EXPECT_FALSE(read(bytes(good.begin(), good.begin() + cut), a)) << cut;
    }
    bytes huge = good;
    huge[8 + 25 + 0] = 0x00, huge[8 + 25 + 1] = 0x7A, huge[8 + 25 + 2] = 0x12, huge[8 + 25 + 3] = 0x01;
    apng_animation a;
    EXPECT_FALSE(read(huge, a));
}

// Frame count x canvas height beyond the strip's rows, frame count beyond
// 16 bits and canvases beyond the pixel cap are refused before the frames
// are decoded or their memory taken.
TEST(ApngReader, LimitsBeforeAllocation) {
    struct row {
        const char* name;
        uint32_t width, height;
        int64_t actl_frames;
    } rows[] = {
        {"rows of the strip", 1, 16384, 62},
        {"frames beyond 16 bits", 1, 1, 70000},
        {"one frame more than the limit", 1, 1, 65536},
        {"pixels of the strip", 16384, 16384, 1},
        {"canvas side", 16385, 1, 1},
    };
    for (const row& r : rows) {
        apng_spec spec;
        spec.width = r.width, spec.height = r.height;
        spec.actl_frames = r.actl_frames;
        // Only the header matters: the read ends before any frame data.
        bytes file = spec.build();
        file.resize(8 + 25 + 20);
        apng_animation a;
        EXPECT_FALSE(read(file, a)) << r.name;
        EXPECT_TRUE(a.frames.empty()) << r.name;
    }
}

}  // namespace
