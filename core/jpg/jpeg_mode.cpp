// JPEG mode decision.
#include "core/jpg/jpeg_mode.h"

#include "core/jpg/turbo_ext/encoder.h"

namespace {

constexpr uint8_t level_not_given = 255;

// The lossy road encodes the image at full size unless a resize target
// shrinks it first; beyond the encoder's limits it could only fail.
bool too_large_to_encode(const image_job& job) {
    if (job.resize_target != 0) return false;
    return job.width > sjpeg::max_encode_dimension || job.height > sjpeg::max_encode_dimension ||
           uint64_t(job.width) * job.height > sjpeg::max_encode_pixels;
}

}  // namespace

void decide_jpeg_mode(image_job& job) {
    const uint8_t m = job.metadata_mode;
    const uint8_t c = job.bytes_per_pixel;

    // Keeping all metadata excludes colour conversion and turning; a colour
    // conversion excludes turning.
    if (m == 0) {
        job.srgb = 0;
        job.rotate = 0;
    } else if (job.srgb) {
        job.rotate = 0;
    }

    if (c == 4) {
        // Only the lossy road with a conversion to sRGB can strip the profile
        // that four-component colours depend on.
        const bool convert = m != 0 && job.srgb && job.has_icc;
        if (!convert) {
            if (m == 2) {
                job.result = job_jpeg_metadata_unchanged;
                return;
            }
            job.mode = mode_lossless;
        }
        job.is_grey = 0;
    }

    if (c == 1) {
        job.force_grey = 0;
        job.srgb = 0;
        job.has_icc = 0;
        job.keep_icc = 0;
    } else if (c != 4 && job.is_grey) {
        job.srgb = 0;
        job.has_icc = 0;
        job.keep_icc = 0;
    } else if (job.force_grey || !job.has_icc) {
        job.keep_icc = 0;
    }

    // By default an Exif block survives only when it carries a real orientation.
    if (job.orientation == 1) job.keep_exif = 0;

    // An image the encoder cannot take goes lossless instead, at the lossless
    // level. Not for a preview: the lossless road would rewrite the file.
    if (job.mode != mode_lossless && !job.preview && too_large_to_encode(job)) job.mode = mode_lossless;

    if (job.jpeg_level == level_not_given) job.jpeg_level = job.mode == mode_lossless ? 1 : 0;
}
