#include "core/png/apng_pipeline.h"

#include <algorithm>
#include <cstring>

#include "core/image_stats.h"
#include "core/platform.h"
#include "core/posterize.h"
#include "core/resample.h"
#include "core/transparency.h"
#include "core/png/apng_frame_set.h"
#include "core/png/apng_reader.h"
#include "core/png/apng_strip.h"
#include "core/png/apng_writer.h"
#include "core/png/chunk_scan.h"
#include "core/png/codec/codec_state.h"
#include "core/png/codec/decode.h"
#include "core/png/codec/encode.h"
#include "core/png/colour_profile.h"
#include "core/png/encoder_settings.h"

static_assert(apng_max_strip_pixels == png_pipeline_max_pixels,
              "the frame strip is held to the still-image size cap");

namespace {

// Lossless strips with more colours than this (or grey, or resized) try
// the encode without and with row filters.
constexpr uint32_t filter_trial_colours_above = 1024;
// The quality of a re-encoded strip when none was given.
constexpr uint8_t palette_strip_quality = 81;
constexpr uint8_t truecolour_strip_quality = 84;
// Frame sets that keep their palette as the strip encode chose it.
constexpr uint32_t kept_palette_colours_max = 127;

// The strip analysis, in the order later steps rely on. True when it changed
// the strip's pixels beyond the clean-ups the encode repeats: a resize or a
// conversion to sRGB.
bool analyse_strip(const std::string& path, std::vector<uint8_t>& strip, lodepng::State& state,
                   image_job& job) {
    read_colour_type(0, state, job);
    scan_alpha(strip.data(), job);
    if (job.mode == mode_undecided && job.alphas_above_250) flatten_alpha(strip.data(), job);
    detect_grey(strip.data(), job);
    choose_colour_type(strip, state, job);
    collect_image_stats(strip.data(), job);
    if (job.mode == mode_undecided && job.stat_extreme2 > 14 && job.stat_extreme > 40)
        snap_extremes(strip.data(), job);
    decide_transparent_cleanup(job);
    settle_colour_flags(job);
    bool changed = false;
    if (job.resize_target != 0) {
        resize_image(strip.data(), job);
        strip.resize(size_t(job.pixel_count) * 4);
        // resize_image clears the target when the strip keeps its size.
        changed = job.resize_target != 0;
    }
    // An optimised animation keeps no profile: only the pixels matter here.
    if (job.srgb && convert_icc_to_srgb(path, strip, job)) changed = true;
    if (job.mode == mode_undecided) decide_png_mode(strip.data(), job);
    return changed;
}

uint8_t encode_strip(std::vector<uint8_t>& out, const std::vector<uint8_t>& strip, lodepng::State& state,
                     const png_palette_order& order, image_job& job) {
    out.clear();
    job.result = uint8_t(encode_png(out, strip, job.width, job.height, state, &order));
    return job.result;
}

// One encode of the strip by the mode; the PNG goes to `png` and the filter
// decision to `flags`. Returns the codec's code.
uint8_t reencode_strip(std::vector<uint8_t>& png, std::vector<uint8_t>& strip, lodepng::State& state,
                       apng_filter_flags& flags, image_job& job) {
    // The strip is only read back, never kept: a fast compressor does.
    select_deflate_level(0, state, job);
    png_palette_order order{};
    if (job.mode == mode_lossless) {
        if (job.colour_count > filter_trial_colours_above || job.is_grey || job.resize_target != 0) {
            if (job.may_clean_transparent) fill_transparent(strip.data(), 0, 0, 0, job);
            set_filter_code(0, state, job);
            std::vector<uint8_t> unfiltered;
            if (encode_strip(unfiltered, strip, state, order, job) != 0) return job.result;
            set_filter_code(7, state, job);
            if (job.may_clean_transparent && !job.single_alpha) propagate_transparent(strip.data(), job);
            if (encode_strip(png, strip, state, order, job) != 0) return job.result;
            flags.use_row_filters = unfiltered.size() >= png.size();
            if (unfiltered.size() < png.size()) png.swap(unfiltered);
        } else {
            if (job.may_clean_transparent) fill_transparent(strip.data(), 0, 0, 0, job);
            // Translucent palette entries first, then the opaque ones, each
            // in the order in which its colours first appear in the strip.
            set_palette_order(0, order);
            if (encode_strip(png, strip, state, order, job) != 0) return job.result;
        }
    }
    if (job.quality_default && !job.is_grey) {
        job.quality_default = 0;
        job.quality = job.mode == mode_palette ? palette_strip_quality : truecolour_strip_quality;
    }
    choose_palette_size(job);
    if (job.mode == mode_lossy_truecolour) {
        posterize(strip.data(), job);
        if (encode_strip(png, strip, state, order, job) != 0) return job.result;
        flags.use_row_filters = true;
        flags.average_filter_only = true;
    } else if (job.mode == mode_palette) {
        encode_png_palette(png, strip.data(), 1, job);
    }
    return job.result;
}

bool visibly_equal(const ImageRows& a, const ImageRows& b) {
    if (a.width != b.width || a.height != b.height || a.pixels.size() != b.pixels.size()) return false;
    const uint8_t* p = a.pixels.data();
    const uint8_t* q = b.pixels.data();
    for (size_t i = 0; i < a.pixels.size(); i += 4) {
        if (p[i + 3] == 0 && q[i + 3] == 0) continue;
        if (std::memcmp(p + i, q + i, 4) != 0) return false;
    }
    return true;
}

// Every input frame, in order, shows as the output frame that stands for its
// run of identical frames (merged runs are one output frame).
bool same_frames(const apng_animation& input, const apng_animation& output) {
    if (input.default_skipped != output.default_skipped || output.frames.empty()) return false;
    size_t k = 0;
    size_t j = 0;
    if (input.default_skipped) {
        if (!visibly_equal(input.frames[0], output.frames[0])) return false;
        j = k = 1;
    }
    if (k >= output.frames.size()) return false;
    for (; j < input.frames.size(); ++j) {
        if (visibly_equal(input.frames[j], output.frames[k])) continue;
        if (k + 1 < output.frames.size() && visibly_equal(input.frames[j], output.frames[k + 1])) {
            ++k;
            continue;
        }
        return false;
    }
    return k + 1 == output.frames.size();
}

// The APNG about to replace the input reads back whole, with the frames that
// were written at their size; when the run promised identical pixels, with
// those pixels. A set of one frame is written as a plain PNG and read back by
// the codec.
bool output_reads_back(const std::vector<uint8_t>& apng, const apng_animation& input, size_t frames_written,
                       uint32_t width, uint32_t height, bool exact) {
    if (frames_written == 1 && !input.default_skipped) {
        ImageRows still;
        uint32_t still_width = 0, still_height = 0;
        lodepng::State state;
        if (decode_png(still.pixels, still_width, still_height, state, apng) != 0 || still_width != width ||
            still_height != height)
            return false;
        still.width = still_width;
        still.height = still_height;
        for (const ImageRows& frame : input.frames)
            if (exact && !visibly_equal(frame, still)) return false;
        return true;
    }
    apng_animation output;
    if (!load_apng(apng.data(), apng.size(), output) || output.frames.size() != frames_written ||
        output.frames[0].width != width || output.frames[0].height != height)
        return false;
    return !exact || same_frames(input, output);
}

}  // namespace

