// The animated-PNG road: reads every frame of an APNG, lays the frames one
// under another as one still image (the frame strip), runs the PNG analysis
// and one re-encode over the strip so that the whole animation gets one
// colour type and one set of decisions, cuts the strip back into frames,
// improves the frame set as a whole and writes it as an APNG. The result
// replaces the input only when it is complete, reads back as an animation of
// the expected frames and is smaller.
//
// Everything stays in memory; the road runs inside the engine's one
// process-wide critical section (png_optimizer.cpp), one animation at a time.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "core/job.h"

// `input` holds the bytes of the file at `path`, which the chunk scan has
// already read into the job (geometry, frame_count, input_size); `path` is
// read again only for the colour profile under "-srgb". Builds the optimised
// APNG in memory and leaves it in `output` only when it may replace the input:
// smaller, and read back whole with the frames that were written (with the
// same pixels when the run is lossless); otherwise `output` is empty. Returns
// the job's result: 0 done (also when nothing smaller was found), 1 the file
// could not be read as a whole animation or the result did not read back,
// 38 a palette index past the end of the palette, or a PNG codec error of the
// strip encode. job.current_size holds the size of the APNG that was built
// (input_size when none was).
uint8_t build_optimized_apng(const std::string& path, const std::vector<uint8_t>& input,
                             std::vector<uint8_t>& output, image_job& job);

// build_optimized_apng, then the output (if any) replaces the file at `path`
// through the safe replace; a replace that fails makes the result 1. The
// input is touched only then.
uint8_t optimize_apng_file(const std::string& path, const std::vector<uint8_t>& input, image_job& job);
