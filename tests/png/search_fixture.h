// Shared by the PNG search tests: small pictures built in code and the check
// of a result against libpng's decoding of it.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#define png_info libpng_info
#include <png.h>
#undef png_info

namespace search_fixture {

using bytes = std::vector<uint8_t>;

// RGBA8 pixels of a PNG as libpng reads them; empty when libpng refuses it.
inline bytes libpng_rgba(const bytes& png, uint32_t& width, uint32_t& height,
                         uint32_t* colour_type = nullptr) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, png.data(), png.size())) return {};
    if (colour_type) *colour_type = image.format;
    image.format = PNG_FORMAT_RGBA;
    bytes pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) {
        png_image_free(&image);
        return {};
    }
    width = image.width;
    height = image.height;
    return pixels;
}

// The result must show the input's pixels wherever alpha is not 0, and keep
// transparent pixels transparent.
inline void expect_same_visible_pixels(const bytes& png, const bytes& input, uint32_t width,
                                       uint32_t height, const std::string& label) {
    uint32_t w = 0, h = 0;
    const bytes decoded = libpng_rgba(png, w, h);
    ASSERT_FALSE(decoded.empty()) << label << ": libpng cannot read the result";
    ASSERT_EQ(w, width) << label;
    ASSERT_EQ(h, height) << label;
    ASSERT_EQ(decoded.size(), input.size()) << label;
    for (size_t i = 0; i < input.size(); i += 4) {
        if (input[i + 3] == 0) {
            ASSERT_EQ(decoded[i + 3], 0) << label << " pixel " << i / 4;
            continue;
        }
        for (size_t c = 0; c < 4; ++c)
            ASSERT_EQ(decoded[i + c], input[i + c]) << label << " pixel " << i / 4;
    }
}

inline uint32_t next_random(uint32_t& seed) {
    seed = seed * 1103515245u + 12345u;
    return seed >> 8;
}

struct picture {
    const char* name;
    uint32_t width;
    uint32_t height;
    bytes pixels;
};

// 130 x 128 pixels: enough for the parallel trials (more than 16,384).
constexpr uint32_t W = 130;
constexpr uint32_t H = 128;

inline picture make(const char* name, uint32_t width, uint32_t height, uint32_t seed,
                    void (*pixel)(uint32_t x, uint32_t y, uint32_t& seed, uint8_t* out)) {
    picture p{name, width, height, bytes(size_t(width) * height * 4)};
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) pixel(x, y, seed, &p.pixels[(size_t(y) * width + x) * 4]);
    return p;
}

// Smooth colour ramps with a few thousand colours: the general road.
inline void ramp(uint32_t x, uint32_t y, uint32_t&, uint8_t* o) {
    o[0] = uint8_t(x * 2);
    o[1] = uint8_t((y / 4) * 8);
    o[2] = 100;
    o[3] = 255;
}

}  // namespace search_fixture
