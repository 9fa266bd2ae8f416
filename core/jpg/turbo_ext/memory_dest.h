// A libjpeg destination that collects the compressed file in one growing
// malloc block owned by the caller's record, so that the block can be freed
// from above an error trap whatever happened inside the library. The block
// never grows beyond the record's limit: the compressor fails with an
// out-of-memory error instead.
#pragma once
#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

struct jpeg_memory_output {
    jpeg_destination_mgr manager;  // first member: the callbacks reach the record through cinfo->dest
    JOCTET* data;
    size_t capacity;
    size_t size;   // set when the compression finishes
    size_t limit;  // largest block the output may grow to
};

// Starts an empty output (nothing allocated until the compressor starts).
void init_jpeg_memory_output(jpeg_memory_output& out, size_t limit);

// Directs the compressor's output into `out`.
void jpeg_memory_dest(j_compress_ptr cinfo, jpeg_memory_output& out);

// Frees the block; the record is empty again, with the same limit.
void release_jpeg_memory_output(jpeg_memory_output& out);
