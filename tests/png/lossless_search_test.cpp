// The lossless search on small images built in code: every road and level,
// sequential and parallel trials, checked against libpng's decoding of the
// result, plus the filter decisions and the failure handling.
#include "core/png/lossless_search.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/image_stats.h"
#include "core/options.h"
#include "core/png/codec/codec_state.h"
#include "core/png/codec/filters.h"
#include "core/png/encoder_settings.h"
#include "core/png/trial_encode.h"
#include "core/transparency.h"

#include "tests/png/search_fixture.h"

namespace {

using namespace search_fixture;

std::vector<picture> pictures() {
    std::vector<picture> list;
    list.push_back(make("rgb ramp", W, H, 1, ramp));
    list.push_back(make("rgba translucent", W, H, 2, [](uint32_t x, uint32_t y, uint32_t& s, uint8_t* o) {
        ramp(x, y, s, o);
        if ((x + y) % 5 == 0) {
            // Fully transparent with a colour of its own that must not matter.
            o[0] = uint8_t(next_random(s));
            o[1] = uint8_t(next_random(s));
            o[2] = uint8_t(next_random(s));
            o[3] = 0;
        } else {
            o[3] = uint8_t(255 - (x % 7) * 30);
        }
    }));
    list.push_back(make("single alpha", W, H, 3, [](uint32_t x, uint32_t y, uint32_t& s, uint8_t* o) {
        ramp(x, y, s, o);
        if (x < 20 && y < 30) {
            o[0] = uint8_t(next_random(s));
            o[3] = 0;
        }
    }));
    list.push_back(make("palette 40", W, H, 4, [](uint32_t x, uint32_t y, uint32_t& s, uint8_t* o) {
        const uint32_t k = ((x / 6) * 7 + (y / 5) * 3 + (next_random(s) % 9 == 0 ? 1 : 0)) % 40;
        o[0] = uint8_t(k * 6);
        o[1] = uint8_t(255 - k * 5);
        o[2] = uint8_t((k * 37) & 255);
        o[3] = 255;
    }));
    list.push_back(make("palette translucent", 100, 100, 5, [](uint32_t x, uint32_t y, uint32_t&, uint8_t* o) {
        const uint32_t k = (x / 10 + y / 10) % 30;
        o[0] = uint8_t(k * 8);
        o[1] = uint8_t(k * 3);
        o[2] = 200;
        o[3] = k < 5 ? uint8_t(k * 40) : 255;
    }));
    list.push_back(make("grey", W, H, 6, [](uint32_t x, uint32_t y, uint32_t&, uint8_t* o) {
        o[0] = o[1] = o[2] = uint8_t(x * 3 + y * 5);
        o[3] = 255;
    }));
    list.push_back(make("grey levels", W, H, 12, [](uint32_t x, uint32_t y, uint32_t&, uint8_t* o) {
        o[0] = o[1] = o[2] = uint8_t(((x / 8 + y / 8) % 32) * 8);
        o[3] = 255;
    }));
    list.push_back(make("grey alpha", W, H, 13, [](uint32_t x, uint32_t y, uint32_t& s, uint8_t* o) {
        o[0] = o[1] = o[2] = uint8_t(x + y);
        o[3] = uint8_t(x < 64 ? 255 : (y * 2));
        if (o[3] == 0) o[0] = o[1] = o[2] = uint8_t(next_random(s));
    }));
    list.push_back(make("few colours", W, H, 7, [](uint32_t, uint32_t, uint32_t& s, uint8_t* o) {
        const uint32_t k = next_random(s) % 8;
        o[0] = uint8_t(k * 30);
        o[1] = uint8_t(255 - k * 30);
        o[2] = uint8_t(k & 1 ? 0 : 255);
        o[3] = 255;
    }));
    list.push_back(make("photo noise", W, H, 8, [](uint32_t, uint32_t, uint32_t& s, uint8_t* o) {
        const uint32_t v = next_random(s);
        o[0] = uint8_t(v);
        o[1] = uint8_t(v >> 8);
        o[2] = uint8_t(v >> 16);
        o[3] = 255;
    }));
    list.push_back(make("rgba noise", W, H, 9, [](uint32_t, uint32_t, uint32_t& s, uint8_t* o) {
        const uint32_t v = next_random(s);
        o[0] = uint8_t(v);
        o[1] = uint8_t(v >> 8);
        o[2] = uint8_t(v >> 16);
        o[3] = uint8_t(next_random(s));
    }));
    list.push_back(make("tiny", 3, 2, 10, [](uint32_t x, uint32_t y, uint32_t&, uint8_t* o) {
        o[0] = uint8_t(x * 90);
        o[1] = uint8_t(y * 200);
        o[2] = 7;
        o[3] = x == 2 ? 0 : 255;
    }));
    return list;
}

// The job as the driver leaves it before the search: measured, colour type
// planned, transparent-pixel flags settled.
image_job analysed_job(const picture& p, uint8_t level, bool parallel) {
    default_flags flags;
    init_default_flags(flags);
    flags.png_level = level;
    flags.lossless = 1;
    flags.single_file = parallel ? 1 : 0;
    flags.inner_threads = parallel ? 2 : 1;
    image_job job;
    init_image_job(job, flags, 1u << 30);
    job.width = p.width;
    job.height = p.height;
    job.pixel_count = p.width * p.height;
    job.bytes_per_pixel = 4;
    const uint8_t* px = p.pixels.data();
    scan_alpha(px, job);
    detect_grey(px, job);
    const bool single = job.single_alpha;
    if (job.is_grey) {
        job.colour_type = job.translucent_count == 0 ? 0 : single ? 0 : 4;
        job.colour_limit = job.translucent_count == 0 ? 96 : 257;
    } else {
        job.colour_type = job.translucent_count == 0 || single ? 2 : 6;
        job.colour_limit = 8192;
    }
    job.count_all_pixels = job.noalpha;
    count_colours(px, job);
    if (job.colour_count >= 1 && job.colour_count <= 256 && job.colour_type != 0 && job.colour_type != 3)
        job.colour_type = 3;
    collect_image_stats(px, job);
    decide_transparent_cleanup(job);
    settle_colour_flags(job);
    return job;
}

TEST(LosslessSearch, EveryRoadKeepsVisiblePixels) {
    const uint8_t levels[] = {1, 2, 4};
    for (const picture& p : pictures()) {
        for (uint8_t level : levels) {
            for (bool parallel : {false, true}) {
                const std::string label = std::string(p.name) + " level " + std::to_string(level) +
                                          (parallel ? " parallel" : " sequential");
                image_job job = analysed_job(p, level, parallel);
                bytes image = p.pixels;
                bytes result;
                const uint8_t code = optimize_png_lossless(result, image, job);
                ASSERT_EQ(code, 0) << label;
                EXPECT_EQ(job.result, 0) << label;
                EXPECT_EQ(job.trial_size_best, result.size()) << label;
                expect_same_visible_pixels(result, p.pixels, p.width, p.height, label);
                // The work image still holds the same visible pixels (it feeds
                // the preview views).
                ASSERT_EQ(image.size(), p.pixels.size()) << label;
                for (size_t i = 0; i < image.size(); i += 4) {
                    if (p.pixels[i + 3] != 0) {
                        ASSERT_EQ(0, std::memcmp(&image[i], &p.pixels[i], 4)) << label << " pixel " << i / 4;
                    }
                }
            }
        }
    }
}

TEST(LosslessSearch, ParallelTrialsGiveTheSameBytesEveryRun) {
    for (const picture& p : pictures()) {
        if (p.width * p.height < 16385) continue;
        bytes first;
        for (int run = 0; run < 2; ++run) {
            image_job job = analysed_job(p, 2, true);
            bytes image = p.pixels;
            bytes result;
            ASSERT_EQ(optimize_png_lossless(result, image, job), 0) << p.name;
            if (run == 0) {
                first = result;
            } else {
                EXPECT_EQ(first, result) << p.name;
            }
        }
    }
}

// Filter won: the final encode repeats the winning trial's row filters
// (strategy 6); filter lost: no row filter at all.
TEST(LosslessSearch, FinalEncodeRepeatsTheWinningFilters) {
    const picture smooth = pictures()[0];
    // Scattered picks from 2000 fixed colours: filters only add noise.
    picture flat = make("scattered colours", W, H, 11, [](uint32_t, uint32_t, uint32_t& s, uint8_t* o) {
        uint32_t k = next_random(s) % 2000;
        const uint32_t mixed = k * 2654435761u;
        o[0] = uint8_t(mixed >> 8);
        o[1] = uint8_t(mixed >> 16);
        o[2] = uint8_t(mixed >> 24);
        o[3] = 255;
    });
    int filtered_won = 0;
    int unfiltered_won = 0;
    for (const picture* p : std::vector<const picture*>{&smooth, &flat}) {
        image_job job = analysed_job(*p, 2, false);
        ASSERT_EQ(job.few_colours, 0) << p->name;
        ASSERT_EQ(job.photo_like, 0) << p->name;
        bytes image = p->pixels;
        bytes result;
        ASSERT_EQ(optimize_png_lossless(result, image, job), 0) << p->name;
        std::vector<unsigned char> filters;
        ASSERT_FALSE(read_png_filter_bytes(filters, result, p->height)) << p->name;
        bool any_filter = false;
        for (unsigned char f : filters) any_filter |= f != 0;
        if (job.colour_type != 3 && job.trial_size_filtered < job.trial_size_unfiltered) {
            ++filtered_won;
            EXPECT_EQ(job.filter_strategy, 6) << p->name;
            EXPECT_TRUE(any_filter) << p->name;
        } else if (job.colour_type != 3) {
            ++unfiltered_won;
            EXPECT_EQ(job.filter_strategy, 0) << p->name;
            EXPECT_FALSE(any_filter) << p->name;
        }
    }
    // The two pictures cover both outcomes.
    EXPECT_EQ(filtered_won, 1);
    EXPECT_EQ(unfiltered_won, 1);
}

TEST(LosslessSearch, ParallelStrategy11TrialRunsOnceAtLevel4) {
    const picture p = pictures()[0];
    image_job job = analysed_job(p, 4, true);
    ASSERT_GT(job.colour_count, 1280u);
    bytes image = p.pixels;
    bytes result;
    ASSERT_EQ(optimize_png_lossless(result, image, job), 0);
    EXPECT_EQ(job.parallel_trials, 1);
    EXPECT_EQ(job.strategy11_pixel_limit, 0u);
    expect_same_visible_pixels(result, p.pixels, p.width, p.height, "strategy 11");
}

// A trial that did not run can never be the smaller one: with an
// incompressible image whose PNG exceeds 4 bytes a pixel, the recorded
// filtered size is a real trial's size.
TEST(LosslessSearch, TrialThatDidNotRunNeverWins) {
    const picture p = pictures()[10];  // rgba noise
    image_job job = analysed_job(p, 2, true);
    bytes image = p.pixels;
    bytes result;
    ASSERT_EQ(optimize_png_lossless(result, image, job), 0);
    ASSERT_EQ(job.parallel_trials, 1);
    EXPECT_GT(job.trial_size_filtered, 4u * job.pixel_count);
    EXPECT_GT(job.trial_size_unfiltered, 4u * job.pixel_count);
    expect_same_visible_pixels(result, p.pixels, p.width, p.height, "rgba noise");
}

// A photograph-like picture: smooth shading over several thousand colours
// with a little noise, on which some row-filter choices beat others clearly.
picture shaded_photo() {
    return make("shaded photo", 160, 120, 21, [](uint32_t x, uint32_t y, uint32_t& s, uint8_t* o) {
        const uint32_t noise = next_random(s) % 3;
        o[0] = uint8_t(x + y / 2 + noise);
        o[1] = uint8_t((x * y) / 90 + noise);
        o[2] = uint8_t(200 - y + (x / 7));
        o[3] = 255;
    });
}

// One encode of the picture with a filter code and a compressor level code.
bytes trial_encode(const picture& p, image_job job, int filter_code, int level_code,
                   lodepng::State& state) {
    png_palette_order order{};
    set_filter_code(filter_code, state, job);
    select_deflate_level(level_code, state, job);
    bytes png;
    EXPECT_EQ(encode_image(png, p.pixels, state, order, job), 0u);
    return png;
}

// What the photo road makes before any level-4 candidate: a level-77 trial
// with the entropy filter choice, and the final encode with that filter
// choice (level 4) or with the trial's row filters (level 3), the smaller one
// kept.
bytes settled_photo_result(const picture& p, image_job job) {
    lodepng::State state;
    png_palette_order order{};
    const bytes trial = trial_encode(p, job, 8, 77, state);
    std::vector<unsigned char> filters;
    if (job.png_level <= 3) {
        EXPECT_FALSE(read_png_filter_bytes(filters, trial, p.height));
        set_filter_code(6, state, job);
        state.encoder.preset_filters = filters.data();
        state.encoder.preset_filter_count = filters.size();
    }
    select_deflate_by_statistics(0, state, job);
    bytes final_png;
    EXPECT_EQ(encode_image(final_png, p.pixels, state, order, job), 0u);
    return trial.size() < final_png.size() ? trial : final_png;
}

// Level 4 adds filter candidates to photographs and keeps one only when it
// is smaller: they win on smooth shading, not on noise. Level 3 is left as it
// was.
TEST(LosslessSearch, PhotoCandidatesOnlyAtLevel4AndOnlyWhenSmaller) {
    const picture shaded = shaded_photo();
    const picture noise = pictures()[9];  // photo noise
    for (const picture* p : {&shaded, &noise}) {
        for (uint8_t level : {3, 4}) {
            for (bool parallel : {false, true}) {
                const std::string label =
                    std::string(p->name) + " level " + std::to_string(level) + (parallel ? " parallel" : "");
                image_job job = analysed_job(*p, level, parallel);
                ASSERT_EQ(job.photo_like, 1) << label;
                const bytes settled = settled_photo_result(*p, job);
                bytes image = p->pixels;
                bytes result;
                ASSERT_EQ(optimize_png_lossless(result, image, job), 0) << label;
                expect_same_visible_pixels(result, p->pixels, p->width, p->height, label);
                EXPECT_EQ(job.trial_size_best, result.size()) << label;
                if (level == 3 || p == &noise) {
                    EXPECT_EQ(result, settled) << label;
                } else {
                    EXPECT_LT(result.size(), settled.size()) << label;
                }
            }
        }
    }
}

// Above the strategy-11 pixel limit (lowered here) level 4 still tries the
// whole-image filter choice; with a clear lead in the quick trial it gets a
// strong encode of its own, which wins on this picture of sixteen repeating
// rows. Level 3 never tries it.
TEST(LosslessSearch, WholeImageFiltersAboveThePixelLimitAtLevel4) {
    const picture p = make("repeating rows", W, H, 30, [](uint32_t x, uint32_t y, uint32_t&, uint8_t* o) {
        const uint32_t r = y % 16;
        o[0] = uint8_t((x * 37 + r * 11) % 256);
        o[1] = uint8_t(x + r);
        o[2] = 40;
        o[3] = 255;
    });
    for (uint8_t level : {3, 4}) {
        const std::string label = "level " + std::to_string(level);
        image_job job = analysed_job(p, level, false);
        job.strategy11_pixel_limit = 1000;
        ASSERT_EQ(job.photo_like, 0);
        ASSERT_GT(job.colour_count, 1280u);
        bytes image = p.pixels;
        bytes result;
        ASSERT_EQ(optimize_png_lossless(result, image, job), 0) << label;
        expect_same_visible_pixels(result, p.pixels, p.width, p.height, label);

        // The whole-image choice's row filters, from a trial of its own.
        lodepng::State state;
        const bytes trial = trial_encode(p, analysed_job(p, level, false), 11, 0, state);
        std::vector<unsigned char> whole_image, used;
        ASSERT_FALSE(read_png_filter_bytes(whole_image, trial, p.height));
        ASSERT_FALSE(read_png_filter_bytes(used, result, p.height)) << label;
        if (level == 4) {
            EXPECT_EQ(used, whole_image) << label;
        } else {
            EXPECT_NE(used, whole_image) << label;
        }
    }
}

// A job whose geometry does not describe the image is refused before any
// pixel is touched, and nothing is left to write.
TEST(LosslessSearch, MismatchedGeometryLeavesNothingToWrite) {
    const picture p = pictures()[0];
    for (int variant = 0; variant < 2; ++variant) {
        image_job job = analysed_job(p, 2, false);
        if (variant == 0) job.height += 1;
        else job.pixel_count -= 1;
        bytes image = p.pixels;
        bytes result = {1, 2, 3};
        EXPECT_EQ(optimize_png_lossless(result, image, job), 1) << variant;
        EXPECT_EQ(job.result, 1) << variant;
        EXPECT_TRUE(result.empty()) << variant;
        EXPECT_TRUE(image.empty()) << variant;
    }
}

TEST(EncodeOnce, PassesTheCodecCodeOnAndReportsNoSize) {
    const picture p = pictures()[0];
    image_job job = analysed_job(p, 2, false);
    lodepng::State state;
    bytes image = p.pixels;
    bytes out;
    const uint32_t size = encode_once(state, image, out, true, false, job);
    EXPECT_GT(size, 37u);
    EXPECT_EQ(size, out.size());
    EXPECT_EQ(job.result, 0);

    image_job broken = job;
    broken.height += 1;  // more rows than the image holds
    lodepng::State other;
    const uint32_t failed = encode_once(other, image, out, false, false, broken);
    EXPECT_EQ(failed, 0u);
    EXPECT_NE(broken.result, 0);
    EXPECT_TRUE(out.empty());
}

}  // namespace
