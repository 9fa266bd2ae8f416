#include "core/png/lossless_search.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "core/png/codec/decode.h"
#include "core/png/codec/encode.h"
#include "core/png/encoder_settings.h"
#include "core/png/codec/filters.h"
#include "core/png/codec/palette_order.h"
#include "core/png/trial_encode.h"
#include "core/png/transparent_colour.h"
#include "core/transparency.h"

namespace {

// A PNG of at most this many bytes is no usable result.
constexpr size_t min_png_bytes = 37;

constexpr uint32_t small_image_pixels = 65536;        // order pairs switch above this
constexpr uint32_t huge_photo_pixels = 16777215;      // photo road: decide on a strip
constexpr uint32_t photo_preset_pixels = 10061584;    // photo road: preset filters above
constexpr uint32_t photo_strip_rows = 128;
constexpr uint32_t palette_average_pixels = 65536;    // palette fill from its mean above
constexpr uint32_t huge_palette_pixels = 8959999;
constexpr uint32_t translucent_trial_pixels = 16384;
constexpr uint32_t small_palette_best = 4095;
constexpr uint32_t strategy11_colours = 1280;
constexpr uint32_t tolerance_colours = 96;
constexpr float palette_tolerance = 96.0f;
constexpr float translucent_tolerance = 98.5f;

// The strongest level adds candidate encodes to the search. Each replaces the
// result only when it is smaller, so that level never ends larger than the
// search without them.
constexpr uint8_t candidate_level = 4;
// Row filters tried on photographs with the fast road's quick compressor: sub
// on every row, and the two choices by one persistent stream over the image.
// The heuristic choice of the search itself is its own result.
constexpr uint32_t photo_candidate_filters[] = {1, 11, 12};
constexpr int candidate_trial_level = 80;
constexpr uint32_t whole_image_strategy = 11;
// Above the strategy-11 pixel limit a whole-image filter choice earns its own
// strong encode only when its quick trial is smaller by at least one part in
// this many: a smaller lead seldom survives the strong compressor.
constexpr uint32_t whole_image_lead = 1000;

int pick(uint32_t pixels, int small_code, int large_code) {
    return pixels < small_image_pixels + 1 ? small_code : large_code;
}

// Replaces the work image by the pixels of `png` decoded with `state`; the
// image stays as it was when decoding fails.
void decode_into(std::vector<uint8_t>& image, const std::vector<uint8_t>& png,
                 lodepng::State& state) {
    std::vector<uint8_t> decoded;
    uint32_t width = 0;
    uint32_t height = 0;
    if (decode_png(decoded, width, height, state, png) == 0 && decoded.size() == image.size()) {
        image.swap(decoded);
    }
}

// Preset filter bytes from a PNG: strategy 6 with them, or nothing changes
// when they cannot be read.
void preset_filters_from(const std::vector<uint8_t>& png, std::vector<uint8_t>& filters,
                         lodepng::State& state, image_job& job) {
    std::vector<uint8_t> read;
    if (read_png_filter_bytes(read, png, job.height)) return;
    filters.swap(read);
    set_filter_code(6, state, job);
    state.encoder.preset_filters = filters.data();
    state.encoder.preset_filter_count = filters.size();
}

bool cleaning_allowed(const image_job& job) {
    return job.may_clean_transparent && !job.single_alpha;
}

// Any strategy 0-13 on the state, sub and up included (the filter codes of
// the settings give no filter for codes 1 and 2).
void use_filter_strategy(uint32_t strategy, lodepng::State& state, image_job& job) {
    state.encoder.filter_strategy_code = strategy;
    job.filter_strategy = static_cast<uint8_t>(strategy);
}

// Everything one search call owns; released on return.
struct search {
    std::vector<uint8_t>& result;  // R
    std::vector<uint8_t>& image;
    image_job& job;
    lodepng::State s0;
    lodepng::State s1;  // unfiltered parallel trial, kept for its palette
    bool parallel_ran = false;
    png_palette_order p0{};
    std::vector<uint8_t> spare;    // V
    std::vector<uint8_t> filters;  // F
    uint32_t unfiltered = 0;       // U
    uint32_t filtered = 0;         // Fs
    uint32_t best = 0;
    const uint32_t strategy11_limit;  // as the search found it (the parallel trials clear it)

