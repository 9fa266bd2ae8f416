#include "core/png/encoder_settings.h"

#include <cmath>

#include "core/png/compressor_callbacks.h"

namespace {

// Pixel-count and colour-count limits of the decisions below.
constexpr uint32_t rgba_row_trial_pixel_limit = 2795584;  // RGBA above: strategy 12
constexpr uint32_t filter_gate_pixel_limit = 67108863;
constexpr uint32_t filter_gate_colour_limit = 1280;       // more colours keep the candidate
constexpr uint32_t large_image_pixels = 1048576;
constexpr uint32_t small_image_pixels = 147455;
constexpr uint32_t medium_image_pixels = 3686400;
constexpr uint32_t big_image_pixels = 10061584;
constexpr uint32_t huge_image_pixels = 16777216;
constexpr uint32_t palette_level0_pixels = 786432;        // level 0 palette: 88 below, 9 from here
constexpr uint32_t palette_iteration_pixels = 786431;
constexpr uint32_t palette_iteration_min_pixels = 65537;
constexpr uint32_t parallel_min_pixels = 16385;
constexpr uint32_t parallel_max_pixels = 16777216;
constexpr uint32_t parallel_palette_min_pixels = 90000;

// Iterations of the Zopfli-style compressor for the level-4 candidate encodes.
constexpr uint32_t candidate_zopfli_iterations = 15;

constexpr uint8_t backend_level = 1;
constexpr uint8_t backend_zopfli = 2;

bool is_palette(const image_job& job) { return job.colour_type == 3; }

void select_zopfli(uint32_t level, uint32_t iterations, lodepng::State& state, image_job& job) {
    job.zopfli_setting = static_cast<uint16_t>(level | (iterations << 8));
    job.deflate_threads = job.threads;
    job.deflate_backend = backend_zopfli;
    state.encoder.compression.compressor = zopfli_callback;
    state.encoder.compression.compressor_context = &job;
}

// Iterations of the final Zopfli encode at PNG level 3 and above.
uint32_t final_zopfli_iterations(const image_job& job) {
    const uint32_t level = job.png_level;
    const uint32_t pixels = job.pixel_count;
    const bool few = job.colour_count <= 4;
    if (level == 3) {
        if (few) return 60;
        return job.filtered_wins ? 4 : 2;
    }
    if (few) return 80;
    if (!is_palette(job)) return job.filtered_wins ? 8 : 4;
    if (job.filtered_wins) return pixels > palette_iteration_pixels ? 16 : 10;
    const bool middle = pixels >= palette_iteration_min_pixels && pixels <= palette_iteration_pixels;
    return middle ? 8 : 10;
}

void select_trial_deflate(lodepng::State& state, image_job& job) {
    const uint32_t level = job.png_level;
    const uint32_t pixels = job.pixel_count;
    uint8_t base = 0;
    if (is_palette(job)) {
        base = 7;
    } else {
        const uint64_t same_or_clear = job.translucent_percent + job.stat_same;
        if ((same_or_clear > 70 && job.stat_changed > 20) ||
            (same_or_clear > 90 && job.stat_changed <= 7 && job.colour_count <= 4095)) {
            base = 7;
        }
    }
    job.deflate_level = base;

    if (job.few_colours) {
        if (level <= 2) {
            select_deflate_level(job.photo_like ? 7 : 11, state, job);
        } else if (level == 3) {
            select_zopfli(5, 2, state, job);
        } else {
            select_zopfli(5, 8, state, job);
        }
        return;
    }
    if (job.photo_like) {
        if (level <= 2) {
            select_deflate_level(7, state, job);
        } else if (level == 3) {
            const int code = pixels <= small_image_pixels    ? 11
                             : pixels <= medium_image_pixels ? 10
                             : pixels <= big_image_pixels    ? 9
                                                             : 8;
            select_deflate_level(code, state, job);
        } else if (pixels <= big_image_pixels) {
            select_deflate_level(8, state, job);
        } else if (job.threads <= 3) {
            select_deflate_level(9, state, job);
        } else {
            select_zopfli(5, 1, state, job);
        }
        return;
    }
    select_deflate_level(base, state, job);
}

void select_final_deflate(lodepng::State& state, image_job& job) {
    const uint32_t level = job.png_level;
    const uint32_t pixels = job.pixel_count;
    const bool palette = is_palette(job);
    if (level == 0) {
        int code = 8;
        if (palette && job.colour_count > 96) code = pixels < palette_level0_pixels ? 88 : 9;
        select_deflate_level(code, state, job);
    } else if (level == 1) {
        int code = 88;
        if (pixels <= small_image_pixels) {
            code = 11;
        } else if (pixels <= medium_image_pixels) {
            code = 10;
        } else if (pixels <= big_image_pixels || palette) {
            code = 9;
        } else if (pixels <= huge_image_pixels) {
            code = 89;
        }
        select_deflate_level(code, state, job);
    } else if (level == 2) {
        if (pixels <= small_image_pixels) {
            select_deflate_level(13, state, job);
        } else if (pixels <= big_image_pixels) {
            select_deflate_level(12, state, job);
        } else if (job.threads <= 3) {
            select_deflate_level(10, state, job);
        } else {
            select_zopfli(5, 2, state, job);
        }
    } else {
        select_zopfli(5, final_zopfli_iterations(job), state, job);
    }
}

}  // namespace

