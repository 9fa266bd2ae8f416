// Composed-frame identity checker of the APNG benchmark: reads pairs of
// files (an animation and a tool's output) with the engine's APNG reader,
// merges runs of visibly equal frames into one frame showing for their
// summed time, and reports every pair whose frames or times differ. A pixel
// transparent in both may take any colour. An output of one frame may be a
// plain PNG (read with libpng).
//   bench_apng_identity ORIGINAL OUTPUT [ORIGINAL OUTPUT ...]
// Prints one line per failing pair; exit code 0 when every pair matched.
#include <png.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "core/png/apng_reader.h"

namespace {

struct shown {
    std::vector<uint8_t> pixels;
    uint64_t num, den;
};

bool same_visible(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i + 3 < a.size(); i += 4) {
        if (a[i + 3] == 0 && b[i + 3] == 0) continue;
        if (std::memcmp(&a[i], &b[i], 4) != 0) return false;
    }
    return true;
}

bool read_timeline(const char* path, std::vector<shown>& out) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    apng_animation a;
    std::vector<shown> frames;
    if (load_apng(file.data(), file.size(), a)) {
        for (size_t i = a.default_skipped ? 1 : 0; i < a.frames.size(); ++i)
            frames.push_back({a.frames[i].pixels, a.frames[i].delay_num, a.frames[i].delay_den ? a.frames[i].delay_den : 100u});
    } else {
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) return false;
        image.format = PNG_FORMAT_RGBA;
        std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
        if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) return false;
        frames.push_back({pixels, 1, 1});
    }
    out.clear();
    for (shown& f : frames) {
        if (!out.empty() && same_visible(out.back().pixels, f.pixels)) {
            out.back().num = out.back().num * f.den + f.num * out.back().den;
            out.back().den *= f.den;
        } else {
            out.push_back(f);
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int status = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::vector<shown> a, b;
        const char* problem = nullptr;
        if (!read_timeline(argv[i], a) || !read_timeline(argv[i + 1], b)) {
            problem = "unreadable";
        } else if (a.size() != b.size()) {
            problem = "frame count";
        } else {
            for (size_t k = 0; k < a.size() && !problem; ++k) {
                if (!same_visible(a[k].pixels, b[k].pixels)) problem = "pixels";
                // One shown frame: its time does not matter.
                else if (a.size() > 1 && a[k].num * b[k].den != b[k].num * a[k].den) problem = "delays";
            }
        }
        if (problem) {
            std::printf("%s: %s differs from %s\n", argv[i + 1], problem, argv[i]);
            status = 1;
        }
    }
    return status;
}
