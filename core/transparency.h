// Colours of fully transparent pixels and the colour-profile and alpha flags
// of the job record. Fully transparent pixels carry colours no viewer shows,
// yet those colours cost bytes after filtering and deflate; the operations
// here decide whether they may be rewritten and rewrite them in place.
//
// Every pixel operation works on the job's RGBA buffer: 4 bytes a pixel
// (R, G, B, A), rows one after another without gaps, geometry taken from the
// job. "Transparent" means alpha 0, "visible" alpha above 0. None of them
// allocates memory or fails.
#pragma once
#include <cstdint>

#include "core/job.h"

// Reconciles has_icc, srgb, keep_icc and single_alpha before encoding.
void settle_colour_flags(image_job& job);

// Sets may_clean_transparent from the alpha statistics, tRNS use and -noalpha.
void decide_transparent_cleanup(image_job& job);

// Gives every transparent pixel the colour (r, g, b); alpha stays.
void fill_transparent(uint8_t* pixels, uint8_t r, uint8_t g, uint8_t b, const image_job& job);

// Fills transparent pixels row by row from their visible neighbours: the
// nearest visible pixel to the right, else the last visible one of the row,
// else the colour carried over from the rows above (black at the start).
void propagate_transparent(uint8_t* pixels, const image_job& job);

// As propagate_transparent, then along the columns towards the brighter
// neighbour; used before scaling so that transparent pixels do not pull dark
// fringes into visible edges.
void propagate_transparent_2d(uint8_t* pixels, const image_job& job);

// Fills transparent pixels with colours that fade from their left and upper
// neighbours; used around posterising.
void blend_transparent_colours(uint8_t* pixels, const image_job& job);

// Blends every pixel over white and makes it opaque.
void flatten_alpha(uint8_t* pixels, const image_job& job);
