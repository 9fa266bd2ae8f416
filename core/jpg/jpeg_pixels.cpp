// JPEG to packed pixels. The two functions that call setjmp hold nothing with
// a destructor, so a library error jumps straight back into them; the pixel
// buffer is sized in between, outside the library's reach.
#include "core/jpg/jpeg_pixels.h"

#include <cstring>
#include <new>

#include <jerror.h>

#include "core/jpg/jpeg_source.h"

namespace {

constexpr unsigned max_segment = 0xFFFF;

void destroy(jpeg_pixel_source& s) {
    if (s.open) jpeg_destroy_decompress(&s.decoder);
    s.open = false;
}

bool read_header(jpeg_pixel_source& s, const uint8_t* data, size_t size, bool save_segments) {
    // Cleared first, so that destroying an object whose creation failed
    // part-way is safe.
    std::memset(static_cast<void*>(&s.decoder), 0, sizeof s.decoder);
    init_jpeg_error_trap(s.trap);
    s.open = true;
    if (setjmp(s.trap.recovery)) {
        destroy(s);
        return false;
    }
    create_jpeg_decompressor(&s.decoder, s.trap);
    jpeg_checked_memory_source(&s.decoder, data, size);
    if (save_segments)
        for (int m = JPEG_APP0; m <= JPEG_APP0 + 15; ++m) jpeg_save_markers(&s.decoder, m, max_segment);
    jpeg_read_header(&s.decoder, TRUE);
    if (!jpeg_size_acceptable(&s.decoder)) ERREXIT1(&s.decoder, JERR_IMAGE_TOO_BIG, 0);
    return true;
}

// Output layout and scaling; the decoder's output size follows from them.
bool plan_output(jpeg_pixel_source& s, unsigned scale) {
    if (setjmp(s.trap.recovery)) {
        destroy(s);
        return false;
    }
    j_decompress_ptr d = &s.decoder;
    if (d->num_components == 1) d->out_color_space = JCS_RGB;
    d->scale_num = 1;
    d->scale_denom = scale;
    jpeg_calc_output_dimensions(d);
    return true;
}

// Reads every row the decoder delivers, keeping the first `kept.width`
// pixels of the first `kept.height` rows, then consumes the input up to its
// end marker as finishing would, without freeing the saved segments.
bool read_rows(jpeg_pixel_source& s, uint8_t* pixels, kept_size kept) {
    if (setjmp(s.trap.recovery)) {
        destroy(s);
        return false;
    }
    j_decompress_ptr d = &s.decoder;
    jpeg_start_decompress(d);
    const size_t kept_bytes = size_t(kept.width) * d->output_components;
    if (d->output_width < kept.width || d->output_height < kept.height) ERREXIT(d, JERR_EMPTY_IMAGE);
    JSAMPARRAY row = (*d->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(d), JPOOL_IMAGE,
                                             d->output_width * d->output_components, 1);
    while (d->output_scanline < d->output_height) {
        const JDIMENSION y = d->output_scanline;
        if (jpeg_read_scanlines(d, row, 1) != 1) ERREXIT(d, JERR_INPUT_EMPTY);
        if (y < kept.height) std::memcpy(pixels + size_t(y) * kept_bytes, row[0], kept_bytes);
    }
    while (!jpeg_input_complete(d))
        if (jpeg_consume_input(d) == JPEG_SUSPENDED) ERREXIT(d, JERR_INPUT_EMPTY);
    return true;
}

}  // namespace

jpeg_pixel_source::~jpeg_pixel_source() { destroy(*this); }

bool open_jpeg_pixels(jpeg_pixel_source& source, const uint8_t* data, size_t size, bool save_segments,
                      image_job& job) {
    destroy(source);
    if (!read_header(source, data, size, save_segments)) return false;
    job.width = source.decoder.image_width;
    job.height = source.decoder.image_height;
    return true;
}

kept_size jpeg_kept_size(const jpeg_pixel_source& source, const image_job& job) {
    const uint32_t scale = job.dct_scale ? job.dct_scale : 1;
    const uint32_t w = source.decoder.image_width / scale, h = source.decoder.image_height / scale;
    return {w ? w : 1, h ? h : 1};
}

bool decode_jpeg_pixels(jpeg_pixel_source& source, image_job& job, std::vector<uint8_t>& pixels) {
    if (!source.open || !plan_output(source, job.dct_scale ? job.dct_scale : 1)) return false;
    const j_decompress_ptr d = &source.decoder;
    const kept_size kept = jpeg_kept_size(source, job);
    const size_t bytes = size_t(kept.width) * kept.height * d->output_components;
    try {
        pixels.assign(bytes + jpeg_pixel_spare, 0);
    } catch (const std::bad_alloc&) {
        pixels = {};
        return false;
    }
    if (!read_rows(source, pixels.data(), kept)) {
        pixels = {};
        return false;
    }
    job.width = kept.width;
    job.height = kept.height;
    job.pixel_count = kept.width * kept.height;
    job.bytes_per_pixel = static_cast<uint8_t>(d->output_components);
    return true;
}

void close_jpeg_pixels(jpeg_pixel_source& source) { destroy(source); }
