// First look at a JPEG file: orientation, colour profile, size, component
// count, and whether a three-component image is grey (every pixel R = G = B).
// Also refuses previews of four-component files and hostile image sizes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/job.h"

// Reads the file at `path` and inspects it. Returns job.result (1 when the
// file cannot be read, its header is broken or its size is refused).
int inspect_jpeg(const std::string& path, image_job& job);

// The same on a file held in memory.
int inspect_jpeg_data(const uint8_t* data, size_t size, image_job& job);
