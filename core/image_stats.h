// Measurements of a decoded RGBA8 image (grey test, alpha scan, distinct-colour
// count, neighbour statistics) and the choice between lossless, lossy
// truecolour and palette output for a lossy PNG or APNG run.
//
// Every operation reads `job.pixel_count` RGBA pixels (4 bytes each, rows
// without gaps) from `pixels`, expects at least one pixel, leaves the pixels
// unchanged and writes its results into the job record.
#pragma once
#include <cstdint>

#include "core/job.h"

// Clears job.is_grey at the first tested pixel whose R, G and B differ; with
// job.noalpha every pixel is tested, otherwise only pixels with alpha above 0.
void detect_grey(const uint8_t* pixels, image_job& job);

// Counts the pixels with alpha below 255 into job.translucent_count, clears
// job.alphas_above_250 when one of them has alpha 250 or less, and sets
// job.single_alpha to whether there are such pixels and all share one alpha.
void scan_alpha(const uint8_t* pixels, image_job& job);

// Counts distinct RGBA values into job.colour_count, stopping once the count
// exceeds job.colour_limit (so limit + 1 means "more"). The all-zero value is
// never counted; pixels with alpha 0 are skipped unless job.count_all_pixels.
void count_colours(const uint8_t* pixels, image_job& job);

// Neighbour statistics as percentages of the pixel count, the translucent
// percentage, and the few-colours, photo-like and smooth verdicts. Needs
// scan_alpha and count_colours first.
void collect_image_stats(const uint8_t* pixels, image_job& job);

// Scores the measurements and sets job.decision_score and job.mode to 1
// (lossless), 2 (lossy truecolour) or 3 (palette). Needs every measurement
// first.
void decide_png_mode(const uint8_t* pixels, image_job& job);

// Number of palette entries the quantiser would choose for the image at
// quality 90 with at most 256 entries.
uint16_t probe_palette_size(const uint8_t* pixels, const image_job& job);
