// Conversion of an embedded profile to sRGB: a real non-sRGB profile changes
// the pixels and drops the profile; damaged files and profiles change nothing,
// print nothing and never end the process.
#include "core/png/colour_profile.h"

#include <gtest/gtest.h>
#include <lcms2.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "png/icc_fixture.h"
#include "png/png_fixture.h"

namespace {

using fixture::bytes;
using fixture::save_profile;
using fixture::wide_gamut_profile;

bytes srgb_profile() { return save_profile(cmsCreate_sRGBProfile()); }

// Offset of the data of the tag with signature `tag` in a profile.
size_t tag_offset(const bytes& profile, const char* tag) {
    auto u32 = [&](size_t at) {
        return uint32_t(profile[at]) << 24 | uint32_t(profile[at + 1]) << 16 | uint32_t(profile[at + 2]) << 8 |
               profile[at + 3];
    };
    const uint32_t count = u32(128);
    for (uint32_t i = 0; i < count; ++i) {
        const size_t entry = 132 + 12 * i;
        if (std::string(profile.begin() + long(entry), profile.begin() + long(entry + 4)) == tag)
            return u32(entry + 4);
    }
    return 0;
}

const uint32_t kWidth = 16, kHeight = 8;

bytes test_image() {
    return fixture::make_image(kWidth, kHeight, [](uint32_t x, uint32_t y) {
        return std::array<int, 4>{int(x * 15), int(y * 30 + 10), int(200 - x * 5), int(x == 0 ? 0 : 255)};
    });
}

// A PNG of the test image with an iCCP chunk (when `profile` is not empty)
// before its IDAT.
bytes png_with_profile(const bytes& profile) {
    const bytes plain = fixture::encode_stored(test_image(), kWidth, kHeight, true);
    if (profile.empty()) return plain;
    return fixture::insert_before(plain, "IDAT", {fixture::chunk("iCCP", fixture::iccp_data(profile))});
}

image_job job_for_image() {
    image_job job{};
    job.width = kWidth;
    job.height = kHeight;
    job.pixel_count = kWidth * kHeight;
    job.bytes_per_pixel = 4;
    job.metadata_mode = 1;
    job.keep_icc = 0;  // as the colour flags leave it before a conversion
    job.srgb = 1;
    job.has_icc = 1;
    return job;
}

struct run_result {
    bytes image;
    image_job job;
    std::string printed;
};

run_result convert_file(const bytes& file, uint8_t metadata_mode = 1) {
    fixture::scratch_folder folder;
    const std::string path = folder / "in.png";
    fixture::write_bytes(path, file);
    run_result r{test_image(), job_for_image(), {}};
    r.job.metadata_mode = metadata_mode;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    convert_icc_to_srgb(path, r.image, r.job);
    r.printed = testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
    return r;
}

TEST(ConvertIccToSrgb, WideGamutProfileChangesPixelsAndDropsProfile) {
    const run_result r = convert_file(png_with_profile(wide_gamut_profile()));
    EXPECT_EQ(r.job.keep_icc, 0);
    EXPECT_TRUE(r.printed.empty()) << r.printed;
    const bytes before = test_image();
    ASSERT_EQ(r.image.size(), before.size());
    size_t changed = 0;
    for (size_t i = 0; i < before.size(); i += 4) {
        for (int k = 0; k < 3; ++k) changed += r.image[i + k] != before[i + k];
        EXPECT_EQ(r.image[i + 3], before[i + 3]);  // alpha untouched
    }
    EXPECT_GT(changed, before.size() / 2);
    // Gamma 1.8 data is brighter in sRGB terms in the mid-tones: the green
    // ramp's middle value rises.
    const size_t mid = (4 * kWidth) * 4 + 4 * 5;
    EXPECT_GT(r.image[mid + 1], before[mid + 1]);
}

TEST(ConvertIccToSrgb, SrgbProfileKeepsPixelsAndDropsProfile) {
    const run_result r = convert_file(png_with_profile(srgb_profile()));
    EXPECT_EQ(r.job.keep_icc, 0);
    const bytes before = test_image();
    for (size_t i = 0; i < before.size(); ++i) EXPECT_NEAR(int(r.image[i]), int(before[i]), 1) << i;
}

// Every damaged case leaves the pixels alone, keeps the profile for the output
// (or not, when stripping) and prints nothing.
TEST(ConvertIccToSrgb, DamagedFilesAndProfilesChangeNothing) {
    bytes bad_tag = wide_gamut_profile();
    // The red colorant tag's type signature is destroyed: libpng accepts the
    // profile, LittleCMS cannot read the tag and refuses the transform.
    const size_t rxyz = tag_offset(bad_tag, "rXYZ");
    ASSERT_GT(rxyz, 0u);
    for (size_t i = 0; i < 12; ++i) bad_tag[rxyz + i] = 0xEE;

    bytes cmyk_like = wide_gamut_profile();
    cmyk_like[16] = 'C', cmyk_like[17] = 'M', cmyk_like[18] = 'Y', cmyk_like[19] = 'K';

    bytes garbage(600, 0x5A);

    const bytes good = png_with_profile(wide_gamut_profile());
    bytes broken_ihdr_crc = good;
    broken_ihdr_crc[8 + 8 + 13] ^= 0xFF;  // IHDR CRC
    bytes truncated(good.begin(), good.begin() + 40);
    bytes not_png = fixture::text("this is not a png file at all, just text");

    struct test_case {
        const char* label;
        bytes file;
    };
    const std::vector<test_case> cases = {
        {"tag LittleCMS cannot read", png_with_profile(bad_tag)},
        {"colour space not RGB", png_with_profile(cmyk_like)},
        {"garbage profile", png_with_profile(garbage)},
        {"no profile", png_with_profile({})},
        {"IHDR CRC wrong", broken_ihdr_crc},
        {"file cut short", truncated},
        {"not a PNG", not_png},
        {"empty file", {}},
    };
    {
        // The first case must get past libpng so that LittleCMS sees it.
        fixture::scratch_folder folder;
        fixture::write_bytes(folder / "t.png", cases[0].file);
        bytes read;
        ASSERT_TRUE(read_embedded_profile(folder / "t.png", read));
        EXPECT_EQ(read, bad_tag);
    }
    for (const auto& c : cases) {
        for (uint8_t mode : {uint8_t(1), uint8_t(2)}) {
            const run_result r = convert_file(c.file, mode);
            EXPECT_EQ(r.image, test_image()) << c.label;
            EXPECT_EQ(r.job.keep_icc, mode == 2 ? 0 : 1) << c.label;
            EXPECT_TRUE(r.printed.empty()) << c.label << ": " << r.printed;
        }
    }

    image_job job = job_for_image();
    bytes image = test_image();
    convert_icc_to_srgb("/nonexistent/folder/in.png", image, job);
    EXPECT_EQ(image, test_image());
    EXPECT_EQ(job.keep_icc, 1);
}

TEST(ReadEmbeddedProfile, ReturnsTheProfileBytes) {
    fixture::scratch_folder folder;
    const bytes profile = wide_gamut_profile();
    const std::string path = folder / "p.png";
    const bytes file = png_with_profile(profile);
    fixture::write_bytes(path, file);
    bytes read;
    ASSERT_TRUE(read_embedded_profile(path, read));
    EXPECT_EQ(read, profile);
    const bytes plain = png_with_profile({});
    fixture::write_bytes(path, plain);
    EXPECT_FALSE(read_embedded_profile(path, read));
    EXPECT_TRUE(read.empty());
}

}  // namespace
