// Colours of fully transparent pixels chosen for the encoder's benefit.
//
// `fill_transparent_unused_colour` gives every fully transparent pixel one RGB
// colour that no opaque pixel has, so that an image whose non-opaque pixels are
// all fully transparent can be written as truecolour with a colour key instead
// of an alpha channel. `normalise_by_round_trip` lets the image take on the
// colours the encoder's transparent-pixel cleaning gives such pixels, by
// encoding it as RGBA with stored blocks and decoding it back.
#pragma once
#include <cstdint>
#include <vector>

#include "core/job.h"
#include "core/png/codec/codec_state.h"
#include "core/png/codec/palette_order.h"

// `pixels`: job.pixel_count RGBA8 pixels. A grey image gets (0, 0, 0). Otherwise
// the candidate is the colour of the first pixel with alpha above 0 (black when
// there is none); when an opaque pixel uses it, red, then green, then blue are
// stepped upwards to 254, and after that random colours are tried (65,535 at
// most, from a generator private to the call). When nothing is free the
// pixels keep their colours. Used colours are collected once into a bitmap.
void fill_transparent_unused_colour(uint8_t* pixels, const image_job& job);

// Encodes `image` (job.width x job.height RGBA8) into `png` as RGBA with stored
// blocks through `state` (its filter strategy and cleaning switch as the
// caller set them) and decodes it back into `image`. Returns the decoder's
// code, also left in job.result (the encoder's code when encoding failed).
// On failure `image` and the geometry stay as they were. Afterwards the state
// has automatic colour choice and compressed blocks again; its file_info
// colour type stays RGBA.
uint32_t normalise_by_round_trip(std::vector<uint8_t>& image, std::vector<uint8_t>& png,
                                 lodepng::State& state, const png_palette_order& order,
                                 image_job& job);
