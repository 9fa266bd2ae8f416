// Lossless transforms of a JPEG image on its quantised DCT coefficients:
// flips, transpose, transverse and the three rotations, with optional
// reduction to the first (luma) component. Every output block is one input
// block with its coefficients transposed and/or sign-changed, so the decoded
// pixels are exactly the input's, moved.
//
// Use, around libjpeg's coefficient transcoding:
//   jpeg_read_header(src)
//   jtransform_request_workspace(src, &info)      before jpeg_read_coefficients
//   jpeg_read_coefficients(src)
//   jpeg_copy_critical_parameters(src, dst)
//   arrays = jtransform_adjust_parameters(src, dst, src_arrays, &info)
//   jtransform_execute_transform(src, dst, src_arrays, &info)
//   jpeg_write_coefficients(dst, arrays) ... jpeg_finish_compress(dst)
#pragma once
#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

// Transform codes, numbered as libjpeg's transform module numbers them.
enum JXFORM_CODE {
    JXFORM_NONE = 0,
    JXFORM_FLIP_H = 1,     // left-right mirror
    JXFORM_FLIP_V = 2,     // top-bottom mirror
    JXFORM_TRANSPOSE = 3,  // across the top-left to bottom-right diagonal
    JXFORM_TRANSVERSE = 4, // across the top-right to bottom-left diagonal
    JXFORM_ROT_90 = 5,     // 90 degrees clockwise
    JXFORM_ROT_180 = 6,
    JXFORM_ROT_270 = 7,    // 270 degrees clockwise
};

struct jpeg_transform_info {
    // Request, set by the caller.
    JXFORM_CODE transform = JXFORM_NONE;
    // A flip or turn that would move a partial block row or column from the
    // right or bottom edge to another edge cannot be done exactly. `perfect`
    // refuses such a request; `trim` drops the partial edge instead. With
    // neither, such a request is refused as well.
    boolean perfect = FALSE;
    boolean trim = FALSE;
    // Keep only the first component: a YCbCr image whose luma is at full
    // resolution becomes a greyscale image. Other layouts are refused.
    boolean force_grayscale = FALSE;
    // Cropping is not offered; a request with crop set is refused.
    boolean crop = FALSE;
    // Accepted for compatibility; every flip is done the same way.
    boolean slow_hflip = FALSE;

    // Results, set by jtransform_request_workspace.
    int num_components = 0;
    JDIMENSION output_width = 0;
    JDIMENSION output_height = 0;
    jvirt_barray_ptr* workspace_coef_arrays = nullptr;  // null when the input arrays are written as they are
};

// Called after jpeg_read_header and before jpeg_read_coefficients: checks that
// the request can be done exactly, computes the output size and asks the
// decompressor's memory manager for the output coefficient arrays. Returns
// FALSE (and allocates nothing) when the request cannot be honoured.
boolean jtransform_request_workspace(j_decompress_ptr srcinfo, jpeg_transform_info* info);

// Called after jpeg_copy_critical_parameters: gives the compressor the output
// size, sampling factors, quantisation tables and colour space, and returns the
// coefficient arrays to write.
jvirt_barray_ptr* jtransform_adjust_parameters(j_decompress_ptr srcinfo, j_compress_ptr dstinfo,
                                               jvirt_barray_ptr* src_coef_arrays, jpeg_transform_info* info);

// Fills the output arrays from the input arrays. The input arrays are left as
// they are. Must run before the compressor reads the output arrays.
void jtransform_execute_transform(j_decompress_ptr srcinfo, j_compress_ptr dstinfo,
                                  jvirt_barray_ptr* src_coef_arrays, jpeg_transform_info* info);
