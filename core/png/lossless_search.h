// The lossless PNG search for effort levels 1 to 4: a few cheap trial encodes
// (with and without row filters, truecolour against palette, several palette
// orders) decide the codec settings, then one final encode pays for the
// level's strong compressor. No visible pixel changes.
//
// Level 4 then tries candidates that the cheap trials cannot judge: for
// photographs, row filters chosen by trial compression, encoded with a
// longer-running compressor; for large truecolour images whose filters won,
// the whole-image filter choice when its trial leads clearly. A candidate
// replaces the result only when it is smaller.
//
// Trials that do not depend on each other run in OpenMP parallel sections
// when job.parallel_trials is set; each section owns its job copy, codec state
// and output buffer and writes only its own size slot.
#pragma once
#include <cstdint>
#include <vector>

#include "core/job.h"
#include "core/png/codec/codec_state.h"

// Optimises the RGBA8 work image `image` (job.width x job.height) into the PNG
// `result`. Returns 0, 1 or a codec error, also left in job.result. On success
// `result` holds the final PNG and job.trial_size_best its size; on failure
// `result` and `image` are emptied so that nothing is written. The work image
// may come back with other colours under fully transparent pixels.
uint8_t optimize_png_lossless(std::vector<uint8_t>& result, std::vector<uint8_t>& image,
                              image_job& job);

// One trial of the filter race on its own state and job copy: without
// `filtered` no row filter and no palette ordering; with it the level's filter
// strategy (strategy 11 with `strategy11`) after spreading visible colours into
// transparent pixels when allowed. The codec's code goes into job.result (1 for
// an empty output). Returns the size of `out`, 0 when the encode failed.
uint32_t encode_once(lodepng::State& state, std::vector<uint8_t>& image, std::vector<uint8_t>& out,
                     bool filtered, bool strategy11, image_job& job);
