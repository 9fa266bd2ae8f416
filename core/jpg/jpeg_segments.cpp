// Segment filter of the lossless road.
#include "core/jpg/jpeg_segments.h"

#include <cstring>

#include "core/jpg/jpeg_exif.h"

namespace {

constexpr int app1 = JPEG_APP0 + 1;
constexpr int app2 = JPEG_APP0 + 2;
constexpr int app14 = JPEG_APP0 + 14;
constexpr unsigned min_icc_size = 13;

bool is_icc_chunk(const jpeg_marker_struct& s) {
    return s.marker == app2 && s.data_length >= min_icc_size && std::memcmp(s.data, "ICC", 3) == 0;
}

}  // namespace

bool keep_jpeg_segment(const jpeg_marker_struct& segment, const image_job& job, bool colour_transform_needed) {
    switch (job.metadata_mode) {
        case 0:
            return true;
        case 1:
            if (segment.marker == app1) {
                const exif_orientation o = read_exif_orientation(segment.data, segment.data_length);
                return job.keep_exif && o.is_exif && o.value != 0;
            }
            if (segment.marker == app2) return job.keep_icc && is_icc_chunk(segment);
            return segment.marker == app14;
        default:
            return segment.marker == app14 && colour_transform_needed;
    }
}

bool adobe_segment_needed(j_decompress_ptr src, int components) {
    if (!src->saw_Adobe_marker || components != src->num_components) return false;
    return (components == 3 && src->jpeg_color_space == JCS_RGB) ||
           (components == 4 && src->jpeg_color_space == JCS_YCCK);
}
