// Progressive scan search: whatever the sampling layout and size, the chosen
// script is accepted by libjpeg-turbo, the file it writes holds exactly the
// input's coefficients, it is never larger than the standard progressive
// script's, and the measured size of a script equals the scan bytes libjpeg
// writes for it (less the 00 bytes stuffed after FF data bytes).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "core/jpg/turbo_ext/scan_measure.h"
#include "tests/jpg/scan_transcode.h"

namespace {

using namespace scan_transcode;

// ---- synthetic sources -------------------------------------------------

struct synthetic {
    const char* name;
    int width, height;
    J_COLOR_SPACE input_space, file_space;
    int components;
    int h[4], v[4];
    int quality;
};

// Smooth waves, edges and noise, different per component, so that the
// coefficients range from large low-frequency values to sparse high ones.
bytes synthetic_pixels(const synthetic& s) {
    bytes pixels(static_cast<std::size_t>(s.width) * s.height * s.components);
    std::uint32_t noise = 12345;
    for (int y = 0; y < s.height; ++y) {
        for (int x = 0; x < s.width; ++x) {
            for (int c = 0; c < s.components; ++c) {
                noise = noise * 1103515245u + 12345u;
                const double wave = 70 * std::sin(x * (0.021 + 0.013 * c) + y * (0.034 - 0.007 * c));
                const double edge = ((x / (13 + c)) + (y / 17)) % 3 == 0 ? 35 : -20;
                const int value = 128 + static_cast<int>(wave + edge) + static_cast<int>((noise >> 24) % 21) - 10;
                pixels[(static_cast<std::size_t>(y) * s.width + x) * s.components + c] =
                    static_cast<unsigned char>(value < 0 ? 0 : value > 255 ? 255 : value);
            }
        }
    }
    return pixels;
}

// A baseline JPEG of the synthetic image. `out` is allocated by the library.
bool encode_baseline(const synthetic& s, const unsigned char* pixels, unsigned char** out, unsigned long* out_size) {
    jpeg_compress_struct cinfo;
    error_trap trap;
    cinfo.err = arm(trap);
    jpeg_create_compress(&cinfo);
    if (setjmp(trap.recovery)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_mem_dest(&cinfo, out, out_size);
    cinfo.image_width = static_cast<JDIMENSION>(s.width);
    cinfo.image_height = static_cast<JDIMENSION>(s.height);
    cinfo.input_components = s.components;
    cinfo.in_color_space = s.input_space;
    jpeg_set_defaults(&cinfo);
    jpeg_set_colorspace(&cinfo, s.file_space);
    for (int c = 0; c < s.components; ++c) {
        cinfo.comp_info[c].h_samp_factor = s.h[c];
        cinfo.comp_info[c].v_samp_factor = s.v[c];
    }
    jpeg_set_quality(&cinfo, s.quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    const std::size_t stride = static_cast<std::size_t>(s.width) * s.components;
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<unsigned char*>(pixels + cinfo.next_scanline * stride);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

bytes encode_jpeg(const synthetic& s, const bytes& pixels) {
    unsigned char* data = nullptr;
    unsigned long size = 0;
    bytes file;
    if (encode_baseline(s, pixels.data(), &data, &size)) file.assign(data, data + size);
    std::free(data);
    return file;
}

bytes make_jpeg(const synthetic& s) { return encode_jpeg(s, synthetic_pixels(s)); }

// The checks every input must pass.
void expect_sound_search(const bytes& input, const std::string& name, coefficient_edit edit = nullptr) {
    SCOPED_TRACE(name);
    const transcode_result standard = transcode(input, script_source::standard, edit);
    const transcode_result searched = transcode(input, script_source::searched, edit);
    ASSERT_TRUE(standard.ok) << standard.error;
    ASSERT_TRUE(searched.ok) << "libjpeg refused the chosen script: " << searched.error;
    EXPECT_TRUE(searched.search_answered);
    EXPECT_LE(searched.file.size(), standard.file.size());

    const coefficient_dump expected = dump(input, edit);
    const coefficient_dump written = dump(searched.file);
    ASSERT_TRUE(expected.ok);
    EXPECT_TRUE(written == expected) << "coefficients changed";
    EXPECT_TRUE(written.progressive);

    for (const transcode_result* r : {&standard, &searched}) {
        const scan_bytes bytes = count_scan_bytes(r->file);
        EXPECT_EQ(r->estimate, bytes.bytes - bytes.stuffed)
            << (r == &standard ? "standard" : "searched") << " script, " << r->script.size() << " scans";
    }
}

// ---- synthetic inputs: every sampling layout, edge sizes -----------------

const synthetic kSynthetic[] = {
    {"grey 301x203", 301, 203, JCS_GRAYSCALE, JCS_GRAYSCALE, 1, {1}, {1}, 85},
    {"grey with 2x2 factors", 120, 90, JCS_GRAYSCALE, JCS_GRAYSCALE, 1, {2}, {2}, 75},
    // Odd block counts: interleaved MCUs are filled with dummy blocks.
    {"4:2:0 327x247", 327, 247, JCS_RGB, JCS_YCbCr, 3, {2, 1, 1}, {2, 1, 1}, 80},
    {"4:2:2 243x130", 243, 130, JCS_RGB, JCS_YCbCr, 3, {2, 1, 1}, {1, 1, 1}, 90},
    {"4:4:4 200x150", 200, 150, JCS_RGB, JCS_YCbCr, 3, {1, 1, 1}, {1, 1, 1}, 95},
    {"4:4:0 97x161", 97, 161, JCS_RGB, JCS_YCbCr, 3, {1, 1, 1}, {2, 1, 1}, 70},
    {"CMYK 150x100", 150, 100, JCS_CMYK, JCS_CMYK, 4, {1, 1, 1, 1}, {1, 1, 1, 1}, 85},
    {"YCCK 2x2 luma and K", 130, 70, JCS_CMYK, JCS_YCCK, 4, {2, 1, 1, 2}, {2, 1, 1, 2}, 80},
    {"1x1", 1, 1, JCS_RGB, JCS_YCbCr, 3, {2, 1, 1}, {2, 1, 1}, 75},
    {"8x8 grey", 8, 8, JCS_GRAYSCALE, JCS_GRAYSCALE, 1, {1}, {1}, 75},
    {"8x8 4:2:0", 8, 8, JCS_RGB, JCS_YCbCr, 3, {2, 1, 1}, {2, 1, 1}, 75},
    // Large enough to be searched on sampled rows, then checked exactly.
    {"4:2:0 700x520", 700, 520, JCS_RGB, JCS_YCbCr, 3, {2, 1, 1}, {2, 1, 1}, 85},
    {"grey 2048x2050", 2048, 2050, JCS_GRAYSCALE, JCS_GRAYSCALE, 1, {1}, {1}, 90},
};

TEST(ScanSearch, SyntheticImagesOfEveryLayout) {
    for (const synthetic& s : kSynthetic) {
        const bytes input = make_jpeg(s);
        ASSERT_FALSE(input.empty()) << s.name;
        expect_sound_search(input, s.name);
    }
}

// ---- crafted coefficients ------------------------------------------------

// A flat grey baseline file of the given size, whose coefficients the edits
// below overwrite.
bytes flat_grey(int width, int height) {
    const synthetic s{"flat", width, height, JCS_GRAYSCALE, JCS_GRAYSCALE, 1, {1}, {1}, 50};
    return encode_jpeg(s, bytes(static_cast<std::size_t>(width) * height, 128));
}

// Zigzag position k (1..63) to row-major index, for the first few diagonals.
int natural_index(int k) {
    static const int order[17] = {0, 1, 8, 16, 9, 2, 3, 10, 17, 24, 32, 25, 18, 11, 4, 5, 12};
    return order[k];
}

template <class Fill>
void for_each_block(j_decompress_ptr src, jvirt_barray_ptr* coefs, Fill fill) {
    const jpeg_component_info& comp = src->comp_info[0];
    long index = 0;
    for (JDIMENSION row = 0; row < comp.height_in_blocks; ++row) {
        JBLOCKARRAY blocks =
            src->mem->access_virt_barray(reinterpret_cast<j_common_ptr>(src), coefs[0], row, 1, TRUE);
        for (JDIMENSION col = 0; col < comp.width_in_blocks; ++col) fill(blocks[0][col], index++);
    }
}

// 18 AC symbols (run r, size s) with the Fibonacci counts 1, 2, 3, 5 ... 4181
// (10944 in all), one coded coefficient per block: beside the code point
// JPEG keeps free (count 1) they make the optimal code a chain 19 deep, which
// must be folded back to JPEG's 16-bit limit.
constexpr int kFibonacciSymbols = 18;
constexpr int kFibonacciBlocks = 10944;

int fibonacci(int n) { return n < 2 ? 1 : fibonacci(n - 1) + fibonacci(n - 2); }
int symbol_count(int t) { return fibonacci(t + 1); }

void fill_fibonacci(j_decompress_ptr src, jvirt_barray_ptr* coefs) {
    for_each_block(src, coefs, [](JCOEF* block, long index) {
        for (int k = 1; k < DCTSIZE2; ++k) block[k] = 0;
        long start = 0;
        for (int t = kFibonacciSymbols - 1; t >= 0; --t) {
            const long end = start + symbol_count(t);
            if (index >= start && index < end) {
                const int run = t % 16, size = 1 + t / 16;
                block[natural_index(run + 1)] = static_cast<JCOEF>((index % 2 ? -1 : 1) * (1 << (size - 1)));
                return;
            }
            start = end;
        }
    });
}

TEST(ScanSearch, CodeLengthsAreFoldedToSixteenBitsAsLibjpegDoes) {
    symbol_counts counts;
    for (int t = 0; t < kFibonacciSymbols; ++t) counts.freq[((t % 16) << 4) | (1 + t / 16)] = symbol_count(t);
    counts.freq[0x00] = kFibonacciBlocks;  // the end-of-band run after every block
    std::uint8_t lengths[256];
    const huffman_size size = optimal_huffman_size(counts, lengths);
    EXPECT_EQ(size.symbols, kFibonacciSymbols + 1);
    int longest = 0;
    double kraft = 0;
    std::uint64_t bits = 0;
    for (int s = 0; s < 256; ++s) {
        if (!lengths[s]) continue;
        longest = std::max(longest, static_cast<int>(lengths[s]));
        kraft += std::ldexp(1.0, -lengths[s]);
        bits += static_cast<std::uint64_t>(counts.freq[s]) * lengths[s];
    }
    EXPECT_EQ(longest, 16);
    EXPECT_LT(kraft, 1.0);  // the all-ones code stays free
    EXPECT_EQ(bits, size.bits);

    // The same distribution in a real file: DC and one full-band AC scan.
    // 1024x704 holds 11264 blocks, enough for the coded ones.
    const bytes input = flat_grey(1024, 704);
    ASSERT_GE(1024 / 8 * 704 / 8, kFibonacciBlocks);
    std::vector<jpeg_scan_info> script(2);
    script[0] = {1, {0}, 0, 0, 0, 0};
    script[1] = {1, {0}, 1, 63, 0, 0};
    const transcode_result r = transcode(input, script_source::given, fill_fibonacci, script);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(estimate_matches(r));
    expect_sound_search(input, "Fibonacci symbol counts", fill_fibonacci);
}

// AC values beyond what an 8-bit file may hold: scans that would code them
// whole cannot be written, so the search must keep to scans that shift them
// into range.
void fill_oversized(j_decompress_ptr src, jvirt_barray_ptr* coefs) {
    for_each_block(src, coefs, [](JCOEF* block, long index) {
        block[1] = static_cast<JCOEF>(index % 5 == 0 ? 1500 : (index % 7) - 3);
        block[8] = static_cast<JCOEF>((index % 3) * 40);
    });
}

// Every fourth MCU row is flat, the rows between are busy: the rows a large
// image is searched on are not like the rest, and only the exact comparison
// keeps the result from growing.
void fill_misleading_rows(j_decompress_ptr src, jvirt_barray_ptr* coefs) {
    const long across = static_cast<long>(src->comp_info[0].width_in_blocks);
    std::uint32_t noise = 7;
    for_each_block(src, coefs, [&](JCOEF* block, long index) {
        const bool sampled_row = (index / across) % 4 == 0;
        for (int k = 1; k < DCTSIZE2; ++k) {
            noise = noise * 1103515245u + 12345u;
            const int spread = sampled_row ? 0 : (k < 10 ? 60 : k < 30 ? 6 : 2);
            block[k] = static_cast<JCOEF>(spread ? static_cast<int>(noise >> 16) % (2 * spread + 1) - spread : 0);
        }
    });
}

// DC values that vary smoothly but for a random lowest bit, no AC: sending
// that bit in a refinement scan of its own costs less than coding it in the
// differences, so the search splits DC.
void fill_noisy_dc_bit(j_decompress_ptr src, jvirt_barray_ptr* coefs) {
    for (int c = 0; c < src->num_components; ++c) {
        const jpeg_component_info& comp = src->comp_info[c];
        std::uint32_t noise = 99u + static_cast<std::uint32_t>(c);
        for (JDIMENSION row = 0; row < comp.height_in_blocks; ++row) {
            JBLOCKARRAY blocks =
                src->mem->access_virt_barray(reinterpret_cast<j_common_ptr>(src), coefs[c], row, 1, TRUE);
            for (JDIMENSION col = 0; col < comp.width_in_blocks; ++col) {
                noise = noise * 1103515245u + 12345u;
                JCOEF* block = blocks[0][col];
                for (int k = 1; k < DCTSIZE2; ++k) block[k] = 0;
                block[0] = static_cast<JCOEF>(2 * (static_cast<int>(col / 3 + row / 5) % 40 - 20) + (noise >> 20 & 1));
            }
        }
    }
}

void fill_sparse(j_decompress_ptr src, jvirt_barray_ptr* coefs) {
    for_each_block(src, coefs, [](JCOEF* block, long index) { block[1] = index % 40 == 0 ? 2 : 0; });
}

TEST(ScanSearch, CraftedCoefficients) {
    expect_sound_search(flat_grey(160, 120), "values beyond the 8-bit range", fill_oversized);
    expect_sound_search(flat_grey(640, 512), "sampled rows unlike the others", fill_misleading_rows);

    const synthetic colour{"flat 4:2:0", 312, 232, JCS_RGB, JCS_YCbCr, 3, {2, 1, 1}, {2, 1, 1}, 50};
    const bytes flat_colour = encode_jpeg(colour, bytes(312 * 232 * 3, 128));
    expect_sound_search(flat_colour, "DC with a random lowest bit", fill_noisy_dc_bit);
    const transcode_result split = transcode(flat_colour, script_source::searched, fill_noisy_dc_bit);
    EXPECT_TRUE(std::any_of(split.script.begin(), split.script.end(),
                            [](const jpeg_scan_info& s) { return s.Ss == 0 && s.Ah == 1; }))
        << "no DC refinement scan";
    // 38400 blocks, one in 40 with a value of 2: the last refinement's only
    // end-of-band run grows longer than one symbol codes before its
    // correction bits reach the limit (each symbol empties them).
    expect_sound_search(flat_grey(2048, 1200), "end-of-band runs beyond 32767 blocks", fill_sparse);
}

// ---- corpus files --------------------------------------------------------

TEST(ScanSearch, CorpusFiles) {
    const char* corpus = std::getenv("VELTO_CORPUS");
    if (!corpus || !std::filesystem::is_directory(std::string(corpus) + "/jpeg"))
        GTEST_SKIP() << "the shared corpus is not there (VELTO_CORPUS)";
    const char* files[] = {
        "baseline/hibiscus-420.jpg",           "subsampling/peacock-s2x1-422.jpg",
        "subsampling/peacock-s-very-weird.jpg", "baseline/tower-512-444-exif-xmp.jpg",
        "grey/tower-512-grey.jpg",              "cmyk/ycck-adobe-500x333.jpg",
        "cmyk/mozilla-cmyk-1.jpg",              "progressive/progressive3-650x470.jpg",
        "baseline/mozilla-size-1x1.jpg",        "grey/blank-800x280.jpg",
        "arithmetic/ijg-testimgari.jpg",        "baseline/harvesters-1165x859.jpg",
    };
    for (const char* name : files) {
        bytes input;
        ASSERT_TRUE(load_file(std::string(corpus) + "/jpeg/" + name, input)) << name;
        expect_sound_search(input, name);
    }
}

}  // namespace
