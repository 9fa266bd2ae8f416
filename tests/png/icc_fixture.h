// Colour profiles built in code for tests that embed one in a PNG.
#pragma once
#include <gtest/gtest.h>
#include <lcms2.h>

#include <cstdint>
#include <vector>

namespace fixture {

// The bytes of `profile`, which is closed afterwards.
inline std::vector<uint8_t> save_profile(cmsHPROFILE profile) {
    cmsUInt32Number size = 0;
    EXPECT_TRUE(cmsSaveProfileToMem(profile, nullptr, &size));
    std::vector<uint8_t> data(size);
    EXPECT_TRUE(cmsSaveProfileToMem(profile, data.data(), &size));
    cmsCloseProfile(profile);
    return data;
}

// An RGB profile with Adobe RGB (1998) primaries and a gamma 1.8 curve: far
// enough from sRGB that a conversion changes the pixels.
inline std::vector<uint8_t> wide_gamut_profile() {
    cmsCIExyY white;
    cmsWhitePointFromTemp(&white, 6504);
    const cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}};
    cmsToneCurve* gamma = cmsBuildGamma(nullptr, 1.8);
    cmsToneCurve* curves[3] = {gamma, gamma, gamma};
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsFreeToneCurve(gamma);
    return save_profile(profile);
}

}  // namespace fixture
