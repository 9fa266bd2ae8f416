// The orientation tag of an Exif block held in an APP1 segment. The reader
// looks only at the first directory of the block and never reads outside the
// segment's data.
#pragma once
#include <cstddef>
#include <cstdint>

struct exif_orientation {
    bool is_exif;   // the data begins with "Exif" 00 00
    uint8_t value;  // the orientation 1..8, or 0 when the block has none that is usable
};

exif_orientation read_exif_orientation(const uint8_t* data, size_t size);
