// Colour-space rule of the JPEG library, and the header read-back that checks
// a written file against it.
#include "core/jpg/jpeg_colour_signals.h"

#include <cstring>

#include "core/jpg/jpeg_error_trap.h"
#include "core/jpg/jpeg_source.h"

namespace {

constexpr int app14 = JPEG_APP0 + 14;
// The least data the library reads of each segment before it believes it.
constexpr unsigned jfif_length = 14;
constexpr unsigned adobe_length = 12;
constexpr unsigned adobe_transform_offset = 11;

bool ids_are(const jpeg_component_info* c, int a, int b, int d) {
    return c[0].component_id == a && c[1].component_id == b && c[2].component_id == d;
}

struct header_read {
    jpeg_error_trap trap;
    jpeg_decompress_struct d;
};

// Holds nothing with a destructor: a library error jumps back here.
bool read_header(header_read& h, const uint8_t* data, size_t size, jpeg_header_facts& facts) {
    std::memset(static_cast<void*>(&h.d), 0, sizeof h.d);
    init_jpeg_error_trap(h.trap);
    if (setjmp(h.trap.recovery)) {
        jpeg_destroy_decompress(&h.d);
        return false;
    }
    create_jpeg_decompressor(&h.d, h.trap);
    jpeg_checked_memory_source(&h.d, data, size);
    jpeg_read_header(&h.d, TRUE);
    facts.space = h.d.jpeg_color_space;
    facts.components = h.d.num_components;
    facts.width = h.d.image_width;
    facts.height = h.d.image_height;
    jpeg_destroy_decompress(&h.d);
    return true;
}

}  // namespace

bool is_jfif_segment(const jpeg_marker_struct& s) {
    return s.marker == JPEG_APP0 && s.data_length >= jfif_length && std::memcmp(s.data, "JFIF", 5) == 0;
}

bool is_adobe_segment(const jpeg_marker_struct& s) {
    return s.marker == app14 && s.data_length >= adobe_length && std::memcmp(s.data, "Adobe", 5) == 0;
}

uint8_t adobe_transform_of(const jpeg_marker_struct& s) { return s.data[adobe_transform_offset]; }

void set_adobe_transform(jpeg_marker_struct& s, uint8_t transform) { s.data[adobe_transform_offset] = transform; }

void note_colour_signal(jpeg_colour_signals& signals, const jpeg_marker_struct& s) {
    if (is_jfif_segment(s)) signals.jfif = true;
    if (is_adobe_segment(s)) signals.adobe_transform = adobe_transform_of(s);
}

J_COLOR_SPACE colour_space_read_as(const jpeg_colour_signals& signals, const jpeg_component_info* components,
                                   int count) {
    switch (count) {
        case 1:
            return JCS_GRAYSCALE;
        case 3:
            if (signals.jfif) return JCS_YCbCr;
            if (signals.adobe_transform != no_adobe_transform)
                return signals.adobe_transform == 0 ? JCS_RGB : JCS_YCbCr;
            return ids_are(components, 'R', 'G', 'B') ? JCS_RGB : JCS_YCbCr;
        case 4:
            return signals.adobe_transform == no_adobe_transform || signals.adobe_transform == 0 ? JCS_CMYK : JCS_YCCK;
        default:
            return JCS_UNKNOWN;
    }
}

int adobe_transform_for(J_COLOR_SPACE space) {
    switch (space) {
        case JCS_RGB:
        case JCS_CMYK:
            return 0;
        case JCS_YCbCr:
            return 1;
        case JCS_YCCK:
            return 2;
        default:
            return no_adobe_transform;
    }
}

jpeg_colour_reading read_colour_signals(j_decompress_ptr src) {
    jpeg_colour_reading r;
    r.space = src->jpeg_color_space;
    r.components = src->num_components;
    for (jpeg_saved_marker_ptr m = src->marker_list; m; m = m->next) {
        if (!r.jfif && is_jfif_segment(*m)) r.jfif = m;
        if (is_adobe_segment(*m)) r.adobe = m;
    }
    return r;
}

bool read_jpeg_header_facts(const uint8_t* data, size_t size, jpeg_header_facts& facts) {
    header_read h;
    return read_header(h, data, size, facts);
}
