// Quantiser benchmark: loads a PNG or JPEG as RGBA8, quantises it to a palette
// and prints the speed, the number of entries and the error of the result.
//
//   bench_quantize IMAGE [-q QUALITY] [-n COLOURS] [-r REPEATS]
//       quantises (best time of REPEATS runs) and prints key=value figures.
//   bench_quantize IMAGE -o OUT.png
//       only writes the image as an RGBA PNG, for peer tools.
//   bench_quantize --psnr ORIGINAL RESULT
//       prints the PSNR of RESULT against ORIGINAL over R, G, B and A.
//   bench_quantize --colours IMAGE
//       prints the number of distinct RGBA values.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>
#include <png.h>

#include "core/png/codec/quantize.h"

namespace {

struct rgba_image {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> pixels;
};

bool load_png(const char* path, rgba_image& img) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path)) return false;
    image.format = PNG_FORMAT_RGBA;
    img.width = image.width;
    img.height = image.height;
    img.pixels.resize(size_t(PNG_IMAGE_SIZE(image)));
    if (!png_image_finish_read(&image, nullptr, img.pixels.data(), 0, nullptr)) {
        png_image_free(&image);
        return false;
    }
    return true;
}

struct jpeg_failure {
    jpeg_error_mgr base;
    std::jmp_buf jump;
};

void jpeg_fail(j_common_ptr info) { std::longjmp(reinterpret_cast<jpeg_failure*>(info->err)->jump, 1); }

bool load_jpeg(const char* path, rgba_image& img) {
    FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    jpeg_decompress_struct info;
    jpeg_failure failure;
    info.err = jpeg_std_error(&failure.base);
    failure.base.error_exit = jpeg_fail;
    if (setjmp(failure.jump)) {
        jpeg_destroy_decompress(&info);
        std::fclose(f);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, f);
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    img.width = info.output_width;
    img.height = info.output_height;
    img.pixels.assign(size_t(img.width) * img.height * 4, 255);
    std::vector<uint8_t> row(size_t(img.width) * 3);
    while (info.output_scanline < info.output_height) {
        JSAMPROW rows[1] = {row.data()};
        const size_t y = info.output_scanline;
        jpeg_read_scanlines(&info, rows, 1);
        uint8_t* out = img.pixels.data() + y * img.width * 4;
        for (size_t x = 0; x < img.width; ++x) std::memcpy(out + 4 * x, row.data() + 3 * x, 3);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    std::fclose(f);
    return true;
}

bool load_image(const char* path, rgba_image& img) {
    std::string p(path);
    std::string ext = p.size() > 4 ? p.substr(p.size() - 4) : "";
    for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (ext == ".jpg" || ext == "jpeg") return load_jpeg(path, img);
    return load_png(path, img);
}

bool save_png(const char* path, const rgba_image& img) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = img.width;
    image.height = img.height;
    image.format = PNG_FORMAT_RGBA;
    return png_image_write_to_file(&image, path, 0, img.pixels.data(), 0, nullptr) != 0;
}

// PSNR over R, G, B and A of `count` pixels of a against b; with `indices`,
// b is a palette and pixel i of b is b[4 * indices[i]].
double psnr(const uint8_t* a, const uint8_t* b, size_t count, const uint8_t* indices) {
    double sum = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* q = indices ? b + 4 * indices[i] : b + 4 * i;
        for (int k = 0; k < 4; ++k) {
            double d = double(a[4 * i + k]) - double(q[k]);
            sum += d * d;
        }
    }
    double mse = sum / (4.0 * double(count));
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

uint64_t distinct_colours(const rgba_image& img) {
    std::vector<uint32_t> values(img.pixels.size() / 4);
    std::memcpy(values.data(), img.pixels.data(), img.pixels.size());
    std::sort(values.begin(), values.end());
    return uint64_t(std::unique(values.begin(), values.end()) - values.begin());
}

int usage() {
    std::fprintf(stderr,
                 "usage: bench_quantize IMAGE [-q QUALITY] [-n COLOURS] [-r REPEATS] [-o OUT.png]\n"
                 "       bench_quantize --psnr ORIGINAL RESULT\n"
                 "       bench_quantize --colours IMAGE\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--psnr") == 0) {
        rgba_image a, b;
        if (!load_image(argv[2], a) || !load_image(argv[3], b) || a.pixels.size() != b.pixels.size()) {
            std::fprintf(stderr, "cannot compare %s and %s\n", argv[2], argv[3]);
            return 1;
        }
        std::printf("psnr=%.2f\n", psnr(a.pixels.data(), b.pixels.data(), a.pixels.size() / 4, nullptr));
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "--colours") == 0) {
        rgba_image img;
        if (!load_image(argv[2], img)) return 1;
        std::printf("width=%u height=%u colours=%llu\n", img.width, img.height,
                    static_cast<unsigned long long>(distinct_colours(img)));
        return 0;
    }
    if (argc < 2) return usage();
    int quality = 90, colours = 256, repeats = 1;
    const char* out_png = nullptr;
    for (int i = 2; i < argc; i += 2) {
        if (i + 1 >= argc) return usage();
        if (std::strcmp(argv[i], "-q") == 0)
            quality = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "-n") == 0)
            colours = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "-r") == 0)
            repeats = std::max(1, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "-o") == 0)
            out_png = argv[i + 1];
        else
            return usage();
    }

    rgba_image img;
    auto load_start = std::chrono::steady_clock::now();
    if (!load_image(argv[1], img)) {
        std::fprintf(stderr, "cannot load %s\n", argv[1]);
        return 1;
    }
    const double load_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - load_start).count();
    if (out_png) {
        if (!save_png(out_png, img)) {
            std::fprintf(stderr, "cannot write %s\n", out_png);
            return 1;
        }
        return 0;
    }

    const double megapixels = double(img.width) * img.height / 1e6;
    std::vector<uint8_t> indices(size_t(img.width) * img.height);
    std::vector<uint8_t> palette(1024);
    int32_t bytes = 0;
    double best = 1e30;
    for (int r = 0; r < repeats; ++r) {
        auto start = std::chrono::steady_clock::now();
        bytes = quantize_palette(img.pixels.data(), indices, palette.data(), img.width, img.height,
                                 uint16_t(colours), uint8_t(quality), 0, 0);
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::printf("image=%ux%u megapixels=%.2f quality=%d limit=%d entries=%d load_seconds=%.3f best_seconds=%.3f "
                "mp_per_s=%.2f psnr=%.2f\n",
                img.width, img.height, megapixels, quality, colours, bytes / 4, load_seconds, best, megapixels / best,
                psnr(img.pixels.data(), palette.data(), indices.size(), indices.data()));
    return 0;
}
