// PNG and APNG pipeline entry: optimises one file in place and leaves the
// outcome in job.result (and job.preview_refused for a file that cannot be
// previewed). The file is rewritten only when the result is smaller.
#pragma once
#include <string>

#include "core/job.h"

int optimize_png_file(const std::string& path, image_job& job);
