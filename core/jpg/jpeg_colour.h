// Colour profile of a JPEG file and the conversion of its decoded pixels to
// sRGB ("-srgb" on the lossy road).
//
// The profile is joined from the ICC chunks among the decoder's saved APP2
// segments. LittleCMS runs in a private context whose errors are only
// recorded, so a profile it cannot use means no conversion and never ends the
// process. CMYK pixels (4 bytes) are converted into a separate buffer of 3
// bytes a pixel, never in place across the two sizes.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "core/job.h"

// Spare bytes kept after the pixels of a decoded JPEG buffer.
inline constexpr size_t jpeg_pixel_spare = 2048;

// One ICC profile chunk: its payload inside a saved segment.
struct icc_chunk {
    const uint8_t* payload;
    size_t length;
    int sequence;  // 1..255
};

// qsort order of icc_chunk entries by sequence number.
int compare_icc_chunks(const void* a, const void* b);

// Joins the ICC chunks (APP2 segments of at least 14 bytes beginning
// "ICC_PROFILE\0": sequence number, chunk count, payload) in sequence order
// into `profile`. False, with `profile` empty, when there are none, when the
// chain is broken (a sequence of 0 or above the count, counts that differ, a
// sequence repeated or missing) or when the profile is empty.
bool read_jpeg_icc(jpeg_saved_marker_ptr segments, std::string& profile);

// Converts the job.pixel_count pixels (job.bytes_per_pixel 3 = RGB, 4 =
// inverted CMYK as the decoder delivers Adobe files) from the embedded profile
// to sRGB with the perceptual intent. On success the buffer holds 3-byte
// pixels and the spare bytes, job.bytes_per_pixel = 3 and job.keep_icc = 0,
// and true is returned. Otherwise nothing changes.
bool convert_jpeg_to_srgb(jpeg_saved_marker_ptr segments, std::vector<uint8_t>& pixels, image_job& job);
