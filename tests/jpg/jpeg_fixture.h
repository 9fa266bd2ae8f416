// Small JPEG files built in the tests with libjpeg, and readers that look at
// a result the way an independent decoder would: pixels, segments, scans.
#pragma once
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <jpeglib.h>

extern char** environ;

namespace jpeg_fixture {

using bytes = std::vector<uint8_t>;

// An APPn or COM segment: its marker code and its data (without the length).
struct segment {
    int marker;
    bytes data;
    bool operator==(const segment&) const = default;
};

// Marker and the first data bytes, for failure messages.
inline void PrintTo(const segment& s, std::ostream* os) {
    static const char digits[] = "0123456789ABCDEF";
    *os << "{FF " << digits[(s.marker >> 4) & 15] << digits[s.marker & 15] << ":";
    for (size_t i = 0; i < s.data.size() && i < 16; ++i) *os << ' ' << digits[s.data[i] >> 4] << digits[s.data[i] & 15];
    *os << (s.data.size() > 16 ? " ...}" : "}");
}

struct encode_options {
    int width = 48;
    int height = 32;
    J_COLOR_SPACE input = JCS_RGB;  // JCS_RGB, JCS_GRAYSCALE or JCS_CMYK
    int h0 = 2, v0 = 2;             // sampling of the first component
    int h_rest = 1, v_rest = 1;     // sampling of the others
    int quality = 85;
    bool grey_content = false;      // RGB pixels with R = G = B
    bool red_last_pixel = false;    // ... except the last one
    bool store_rgb = false;         // RGB stored as RGB (with the library's Adobe segment), not YCbCr
    bool progressive = false;
    bool arithmetic = false;
    bool jfif = true;               // the library's own JFIF segment
    int restart_rows = 0;           // a restart marker after every this many MCU rows
    std::vector<segment> segments;  // written after the library's own segments
    std::vector<jpeg_scan_info> script;
    int seed = 0;                   // varies the pattern
    // Sample c of pixel (x, y) in place of the pattern, when given.
    std::function<uint8_t(int x, int y, int c)> pixel;
};

// A textured pattern with detail in every 8x8 block, so that every
// coefficient position is used.
inline uint8_t pattern(int x, int y, int c, int seed) {
    const int v = x * (13 + c * 5) + y * (7 + c * 3) + ((x * y + seed * 17) % 31) * 5 + ((x ^ y) & 7) * 9 + c * 40;
    return static_cast<uint8_t>(v & 255);
}

struct raising_error : jpeg_error_mgr {
    std::jmp_buf jump;
};

inline void jump_out(j_common_ptr cinfo) { std::longjmp(static_cast<raising_error*>(cinfo->err)->jump, 1); }
inline void quiet(j_common_ptr, int) {}

inline bytes encode(const encode_options& o) {
    const int channels = o.input == JCS_GRAYSCALE ? 1 : o.input == JCS_CMYK ? 4 : 3;
    bytes pixels(static_cast<size_t>(o.width) * o.height * channels);
    for (int y = 0; y < o.height; ++y)
        for (int x = 0; x < o.width; ++x)
            for (int c = 0; c < channels; ++c)
                pixels[(static_cast<size_t>(y) * o.width + x) * channels + c] =
                    o.pixel ? o.pixel(x, y, o.grey_content ? 0 : c) : pattern(x, y, o.grey_content ? 0 : c, o.seed);
    if (o.red_last_pixel && channels == 3) {
        uint8_t* last = pixels.data() + pixels.size() - 3;
        last[0] = 255;
        last[1] = last[2] = 0;
    }

    jpeg_compress_struct cinfo;
    raising_error err;
    cinfo.err = jpeg_std_error(&err);
    err.error_exit = jump_out;
    unsigned char* out = nullptr;
    unsigned long out_size = 0;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        std::free(out);
        ADD_FAILURE() << "fixture encode failed";
        return {};
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, &out, &out_size);
    cinfo.image_width = static_cast<JDIMENSION>(o.width);
    cinfo.image_height = static_cast<JDIMENSION>(o.height);
    cinfo.input_components = channels;
    cinfo.in_color_space = o.input;
    jpeg_set_defaults(&cinfo);
    if (o.store_rgb) jpeg_set_colorspace(&cinfo, JCS_RGB);
    jpeg_set_quality(&cinfo, o.quality, TRUE);
    cinfo.comp_info[0].h_samp_factor = o.h0;
    cinfo.comp_info[0].v_samp_factor = o.v0;
    for (int ci = 1; ci < cinfo.num_components; ++ci) {
        cinfo.comp_info[ci].h_samp_factor = o.h_rest;
        cinfo.comp_info[ci].v_samp_factor = o.v_rest;
    }
    cinfo.write_JFIF_header = o.jfif ? TRUE : FALSE;
    cinfo.arith_code = o.arithmetic ? TRUE : FALSE;
    cinfo.restart_in_rows = o.restart_rows;
    if (o.progressive) jpeg_simple_progression(&cinfo);
    if (!o.script.empty()) {
        cinfo.scan_info = o.script.data();
        cinfo.num_scans = static_cast<int>(o.script.size());
    }
    jpeg_start_compress(&cinfo, TRUE);
    for (const segment& s : o.segments)
        jpeg_write_marker(&cinfo, s.marker, s.data.data(), static_cast<unsigned>(s.data.size()));
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = pixels.data() + static_cast<size_t>(cinfo.next_scanline) * o.width * channels;
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    bytes result(out, out + out_size);
    std::free(out);
    return result;
}

