// Exif orientation reader.
//
// Layout: "Exif" 00 00, then a TIFF header ("II" 2A 00 little-endian or
// "MM" 00 2A big-endian) with the offset of the first directory; the directory
// is a 16-bit entry count and 12-byte entries (tag, type, count, value). All
// offsets count from the TIFF header. The orientation entry (tag 0x0112) holds
// a SHORT whose low byte is the value.
#include "core/jpg/jpeg_exif.h"

#include <cstring>

namespace {

constexpr size_t exif_header_size = 6;
constexpr size_t min_exif_size = 18;  // header, TIFF header, room for a count
constexpr size_t entry_size = 12;
constexpr uint16_t orientation_tag = 0x0112;

uint16_t read16(const uint8_t* p, bool little) {
    return little ? static_cast<uint16_t>(p[0] | p[1] << 8) : static_cast<uint16_t>(p[0] << 8 | p[1]);
}

}  // namespace

exif_orientation read_exif_orientation(const uint8_t* data, size_t size) {
    if (size < exif_header_size || std::memcmp(data, "Exif\0\0", exif_header_size) != 0) return {false, 0};
    exif_orientation none{true, 0};
    if (size < min_exif_size) return none;
    const uint8_t* tiff = data + exif_header_size;
    bool little;
    if (std::memcmp(tiff, "II\x2A\0", 4) == 0)
        little = true;
    else if (std::memcmp(tiff, "MM\0\x2A", 4) == 0)
        little = false;
    else
        return none;
    // 32-bit directory offset: its upper half must be 0.
    const uint16_t upper = read16(tiff + (little ? 6 : 4), little);
    const uint16_t directory = read16(tiff + (little ? 4 : 6), little);
    if (upper != 0) return none;
    // Every position below is checked against the data size, so that the whole
    // entry count and every examined entry lie inside the segment.
    if (exif_header_size + directory + 2 > size) return none;
    const uint16_t count = read16(tiff + directory, little);
    size_t entry = static_cast<size_t>(directory) + 2;
    for (uint16_t i = 0; i < count && exif_header_size + entry + entry_size <= size; ++i, entry += entry_size) {
        if (read16(tiff + entry, little) != orientation_tag) continue;
        const uint8_t value = tiff[entry + (little ? 8 : 9)];
        return {true, static_cast<uint8_t>(value >= 1 && value <= 8 ? value : 0)};
    }
    return none;
}
