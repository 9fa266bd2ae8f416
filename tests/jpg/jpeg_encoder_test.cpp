// The lossy encoder: every output must decode with libjpeg-turbo to the right
// size and chroma layout, track the source closely, grow with quality, carry
// its metadata segments in order, and refuse (never cut) what does not fit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "core/jpg/turbo_ext/encoder.h"
#include "core/jpg/turbo_ext/encoder_transform.h"

namespace {

struct decoded {
    bool ok = false;
    int width = 0, height = 0, components = 0;
    int h_samp[3] = {}, v_samp[3] = {};
    std::vector<uint8_t> rgb;
    std::vector<std::pair<int, std::string>> markers;  // saved APPn/COM segments in file order
};

struct test_trap {
    jpeg_error_mgr manager;
    jmp_buf recovery;
};
[[noreturn]] void test_jump(j_common_ptr c) { std::longjmp(reinterpret_cast<test_trap*>(c->err)->recovery, 1); }
void test_silent(j_common_ptr) {}

// Plain-data half of the decoder: no C++ objects in the frame the library may
// jump to. Rows go into `out` (sized by the caller after the header).
bool decode_frame(const std::string& file, decoded* d) {
    jpeg_decompress_struct cinfo;
    test_trap trap;
    cinfo.err = jpeg_std_error(&trap.manager);
    trap.manager.error_exit = test_jump;
    trap.manager.output_message = test_silent;
    if (setjmp(trap.recovery)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(file.data()), file.size());
    for (int m = 0; m < 16; ++m) jpeg_save_markers(&cinfo, JPEG_APP0 + m, 0xFFFF);
    jpeg_save_markers(&cinfo, JPEG_COM, 0xFFFF);
    jpeg_read_header(&cinfo, TRUE);
    d->components = cinfo.num_components;
    for (int c = 0; c < cinfo.num_components && c < 3; ++c) {
        d->h_samp[c] = cinfo.comp_info[c].h_samp_factor;
        d->v_samp[c] = cinfo.comp_info[c].v_samp_factor;
    }
    for (jpeg_saved_marker_ptr m = cinfo.marker_list; m; m = m->next)
        d->markers.emplace_back(m->marker, std::string(reinterpret_cast<const char*>(m->data), m->data_length));
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    d->width = int(cinfo.output_width);
    d->height = int(cinfo.output_height);
    d->rgb.resize(size_t(d->width) * d->height * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = d->rgb.data() + size_t(cinfo.output_scanline) * d->width * 3;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

decoded decode(const std::string& file) {
    decoded d;
    d.ok = decode_frame(file, &d);
    return d;
}

// A photo-like test card: smooth colour ramps, a sharp-edged disc, fine
// stripes and deterministic noise, so every frequency band carries energy.
std::vector<uint8_t> test_card(int w, int h, unsigned seed = 1) {
    std::vector<uint8_t> rgb(size_t(w) * h * 3);
    uint32_t state = seed * 2654435761u + 1;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            state = state * 1664525u + 1013904223u;
            const int noise = int(state >> 28) - 8;
            const double dx = x - w * 0.6, dy = y - h * 0.4;
            const bool disc = dx * dx + dy * dy < (w * h) / 12.0;
            const int stripes = ((x / 2 + y / 3) % 2) * 30;
            int r = 40 + 170 * x / std::max(1, w - 1) + noise;
            int g = 60 + 140 * y / std::max(1, h - 1) + stripes / 2 + noise;
            int b = disc ? 220 - noise : 90 + stripes + noise;
            uint8_t* p = &rgb[(size_t(y) * w + x) * 3];
            p[0] = uint8_t(std::clamp(r, 0, 255));
            p[1] = uint8_t(std::clamp(g, 0, 255));
            p[2] = uint8_t(std::clamp(b, 0, 255));
        }
    return rgb;
}

double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    double se = 0;
    for (size_t i = 0; i < a.size(); ++i) se += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
    if (se == 0) return 99.0;
    return 10.0 * std::log10(255.0 * 255.0 * double(a.size()) / se);
}

std::string encode(const std::vector<uint8_t>& rgb, int w, int h, const sjpeg::EncoderParam& p) {
    std::string out = "stale";
    EXPECT_TRUE(sjpeg::Encode(rgb.data(), w, h, w * 3, p, &out));
    return out;
}

sjpeg::EncoderParam road_param(float quality, int yuv_mode) {
    sjpeg::EncoderParam p;
    p.yuv_mode = yuv_mode;
    p.adaptive_quantization = p.adaptive_bias = p.use_trellis = true;
    p.Huffman_compress = true;
    p.SetQuality(quality);
    return p;
}

TEST(JpegEncoder, DecodesToSizeAndLayoutPerMode) {
    struct layout_case {
        int w, h, mode, components, luma_samp;
        double min_psnr;  // at quality 90, against the source (grey: against its luma)
    };
    // The card's 2-pixel stripes and noise cap what 4:2:0 can reach; a fault
    // in block order, colour conversion or sampling drops far below these.
    const layout_case cases[] = {
        {1, 1, SJPEG_YUV_420, 3, 2, 30},   {1, 1, SJPEG_YUV_444, 3, 1, 30},   {1, 1, SJPEG_YUV_400, 1, 1, 30},
        {17, 13, SJPEG_YUV_420, 3, 2, 22}, {17, 13, SJPEG_YUV_444, 3, 1, 24}, {17, 13, SJPEG_YUV_400, 1, 1, 26},
        {96, 64, SJPEG_YUV_420, 3, 2, 26}, {96, 64, SJPEG_YUV_444, 3, 1, 28}, {33, 70, SJPEG_YUV_400, 1, 1, 28},
    };
    for (const layout_case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " mode " << c.mode);
        std::vector<uint8_t> src = test_card(c.w, c.h);
        const std::string file = encode(src, c.w, c.h, road_param(90, c.mode));
        const decoded d = decode(file);
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(d.width, c.w);
        EXPECT_EQ(d.height, c.h);
        EXPECT_EQ(d.components, c.components);
        EXPECT_EQ(d.h_samp[0], c.luma_samp);
        EXPECT_EQ(d.v_samp[0], c.luma_samp);
        if (c.components == 3) {
            EXPECT_EQ(d.h_samp[1], 1);
            EXPECT_EQ(d.h_samp[2], 1);
        }
        std::vector<uint8_t> reference = src;
        if (c.components == 1)
            for (size_t i = 0; i < src.size(); i += 3) {
                const uint8_t y = uint8_t(std::lround(0.299 * src[i] + 0.587 * src[i + 1] + 0.114 * src[i + 2]));
                reference[i] = reference[i + 1] = reference[i + 2] = y;
            }
        EXPECT_GT(psnr(reference, d.rgb), c.min_psnr);
        EXPECT_TRUE(d.markers.empty());  // no metadata asked, none written (not even JFIF)
    }
}

