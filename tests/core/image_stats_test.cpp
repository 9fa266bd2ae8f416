#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "core/image_stats.h"
#include "core/job.h"
#include "core/options.h"

namespace {

using pixel = std::array<uint8_t, 4>;

image_job job_for(uint32_t width, uint32_t height) {
    default_flags flags{};
    flags.quality = 90;
    flags.quality_default = 1;
    flags.png_level = flags.jpeg_level = 255;
    image_job job;
    init_image_job(job, flags, 1000);
    job.width = width;
    job.height = height;
    job.pixel_count = width * height;
    job.bytes_per_pixel = 4;
    return job;
}

image_job job_for(const std::vector<pixel>& pixels) { return job_for(uint32_t(pixels.size()), 1); }

std::vector<uint8_t> bytes_of(const std::vector<pixel>& pixels) {
    std::vector<uint8_t> out;
    for (const pixel& p : pixels) out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::vector<pixel> repeat(const std::vector<pixel>& pattern, size_t count) {
    std::vector<pixel> out;
    for (size_t i = 0; i < count; ++i) out.push_back(pattern[i % pattern.size()]);
    return out;
}

TEST(DetectGrey, Cases) {
    struct row {
        const char* name;
        std::vector<pixel> pixels;
        uint8_t noalpha, start, grey;
    };
    const row rows[] = {
        {"grey", {{0, 0, 0, 255}, {7, 7, 7, 255}, {255, 255, 255, 10}}, 0, 1, 1},
        {"one coloured pixel", {{7, 7, 7, 255}, {7, 7, 8, 255}, {9, 9, 9, 255}}, 0, 1, 0},
        {"colour under alpha 0", {{7, 7, 7, 255}, {200, 0, 0, 0}}, 0, 1, 1},
        {"colour under alpha 0 with -noalpha", {{7, 7, 7, 255}, {200, 0, 0, 0}}, 1, 1, 0},
        {"colour under alpha 1", {{7, 7, 7, 255}, {200, 0, 0, 1}}, 0, 1, 0},
        {"field already cleared", {{7, 7, 7, 255}}, 0, 0, 0},
    };
    for (const row& r : rows) {
        image_job job = job_for(r.pixels);
        job.noalpha = r.noalpha;
        job.is_grey = r.start;
        detect_grey(bytes_of(r.pixels).data(), job);
        EXPECT_EQ(job.is_grey, r.grey) << r.name;
    }
}

TEST(ScanAlpha, Cases) {
    struct row {
        const char* name;
        std::vector<pixel> pixels;
        uint64_t translucent;
        uint8_t above_250, single;
    };
    const pixel o{1, 2, 3, 255};
    const row rows[] = {
        {"opaque", {o, o, o}, 0, 1, 0},
        {"one at 254", {o, {1, 2, 3, 254}, o}, 1, 1, 1},
        {"two at 251", {{0, 0, 0, 251}, o, {9, 9, 9, 251}}, 2, 1, 1},
        {"251 and 252", {{0, 0, 0, 251}, {0, 0, 0, 252}}, 2, 1, 0},
        {"one at 250", {o, {0, 0, 0, 250}}, 1, 0, 1},
        {"transparent", {{0, 0, 0, 0}, {5, 5, 5, 0}, o}, 2, 0, 1},
        {"0 and 255 only", {{0, 0, 0, 0}, o, {0, 0, 0, 254}}, 2, 0, 0},
    };
    for (const row& r : rows) {
        image_job job = job_for(r.pixels);
        scan_alpha(bytes_of(r.pixels).data(), job);
        EXPECT_EQ(job.translucent_count, r.translucent) << r.name;
        EXPECT_EQ(job.alphas_above_250, r.above_250) << r.name;
        EXPECT_EQ(job.single_alpha, r.single) << r.name;
    }
}

TEST(CountColours, Cases) {
    struct row {
        const char* name;
        std::vector<pixel> pixels;
        uint8_t count_all;
        uint32_t limit, count;
    };
    std::vector<pixel> ten;
    for (uint8_t i = 0; i < 10; ++i) ten.push_back({i, 0, 0, 255});
    const pixel a{1, 2, 3, 255}, b{1, 2, 3, 254};
    const row rows[] = {
        {"zero value and one colour, all pixels", {{0, 0, 0, 0}, a, {0, 0, 0, 0}}, 1, 8192, 1},
        {"transparent colour skipped", {{0, 0, 0, 0}, {5, 5, 5, 0}, a}, 0, 8192, 1},
        {"transparent colour counted", {{0, 0, 0, 0}, {5, 5, 5, 0}, a}, 1, 8192, 2},
        {"repeats counted once", {a, a, b, a, b}, 0, 8192, 2},
        {"ten under a large limit", ten, 0, 8192, 10},
        {"ten at limit 10", ten, 0, 10, 10},
        {"ten at limit 9", ten, 0, 9, 10},
        {"ten at limit 3 stops at 4", ten, 0, 3, 4},
        {"limit 0", ten, 0, 0, 1},
    };
    for (const row& r : rows) {
        image_job job = job_for(r.pixels);
        job.count_all_pixels = r.count_all;
        job.colour_limit = r.limit;
        count_colours(bytes_of(r.pixels).data(), job);
        EXPECT_EQ(job.colour_count, r.count) << r.name;
    }
}

// Runs the measurements in their required order.
image_job measure(const std::vector<pixel>& pixels, uint32_t width, uint32_t height) {
    image_job job = job_for(width, height);
    const std::vector<uint8_t> bytes = bytes_of(pixels);
    scan_alpha(bytes.data(), job);
    detect_grey(bytes.data(), job);
    count_colours(bytes.data(), job);
    collect_image_stats(bytes.data(), job);
    return job;
}

TEST(CollectImageStats, Percentages) {
    struct row {
        const char* name;
        std::vector<pixel> pixels;
        uint64_t similar, changed, same, extreme, extreme2;
        uint8_t translucent;
    };
    const row rows[] = {
        {"two white pixels", {{255, 255, 255, 255}, {255, 255, 255, 255}}, 0, 0, 50, 100, 0, 0},
        {"mixed",
         {{10, 10, 10, 255}, {14, 12, 10, 255}, {100, 0, 0, 255}, {100, 0, 0, 0}},
         25, 50, 0, 25, 0, 25},
        {"sums 8 apart are not similar", {{10, 10, 10, 255}, {18, 10, 10, 255}}, 0, 50, 0, 50, 0, 0},
        {"a channel 9 apart is not similar", {{10, 10, 10, 255}, {19, 10, 5, 255}}, 0, 50, 0, 50, 0, 0},
        {"different alphas are not similar", {{10, 10, 10, 200}, {12, 10, 10, 201}}, 0, 50, 0, 50, 0, 100},
        {"similar whatever the alpha", {{100, 10, 10, 0}, {102, 10, 10, 0}}, 50, 0, 0, 0, 0, 100},
        {"alpha ignored for same", {{100, 10, 10, 255}, {100, 10, 10, 9}}, 0, 0, 50, 0, 0, 50},
        {"extreme sums",
         {{1, 0, 0, 255}, {14, 0, 0, 255}, {15, 0, 0, 255}, {0, 0, 0, 255}, {255, 255, 241, 255},
          {255, 255, 254, 255}, {255, 255, 255, 255}, {100, 100, 100, 255}},
         25, 87, 0, 87, 50, 0},
    };
    for (const row& r : rows) {
        image_job job = measure(r.pixels, uint32_t(r.pixels.size()), 1);
        EXPECT_EQ(job.stat_similar, r.similar) << r.name;
        EXPECT_EQ(job.stat_changed, r.changed) << r.name;
        EXPECT_EQ(job.stat_same, r.same) << r.name;
        EXPECT_EQ(job.stat_extreme, r.extreme) << r.name;
        EXPECT_EQ(job.stat_extreme2, r.extreme2) << r.name;
        EXPECT_EQ(job.translucent_percent, r.translucent) << r.name;
    }
}

TEST(CollectImageStats, OneTranslucentPixelInAMillion) {
    std::vector<pixel> pixels(1000000, pixel{10, 20, 30, 255});
    pixels[4321] = {10, 20, 30, 254};
    image_job job = measure(pixels, 1000, 1000);
    EXPECT_EQ(job.translucent_count, 1u);
    EXPECT_EQ(job.translucent_percent, 1);
    EXPECT_EQ(job.single_alpha, 1);
    EXPECT_EQ(job.alphas_above_250, 1);

    std::fill(pixels.begin(), pixels.end(), pixel{10, 20, 30, 255});
    job = measure(pixels, 1000, 1000);
    EXPECT_EQ(job.translucent_count, 0u);
    EXPECT_EQ(job.translucent_percent, 0);
    EXPECT_EQ(job.single_alpha, 0);
}

TEST(CollectImageStats, Verdicts) {
    struct row {
        const char* name;
        std::vector<pixel> pixels;
        uint8_t grey;
        uint32_t colours;  // stands in for the counted colours
        uint8_t few, photo, smooth;
        uint32_t limit = 8192;
    };
    // Neighbours always far apart, and neighbours always just apart.
    const std::vector<pixel> busy = repeat({{0, 0, 0, 255}, {90, 0, 0, 255}, {0, 90, 0, 255}}, 100);
    const std::vector<pixel> busy_translucent = repeat({{0, 0, 0, 253}, {90, 0, 0, 253}, {0, 90, 0, 253}}, 100);
    const std::vector<pixel> busy_low_alpha = repeat({{0, 0, 0, 200}, {90, 0, 0, 200}, {0, 90, 0, 200}}, 100);
    const std::vector<pixel> ripple = repeat({{10, 10, 10, 255}, {11, 10, 10, 255}}, 100);
    const std::vector<pixel> hidden_ripple = repeat({{10, 10, 10, 0}, {12, 10, 10, 0}}, 100);
    const row rows[] = {
        {"16 colours, not similar", busy, 0, 16, 1, 0, 0},
        {"16 colours, 99% similar", ripple, 0, 16, 0, 0, 0},
        {"17 colours", busy, 0, 17, 0, 0, 0},
        {"busy with 300 colours", busy, 0, 300, 0, 0, 0},
        {"busy at the count limit", busy, 0, 8192, 0, 1, 0},
        {"busy, 256 colours is not a photo", busy, 0, 256, 0, 0, 0},
        {"busy grey, 100 colours at limit 100", busy, 1, 100, 0, 1, 0, 100},
        {"busy, 100 colours at limit 100", busy, 0, 100, 0, 0, 0, 100},
        {"busy grey, 96 colours at limit 96", busy, 1, 96, 0, 0, 0, 96},
        {"busy translucent above 250", busy_translucent, 0, 300, 0, 1, 0},
        {"busy translucent at 200", busy_low_alpha, 0, 8192, 0, 0, 0},
        {"smooth hidden gradient", hidden_ripple, 0, 300, 0, 0, 1},
    };
    for (const row& r : rows) {
        image_job job = job_for(r.pixels);
        const std::vector<uint8_t> bytes = bytes_of(r.pixels);
        scan_alpha(bytes.data(), job);
        job.is_grey = r.grey;
        job.colour_count = r.colours;
        job.colour_limit = r.limit;
        job.photo_like = 1;  // cleared where the verdicts say so
        if (r.colours > 16) job.photo_like = 0;
        collect_image_stats(bytes.data(), job);
        EXPECT_EQ(job.few_colours, r.few) << r.name;
        EXPECT_EQ(job.photo_like, r.photo) << r.name;
        EXPECT_EQ(job.smooth, r.smooth) << r.name;
    }
}

// Buffers for the palette probe: one with a single colour (a palette of one
// entry) and one with thousands of colours (a full palette).
struct probe_images {
    std::vector<uint8_t> flat = std::vector<uint8_t>(4 * 100000, 0);
    std::vector<uint8_t> many;
    probe_images() {
        for (uint32_t y = 0; y < 100; ++y)
            for (uint32_t x = 0; x < 1000; ++x) {
                pixel p{uint8_t(x / 4), uint8_t(y * 2), uint8_t((x * 7 + y * 13) & 0xFF), 255};
                many.insert(many.end(), p.begin(), p.end());
            }
    }
};

struct decision_row {
    const char* name;
    uint64_t same = 0, changed = 0, ext = 0, ext2 = 0;
    uint8_t tp = 0;
    uint32_t colours = 8000;
    uint8_t colour_type = 6, grey = 0, apng = 0, flat_large = 0, few = 0, smooth = 0;
    uint32_t pixels = 100000;
    uint16_t resize = 0;
    bool many_colours = false;
    uint8_t score, mode;
};

image_job decision_job(const decision_row& r) {
    image_job job = job_for(r.pixels == 100000 ? 1000 : r.pixels, r.pixels == 100000 ? 100 : 1);
    job.stat_same = r.same;
    job.stat_changed = r.changed;
    job.stat_extreme = r.ext;
    job.stat_extreme2 = r.ext2;
    job.translucent_percent = r.tp;
    job.colour_count = r.colours;
    job.colour_type = r.colour_type;
    job.is_grey = r.grey;
    job.is_apng = r.apng;
    job.flat_large_image = r.flat_large;
    job.few_colours = r.few;
    job.smooth = r.smooth;
    job.resize_target = r.resize;
    return job;
}

decision_row row(const char* name, uint8_t score, uint8_t mode) {
    decision_row r;
    r.name = name;
    r.score = score;
    r.mode = mode;
    return r;
}

TEST(DecidePngMode, ScorePaths) {
    static const probe_images images;
    std::vector<decision_row> rows;
    auto add = [&](decision_row r) { rows.push_back(r); };
    decision_row r;

    add(row("nothing points to a palette", 0, mode_lossy_truecolour));
    r = row("palette input", 1, mode_lossy_truecolour), r.colour_type = 3, r.colours = 8000, add(r);
    r = row("300 colours", 1, mode_lossy_truecolour), r.colours = 300, add(r);
    r = row("4095 colours", 1, mode_lossy_truecolour), r.colours = 4095, add(r);
    r = row("4096 colours", 0, mode_lossy_truecolour), r.colours = 4096, add(r);
    r = row("APNG with 5119 colours", 2, mode_palette), r.apng = 1, r.colours = 5119, add(r);
    r = row("APNG with 5120 colours", 1, mode_lossy_truecolour), r.apng = 1, r.colours = 5120, add(r);

    // Flatness.
    r = row("same 50, changed 5, ext 30", 1, mode_lossy_truecolour), r.same = 50, r.changed = 5, r.ext = 30, add(r);
    r = row("same 50, changed 5, ext 45", 3, mode_palette), r.same = 50, r.changed = 5, r.ext = 45, add(r);
    r = row("same 50, changed 5, ext 65", 5, mode_palette), r.same = 50, r.changed = 5, r.ext = 65, add(r);
    r = row("same 70, changed 5, ext 30", 3, mode_palette), r.same = 70, r.changed = 5, r.ext = 30, add(r);
    r = row("same 70, changed 5, ext 50", 4, mode_palette), r.same = 70, r.changed = 5, r.ext = 50, add(r);
    r = row("same 70, changed 5, ext 70", 6, mode_palette), r.same = 70, r.changed = 5, r.ext = 70, add(r);
    r = row("same 65, changed 12, ext 10", 1, mode_lossy_truecolour), r.same = 65, r.changed = 12, r.ext = 10,
    add(r);
    r = row("same 10, changed 50, ext 70", 1, mode_lossy_truecolour), r.same = 10, r.changed = 50, r.ext = 70,
    add(r);
    r = row("same 50, changed 80, ext 70", 2, mode_palette), r.same = 50, r.changed = 80, r.ext = 70, add(r);
    r = row("ext exactly 60", 1, mode_lossy_truecolour), r.same = 10, r.changed = 50, r.ext = 60, add(r);
    r = row("ext above half changed, skip", 1, mode_lossy_truecolour), r.same = 10, r.changed = 80, r.ext = 70,
    r.ext2 = 30, add(r);

    // Near-extreme pixels.
    for (auto [ext2, score] : {std::pair{30, 2}, {55, 3}, {75, 4}}) {
        r = row("changed just above ext", uint8_t(score), score >= 2 ? mode_palette : mode_lossy_truecolour);
        r.same = 65, r.changed = 12, r.ext = 10, r.ext2 = uint64_t(ext2), add(r);
    }
    for (auto [ext2, score] : {std::pair{30, 2}, {70, 3}}) {
        r = row("flat and extreme", uint8_t(score), mode_palette);
        r.same = 50, r.changed = 5, r.ext = 30, r.ext2 = uint64_t(ext2), add(r);
    }
    r = row("changed 16 above ext", 2, mode_palette), r.same = 65, r.changed = 26, r.ext = 10, r.ext2 = 55, add(r);
    r = row("changed 17 above ext", 1, mode_lossy_truecolour), r.same = 65, r.changed = 27, r.ext = 10, r.ext2 = 55,
    add(r);
    r = row("ext2 25 alone", 1, mode_lossy_truecolour), r.ext2 = 25, add(r);
    r = row("ext2 70 alone", 2, mode_palette), r.ext2 = 70, add(r);

    // Translucency.
    for (auto [tp, score] : {std::pair{65, 1}, {75, 2}, {85, 3}}) {
        r = row("translucent", uint8_t(score), score >= 2 ? mode_palette : mode_lossy_truecolour);
        r.same = 50, r.changed = 10, r.tp = uint8_t(tp), add(r);
    }

    r = row("translucent but not flat", 1, mode_lossy_truecolour), r.changed = 10, r.tp = 85, add(r);

    // Size.
    r = row("36864 pixels", 1, mode_lossy_truecolour), r.pixels = 36864, add(r);
    r = row("36865 pixels", 0, mode_lossy_truecolour), r.pixels = 36865, add(r);
    r = row("16384 pixels", 2, mode_palette), r.pixels = 16384, add(r);

    // APNG and grey.
    r = row("grey APNG keeps score 0", 0, mode_lossy_truecolour), r.apng = 1, r.grey = 1, r.colours = 9000, add(r);
    r = row("grey APNG below 8192 colours", 0, mode_lossy_truecolour), r.apng = 1, r.grey = 1, add(r);

    // Palette probe.
    r = row("probe: repeat 90", 3, mode_palette), r.colours = 5000, r.same = 100, r.changed = 10, add(r);
    r = row("probe: repeat 85 on score 1", 2, mode_palette), r.colours = 5000, r.same = 95, r.changed = 10, add(r);
    r = row("probe: repeat 80 on score 0, small palette", 2, mode_palette), r.colours = 5000, r.same = 85,
    r.changed = 20, r.tp = 50, add(r);
    r = row("probe: repeat 80 on score 0, full palette", 1, mode_lossy_truecolour), r.colours = 5000, r.same = 85,
    r.changed = 20, r.tp = 50, r.many_colours = true, add(r);
    r = row("probe: repeat 30, small palette", 2, mode_palette), r.colours = 5000, r.same = 50, r.changed = 20, add(r);
    r = row("probe: repeat 30, full palette", 0, mode_lossy_truecolour), r.colours = 5000, r.same = 50,
    r.changed = 20, r.many_colours = true, add(r);
    r = row("no probe for grey", 0, mode_lossy_truecolour), r.colours = 5000, r.same = 50, r.changed = 20,
    r.grey = 1, add(r);

    // Result and overrides.
    r = row("flat large image", 0, mode_palette), r.flat_large = 1, add(r);
    r = row("few colours", 0, mode_lossless), r.few = 1, add(r);
    r = row("few colours with -resize=", 0, mode_lossy_truecolour), r.few = 1, r.resize = 1024, add(r);
    r = row("smooth", 0, mode_lossless), r.smooth = 1, add(r);
    r = row("APNG with 200 colours", 3, mode_lossless), r.apng = 1, r.colours = 200, add(r);
    r = row("grey with 200 colours", 0, mode_lossy_truecolour), r.grey = 1, r.colours = 200, add(r);
    r = row("grey with few colours", 0, mode_lossy_truecolour), r.grey = 1, r.colours = 10, r.few = 1, add(r);
    r = row("palette holds every colour", 2, mode_lossless), r.colours = 1, add(r);
    r = row("palette misses colours", 2, mode_palette), r.colours = 200, r.many_colours = false, add(r);
    r = row("palette input with one colour", 3, mode_lossless), r.colour_type = 3, r.colours = 1, add(r);

    for (const decision_row& d : rows) {
        image_job job = decision_job(d);
        const std::vector<uint8_t>& pixels = d.many_colours ? images.many : images.flat;
        decide_png_mode(pixels.data(), job);
        EXPECT_EQ(job.decision_score, d.score) << d.name;
        EXPECT_EQ(job.mode, d.mode) << d.name;
    }
}

TEST(DecidePngMode, ProbeImagesAsAssumed) {
    const probe_images images;
    image_job job = job_for(1000, 100);
    EXPECT_EQ(probe_palette_size(images.flat.data(), job), 1);
    EXPECT_EQ(probe_palette_size(images.many.data(), job), 256);
}

// A 16-colour opaque image whose neighbours are never similar stays lossless.
TEST(DecidePngMode, SixteenDistinctColoursStayLossless) {
    std::vector<pixel> palette;
    for (uint8_t i = 0; i < 16; ++i) palette.push_back({uint8_t(i * 16), uint8_t(255 - i * 16), uint8_t(i * 40), 255});
    std::vector<pixel> pixels;
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) pixels.push_back(palette[(x * 3 + y * 5) % 16]);
    image_job job = measure(pixels, 64, 64);
    ASSERT_EQ(job.colour_count, 16u);
    EXPECT_EQ(job.few_colours, 1);
    decide_png_mode(bytes_of(pixels).data(), job);
    EXPECT_EQ(job.mode, mode_lossless);
}

}  // namespace
