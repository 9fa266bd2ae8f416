#include "core/png/trial_encode.h"

#include "core/png/codec/encode.h"

uint32_t size_of(const std::vector<uint8_t>& png) {
    return png.size() >= no_size ? no_size - 1 : static_cast<uint32_t>(png.size());
}

uint32_t encode_rows(std::vector<uint8_t>& out, const std::vector<uint8_t>& image, uint32_t width,
                     uint32_t rows, lodepng::State& state, const png_palette_order& order) {
    out.clear();
    const uint32_t code = encode_png(out, image, width, rows, state, &order);
    if (code != 0) {
        out.clear();
        return code;
    }
    return out.empty() ? 1 : 0;
}

uint32_t encode_image(std::vector<uint8_t>& out, const std::vector<uint8_t>& image,
                      lodepng::State& state, const png_palette_order& order, const image_job& job) {
    return encode_rows(out, image, job.width, job.height, state, order);
}

bool geometry_matches(const std::vector<uint8_t>& image, const image_job& job) {
    const uint64_t pixels = static_cast<uint64_t>(job.width) * job.height;
    return pixels != 0 && pixels == job.pixel_count && image.size() == pixels * 4;
}