uint8_t build_optimized_apng(const std::string& path, const std::vector<uint8_t>& input,
                             std::vector<uint8_t>& output, image_job& job) {
    output.clear();
    job.result = 0;
    job.current_size = job.input_size;
    const uint32_t frame_height = job.height;
    // Pixels must come out identical only when lossless output was asked for
    // and neither resizing nor a profile conversion changes them.
    const bool exact = job.mode == mode_lossless && job.resize_target == 0 && !job.srgb;

    apng_animation animation;
    const bool complete = load_apng(input.data(), input.size(), animation);
    // A palette index past the palette is refused as the still-image decoder
    // refuses it.
    if (!complete && animation.index_past_palette) return job.result = uint8_t(png_error_palette_size);
    // So is a critical chunk it does not know, wherever it stands.
    if (!complete && animation.unknown_critical) return job.result = uint8_t(png_error_unknown_critical);
    const size_t hidden = animation.default_skipped ? 1 : 0;
    // Only a whole animation whose frames match the chunk scan's count is
    // optimised; anything else stays as it is.
    if (!complete || animation.frames.size() <= hidden || animation.frames.size() - hidden != job.frame_count ||
        animation.frames[0].height != frame_height) {
        return job.result = 1;
    }
    const uint32_t frame_count = uint32_t(animation.frames.size());

    std::vector<uint8_t> strip;
    if (!build_frame_strip(animation.frames, strip)) return job.result = 1;
    job.width = animation.frames[0].width;
    job.height = frame_count * frame_height;
    job.pixel_count = job.width * job.height;
    // The resize plan gives every frame of the strip the same height. Only the
    // largest frame count with a hidden default image does not fit 16 bits;
    // its frames are too short for any resize target to shrink them.
    job.frame_count = uint16_t(std::min<uint32_t>(frame_count, UINT16_MAX));

    lodepng::State state;
    const bool strip_changed = analyse_strip(path, strip, state, job);

    apng_filter_flags flags;
    std::vector<apng_frame> frame_set;
    uint32_t colour_type = 6;
    // A palette strip without translucent entries is cut from the frames as
    // they were read, unless the analysis resized or converted it.
    const bool reencoded = strip_changed || !(job.colour_type == 3 && job.translucent_percent == 0);
    if (reencoded) {
        std::vector<uint8_t> png;
        if (reencode_strip(png, strip, state, flags, job) != 0) return job.result;
        std::vector<uint8_t>().swap(strip);
        apng_frame strip_record;
        if (read_png_frame(png.data(), png.size(), strip_record) != 0 ||
            cut_frame_strip(strip_record, frame_count, frame_height, animation.frames, frame_set, colour_type) != 0)
            return job.result = 1;
    } else {
        std::vector<uint8_t>().swap(strip);
        if (frames_to_frame_set(animation.frames, frame_set) != 0) return job.result = 1;
    }

    if (reencoded || (colour_type != 4 && colour_type != 6)) {
        merge_duplicate_frames(frame_set, hidden);
        const bool keep_palette = colour_type == 3 && job.colour_count <= kept_palette_colours_max &&
                                  !flags.use_row_filters && job.png_level > 2;
        if (!keep_palette) reduce_frame_colours(frame_set);
    } else {
        for (apng_frame& frame : frame_set) clear_transparent_colours(frame);
        merge_duplicate_frames(frame_set, hidden);
        reduce_frame_colours(frame_set);
    }
    if (frame_set.front().colour_type == 0 || frame_set.front().colour_type == 2) choose_transparent_key(frame_set);

    std::vector<uint8_t> apng;
    if (save_apng(apng, frame_set, animation.play_count, hidden, flags, job) != 0) return job.result = 1;
    const size_t frames_written = frame_set.size();
    const uint32_t written_width = frame_set.front().width, written_height = frame_set.front().height;
    std::vector<apng_frame>().swap(frame_set);
    job.current_size = uint32_t(apng.size());
    if (apng.size() >= job.input_size) return job.result;
    if (!output_reads_back(apng, animation, frames_written, written_width, written_height, exact))
        return job.result = 1;
    output.swap(apng);
    return job.result;
}

uint8_t optimize_apng_file(const std::string& path, const std::vector<uint8_t>& input, image_job& job) {
    std::vector<uint8_t> output;
    if (build_optimized_apng(path, input, output, job) == 0 && !output.empty() &&
        !replace_file_contents(path, output.data(), output.size()))
        job.result = 1;
    return job.result;
}
