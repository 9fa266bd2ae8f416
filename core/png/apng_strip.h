// The frame strip: all frames of an animation one under another as one
// still image, so that the PNG analysis and encoder see the whole animation
// at once, and the cut that turns the re-encoded strip back into frames.
//
// The strip stays in memory: it is built as RGBA8 pixels straight from the
// reader's frames, and the re-encoded strip PNG is read back with libpng in
// its own colour type (palette indices one byte each, grey, grey-alpha, RGB
// or RGBA at 8 bits) together with its palette and tRNS.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/png/apng_frame.h"

// The frames' pixels one frame under another (RGBA8); false when memory runs
// out. Frames must all have the same size.
bool build_frame_strip(const std::vector<ImageRows>& frames, std::vector<uint8_t>& strip);

// Reads a PNG from memory into `record`: size, bytes per pixel, colour type,
// palette and tRNS as the data model of apng_frame keeps them. 16-bit samples
// are cut to 8 bits and grey below 8 bits is widened to 8. Returns 0, or 1
// when libpng cannot read the data (its errors never end the process).
int read_png_frame(const uint8_t* data, size_t size, apng_frame& record);

// Cuts `strip` into `frame_count` records of min(frame height, strip height /
// frame count) rows each, with the strip's colour description and the
// delays of `delays` (one per frame). `frame_set` is replaced. Returns 0, or 1
// when the strip height is not a multiple of the frame count, the delays do
// not match, or memory runs out.
int cut_frame_strip(const apng_frame& strip, uint32_t frame_count, uint32_t frame_height,
                    const std::vector<ImageRows>& delays, std::vector<apng_frame>& frame_set,
                    uint32_t& colour_type);

// Frames of the reader as a frame set (RGBA8, colour type 6), for a strip
// that was not re-encoded.
int frames_to_frame_set(const std::vector<ImageRows>& frames, std::vector<apng_frame>& frame_set);
