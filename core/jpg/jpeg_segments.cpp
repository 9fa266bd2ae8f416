// Segment filter of the lossless road, with the colour fix.
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

bool keep_jpeg_segment(const jpeg_marker_struct& segment, const image_job& job) {
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
            return false;
    }
}

jpeg_colour_fix plan_jpeg_colour_fix(jpeg_saved_marker_ptr list, const image_job& job,
                                     const jpeg_colour_reading& input, const jpeg_component_info* out_ids,
                                     int out_components) {
    jpeg_colour_fix fix;
    if (out_components != input.components || (input.components != 3 && input.components != 4)) return fix;
    jpeg_colour_signals kept;
    for (jpeg_saved_marker_ptr m = list; m; m = m->next)
        if (keep_jpeg_segment(*m, job)) note_colour_signal(kept, *m);
    auto read_as = [&] { return colour_space_read_as(kept, out_ids, out_components); };

    // The Adobe segment that settled the input's colour space stays even when
    // the mode drops it, where the component ids would lead elsewhere ('R' 'G'
    // 'B' on an image read as YCbCr) or the space is RGB or YCCK: decoders
    // that go by the markers alone take three components for YCbCr and four
    // for CMYK.
    const bool settled_by_adobe = input.adobe && (input.components == 4 || !input.jfif);
    if (kept.adobe_transform == no_adobe_transform && settled_by_adobe &&
        (read_as() != input.space || input.space == JCS_RGB || input.space == JCS_YCCK)) {
        fix.also_keep = input.adobe;
        note_colour_signal(kept, *input.adobe);
    }
    if (read_as() == input.space) return fix;

    // A kept Adobe segment that the input's JFIF segment overruled, or that
    // came after the first scan, would now decide: all of them say the
    // input's colour space instead, so that no decoder is left to choose.
    if (kept.adobe_transform != no_adobe_transform) {
        fix.adobe_transform = adobe_transform_for(input.space);
        kept.adobe_transform = fix.adobe_transform;
        if (read_as() == input.space) return fix;
    }
    // Read as YCbCr by its JFIF segment against component ids that say RGB:
    // the JFIF segment stays, so that the output carries the input's signals.
    if (input.space == JCS_YCbCr && input.jfif && !fix.also_keep) fix.also_keep = input.jfif;
    return fix;
}

void write_kept_jpeg_segments(j_compress_ptr dst, jpeg_saved_marker_ptr list, const image_job& job,
                              const jpeg_colour_fix& fix) {
    for (jpeg_saved_marker_ptr m = list; m; m = m->next) {
        if (!keep_jpeg_segment(*m, job) && m != fix.also_keep) continue;
        if (fix.adobe_transform != no_adobe_transform && is_adobe_segment(*m))
            set_adobe_transform(*m, static_cast<uint8_t>(fix.adobe_transform));
        jpeg_write_marker(dst, m->marker, m->data, m->data_length);
    }
}
