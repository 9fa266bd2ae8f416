#include "core/png/png_output.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "core/platform.h"
#include "core/png/codec/codec_state.h"
#include "core/png/codec/decode.h"
#include "core/png/codec/encode.h"
#include "core/resample.h"

namespace {

constexpr uint32_t kViewMaxHeight = 1024;
constexpr uint32_t kViewMaxWidth = 1536;

// One chunk lying wholly inside its buffer: [start, end) with its type.
struct chunk_span {
    size_t start;
    size_t end;
    char type[5];
    const uint8_t* data(const std::vector<uint8_t>& png) const { return png.data() + start + 8; }
    size_t length() const { return end - start - 12; }
    bool is(const char* name) const { return std::memcmp(type, name, 4) == 0; }
};

enum class walk_end { finished, bad_chunk };

// Walks the chunks from byte 8 while more than 8 bytes remain from a chunk's
// start. A zero byte in a type is a bad chunk; a chunk running past the end of
// the buffer ends the walk without being visited. `visit` returns false to
// stop.
template <typename Visit>
walk_end walk_chunks(const std::vector<uint8_t>& png, Visit visit) {
    size_t pos = 8;
    while (pos < png.size() && png.size() - pos > 8) {
        chunk_span chunk;
        png_chunk_type(chunk.type, png.data() + pos);
        if (std::strlen(chunk.type) < 4) return walk_end::bad_chunk;
        const uint64_t end = uint64_t(pos) + 12 + png_chunk_length(png.data() + pos);
        if (end > png.size()) break;
        chunk.start = pos;
        chunk.end = size_t(end);
        if (!visit(chunk)) break;
        pos = chunk.end;
    }
    return walk_end::finished;
}

// What a file's IHDR and PLTE say about its samples.
struct sample_format {
    int colour_type = -1;
    int bit_depth = 0;
    const uint8_t* palette = nullptr;  // PLTE data
    size_t palette_bytes = 0;

    size_t palette_entries() const { return palette_bytes / 3; }

