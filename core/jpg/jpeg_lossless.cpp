// Lossless JPEG transcoding.
//
// The input is read once into memory and decoded from there. Each pass keeps
// its library objects, trap and output block in one record that lives in the
// caller's frame; the pass functions that call setjmp hold nothing with a
// destructor, so a library error jumps straight back and the caller frees the
// rest. Every result is read back before it is handed out: one that a decoder
// would read in another colour space than the input is dropped.
#include "core/jpg/jpeg_lossless.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include <jerror.h>

#include "core/jpg/jpeg_error_trap.h"
#include "core/jpg/jpeg_source.h"
#include "core/jpg/jpeg_segments.h"
#include "core/jpg/turbo_ext/compress_params.h"
#include "core/platform.h"

const JXFORM_CODE orientation_transforms[9] = {
    JXFORM_NONE,   JXFORM_NONE,      JXFORM_FLIP_H, JXFORM_ROT_180, JXFORM_FLIP_V,
    JXFORM_TRANSPOSE, JXFORM_ROT_90, JXFORM_TRANSVERSE, JXFORM_ROT_270,
};

namespace {

constexpr unsigned max_segment = 0xFFFF;

// The coefficient values 8-bit samples give: a DC value in -1024..1023 keeps
// every difference the encoder writes within 11 bits and an AC value within
// 10, in whatever order a turn puts the blocks. Larger values come only from
// damaged or forged data (the decoder takes them and clamps the pixels); the
// library's sequential encoder would write them as garbage.
constexpr int min_dc = -1024, max_dc = 1023, max_ac = 1023;

struct transcoding {
    jpeg_error_trap trap;
    jpeg_decompress_struct src;
    jpeg_compress_struct dst;
    jpeg_transform_info transform;
    jpeg_memory_output output;
    jpeg_ext_settings ext;  // holds the chosen scan script until the compressor finishes
    jpeg_colour_reading input_colours;
};

enum class pass_result { done, library_error, corrupt_input, data_after_image, left_as_is };

// What the output must be read as: the input's colour space and component
// count, or grey after a grey reduction.
struct expected_reading {
    J_COLOR_SPACE space = JCS_UNKNOWN;
    int components = 0;
};

struct level_plan {
    bool two_passes = false;
    uint8_t saved_level = 0;
};

void prepare(transcoding& t) {
    std::memset(static_cast<void*>(&t.src), 0, sizeof t.src);
    std::memset(static_cast<void*>(&t.dst), 0, sizeof t.dst);
    init_jpeg_memory_output(t.output, static_cast<size_t>(jpeg_memory_limit));
    init_jpeg_error_trap(t.trap);
}

void close_pair(transcoding& t) {
    jpeg_destroy_compress(&t.dst);
    jpeg_destroy_decompress(&t.src);
}

pass_result failed_pass(transcoding& t) {
    close_pair(t);
    return t.trap.corrupt_warnings ? pass_result::corrupt_input : pass_result::library_error;
}

// Creates both objects, reads the header with every APPn segment saved, and
// refuses image sizes beyond the limits.
void open_pair(transcoding& t, const uint8_t* data, size_t size) {
    create_jpeg_decompressor(&t.src, t.trap);
    create_jpeg_compressor(&t.dst, t.trap);
    jpeg_ext_attach(&t.dst, &t.ext);
    jpeg_checked_memory_source(&t.src, data, size);
    for (int m = JPEG_APP0; m <= JPEG_APP0 + 15; ++m) jpeg_save_markers(&t.src, m, max_segment);
    jpeg_read_header(&t.src, TRUE);
    if (!jpeg_size_acceptable(&t.src)) ERREXIT1(&t.src, JERR_IMAGE_TOO_BIG, 0);
}

// True when every coefficient of the image's blocks (not the padding blocks
// of edge MCUs, which the encoder makes up itself) lies in the range above.
bool coefficients_in_range(j_decompress_ptr src, jvirt_barray_ptr* arrays) {
    if (src->data_precision != 8) return true;
    for (int ci = 0; ci < src->num_components; ++ci) {
        const jpeg_component_info& c = src->comp_info[ci];
        for (JDIMENSION row = 0; row < c.height_in_blocks; ++row) {
            const JBLOCKARRAY blocks =
                (*src->mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(src), arrays[ci], row, 1, FALSE);
            for (JDIMENSION x = 0; x < c.width_in_blocks; ++x) {
                const JCOEF* b = blocks[0][x];
                if (b[0] < min_dc || b[0] > max_dc) return false;
                for (int k = 1; k < DCTSIZE2; ++k)
                    if (b[k] < -max_ac || b[k] > max_ac) return false;
            }
        }
    }
    return true;
}

// False for a progressive image whose scans leave some coefficient of some
// component short of its last bits (or never sent). Decoders show such an
// image with its missing detail estimated from the neighbouring blocks; the
// same coefficients written as a complete image would be shown without that,
// so the pixels would change.
bool scans_complete(j_decompress_ptr src) {
    if (!src->progressive_mode || !src->coef_bits) return true;
    for (int ci = 0; ci < src->num_components; ++ci)
        for (int k = 0; k < DCTSIZE2; ++k)
            if (src->coef_bits[ci][k] != 0) return false;
    return true;
}

// The transform for this call, or false when none is to be done. Updates the
// job as the request is granted or refused.
bool request_transform(transcoding& t, image_job& job) {
    if (!job.rotate && !job.force_grey) return false;
    // With every segment kept (mode 0) the old orientation tag stays in the
    // file, so the pixels must not be turned: a grey reduction alone.
    const uint8_t o = job.orientation <= 8 ? job.orientation : 1;
    t.transform = jpeg_transform_info{};
    t.transform.transform = job.metadata_mode == 0 ? JXFORM_NONE : orientation_transforms[o];
    t.transform.perfect = job.jpeg_prepass ? FALSE : TRUE;
    t.transform.trim = job.jpeg_prepass ? TRUE : FALSE;
    t.transform.force_grayscale = job.force_grey ? TRUE : FALSE;
    bool granted = jtransform_request_workspace(&t.src, &t.transform);
    if (!granted && job.force_grey && job.rotate) {
        // The grey reduction may be what cannot be done (an image stored as
        // RGB, or luma below full resolution): the turn alone may still be.
        t.transform.force_grayscale = FALSE;
        granted = jtransform_request_workspace(&t.src, &t.transform);
        if (granted) job.force_grey = 0;
    }
    if (!granted) {
        job.rotate = 0;
        job.force_grey = 0;
        return false;
    }
    if (t.transform.transform != JXFORM_NONE && job.orientation != 1) {
        job.orientation = 1;
        job.keep_exif = 0;  // the turned image must not keep its orientation tag
    }
    return true;
}

// The first (or only) pass. Holds nothing with a destructor.
pass_result first_pass(transcoding& t, const uint8_t* data, size_t size, image_job& job, level_plan& plan,
                       expected_reading& expected) {
    prepare(t);
    if (setjmp(t.trap.recovery)) return failed_pass(t);
    open_pair(t, data, size);
    t.input_colours = read_colour_signals(&t.src);

    if (job.is_grey && job.bytes_per_pixel != 1) job.force_grey = 1;
    const bool transform = request_transform(t, job);

    jvirt_barray_ptr* src_arrays = jpeg_read_coefficients(&t.src);
    if (t.trap.corrupt_warnings) return failed_pass(t);
    if (!coefficients_in_range(&t.src, src_arrays)) {
        close_pair(t);
        return pass_result::corrupt_input;
    }
    // A valid image that no rewrite shows as it was is left as it is. A turn
    // for the lossy road is decoded again at once and may go on.
    if (!job.jpeg_prepass && !scans_complete(&t.src)) {
        close_pair(t);
        return pass_result::left_as_is;
    }
    // A second picture, gain map or video after the image would be lost in
    // the output; only "-strip" lets it go.
    if (job.metadata_mode != 2 && jpeg_data_after_image(&t.src)) {
        close_pair(t);
        return pass_result::data_after_image;
    }
    jpeg_copy_critical_parameters(&t.src, &t.dst);
    jvirt_barray_ptr* out_arrays =
        transform ? jtransform_adjust_parameters(&t.src, &t.dst, src_arrays, &t.transform) : src_arrays;
    jpeg_memory_dest(&t.dst, t.output);
    const bool grey_reduction = t.dst.num_components != t.src.num_components;
    expected.space = grey_reduction ? JCS_GRAYSCALE : t.input_colours.space;
    expected.components = grey_reduction ? 1 : t.src.num_components;

    if (job.force_grey && job.jpeg_level > 2) {
        plan.two_passes = true;
        plan.saved_level = job.jpeg_level;
        job.jpeg_level = 0;
    } else if (job.jpeg_prepass) {
        job.jpeg_level = 0;
    }
    set_jpeg_compress_params(&t.dst, job);
    if (transform) jtransform_execute_transform(&t.src, &t.dst, src_arrays, &t.transform);
    jpeg_ext_write_coefficients(&t.dst, out_arrays);

    const jpeg_colour_fix fix =
        plan_jpeg_colour_fix(t.src.marker_list, job, t.input_colours, t.dst.comp_info, t.dst.num_components);
    write_kept_jpeg_segments(&t.dst, t.src.marker_list, job, fix);

    jpeg_finish_compress(&t.dst);
    jpeg_finish_decompress(&t.src);
    if (t.trap.corrupt_warnings) return failed_pass(t);
    job.current_size = static_cast<uint32_t>(t.output.size);
    close_pair(t);
    return pass_result::done;
}

// The second pass over the first pass's output, whose segments were already
// filtered. Holds nothing with a destructor.
pass_result second_pass(transcoding& t, const uint8_t* data, size_t size, const image_job& job) {
    prepare(t);
    if (setjmp(t.trap.recovery)) return failed_pass(t);
    open_pair(t, data, size);
    jvirt_barray_ptr* arrays = jpeg_read_coefficients(&t.src);
    jpeg_copy_critical_parameters(&t.src, &t.dst);
    jpeg_memory_dest(&t.dst, t.output);
    set_jpeg_compress_params(&t.dst, job);
    jpeg_ext_write_coefficients(&t.dst, arrays);
    for (jpeg_saved_marker_ptr m = t.src.marker_list; m; m = m->next)
        jpeg_write_marker(&t.dst, m->marker, m->data, m->data_length);
    jpeg_finish_compress(&t.dst);
    jpeg_finish_decompress(&t.src);
    close_pair(t);
    return pass_result::done;
}

// The output read back as a decoder will read it. Another colour space or
// component count than the input's would show other colours.
bool reads_as_expected(const jpeg_memory_output& out, const expected_reading& expected) {
    jpeg_header_facts facts;
    return read_jpeg_header_facts(out.data, out.size, facts) && facts.space == expected.space &&
           facts.components == expected.components;
}

void write_output(const std::string& path, const jpeg_memory_output& out, image_job& job) {
    if (!replace_file_contents(path, out.data, out.size)) job.result = job_failed;
}

// The second pass over `first` (released here); `out` receives its result
// when it is smaller than both the first pass's and `original_size`.
void transcode_again_into(jpeg_memory_output& first, image_job& job, uint32_t original_size,
                          jpeg_memory_output& out) {
    job.input_size = job.current_size;
    const size_t first_size = first.size;
    transcoding t;
    const pass_result r = second_pass(t, first.data, first.size, job);
    release_jpeg_memory_output(first);
    if (r == pass_result::done) {
        job.current_size = static_cast<uint32_t>(t.output.size);
        if (t.output.size < first_size && t.output.size < original_size) {
            release_jpeg_memory_output(out);
            out = t.output;  // the block changes hands
            t.output.data = nullptr;
        }
    }
    release_jpeg_memory_output(t.output);
}

}  // namespace

