#include "core/jpg/turbo_ext/encoder_transform.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "core/jpg/turbo_ext/encoder.h"

namespace sjpeg::detail {
namespace {

// Rows of the orthonormal 8-point DCT-II: row u holds c(u)/2 * cos((2x+1)u pi/16).
struct dct_basis {
    float c[8][8];
    dct_basis() {
        const double pi = 3.14159265358979323846;
        for (int u = 0; u < 8; ++u)
            for (int x = 0; x < 8; ++x)
                c[u][x] = float((u == 0 ? std::sqrt(0.5) : 1.0) * 0.5 * std::cos((2 * x + 1) * u * pi / 16));
    }
};
const dct_basis basis;

inline uint8_t to_sample(float v) {
    if (v <= 0.0f) return 0;
    if (v >= 255.0f) return 255;
    return uint8_t(v + 0.5f);
}

inline float luma_of(float r, float g, float b) { return 0.299f * r + 0.587f * g + 0.114f * b; }
inline float cb_of(float r, float g, float b) { return -0.168736f * r - 0.331264f * g + 0.5f * b + 128.0f; }
inline float cr_of(float r, float g, float b) { return 0.5f * r - 0.418688f * g - 0.081312f * b + 128.0f; }

// A sample plane padded to whole blocks; the padding repeats the last real
// column and row, which costs almost nothing to code.
struct sample_plane {
    uint32_t width = 0, height = 0;   // real samples
    uint32_t padded_w = 0, padded_h = 0;
    std::vector<uint8_t> data;
    uint8_t* row(uint32_t y) { return data.data() + size_t(y) * padded_w; }

    void pad() {
        for (uint32_t y = 0; y < height; ++y) {
            uint8_t* r = row(y);
            for (uint32_t x = width; x < padded_w; ++x) r[x] = r[width - 1];
        }
        for (uint32_t y = height; y < padded_h; ++y)
            std::copy(row(height - 1), row(height - 1) + padded_w, row(y));
    }
};

inline uint32_t blocks_for(uint32_t samples) { return (samples + 7) / 8; }

void setup_plane(sample_plane& p, uint32_t w, uint32_t h) {
    p.width = w;
    p.height = h;
    p.padded_w = blocks_for(w) * 8;
    p.padded_h = blocks_for(h) * 8;
    p.data.resize(size_t(p.padded_w) * p.padded_h);
}

void transform_plane(sample_plane& p, component_blocks& out) {
    out.blocks_wide = p.padded_w / 8;
    out.blocks_high = p.padded_h / 8;
    out.coefs.resize(size_t(out.blocks_wide) * out.blocks_high * 64);
    for (uint32_t by = 0; by < out.blocks_high; ++by)
        for (uint32_t bx = 0; bx < out.blocks_wide; ++bx)
            forward_dct_block(p.row(by * 8) + size_t(bx) * 8, p.padded_w, out.block(bx, by));
}

}  // namespace

void forward_dct_block(const uint8_t* samples, size_t stride, int16_t out[64]) {
    float rows[8][8];
    for (int y = 0; y < 8; ++y) {
        float x[8];
        for (int i = 0; i < 8; ++i) x[i] = float(samples[y * stride + i]) - 128.0f;
        for (int u = 0; u < 8; ++u) {
            float s = 0.0f;
            for (int i = 0; i < 8; ++i) s += basis.c[u][i] * x[i];
            rows[y][u] = s;
        }
    }
    for (int v = 0; v < 8; ++v) {
        float s[8] = {};
        for (int y = 0; y < 8; ++y) {
            const float c = basis.c[v][y];
            for (int u = 0; u < 8; ++u) s[u] += c * rows[y][u];
        }
        for (int u = 0; u < 8; ++u) out[v * 8 + u] = int16_t(std::lrint(s[u] * float(coef_scale)));
    }
}

bool transform_image(const uint8_t* rgb, uint32_t width, uint32_t height, size_t stride, int yuv_mode,
                     coefficient_image& out) {
    const bool grey = yuv_mode == SJPEG_YUV_400;
    const bool halve = yuv_mode == SJPEG_YUV_420;
    out.components = grey ? 1 : 3;
    out.luma_factor = halve ? 2 : 1;
    try {
        sample_plane planes[3];
        setup_plane(planes[0], width, height);
        const uint32_t cw = halve ? (width + 1) / 2 : width;
        const uint32_t ch = halve ? (height + 1) / 2 : height;
        if (!grey) {
            setup_plane(planes[1], cw, ch);
            setup_plane(planes[2], cw, ch);
        }
        for (uint32_t y = 0; y < height; ++y) {
            const uint8_t* src = rgb + size_t(y) * stride;
            uint8_t* luma = planes[0].row(y);
            for (uint32_t x = 0; x < width; ++x)
                luma[x] = to_sample(luma_of(src[3 * x], src[3 * x + 1], src[3 * x + 2]));
            if (!grey && !halve) {
                uint8_t* cb = planes[1].row(y);
                uint8_t* cr = planes[2].row(y);
                for (uint32_t x = 0; x < width; ++x) {
                    const float r = src[3 * x], g = src[3 * x + 1], b = src[3 * x + 2];
                    cb[x] = to_sample(cb_of(r, g, b));
                    cr[x] = to_sample(cr_of(r, g, b));
                }
            }
        }
        if (halve) {
            // Chroma of the mean colour of each 2x2 cell (the matrix is
            // linear); a missing last row or column repeats its neighbour.
            for (uint32_t cy = 0; cy < ch; ++cy) {
                const uint8_t* r0 = rgb + size_t(2 * cy) * stride;
                const uint8_t* r1 = rgb + size_t(std::min(2 * cy + 1, height - 1)) * stride;
                uint8_t* cb = planes[1].row(cy);
                uint8_t* cr = planes[2].row(cy);
                for (uint32_t cx = 0; cx < cw; ++cx) {
                    const size_t a = size_t(2 * cx) * 3;
                    const size_t b = size_t(std::min(2 * cx + 1, width - 1)) * 3;
                    float m[3];
                    for (int c = 0; c < 3; ++c)
                        m[c] = (float(r0[a + c]) + float(r0[b + c]) + float(r1[a + c]) + float(r1[b + c])) * 0.25f;
                    cb[cx] = to_sample(cb_of(m[0], m[1], m[2]));
                    cr[cx] = to_sample(cr_of(m[0], m[1], m[2]));
                }
            }
        }
        for (int c = 0; c < out.components; ++c) {
            planes[c].pad();
            transform_plane(planes[c], out.comp[c]);
            std::vector<uint8_t>().swap(planes[c].data);
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

}  // namespace sjpeg::detail
