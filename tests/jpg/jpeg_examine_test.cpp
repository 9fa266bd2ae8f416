// The first look at a JPEG file (Exif orientation, colour profile, size,
// components, grey test, refused previews and sizes) and the mode decision
// that follows it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/job.h"
#include "core/jpg/jpeg_exif.h"
#include "core/jpg/jpeg_examine.h"
#include "core/jpg/jpeg_mode.h"
#include "core/options.h"
#include "jpg/jpeg_fixture.h"

namespace {

using namespace jpeg_fixture;

// ---------------------------------------------------------------------------
// Exif orientation
// ---------------------------------------------------------------------------

// Each block is copied into a buffer of exactly its size, so that a read past
// the segment shows under the address sanitizer.
exif_orientation read_exact(const bytes& block) {
    std::vector<uint8_t> exact(block);
    exact.shrink_to_fit();
    return read_exif_orientation(exact.data(), exact.size());
}

TEST(ExifOrientation, ReadsTheFirstDirectory) {
    bytes truncated_entry = exif_block(6);
    truncated_entry.resize(6 + 8 + 2 + 12 + 11);  // the orientation entry lacks its last byte
    bytes high_offset = exif_block(6);
    high_offset[6 + 6] = 1;  // directory offset 65536 + 8 (little-endian upper half)
    bytes count_one = exif_block(6);
    count_one[6 + 8] = 1;  // the orientation is the 2nd entry of a 1-entry directory
    bytes count_zero = exif_block(6);
    count_zero[6 + 8] = 0;
    bytes offset_past_end = exif_block(6);
    offset_past_end[6 + 4] = static_cast<uint8_t>(offset_past_end.size() - 6 - 1);
    bytes bad_tiff = exif_block(6);
    bad_tiff[6] = 'X';
    bytes huge_count = exif_block(3);
    huge_count[6 + 8] = 0xFF;
    huge_count[6 + 9] = 0xFF;  // the count claims far more entries than the segment holds
    huge_count.resize(6 + 8 + 2 + 12);  // and the segment ends after the first entry
    bytes seventeen = exif_block(6);
    seventeen.resize(17);

    const struct {
        const char* label;
        bytes block;
        bool is_exif;
        uint8_t value;
    } cases[] = {
        {"little-endian 6", exif_block(6), true, 6},
        {"big-endian 6", exif_block(6, false), true, 6},
        {"big-endian 8", exif_block(8, false), true, 8},
        {"value 0", exif_block(0), true, 0},
        {"value 9", exif_block(9), true, 0},
        {"entry cut by the segment end", truncated_entry, true, 0},
        {"directory offset of 65536 or more", high_offset, true, 0},
        {"entry beyond the count", count_one, true, 0},
        {"no entries", count_zero, true, 0},
        {"directory past the end", offset_past_end, true, 0},
        {"not a TIFF header", bad_tiff, true, 0},
        {"count larger than the segment", huge_count, true, 0},
        {"only the signature", text(std::string("Exif\0\0", 6)), true, 0},
        {"17 bytes", seventeen, true, 0},
        {"XMP packet", text("http://ns.adobe.com/xap/1.0/\0<x:xmpmeta/>"), false, 0},
        {"shorter than the signature", text("Exif"), false, 0},
    };
    for (const auto& c : cases) {
        const exif_orientation o = read_exact(c.block);
        EXPECT_EQ(o.is_exif, c.is_exif) << c.label;
        EXPECT_EQ(o.value, c.value) << c.label;
    }
}

// ---------------------------------------------------------------------------
// Inspection
// ---------------------------------------------------------------------------

image_job fresh_job(uint32_t size) {
    default_flags flags;
    init_default_flags(flags);
    image_job job;
    init_image_job(job, flags, size);
    return job;
}

image_job inspect(const bytes& file, void (*adjust)(image_job&) = nullptr) {
    image_job job = fresh_job(static_cast<uint32_t>(file.size()));
    if (adjust) adjust(job);
    inspect_jpeg_data(file.data(), file.size(), job);
    return job;
}

const bytes xmp = text(std::string("http://ns.adobe.com/xap/1.0/") + '\0' + "<x:xmpmeta/>");

TEST(JpegInspection, OrientationFromTheFirstExifBlock) {
    encode_options o;
    o.segments = {{0xE1, xmp}, {0xE1, exif_block(6)}, {0xE1, exif_block(3)}};
    image_job job = inspect(encode(o), [](image_job& j) { j.rotate = 1; });
    EXPECT_EQ(job.result, 0);
    EXPECT_EQ(job.orientation, 6);  // the XMP packet in front does not hide it
    EXPECT_EQ(job.rotate, 1);

    o.segments = {{0xE1, xmp}, {0xE1, exif_block(9)}};
    job = inspect(encode(o), [](image_job& j) { j.rotate = 1; });
    EXPECT_EQ(job.orientation, 1);
    EXPECT_EQ(job.rotate, 0);  // nothing to turn

    o.segments = {};
    job = inspect(encode(o), [](image_job& j) { j.rotate = 1; });
    EXPECT_EQ(job.orientation, 1);
    EXPECT_EQ(job.rotate, 0);
}

TEST(JpegInspection, ProfileFoundBehindOtherApp2Data) {
    encode_options o;
    o.segments = {{0xE2, text("FPXR\0\0\0\0\0\0\0\0\0\0")}, {0xE2, icc_chunk(1, 1, "profile")}};
    EXPECT_EQ(inspect(encode(o)).has_icc, 1);
    o.segments = {{0xE2, text("FPXR\0\0\0\0\0\0\0\0\0\0")}};
    EXPECT_EQ(inspect(encode(o)).has_icc, 0);
    o.segments = {{0xE2, text("ICC_PR")}};  // too short to be a chunk
    EXPECT_EQ(inspect(encode(o)).has_icc, 0);
}

encode_options layout(J_COLOR_SPACE input, bool grey_content = false, bool red_last_pixel = false) {
    encode_options o;
    o.input = input;
    o.h0 = o.v0 = 1;
    o.quality = 95;
    o.grey_content = grey_content;
    o.red_last_pixel = red_last_pixel;
    return o;
}

TEST(JpegInspection, SizeComponentsAndGreyTest) {
    const struct {
        const char* label;
        encode_options options;
        int components;
        int grey;
    } cases[] = {
        {"colour", layout(JCS_RGB), 3, 0},
        {"grey stored as YCbCr", layout(JCS_RGB, true), 3, 1},
        {"grey except the last pixel", layout(JCS_RGB, true, true), 3, 0},
        {"one component", layout(JCS_GRAYSCALE), 1, 1},
        {"CMYK", layout(JCS_CMYK), 4, 1},
    };
    for (const auto& c : cases) {
        const image_job job = inspect(encode(c.options));
        EXPECT_EQ(job.result, 0) << c.label;
        EXPECT_EQ(job.width, 48u) << c.label;
        EXPECT_EQ(job.height, 32u) << c.label;
        EXPECT_EQ(job.pixel_count, 48u * 32u) << c.label;
        EXPECT_EQ(job.bytes_per_pixel, c.components) << c.label;
        EXPECT_EQ(job.is_grey, c.grey) << c.label;
    }
}

TEST(JpegInspection, PreviewOfFourComponentsRefused) {
    encode_options cmyk;
    cmyk.input = JCS_CMYK;
    const bytes file = encode(cmyk);
    for (auto set : {+[](image_job& j) { j.preview = 1; }, +[](image_job& j) { j.preview_original = 1; },
                     +[](image_job& j) { j.preview_check = 1; }}) {
        const image_job job = inspect(file, set);
        EXPECT_EQ(job.preview_refused, 1);
        EXPECT_EQ(job.result, 0);
    }
    EXPECT_EQ(inspect(file).preview_refused, 0);
    EXPECT_EQ(inspect(encode({}), [](image_job& j) { j.preview = 1; }).preview_refused, 0);
}

TEST(JpegInspection, BrokenOrHostileHeadersFail) {
    encode_options grey;
    grey.input = JCS_GRAYSCALE;
    grey.h0 = grey.v0 = 1;
    const bytes file = encode(grey);
    bytes cut(file.begin(), file.begin() + 40);
    const struct {
        const char* label;
        bytes file;
    } cases[] = {
        {"65535 x 65535 (pixel count beyond 32 bits)", with_size(file, 65535, 65535)},
        {"40000 x 40000 (coefficients beyond the memory limit)", with_size(file, 40000, 40000)},
        {"header cut short", cut},
        {"no frame at all", text("\xFF\xD8\xFF\xD9")},
    };
    for (const auto& c : cases) EXPECT_EQ(inspect(c.file).result, 1) << c.label;
    EXPECT_EQ(inspect(with_size(file, 4000, 4000)).result, 0);  // large but within the limits
}

// ---------------------------------------------------------------------------
// Mode decision
// ---------------------------------------------------------------------------

struct decision_case {
    const char* label;
    // inputs
    uint8_t metadata_mode, components, srgb, has_icc, is_grey, force_grey, orientation, rotate, mode, level;
    // expected
    uint8_t result, out_mode, out_srgb, out_rotate, keep_icc, out_has_icc, out_is_grey, keep_exif, out_level,
        out_force_grey;
};

TEST(JpegModeDecision, Rules) {
    const decision_case cases[] = {
        // label                                     m c srgb icc grey fg o rot mode lvl | res mode srgb rot kicc icc grey kexif lvl fg
        {"keep all: no conversion, no turn",         0, 3, 1, 1, 0, 0, 6, 1, 1, 255,   0, 1, 0, 0, 1, 1, 0, 1, 1, 0},
        {"conversion excludes turning",              1, 3, 1, 1, 0, 0, 6, 1, 0, 255,   0, 0, 1, 0, 1, 1, 0, 1, 0, 0},
        {"CMYK strip without conversion: skipped",   2, 4, 0, 1, 1, 0, 1, 0, 0, 255,   2, 0, 0, 0, 1, 1, 1, 1, 255, 0},
        {"CMYK strip, sRGB, profile: lossy road",    2, 4, 1, 1, 1, 0, 1, 0, 0, 255,   0, 0, 1, 0, 1, 1, 0, 0, 0, 0},
        {"CMYK strip, sRGB, no profile: skipped",    2, 4, 1, 0, 1, 0, 1, 0, 0, 255,   2, 0, 1, 0, 1, 0, 1, 1, 255, 0},
        {"CMYK default mode: lossless forced",       1, 4, 0, 1, 1, 0, 1, 0, 0, 255,   0, 1, 0, 0, 1, 1, 0, 0, 1, 0},
        {"one component: no profile, no grey",       1, 1, 1, 1, 1, 1, 6, 0, 1, 2,     0, 1, 0, 0, 0, 0, 1, 1, 2, 0},
        {"grey YCbCr: no profile",                   1, 3, 1, 1, 1, 0, 1, 0, 1, 3,     0, 1, 0, 0, 0, 0, 1, 0, 3, 0},
        {"colour with profile keeps it",             1, 3, 0, 1, 0, 0, 1, 0, 1, 255,   0, 1, 0, 0, 1, 1, 0, 0, 1, 0},
        {"colour without profile",                   1, 3, 0, 0, 0, 0, 1, 0, 1, 255,   0, 1, 0, 0, 0, 0, 0, 0, 1, 0},
        {"forced grey drops the profile",            1, 3, 0, 1, 0, 1, 1, 0, 1, 255,   0, 1, 0, 0, 0, 1, 0, 0, 1, 1},
        {"lossy default level 0",                    1, 3, 0, 0, 0, 0, 1, 0, 0, 255,   0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
    };
    for (const decision_case& c : cases) {
        image_job job = fresh_job(1000);
        job.metadata_mode = c.metadata_mode;
        job.bytes_per_pixel = c.components;
        job.srgb = c.srgb;
        job.has_icc = c.has_icc;
        job.is_grey = c.is_grey;
        job.force_grey = c.force_grey;
        job.orientation = c.orientation;
        job.rotate = c.rotate;
        job.mode = c.mode;
        job.jpeg_level = c.level;
        decide_jpeg_mode(job);
        EXPECT_EQ(job.result, c.result) << c.label;
        EXPECT_EQ(job.mode, c.out_mode) << c.label;
        EXPECT_EQ(job.srgb, c.out_srgb) << c.label;
        EXPECT_EQ(job.rotate, c.out_rotate) << c.label;
        EXPECT_EQ(job.keep_icc, c.keep_icc) << c.label;
        EXPECT_EQ(job.has_icc, c.out_has_icc) << c.label;
        EXPECT_EQ(job.is_grey, c.out_is_grey) << c.label;
        EXPECT_EQ(job.keep_exif, c.keep_exif) << c.label;
        EXPECT_EQ(job.jpeg_level, c.out_level) << c.label;
        EXPECT_EQ(job.force_grey, c.out_force_grey) << c.label;
    }
}

// An image with more pixels than the lossy encoder takes (2^27), and no
// resize target to bring it down, goes the lossless road at the lossless
// level the options imply; a preview stays on the lossy road, which never
// rewrites the file.
TEST(JpegModeDecision, ImageBeyondTheEncoderGoesLossless) {
    const struct {
        const char* label;
        uint32_t width, height;
        uint16_t resize_target;
        uint8_t preview, mode, level;
        uint8_t out_mode, out_level;
    } cases[] = {
        {"above 2^27 pixels, no level given", 11600, 11600, 0, 0, 0, 255, 1, 1},
        {"above 2^27 pixels, level given", 11600, 11600, 0, 0, 0, 3, 1, 3},
        {"exactly 2^27 pixels", 16384, 8192, 0, 0, 0, 255, 0, 0},
        {"above 2^27 pixels with a resize target", 11600, 11600, 1000, 0, 0, 255, 0, 0},
        {"above 2^27 pixels, preview", 11600, 11600, 0, 1, 0, 255, 0, 0},
        {"above 2^27 pixels, lossless asked", 11600, 11600, 0, 0, 1, 255, 1, 1},
    };
    for (const auto& c : cases) {
        image_job job = fresh_job(1000);
        job.bytes_per_pixel = 1;
        job.width = c.width;
        job.height = c.height;
        job.pixel_count = c.width * c.height;
        job.resize_target = c.resize_target;
        job.preview = c.preview;
        job.mode = c.mode;
        job.jpeg_level = c.level;
        decide_jpeg_mode(job);
        EXPECT_EQ(job.result, 0) << c.label;
        EXPECT_EQ(job.mode, c.out_mode) << c.label;
        EXPECT_EQ(job.jpeg_level, c.out_level) << c.label;
    }
}

}  // namespace
