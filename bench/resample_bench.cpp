// Resampler benchmark: a 6000 x 4000 RGBA image shrunk to 1536 pixels wide by
// resize_image, as the PNG road runs it. Prints the throughput in source
// megapixels per second; peak memory comes from the wrapper script
// (bench/resample.sh, /usr/bin/time -v), which also runs ImageMagick.
//
//   bench_resample [--scalar] [--repeat N] [--write-source FILE] [--write-output FILE]
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/job.h"
#include "core/options.h"
#include "core/resample.h"

namespace {

constexpr uint32_t kWidth = 6000, kHeight = 4000;
constexpr uint16_t kTarget = 1536;

// A photo-like opaque test card: smooth gradients, fine detail and a little noise.
std::vector<uint8_t> make_source() {
    std::vector<uint8_t> px(size_t(kWidth) * kHeight * 4);
    uint32_t state = 12345;
    for (uint32_t y = 0; y < kHeight; ++y)
        for (uint32_t x = 0; x < kWidth; ++x) {
            state = state * 1664525u + 1013904223u;
            const int n = int(state >> 28) - 8;
            const double fx = x / double(kWidth), fy = y / double(kHeight);
            const double detail = 40.0 * std::sin(x * 0.37) * std::cos(y * 0.23);
            uint8_t* p = &px[(size_t(y) * kWidth + x) * 4];
            auto clamp = [](double v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); };
            p[0] = clamp(255 * fx + n);
            p[1] = clamp(128 + 100 * std::sin(6.28 * fy) + detail + n);
            p[2] = clamp(255 * (1 - fx) * fy + n);
            p[3] = 255;
        }
    return px;
}

image_job make_job() {
    default_flags flags{};
    flags.png_level = flags.jpeg_level = 255;
    flags.quality = 90;
    flags.quality_default = 1;
    flags.metadata_mode = 1;
    flags.resize_target = kTarget;
    image_job job;
    init_image_job(job, flags, 0);
    job.width = kWidth;
    job.height = kHeight;
    job.pixel_count = kWidth * kHeight;
    job.bytes_per_pixel = 4;
    return job;
}

bool write_file(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    bool scalar = false;
    int repeat = 3;
    std::string source_path, output_path;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--scalar") scalar = true;
        else if (a == "--repeat" && i + 1 < argc) repeat = std::max(1, std::atoi(argv[++i]));
        else if (a == "--write-source" && i + 1 < argc) source_path = argv[++i];
        else if (a == "--write-output" && i + 1 < argc) output_path = argv[++i];
        else {
            std::fprintf(stderr, "usage: %s [--scalar] [--repeat N] [--write-source FILE] [--write-output FILE]\n", argv[0]);
            return 2;
        }
    }
    std::vector<uint8_t> source = make_source();
    if (!source_path.empty() && !write_file(source_path, source.data(), source.size())) return 1;

    // A single run works on the source itself, so that the peak memory shows
    // the image and the resizer only.
    std::vector<uint8_t> work;
    double best = 1e30;
    image_job job{};
    for (int r = 0; r < repeat; ++r) {
        if (repeat == 1)
            work = std::move(source);
        else
            work = source;
        job = make_job();
        const auto start = std::chrono::steady_clock::now();
        if (scalar) {
            // resize_image always takes the default path; the scalar path is
            // reached through the resizer itself with the same parameters.
            const resize_plan plan = plan_resize(job);
            LanczosResizer resizer;
            resizer.use_scalar_path(true);
            resizer.resize(work.data(), kWidth, kHeight, 0, work.data(), plan.width, plan.height, 0, 4, 0, 0, 0, 0);
            job.width = plan.width;
            job.height = plan.height;
        } else {
            resize_image(work.data(), job);
        }
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        best = std::min(best, s);
    }
    const double mp = double(kWidth) * kHeight / 1e6;
    std::printf("path=%s source=%ux%u result=%ux%u best_seconds=%.3f mp_per_s=%.1f\n", scalar ? "scalar" : "sse2",
                kWidth, kHeight, job.width, job.height, best, mp / best);
    if (!output_path.empty() && !write_file(output_path, work.data(), size_t(job.width) * job.height * 4)) return 1;
    return 0;
}
