#include "core/png/fast_and_lossy.h"

#include <algorithm>
#include <utility>

#include "core/png/codec/encode.h"
#include "core/png/encoder_settings.h"
#include "core/png/codec/palette_order.h"
#include "core/png/trial_encode.h"
#include "core/png/transparent_colour.h"
#include "core/posterize.h"
#include "core/transparency.h"

namespace {

constexpr uint32_t photo_strip_rows = 128;
constexpr uint32_t few_colours_without_filter = 96;

bool cleaning_allowed(const image_job& job) {
    return job.may_clean_transparent && !job.single_alpha;
}

uint8_t settle(image_job& job, uint32_t code) {
    job.result = static_cast<uint8_t>(code);
    return job.result;
}

// Grey- and palette-planned images: order and filter from how much
// neighbouring pixels change.
void statistics_settings(std::vector<uint8_t>& image, lodepng::State& state, image_job& job,
                         png_palette_order& order) {
    if (job.stat_changed >= job.stat_same) {
        set_palette_order(2, order);
        set_filter_code(4, state, job);
    } else {
        set_palette_order(0, order);
        set_filter_code(0, state, job);
    }
    if (job.is_grey && job.stat_same < job.stat_changed) {
        if (cleaning_allowed(job)) fill_transparent(image.data(), 255, 255, 255, job);
        set_palette_order(22, order);
        set_filter_code(8, state, job);
    }
    if (job.colour_count <= few_colours_without_filter) {
        set_palette_order(4, order);
        set_filter_code(0, state, job);
    }
}

// Decides between level codes 77 and 7 on the first rows, then encodes the
// whole image once with the winner's family (77 or 8).
uint8_t photo_encode(std::vector<uint8_t>& result, const std::vector<uint8_t>& image,
                     lodepng::State& state, image_job& job, const png_palette_order& order) {
    const uint32_t rows = std::min(job.height, photo_strip_rows);
    const size_t strip_bytes = static_cast<size_t>(rows) * job.width * 4;
    const std::vector<uint8_t> strip(image.begin(), image.begin() + strip_bytes);
    std::vector<uint8_t> spare;
    set_filter_code(8, state, job);
    select_deflate_level(77, state, job);
    uint32_t code = encode_rows(spare, strip, job.width, rows, state, order);
    if (code != 0) return settle(job, code);
    select_deflate_level(7, state, job);
    code = encode_rows(result, strip, job.width, rows, state, order);
    if (code != 0) return settle(job, code);
    select_deflate_level(spare.size() < result.size() ? 77 : 8, state, job);
    return settle(job, encode_image(result, image, state, order, job));
}

uint8_t sequential_race(std::vector<uint8_t>& result, std::vector<uint8_t>& image,
                        lodepng::State& state, image_job& job, const png_palette_order& order) {
    std::vector<uint8_t> spare;
    set_filter_code(0, state, job);
    uint32_t code = encode_image(result, image, state, order, job);
    if (code != 0) return settle(job, code);
    job.trial_size_unfiltered = size_of(result);
    if (job.colour_type > 3 && cleaning_allowed(job)) propagate_transparent(image.data(), job);
    if (job.colour_type == 4) {
        // The round trip's stored PNG is scratch; the unfiltered trial stays.
        std::vector<uint8_t> round_trip;
        normalise_by_round_trip(image, round_trip, state, order, job);
    }
    set_filter_code(8, state, job);
    code = encode_image(spare, image, state, order, job);
    if (code != 0) return settle(job, code);
    job.trial_size_filtered = size_of(spare);
    if (job.trial_size_filtered < job.trial_size_unfiltered) result.swap(spare);
    return settle(job, 0);
}

uint8_t parallel_race(std::vector<uint8_t>& result, std::vector<uint8_t>& image, image_job& job) {
    std::vector<uint8_t> copy = image;
    std::vector<uint8_t> spare;
    image_job jobs[2] = {job, job};
    uint32_t sizes[2] = {no_size, no_size};
#pragma omp parallel sections
    {
#pragma omp section
        { sizes[0] = fast_trial_encode(image, spare, false, jobs[0]); }
#pragma omp section
        { sizes[1] = fast_trial_encode(copy, result, true, jobs[1]); }
    }
    // A failed section is no candidate, and its code is the road's result.
    for (int i = 0; i < 2; ++i) {
        if (jobs[i].result != 0 || sizes[i] == 0) {
            result.clear();
            return settle(job, jobs[i].result != 0 ? jobs[i].result : 1);
        }
    }
    job.trial_size_unfiltered = sizes[0];
    job.trial_size_filtered = sizes[1];
    if (sizes[0] < sizes[1]) result.swap(spare);
    return job.result;
}

}  // namespace

