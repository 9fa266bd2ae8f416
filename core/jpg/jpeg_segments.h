// Which of the APPn segments saved from the input the lossless road copies
// into its output, by metadata mode:
//   0  every segment;
//   1  Exif blocks with a real orientation (while the job keeps Exif), ICC
//      profile chunks (while it keeps the profile) and Adobe APP14 segments;
//   2  none.
// The output carries every kept segment in front of its frame and the
// input's component ids, so the kept segments alone decide how decoders read
// its colours. Where they would read them otherwise than the JPEG library
// read the input's, the colour fix below mends the kept set.
#pragma once
#include <cstdio>

#include <jpeglib.h>

#include "core/job.h"
#include "core/jpg/jpeg_colour_signals.h"

bool keep_jpeg_segment(const jpeg_marker_struct& segment, const image_job& job);

// How the kept segments change so that the output is read in the input's
// colour space.
struct jpeg_colour_fix {
    // An input segment the metadata mode drops but the output needs: the
    // JFIF or Adobe segment that settled the input's colour space.
    const jpeg_marker_struct* also_keep = nullptr;
    // The transform every kept Adobe segment is written with;
    // no_adobe_transform leaves them as read.
    int adobe_transform = no_adobe_transform;
};

// The fix for an output of `out_components` components with the ids in
// `out_ids`, the input's segments in `list`. Nothing to fix for a grey
// reduction. When even the fix cannot lead decoders to the input's colour
// space (a JFIF segment met only after the first scan, kept by mode 0, in
// front of an image read as RGB), the output's read-back check refuses it.
jpeg_colour_fix plan_jpeg_colour_fix(jpeg_saved_marker_ptr list, const image_job& job,
                                     const jpeg_colour_reading& input, const jpeg_component_info* out_ids,
                                     int out_components);

// Writes the kept segments, in file order, with the fix applied. Patches the
// transform byte of the input's saved Adobe segments in place.
void write_kept_jpeg_segments(j_compress_ptr dst, jpeg_saved_marker_ptr list, const image_job& job,
                              const jpeg_colour_fix& fix);
