// The view of a JPEG file for the preview window: the image decoded, shrunk
// to fit the window (850 pixels high when taller than 1024, else 1536 wide
// when wider than 1536, else to the resize target) and written as an RGBA PNG
// with stored blocks, "temp-view.png" in the data folder.
#pragma once
#include <string>

#include "core/job.h"

// The lossy road's would-be result in a preview run, in the data folder.
inline constexpr char preview_result_jpg_name[] = "temp-result-jpg.jpg";

// Writes the view of the JPEG file at `path` (read through read_whole_file).
// Returns and stores in job.result the PNG encoder's code (0 = success), or 1
// when the file cannot be read or decoded, in which case no view is written.
int preview_jpeg(const std::string& path, image_job& job);
