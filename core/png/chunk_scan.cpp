#include "core/png/chunk_scan.h"

#include <cstring>

#include "core/image_stats.h"
#include "core/png/codec/decode.h"
#include "core/png/encoder_settings.h"

namespace {

// Signature plus one chunk header: a shorter file has no chunk to walk.
constexpr size_t chunk_walk_min_size = 16;
constexpr size_t first_chunk_offset = 8;
constexpr size_t chunk_frame_bytes = 12;  // length, type, CRC

void count_critical(image_job& job) {
    if (job.critical_chunks < UINT8_MAX) ++job.critical_chunks;
}

uint8_t fail(image_job& job) { return job.result = job_failed; }

enum class walk_outcome { finished, zero_type_byte, bad_crc };

// Walks every chunk from byte 8 to the end of the data (past IEND too). A
// chunk is looked at while more than 8 bytes remain from its start, so its
// length and type are always inside the data; a chunk whose data runs past
// the end ends the walk after it has been counted. Every chunk up to the
// first IEND that lies wholly inside the data must carry its right CRC
// (whatever its type: a damaged type letter can hide a PLTE, tRNS or IDAT).
// PLTE and tRNS count only before the first IDAT, where they belong. Only an
// acTL makes the file an animation: fcTL and fdAT chunks without one are
// stray chunks of a still image.
walk_outcome walk_chunks(const uint8_t* data, size_t size, image_job& job, bool& palette_seen) {
    bool idat_seen = false;
    bool iend_seen = false;
    size_t pos = first_chunk_offset;
    for (;;) {
        const uint8_t* chunk = data + pos;
        char type[5];
        png_chunk_type(type, chunk);
        if (std::strlen(type) < 4) return walk_outcome::zero_type_byte;

        const uint64_t next = pos + chunk_frame_bytes + static_cast<uint64_t>(png_chunk_length(chunk));
        if (!iend_seen && next <= size && !png_chunk_crc_matches(chunk)) return walk_outcome::bad_crc;
        const uint16_t length16 = static_cast<uint16_t>(png_chunk_length(chunk));
        if (std::strcmp(type, "IHDR") == 0) {
            count_critical(job);
        } else if (std::strcmp(type, "IDAT") == 0) {
            if (!idat_seen) count_critical(job);
            idat_seen = true;
        } else if (std::strcmp(type, "IEND") == 0) {
            count_critical(job);
            iend_seen = true;
        } else if (std::strcmp(type, "acTL") == 0) {
            job.is_apng = 1;
        } else if (std::strcmp(type, "fcTL") == 0) {
            ++job.frame_count;
        } else if (std::strcmp(type, "iCCP") == 0) {
            job.has_icc = 1;
        } else if (std::strcmp(type, "PLTE") == 0 && !idat_seen) {
            job.plte_length = length16;
            palette_seen = png_chunk_length(chunk) >= 3;
        } else if (std::strcmp(type, "tRNS") == 0 && !idat_seen) {
            job.trns_length = length16;
        }

        if (next >= size || size - next <= 8) return walk_outcome::finished;
        pos = static_cast<size_t>(next);
    }
}

}  // namespace

uint8_t scan_png_chunks(const std::vector<uint8_t>& input, lodepng::State& state, image_job& job) {
    // The bytes actually read decide every bound; a file that shrank or could
    // not be read after its size was taken is never read past its end.
    const uint8_t* data = input.data();
    const size_t size = input.size();

    uint32_t width = 0;
    uint32_t height = 0;
    const uint32_t header_code = inspect_png(width, height, state, data, size);
    job.width = width;
    job.height = height;
    job.result = static_cast<uint8_t>(header_code);

    if (width == 0 || height == 0) return fail(job);
    if (static_cast<uint64_t>(width) * height > png_pipeline_max_pixels) return fail(job);
    // A lossless run cannot keep more than 8 bits per channel; automatic runs
    // go on and let the decoder reduce the depth.
    if (state.file_info.colour.bit_depth > 8 && job.mode == mode_lossless) return fail(job);

    bool palette_seen = false;
    if (size > chunk_walk_min_size) {
        const walk_outcome walk = walk_chunks(data, size, job, palette_seen);
        // A damaged chunk leaves the file alone; a damaged header is reported first.
        if (walk == walk_outcome::bad_crc)
            return job.result = static_cast<uint8_t>(header_code != 0 ? header_code : png_error_crc);
        if (walk == walk_outcome::zero_type_byte) fail(job);
    }

    if (job.critical_chunks < 3) return fail(job);
    // Frames count only in an animation (the resize plan reads them).
    if (!job.is_apng) job.frame_count = 0;
    // A palette image without a palette before its image data has no colours.
    if (header_code == 0 && state.file_info.colour.colour_type == 3 && !palette_seen)
        return job.result = static_cast<uint8_t>(png_error_palette_size);
    if (!job.has_icc) job.keep_icc = 0;
    job.pixel_count = width * height;
    read_colour_type(0, state, job);
    job.bytes_per_pixel = 4;
    return job.result = static_cast<uint8_t>(header_code);
}

void count_translucent_palette_entries(const lodepng::State& state, image_job& job) {
    const png_colour_mode& colour = state.file_info.colour;
    if (colour.colour_type != 3 || job.trns_length == 0) return;
    job.trns_length = 0;
    for (size_t i = 0; i < colour.palette_size; ++i)
        if (colour.palette[i * 4 + 3] != 255) ++job.trns_length;
}

void choose_colour_type(const std::vector<uint8_t>& image, const lodepng::State& state, image_job& job) {
    // A PLTE chunk counts only in a palette file, and then as its entry count.
    if (job.plte_length > 2) {
        const png_colour_mode& colour = state.file_info.colour;
        job.plte_length = colour.colour_type == 3 ? static_cast<uint16_t>(colour.palette_size) : 0;
    }
    const bool translucent = job.translucent_count > 0;
    uint8_t type;
    uint32_t limit;
    if (job.is_grey) {
        type = !translucent || job.single_alpha ? 0 : 4;
        limit = translucent ? 257 : 96;
    } else if (job.plte_length > 0) {
        type = 3;
        limit = 256;
    } else {
        type = !translucent || job.single_alpha ? 2 : 6;
        limit = 8192;
    }
    job.colour_type = type;
    job.colour_limit = limit;
    job.count_all_pixels = job.noalpha;
    count_colours(image.data(), job);
    if (job.colour_count >= 1 && job.colour_count <= 256 && type != 0 && type != 3) job.colour_type = 3;
}
