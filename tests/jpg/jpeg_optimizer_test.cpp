// The JPEG driver's outcomes: which road a file takes for each option
// combination, what reaches job.result and job.preview_refused, and whether
// the file may be rewritten; damaged scan data and pictures after the end of
// the image keep the file as it was on every road.
#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/job.h"
#include "core/jpg/jpeg_optimizer.h"
#include "core/options.h"
#include "core/temp_folder.h"
#include "jpg/jpeg_fixture.h"

namespace {

using namespace jpeg_fixture;

struct driver_case {
    const char* label;
    J_COLOR_SPACE input;
    void (*set)(default_flags&);
    uint8_t result;
    uint8_t preview_refused;
    bool rewritten;
    uint8_t level;  // job.jpeg_level afterwards
};

TEST(JpegDriver, OutcomeByOptions) {
    const driver_case cases[] = {
        {"lossless, no level given: level 1", JCS_RGB, [](default_flags& f) { f.lossless = 1; }, 0, 0, true, 1},
        {"lossy road: re-encoded", JCS_RGB, [](default_flags&) {}, 0, 0, true, 0},
        {"CMYK with -strip: skipped", JCS_CMYK, [](default_flags& f) { f.metadata_mode = 2; }, 2, 0, false, 255},
        {"CMYK, default mode: lossless forced", JCS_CMYK, [](default_flags&) {}, 0, 0, true, 1},
        {"CMYK preview: refused", JCS_CMYK, [](default_flags& f) { f.preview = 1; }, 0, 1, false, 255},
        {"CMYK preview check: refused", JCS_CMYK, [](default_flags& f) { f.preview_check = 1; }, 0, 1, false, 255},
        {"preview check: inspection only", JCS_RGB, [](default_flags& f) { f.preview_check = 1; }, 0, 0, false, 255},
        {"preview of the original: untouched", JCS_RGB, [](default_flags& f) { f.preview_original = 1; }, 0, 0, false, 0},
        {"preview with -l: the lossless road", JCS_RGB,
         [](default_flags& f) {
             f.preview = 1;
             f.lossless = 1;
             f.jpeg_level = 2;
         },
         0, 0, true, 2},
    };
    for (const driver_case& c : cases) {
        encode_options o;
        o.input = c.input;
        o.segments = {{0xFE, bytes(2000, 'c')}};  // any transcoded result is smaller
        const bytes input = encode(o);
        temp_folder tmp;
        const std::string path = tmp / "image.jpg";
        write_file(path, std::string(input.begin(), input.end()));
        ::setenv("LOCALAPPDATA", (tmp / "appdata").c_str(), 1);  // the views go there
        default_flags flags;
        init_default_flags(flags);
        c.set(flags);
        image_job job;
        init_image_job(job, flags, static_cast<uint32_t>(input.size()));
        optimize_jpeg_file(path, job);
        EXPECT_EQ(job.result, c.result) << c.label;
        EXPECT_EQ(job.preview_refused, c.preview_refused) << c.label;
        EXPECT_EQ(job.jpeg_level, c.level) << c.label;
        const std::string after = read_file(path);
        EXPECT_EQ(after != std::string(input.begin(), input.end()), c.rewritten) << c.label;
        // The lossless road keeps the pixels; the lossy one only the size.
        const decoded out = decode(bytes(after.begin(), after.end()));
        if (c.rewritten && flags.lossless == 0 && c.input == JCS_RGB) {
            EXPECT_TRUE(out.ok && out.width == o.width && out.height == o.height) << c.label;
        } else if (c.rewritten) {
            EXPECT_TRUE(out.pixels == decode(input).pixels) << c.label;
        }
    }
}

TEST(JpegDriver, UnreadableFilesFail) {
    temp_folder tmp;
    default_flags flags;
    init_default_flags(flags);
    flags.lossless = 1;
    const struct {
        const char* label;
        std::string content;
    } cases[] = {
        {"signature only", std::string("\xFF\xD8\xFF\xE0", 4) + std::string(60, 'x')},
        {"missing file", ""},
    };
    for (const auto& c : cases) {
        const std::string path = tmp / "image.jpg";
        boost::filesystem::remove(path);
        if (!c.content.empty()) write_file(path, c.content);
        image_job job;
        init_image_job(job, flags, static_cast<uint32_t>(c.content.size()));
        optimize_jpeg_file(path, job);
        EXPECT_EQ(job.result, 1) << c.label;
        if (!c.content.empty()) {
            EXPECT_EQ(read_file(path), c.content) << c.label;
        }
    }
}

// One run of the driver on `input` written to a file, with the data folder
// in the run's own temporary folder.
struct driver_run {
    image_job job;
    bytes after;
    std::vector<std::string> data_files;
};

driver_run run_driver(const bytes& input, void (*set)(default_flags&)) {
    temp_folder tmp;
    const std::string path = tmp / "image.jpg";
    const std::string appdata = tmp / "appdata";
    boost::filesystem::create_directories(appdata);
    ::setenv("LOCALAPPDATA", appdata.c_str(), 1);
    write_file(path, std::string(input.begin(), input.end()));
    default_flags flags;
    init_default_flags(flags);
    if (set) set(flags);
    driver_run r;
    init_image_job(r.job, flags, static_cast<uint32_t>(input.size()));
    optimize_jpeg_file(path, r.job);
    const std::string after = read_file(path);
    r.after.assign(after.begin(), after.end());
    for (const auto& e : boost::filesystem::directory_iterator(appdata))
        r.data_files.push_back(e.path().filename().string());
    return r;
}

void put_segment(bytes& f, int marker, const bytes& data) {
    f.insert(f.end(), {0xFF, uint8_t(marker), uint8_t((data.size() + 2) >> 8), uint8_t(data.size() + 2)});
    f.insert(f.end(), data.begin(), data.end());
}

// A grey 64 x 4096 image of flat blocks, written with one-symbol Huffman
// tables: every block is a zero bit (DC difference 0) and a zero bit (end of
// block), so the scan is 1024 zero bytes. With `bad_code` a one bit stands
// where a code begins early in the scan: no code starts with it, so decoding
// it reads 17 bits and yields nothing valid; two more zero bytes at the end
// make up for the 16 bits it swallowed, so nothing else about the file looks
// wrong. A comment makes any transcoded result smaller than the file.
bytes flat_grey_scan(bool bad_code) {
    bytes f = {0xFF, 0xD8};
    put_segment(f, 0xFE, bytes(2000, 'c'));
    bytes dqt = {0x00};
    dqt.insert(dqt.end(), 64, 1);
    put_segment(f, 0xDB, dqt);
    put_segment(f, 0xC0, {8, 0x10, 0x00, 0x00, 64, 1, 1, 0x11, 0});  // 4096 rows of 64
    bytes one_symbol_table(17, 0);
    one_symbol_table[1] = 1;  // one code of length 1: symbol 0
    one_symbol_table.push_back(0);
    put_segment(f, 0xC4, one_symbol_table);
    one_symbol_table[0] = 0x10;
    put_segment(f, 0xC4, one_symbol_table);
    put_segment(f, 0xDA, {1, 1, 0x00, 0, 63, 0});
    bytes scan(64 / 8 * 4096 / 8 * 2 / 8, 0);
    if (bad_code) {
        scan[100] = 0x80;
        scan.insert(scan.end(), {0, 0});
    }
    f.insert(f.end(), scan.begin(), scan.end());
    f.insert(f.end(), {0xFF, 0xD9});
    return f;
}

// Where the entropy-coded data of the first scan ends: the first marker after
// its header that is neither a stuffed zero nor a restart marker.
size_t end_of_first_scan(const bytes& f) {
    size_t pos = 0;
    walk_markers(f, [&](int m, const uint8_t* d, size_t n) {
        if (m == 0xDA && pos == 0) pos = size_t(d - f.data()) + n;
    });
    while (pos + 1 < f.size() && !(f[pos] == 0xFF && f[pos + 1] != 0 && (f[pos + 1] < 0xD0 || f[pos + 1] > 0xD7)))
        ++pos;
    return pos;
}

size_t first_restart_marker(const bytes& f) {
    for (size_t i = 2; i + 1 < f.size(); ++i)
        if (f[i] == 0xFF && f[i + 1] == 0xD0) return i;
    return 0;
}

bytes inserted(bytes f, size_t at, const bytes& what) {
    f.insert(f.begin() + long(at), what.begin(), what.end());
    return f;
}

// More than the few bytes the decoder reads ahead of a scan's end (and drops
// unseen).
const bytes stray_bytes = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};

