#include "job.h"

#include <cstring>

void init_image_job(image_job& job, const default_flags& flags, uint32_t file_size) {
    std::memset(&job, 0, sizeof job);
    job.preview = flags.preview;
    job.preview_original = flags.preview_original;
    job.preview_check = flags.preview_check;
    job.threads = flags.inner_threads;
    job.single_file = flags.single_file;
    job.input_size = file_size;
    job.current_size = file_size;
    job.colour_type = 6;
    job.png_level = flags.png_level;
    job.jpeg_level = flags.jpeg_level;
    job.mode = flags.lossless;
    job.quality = static_cast<uint8_t>(flags.quality & 0xFF);
    job.quality_default = flags.quality_default;
    job.max_colours = 256;
    job.zopfli_setting = 261;
    job.deflate_threads = flags.inner_threads;
    job.strategy11_pixel_limit = 409600;
    job.dct_scale = 1;
    job.orientation = 1;
    job.is_grey = 1;
    job.noalpha = flags.noalpha;
    job.may_clean_transparent = 1;
    job.single_alpha = 1;
    job.alphas_above_250 = 1;
    job.colour_limit = 8192;
    job.changed_threshold = 72;
    job.srgb = flags.srgb;
    job.resize_target = flags.resize_target;
    job.rotate = flags.rotate;
    job.metadata_mode = flags.metadata_mode;
    job.keep_icc = 1;
    job.keep_exif = 1;
}
