// Colour profile joining and sRGB conversion of decoded JPEG pixels, with a
// CMYK printer profile made in the test by LittleCMS.
#include <gtest/gtest.h>

#include <lcms2.h>

#include <string>
#include <vector>

#include "core/jpg/jpeg_colour.h"
#include "jpg/saved_segments.h"

namespace {

const int app1 = 0xE1, app2 = 0xE2;

// A naive CMYK -> Lab printer profile: ink subtracts from white, black ink
// darkens everything.
std::string cmyk_profile() {
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
    cmsHTRANSFORM to_lab = cmsCreateTransform(srgb, TYPE_RGB_DBL, lab, TYPE_Lab_DBL, INTENT_PERCEPTUAL, 0);
    cmsHPROFILE profile = cmsCreateProfilePlaceholder(nullptr);
    cmsSetProfileVersion(profile, 4.3);
    cmsSetDeviceClass(profile, cmsSigOutputClass);
    cmsSetColorSpace(profile, cmsSigCmykData);
    cmsSetPCS(profile, cmsSigLabData);
    cmsPipeline* pipeline = cmsPipelineAlloc(nullptr, 4, 3);
    cmsStage* table = cmsStageAllocCLut16bit(nullptr, 5, 4, 3, nullptr);
    cmsStageSampleCLut16bit(
        table,
        [](const cmsUInt16Number in[], cmsUInt16Number out[], void* cargo) -> cmsInt32Number {
            const double k = 1.0 - in[3] / 65535.0;
            const double rgb[3] = {(1.0 - in[0] / 65535.0) * k, (1.0 - in[1] / 65535.0) * k,
                                   (1.0 - in[2] / 65535.0) * k};
            cmsCIELab lab_value;
            cmsDoTransform(static_cast<cmsHTRANSFORM>(cargo), rgb, &lab_value, 1);
            cmsFloat2LabEncoded(out, &lab_value);
            return TRUE;
        },
        to_lab, 0);
    // Curves around the table: the A-to-B form a version 4 profile stores.
    cmsPipelineInsertStage(pipeline, cmsAT_BEGIN, cmsStageAllocToneCurves(nullptr, 4, nullptr));
    cmsPipelineInsertStage(pipeline, cmsAT_END, table);
    cmsPipelineInsertStage(pipeline, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));
    cmsWriteTag(profile, cmsSigAToB0Tag, pipeline);
    cmsWriteTag(profile, cmsSigMediaWhitePointTag, cmsD50_XYZ());
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    std::string bytes(size, '\0');
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsPipelineFree(pipeline);
    cmsCloseProfile(profile);
    cmsDeleteTransform(to_lab);
    cmsCloseProfile(lab);
    cmsCloseProfile(srgb);
    return bytes;
}

std::string srgb_profile() {
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(srgb, nullptr, &size);
    std::string bytes(size, '\0');
    cmsSaveProfileToMem(srgb, bytes.data(), &size);
    cmsCloseProfile(srgb);
    return bytes;
}

// The profile as two chunks stored in reverse order, after a non-ICC APP2.
segment_list chunked(const std::string& profile) {
    const size_t half = profile.size() / 2;
    segment_list list;
    list.add(app2, "MPF\0 not a profile").add(app2, icc_segment(2, 2, profile.substr(half)));
    list.add(app1, "Exif").add(app2, icc_segment(1, 2, profile.substr(0, half)));
    return list;
}

image_job pixel_job(uint32_t pixels, uint8_t bpp) {
    image_job job{};
    job.pixel_count = pixels;
    job.bytes_per_pixel = bpp;
    job.keep_icc = 1;
    return job;
}

TEST(JpegColour, JoinsChunksInSequenceOrder) {
    segment_list list = chunked("0123456789");
    std::string profile;
    EXPECT_TRUE(read_jpeg_icc(list.head(), profile));
    EXPECT_EQ(profile, "0123456789");

    struct chain_case {
        const char* name;
        std::vector<std::pair<int, int>> chunks;
        const char* payload;
    };
    const chain_case broken[] = {
        {"no chunk", {}, "x"},
        {"twice 1 of 2", {{1, 2}, {1, 2}}, "x"},
        {"sequence 0", {{0, 1}}, "x"},
        {"above the count", {{1, 1}, {2, 1}}, "x"},
        {"counts differ", {{1, 2}, {2, 3}}, "x"},
        {"missing chunk", {{1, 3}, {3, 3}}, "x"},
        {"empty profile", {{1, 1}}, ""},
    };
    for (const chain_case& c : broken) {
        SCOPED_TRACE(c.name);
        segment_list l;
        for (auto [sequence, count] : c.chunks) l.add(app2, icc_segment(sequence, count, c.payload));
        std::string p = "stale";
        EXPECT_FALSE(read_jpeg_icc(l.head(), p));
        EXPECT_TRUE(p.empty());
    }
}

