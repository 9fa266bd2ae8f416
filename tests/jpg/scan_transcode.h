// Lossless transcoding through libjpeg-turbo with a chosen progressive scan
// script, and the views of a written file that the scan search is checked
// against: its coefficients and its scan bytes. Shared by the scan search test
// and its benchmark harness.
#pragma once
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "core/jpg/turbo_ext/scan_measure.h"
#include "core/jpg/turbo_ext/scan_search.h"

namespace scan_transcode {

using bytes = std::vector<unsigned char>;

// Library errors jump back to the function that armed the trap, with the
// message kept; warnings are not shown.
struct error_trap {
    jpeg_error_mgr manager;
    std::jmp_buf recovery;
    char message[JMSG_LENGTH_MAX];
};

inline void jump_to_trap(j_common_ptr cinfo) {
    error_trap* trap = reinterpret_cast<error_trap*>(cinfo->err);
    cinfo->err->format_message(cinfo, trap->message);
    std::longjmp(trap->recovery, 1);
}

inline void keep_quiet(j_common_ptr, int) {}

inline jpeg_error_mgr* arm(error_trap& trap) {
    jpeg_std_error(&trap.manager);
    trap.manager.error_exit = jump_to_trap;
    trap.manager.emit_message = keep_quiet;
    trap.message[0] = 0;
    return &trap.manager;
}

// Processor time of the calling thread: steadier than wall time on a busy
// machine.
inline double thread_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Optional change to the coefficients after reading, to build exact fixtures.
using coefficient_edit = void (*)(j_decompress_ptr, jvirt_barray_ptr*);

enum class script_source { standard, searched, given };

struct transcode_result {
    bool ok = false;
    std::string error;
    bytes file;
    std::vector<jpeg_scan_info> script;
    std::int64_t estimate = -1;    // measure_scan_script of the script written
    bool search_answered = false;  // choose_progressive_script's return value
    std::uint64_t pixels = 0;
    double seconds = 0;         // processor time of the whole transcode
    double search_seconds = 0;  // of the search alone
};

// Reads `input`'s coefficients (applying `edit`), picks the script and writes
// the coefficients with optimised Huffman tables. The frame holds no C++
// object, so the library's error jump skips no destructor.
inline bool transcode_into(const bytes& input, script_source source, coefficient_edit edit, transcode_result& r,
                           unsigned char** out, unsigned long* out_size) {
    jpeg_decompress_struct src;
    jpeg_compress_struct dst;
    error_trap trap;
    src.err = dst.err = arm(trap);
    jpeg_create_decompress(&src);
    jpeg_create_compress(&dst);
    if (setjmp(trap.recovery)) {
        r.error = trap.message;
        jpeg_destroy_compress(&dst);
        jpeg_destroy_decompress(&src);
        return false;
    }
    const double start = thread_seconds();
    jpeg_mem_src(&src, input.data(), static_cast<unsigned long>(input.size()));
    jpeg_read_header(&src, TRUE);
    jvirt_barray_ptr* coefs = jpeg_read_coefficients(&src);
    if (edit) edit(&src, coefs);
    jpeg_copy_critical_parameters(&src, &dst);
    r.pixels = static_cast<std::uint64_t>(src.image_width) * src.image_height;
    dst.optimize_coding = TRUE;
    if (source == script_source::standard) {
        jpeg_simple_progression(&dst);
        r.script.assign(dst.scan_info, dst.scan_info + dst.num_scans);
    } else if (source == script_source::searched) {
        const double search_start = thread_seconds();
        r.search_answered = choose_progressive_script(&dst, coefs, r.script);
        r.search_seconds = thread_seconds() - search_start;
    }
    dst.scan_info = r.script.data();
    dst.num_scans = static_cast<int>(r.script.size());
    jpeg_mem_dest(&dst, out, out_size);
    jpeg_write_coefficients(&dst, coefs);
    jpeg_finish_compress(&dst);
    r.seconds = thread_seconds() - start;
    // The compressor keeps its parameters after finishing, and the arrays
    // live until the decompressor finishes.
    r.estimate = measure_scan_script(&dst, coefs, r.script);
    jpeg_destroy_compress(&dst);
    jpeg_finish_decompress(&src);
    jpeg_destroy_decompress(&src);
    return true;
}

inline transcode_result transcode(const bytes& input, script_source source, coefficient_edit edit = nullptr,
                                  std::vector<jpeg_scan_info> given = {}) {
    transcode_result r;
    r.script = std::move(given);
    unsigned char* data = nullptr;
    unsigned long size = 0;
    r.ok = transcode_into(input, source, edit, r, &data, &size);
    if (r.ok) r.file.assign(data, data + size);
    std::free(data);
    return r;
}

// Frame, sampling, quantisation tables and every coefficient of a file, in a
// form that compares with ==.
struct coefficient_dump {
    bool ok = false;
    bool progressive = false;
    std::vector<int> header;
    std::vector<JCOEF> values;
    bool operator==(const coefficient_dump& o) const {
        return ok && o.ok && header == o.header && values == o.values;
    }
};

inline bool dump_into(const bytes& file, coefficient_edit edit, coefficient_dump& d) {
    jpeg_decompress_struct src;
    error_trap trap;
    src.err = arm(trap);
    jpeg_create_decompress(&src);
    if (setjmp(trap.recovery)) {
        jpeg_destroy_decompress(&src);
        return false;
    }
    jpeg_mem_src(&src, file.data(), static_cast<unsigned long>(file.size()));
    jpeg_read_header(&src, TRUE);
    jvirt_barray_ptr* coefs = jpeg_read_coefficients(&src);
    if (edit) edit(&src, coefs);
    d.progressive = src.progressive_mode;
    d.header = {static_cast<int>(src.image_width), static_cast<int>(src.image_height), src.num_components,
                static_cast<int>(src.jpeg_color_space)};
    for (int c = 0; c < src.num_components; ++c) {
        const jpeg_component_info& comp = src.comp_info[c];
        d.header.push_back(comp.h_samp_factor);
        d.header.push_back(comp.v_samp_factor);
        for (int k = 0; k < DCTSIZE2; ++k) d.header.push_back(comp.quant_table->quantval[k]);
        for (JDIMENSION row = 0; row < comp.height_in_blocks; ++row) {
            JBLOCKARRAY blocks =
                src.mem->access_virt_barray(reinterpret_cast<j_common_ptr>(&src), coefs[c], row, 1, FALSE);
            const JCOEF* first = blocks[0][0];
            d.values.insert(d.values.end(), first, first + DCTSIZE2 * comp.width_in_blocks);
        }
    }
    jpeg_finish_decompress(&src);
    jpeg_destroy_decompress(&src);
    return true;
}

inline coefficient_dump dump(const bytes& file, coefficient_edit edit = nullptr) {
    coefficient_dump d;
    d.ok = dump_into(file, edit, d);
    return d;
}

// Bytes of a file's table and scan-header segments and entropy-coded data,
// and how many of those are 00 bytes stuffed after an FF.
struct scan_bytes {
    std::int64_t bytes = 0;
    std::int64_t stuffed = 0;
};

inline scan_bytes count_scan_bytes(const bytes& file) {
    scan_bytes out;
    std::size_t i = 2;
    while (i + 4 <= file.size() && file[i] == 0xFF && file[i + 1] != 0xD9) {
        const int marker = file[i + 1];
        const std::size_t length = (static_cast<std::size_t>(file[i + 2]) << 8) | file[i + 3];
        if (marker == 0xC4 || marker == 0xDA) out.bytes += static_cast<std::int64_t>(2 + length);
        i += 2 + length;
        if (marker != 0xDA) continue;
        for (; i + 1 < file.size() && !(file[i] == 0xFF && file[i + 1] != 0x00); ++i) {
            ++out.bytes;
            if (file[i] == 0xFF) {
                ++out.stuffed;
                ++out.bytes;
                ++i;
            }
        }
    }
    return out;
}

// True when the search's estimate of the written script equals its scan
// bytes, stuffing aside.
inline bool estimate_matches(const transcode_result& r) {
    const scan_bytes written = count_scan_bytes(r.file);
    return r.estimate == written.bytes - written.stuffed;
}

inline bool load_file(const std::string& path, bytes& data) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    unsigned char buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) data.insert(data.end(), buffer, buffer + n);
    std::fclose(f);
    return true;
}

}  // namespace scan_transcode
