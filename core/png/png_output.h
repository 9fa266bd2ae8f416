// The last stage of the PNG pipeline: puts the kept ancillary chunks of the
// input back into the new PNG, then either replaces the input file (only with
// a smaller result that decodes to the expected image) or, in a preview run,
// writes the result and a viewing copy of the image to the data folder.
//
// The encoder writes only IHDR, PLTE, tRNS, IDAT and IEND; every other chunk
// reaches the output through here, in one of three lists by where it stood in
// the input: before PLTE/IDAT, between PLTE and IDAT, or after the image data.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/job.h"

// Preview files in the data folder.
inline constexpr char preview_result_png_name[] = "temp-result-png.png";
inline constexpr char preview_view_name[] = "temp-view.png";

// A normal run never writes a result of this many bytes or fewer.
inline constexpr size_t smallest_written_png = 37;

// The first step of write_png_result, which writes nothing: the kept chunks
// of `input` (by the rules below) go into `result_png`. False when a chunk
// with a zero byte in its type, in the input or the result, ends the stage.
bool assemble_png_output(const std::vector<uint8_t>& input, std::vector<uint8_t>& result_png,
                         const image_job& job);

// A view file of both pipelines: the RGBA8 image (width x height) as a PNG of
// colour type 6, 8 bits, with stored deflate blocks, appended to `out`.
// Returns the encoder's code (0 = success).
uint32_t encode_view_png(std::vector<uint8_t>& out, const std::vector<uint8_t>& rgba, uint32_t width,
                         uint32_t height);

// path: the input file; input: its bytes; result_png: the new PNG, replaced by
// the assembled file (in a preview run by the view PNG); image: the RGBA8 work
// image (job.width x job.height), scaled down in place for a large view.
//
// Chunks are kept when job.keep_icc is set or job.metadata_mode is 0
// ("-nostrip"). Under "-nostrip" bKGD, sBIT and hIST are kept only while they
// still describe the output's colour type, depth and palette; otherwise they
// are dropped. A chunk with a zero byte in its type, in the input or the
// result, ends the stage without writing anything.
//
// Normal run: the assembled file replaces the input (through the safe replace)
// when it is shorter than the input and longer than 37 bytes and the codec
// reads it back as a job.width x job.height image; a result that fails that
// check, or a replace that fails, sets job.result to 1 and leaves the input
// untouched. Preview run: "temp-result-png.png" (job.preview) and
// "temp-view.png" (job.preview or job.preview_original); the view is an RGBA
// PNG with stored blocks, scaled down when taller than 1024 or wider than 1536
// pixels, and its encoder code goes into job.result. Returns job.result.
uint8_t write_png_result(const std::string& path, const std::vector<uint8_t>& input,
                         std::vector<uint8_t>& result_png, std::vector<uint8_t>& image,
                         image_job& job);