void set_jpeg_compress_params(j_compress_ptr cinfo, const image_job& job) {
    switch (job.jpeg_level) {
        case 0:
            jpeg_c_set_int_param(cinfo, JINT_COMPRESS_PROFILE, static_cast<int>(JCP_FASTEST));
            cinfo->optimize_coding = FALSE;
            cinfo->num_scans = 0;
            cinfo->scan_info = nullptr;
            break;
        case 1:
            cinfo->optimize_coding = TRUE;
            cinfo->num_scans = 0;
            cinfo->scan_info = nullptr;
            break;
        case 2:
            cinfo->optimize_coding = TRUE;
            jpeg_c_set_bool_param(cinfo, JBOOLEAN_OPTIMIZE_SCANS, FALSE);
            jpeg_simple_progression(cinfo);
            break;
        default:
            jpeg_c_set_int_param(cinfo, JINT_COMPRESS_PROFILE, static_cast<int>(JCP_MAX_COMPRESSION));
            cinfo->optimize_coding = TRUE;
            break;
    }
    cinfo->write_JFIF_header = FALSE;
    cinfo->write_Adobe_marker = FALSE;
}

int transcode_jpeg_data(const uint8_t* data, size_t size, image_job& job, jpeg_memory_output& out) {
    init_jpeg_memory_output(out, static_cast<size_t>(jpeg_memory_limit));
    // Never replace a file with something that is not smaller than what was read.
    const uint32_t size_to_beat = static_cast<uint32_t>(std::min<uint64_t>(job.input_size, uint64_t(size)));
    const uint8_t level = job.jpeg_level;
    level_plan plan;
    expected_reading expected;
    transcoding t;
    const pass_result r = first_pass(t, data, size, job, plan, expected);
    if (r != pass_result::done) {
        job.jpeg_level = level;
        release_jpeg_memory_output(t.output);
        if (r == pass_result::library_error || r == pass_result::left_as_is) return 0;
        // Damage is never baked into a file that merely got smaller.
        job.result = r == pass_result::data_after_image ? job_jpeg_metadata_unchanged : job_failed;
        return job.result;
    }
    if (plan.two_passes) {
        job.jpeg_level = plan.saved_level;
        transcode_again_into(t.output, job, size_to_beat, out);
    } else {
        if (job.current_size < size_to_beat || job.jpeg_prepass) {
            out = t.output;  // the block changes hands
            t.output.data = nullptr;
        }
        release_jpeg_memory_output(t.output);
    }
    if (out.size != 0 && !reads_as_expected(out, expected)) {
        release_jpeg_memory_output(out);
        job.result = job_failed;
    }
    return job.result;
}

int transcode_jpeg_lossless(const std::string& input_path, const std::string& output_path, image_job& job) {
    std::vector<uint8_t> input;
    if (!read_whole_file(input_path, input)) {
        job.result = job_failed;
        return job.result;
    }
    jpeg_memory_output out;
    const int r = transcode_jpeg_data(input.data(), input.size(), job, out);
    input = {};
    if (out.size == 0) {
        release_jpeg_memory_output(out);
        return r;
    }
    write_output(output_path, out, job);
    release_jpeg_memory_output(out);
    return job.result;
}
