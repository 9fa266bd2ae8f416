// The animated-PNG reader: every frame of an APNG as a full-canvas RGBA8
// image, composed as a viewer shows it.
//
// libpng 1.6 as Debian ships it knows nothing of animation, so each frame is
// handed to its progressive reader as a plain PNG: the file's IHDR (with the
// frame's size), the chunks before the image data, the frame's data as IDAT
// (an fdAT is rewritten in place) and an IEND. libpng never ends the process:
// its errors come back through a setjmp trap and fail the file, its warnings
// are dropped.
//
// The reader checks what it relies on before it allocates: chunk lengths and
// CRCs, the acTL/fcTL/fdAT lengths and sequence numbers, frame regions in
// 64-bit arithmetic against the canvas, and the number and size of the frames
// against the frame strip's limits (apng_frame.h). Anything it cannot read
// exactly makes the read incomplete, and an incomplete read is never
// optimised. Palette frames are read as indices and expanded here, so that an
// index past the end of the palette (which libpng would show as black) stops
// the read as it stops the still-image decoder.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/png/apng_frame.h"

struct apng_animation {
    std::vector<ImageRows> frames;  // composed frames in playing order
    uint32_t play_count = 0;        // from acTL; 0 plays for ever
    // The IDAT image is shown by viewers without animation support only: it
    // is frames[0] and the animation starts at frames[1].
    bool default_skipped = false;
    // The read stopped at a palette index past the end of the palette.
    bool index_past_palette = false;
    // The read stopped at a critical chunk the reader does not know.
    bool unknown_critical = false;
};

// Reads the APNG in `data`. True only when the file was read to its IEND
// and is consistent: an acTL before the image data whose frame count matches
// the fcTL chunks, sequence numbers 0, 1, 2, ... over fcTL and fdAT, image
// data for every frame, and the limits kept. On false the frames read so far
// stay in `animation` (they are never to be written).
bool load_apng(const uint8_t* data, size_t size, apng_animation& animation);

// Composes the width x height pixels of `raw` (from its top-left corner) onto
// `canvas` at (x, y): blend 0 copies; blend 1 puts them over the canvas by
// their alpha. The region must lie inside both images.
void compose_frame(ImageRows& canvas, const ImageRows& raw, uint32_t blend, uint32_t x, uint32_t y,
                   uint32_t width, uint32_t height);
