// Encoder driver: argument and metadata checks, the two coefficient stages,
// and the hand-over to libjpeg-turbo, which writes the file into memory.
#include "core/jpg/turbo_ext/encoder.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include <jpeglib.h>
#include <jerror.h>

#include "core/jpg/turbo_ext/encoder_quant.h"
#include "core/jpg/turbo_ext/encoder_transform.h"
#include "core/jpg/turbo_ext/memory_dest.h"

namespace sjpeg {

EncoderParam::EncoderParam() = default;

EncoderParam::EncoderParam(float quality) { SetQuality(quality); }

void EncoderParam::SetQuality(float quality) {
    quality_ = quality < 0.0f ? 0.0f : (quality > 100.0f ? 100.0f : quality);
    if (quality_ != quality_) quality_ = 75.0f;  // NaN
}

void EncoderParam::ResetMetadata() {
    exif.clear();
    xmp.clear();
    iccp.clear();
    app_markers.clear();
}

namespace {

const char exif_signature[] = "Exif\0";                          // 6 bytes with the final zero
const char xmp_signature[] = "http://ns.adobe.com/xap/1.0/";    // 29 bytes with the zero
const char icc_signature[] = "ICC_PROFILE";                     // 12 bytes with the zero

// The largest file the memory destination grows to: sizes stay 32-bit.
const size_t max_output_bytes = size_t(1) << 31;

struct segment {
    int marker;
    std::string data;
};

// Builds the metadata segments in output order; false when one does not fit
// or `app_markers` is not a run of complete APPn/COM segments.
bool build_segments(const EncoderParam& param, std::vector<segment>& out) {
    if (!param.exif.empty()) {
        if (param.exif.size() > max_exif_payload) return false;
        out.push_back({JPEG_APP0 + 1, std::string(exif_signature, 6) + param.exif});
    }
    if (!param.iccp.empty()) {
        const size_t chunks = (param.iccp.size() + max_icc_chunk_payload - 1) / max_icc_chunk_payload;
        if (chunks > max_icc_chunks) return false;
        for (size_t i = 0; i < chunks; ++i) {
            std::string data(icc_signature, 12);
            data.push_back(char(i + 1));
            data.push_back(char(chunks));
            data.append(param.iccp, i * max_icc_chunk_payload, max_icc_chunk_payload);
            out.push_back({JPEG_APP0 + 2, std::move(data)});
        }
    }
    if (!param.xmp.empty()) {
        if (param.xmp.size() > max_xmp_payload) return false;
        out.push_back({JPEG_APP0 + 1, std::string(xmp_signature, 29) + param.xmp});
    }
    const std::string& m = param.app_markers;
    for (size_t i = 0; i < m.size();) {
        if (m.size() - i < 4 || uint8_t(m[i]) != 0xFF) return false;
        const int code = uint8_t(m[i + 1]);
        if (!((code >= JPEG_APP0 && code <= JPEG_APP0 + 15) || code == JPEG_COM)) return false;
        const size_t length = (size_t(uint8_t(m[i + 2])) << 8) | uint8_t(m[i + 3]);
        if (length < 2 || length - 2 > m.size() - i - 4) return false;
        out.push_back({code, m.substr(i + 4, length - 2)});
        i += 2 + length;
    }
    return true;
}

// Error manager whose exit jumps back to the encode frame and which prints
// nothing.
struct encode_trap {
    jpeg_error_mgr manager;
    jmp_buf recovery;
};

[[noreturn]] void jump_to_trap(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<encode_trap*>(cinfo->err)->recovery, 1);
}
void stay_silent(j_common_ptr) {}

struct write_request {
    const detail::coefficient_image* image;
    const detail::quant_tables* tables;
    uint32_t width, height;
    bool optimize_coding;
    const segment* segments;
    size_t segment_count;
};

// Runs libjpeg-turbo over the quantised coefficients. Nothing with a
// destructor lives in this frame, so the error jump leaves no object behind;
// on any failure the sink's buffer is freed and false returned.
bool write_file(const write_request& request, jpeg_memory_output& sink) {
    jpeg_compress_struct cinfo;
    encode_trap trap;
    cinfo.err = jpeg_std_error(&trap.manager);
    trap.manager.error_exit = jump_to_trap;
    trap.manager.output_message = stay_silent;
    if (setjmp(trap.recovery)) {
        jpeg_destroy_compress(&cinfo);
        release_jpeg_memory_output(sink);
        return false;
    }
    jpeg_create_compress(&cinfo);
    jpeg_memory_dest(&cinfo, sink);

    const detail::coefficient_image& image = *request.image;
    cinfo.image_width = request.width;
    cinfo.image_height = request.height;
    cinfo.input_components = image.components;
    cinfo.in_color_space = image.components == 1 ? JCS_GRAYSCALE : JCS_YCbCr;
    jpeg_set_defaults(&cinfo);
    jpeg_set_colorspace(&cinfo, cinfo.in_color_space);
    cinfo.write_JFIF_header = FALSE;
    cinfo.write_Adobe_marker = FALSE;
    cinfo.optimize_coding = request.optimize_coding ? TRUE : FALSE;
    for (int t = 0; t < (image.components == 1 ? 1 : 2); ++t) {
        unsigned int steps[64];
        for (int k = 0; k < 64; ++k) steps[k] = request.tables->step[t][k];
        jpeg_add_quant_table(&cinfo, t, steps, 100, TRUE);
    }
    jvirt_barray_ptr arrays[3];
    for (int c = 0; c < image.components; ++c) {
        jpeg_component_info& info = cinfo.comp_info[c];
        info.h_samp_factor = info.v_samp_factor = c == 0 ? image.luma_factor : 1;
        info.quant_tbl_no = c == 0 ? 0 : 1;
        // The library reads whole MCU rows and columns: the arrays are
        // rounded up to the sampling factor, and the extra blocks stay zero.
        const JDIMENSION f = JDIMENSION(info.v_samp_factor);
        arrays[c] = cinfo.mem->request_virt_barray(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE, TRUE,
                                                   (image.comp[c].blocks_wide + f - 1) / f * f,
                                                   (image.comp[c].blocks_high + f - 1) / f * f, f);
    }
    jpeg_write_coefficients(&cinfo, arrays);
    // The library derives its block grid from the image size and sampling;
    // it must be the one the coefficients were made for.
    for (int c = 0; c < image.components; ++c)
        if (cinfo.comp_info[c].width_in_blocks != image.comp[c].blocks_wide ||
            cinfo.comp_info[c].height_in_blocks != image.comp[c].blocks_high)
            ERREXIT(&cinfo, JERR_BAD_DCTSIZE);
    for (size_t i = 0; i < request.segment_count; ++i)
        jpeg_write_marker(&cinfo, request.segments[i].marker,
                          reinterpret_cast<const JOCTET*>(request.segments[i].data.data()),
                          unsigned(request.segments[i].data.size()));
    for (int c = 0; c < image.components; ++c) {
        const detail::component_blocks& blocks = image.comp[c];
        for (uint32_t by = 0; by < blocks.blocks_high; ++by) {
            JBLOCKARRAY row =
                cinfo.mem->access_virt_barray(reinterpret_cast<j_common_ptr>(&cinfo), arrays[c], by, 1, TRUE);
            std::memcpy(row[0], blocks.block(0, by), size_t(blocks.blocks_wide) * sizeof(JBLOCK));
        }
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

static_assert(sizeof(JCOEF) == sizeof(int16_t), "coefficients are copied as 16-bit values");

}  // namespace

bool Encode(const uint8_t* rgb, int width, int height, int stride, const EncoderParam& param,
            std::string* output) {
    if (!output) return false;
    output->clear();
    if (!rgb || width <= 0 || height <= 0 || stride <= 0) return false;
    if (uint32_t(width) > max_encode_dimension || uint32_t(height) > max_encode_dimension) return false;
    if (uint64_t(width) * uint64_t(height) > max_encode_pixels) return false;
    if (uint64_t(stride) < uint64_t(width) * 3) return false;
    if (param.yuv_mode != SJPEG_YUV_420 && param.yuv_mode != SJPEG_YUV_444 && param.yuv_mode != SJPEG_YUV_400)
        return false;
    try {
        std::vector<segment> segments;
        if (!build_segments(param, segments)) return false;

        detail::coefficient_image image;
        if (!detail::transform_image(rgb, uint32_t(width), uint32_t(height), size_t(stride), param.yuv_mode,
                                     image))
            return false;
        detail::quant_tables tables;
        detail::scaled_base_tables(param.quality(), tables);
        if (param.adaptive_quantization) detail::adapt_tables(image, tables);
        detail::quant_options options;
        options.adaptive_bias = param.adaptive_bias;
        options.trellis = param.use_trellis;
        detail::quantise_image(image, tables, options);

        write_request request{&image, &tables, uint32_t(width), uint32_t(height), param.Huffman_compress,
                              segments.data(), segments.size()};
        jpeg_memory_output sink;
        init_jpeg_memory_output(sink, max_output_bytes);
        if (!write_file(request, sink)) return false;
        try {
            output->assign(reinterpret_cast<const char*>(sink.data), sink.size);
        } catch (...) {
            release_jpeg_memory_output(sink);
            output->clear();
            throw;
        }
        release_jpeg_memory_output(sink);
    } catch (const std::bad_alloc&) {
        output->clear();
        return false;
    }
    return true;
}

}  // namespace sjpeg
