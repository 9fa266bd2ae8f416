// JPEG inspection. One decompressor reads the header with the APP1 and APP2
// segments saved; the grey test then decodes rows until the first pixel that
// is not grey, so colour images cost a row or two and only grey ones a full
// decode.
#include "core/jpg/jpeg_examine.h"

#include <cstring>
#include <vector>

#include "core/jpg/jpeg_error_trap.h"
#include "core/jpg/jpeg_source.h"
#include "core/jpg/jpeg_exif.h"
#include "core/platform.h"

namespace {

constexpr int app1 = JPEG_APP0 + 1;
constexpr int app2 = JPEG_APP0 + 2;
constexpr unsigned max_segment = 0xFFFF;
constexpr unsigned min_icc_size = 13;

// Orientation from the first APP1 segment that is an Exif block; 1 when there
// is none or its orientation is unusable.
uint8_t orientation_of(j_decompress_ptr d) {
    for (jpeg_saved_marker_ptr m = d->marker_list; m; m = m->next) {
        if (m->marker != app1) continue;
        const exif_orientation o = read_exif_orientation(m->data, m->data_length);
        if (o.is_exif) return o.value != 0 ? o.value : 1;
    }
    return 1;
}

// An APP2 segment that begins "ICC" is a profile chunk; any of them counts,
// so that other APP2 data before the profile (FlashPix) does not hide it.
bool has_icc_profile(j_decompress_ptr d) {
    for (jpeg_saved_marker_ptr m = d->marker_list; m; m = m->next)
        if (m->marker == app2 && m->data_length >= min_icc_size && std::memcmp(m->data, "ICC", 3) == 0) return true;
    return false;
}

// False at the first pixel whose three samples differ. Stops decoding there.
bool all_pixels_grey(j_decompress_ptr d) {
    jpeg_start_decompress(d);
    JSAMPARRAY row = (*d->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(d), JPOOL_IMAGE,
                                             d->output_width * d->output_components, 1);
    while (d->output_scanline < d->output_height) {
        if (jpeg_read_scanlines(d, row, 1) != 1) break;
        const JSAMPLE* p = row[0];
        for (JDIMENSION x = 0; x < d->output_width; ++x, p += 3)
            if (p[0] != p[1] || p[0] != p[2]) return false;
    }
    return true;
}

struct inspection {
    jpeg_error_trap trap;
    jpeg_decompress_struct d;
};

// Holds no object with a destructor: a library error jumps back here.
void inspect(inspection& s, const uint8_t* data, size_t size, image_job& job) {
    std::memset(static_cast<void*>(&s.d), 0, sizeof s.d);
    init_jpeg_error_trap(s.trap);
    if (setjmp(s.trap.recovery)) {
        jpeg_destroy_decompress(&s.d);
        job.result = job_failed;
        return;
    }
    create_jpeg_decompressor(&s.d, s.trap);
    jpeg_checked_memory_source(&s.d, data, size);
    jpeg_save_markers(&s.d, app1, max_segment);
    jpeg_save_markers(&s.d, app2, max_segment);
    // A file without an image (cut before its frame, or tables only) fails here.
    jpeg_read_header(&s.d, TRUE);
    if (!jpeg_size_acceptable(&s.d)) {
        jpeg_destroy_decompress(&s.d);
        job.result = job_failed;
        return;
    }

    job.orientation = orientation_of(&s.d);
    if (job.orientation == 1) job.rotate = 0;
    const int components = s.d.num_components;
    if ((job.preview || job.preview_original || job.preview_check) && components >= 4) job.preview_refused = 1;
    if (has_icc_profile(&s.d)) job.has_icc = 1;
    job.width = s.d.image_width;
    job.height = s.d.image_height;
    job.pixel_count = job.width * job.height;
    job.bytes_per_pixel = static_cast<uint8_t>(components);

    if (components == 3 && !all_pixels_grey(&s.d)) job.is_grey = 0;
    jpeg_destroy_decompress(&s.d);
}

}  // namespace

int inspect_jpeg_data(const uint8_t* data, size_t size, image_job& job) {
    inspection s;
    inspect(s, data, size, job);
    return job.result;
}

int inspect_jpeg(const std::string& path, image_job& job) {
    std::vector<uint8_t> bytes;
    if (!read_whole_file(path, bytes)) {
        job.result = job_failed;
        return job.result;
    }
    return inspect_jpeg_data(bytes.data(), bytes.size(), job);
}
