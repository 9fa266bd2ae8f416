// Memory source in short pieces, and what follows the image.
#include "core/jpg/jpeg_source.h"

#include <jerror.h>

namespace {

struct checked_source {
    jpeg_source_mgr pub;  // first member: the library reaches the record through cinfo->src
    const uint8_t* data;
    size_t size;
    size_t handed;  // bytes given to the library so far, up to the end of the current piece
    bool past_end;  // the library asked for more than there was
};

const JOCTET end_of_image[2] = {0xFF, JPEG_EOI};

checked_source& source_of(j_decompress_ptr cinfo) { return *reinterpret_cast<checked_source*>(cinfo->src); }

void start_source(j_decompress_ptr) {}
void end_source(j_decompress_ptr) {}

boolean next_piece(j_decompress_ptr cinfo) {
    checked_source& s = source_of(cinfo);
    if (s.handed >= s.size) {
        WARNMS(cinfo, JWRN_JPEG_EOF);
        s.past_end = true;
        s.pub.next_input_byte = end_of_image;
        s.pub.bytes_in_buffer = sizeof end_of_image;
        return TRUE;
    }
    const size_t left = s.size - s.handed;
    const size_t piece = left < jpeg_source_piece ? left : jpeg_source_piece;
    s.pub.next_input_byte = s.data + s.handed;
    s.pub.bytes_in_buffer = piece;
    s.handed += piece;
    return TRUE;
}

// Skips within the file without handing over the bytes skipped; the next
// piece starts after them.
void skip_bytes(j_decompress_ptr cinfo, long count) {
    if (count <= 0) return;
    checked_source& s = source_of(cinfo);
    const size_t n = static_cast<size_t>(count);
    if (n <= s.pub.bytes_in_buffer) {
        s.pub.next_input_byte += n;
        s.pub.bytes_in_buffer -= n;
        return;
    }
    const size_t beyond = n - s.pub.bytes_in_buffer;
    s.pub.bytes_in_buffer = 0;
    s.handed = beyond < s.size - s.handed ? s.handed + beyond : s.size;
}

}  // namespace

void jpeg_checked_memory_source(j_decompress_ptr cinfo, const uint8_t* data, size_t size) {
    // A source of another kind may be smaller than this one: never reuse it.
    if (!cinfo->src || cinfo->src->fill_input_buffer != next_piece)
        cinfo->src = static_cast<jpeg_source_mgr*>((*cinfo->mem->alloc_small)(
            reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, sizeof(checked_source)));
    checked_source& s = source_of(cinfo);
    s.pub.init_source = start_source;
    s.pub.fill_input_buffer = next_piece;
    s.pub.skip_input_data = skip_bytes;
    s.pub.resync_to_restart = jpeg_resync_to_restart;
    s.pub.term_source = end_source;
    s.pub.next_input_byte = nullptr;
    s.pub.bytes_in_buffer = 0;
    s.data = data;
    s.size = size;
    s.handed = 0;
    s.past_end = false;
}

bool jpeg_data_after_image(j_decompress_ptr cinfo) {
    if (!cinfo->src || cinfo->src->fill_input_buffer != next_piece) return false;
    const checked_source& s = source_of(cinfo);
    if (s.past_end) return false;
    const size_t unread = s.pub.bytes_in_buffer + (s.size - s.handed);
    return more_than_padding(s.data + (s.size - unread), unread);
}

bool more_than_padding(const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i)
        if (data[i] != 0x00 && data[i] != 0xFF) return true;
    return false;
}