TEST(JpegColour, CmykBecomesThreeByteSrgbInANewBuffer) {
    segment_list list = chunked(cmyk_profile());
    // Inverted CMYK as the decoder delivers it: 255 means no ink.
    std::vector<uint8_t> pixels = {255, 255, 255, 255,   // paper white
                                   0,   255, 255, 255,   // full cyan
                                   255, 255, 255, 0};    // full black
    pixels.resize(pixels.size() + jpeg_pixel_spare, 0);
    image_job job = pixel_job(3, 4);
    testing::internal::CaptureStderr();
    ASSERT_TRUE(convert_jpeg_to_srgb(list.head(), pixels, job));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(job.bytes_per_pixel, 3);
    EXPECT_EQ(job.keep_icc, 0);
    ASSERT_EQ(pixels.size(), 9 + jpeg_pixel_spare);
    for (int c = 0; c < 3; ++c) EXPECT_GT(pixels[c], 245) << "white " << c;
    EXPECT_LT(pixels[3], 60);
    EXPECT_GT(pixels[4], 180);
    EXPECT_GT(pixels[5], 180);
    for (int c = 6; c < 9; ++c) EXPECT_LT(pixels[c], 40) << "black " << c;
}

TEST(JpegColour, RgbConvertsInPlace) {
    segment_list list = chunked(srgb_profile());
    std::vector<uint8_t> pixels = {10, 20, 30, 200, 100, 50};
    pixels.resize(6 + jpeg_pixel_spare, 0);
    const std::vector<uint8_t> before = pixels;
    image_job job = pixel_job(2, 3);
    ASSERT_TRUE(convert_jpeg_to_srgb(list.head(), pixels, job));
    EXPECT_EQ(job.keep_icc, 0);
    EXPECT_EQ(pixels.size(), before.size());
    for (size_t i = 0; i < 6; ++i) EXPECT_NEAR(pixels[i], before[i], 2) << i;
}

TEST(JpegColour, UnusableProfileLeavesEverythingAsItWas) {
    std::string garbage = cmyk_profile();
    for (size_t i = 128; i < garbage.size(); ++i) garbage[i] = char(i * 37);
    struct failure_case {
        const char* name;
        std::string profile;
        uint8_t bpp;
        size_t pixel_bytes;
    };
    const failure_case cases[] = {
        {"damaged profile", garbage, 4, 8},
        {"not a profile", std::string(300, 'z'), 3, 6},
        {"RGB profile on CMYK pixels", srgb_profile(), 4, 8},
        {"CMYK profile on RGB pixels", cmyk_profile(), 3, 6},
        {"buffer shorter than the pixels", cmyk_profile(), 4, 7},
    };
    for (const failure_case& c : cases) {
        SCOPED_TRACE(c.name);
        segment_list list = chunked(c.profile);
        std::vector<uint8_t> pixels(c.pixel_bytes, 77);
        const std::vector<uint8_t> before = pixels;
        image_job job = pixel_job(2, c.bpp);
        testing::internal::CaptureStderr();
        EXPECT_FALSE(convert_jpeg_to_srgb(list.head(), pixels, job));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // reported nowhere, and the process goes on
        EXPECT_EQ(pixels, before);
        EXPECT_EQ(job.bytes_per_pixel, c.bpp);
        EXPECT_EQ(job.keep_icc, 1);
    }
    // A broken chain: no conversion either.
    segment_list list;
    list.add(app2, icc_segment(1, 2, cmyk_profile())).add(app2, icc_segment(1, 2, "again"));
    std::vector<uint8_t> pixels(8, 0);
    image_job job = pixel_job(2, 4);
    EXPECT_FALSE(convert_jpeg_to_srgb(list.head(), pixels, job));
    EXPECT_EQ(job.bytes_per_pixel, 4);
}

}  // namespace
