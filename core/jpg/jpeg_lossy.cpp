// Lossy JPEG road. The input (or the turned temporary file) is read once and
// decoded from memory; the decoder stays open until the encode, because the
// metadata step and the colour conversion read its saved segments. The
// temporary file and the decoder are owned by objects of this frame, so every
// return path removes and closes them.
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

// The rotation pre-pass's output, removed when the road ends.
struct temporary_file {
    std::string path;
    ~temporary_file() {
        if (!path.empty()) remove_temp_file(path);
    }
};

int fail(image_job& job) {
    job.result = job_failed;
    return job.result;
}

// Turns the file losslessly by its orientation into `temp` (trimming partial
// edge blocks). Without a temporary file the road goes on unturned, as after
// a failed turn: the final pass may still turn the new file.
void rotation_prepass(const std::string& path, temporary_file& temp, image_job& job) {
    temp.path = create_temp_file(data_folder());
    if (temp.path.empty()) return;
    const uint8_t level = job.jpeg_level;
    job.jpeg_prepass = 1;
    job.jpeg_level = 0;
    transcode_jpeg_lossless(path, temp.path, job);
    job.jpeg_level = level;
    job.jpeg_prepass = 0;
    // The turned file's size is no result of this road.
    job.current_size = job.input_size;
}

// The bytes to decode: the turned file when the pre-pass wrote one, else the
// input.
bool read_source(const std::string& path, const temporary_file& temp, std::vector<uint8_t>& bytes) {
    if (!temp.path.empty() && read_whole_file(temp.path, bytes) && !bytes.empty()) return true;
    return read_whole_file(path, bytes);
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
    temporary_file temp;
    if (job.rotate) {
        rotation_prepass(path, temp, job);
        // Damaged input, an unreadable file or a failed write of the turn.
        if (job.result != job_ok) return job.result;
    }

    std::string output;
    {
        std::vector<uint8_t> input;
        if (!read_source(path, temp, input)) return fail(job);
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
        job.input_size = job.current_size;
        transcode_jpeg_lossless(path, path, job);
    }
    return job.result;
}