TEST(JpegEncoder, BytesAndFidelityGrowWithQuality) {
    const int w = 128, h = 96;
    const std::vector<uint8_t> src = test_card(w, h, 7);
    for (int mode : {SJPEG_YUV_420, SJPEG_YUV_444}) {
        const double top_psnr = mode == SJPEG_YUV_420 ? 31.0 : 45.0;  // 4:2:0 loses the card's stripes
        size_t previous_bytes = 0;
        double previous_psnr = 0;
        for (float q : {5.0f, 30.0f, 60.0f, 75.0f, 84.0f, 92.0f, 99.0f}) {
            SCOPED_TRACE(testing::Message() << "mode " << mode << " quality " << q);
            const std::string file = encode(src, w, h, road_param(q, mode));
            const decoded d = decode(file);
            ASSERT_TRUE(d.ok);
            const double p = psnr(src, d.rgb);
            EXPECT_GT(file.size(), previous_bytes);
            EXPECT_GT(p, previous_psnr - 0.05);
            previous_bytes = file.size();
            previous_psnr = p;
        }
        EXPECT_GT(previous_psnr, top_psnr);
    }
}

TEST(JpegEncoder, EachOptionChangesTheOutputAndStillDecodes) {
    const int w = 160, h = 120;
    const std::vector<uint8_t> src = test_card(w, h, 3);
    sjpeg::EncoderParam plain;
    plain.adaptive_quantization = plain.adaptive_bias = plain.use_trellis = false;
    plain.Huffman_compress = true;
    plain.SetQuality(80);
    const std::string base = encode(src, w, h, plain);
    const double base_psnr = psnr(src, decode(base).rgb);

    struct option_case {
        const char* name;
        bool sjpeg::EncoderParam::*field;
        bool smaller;  // the option exists to save bytes
    };
    const option_case cases[] = {
        {"adaptive_quantization", &sjpeg::EncoderParam::adaptive_quantization, false},
        {"adaptive_bias", &sjpeg::EncoderParam::adaptive_bias, true},
        {"use_trellis", &sjpeg::EncoderParam::use_trellis, true},
    };
    for (const option_case& c : cases) {
        SCOPED_TRACE(c.name);
        sjpeg::EncoderParam p = plain;
        p.*(c.field) = true;
        const std::string file = encode(src, w, h, p);
        EXPECT_NE(file, base);
        const decoded d = decode(file);
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(d.width, w);
        // Never a visible collapse: within 1.5 dB of plain rounding.
        EXPECT_GT(psnr(src, d.rgb), base_psnr - 1.5);
        if (c.smaller) {
            EXPECT_LT(file.size(), base.size());
        }
    }
    // Standard Huffman tables: same pixels, more bytes.
    sjpeg::EncoderParam standard = plain;
    standard.Huffman_compress = false;
    const std::string file = encode(src, w, h, standard);
    EXPECT_GT(file.size(), base.size());
    EXPECT_EQ(decode(file).rgb, decode(base).rgb);
}

