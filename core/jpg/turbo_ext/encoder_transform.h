// First stage of the JPEG encoder: RGB to YCbCr (JFIF's full-range BT.601
// matrix), chroma downsampling by 2x2 averaging for 4:2:0, edge replication to
// whole blocks, and the forward DCT of every block.
//
// The coefficients are kept at eight times their value in 16-bit integers
// (the largest coefficient of an 8-bit block stays below 1100, so there is
// ample room) so that later stages can gather statistics over the whole image
// before any rounding decision is made, without holding floats.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace sjpeg::detail {

// Fixed-point factor of the stored coefficients.
inline constexpr int coef_scale = 8;

// One component: the blocks libjpeg expects for it (blocks made only of MCU
// padding are not stored), 64 coefficients each in natural order, blocks in
// raster order.
struct component_blocks {
    uint32_t blocks_wide = 0;
    uint32_t blocks_high = 0;
    std::vector<int16_t> coefs;
    int16_t* block(uint32_t bx, uint32_t by) {
        return coefs.data() + (size_t(by) * blocks_wide + bx) * 64;
    }
    const int16_t* block(uint32_t bx, uint32_t by) const {
        return coefs.data() + (size_t(by) * blocks_wide + bx) * 64;
    }
};

struct coefficient_image {
    int components = 0;    // 1 (grey) or 3
    int luma_factor = 1;   // luma sampling factor in both directions: 2 for 4:2:0, else 1
    component_blocks comp[3];
};

// Transforms the image; `yuv_mode` is one of the SjpegYUVMode values. The
// caller has checked the dimensions and the stride. Returns false when memory
// cannot be had.
bool transform_image(const uint8_t* rgb, uint32_t width, uint32_t height, size_t stride, int yuv_mode,
                     coefficient_image& out);

// Orthonormal 8x8 forward DCT of level-shifted samples (sample - 128), scaled
// by coef_scale and rounded. `samples` holds 8 rows `stride` bytes apart.
void forward_dct_block(const uint8_t* samples, size_t stride, int16_t out[64]);

}  // namespace sjpeg::detail
