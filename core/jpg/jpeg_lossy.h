// Lossy JPEG re-encoding: the file is decoded to pixels (scaled down inside
// the decoder when a resize target allows it), measured, resized and
// converted to sRGB where asked, and encoded again with our encoder, its
// chroma layout and quality chosen from the measurements and its metadata
// gathered from the source. The result replaces the file only when it is
// smaller, and a lossless pass at effort levels 2-4 may shrink it further.
// A preview run writes the result and its view to the data folder instead.
// "-rotate" is served by a lossless turn of the file into a temporary file in
// the data folder, which is decoded in place of the input.
//
// The road refuses, with job.result 1 and nothing written: a file it cannot
// read or decode, damaged image data, an image the encoder cannot take (not
// three-byte RGB after the colour conversion, beyond its size limits) and a
// failed encode or write; with job.result 2 and nothing written, a file with
// data after the end of its image that is more than padding (a second
// picture, a gain map, a video), unless the metadata mode is 2 ("-strip").
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/job.h"

// Runs the road on the file at `path`; returns job.result.
int reencode_jpeg_lossy(const std::string& path, image_job& job);

// The decode and encode of the road on `size` bytes at `data`, without the
// turn, any file, the preview or the final lossless pass: `output` receives
// the encoded file, or stays empty with job.result 1 or 2 for the refusals
// above. Afterwards job.current_size is the output's size and
// job.bytes_per_pixel its component count. Returns job.result.
int encode_jpeg_lossy_data(const uint8_t* data, size_t size, image_job& job, std::string& output);