    search(std::vector<uint8_t>& r, std::vector<uint8_t>& i, image_job& j)
        : result(r),
          image(i),
          job(j),
          unfiltered(j.trial_size_unfiltered),
          filtered(j.trial_size_filtered),
          best(j.trial_size_best),
          strategy11_limit(j.strategy11_pixel_limit) {}

    uint8_t colour_type() const { return job.colour_type; }

    // Ends the search without a result: nothing may be written.
    uint8_t fail(uint32_t code) {
        result.clear();
        result.shrink_to_fit();
        image.clear();
        image.shrink_to_fit();
        job.result = static_cast<uint8_t>(code == 0 ? 1 : code);
        return job.result;
    }

    uint8_t finish(uint32_t code) {
        job.trial_size_unfiltered = unfiltered;
        job.trial_size_filtered = filtered;
        job.trial_size_best = best;
        job.result = static_cast<uint8_t>(code);
        return job.result;
    }

    void entry_cleanup();
    uint8_t few_colour_road();
    uint8_t photo_road();
    uint8_t general_road();
    uint8_t sequential_filter_trials();
    uint8_t parallel_filter_trials();
    uint8_t unfiltered_wins();
    uint8_t filtered_wins_road();
    uint8_t strategy11_and_presets();
    uint8_t palette_ladder(bool filter_won);
    uint8_t palette_order_trials();
    uint8_t final_encode(const std::vector<uint8_t>* compare = nullptr);
    uint8_t photo_candidates();
    uint32_t filter_trial(uint32_t strategy, bool quick_trial_level, std::vector<uint8_t>& out) const;
    void try_filters_of(const std::vector<uint8_t>& trial, bool candidate_compressor);
};

void search::entry_cleanup() {
    if (job.may_clean_transparent) {
        if (job.single_alpha && colour_type() != 3) {
            fill_transparent_unused_colour(image.data(), job);
            s0.encoder.clean_transparent = 0;
            job.may_clean_transparent = 0;
        } else {
            fill_transparent(image.data(), 0, 0, 0, job);
        }
    } else {
        s0.encoder.clean_transparent = 0;
    }
}

// Same colour type at 8 bits per sample against the packed depth that the
// automatic choice took.
uint8_t search::few_colour_road() {
    set_palette_order(4, p0);
    set_filter_code(0, s0, job);
    if (job.png_level < 3 || job.colour_count <= 4) return final_encode();

    select_deflate_by_statistics(1, s0, job);
    uint32_t code = encode_image(result, image, s0, p0, job);
    if (code != 0) return fail(code);
    decode_into(image, result, s0);

    s0.encoder.auto_colour = 0;
    s0.raw_mode.bit_depth = 8;
    png_colour_mode& mode = s0.file_info.colour;
    if (mode.colour_type == 0 && mode.key_defined && mode.bit_depth < 8) {
        // A grey key keeps naming the same grey at 8 bits.
        mode.key_red = mode.key_red * 255 / ((1u << mode.bit_depth) - 1);
    }
    mode.bit_depth = 8;
    code = encode_image(spare, image, s0, p0, job);
    if (code == 0 && result.size() >= spare.size()) {
        result.swap(spare);
    } else {
        s0.encoder.auto_colour = 1;
    }
    best = size_of(result);
    if (code != 0) return fail(code);
    return finish(0);
}

uint8_t search::photo_road() {
    const uint32_t pixels = job.pixel_count;
    if (pixels > huge_photo_pixels) {
        const uint32_t rows = std::min(job.height, photo_strip_rows);
        const size_t strip_bytes = static_cast<size_t>(rows) * job.width * 4;
        std::vector<uint8_t> strip(image.begin(), image.begin() + strip_bytes);
        set_filter_code(8, s0, job);
        select_deflate_level(77, s0, job);
        uint32_t code = encode_rows(spare, strip, job.width, rows, s0, p0);
        if (code != 0) return fail(code);
        select_deflate_level(10, s0, job);
        code = encode_rows(result, strip, job.width, rows, s0, p0);
        if (code != 0) return fail(code);
        if (spare.size() < result.size()) {
            select_deflate_level(77, s0, job);
        } else {
            select_deflate_by_statistics(0, s0, job);
        }
        code = encode_image(result, image, s0, p0, job);
        best = size_of(result);
        if (code != 0) return fail(code);
        return finish(0);
    }

    set_filter_code(8, s0, job);
    select_deflate_level(77, s0, job);
    if (encode_image(spare, image, s0, p0, job) != 0) return fail(1);
    if (job.png_level <= 3 || pixels > photo_preset_pixels) {
        preset_filters_from(spare, filters, s0, job);
    }
    const uint8_t code = final_encode(&spare);
    if (code != 0 || job.png_level != candidate_level || pixels > photo_preset_pixels) return code;
    return photo_candidates();
}

// Level 4: the photograph's result used one heuristic filter choice. Filter
// choices by trial compression are encoded with the quick compressor (at the
// same time when the trials may run in parallel); the smallest one's row
// filters are encoded again with the candidate compressor.
uint8_t search::photo_candidates() {
    constexpr size_t count = std::size(photo_candidate_filters);
    std::vector<uint8_t> trials[count];
    uint32_t sizes[count];
    decide_parallel_deflate(job);
    if (job.parallel_trials) {
#pragma omp parallel sections
        {
#pragma omp section
            { sizes[0] = filter_trial(photo_candidate_filters[0], true, trials[0]); }
#pragma omp section
            { sizes[1] = filter_trial(photo_candidate_filters[1], true, trials[1]); }
#pragma omp section
            { sizes[2] = filter_trial(photo_candidate_filters[2], true, trials[2]); }
        }
    } else {
        for (size_t i = 0; i < count; ++i) sizes[i] = filter_trial(photo_candidate_filters[i], true, trials[i]);
    }
    const size_t winner = static_cast<size_t>(std::min_element(sizes, sizes + count) - sizes);
    if (sizes[winner] != no_size) try_filters_of(trials[winner], true);
    best = size_of(result);
    return finish(0);
}

uint8_t search::general_road() {
    select_deflate_by_statistics(1, s0, job);
    decide_parallel_deflate(job);
    const uint8_t code = job.parallel_trials ? parallel_filter_trials() : sequential_filter_trials();
    if (code != 0) return code;

    const uint8_t type = colour_type();
    const uint32_t colours = job.colour_count;
    job.filtered_wins = filtered < unfiltered;
    if (type == 3) {
        if (filtered < unfiltered) {
            best = filtered;
            return palette_ladder(true);
        }
        if (filtered == unfiltered) return unfiltered_wins();
        const float ratio = 100.0f * static_cast<float>(unfiltered) / static_cast<float>(filtered);
        job.filtered_wins = ratio > palette_tolerance && colours > tolerance_colours;
        if (job.filtered_wins) {
            best = filtered;
            return palette_ladder(true);
        }
        return unfiltered_wins();
    }
    if (job.translucent_percent != 0) {
        if (filtered < unfiltered) return filtered_wins_road();
        if (filtered == unfiltered || type <= 2) return unfiltered_wins();
        const float ratio = 100.0f * static_cast<float>(unfiltered) / static_cast<float>(filtered);
        job.filtered_wins = ratio > translucent_tolerance && colours > tolerance_colours;
        return job.filtered_wins ? filtered_wins_road() : unfiltered_wins();
    }
    return filtered < unfiltered ? filtered_wins_road() : unfiltered_wins();
}

uint8_t search::sequential_filter_trials() {
    set_palette_order(4, p0);
    set_filter_code(0, s0, job);
    if (encode_image(result, image, s0, p0, job) != 0) return fail(1);
    unfiltered = size_of(result);

    read_colour_type(1, s0, job);
    const uint8_t type = colour_type();
    if (type > 3 && cleaning_allowed(job)) propagate_transparent(image.data(), job);
    set_palette_order(pick(job.pixel_count, 10, 1), p0);
    set_filter_strategy(s0, job);
    if (type == 4) {
        // The round trip's own stored PNG must not stand in for a trial.
        std::vector<uint8_t> round_trip;
        normalise_by_round_trip(image, round_trip, s0, p0, job);
    }
    if (encode_image(result, image, s0, p0, job) != 0) return fail(1);
    filtered = size_of(result);
    return 0;
}

uint8_t search::parallel_filter_trials() {
    std::vector<uint8_t> copy1 = image;
    const bool with_strategy11 = job.png_level > 3 && job.pixel_count < job.strategy11_pixel_limit &&
                                 colour_type() != 3 && job.colour_count > strategy11_colours &&
                                 job.deflate_level == 0;
    std::vector<uint8_t> copy2;
    if (with_strategy11) copy2 = image;
    std::vector<uint8_t> spare3;
    lodepng::State s2;
    lodepng::State s3;
    image_job jobs[3] = {job, job, job};
    uint32_t sizes[3] = {no_size, no_size, no_size};

#pragma omp parallel sections
    {
#pragma omp section
        { sizes[0] = encode_once(s1, copy1, result, false, false, jobs[0]); }
#pragma omp section
        { sizes[1] = encode_once(s2, image, spare, true, false, jobs[1]); }
#pragma omp section
        {
            if (with_strategy11) sizes[2] = encode_once(s3, copy2, spare3, true, true, jobs[2]);
        }
    }
    parallel_ran = true;
    job.strategy11_pixel_limit = 0;

    // A failed section is no candidate: the search ends as a failed
    // sequential trial does.
    for (int i = 0; i < 3; ++i) {
        if (i == 2 && !with_strategy11) break;
        if (jobs[i].result != 0 || sizes[i] == 0) return fail(1);
    }
    unfiltered = sizes[0];
    filtered = std::min(sizes[1], sizes[2]);
    if (sizes[2] < sizes[1]) spare.swap(spare3);
    if (sizes[0] < sizes[1]) {
        set_palette_order(4, p0);
        set_filter_code(0, s0, job);
    } else {
        set_palette_order(1, p0);
        set_filter_strategy(s0, job);
    }
    if (job.colour_count <= 256) job.colour_type = 3;
    return 0;
}

uint8_t search::unfiltered_wins() {
    const uint8_t type = colour_type();
    if ((type == 4 || type == 6) && job.may_clean_transparent) {
        fill_transparent(image.data(), 0, 0, 0, job);
    }
    set_palette_order(4, p0);
    set_filter_code(0, s0, job);
    best = unfiltered;
    if (type == 3) return palette_ladder(false);
    return final_encode();
}

uint8_t search::filtered_wins_road() {
    if (spare.size() > min_png_bytes) result.swap(spare);
    best = filtered;
    if (colour_type() == 3) return palette_ladder(true);
    return strategy11_and_presets();
}

uint8_t search::strategy11_and_presets() {
    const bool strategy11_pays =
        job.png_level > 3 && job.colour_count > strategy11_colours && job.deflate_level == 0;
    std::vector<uint8_t> whole_image_trial;
    if (strategy11_pays && job.pixel_count < job.strategy11_pixel_limit) {
        job.filter_trial = 1;
        set_filter_strategy(s0, job);
        const uint32_t code = encode_image(spare, image, s0, p0, job);
        if (code != 0) return fail(code);
        if (size_of(spare) < best) {
            result.swap(spare);
            job.filter_candidate = job.filter_strategy;
            filtered = best = size_of(result);
        }
    } else {
        job.filter_trial = 0;
        // Level 4 above the pixel limit: the whole-image choice is tried too,
        // and with a clear lead it gets a strong encode of its own.
        const uint8_t type = colour_type();
        if (job.png_level == candidate_level && strategy11_pays && job.pixel_count >= strategy11_limit &&
            (type == 2 || type == 6)) {
            const uint32_t size = filter_trial(whole_image_strategy, false, whole_image_trial);
            if (size == no_size || size >= best - best / whole_image_lead) whole_image_trial.clear();
        }
    }
    preset_filters_from(result, filters, s0, job);
    if (colour_type() == 6 && job.translucent_percent > 2 && job.may_clean_transparent) {
        // The image takes the transparent-pixel colours the winning trial wrote.
        decode_into(image, result, s0);
    }
    const uint8_t code = final_encode();
    if (code != 0 || whole_image_trial.empty()) return code;
    try_filters_of(whole_image_trial, false);
    best = size_of(result);
    return finish(0);
}

uint8_t search::palette_ladder(bool filter_won) {
    const uint32_t pixels = job.pixel_count;
    bool averaging = true;
    if (job.translucent_percent != 0) {
        if (best <= small_palette_best && pixels <= translucent_trial_pixels) {
            s0.encoder.auto_colour = 0;
            s0.file_info.colour.colour_type = job.is_grey ? 4 : 6;
            s0.file_info.colour.bit_depth = 8;
            s0.file_info.colour.key_defined = 0;
            set_filter_code(0, s0, job);
            const uint32_t code = encode_image(result, image, s0, p0, job);
            if (code != 0) return fail(code);
            if (result.size() > min_png_bytes && size_of(result) < best) {
                best = size_of(result);
                job.filtered_wins = 0;
                job.colour_type = job.is_grey ? 4 : 6;
                return final_encode();
            }
            s0.encoder.auto_colour = 1;
        }
    } else {
        s0.encoder.auto_colour = 0;
        s0.file_info.colour.colour_type = job.is_grey ? 0 : 2;
        s0.file_info.colour.bit_depth = 8;
        s0.file_info.colour.key_defined = 0;
        if (job.is_grey || filter_won) {
            const uint32_t code = encode_image(result, image, s0, p0, job);
            if (code != 0) return fail(code);
            if (result.size() > min_png_bytes && size_of(result) < best) {
                best = size_of(result);
                job.colour_type = job.is_grey ? 0 : 2;
                return job.filtered_wins ? strategy11_and_presets() : final_encode();
            }
        }
        s0.encoder.auto_colour = 1;
    }

    // Palette of reference: what the last automatic unfiltered or filtered
    // trial wrote.
    const png_colour_mode& reference = parallel_ran ? s1.result_mode : s0.result_mode;
    const size_t entries = reference.palette ? reference.palette_size : 0;
    if (job.may_clean_transparent) {
        uint16_t translucent_entries = 0;
        uint64_t sums[3] = {0, 0, 0};
        for (size_t i = 0; i < entries; ++i) {
            const uint8_t* entry = reference.palette + 4 * i;
            if (entry[3] != 255) ++translucent_entries;
            for (int c = 0; c < 3; ++c) sums[c] += entry[c];
        }
        job.trns_length = translucent_entries;
        if (job.translucent_percent != 0) {
            if (pixels <= palette_average_pixels) averaging = false;
            if (averaging && entries != 0) {
                fill_transparent(image.data(), static_cast<uint8_t>(sums[0] / entries),
                                 static_cast<uint8_t>(sums[1] / entries),
                                 static_cast<uint8_t>(sums[2] / entries), job);
            }
        }
    }
    if (averaging && pixels > huge_palette_pixels && entries <= 128 && job.stat_same > 69 &&
        job.filtered_wins) {
        set_palette_order(3, p0);
        set_filter_code(5, s0, job);
        return final_encode();
    }
    return palette_order_trials();
}

uint8_t search::palette_order_trials() {
    const uint32_t pixels = job.pixel_count;
    const uint8_t level = job.png_level;
    set_filter_code(8, s0, job);

    png_palette_order orders[4]{};
    set_palette_order(pick(pixels, 11, 2), orders[0]);
    orders[1].order_mode = 6;
    if (pixels <= small_image_pixels) {
        set_palette_order(12, orders[2]);
    } else {
        orders[2].order_mode = 7;
    }
    set_palette_order(pick(pixels, 13, 11), orders[3]);
    const bool runs[4] = {true, level >= 2, level >= 2, level >= 4};

    std::vector<uint8_t> spare2;
    std::vector<uint8_t> spare3;
    std::vector<uint8_t>* outs[4] = {&spare, &spare2, &spare3, &result};
    uint32_t sizes[4] = {no_size, no_size, no_size, no_size};
    uint32_t codes[4] = {0, 0, 0, 0};

    if (job.parallel_trials) {
        lodepng::State states[4] = {s0, s0, s0, s0};
#pragma omp parallel sections
        {
#pragma omp section
            { codes[0] = encode_image(*outs[0], image, states[0], orders[0], job); }
#pragma omp section
            {
                if (runs[1]) codes[1] = encode_image(*outs[1], image, states[1], orders[1], job);
            }
#pragma omp section
            {
                if (runs[2]) codes[2] = encode_image(*outs[2], image, states[2], orders[2], job);
            }
#pragma omp section
            {
                if (runs[3]) codes[3] = encode_image(*outs[3], image, states[3], orders[3], job);
            }
        }
    } else {
        for (int i = 0; i < 4; ++i) {
            if (runs[i]) codes[i] = encode_image(*outs[i], image, s0, orders[i], job);
        }
    }
    for (int i = 0; i < 4; ++i) {
        if (!runs[i]) continue;
        if (codes[i] != 0) return fail(codes[i]);
        sizes[i] = size_of(*outs[i]);
    }
    const uint32_t t1 = sizes[0], t2 = sizes[1], t3 = sizes[2], t4 = sizes[3];

    // Tie flags: a trial that matches the smallest keeps its order even when
    // it is not strictly below the best so far.
    bool g1 = false, g2 = false, g3 = false, g4 = false;
    if (!job.filtered_wins) {
        uint32_t f = filtered;
        g1 = t1 <= std::min({t2, t3, t4}) && t1 <= f;
        if (g1) f = t1;
        g2 = t2 <= std::min({t1, t3, t4}) && t2 <= f;
        if (g2) f = t2;
        g3 = t3 <= std::min({t1, t2, t4}) && t3 <= f;
        if (g3) f = t3;
        g4 = t4 <= std::min({t1, t2, t3}) && t4 <= f;
        if (g4) f = t4;
        filtered = f;
        if (f > best) {
            const float ratio = 100.0f * static_cast<float>(best) / static_cast<float>(f);
            job.filtered_wins = ratio > palette_tolerance && job.colour_count > tolerance_colours;
        }
        if (job.filtered_wins) {
            set_palette_order(pick(pixels, 10, 1), p0);
        } else {
            g1 = g2 = g3 = g4 = false;
        }
    } else {
        set_palette_order(pick(pixels, 10, 1), p0);
    }

    bool ladder = false;
    if (t1 < best || g1) {
        ladder = true;
        set_palette_order(pick(pixels, 11, 2), p0);
        best = t1;
    }
    if (t2 < best || g2) {
        ladder = true;
        set_palette_order(20, p0);
        best = t2;
    }
    if (t3 < best || g3) {
        ladder = true;
        set_palette_order(pixels <= small_image_pixels ? 12 : 30, p0);
        best = t3;
    }
    if (t4 < best || g4) {
        ladder = true;
        set_palette_order(pick(pixels, 13, 11), p0);
        best = t4;
    }
    if (!ladder) {
        const uint16_t translucent_entries = job.trns_length;
        set_palette_order(translucent_entries >= 24 ? 3 : translucent_entries >= 1 ? 0 : 4, p0);
        set_filter_code(0, s0, job);
    }
    return final_encode();
}

// The level's strong compressor on the settings that won. `compare`, when
// given, replaces the result when strictly smaller (the photo road's level-77
// trial).
uint8_t search::final_encode(const std::vector<uint8_t>* compare) {
    select_deflate_by_statistics(0, s0, job);
    if (encode_image(result, image, s0, p0, job) != 0) return fail(1);
    if (compare && !compare->empty() && compare->size() < result.size()) result = *compare;
    best = size_of(result);
    return finish(0);
}

// One trial of a row-filter strategy on copies of S0 and the job, with the
// fast road's quick compressor or S0's own. Returns its size, no_size when it
// failed.
uint32_t search::filter_trial(uint32_t strategy, bool quick_trial_level, std::vector<uint8_t>& out) const {
    lodepng::State state = s0;
    image_job trial_job = job;
    use_filter_strategy(strategy, state, trial_job);
    if (quick_trial_level) select_deflate_level(candidate_trial_level, state, trial_job);
    return encode_image(out, image, state, p0, trial_job) == 0 ? size_of(out) : no_size;
}

// Encodes the image again with the row filters that `trial` used and the
// candidate compressor, or the level's final one; the encode replaces the
// result when it is smaller. When the trial may have recoloured fully
// transparent pixels while filtering, the image is taken from the trial, so
// that the filters see the rows they were chosen for.
void search::try_filters_of(const std::vector<uint8_t>& trial, bool candidate_compressor) {
    std::vector<uint8_t> presets;
    if (read_png_filter_bytes(presets, trial, job.height)) return;
    lodepng::State state = s0;
    image_job encode_job = job;
    set_filter_code(6, state, encode_job);
    state.encoder.preset_filters = presets.data();
    state.encoder.preset_filter_count = presets.size();
    if (candidate_compressor) {
        select_deflate_for_candidates(state, encode_job);
    } else {
        select_deflate_by_statistics(0, state, encode_job);
    }
    std::vector<uint8_t> recoloured;
    if (state.encoder.clean_transparent && job.translucent_count != 0) {
        recoloured = image;
        lodepng::State decoder;
        decode_into(recoloured, trial, decoder);
    }
    std::vector<uint8_t> out;
    if (encode_image(out, recoloured.empty() ? image : recoloured, state, p0, encode_job) != 0 ||
        out.size() >= result.size()) {
        return;
    }
    result.swap(out);
    if (!recoloured.empty()) image.swap(recoloured);
}

}  // namespace

