// JPEG view for the preview window. The decoder does most of the shrinking
// when a resize target allows it; the resampler does the rest and the window
// fit. Damaged image data is shown as the decoder delivers it: the view only
// shows a file, it never replaces one.
#include "core/jpg/jpeg_preview.h"

#include <cstdint>
#include <new>
#include <vector>

#include "core/jpg/jpeg_lossy_decisions.h"
#include "core/jpg/jpeg_pixels.h"
#include "core/platform.h"
#include "core/png/codec/codec_state.h"  // save_file_bytes
#include "core/png/png_output.h"
#include "core/resample.h"

namespace {

constexpr uint32_t view_max_height = 1024;
constexpr uint32_t view_max_width = 1536;

// Decodes the file into `pixels` (3 bytes a pixel) at the scale the resize
// target allows; false when it cannot be read or decoded.
bool decode_for_view(const std::string& path, image_job& job, std::vector<uint8_t>& pixels) {
    std::vector<uint8_t> input;
    if (!read_whole_file(path, input)) return false;
    jpeg_pixel_source source;
    if (!open_jpeg_pixels(source, input.data(), input.size(), false, job)) return false;
    // A scale left by an earlier decode of this job does not apply to this file.
    job.dct_scale = 1;
    if (job.resize_target) choose_dct_scale(job);
    return decode_jpeg_pixels(source, job, pixels) && job.bytes_per_pixel == 3;
}

}  // namespace

int preview_jpeg(const std::string& path, image_job& job) {
    std::vector<uint8_t> pixels;
    if (!decode_for_view(path, job, pixels)) {
        job.result = job_failed;
        return job.result;
    }
    if (job.height > view_max_height) job.view_tall = 1;
    if (job.width > view_max_width) job.view_wide = 1;
    resize_image(pixels.data(), job);

    std::vector<uint8_t> rgba, png;
    try {
        rgba.resize(size_t(job.pixel_count) * 4);
    } catch (const std::bad_alloc&) {
        job.result = job_failed;
        return job.result;
    }
    for (size_t i = 0; i < job.pixel_count; ++i) {
        rgba[i * 4] = pixels[i * 3];
        rgba[i * 4 + 1] = pixels[i * 3 + 1];
        rgba[i * 4 + 2] = pixels[i * 3 + 2];
        rgba[i * 4 + 3] = 255;
    }
    pixels = {};
    job.result = uint8_t(encode_view_png(png, rgba, job.width, job.height));
    save_file_bytes(png, data_file_path(preview_view_name));
    return job.result;
}
