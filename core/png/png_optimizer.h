// PNG and APNG pipeline entry: optimises one file in place and leaves the
// outcome in job.result (and job.preview_refused for a file that cannot be
// previewed). The file is rewritten only when the result is smaller. A file
// with an acTL takes the animated road; fcTL and fdAT chunks without one are
// stray chunks of a still image, which is optimised as such and never gets
// them back, even under "-nostrip" (the result must then be smaller than the
// file without them).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "core/job.h"

int optimize_png_file(const std::string& path, image_job& job);

// Everything between reading the file and the output stage, on the file's
// bytes held in memory: chunk scan, decode, analysis and the chosen road.
// `result` receives the road's PNG and `image` the work image as the road
// left it. True when the output stage is to run (job.result is then 0);
// false when the file is done, with its outcome in job.result. `path` is read
// only for an embedded colour profile when job.srgb is set.
bool run_png_pipeline(const std::string& path, const std::vector<uint8_t>& input, std::vector<uint8_t>& result,
                      std::vector<uint8_t>& image, image_job& job);
