// Harness of bench/jpeg_encoder.sh (not a test).
//
//   bench_jpeg_encoder decode IN.jpg OUT.ppm
//       decodes a JPEG with libjpeg-turbo to 8-bit RGB (grey sources too);
//       exit 3 when the file is not an 8-bit 1- or 3-component JPEG. Prints
//       "subsampled=0|1" (the source's first component has a factor of 2).
//   bench_jpeg_encoder encode IN.ppm OUT.jpg QUALITY SUBSAMPLED [REPEAT]
//       encodes the pixels as the lossy road would (its statistics choose the
//       chroma layout; trellis, biased rounding, adapted tables and optimised
//       Huffman tables on) at QUALITY without the road's floor and ceiling,
//       and prints "seconds=" (best of REPEAT encodes, one thread), "mode=".
#include <algorithm>
#include <chrono>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "core/jpg/jpeg_lossy_decisions.h"
#include "core/jpg/turbo_ext/encoder.h"

namespace {

// Zero bytes after the pixels, as the lossy road keeps them.
const size_t spare_bytes = 2048;

struct bench_trap {
    jpeg_error_mgr manager;
    jmp_buf recovery;
};
[[noreturn]] void bench_jump(j_common_ptr c) { std::longjmp(reinterpret_cast<bench_trap*>(c->err)->recovery, 1); }
void bench_silent(j_common_ptr) {}

struct image {
    int width = 0, height = 0;
    bool subsampled = false;
    std::vector<uint8_t> rgb;
};

// Plain-data frame for the library's jump; `out->rgb` is sized from the
// header before the first row is read.
bool decode_into(FILE* file, image* out) {
    jpeg_decompress_struct cinfo;
    bench_trap trap;
    cinfo.err = jpeg_std_error(&trap.manager);
    trap.manager.error_exit = bench_jump;
    trap.manager.output_message = bench_silent;
    if (setjmp(trap.recovery)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, file);
    jpeg_read_header(&cinfo, TRUE);
    if (cinfo.num_components != 1 && cinfo.num_components != 3) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    out->subsampled = cinfo.comp_info[0].h_samp_factor == 2 || cinfo.comp_info[0].v_samp_factor == 2;
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    out->width = int(cinfo.output_width);
    out->height = int(cinfo.output_height);
    out->rgb.resize(size_t(out->width) * out->height * 3 + spare_bytes);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = out->rgb.data() + size_t(cinfo.output_scanline) * out->width * 3;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

bool write_ppm(const std::string& path, const image& img) {
    std::ofstream out(path, std::ios::binary);
    out << "P6\n" << img.width << " " << img.height << "\n255\n";
    out.write(reinterpret_cast<const char*>(img.rgb.data()), std::streamsize(size_t(img.width) * img.height * 3));
    return bool(out);
}

bool read_ppm(const std::string& path, image& img) {
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    int maxval = 0;
    in >> magic >> img.width >> img.height >> maxval;
    in.get();
    if (magic != "P6" || maxval != 255 || img.width <= 0 || img.height <= 0) return false;
    img.rgb.assign(size_t(img.width) * img.height * 3 + spare_bytes, 0);
    in.read(reinterpret_cast<char*>(img.rgb.data()), std::streamsize(size_t(img.width) * img.height * 3));
    return bool(in);
}

int encode_command(int argc, char** argv) {
    if (argc < 6) return 2;
    image img;
    if (!read_ppm(argv[2], img)) return 1;
    const int quality = std::atoi(argv[4]);
    const int repeat = argc > 6 ? std::max(1, std::atoi(argv[6])) : 1;
    image_job job{};
    job.width = uint32_t(img.width);
    job.height = uint32_t(img.height);
    job.pixel_count = job.width * job.height;
    job.bytes_per_pixel = 3;
    job.is_grey = 1;
    job.quality = uint8_t(quality);
    job.quality_default = 0;
    job.jpeg_level = 2;
    note_chroma_sampling(job, std::atoi(argv[5]) ? 2 : 1, 1);
    measure_jpeg_pixels(img.rgb.data(), img.rgb.size(), job);
    sjpeg::EncoderParam param;
    set_lossy_encoder_param(job, 3, param);
    param.SetQuality(float(quality));  // the bench sweeps the encoder's own scale
    std::string out;
    double best = 1e30;
    for (int i = 0; i < repeat; ++i) {
        const auto start = std::chrono::steady_clock::now();
        if (!sjpeg::Encode(img.rgb.data(), img.width, img.height, img.width * 3, param, &out)) return 1;
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::ofstream(argv[3], std::ios::binary).write(out.data(), std::streamsize(out.size()));
    std::printf("seconds=%.3f mode=%d bytes=%zu\n", best, param.yuv_mode, out.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "decode") == 0) {
        FILE* file = std::fopen(argv[2], "rb");
        if (!file) return 1;
        image img;
        const bool ok = decode_into(file, &img);
        std::fclose(file);
        if (!ok) return 3;
        if (!write_ppm(argv[3], img)) return 1;
        std::printf("subsampled=%d\n", img.subsampled ? 1 : 0);
        return 0;
    }
    if (argc >= 2 && std::strcmp(argv[1], "encode") == 0) return encode_command(argc, argv);
    std::fprintf(stderr, "usage: bench_jpeg_encoder decode IN OUT.ppm | encode IN.ppm OUT.jpg Q SUBSAMPLED [REPEAT]\n");
    return 2;
}