encode_options padded_colour() {
    encode_options o;
    o.width = 96;
    o.height = 64;
    o.segments = {{0xFE, bytes(2000, 'c')}};
    return o;
}

void lossless(default_flags& f) { f.lossless = 1; }
void lossy(default_flags&) {}
void lossy_preview(default_flags& f) { f.preview = 1; }

// Scan data that does not decode as its header says is refused on both roads
// and in a preview, even where the result would be smaller: the file stays,
// result 1, no preview files. Among the faults: an invalid Huffman code that
// the library's fast decoder passes over in silence, and bytes left over
// between the end of a scan and the marker after it.
TEST(JpegDriver, DamagedScanDataIsNeverWritten) {
    const bytes clean = flat_grey_scan(false);
    encode_options progressive = padded_colour();
    progressive.progressive = true;
    const bytes progressive_file = encode(progressive);
    const bytes sequential_file = encode(padded_colour());
    const struct {
        const char* label;
        bytes file;
    } cases[] = {
        {"invalid code early in a long scan", flat_grey_scan(true)},
        {"bytes left before the end of the image", inserted(sequential_file, sequential_file.size() - 2, stray_bytes)},
        {"bytes left after the first of several scans",
         inserted(progressive_file, end_of_first_scan(progressive_file), stray_bytes)},
    };
    for (void (*road)(default_flags&) : {lossless, lossy, lossy_preview}) {
        ASSERT_EQ(run_driver(clean, road).job.result, 0) << "the undamaged file";
        for (const auto& c : cases) {
            const driver_run r = run_driver(c.file, road);
            EXPECT_EQ(r.job.result, 1) << c.label;
            EXPECT_TRUE(r.after == c.file) << c.label;
            EXPECT_EQ(r.data_files, std::vector<std::string>{}) << c.label;
        }
    }
}