uint32_t fast_trial_encode(std::vector<uint8_t>& image, std::vector<uint8_t>& out, bool filtered,
                           image_job& job) {
    lodepng::State state;
    if (!job.may_clean_transparent || job.single_alpha) state.encoder.clean_transparent = 0;
    select_deflate_level(80, state, job);
    png_palette_order order{};
    set_palette_order(4, order);
    if (filtered) {
        if (cleaning_allowed(job) && job.colour_type > 3) propagate_transparent(image.data(), job);
        set_filter_code(8, state, job);
    } else {
        set_filter_code(0, state, job);
    }
    const uint32_t code = encode_image(out, image, state, order, job);
    job.result = static_cast<uint8_t>(code);
    return code == 0 ? size_of(out) : 0;
}

uint8_t optimize_png_fast(std::vector<uint8_t>& result, std::vector<uint8_t>& image,
                          lodepng::State& state, image_job& job) {
    if (!geometry_matches(image, job)) return settle(job, 1);
    if (!job.may_clean_transparent) {
        state.encoder.clean_transparent = 0;
    } else if (job.single_alpha) {
        fill_transparent_unused_colour(image.data(), job);
        state.encoder.clean_transparent = 0;
        job.may_clean_transparent = 0;
    } else {
        fill_transparent(image.data(), 0, 0, 0, job);
    }

    png_palette_order order{};
    const uint8_t type = job.colour_type;
    if (type == 0 || type == 3) {
        statistics_settings(image, state, job, order);
        if (type == 3 && !job.photo_like) {
            select_deflate_by_statistics(0, state, job);
            return settle(job, encode_image(result, image, state, order, job));
        }
    }
    if (job.photo_like) return photo_encode(result, image, state, job, order);

    select_deflate_level(80, state, job);
    decide_parallel_deflate(job);
    if (job.parallel_trials) return parallel_race(result, image, job);
    return sequential_race(result, image, state, job, order);
}

uint8_t optimize_png_lossy(std::vector<uint8_t>& result, std::vector<uint8_t>& image,
                           image_job& job) {
    if (!geometry_matches(image, job)) return settle(job, 1);
    lodepng::State state;
    set_filter_code(8, state, job);
    posterize(image.data(), job);
    select_deflate_for_level(state, job);
    const png_palette_order order{};
    return settle(job, encode_image(result, image, state, order, job));
}

uint8_t optimize_png_lossy_or_fast(std::vector<uint8_t>& result, std::vector<uint8_t>& image,
                                   lodepng::State& state, image_job& job, size_t input_size) {
    // Posterising works in place; the prepared pixels are kept for the
    // lossless fallback, which must write the same (converted, resized) image
    // whose geometry and colour-profile decision the job already holds.
    std::vector<uint8_t> prepared = image;
    const uint8_t code = optimize_png_lossy(result, image, job);
    if (code != 0 || result.size() <= input_size) return code;
    result.clear();
    image.swap(prepared);
    prepared.clear();
    prepared.shrink_to_fit();
    job.result = 0;
    return optimize_png_fast(result, image, state, job);
}

uint8_t optimize_png_palette(std::vector<uint8_t>& result, std::vector<uint8_t>& image,
                             image_job& job) {
    if (!geometry_matches(image, job)) return settle(job, 1);
    encode_png_palette(result, image.data(), 0, job);
    if (job.result == 0 && result.empty()) job.result = 1;
    return job.result;
}
