// Pixel identity checker for the PNG benchmark: reads pairs of files (the
// original and a tool's output) with libpng, both as RGBA with 16 bits a
// channel, and reports every pair whose visible pixels differ. A pixel that is
// fully transparent in the original may take any colour but must stay fully
// transparent.
//   bench_png_identity ORIGINAL OUTPUT [ORIGINAL OUTPUT ...]
// Prints one line per failing pair; exit code 0 when every pair matched.
#include <png.h>

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

struct rgba16 {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint16_t> pixels;
};

void silent_warning(png_structp, png_const_charp) {}

bool decode(const char* path, rgba16& img) {
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, silent_warning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        std::fclose(f);
        return false;
    }
    std::vector<uint8_t> raw;
    std::vector<png_bytep> rows;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        std::fclose(f);
        return false;
    }
    png_init_io(png, f);
    png_set_user_limits(png, 0x7fffffff, 0x7fffffff);
    png_read_info(png, info);
    png_set_expand(png);
    png_set_expand_16(png);
    png_set_gray_to_rgb(png);
    png_set_add_alpha(png, 0xffff, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    img.width = png_get_image_width(png, info);
    img.height = png_get_image_height(png, info);
    const size_t row_bytes = png_get_rowbytes(png, info);
    if (row_bytes != size_t(img.width) * 8) png_error(png, "unexpected layout");
    raw.resize(row_bytes * img.height);
    for (uint32_t y = 0; y < img.height; ++y) rows.push_back(raw.data() + y * row_bytes);
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    img.pixels.resize(raw.size() / 2);
    for (size_t i = 0; i < img.pixels.size(); ++i) img.pixels[i] = uint16_t(raw[i * 2] << 8 | raw[i * 2 + 1]);
    return true;
}

// Empty when the visible pixels match, else what differs.
const char* compare(const char* original, const char* output, size_t& where) {
    rgba16 a, b;
    if (!decode(original, a)) return "original does not decode";
    if (!decode(output, b)) return "output does not decode";
    if (a.width != b.width || a.height != b.height) return "size differs";
    for (size_t i = 0; i < a.pixels.size(); i += 4) {
        where = i / 4;
        if (a.pixels[i + 3] == 0) {
            if (b.pixels[i + 3] != 0) return "transparent pixel became visible";
        } else if (std::memcmp(&a.pixels[i], &b.pixels[i], 8) != 0) {
            return "visible pixel differs";
        }
    }
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc % 2 == 0) {
        std::fprintf(stderr, "usage: %s ORIGINAL OUTPUT [ORIGINAL OUTPUT ...]\n", argv[0]);
        return 2;
    }
    int failed = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        size_t where = 0;
        if (const char* why = compare(argv[i], argv[i + 1], where)) {
            std::printf("MISMATCH %s: %s (pixel %zu)\n", argv[i + 1], why, where);
            failed = 1;
        }
    }
    return failed;
}
