// Improvements of an animation's frame set as a whole, between the strip cut
// and the writer: fully transparent pixels lose their colour, identical
// neighbouring frames become one longer frame, the colour type of the whole
// set shrinks when its colours allow (grey, grey-alpha, RGB with a
// transparent key, or palette), and a grey or RGB set gets a transparent key
// colour that no pixel uses, which lets the writer express unchanged pixels
// as transparent.
//
// Every step works in place. Each record keeps its own pixels and delay; the
// first record's colour type, palette and tRNS describe the set, and a
// reduction rewrites the pixels of every record (all records follow the new
// colour type and bytes per pixel).
#pragma once
#include <cstdint>
#include <vector>

#include "core/png/apng_frame.h"

// RGBA and grey-alpha: every pixel with alpha 0 gets colour 0.
void clear_transparent_colours(apng_frame& frame);

// Merges runs of byte-identical consecutive frames into the last frame of
// the run, which shows for the summed time. Records before `first` (a
// default image that is not part of the animation) are left alone. Frames
// whose summed delay does not fit the 16-bit fcTL fields stay apart.
void merge_duplicate_frames(std::vector<apng_frame>& frames, size_t first = 0);

// The summed delay of two frames as numerator and denominator (a denominator
// of 0 counts as 100, unequal denominators are brought to a common one and
// reduced); false when either part exceeds 16 bits.
bool combine_delays(uint32_t num_a, uint32_t den_a, uint32_t num_b, uint32_t den_b, uint32_t& num,
                    uint32_t& den);

// By the first record's colour type: RGB, palette, grey-alpha and RGBA sets
// are reduced when their colours allow; grey sets stay.
void reduce_frame_colours(std::vector<apng_frame>& frames);

// A grey or RGB set without tRNS gets a key no pixel uses, when one exists
// (greys: any value; RGB: channels that are multiples of 16).
void choose_transparent_key(std::vector<apng_frame>& frames);

// The transparent colour of the set, from the first record: grey or RGB key,
// or for other types the lowest palette index whose tRNS alpha is 0. False
// when the set has none.
struct transparent_key {
    uint8_t bytes[3];  // grey/palette: bytes[0]; RGB: R, G, B
};
bool find_transparent_key(const apng_frame& first, transparent_key& key);
