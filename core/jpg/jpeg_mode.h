// The JPEG road's choices for one file, from what the inspection found and
// the options: which requests can be honoured together, whether a
// four-component file must go lossless or be skipped, whether an image too
// large for the lossy encoder (without a resize target) goes lossless, which
// colour profile and Exif data may be kept, and the default effort level.
#pragma once
#include "core/job.h"

// May set job.result to 2 (a file the metadata mode cannot handle, left
// unchanged).
void decide_jpeg_mode(image_job& job);
