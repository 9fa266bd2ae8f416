// Lossless JPEG transcoding: the file is rewritten from its quantised DCT
// coefficients with the Huffman coding and scan layout of the effort level,
// its APPn segments filtered by the metadata mode, and, where asked, turned by
// its Exif orientation or reduced to its grey component. The result replaces
// the output file only when it is smaller than the size to beat.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

#include <jpeglib.h>

#include "core/job.h"
#include "core/jpg/turbo_ext/lossless_transform.h"
#include "core/jpg/turbo_ext/memory_dest.h"

// Lossless transform for each Exif orientation 0..8.
extern const JXFORM_CODE orientation_transforms[9];

// Transcodes `input_path` into `output_path` (the same path for an in-place
// run). The output is written when it is smaller than job.input_size, or
// always while job.jpeg_prepass is set. A library error, or (but for the
// pre-pass) a progressive input whose scans leave coefficients unrefined,
// which decoders show with estimated detail that a rewrite would lose, leaves
// everything unwritten and returns 0 with job.result unchanged; damaged input data, an
// unreadable input, a result that decoders would read in another colour space
// than the input (or with other components, but for a grey reduction) or a
// failed write set job.result to 1; data after the end
// of the image that is more than padding sets it to 2 unless the metadata
// mode is 2 ("-strip"), nothing written. Returns job.result.
int transcode_jpeg_lossless(const std::string& input_path, const std::string& output_path, image_job& job);

// The same transcoding of `size` bytes at `data`, without any file: `out`
// receives the block transcode_jpeg_lossless would write (out.size 0 when it
// would write nothing) and is released by the caller with
// release_jpeg_memory_output. job.result, job.current_size and the other job
// fields change as there. Returns 0 after a library error, else job.result.
int transcode_jpeg_data(const uint8_t* data, size_t size, image_job& job, jpeg_memory_output& out);

// Compression settings by job.jpeg_level, after the critical parameters were
// copied: 0 sequential with standard Huffman tables, 1 sequential with
// optimised tables, 2 the standard progressive script, 3 and 4 a progressive
// script searched on the coefficients. No JFIF or Adobe segment of the
// compressor's own.
void set_jpeg_compress_params(j_compress_ptr cinfo, const image_job& job);
