// The per-file job record, built from the options and the file size and handed
// by address through the whole pipeline of one file.
#pragma once
#include <cstdint>

#include "options.h"

struct image_job {
    uint8_t preview;
    uint8_t preview_original;
    uint8_t preview_check;
    uint8_t preview_refused;
    uint8_t threads;
    uint8_t single_file;
    uint8_t parallel_trials;
    uint32_t input_size;
    uint32_t current_size;
    uint8_t result;
    uint32_t width;
    uint32_t height;
    uint32_t pixel_count;
    uint8_t bytes_per_pixel;
    uint8_t colour_type;
    uint8_t png_level;
    uint8_t jpeg_level;
    uint8_t mode;
    uint8_t quality;
    uint8_t quality_default;
    uint8_t decision_score;
    uint32_t trial_size_unfiltered;
    uint32_t trial_size_filtered;
    uint32_t trial_size_best;
    uint16_t max_colours;
    uint8_t deflate_backend;
    uint8_t deflate_level;
    uint16_t zopfli_setting;
    uint8_t deflate_threads;
    uint8_t filtered_wins;
    uint8_t filter_trial;
    uint32_t strategy11_pixel_limit;
    uint8_t filter_strategy;
    uint8_t filter_candidate;
    uint8_t is_apng;
    uint8_t critical_chunks;
    uint16_t frame_count;
    uint16_t plte_length;
    uint16_t trns_length;
    uint8_t dct_scale;
    uint8_t orientation;
    uint8_t has_icc;
    uint8_t is_grey;
    uint8_t noalpha;
    uint8_t may_clean_transparent;
    uint8_t single_alpha;
    uint64_t translucent_count;
    uint8_t alphas_above_250;
    uint8_t count_all_pixels;
    uint32_t colour_limit;
    uint32_t colour_count;
    uint64_t stat_saturated;
    uint64_t stat_similar;
    uint64_t stat_changed;
    uint64_t stat_same;
    uint64_t stat_extreme;
    uint64_t stat_extreme2;
    uint8_t translucent_percent;
    uint8_t changed_threshold;
    uint8_t flat_large_image;
    uint8_t few_colours;
    uint8_t photo_like;
    uint8_t smooth;
    uint8_t force_grey;
    uint8_t srgb;
    uint16_t resize_target;
    uint8_t view_tall;
    uint8_t view_wide;
    uint8_t rotate;
    uint8_t metadata_mode;
    uint8_t keep_icc;
    uint8_t keep_exif;
    uint8_t chroma_subsampled;
    uint8_t jpeg_prepass;
};

// Result codes kept in image_job.result (other values: PNG codec error numbers).
enum : uint8_t {
    job_ok = 0,
    job_failed = 1,
    job_jpeg_metadata_unchanged = 2,
};

// PNG modes kept in image_job.mode.
enum : uint8_t {
    mode_undecided = 0,
    mode_lossless = 1,
    mode_lossy_truecolour = 2,
    mode_palette = 3,
};

void init_image_job(image_job& job, const default_flags& flags, uint32_t file_size);
