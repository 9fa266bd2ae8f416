// Extended compression parameters for coefficient transcoding with
// libjpeg-turbo: a compression profile and scan optimisation, set by key and
// value, and the write call that gives them their meaning.
//
//   profile not set, scans as the caller left them   libjpeg's own behaviour
//   JCP_FASTEST                                      no scan search
//   JCP_MAX_COMPRESSION                              scan search (unless
//                                                    JBOOLEAN_OPTIMIZE_SCANS is
//                                                    set false afterwards)
//
// With the scan search on, jpeg_ext_write_coefficients writes a progressive
// file with optimised Huffman tables whose scan script is chosen on the
// coefficients being written (choose_progressive_script); otherwise it writes
// what cinfo says (num_scans/scan_info, optimize_coding).
#pragma once
#include <cstdint>
#include <cstdio>
#include <vector>

#include <jpeglib.h>

enum jpeg_int_param : uint32_t {
    JINT_COMPRESS_PROFILE = 0xE9918625,
};

enum jpeg_profile_value : uint32_t {
    JCP_FASTEST = 0x2AEA5CB4,
    JCP_MAX_COMPRESSION = 0x5D083AAD,
};

enum jpeg_bool_param : uint32_t {
    JBOOLEAN_OPTIMIZE_SCANS = 0x680C061E,
};

// The settings of one compressor. Owned by the caller for the life of the
// compressor (the chosen scan script is read until jpeg_finish_compress), and
// kept outside any frame that a library error can jump over.
struct jpeg_ext_settings {
    uint32_t profile = 0;  // 0: none chosen
    bool optimize_scans = false;
    bool optimize_scans_given = false;
    std::vector<jpeg_scan_info> script;
};

// Ties `settings` to the compressor (through its client_data field, which the
// caller must leave to this layer). Call after jpeg_CreateCompress.
void jpeg_ext_attach(j_compress_ptr cinfo, jpeg_ext_settings* settings);

// An unknown key or value, or a compressor without attached settings, raises
// a library error (JERR_NOTIMPL).
void jpeg_c_set_int_param(j_compress_ptr cinfo, jpeg_int_param key, int value);
void jpeg_c_set_bool_param(j_compress_ptr cinfo, jpeg_bool_param key, boolean value);

// jpeg_write_coefficients with the extended settings applied. The arrays must
// hold their final coefficients: the scan search reads them.
void jpeg_ext_write_coefficients(j_compress_ptr cinfo, jvirt_barray_ptr* coef_arrays);
