// The settings every PNG encode needs decided first: the row filter strategy,
// the compressor and its level, the palette order and, for palette output, the
// palette size; plus whether one file's trial encodes may run at the same time.
//
// Each decision reads the effort level, image size and statistics from the job,
// writes its choice back into the job and, for filters and compressors, into
// the codec state the caller passes. Nothing is kept between calls; parallel
// trials call them on their own copies of the job and the state. A state that
// gets the Zopfli-style compressor points at the job (`compressor_context`),
// so that job must outlive the encodes run with that state.
#pragma once
#include <cstdint>

#include "core/job.h"
#include "core/png/codec/codec_state.h"
#include "core/png/codec/palette_order.h"

// Strategy from level, colour type, pixel and colour count (or the whole-image
// trial strategy when `filter_trial` is set); writes `filter_strategy`,
// `filter_candidate` and the state's `filter_strategy_code`.
void set_filter_strategy(lodepng::State& state, image_job& job);

// A fixed strategy: codes 3-13 as they are, any other code strategy 0 (no
// filter). `filter_strategy` records the code unchanged.
void set_filter_code(int code, lodepng::State& state, image_job& job);

// The multi-level compressor at a level code (0-13, 77, 80, 88, 89; any other
// code compresses as 0 but is recorded unchanged in `deflate_level`).
void select_deflate_level(int code, lodepng::State& state, image_job& job);

// The compressor by PNG level for the lossy and palette paths.
void select_deflate_for_level(lodepng::State& state, image_job& job);

// The compressor by PNG level and image statistics: first = 1 the quick setting
// for trial encodes, first = 0 the setting for the final encode.
void select_deflate_by_statistics(int first, lodepng::State& state, image_job& job);

// The strong compressor of the extra candidate encodes that the strongest
// level adds to the lossless search (more iterations than the final encode's).
void select_deflate_for_candidates(lodepng::State& state, image_job& job);

// Fills the fields of `record` that ordering `code` names; the others keep
// their values. Unknown codes select mode 4 (translucent entries first).
void set_palette_order(int code, png_palette_order& record);

// source 0: the colour type the decoded file said (`file_info`); otherwise the
// type the last automatic encode wrote (`result_mode`). Types other than 0, 2,
// 3 and 4 are recorded as 6.
void read_colour_type(int source, const lodepng::State& state, image_job& job);

// `max_colours` for palette output with a resize target, from the counted
// colours and the quality; other jobs are left alone.
void choose_palette_size(image_job& job);

// Sets `parallel_trials` when one file's trial encodes may run at the same
// time, and clears it otherwise.
void decide_parallel_deflate(image_job& job);