uint32_t encode_once(lodepng::State& state, std::vector<uint8_t>& image, std::vector<uint8_t>& out,
                     bool filtered, bool strategy11, image_job& job) {
    if (!job.may_clean_transparent || job.single_alpha) state.encoder.clean_transparent = 0;
    select_deflate_by_statistics(1, state, job);
    png_palette_order order{};
    if (filtered) {
        if (cleaning_allowed(job) && job.colour_type > 3) propagate_transparent(image.data(), job);
        set_palette_order(pick(job.pixel_count, 10, 1), order);
        if (strategy11) {
            set_filter_code(11, state, job);
        } else {
            set_filter_strategy(state, job);
        }
    } else {
        set_palette_order(4, order);
        set_filter_code(0, state, job);
    }
    const uint32_t code = encode_image(out, image, state, order, job);
    job.result = static_cast<uint8_t>(code);
    return code == 0 ? size_of(out) : 0;
}

uint8_t optimize_png_lossless(std::vector<uint8_t>& result, std::vector<uint8_t>& image,
                              image_job& job) {
    search s(result, image, job);
    if (!geometry_matches(image, job)) return s.fail(1);
    s.entry_cleanup();
    if (job.few_colours) return s.few_colour_road();
    if (job.photo_like) return s.photo_road();
    return s.general_road();
}