TEST(JpegEncoder, TrellisKeepsFlatAreasExact) {
    // A flat block quantises to DC only; nothing may be invented in it.
    const int w = 16, h = 16;
    std::vector<uint8_t> src(size_t(w) * h * 3, 0);
    for (size_t i = 0; i < src.size(); i += 3) src[i] = 200, src[i + 1] = 120, src[i + 2] = 40;
    const decoded d = decode(encode(src, w, h, road_param(90, SJPEG_YUV_444)));
    ASSERT_TRUE(d.ok);
    EXPECT_GT(psnr(src, d.rgb), 40.0);
}

std::string segment(int code, const std::string& data) {
    std::string s = {char(0xFF), char(code), char((data.size() + 2) >> 8), char((data.size() + 2) & 0xFF)};
    return s + data;
}

TEST(JpegEncoder, WritesMetadataSegmentsInOrder) {
    const int w = 24, h = 16;
    const std::vector<uint8_t> src = test_card(w, h);
    sjpeg::EncoderParam p = road_param(80, SJPEG_YUV_420);
    p.exif = std::string("MM\0*\0\0\0\x08\0\0", 10);
    // A profile of three chunks: 2 * 65519 + 100 bytes.
    p.iccp.resize(2 * sjpeg::max_icc_chunk_payload + 100);
    for (size_t i = 0; i < p.iccp.size(); ++i) p.iccp[i] = char(i * 7 + i / 251);
    p.xmp = "<x:xmpmeta/>";
    p.app_markers = segment(0xED, "Photoshop 3.0") + segment(0xEE, std::string("Adobe\0d\0\0\0\0\1", 12));
    const decoded d = decode(encode(src, w, h, p));
    ASSERT_TRUE(d.ok);
    ASSERT_EQ(d.markers.size(), 7u);
    EXPECT_EQ(d.markers[0].first, 0xE1);
    EXPECT_EQ(d.markers[0].second, std::string("Exif\0\0", 6) + p.exif);
    std::string joined;
    for (int i = 0; i < 3; ++i) {
        const std::string& chunk = d.markers[1 + i].second;
        EXPECT_EQ(d.markers[1 + i].first, 0xE2);
        ASSERT_GE(chunk.size(), 14u);
        EXPECT_EQ(chunk.substr(0, 12), std::string("ICC_PROFILE\0", 12));
        EXPECT_EQ(uint8_t(chunk[12]), i + 1);
        EXPECT_EQ(uint8_t(chunk[13]), 3);
        joined += chunk.substr(14);
    }
    EXPECT_EQ(joined, p.iccp);
    EXPECT_EQ(d.markers[4].first, 0xE1);
    EXPECT_EQ(d.markers[4].second, std::string("http://ns.adobe.com/xap/1.0/\0", 29) + p.xmp);
    EXPECT_EQ(d.markers[5], std::make_pair(0xED, std::string("Photoshop 3.0")));
    EXPECT_EQ(d.markers[6].first, 0xEE);
}

