// Coded size of progressive JPEG scans, measured on quantised coefficients.
// Each scan's symbols are counted the way progressive Huffman coding forms them
// (DC differences and refinement bits, AC run/size symbols with end-of-band
// runs, correction bits), priced with JPEG's optimal code limited to 16-bit
// code lengths, and given its header and table bytes. With optimised tables a
// progressive file carries fresh tables before every scan, so the sizes of
// scans simply add up and a script can be priced scan by scan without
// encoding it. The sizes equal the scan bytes libjpeg-turbo writes, less the
// 00 bytes it stuffs after FF data bytes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>  // jpeglib.h needs FILE and size_t declared first
#include <vector>

#include <jpeglib.h>

// Block layout of the frame as the compressor codes it.
struct scan_frame_component {
    int h = 1, v = 1;              // sampling factors
    unsigned blocks_across = 0;    // blocks holding image data
    unsigned blocks_down = 0;
    int dc_table = 0, ac_table = 0;
};

struct scan_frame {
    int components = 0;
    int max_h = 1, max_v = 1;
    unsigned mcus_across = 0, mcus_down = 0;  // of a scan holding several components
    scan_frame_component comp[MAX_COMPONENTS];
};

// Fills `frame` from a compressor whose critical parameters are set. False when
// the geometry is one the search does not handle (no image, bad factors, a
// component of more than 2^25 blocks).
bool describe_scan_frame(j_compress_ptr cinfo, scan_frame& frame);

// Blocks of one component in an MCU of a scan holding several components.
inline int blocks_in_mcu(const scan_frame& frame, int component) {
    return frame.comp[component].h * frame.comp[component].v;
}

// Symbol counts of one Huffman-coded table.
struct symbol_counts {
    std::uint32_t freq[256] = {};
};

// Total bits of the counted symbols under JPEG's optimal code (one code point
// kept free so no code is all ones, lengths limited to 16), and the number of
// symbols the table lists. `lengths`, when given, receives each symbol's code
// length (0 for unused symbols).
struct huffman_size {
    std::uint64_t bits = 0;
    int symbols = 0;
};
huffman_size optimal_huffman_size(const symbol_counts& counts, std::uint8_t* lengths = nullptr);

// Bytes of one table segment, one header segment and the padded data of a scan.
inline std::int64_t table_segment_bytes(int symbols) { return 2 + 2 + 1 + 16 + symbols; }
inline std::int64_t scan_header_bytes(int components) { return 2 + 2 + 1 + 2 * components + 3; }

// Bytes each scan adds to the file: its table segments, its header and its
// entropy-coded data padded to a whole byte. The 00 byte stuffed after every FF
// data byte is not counted (it depends on the code words, not only on their
// lengths). A scan whose coefficients the format cannot code (a value too large
// for its category) or whose shape is not a valid progressive scan gets -1.
// The coefficients are read once per component, whatever the number of scans.
// With `row_step` above 1 only every row_step-th MCU row is read and the sizes
// of the scans' data are scaled up to the whole image (an estimate; DC
// refinement scans stay exact).
std::vector<std::int64_t> measure_scans(j_compress_ptr cinfo, const scan_frame& frame,
                                        jvirt_barray_ptr* coef_arrays, const jpeg_scan_info* scans,
                                        std::size_t count, unsigned row_step = 1);

// Sum of measure_scans over a whole script; -1 when any scan is unmeasurable.
std::int64_t measure_scan_script(j_compress_ptr cinfo, jvirt_barray_ptr* coef_arrays,
                                 const std::vector<jpeg_scan_info>& script);