struct decoded {
    bool ok = false;
    int width = 0;
    int height = 0;
    int components = 0;
    J_COLOR_SPACE space = JCS_UNKNOWN;  // of the file
    long warnings = 0;
    bytes pixels;  // the library's default output colour space
};

// Decodes as djpeg does by default.
inline decoded decode(const bytes& file) {
    decoded d;
    jpeg_decompress_struct cinfo;
    raising_error err;
    cinfo.err = jpeg_std_error(&err);
    err.error_exit = jump_out;
    err.emit_message = quiet;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        d.ok = false;
        d.pixels.clear();
        return d;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, file.data(), static_cast<unsigned long>(file.size()));
    jpeg_read_header(&cinfo, TRUE);
    d.space = cinfo.jpeg_color_space;
    jpeg_start_decompress(&cinfo);
    d.width = static_cast<int>(cinfo.output_width);
    d.height = static_cast<int>(cinfo.output_height);
    d.components = cinfo.output_components;
    d.pixels.resize(static_cast<size_t>(d.width) * d.height * d.components);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = d.pixels.data() + static_cast<size_t>(cinfo.output_scanline) * d.width * d.components;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    d.warnings = err.num_warnings;
    jpeg_destroy_decompress(&cinfo);
    d.ok = true;
    return d;
}

// Walks the markers of a file. Calls `visit(marker, data, size)` for every
// marker segment before the end of the file (entropy-coded data skipped).
template <class Visit>
bool walk_markers(const bytes& f, Visit visit) {
    if (f.size() < 2 || f[0] != 0xFF || f[1] != 0xD8) return false;
    size_t pos = 2;
    while (pos + 1 < f.size()) {
        if (f[pos] != 0xFF) return false;
        while (pos < f.size() && f[pos] == 0xFF) ++pos;
        if (pos >= f.size()) return false;
        const int marker = f[pos++];
        if (marker == 0xD9) return true;
        if (pos + 2 > f.size()) return false;
        const size_t length = static_cast<size_t>(f[pos]) << 8 | f[pos + 1];
        if (length < 2 || pos + length > f.size()) return false;
        visit(marker, f.data() + pos + 2, length - 2);
        pos += length;
        if (marker == 0xDA) {  // skip the entropy-coded data up to the next marker
            while (pos + 1 < f.size()) {
                if (f[pos] == 0xFF && f[pos + 1] != 0 && !(f[pos + 1] >= 0xD0 && f[pos + 1] <= 0xD7)) break;
                ++pos;
            }
        }
    }
    return false;
}

// APPn and COM segments in file order.
inline std::vector<segment> segments_of(const bytes& f) {
    std::vector<segment> out;
    walk_markers(f, [&](int m, const uint8_t* d, size_t n) {
        if ((m >= 0xE0 && m <= 0xEF) || m == 0xFE) out.push_back({m, bytes(d, d + n)});
    });
    return out;
}

inline int count_markers(const bytes& f, int marker) {
    int n = 0;
    walk_markers(f, [&](int m, const uint8_t*, size_t) { n += m == marker; });
    return n;
}

// The frame marker: 0xC0 baseline, 0xC1 extended sequential, 0xC2 progressive.
inline int frame_marker(const bytes& f) {
    int sof = 0;
    walk_markers(f, [&](int m, const uint8_t*, size_t) {
        if (!sof && m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC) sof = m;
    });
    return sof;
}

inline void put16(bytes& b, uint16_t v, bool little) {
    if (little) b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)});
    else b.insert(b.end(), {uint8_t(v >> 8), uint8_t(v)});
}

