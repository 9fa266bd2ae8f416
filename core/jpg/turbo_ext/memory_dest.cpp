// Growing memory destination for libjpeg compressors.
#include "core/jpg/turbo_ext/memory_dest.h"

#include <cstdlib>

#include <jerror.h>

namespace {

constexpr size_t first_block = 64 * 1024;

jpeg_memory_output& output_of(j_compress_ptr cinfo) { return *reinterpret_cast<jpeg_memory_output*>(cinfo->dest); }

void grow(j_compress_ptr cinfo, size_t capacity) {
    jpeg_memory_output& out = output_of(cinfo);
    if (capacity > out.limit) {
        if (out.capacity >= out.limit) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 0);
        capacity = out.limit;
    }
    auto* bigger = static_cast<JOCTET*>(std::realloc(out.data, capacity));
    if (!bigger) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 1);
    out.data = bigger;
    out.manager.next_output_byte = bigger + out.capacity;
    out.manager.free_in_buffer = capacity - out.capacity;
    out.capacity = capacity;
}

void start(j_compress_ptr cinfo) {
    jpeg_memory_output& out = output_of(cinfo);
    out.size = 0;
    if (out.capacity == 0) {
        grow(cinfo, first_block);
    } else {
        out.manager.next_output_byte = out.data;
        out.manager.free_in_buffer = out.capacity;
    }
}

boolean full(j_compress_ptr cinfo) {
    grow(cinfo, output_of(cinfo).capacity * 2);
    return TRUE;
}

void finish(j_compress_ptr cinfo) {
    jpeg_memory_output& out = output_of(cinfo);
    out.size = out.capacity - out.manager.free_in_buffer;
}

}  // namespace

void init_jpeg_memory_output(jpeg_memory_output& out, size_t limit) {
    out.manager = {};
    out.data = nullptr;
    out.capacity = 0;
    out.size = 0;
    out.limit = limit < first_block ? first_block : limit;
}

void jpeg_memory_dest(j_compress_ptr cinfo, jpeg_memory_output& out) {
    out.manager.init_destination = start;
    out.manager.empty_output_buffer = full;
    out.manager.term_destination = finish;
    cinfo->dest = &out.manager;
}

void release_jpeg_memory_output(jpeg_memory_output& out) {
    std::free(out.data);
    init_jpeg_memory_output(out, out.limit);
}
