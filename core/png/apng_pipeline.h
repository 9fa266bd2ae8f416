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
// already read into the job (geometry, frame_count, input_size). Returns the
// job's result: 0 done (replaced, or nothing smaller found), 1 the file
// could not be read as a whole animation or the result could not be checked
// or written, or a PNG codec error of the strip encode. The input is touched
// only on success, through the safe replace. job.current_size holds the size
// of the APNG that was built (input_size when none was).
uint8_t optimize_apng_file(const std::string& path, const std::vector<uint8_t>& input, image_job& job);
