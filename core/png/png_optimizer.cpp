#include "core/png/png_optimizer.h"

#include <cstdint>
#include <vector>

#include "core/image_stats.h"
#include "core/posterize.h"
#include "core/resample.h"
#include "core/transparency.h"
#include "core/png/apng_pipeline.h"
#include "core/png/chunk_scan.h"
#include "core/png/codec/codec_state.h"
#include "core/png/colour_profile.h"
#include "core/png/codec/decode.h"
#include "core/png/encoder_settings.h"
#include "core/png/fast_and_lossy.h"
#include "core/png/lossless_search.h"
#include "core/png/png_output.h"

namespace {

// Pixel count above which a lossy run probes a scaled-down sample for flatness.
constexpr uint32_t probe_pixels_above = 589823;

// The animated road: one file at a time in the whole process, whichever worker
// holds it, so the frame pipeline's large buffers and threaded compressors
// never run for two animations at once.
uint8_t run_animated_road(const std::string& path, const std::vector<uint8_t>& input, image_job& job) {
    uint8_t code = 0;
#pragma omp critical(velto_apng_road)
    code = optimize_apng_file(path, input, job);
    return code;
}

// Steps 7 to 18 of one still image: measurements, alpha clean-up and the
// optional size and colour-space changes, in the order later steps rely on.
void prepare_still_image(const std::string& path, std::vector<uint8_t>& image,
                         const lodepng::State& state, image_job& job) {
    read_colour_type(0, state, job);
    scan_alpha(image.data(), job);
    if (job.colour_type == 3 && job.trns_length != 0) count_translucent_palette_entries(state, job);
    if (job.mode == mode_undecided && job.alphas_above_250) flatten_alpha(image.data(), job);
    detect_grey(image.data(), job);
    choose_colour_type(image, state, job);
    collect_image_stats(image.data(), job);
    if (job.mode == mode_undecided && job.stat_extreme2 > 14) snap_extremes(image.data(), job);
    decide_transparent_cleanup(job);
    settle_colour_flags(job);
    if (job.mode == mode_undecided && job.stat_changed > 80 && job.pixel_count > probe_pixels_above)
        probe_large_image(image.data(), job);
    if (job.resize_target != 0) {
        resize_image(image.data(), job);
        image.resize(static_cast<size_t>(job.pixel_count) * 4);
    }
    if (job.srgb) convert_icc_to_srgb(path, image, job);
}

uint8_t run_road(std::vector<uint8_t>& result, std::vector<uint8_t>& image, lodepng::State& state,
                 size_t input_size, image_job& job) {
    if (job.mode == mode_undecided) decide_png_mode(image.data(), job);
    switch (job.mode) {
    case mode_lossless:
        if (job.png_level == 0) return optimize_png_fast(result, image, state, job);
        return optimize_png_lossless(result, image, job);
    case mode_lossy_truecolour:
        // Falls back to the fast lossless encode of the prepared image when
        // the posterised PNG would be larger than the input.
        return optimize_png_lossy_or_fast(result, image, state, job, input_size);
    case mode_palette:
        return optimize_png_palette(result, image, job);
    default:
        return job.result;
    }
}

// A grey or RGB colour key with a sample above what the bit depth can hold
// matches no pixel here, while common viewers mask it to the low bits and show
// those pixels as transparent. Rewriting would turn them visible, so such a
// file is left as it is.
bool colour_key_out_of_range(const png_colour_mode& mode) {
    if (!mode.key_defined || (mode.colour_type != 0 && mode.colour_type != 2)) return false;
    const uint32_t max_sample = (1u << mode.bit_depth) - 1;
    return mode.key_red > max_sample || mode.key_green > max_sample || mode.key_blue > max_sample;
}

bool is_frame_chunk(const uint8_t* chunk) {
    return png_chunk_type_equals(chunk, "fcTL") || png_chunk_type_equals(chunk, "fdAT");
}

// Calls `visit` with the offset of every chunk that lies wholly inside the
// data, from byte 8 on; returns the offset where the walk stopped.
template <typename Visit>
size_t walk_whole_chunks(const std::vector<uint8_t>& data, Visit visit) {
    size_t pos = 8;
    while (pos <= data.size() && data.size() - pos >= 12) {
        const uint64_t length = png_chunk_length(data.data() + pos);
        if (length > data.size() - pos - 12) break;
        visit(pos, size_t(length) + 12);
        pos += size_t(length) + 12;
    }
    return pos;
}

// fcTL and fdAT chunks in a still image (no acTL) describe frames that no
// viewer shows and that an optimised file would not match; the output stage
// copies chunks from `input` without them, whatever the metadata mode. True,
// with that copy in `out`, when there were any.
bool without_frame_chunks(const std::vector<uint8_t>& input, std::vector<uint8_t>& out) {
    bool found = false;
    walk_whole_chunks(input, [&](size_t pos, size_t) { found = found || is_frame_chunk(input.data() + pos); });
    if (!found) return false;
    out.assign(input.begin(), input.begin() + 8);
    const size_t end = walk_whole_chunks(input, [&](size_t pos, size_t size) {
        if (!is_frame_chunk(input.data() + pos))
            out.insert(out.end(), input.begin() + long(pos), input.begin() + long(pos + size));
    });
    if (end < input.size()) out.insert(out.end(), input.begin() + long(end), input.end());
    return true;
}

}  // namespace

bool run_png_pipeline(const std::string& path, const std::vector<uint8_t>& input, std::vector<uint8_t>& result,
                      std::vector<uint8_t>& image, image_job& job) {
    lodepng::State state;

    if (scan_png_chunks(input, state, job) != 0) return false;

    if (job.is_apng) {
        // An animation cannot be previewed: refused like a four-component
        // JPEG, with success as the file's own result.
        if (job.preview || job.preview_original || job.preview_check) {
            job.preview_refused = 1;
            job.result = 0;
            return false;
        }
        run_animated_road(path, input, job);
        return false;
    }
    if (job.preview_check) return false;

    uint32_t width = 0;
    uint32_t height = 0;
    const uint32_t decode_code = decode_png(image, width, height, state, input);
    if (decode_code != 0) {
        job.result = static_cast<uint8_t>(decode_code);
        return false;
    }
    if (colour_key_out_of_range(state.file_info.colour)) {
        job.result = 0;
        return false;
    }
    job.width = width;
    job.height = height;
    job.pixel_count = width * height;

    if (!job.preview_original) {
        prepare_still_image(path, image, state, job);
        job.result = run_road(result, image, state, input.size(), job);
    }
    return job.result == 0;
}

int optimize_png_file(const std::string& path, image_job& job) {
    const std::vector<uint8_t> input = load_file_bytes(path);
    std::vector<uint8_t> result;
    std::vector<uint8_t> image;
    if (!run_png_pipeline(path, input, result, image, job)) return job.result;
    std::vector<uint8_t> chunk_source;
    if (without_frame_chunks(input, chunk_source))
        write_png_result(path, chunk_source, result, image, job);
    else
        write_png_result(path, input, result, image, job);
    return job.result;
}
