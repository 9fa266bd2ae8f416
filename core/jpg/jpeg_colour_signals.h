// The colour space a decoder reads a JPEG file's components as, settled by
// the signals in front of the frame: with three components a JFIF segment
// means YCbCr, else the last Adobe segment's transform (0 RGB, any other
// YCbCr), else the component ids ('R' 'G' 'B' RGB, any other YCbCr); with
// four components the Adobe transform alone (none or 0 CMYK, any other
// YCCK). This is the JPEG library's rule, so the lossless road can tell from
// the segments it keeps how its output will be read.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include <jpeglib.h>

inline constexpr int no_adobe_transform = -1;

// The markers of one file that take part in the rule.
struct jpeg_colour_signals {
    bool jfif = false;
    int adobe_transform = no_adobe_transform;  // of the last Adobe segment
};

// Segments the library takes for a JFIF or an Adobe segment (by their
// leading bytes and the least length it reads).
bool is_jfif_segment(const jpeg_marker_struct& segment);
bool is_adobe_segment(const jpeg_marker_struct& segment);
uint8_t adobe_transform_of(const jpeg_marker_struct& segment);  // of an Adobe segment
void set_adobe_transform(jpeg_marker_struct& segment, uint8_t transform);

// Adds one segment, in file order, to the signals.
void note_colour_signal(jpeg_colour_signals& signals, const jpeg_marker_struct& segment);

// The colour space the rule gives for `count` components with these ids;
// JCS_GRAYSCALE for one component, JCS_UNKNOWN for counts other than 1, 3, 4.
J_COLOR_SPACE colour_space_read_as(const jpeg_colour_signals& signals, const jpeg_component_info* components,
                                   int count);

// The Adobe transform that makes a decoder read RGB, YCbCr, CMYK or YCCK;
// no_adobe_transform for other spaces.
int adobe_transform_for(J_COLOR_SPACE space);

// How the library read an input's header: the colour space and the segments
// in front of the frame that settled it.
struct jpeg_colour_reading {
    J_COLOR_SPACE space = JCS_UNKNOWN;
    int components = 0;
    const jpeg_marker_struct* jfif = nullptr;   // the first JFIF segment
    const jpeg_marker_struct* adobe = nullptr;  // the last Adobe segment
};

// Right after jpeg_read_header, while the saved list holds only the segments
// in front of the first scan (those met later play no part in the reading).
jpeg_colour_reading read_colour_signals(j_decompress_ptr src);

// What the library reads `size` bytes at `data` as, by the header alone.
struct jpeg_header_facts {
    J_COLOR_SPACE space = JCS_UNKNOWN;
    int components = 0;
    uint32_t width = 0, height = 0;
};
// False when the header cannot be read.
bool read_jpeg_header_facts(const uint8_t* data, size_t size, jpeg_header_facts& facts);
