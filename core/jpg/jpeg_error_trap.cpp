// Error trap, warning count and limits for libjpeg objects.
#include "core/jpg/jpeg_error_trap.h"

#include <cstring>

#include <jerror.h>

namespace {

jpeg_error_trap& trap_of(j_common_ptr cinfo) { return *reinterpret_cast<jpeg_error_trap*>(cinfo->err); }

// Bytes skipped before a marker that ends a scan's data (the end of the
// image, or the tables and header of the next scan) mean that the data did
// not hold what the header describes: decoding came to the end of the scan
// early. Before a restart marker they are tolerated: some motion-JPEG
// encoders leave a few bytes at the end of each interval, and such files
// decode as meant. Bytes between segments of the first header are padding.
bool skipped_data_after_scan(j_common_ptr cinfo) {
    if (!cinfo->is_decompressor || cinfo->err->msg_code != JWRN_EXTRANEOUS_DATA) return false;
    const auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
    const int marker = cinfo->err->msg_parm.i[1];
    return d->input_scan_number > 0 && !(marker >= JPEG_RST0 && marker <= JPEG_RST0 + 7);
}

// Warnings (level -1) are counted, corrupt-data ones separately; trace
// messages are ignored; nothing is printed.
void count_message(j_common_ptr cinfo, int msg_level) {
    if (msg_level >= 0) return;
    jpeg_error_trap& trap = trap_of(cinfo);
    ++trap.manager.num_warnings;
    if (is_corrupt_data_warning(trap.manager.msg_code) || skipped_data_after_scan(cinfo)) ++trap.corrupt_warnings;
}

void silent_output(j_common_ptr) {}

// Called by the decompressor at every scan start and iMCU row while it reads
// input: a file with more scans than any encoder writes is refused before it
// costs a pass over the whole image per scan.
void check_scan_count(j_common_ptr cinfo) {
    if (!cinfo->is_decompressor) return;
    auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (d->input_scan_number > jpeg_max_scans) ERREXIT(cinfo, JERR_BAD_PROGRESSION);
}

}  // namespace

bool is_corrupt_data_warning(int msg_code) {
    switch (msg_code) {
        case JWRN_HIT_MARKER:
        case JWRN_HUFF_BAD_CODE:
        case JWRN_ARITH_BAD_CODE:
        case JWRN_MUST_RESYNC:
        case JWRN_BOGUS_PROGRESSION:
        case JWRN_JPEG_EOF:
        case JWRN_NOT_SEQUENTIAL:
            return true;
        default:
            return false;
    }
}

void init_jpeg_error_trap(jpeg_error_trap& trap) {
    jpeg_std_error(&trap.manager);
    trap.manager.error_exit = jpeg_error_jump;
    trap.manager.emit_message = count_message;
    trap.manager.output_message = silent_output;
    trap.corrupt_warnings = 0;
    trap.progress = {};
    trap.progress.progress_monitor = check_scan_count;
}

void jpeg_error_jump(j_common_ptr cinfo) { std::longjmp(trap_of(cinfo).recovery, 1); }

// The structures are cleared first, so that destroying an object whose
// creation failed part-way is safe.
void create_jpeg_decompressor(j_decompress_ptr cinfo, jpeg_error_trap& trap) {
    std::memset(static_cast<void*>(cinfo), 0, sizeof *cinfo);
    cinfo->err = &trap.manager;
    jpeg_CreateDecompress(cinfo, JPEG_LIB_VERSION, sizeof(jpeg_decompress_struct));
    cinfo->mem->max_memory_to_use = jpeg_memory_limit;
    cinfo->progress = &trap.progress;
}

bool jpeg_size_acceptable(j_decompress_ptr cinfo) {
    const uint64_t pixels = static_cast<uint64_t>(cinfo->image_width) * cinfo->image_height;
    if (pixels > UINT32_MAX) return false;
    uint64_t bytes = 0;
    for (int ci = 0; ci < cinfo->num_components; ++ci) {
        const jpeg_component_info& c = cinfo->comp_info[ci];
        const uint64_t h = c.h_samp_factor > 0 ? static_cast<uint64_t>(c.h_samp_factor) : 1;
        const uint64_t v = c.v_samp_factor > 0 ? static_cast<uint64_t>(c.v_samp_factor) : 1;
        const uint64_t cols = (c.width_in_blocks + h - 1) / h * h;
        const uint64_t rows = (c.height_in_blocks + v - 1) / v * v;
        bytes += cols * rows * sizeof(JBLOCK);
    }
    return bytes <= static_cast<uint64_t>(jpeg_memory_limit);
}

void create_jpeg_compressor(j_compress_ptr cinfo, jpeg_error_trap& trap) {
    std::memset(static_cast<void*>(cinfo), 0, sizeof *cinfo);
    cinfo->err = &trap.manager;
    jpeg_CreateCompress(cinfo, JPEG_LIB_VERSION, sizeof(jpeg_compress_struct));
    cinfo->mem->max_memory_to_use = jpeg_memory_limit;
}
