// Decisions of the lossy JPEG road, as plain functions on the job record and
// the decoded pixels: the decoder's scaling for a resize target, the pixel
// statistics, the chroma layout and quality, and the encoder's parameters.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/job.h"
#include "core/jpg/turbo_ext/encoder.h"

// With job.resize_target d set, picks the decoder's scaling denominator 8, 4
// or 2: the strongest whose scaled width or height (rounded) still exceeds d;
// otherwise job.dct_scale keeps its value. A target of at least the longer
// side, below 24 or above 4096 cancels the resize: scale 1, target 0.
void choose_dct_scale(image_job& job);

// Quality floor and ceiling: above 98 becomes 99; otherwise at least 70 for a
// photo-like image and 80 for any other.
void clamp_jpeg_quality(image_job& job);

// Statistics over the job.pixel_count kept pixels (job.bytes_per_pixel bytes
// each) in `pixels`, which holds `length` bytes; the windows that reach past
// the pixels read zero beyond `length`. Counts changed and repeated
// neighbour windows and red spikes, clears job.is_grey when a pixel's first
// byte differs from its second or third, then turns the window counts into
// percentages, marks a photo-like image (fewer repeated than changed windows)
// and drops the sRGB conversion of a grey image.
void measure_jpeg_pixels(const uint8_t* pixels, size_t length, image_job& job);

// Records whether the source's chroma was subsampled (its first component has
// a sampling factor of 2 in either direction).
void note_chroma_sampling(image_job& job, int luma_h_factor, int luma_v_factor);

// Chroma layout from the statistics (may lower job.quality by 3 for a
// moderately spiky image when "-q=" was not given). `source_components` is the
// component count of the decoded file.
int choose_chroma_mode(image_job& job, int source_components);

// Fills the encoder's layout, Huffman and optimisation switches and quality
// (clamped) for the job.
void set_lossy_encoder_param(image_job& job, int source_components, sjpeg::EncoderParam& param);
