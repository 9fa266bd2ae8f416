// Progressive scan script search for coefficient transcoding: candidate scan
// layouts are measured on the image's own quantised coefficients and the
// smallest layout is kept.
#pragma once
#include <cstddef>
#include <cstdio>
#include <vector>

#include <jpeglib.h>

// `cinfo` is a compressor whose critical parameters are set (components,
// sampling factors, quantisation tables) and `coef_arrays` hold its final
// coefficients, ready to be read. Fills `script` with a progressive scan script
// that libjpeg-turbo accepts and whose coded size with optimised Huffman tables
// is no larger than that of the standard progressive script. Returns false when
// no script could be chosen; the caller then uses the standard script.
bool choose_progressive_script(j_compress_ptr cinfo, jvirt_barray_ptr* coef_arrays,
                               std::vector<jpeg_scan_info>& script);