// An Exif block (APP1 data) whose first directory holds an XResolution entry
// and then the orientation entry.
inline bytes exif_block(uint8_t orientation, bool little = true) {
    bytes b = {'E', 'x', 'i', 'f', 0, 0};
    if (little) b.insert(b.end(), {'I', 'I', 0x2A, 0, 8, 0, 0, 0});
    else b.insert(b.end(), {'M', 'M', 0, 0x2A, 0, 0, 0, 8});
    put16(b, 2, little);
    put16(b, 0x011A, little);  // XResolution, RATIONAL at offset 38
    put16(b, 5, little);
    const bytes rational_entry = little ? bytes{1, 0, 0, 0, 38, 0, 0, 0} : bytes{0, 0, 0, 1, 0, 0, 0, 38};
    b.insert(b.end(), rational_entry.begin(), rational_entry.end());
    put16(b, 0x0112, little);  // Orientation, SHORT
    put16(b, 3, little);
    const bytes one = little ? bytes{1, 0, 0, 0} : bytes{0, 0, 0, 1};
    b.insert(b.end(), one.begin(), one.end());
    put16(b, orientation, little);
    b.insert(b.end(), {0, 0});
    b.insert(b.end(), {0, 0, 0, 0});                       // next directory
    b.insert(b.end(), {0, 0, 0, 72, 0, 0, 0, 1});          // the rational
    return b;
}

// Writes a new image size into the frame header.
inline bytes with_size(bytes file, uint16_t width, uint16_t height) {
    for (size_t i = 2; i + 9 < file.size(); ++i) {
        if (file[i] == 0xFF && (file[i + 1] == 0xC0 || file[i + 1] == 0xC2)) {
            file[i + 5] = static_cast<uint8_t>(height >> 8);
            file[i + 6] = static_cast<uint8_t>(height);
            file[i + 7] = static_cast<uint8_t>(width >> 8);
            file[i + 8] = static_cast<uint8_t>(width);
            return file;
        }
    }
    ADD_FAILURE() << "no frame header";
    return file;
}

inline bytes text(const std::string& s) { return bytes(s.begin(), s.end()); }

// Gives the frame's components the ids `ids`, in the frame header and in
// every scan header.
inline bytes with_component_ids(bytes file, const std::vector<uint8_t>& ids) {
    std::vector<size_t> frame_ids, scan_ids;  // offsets of the id bytes
    std::vector<uint8_t> old;
    walk_markers(file, [&](int m, const uint8_t* d, size_t n) {
        const size_t at = static_cast<size_t>(d - file.data());
        if (m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC && n >= 6) {
            for (size_t k = 0; k < d[5] && 8 + 3 * k < n; ++k) {
                frame_ids.push_back(at + 6 + 3 * k);
                old.push_back(d[6 + 3 * k]);
            }
        }
        if (m == 0xDA && n >= 1)
            for (size_t k = 0; k < d[0] && 2 + 2 * k < n; ++k) scan_ids.push_back(at + 1 + 2 * k);
    });
    if (frame_ids.size() != ids.size()) ADD_FAILURE() << "the frame has " << frame_ids.size() << " components";
    for (size_t at : scan_ids) {
        for (size_t k = 0; k < old.size() && k < ids.size(); ++k) {
            if (file[at] == old[k]) {
                file[at] = ids[k];
                break;
            }
        }
    }
    for (size_t k = 0; k < frame_ids.size() && k < ids.size(); ++k) file[frame_ids[k]] = ids[k];
    return file;
}

// Puts a segment between the first scan and the second.
inline bytes with_segment_after_first_scan(bytes file, const segment& s) {
    std::vector<size_t> scans;  // where each scan header's marker begins
    walk_markers(file, [&](int m, const uint8_t* d, size_t) {
        if (m == 0xDA) scans.push_back(static_cast<size_t>(d - file.data()) - 4);
    });
    if (scans.size() < 2) {
        ADD_FAILURE() << "fewer than two scans";
        return file;
    }
    bytes b = {0xFF, static_cast<uint8_t>(s.marker), static_cast<uint8_t>((s.data.size() + 2) >> 8),
               static_cast<uint8_t>(s.data.size() + 2)};
    b.insert(b.end(), s.data.begin(), s.data.end());
    file.insert(file.begin() + static_cast<long>(scans[1]), b.begin(), b.end());
    return file;
}

// An ICC profile chunk: "ICC_PROFILE" 00, sequence, count, payload.
inline bytes icc_chunk(uint8_t sequence, uint8_t count, const std::string& payload) {
    bytes b = text(std::string("ICC_PROFILE") + '\0');
    b.push_back(sequence);
    b.push_back(count);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

// An Adobe APP14 segment with the given colour transform.
inline bytes adobe_block(uint8_t transform) { return {'A', 'd', 'o', 'b', 'e', 0, 100, 0, 0, 0, 0, transform}; }

// A JFIF APP0 segment: version 1.01, no density unit, no thumbnail.
inline bytes jfif_block() { return {'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0}; }

// Runs a program found on PATH with its output thrown away; returns its exit
// status, or -1 when it could not be started or did not exit.
inline int run_program(const std::vector<std::string>& args) {
    std::vector<std::string> store = args;
    std::vector<char*> argv;
    for (std::string& a : store) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// jpegtran (libjpeg-turbo-progs) is the oracle of the transform tests.
inline bool have_jpegtran() { return run_program({"jpegtran", "-outfile", "/dev/null", "/dev/null"}) >= 0; }

}  // namespace jpeg_fixture