// Stray bytes that leave the image as it was meant are no damage: between the
// segments of the header, and before a restart marker (as some motion-JPEG
// encoders leave them).
TEST(JpegDriver, StrayBytesOutsideTheScansAreTolerated) {
    const bytes plain = encode(padded_colour());
    encode_options restarts = padded_colour();
    restarts.restart_rows = 1;
    const bytes with_restarts = encode(restarts);
    size_t first_table = 0;
    for (size_t i = 2; i + 1 < plain.size() && !first_table; ++i)
        if (plain[i] == 0xFF && plain[i + 1] == 0xDB) first_table = i;
    const struct {
        const char* label;
        bytes file;
    } cases[] = {
        {"between header segments", inserted(plain, first_table, stray_bytes)},
        {"before a restart marker", inserted(with_restarts, first_restart_marker(with_restarts), stray_bytes)},
    };
    for (const auto& c : cases) {
        for (void (*road)(default_flags&) : {lossless, lossy}) {
            const driver_run r = run_driver(c.file, road);
            EXPECT_EQ(r.job.result, 0) << c.label;
            EXPECT_LT(r.after.size(), c.file.size()) << c.label;
            EXPECT_TRUE(decode(r.after).ok) << c.label;
        }
    }
}

// A second picture after the end of the image (a multi-picture file, a gain
// map, a motion photo's video) keeps the file as it is, result 2, on both
// roads and whatever the metadata mode, except under "-strip", which drops it
// with the rest of the metadata. Padding after the end is no picture.
TEST(JpegDriver, DataAfterTheImageIsKeptUnlessStripped) {
    const bytes first = encode(padded_colour());
    encode_options second_options;
    second_options.seed = 5;
    const bytes second = encode(second_options);
    bytes two_pictures = first;
    two_pictures.insert(two_pictures.end(), second.begin(), second.end());
    bytes zero_padding = first, ff_padding = first;
    zero_padding.insert(zero_padding.end(), 300, 0x00);
    ff_padding.insert(ff_padding.end(), 300, 0xFF);
    const struct {
        const char* label;
        const bytes& file;
        void (*set)(default_flags&);
        uint8_t result;
        bool rewritten;
    } cases[] = {
        {"second picture, -l", two_pictures, lossless, 2, false},
        {"second picture, -l -nostrip", two_pictures,
         [](default_flags& f) {
             f.lossless = 1;
             f.metadata_mode = 0;
         },
         2, false},
        {"second picture, lossy", two_pictures, lossy, 2, false},
        {"second picture, lossy -nostrip", two_pictures, [](default_flags& f) { f.metadata_mode = 0; }, 2, false},
        {"second picture, lossy -preview", two_pictures, lossy_preview, 2, false},
        {"second picture, -l -strip", two_pictures,
         [](default_flags& f) {
             f.lossless = 1;
             f.metadata_mode = 2;
         },
         0, true},
        {"second picture, lossy -strip", two_pictures, [](default_flags& f) { f.metadata_mode = 2; }, 0, true},
        {"zero padding, -l", zero_padding, lossless, 0, true},
        {"0xFF padding, lossy", ff_padding, lossy, 0, true},
    };
    for (const auto& c : cases) {
        const driver_run r = run_driver(c.file, c.set);
        EXPECT_EQ(r.job.result, c.result) << c.label;
        EXPECT_EQ(r.after != c.file, c.rewritten) << c.label;
        if (!c.rewritten) {
            EXPECT_EQ(r.data_files, std::vector<std::string>{}) << c.label;
            continue;
        }
        // One picture, ending at its end-of-image marker.
        EXPECT_TRUE(decode(r.after).ok) << c.label;
        ASSERT_GE(r.after.size(), 2u) << c.label;
        EXPECT_EQ(r.after[r.after.size() - 2], 0xFF) << c.label;
        EXPECT_EQ(r.after.back(), 0xD9) << c.label;
        EXPECT_LT(r.after.size(), first.size()) << c.label;
    }
}

}  // namespace
