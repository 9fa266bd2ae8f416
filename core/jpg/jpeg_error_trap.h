// The error trap through which every libjpeg object of the JPEG pipeline
// reports: a library error jumps back to the trap's recovery point and prints
// nothing; warnings print nothing either, and the corrupt-data warnings among
// them are counted so that a road that writes can refuse damaged input (the
// decompressors read through jpeg_checked_memory_source, so that the Huffman
// decoder reports every invalid code).
// Every object also gets a memory limit, and every decompressor a cap on the
// number of scans it reads.
//
// The frame that calls setjmp(trap.recovery), and every frame between it and
// the library, holds no object with a destructor: a jump skips them.
#pragma once
#include <csetjmp>
#include <cstdint>
#include <cstdio>

#include <jpeglib.h>

// Most memory one libjpeg object may use (its coefficient arrays above all).
inline constexpr long jpeg_memory_limit = 1L << 30;
// Most scans a decompressor reads; real encoders write a few dozen at most.
inline constexpr int jpeg_max_scans = 500;

struct jpeg_error_trap {
    jpeg_error_mgr manager;  // first member: the handlers reach the trap through cinfo->err
    std::jmp_buf recovery;
    unsigned corrupt_warnings;
    jpeg_progress_mgr progress;  // the scan cap of the decompressor
};

// jpeg_std_error on the manager, then this trap's handlers in place of the
// error exit and the message output; the count starts at 0.
void init_jpeg_error_trap(jpeg_error_trap& trap);

// The error exit: jumps to the trap's recovery point; never returns.
[[noreturn]] void jpeg_error_jump(j_common_ptr cinfo);

// Creation with the trap as error manager (library version 62), the memory
// limit, and for a decompressor the scan cap. Destroy with the library's own
// calls.
void create_jpeg_decompressor(j_decompress_ptr cinfo, jpeg_error_trap& trap);
void create_jpeg_compressor(j_compress_ptr cinfo, jpeg_error_trap& trap);

// After jpeg_read_header: true when the image's pixel count fits 32 bits and
// its coefficient arrays fit the memory limit, computed in 64 bits, so that a
// hostile header is refused before anything is allocated for it.
bool jpeg_size_acceptable(j_decompress_ptr cinfo);

// True for the warnings that mean the image data is damaged (truncated or
// corrupt entropy-coded data, a broken progression); other warnings (stray
// bytes between segments, metadata quirks) leave the image as it was meant.
// Besides these, the trap counts bytes skipped between the end of a scan's
// data and the marker after it (other than a restart marker) as damage.
bool is_corrupt_data_warning(int msg_code);
