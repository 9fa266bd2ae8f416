// Lossy JPEG encoder for packed RGB rows.
//
// The pixels are converted to YCbCr and downsampled here, transformed with our
// own forward DCT and quantised with quality-scaled tables that can be adapted
// to the image's coefficient statistics, with optional rounding biased toward
// zero in busy blocks and rate-distortion (trellis) quantisation of the AC
// coefficients. libjpeg-turbo then only writes the file: Huffman coding (with
// optimised tables on request), markers and the frame syntax, from the
// coefficients we hand it through jpeg_write_coefficients.
//
// Metadata is written from four byte strings: `exif` and `xmp` as one APP1
// segment each, `iccp` split into numbered APP2 chunks, and `app_markers` as
// complete segments copied as they are. A payload that does not fit is refused
// (Encode fails), never cut.
#pragma once
#include <cstdint>
#include <string>

// Chroma layouts of the output.
enum SjpegYUVMode : int {
    SJPEG_YUV_420 = 1,  // chroma halved in both directions
    SJPEG_YUV_444 = 3,  // full-resolution chroma
    SJPEG_YUV_400 = 4,  // luma only (grey output)
};

namespace sjpeg {

struct EncoderParam {
    EncoderParam();
    explicit EncoderParam(float quality);

    // Quality 0..100 (clamped); picks the quantisation tables' scale.
    void SetQuality(float quality);
    float quality() const { return quality_; }
    // Empties the four metadata strings.
    void ResetMetadata();

    int yuv_mode = SJPEG_YUV_420;
    bool Huffman_compress = true;        // optimised Huffman tables (two passes)
    bool adaptive_quantization = true;   // table steps chosen from the image's statistics
    bool adaptive_bias = false;          // rounding toward zero where texture masks the error
    bool use_trellis = false;            // rate-distortion quantisation of AC coefficients

    std::string exif;         // Exif payload without its "Exif\0\0" signature
    std::string xmp;          // XMP packet without its namespace signature
    std::string iccp;         // whole ICC profile
    std::string app_markers;  // complete segments (FF, code, length, data), copied as they are

private:
    float quality_ = 75.0f;
};

// Largest payloads a single segment can carry.
inline constexpr size_t max_exif_payload = 65533 - 6;
inline constexpr size_t max_xmp_payload = 65533 - 29;
inline constexpr size_t max_icc_chunk_payload = 65533 - 14;
inline constexpr size_t max_icc_chunks = 255;
// Largest image the encoder accepts (JPEG's dimension limit and a pixel budget
// that keeps the working memory below about 2 GiB).
inline constexpr uint32_t max_encode_dimension = 65500;
inline constexpr uint64_t max_encode_pixels = uint64_t(1) << 27;

// Encodes `height` rows of `width` RGB pixels (3 bytes each, rows `stride`
// bytes apart) into `output`. Returns false, with `output` empty, on bad
// arguments, an image beyond the limits, metadata that does not fit, lack of
// memory or any library error.
bool Encode(const uint8_t* rgb, int width, int height, int stride, const EncoderParam& param,
            std::string* output);

}  // namespace sjpeg
