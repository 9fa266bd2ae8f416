// Which of the APPn segments saved from the input the lossless road copies
// into its output, by metadata mode:
//   0  every segment;
//   1  Exif blocks with a real orientation (while the job keeps Exif), ICC
//      profile chunks (while it keeps the profile) and Adobe APP14 segments;
//   2  none, except an Adobe APP14 segment that decoders need to read the
//      colours right (an RGB or YCCK image: without it they would take the
//      components for YCbCr or CMYK).
#pragma once
#include <cstdio>

#include <jpeglib.h>

#include "core/job.h"

bool keep_jpeg_segment(const jpeg_marker_struct& segment, const image_job& job, bool colour_transform_needed);

// True when the decoder relied on an Adobe segment for the colour space, for
// an image of `components` output components.
bool adobe_segment_needed(j_decompress_ptr src, int components);