void set_filter_strategy(lodepng::State& state, image_job& job) {
    const uint32_t level = job.png_level;
    const uint32_t type = job.colour_type;
    const uint32_t pixels = job.pixel_count;
    job.filter_strategy = 8;

    uint8_t candidate = 8;
    if (level >= 2 && type != 3) {
        if (type == 0) {
            candidate = 7;
        } else if (type == 2) {
            candidate = 9;
        } else if (type == 6) {
            candidate = pixels <= rgba_row_trial_pixel_limit ? 9 : 12;
        }
    }
    const bool keep = (pixels <= filter_gate_pixel_limit &&
                       job.colour_count > filter_gate_colour_limit) ||
                      job.is_grey;
    if (!keep && candidate != 7) candidate = 8;
    job.filter_candidate = candidate;

    uint8_t strategy = candidate;
    if (job.filter_trial) {
        const bool whole_image = pixels < job.strategy11_pixel_limit && type != 0 && type != 4;
        strategy = whole_image ? 11 : 8;
    }
    job.filter_strategy = strategy;
    state.encoder.filter_strategy_code = strategy;
}

void set_filter_code(int code, lodepng::State& state, image_job& job) {
    state.encoder.filter_strategy_code = code >= 3 && code <= 13 ? static_cast<uint32_t>(code) : 0;
    job.filter_strategy = static_cast<uint8_t>(code);
}

void select_deflate_level(int code, lodepng::State& state, image_job& job) {
    deflate_callback callback = level_callback_for(code);
    if (callback == nullptr) callback = level_callback_for(0);
    job.deflate_level = static_cast<uint8_t>(code);
    job.deflate_backend = backend_level;
    state.encoder.compression.compressor = callback;
    state.encoder.compression.compressor_context = nullptr;
}

void select_deflate_for_level(lodepng::State& state, image_job& job) {
    const bool photo = job.photo_like;
    const bool flat = job.flat_large_image;
    switch (job.png_level) {
        case 0:
            select_deflate_level(flat ? 6 : photo ? 77 : 8, state, job);
            return;
        case 1:
            select_deflate_level(flat ? 7 : photo ? 6 : 88, state, job);
            return;
        case 2:
            select_deflate_level(flat || photo ? 8 : 9, state, job);
            return;
        case 3:
            if (job.threads > 3 && job.pixel_count > large_image_pixels) {
                select_zopfli(2, 1, state, job);
            } else {
                select_deflate_level(photo ? 9 : 10, state, job);
            }
            return;
        case 4:
            select_zopfli(5, job.pixel_count > large_image_pixels ? 2 : 4, state, job);
            return;
        default:
            select_deflate_level(photo ? 9 : 10, state, job);
            return;
    }
}

void select_deflate_by_statistics(int first, lodepng::State& state, image_job& job) {
    if (first == 1) {
        select_trial_deflate(state, job);
    } else {
        select_final_deflate(state, job);
    }
}

void select_deflate_for_candidates(lodepng::State& state, image_job& job) {
    select_zopfli(5, candidate_zopfli_iterations, state, job);
}

void set_palette_order(int code, png_palette_order& record) {
    // Codes that name only the mode leave the key fields as the caller set them.
    const auto set_keys = [&record](int32_t plain_keys, int32_t reverse, int32_t alpha_rule) {
        record.plain_keys = plain_keys;
        record.reverse = reverse;
        record.alpha_rule = alpha_rule;
    };
    switch (code) {
        case 1: record.order_mode = 5; break;
        case 2: set_keys(0, 0, 0); record.order_mode = 0; break;
        case 3:
            record.reverse = 1;
            record.alpha_rule = 0;
            record.order_mode = 1;
            break;
        case 4: record.order_mode = -1; break;
        case 10: set_keys(0, 1, 0); record.order_mode = 2; break;
        case 11: set_keys(0, 0, 2); record.order_mode = 2; break;
        case 12: set_keys(0, 1, 2); record.order_mode = 2; break;
        case 13: set_keys(0, 0, 0); record.order_mode = 2; break;
        case 20: record.order_mode = 6; break;
        case 30: record.order_mode = 7; break;
        default: record.order_mode = 4; break;
    }
}

void read_colour_type(int source, const lodepng::State& state, image_job& job) {
    const uint32_t type =
        source == 0 ? state.file_info.colour.colour_type : state.result_mode.colour_type;
    job.colour_type = type == 0 || type == 2 || type == 3 || type == 4 ? static_cast<uint8_t>(type) : 6;
}

void choose_palette_size(image_job& job) {
    if (job.mode != mode_palette || job.resize_target == 0) return;
    // Capped before the narrowing to 16 bits: a large colour count must not
    // wrap around to a small palette.
    const double scaled = std::round(static_cast<double>(job.colour_count) * 1.6);
    const uint16_t n = scaled >= 256.0 ? 256 : static_cast<uint16_t>(scaled);
    job.max_colours = n;
    const uint32_t quality = job.quality;
    if (n <= 47) {
        uint16_t colours = 48;
        if (quality >= 95) {
            colours = 256;
        } else if (quality >= 90) {
            colours = 208;
        } else if (quality >= 85) {
            colours = 168;
        } else if (quality >= 80) {
            colours = 128;
        } else if (quality >= 75) {
            colours = 88;
        }
        job.max_colours = colours;
    } else if (quality > 94) {
        job.max_colours = 256;
    }
}

void decide_parallel_deflate(image_job& job) {
    const uint32_t pixels = job.pixel_count;
    bool parallel = job.single_file && job.threads >= 2 && pixels >= parallel_min_pixels &&
                    pixels <= parallel_max_pixels;
    if (is_palette(job) && pixels < parallel_palette_min_pixels) parallel = false;
    if (job.is_grey) parallel = false;
    job.parallel_trials = parallel ? 1 : 0;
}
