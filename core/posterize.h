// Lossy preparation of RGBA8 images for PNG output: fewer levels per channel
// (`posterize`), near-black and near-white pushed to the extremes
// (`snap_extremes`), a flatness probe for large images (`probe_large_image`)
// and the palette encode of the palette road (`encode_png_palette`).
//
// Pixels are job.pixel_count pixels of 4 bytes (R, G, B, A; rows without
// gaps), except snap_extremes, which takes job.bytes_per_pixel bytes a pixel.
#pragma once
#include <cstdint>
#include <vector>

#include "core/job.h"

// The posterising step for R, G and B: 4 unless "-q=" was given
// (job.quality_default 0), then 8 at quality 79 or less, 7, 6, 5, 4, 3 for
// the bands starting at 80, 84, 88, 92, 96, and 2 at 100.
int posterize_step(const image_job& job);

// Quantises every channel to steps around a prediction from the left and upper
// neighbours, with Sierra error diffusion (alpha in steps of 2). Values 0 and
// 255 never change. With "-q=" and quality 91 or less, R, G and B values
// 1..254 are first lowered by one. Transparent pixels are blended before and,
// afterwards, given an unused colour (job.single_alpha) or blended again
// (job.may_clean_transparent).
void posterize(uint8_t* pixels, const image_job& job);

// R + G + B above 755 -> white, 9 or less -> black; alpha stays.
void snap_extremes(uint8_t* pixels, const image_job& job);

// Images above this many pixels are probed.
inline constexpr uint32_t probe_min_pixels = 589824;

// For an image of more than 589,823 pixels: scales its first 768 x 768 pixels
// (opaque, the pixel stream cut into rows of 768) to 64 x 64, counts the
// neighbouring pairs whose R + G + B differ by 3 or less, sets
// job.colour_limit to 150,000, counts the colours, and sets
// job.flat_large_image when there are at most 149,998 colours and more than
// 3,199 such pairs. Smaller images are left alone.
void probe_large_image(const uint8_t* pixels, image_job& job);

// Quantises the image to at most job.max_colours entries (chosen first by
// choose_palette_size) and writes an 8-bit palette PNG into `out` (emptied
// first): no row filters, stored blocks when `uncompressed`, else the deflate
// back end chosen for the PNG level. Fully transparent entries become
// (0, 0, 0, 0). The codec's code goes into job.result.
void encode_png_palette(std::vector<uint8_t>& out, const uint8_t* pixels, uint8_t uncompressed,
                        image_job& job);