TEST(JpegEncoder, RefusesWhatDoesNotFitAndBadArguments) {
    const int w = 8, h = 8;
    const std::vector<uint8_t> src = test_card(w, h);
    auto refused = [&](const sjpeg::EncoderParam& p, const uint8_t* pixels, int width, int height, int stride) {
        std::string out = "stale output";
        const bool ok = sjpeg::Encode(pixels, width, height, stride, p, &out);
        return !ok && out.empty();
    };
    const sjpeg::EncoderParam base = road_param(80, SJPEG_YUV_420);

    struct metadata_case {
        const char* name;
        void (*fill)(sjpeg::EncoderParam&);
        bool fits;
    };
    const metadata_case cases[] = {
        {"exif at the limit", [](sjpeg::EncoderParam& p) { p.exif.assign(sjpeg::max_exif_payload, 'e'); }, true},
        {"exif one over", [](sjpeg::EncoderParam& p) { p.exif.assign(sjpeg::max_exif_payload + 1, 'e'); }, false},
        {"xmp at the limit", [](sjpeg::EncoderParam& p) { p.xmp.assign(sjpeg::max_xmp_payload, 'x'); }, true},
        {"xmp one over", [](sjpeg::EncoderParam& p) { p.xmp.assign(sjpeg::max_xmp_payload + 1, 'x'); }, false},
        {"icc in 255 chunks",
         [](sjpeg::EncoderParam& p) { p.iccp.assign(sjpeg::max_icc_chunk_payload * 255, 'i'); }, true},
        {"icc needing 256 chunks",
         [](sjpeg::EncoderParam& p) { p.iccp.assign(sjpeg::max_icc_chunk_payload * 255 + 1, 'i'); }, false},
        {"segment cut short",
         [](sjpeg::EncoderParam& p) { p.app_markers = segment(0xED, "abcdef").substr(0, 8); }, false},
        {"not a segment", [](sjpeg::EncoderParam& p) { p.app_markers = "\x12\x34\x00\x02"; }, false},
        {"frame marker among segments",
         [](sjpeg::EncoderParam& p) { p.app_markers = segment(0xC0, "12345678"); }, false},
        {"length below two", [](sjpeg::EncoderParam& p) { p.app_markers = std::string("\xFF\xE5\x00\x01", 4); }, false},
    };
    for (const metadata_case& c : cases) {
        SCOPED_TRACE(c.name);
        sjpeg::EncoderParam p = base;
        c.fill(p);
        if (c.fits) {
            std::string out;
            EXPECT_TRUE(sjpeg::Encode(src.data(), w, h, w * 3, p, &out));
            EXPECT_TRUE(decode(out).ok);
        } else {
            EXPECT_TRUE(refused(p, src.data(), w, h, w * 3));
        }
    }

    EXPECT_TRUE(refused(base, nullptr, w, h, w * 3));
    EXPECT_TRUE(refused(base, src.data(), 0, h, w * 3));
    EXPECT_TRUE(refused(base, src.data(), w, -1, w * 3));
    EXPECT_TRUE(refused(base, src.data(), w, h, w * 3 - 1));
    EXPECT_TRUE(refused(base, src.data(), 65501, 1, 3 * 65501));  // beyond JPEG's size limit, checked before reading
    EXPECT_TRUE(refused(base, src.data(), 40000, 40000, 120000));  // beyond the pixel budget
    sjpeg::EncoderParam odd_mode = base;
    odd_mode.yuv_mode = 2;
    EXPECT_TRUE(refused(odd_mode, src.data(), w, h, w * 3));
    EXPECT_FALSE(sjpeg::Encode(src.data(), w, h, w * 3, base, nullptr));
}

TEST(JpegEncoder, ReadsRowsThroughTheStride) {
    // Rows padded with garbage must not leak into the image.
    const int w = 20, h = 10, stride = w * 3 + 7;
    const std::vector<uint8_t> tight = test_card(w, h);
    std::vector<uint8_t> padded(size_t(stride) * h, 0xEE);
    for (int y = 0; y < h; ++y) std::memcpy(&padded[size_t(y) * stride], &tight[size_t(y) * w * 3], size_t(w) * 3);
    const sjpeg::EncoderParam p = road_param(85, SJPEG_YUV_444);
    std::string a, b;
    ASSERT_TRUE(sjpeg::Encode(tight.data(), w, h, w * 3, p, &a));
    ASSERT_TRUE(sjpeg::Encode(padded.data(), w, h, stride, p, &b));
    EXPECT_EQ(a, b);
}

TEST(JpegEncoderTransform, DctOfFlatAndCosineBlocks) {
    // A flat block has only a DC term: (v - 128) * 8 in the orthonormal scale.
    uint8_t flat[64];
    std::memset(flat, 200, sizeof flat);
    int16_t out[64];
    sjpeg::detail::forward_dct_block(flat, 8, out);
    EXPECT_EQ(out[0], (200 - 128) * 8 * sjpeg::detail::coef_scale);
    for (int k = 1; k < 64; ++k) EXPECT_EQ(out[k], 0) << k;
    // A horizontal cosine of frequency 3 lands in coefficient (0, 3) only.
    uint8_t wave[64];
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            wave[y * 8 + x] = uint8_t(128 + std::lround(100 * std::cos((2 * x + 1) * 3 * 3.14159265358979 / 16)));
    sjpeg::detail::forward_dct_block(wave, 8, out);
    for (int k = 0; k < 64; ++k) {
        if (k == 3)
            EXPECT_NEAR(out[k], 100 * std::sqrt(32.0) * sjpeg::detail::coef_scale, 3 * sjpeg::detail::coef_scale);
        else
            EXPECT_NEAR(out[k], 0, 3 * sjpeg::detail::coef_scale) << k;  // samples were rounded
    }
}

}  // namespace
