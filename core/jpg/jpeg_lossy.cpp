// Lossy JPEG road. The input is read once (and turned in memory when asked)
// and decoded from memory; the decoder stays open until the encode, because
// the metadata step and the colour conversion read its saved segments. The
// decoder is owned by an object of this frame, so every return path closes
// it.
#include "core/jpg/jpeg_lossy.h"

#include <cstdint>
#include <vector>

#include "core/jpg/jpeg_colour.h"
#include "core/jpg/jpeg_lossless.h"
#include "core/jpg/jpeg_lossy_decisions.h"
#include "core/jpg/jpeg_metadata.h"
#include "core/jpg/jpeg_pixels.h"
#include "core/jpg/jpeg_preview.h"
#include "core/jpg/jpeg_source.h"
#include "core/jpg/turbo_ext/encoder.h"
#include "core/platform.h"
#include "core/resample.h"

namespace {

int fail(image_job& job) {
    job.result = job_failed;
    return job.result;
}

// Turns the file held in `bytes` losslessly by its orientation (trimming
// partial edge blocks) and puts the turned file in its place. The turn stays
// in memory: a file in a shared folder could be swapped between its write
// and its read. After a library error the road goes on unturned, as after a
// failed turn: the final pass may still turn the new file.
void rotation_prepass(std::vector<uint8_t>& bytes, image_job& job) {
    const uint8_t level = job.jpeg_level;
    job.jpeg_prepass = 1;
    job.jpeg_level = 0;
    jpeg_memory_output turned;
    transcode_jpeg_data(bytes.data(), bytes.size(), job, turned);
    job.jpeg_level = level;
    job.jpeg_prepass = 0;
    // The turned file's size is no result of this road.
    job.current_size = job.input_size;
    if (job.result == job_ok && turned.size != 0) bytes.assign(turned.data, turned.data + turned.size);
    release_jpeg_memory_output(turned);
}

// The encoder's size limits, checked before the pixels are decoded; with a
// resize target left the resampler brings the image within them.
bool encodable_size(const jpeg_pixel_source& source, const image_job& job) {
    if (job.resize_target) return true;
    const kept_size kept = jpeg_kept_size(source, job);
    return kept.width <= sjpeg::max_encode_dimension && kept.height <= sjpeg::max_encode_dimension &&
           uint64_t(kept.width) * kept.height <= sjpeg::max_encode_pixels;
}

// A complete file: start-of-image marker first, end-of-image marker last.
bool complete_jpeg(const std::string& file) {
    const size_t n = file.size();
    return n >= 4 && uint8_t(file[0]) == 0xFF && uint8_t(file[1]) == 0xD8 && uint8_t(file[n - 2]) == 0xFF &&
           uint8_t(file[n - 1]) == 0xD9;
}

}  // namespace

int encode_jpeg_lossy_data(const uint8_t* data, size_t size, image_job& job, std::string& output) {
    output.clear();
    jpeg_pixel_source source;
    if (!open_jpeg_pixels(source, data, size, true, job)) return fail(job);
    if (job.resize_target) choose_dct_scale(job);
    if (!encodable_size(source, job)) return fail(job);
    const int source_components = source.decoder.num_components;
    std::vector<uint8_t> pixels;
    // Damaged image data is never baked into a file that merely got smaller.
    if (!decode_jpeg_pixels(source, job, pixels) || source.damage()) return fail(job);
    // A second picture, gain map or video after the image would be lost in
    // the output; only "-strip" lets it go.
    if (job.metadata_mode != 2 && jpeg_data_after_image(&source.decoder)) {
        job.result = job_jpeg_metadata_unchanged;
        return job.result;
    }

    measure_jpeg_pixels(pixels.data(), pixels.size(), job);
    note_chroma_sampling(job, source.decoder.comp_info[0].h_samp_factor, source.decoder.comp_info[0].v_samp_factor);
    if (job.resize_target) {
        job.may_clean_transparent = 0;
        resize_image(pixels.data(), job);
    }
    if (job.has_icc && job.srgb) convert_jpeg_to_srgb(source.decoder.marker_list, pixels, job);
    // The encoder reads three bytes a pixel: CMYK whose profile could not be
    // used (or any other layout) cannot be encoded.
    if (job.bytes_per_pixel != 3) return fail(job);

    sjpeg::EncoderParam param;
    if (job.metadata_mode != 2) {
        param.ResetMetadata();
        gather_jpeg_metadata(source.decoder.marker_list, job, param);
    }
    set_lossy_encoder_param(job, source_components, param);
    const bool encoded = sjpeg::Encode(pixels.data(), int(job.width), int(job.height), int(job.width) * 3, param,
                                       &output);
    // A failed encode leaves no output; an empty or cut one never replaces anything.
    if (!encoded || !complete_jpeg(output)) {
        output.clear();
        return fail(job);
    }
    job.current_size = uint32_t(output.size());
    job.bytes_per_pixel = param.yuv_mode == SJPEG_YUV_400 ? 1 : 3;
    return job.result;
}

int reencode_jpeg_lossy(const std::string& path, image_job& job) {
    std::string output;
    {
        std::vector<uint8_t> input;
        if (!read_whole_file(path, input)) return fail(job);
        if (job.rotate) {
            rotation_prepass(input, job);
            // Damaged input, or a turn that would be read in other colours.
            if (job.result != job_ok) return job.result;
        }
        if (encode_jpeg_lossy_data(input.data(), input.size(), job, output) != job_ok || output.empty())
            return job.result;
    }

    if (job.preview) {
        const std::string result_path = data_file_path(preview_result_jpg_name);
        if (!write_whole_file(result_path, output.data(), output.size())) return fail(job);
        return preview_jpeg(result_path, job);
    }
    if (job.current_size >= job.input_size) return job.result;
    if (!replace_file_contents(path, output.data(), output.size())) {
        job.current_size = job.input_size;  // nothing was written: the file keeps its size
        return fail(job);
    }
    output = {};

    if (job.jpeg_level > 1) {
        // The final pass works on the new file (job.bytes_per_pixel is its
        // component count), with no grey reduction carried over from the
        // pre-pass.
        job.force_grey = 0;
        const uint32_t written_size = job.current_size;
        job.input_size = written_size;
        // The lossy file is in place whatever this pass does: when it writes
        // nothing (damage it refuses, a full disk), that file is the result.
        if (transcode_jpeg_lossless(path, path, job) != job_ok) {
            job.result = job_ok;
            job.current_size = written_size;
        }
    }
    return job.result;
}
