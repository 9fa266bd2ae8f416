#include "core/png/compressor_callbacks.h"

#include <cstdlib>

#include "core/deflate/multilevel.h"

namespace {

// A fresh job's Zopfli settings: level 5 in the low byte, one iteration in the high one.
constexpr uint16_t default_zopfli_setting = 261;

void clear_output(uint8_t** out, uint64_t* outsize) {
    *out = nullptr;
    *outsize = 0;
}

// Compresses into a new block of `room` bytes; *out and *outsize stay as
// they are on failure.
uint32_t encode_into_new_block(mlevel::DeflateEncoder* encoder, uint8_t** out, uint64_t* outsize,
                               const uint8_t* in, uint64_t insize, uint64_t room) {
    // malloc(0) may give null; one byte keeps "no memory" distinguishable.
    auto* block = static_cast<uint8_t*>(std::malloc(room > 0 ? room : 1));
    if (block == nullptr) return png_error_alloc;
    const uint64_t written = mlevel::deflate_encode(encoder, in, insize, block, room);
    // A valid raw stream is never empty: 0 means the output did not fit, and
    // handing an empty stream on would let a broken file replace a good one.
    if (written == 0) {
        std::free(block);
        return png_error_alloc;
    }
    *out = block;
    *outsize = written;
    return 0;
}

}  // namespace

uint32_t compress_with_level(int level_code, uint8_t** out, uint64_t* outsize, const uint8_t* in,
                             uint64_t insize, uint64_t room) {
    clear_output(out, outsize);
    mlevel::DeflateEncoder* encoder = mlevel::create_deflate_encoder(level_code);
    if (encoder == nullptr) return png_error_alloc;
    const uint32_t status = encode_into_new_block(encoder, out, outsize, in, insize, room);
    mlevel::destroy_deflate_encoder(encoder);
    return status;
}

template <int level_code>
uint32_t level_callback(uint8_t** out, uint64_t* outsize, const uint8_t* in, uint64_t insize,
                        const png_compress_settings* /*settings*/) {
    clear_output(out, outsize);
    mlevel::DeflateEncoder* encoder = mlevel::create_deflate_encoder(level_code);
    if (encoder == nullptr) return png_error_alloc;
    const uint64_t room = mlevel::deflate_encode_bound(encoder, insize);
    const uint32_t status = encode_into_new_block(encoder, out, outsize, in, insize, room);
    mlevel::destroy_deflate_encoder(encoder);
    return status;
}

template uint32_t level_callback<0>(uint8_t**, uint64_t*, const uint8_t*, uint64_t,
                                    const png_compress_settings*);
template uint32_t level_callback<1>(uint8_t**, uint64_t*, const uint8_t*, uint64_t,
                                    const png_compress_settings*);
template uint32_t level_callback<2>(uint8_t**, uint64_t*, const uint8_t*, uint64_t,
                                    const png_compress_settings*);
template uint32_t level_callback<3>(uint8_t**, uint64_t*, const uint8_t*, uint64_t,
                                    const png_compress_settings*);
template uint32_t level_callback<4>(uint8_t**, uint64_t*, const uint8_t*, uint64_t,
                                    const png_compress_settings*);
template uint32_t level_callback<5>(uint8_t**, uint64_t*, const uint8_t*, uint64_t,
                                    const png_compress_settings*);
template uint32_t level_callback<6>(uint8_t**, uint64_t*, const uint8_t*, uint64_t,
                                    const png_compress_settings*);
template uint32_t level_callback<7>(uint8_t**, uint64_t*, const uint8_t*, uint64_t,
                                    const png_compress_settings*);
template uint32_t level_callback<8>(uint8_t**, uint64_t*, const uint8_t*, uint64_t,
                                    const png_compress_settings*);
template uint32_t level_callback<9>(uint8_t**, uint64_t*, const uint8_t*, uint64_t,
                                    const png_compress_settings*);
template uint32_t level_callback<10>(uint8_t**, uint64_t*, const uint8_t*, uint64_t,
                                     const png_compress_settings*);
template uint32_t level_callback<11>(uint8_t**, uint64_t*, const uint8_t*, uint64_t,
                                     const png_compress_settings*);
template uint32_t level_callback<12>(uint8_t**, uint64_t*, const uint8_t*, uint64_t,
                                     const png_compress_settings*);
template uint32_t level_callback<13>(uint8_t**, uint64_t*, const uint8_t*, uint64_t,
                                     const png_compress_settings*);
template uint32_t level_callback<77>(uint8_t**, uint64_t*, const uint8_t*, uint64_t,
                                     const png_compress_settings*);
template uint32_t level_callback<80>(uint8_t**, uint64_t*, const uint8_t*, uint64_t,
                                     const png_compress_settings*);
template uint32_t level_callback<88>(uint8_t**, uint64_t*, const uint8_t*, uint64_t,
                                     const png_compress_settings*);
template uint32_t level_callback<89>(uint8_t**, uint64_t*, const uint8_t*, uint64_t,
                                     const png_compress_settings*);

deflate_callback level_callback_for(int level_code) {
    switch (level_code) {
        case 0: return level_callback<0>;
        case 1: return level_callback<1>;
        case 2: return level_callback<2>;
        case 3: return level_callback<3>;
        case 4: return level_callback<4>;
        case 5: return level_callback<5>;
        case 6: return level_callback<6>;
        case 7: return level_callback<7>;
        case 8: return level_callback<8>;
        case 9: return level_callback<9>;
        case 10: return level_callback<10>;
        case 11: return level_callback<11>;
        case 12: return level_callback<12>;
        case 13: return level_callback<13>;
        case 77: return level_callback<77>;
        case 80: return level_callback<80>;
        case 88: return level_callback<88>;
        case 89: return level_callback<89>;
        default: return nullptr;
    }
}

zopfli::Zopflioptions zopfli_options_for_job(const image_job& job) {
    const uint32_t mode = job.zopfli_setting & 0xFF;
    const int32_t iterations = job.zopfli_setting >> 8;
    const uint8_t special = job.pixel_count == zopfli_special_pixel_count ? 1 : 0;
    zopfli::Zopflioptions options{};
    zopfli::zopfli_init_options(&options, mode, job.deflate_threads, 1, iterations, special);
    return options;
}

uint32_t zopfli_callback(uint8_t** out, uint64_t* outsize, const uint8_t* in, uint64_t insize,
                         const png_compress_settings* settings) {
    clear_output(out, outsize);
    const auto* job = settings != nullptr
                          ? static_cast<const image_job*>(settings->compressor_context)
                          : nullptr;
    zopfli::Zopflioptions options;
    if (job != nullptr) {
        options = zopfli_options_for_job(*job);
    } else {
        zopfli::zopfli_init_options(&options, default_zopfli_setting & 0xFF, 1, 1,
                                    default_zopfli_setting >> 8, 0);
    }
    unsigned char bit_position = 0;
    unsigned char* stream = nullptr;
    size_t stream_size = 0;
    zopfli::zopfli_deflate(&options, 1, in, insize, &bit_position, &stream, &stream_size);
    if (stream_size == 0) {
        std::free(stream);
        return png_error_alloc;
    }
    *out = stream;
    *outsize = stream_size;
    return 0;
}