    void note(const std::vector<uint8_t>& png, const chunk_span& chunk) {
        if (chunk.is("IHDR") && chunk.length() >= 13 && colour_type < 0) {
            bit_depth = chunk.data(png)[8];
            colour_type = chunk.data(png)[9];
        } else if (chunk.is("PLTE") && !palette) {
            palette = chunk.data(png);
            palette_bytes = chunk.length();
        }
    }
};

bool is_grey_type(int t) { return t == 0 || t == 4; }
bool is_colour_type(int t) { return t == 2 || t == 6; }

size_t sbit_length(int colour_type) {
    switch (colour_type) {
    case 0: return 1;
    case 4: return 2;
    case 2:
    case 3: return 3;
    case 6: return 4;
    default: return 0;
    }
}

// bKGD, sBIT and hIST describe samples of the input; copied into an output of
// another colour type, depth or palette they would make it non-conforming or
// mean something else. Other chunks always fit.
bool chunk_fits_output(const std::vector<uint8_t>& input, const chunk_span& chunk, const sample_format& in,
                       const sample_format& out) {
    const uint8_t* data = chunk.data(input);
    const size_t length = chunk.length();
    if (chunk.is("bKGD")) {
        if (out.colour_type == 3) {
            if (in.colour_type != 3 || length != 1 || data[0] >= out.palette_entries() ||
                data[0] >= in.palette_entries())
                return false;
            // The entry must still be the same colour in the reordered palette.
            return std::memcmp(in.palette + 3 * data[0], out.palette + 3 * data[0], 3) == 0;
        }
        const bool same_class = (is_grey_type(in.colour_type) && is_grey_type(out.colour_type)) ||
                                (is_colour_type(in.colour_type) && is_colour_type(out.colour_type));
        const size_t expected = is_grey_type(out.colour_type) ? 2 : 6;
        return same_class && in.bit_depth == out.bit_depth && length == expected;
    }
    if (chunk.is("sBIT")) {
        if (out.colour_type < 0 || length != sbit_length(out.colour_type)) return false;
        const int depth = out.colour_type == 3 ? 8 : out.bit_depth;
        for (size_t i = 0; i < length; ++i)
            if (data[i] == 0 || data[i] > depth) return false;
        return true;
    }
    if (chunk.is("hIST")) {
        return out.palette && in.palette && out.palette_bytes == in.palette_bytes &&
               length == 2 * out.palette_entries() &&
               std::memcmp(in.palette, out.palette, out.palette_bytes) == 0;
    }
    return true;
}

struct kept_chunk {
    int list;
    chunk_span chunk;
};

bool type_in(const chunk_span& chunk, std::initializer_list<const char*> names) {
    for (const char* name : names)
        if (chunk.is(name)) return true;
    return false;
}

// The input's chunks that go back into the output, with their list numbers.
// False when a bad chunk ends the stage.
bool collect_kept_chunks(const std::vector<uint8_t>& input, const image_job& job, std::vector<kept_chunk>& kept,
                         sample_format& format) {
    const bool keep_all = job.metadata_mode == 0;
    int position = 0;
    const walk_end end = walk_chunks(input, [&](const chunk_span& chunk) {
        format.note(input, chunk);
        if (chunk.is("IHDR")) {
            position = 0;
        } else if (chunk.is("PLTE")) {
            position = 1;
        } else if (chunk.is("IDAT")) {
            position = 2;
        } else if (chunk.is("tRNS")) {
            // the encoder writes its own
        } else if (chunk.is("IEND")) {
            return false;
        } else if (type_in(chunk, {"acTL", "fcTL", "fdAT", "npTc"})) {
            kept.push_back({position, chunk});
        } else if (chunk.is("iCCP")) {
            if (job.keep_icc) {
                kept.push_back({0, chunk});
                position = 0;
            }
        } else if (type_in(chunk, {"gAMA", "sBIT", "sRGB"})) {
            if (keep_all) kept.push_back({0, chunk});
        } else if (type_in(chunk, {"bKGD", "pHYs", "oFFs", "sCAL", "sTER"})) {
            if (keep_all) kept.push_back({1, chunk});
        } else if (keep_all) {
            kept.push_back({position, chunk});
        }
        return true;
    });
    return end == walk_end::finished;
}

// Puts the kept chunks into `result`: list 0 before its first PLTE or IDAT,
// list 1 before its first IDAT, list 2 before its IEND. False when a bad chunk
// in the result ends the stage.
bool assemble(const std::vector<uint8_t>& input, const std::vector<kept_chunk>& kept,
              const sample_format& in_format, std::vector<uint8_t>& result, const image_job& job) {
    size_t first_image = 0, first_idat = 0, first_iend = 0;  // A, B, E
    sample_format out_format;
    if (result.size() > 16) {
        const walk_end end = walk_chunks(result, [&](const chunk_span& chunk) {
            out_format.note(result, chunk);
            if (!first_image && (chunk.is("PLTE") || chunk.is("IDAT"))) first_image = chunk.start;
            if (!first_idat && chunk.is("IDAT")) first_idat = chunk.start;
            if (!first_iend && chunk.is("IEND")) first_iend = chunk.start;
            return true;
        });
        if (end == walk_end::bad_chunk) return false;
    }
    // A result missing some of them (never the encoder's) keeps the offsets in order.
    first_idat = std::max(first_idat, first_image);
    first_iend = std::max(first_iend, first_idat);

    std::vector<uint8_t> assembled;
    size_t extra = 0;
    for (const auto& k : kept) extra += k.chunk.end - k.chunk.start;
    assembled.reserve(result.size() + extra);
    const std::array<size_t, 4> cuts = {0, first_image, first_idat, first_iend};
    for (int list = 0; list < 3; ++list) {
        assembled.insert(assembled.end(), result.begin() + long(cuts[list]), result.begin() + long(cuts[list + 1]));
        for (const auto& k : kept) {
            if (k.list != list) continue;
            if (job.metadata_mode == 0 && !chunk_fits_output(input, k.chunk, in_format, out_format)) continue;
            assembled.insert(assembled.end(), input.begin() + long(k.chunk.start), input.begin() + long(k.chunk.end));
        }
    }
    assembled.insert(assembled.end(), result.begin() + long(first_iend), result.end());
    result.swap(assembled);
    return true;
}

// The view: the work image, scaled down when large, as an RGBA PNG with stored
// blocks in `out`.
void encode_view(std::vector<uint8_t>& image, std::vector<uint8_t>& out, image_job& job) {
    if (job.height > kViewMaxHeight) job.view_tall = 1;
    if (job.width > kViewMaxWidth) job.view_wide = 1;
    out.clear();
    if (image.size() / 4 < uint64_t(job.width) * job.height) {
        job.result = uint8_t(png_error_image_too_small);
        return;
    }
    if (job.view_tall || job.view_wide) resize_image(image.data(), job);
    job.result = uint8_t(encode_view_png(out, image, job.width, job.height));
}

// The codec reads the file back as an image of the job's size.
bool reads_back(const std::vector<uint8_t>& png, const image_job& job) {
    lodepng::State state;
    state.decoder.convert_colour = 0;  // the file's own layout: no conversion needed to check it
    std::vector<uint8_t> pixels;
    uint32_t width = 0, height = 0;
    return decode_png(pixels, width, height, state, png) == 0 && width == job.width && height == job.height;
}

}  // namespace

bool assemble_png_output(const std::vector<uint8_t>& input, std::vector<uint8_t>& result_png, const image_job& job) {
    if (!job.keep_icc && job.metadata_mode != 0) return true;
    std::vector<kept_chunk> kept;
    sample_format in_format;
    return collect_kept_chunks(input, job, kept, in_format) && assemble(input, kept, in_format, result_png, job);
}

uint32_t encode_view_png(std::vector<uint8_t>& out, const std::vector<uint8_t>& rgba, uint32_t width,
                         uint32_t height) {
    lodepng::State state;
    state.encoder.auto_colour = 0;
    state.encoder.compression.block_type = 0;
    state.file_info.colour.colour_type = 6;
    state.file_info.colour.bit_depth = 8;
    const png_palette_order order{};
    return encode_png(out, rgba, width, height, state, &order);
}

uint8_t write_png_result(const std::string& path, const std::vector<uint8_t>& input,
                         std::vector<uint8_t>& result_png, std::vector<uint8_t>& image, image_job& job) {
    if (!assemble_png_output(input, result_png, job)) return job.result;

    if (job.preview || job.preview_original) {
        const std::string folder = data_folder();
        if (folder.empty()) {
            job.result = job_failed;
            return job.result;
        }
        if (job.preview) save_file_bytes(result_png, data_file_path(preview_result_png_name));
        encode_view(image, result_png, job);
        save_file_bytes(result_png, data_file_path(preview_view_name));
        return job.result;
    }

    if (result_png.size() < input.size() && result_png.size() > smallest_written_png) {
        if (!reads_back(result_png, job) || !replace_file_contents(path, result_png.data(), result_png.size()))
            job.result = job_failed;
    }
    return job.result;
}
