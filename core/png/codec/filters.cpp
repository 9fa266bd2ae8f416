// Row filter strategies: fixed types, preset lists, minimum sum, minimum
// entropy, and trial compression with the engine's deflate.
//
// Every strategy that picks per row builds the five candidate rows, scores
// them, and keeps the first strictly best one (the persistent-stream
// strategies try the types from 4 down to 0, so their ties go to the higher
// type). With transparent-pixel cleaning the candidate for each type is built
// from the row as it was, recoloured for that type, and the chosen row stays
// recoloured so that the next row predicts from what the file will hold.
#include "core/png/codec/filters.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "core/png/codec/decode.h"
#include "core/png/codec/filters_deflate.h"

namespace {

constexpr uint32_t error_out_of_memory = 83;
constexpr uint32_t error_bad_strategy = 88;
constexpr uint32_t error_bad_colour = 31;

int paeth_predict(int left, int above, int upper_left) {
    const int p = left + above - upper_left;
    const int pa = p > left ? p - left : left - p;
    const int pb = p > above ? p - above : above - p;
    const int pc = p > upper_left ? p - upper_left : upper_left - p;
    if (pa <= pb && pa <= pc) return left;
    if (pb <= pc) return above;
    return upper_left;
}

std::unique_ptr<unsigned char[]> try_allocate(uint64_t size) {
    if (size > SIZE_MAX) return nullptr;
    return std::unique_ptr<unsigned char[]>(new (std::nothrow) unsigned char[size ? size : 1]);
}

// Sets every fully transparent pixel to (0, 0, 0, 0): what type 0 stores best.
void clear_transparent_pixels(unsigned char* row, size_t length) {
    for (size_t i = 0; i + 3 < length; i += 4)
        if (row[i + 3] == 0) std::memset(row + i, 0, 4);
}

// Supplies the unfiltered bytes of each row and of the row above it. Without
// cleaning these are the image's own rows; with cleaning the previous row is
// the recoloured one the file will hold.
class row_source {
public:
    row_source(const unsigned char* image, uint64_t row_bytes, bool clean)
        : image_(image), length_(row_bytes), clean_(clean) {}

    bool allocate() {
        if (!clean_) return true;
        current_ = try_allocate(length_);
        previous_ = try_allocate(length_);
        return current_ && previous_;
    }

    // The row bytes to filter as candidate `type` for row `r`.
    const unsigned char* candidate(uint64_t r, unsigned type) {
        const unsigned char* original = image_ + r * length_;
        if (!clean_) return original;
        std::memcpy(current_.get(), original, length_);
        if (type == 0)
            clear_transparent_pixels(current_.get(), length_);
        else
            clean_transparent_row(current_.get(), previous(r), length_, type);
        return current_.get();
    }

    const unsigned char* previous(uint64_t r) const {
        if (r == 0) return nullptr;
        return clean_ ? previous_.get() : image_ + (r - 1) * length_;
    }

    // Row `r` is done with type `type`: it becomes the next row's previous.
    void finish_row(uint64_t r, unsigned type) {
        if (!clean_) return;
        candidate(r, type);
        std::swap(current_, previous_);
    }

private:
    const unsigned char* image_;
    uint64_t length_;
    bool clean_;
    std::unique_ptr<unsigned char[]> current_, previous_;
};

void filter_all_rows_with(unsigned char* out, const unsigned char* image, uint64_t rows,
                          uint64_t length, size_t unit, const unsigned char* types) {
    for (uint64_t r = 0; r < rows; ++r) {
        unsigned char* dest = out + r * (length + 1);
        const unsigned char* row = image + r * length;
        const unsigned type = types ? types[r] : 0;
        dest[0] = static_cast<unsigned char>(type);
        filter_row(dest + 1, row, r ? row - length : nullptr, length, unit, type);
    }
}

uint64_t filtered_sum(const unsigned char* row, size_t length, unsigned type) {
    uint64_t sum = 0;
    if (type == 0) {
        for (size_t i = 0; i < length; ++i) sum += row[i];
    } else {
        for (size_t i = 0; i < length; ++i) sum += row[i] < 128 ? row[i] : 255 - row[i];
    }
    return sum;
}

// log2 by range reduction and a short series, in single precision.
float approximate_log2(float x) {
    float k = 0.0f;
    if (x > 32.0f) {
        float before;
        do {
            before = x;
            k += 4.0f;
            x = x * 0.0625f;
        } while (before > 512.0f);
    }
    if (x > 2.0f) {
        float before;
        do {
            before = x;
            k += 1.0f;
            x = x * 0.5f;
        } while (before > 4.0f);
    }
    const float x2 = x * x;
    const float series = (x * (x2 * 0.33333334f + 3.0f)) + (-1.83333f - 1.5f * x2);
    return series * 1.442695f + k;
}

float filtered_entropy(const unsigned char* row, size_t length, unsigned type) {
    uint64_t counts[256] = {};
    for (size_t i = 0; i < length; ++i) ++counts[row[i]];
    ++counts[type];
    const float inv = 1.0f / static_cast<float>(length + 1);
    float entropy = 0.0f;
    for (unsigned v = 0; v < 256; ++v) {
        if (counts[v] == 0) continue;
        const float p = static_cast<float>(counts[v]) * inv;
        const float x = 1.0f / p;
        entropy += p * approximate_log2(x);
    }
    return entropy;
}

// Per-row choice among the five types by a score where lower is better; the
// first (lowest) type wins ties.
template <class Score>
uint32_t filter_by_score(unsigned char* out, row_source& source, uint64_t rows, uint64_t length,
                         size_t unit, Score score) {
    auto candidates = try_allocate(5 * length);
    if (!candidates) return error_out_of_memory;
    for (uint64_t r = 0; r < rows; ++r) {
        const unsigned char* previous = source.previous(r);
        unsigned best_type = 0;
        decltype(score(nullptr, 0)) best{};
        for (unsigned t = 0; t < 5; ++t) {
            unsigned char* filtered = candidates.get() + t * length;
            filter_row(filtered, source.candidate(r, t), previous, length, unit, t);
            const auto s = score(filtered, t);
            if (t == 0 || s < best) {
                best = s;
                best_type = t;
            }
        }
        unsigned char* dest = out + r * (length + 1);
        dest[0] = static_cast<unsigned char>(best_type);
        std::memcpy(dest + 1, candidates.get() + best_type * length, length);
        source.finish_row(r, best_type);
    }
    return 0;
}


}  // namespace

void filter_row(unsigned char* out, const unsigned char* row, const unsigned char* previous,
                size_t length, size_t unit, unsigned type) {
    if (unit == 0) unit = 1;
    const size_t head = std::min(unit, length);
    switch (type) {
    case 0:
        std::memcpy(out, row, length);
        break;
    case 1:
        std::memcpy(out, row, head);
        for (size_t i = unit; i < length; ++i) out[i] = row[i] - row[i - unit];
        break;
    case 2:
        if (previous) {
            for (size_t i = 0; i < length; ++i) out[i] = row[i] - previous[i];
        } else {
            std::memcpy(out, row, length);
        }
        break;
    case 3:
        if (previous) {
            for (size_t i = 0; i < head; ++i) out[i] = row[i] - (previous[i] >> 1);
            for (size_t i = unit; i < length; ++i)
                out[i] = row[i] - ((row[i - unit] + previous[i]) >> 1);
        } else {
            std::memcpy(out, row, head);
            for (size_t i = unit; i < length; ++i) out[i] = row[i] - (row[i - unit] >> 1);
        }
        break;
    case 4:
        if (previous) {
            for (size_t i = 0; i < head; ++i) out[i] = row[i] - previous[i];
            for (size_t i = unit; i < length; ++i)
                out[i] = row[i] - paeth_predict(row[i - unit], previous[i], previous[i - unit]);
        } else {
            std::memcpy(out, row, head);
            for (size_t i = unit; i < length; ++i) out[i] = row[i] - row[i - unit];
        }
        break;
    default:
        break;
    }
}

void clean_transparent_row(unsigned char* row, const unsigned char* previous, size_t length,
                           unsigned type) {
    if (type == 2) {
        for (size_t i = 0; i + 3 < length; i += 4) {
            if (row[i + 3] != 0) continue;
            if (previous)
                std::memcpy(row + i, previous + i, 3);
            else
                std::memset(row + i, 0, 4);
        }
    } else if (type == 3) {
        for (size_t i = 0; i + 3 < length; i += 4) {
            if (row[i + 3] != 0) continue;
            if (i == 0) {
                if (previous) {
                    for (size_t c = 0; c < 3; ++c) row[c] = previous[c] >> 1;
                } else {
                    std::memset(row, 0, 4);
                }
            } else if (previous) {
                for (size_t c = 0; c < 3; ++c) row[i + c] = (row[i - 4 + c] + previous[i + c]) >> 1;
            } else {
                for (size_t c = 0; c < 3; ++c) row[i + c] = row[i - 4 + c] >> 1;
            }
        }
    }
}

uint32_t filter_scanlines(unsigned char* out, const unsigned char* image, uint64_t rows,
                          uint64_t row_bytes, size_t unit,
                          const scanline_filter_settings& settings) {
    const uint32_t strategy = settings.strategy;
    if (unit == 0) unit = 1;
    if (strategy <= 4) {
        for (uint64_t r = 0; r < rows; ++r) {
            unsigned char* dest = out + r * (row_bytes + 1);
            const unsigned char* row = image + r * row_bytes;
            dest[0] = static_cast<unsigned char>(strategy);
            filter_row(dest + 1, row, r ? row - row_bytes : nullptr, row_bytes, unit, strategy);
        }
        return 0;
    }
    if (strategy == 6) {
        // A list that cannot describe every row would leave rows without a
        // valid type; such a list is ignored and no row is filtered.
        const unsigned char* types = settings.preset_filters;
        if (!types || settings.preset_count < rows) types = nullptr;
        for (uint64_t r = 0; types && r < rows; ++r)
            if (types[r] > 4) types = nullptr;
        filter_all_rows_with(out, image, rows, row_bytes, unit, types);
        return 0;
    }
    if (strategy > last_filter_strategy) return error_bad_strategy;

    row_source source(image, row_bytes, settings.clean_transparent && unit == 4);
    if (!source.allocate()) return error_out_of_memory;

    switch (strategy) {
    case 7:
        return filter_by_score(out, source, rows, row_bytes, unit,
                               [&](const unsigned char* f, unsigned t) {
                                   return filtered_sum(f, row_bytes, t);
                               });
    case 8:
        return filter_by_score(out, source, rows, row_bytes, unit,
                               [&](const unsigned char* f, unsigned t) {
                                   return filtered_entropy(f, row_bytes, t);
                               });
    default:
        break;
    }

    const deflate_trial_kind kind = deflate_trial_for_strategy(strategy);
    if (kind.persistent) {
        persistent_stream_trials trials;
        if (!trials.start(kind, rows * (row_bytes + 1))) return error_out_of_memory;
        for (uint64_t r = 0; r < rows; ++r) {
            unsigned char* dest = out + r * (row_bytes + 1);
            const unsigned char* previous = source.previous(r);
            unsigned best_type = 4;
            uint64_t best = 0;
            for (unsigned t = 5; t-- > 0;) {
                dest[0] = static_cast<unsigned char>(t);
                filter_row(dest + 1, source.candidate(r, t), previous, row_bytes, unit, t);
                uint64_t size = 0;
                if (!trials.measure_candidate(dest, row_bytes + 1, size)) return error_out_of_memory;
                if (t == 4 || size < best) {
                    best = size;
                    best_type = t;
                }
            }
            dest[0] = static_cast<unsigned char>(best_type);
            filter_row(dest + 1, source.candidate(r, best_type), previous, row_bytes, unit,
                       best_type);
            if (!trials.append_row(dest, row_bytes + 1)) return error_out_of_memory;
            source.finish_row(r, best_type);
        }
        return 0;
    }

    row_compression_trials trials;
    if (!trials.start(kind, row_bytes)) return error_out_of_memory;
    bool stream_failed = false;
    uint32_t result = filter_by_score(out, source, rows, row_bytes, unit,
                             [&](const unsigned char* f, unsigned) -> uint64_t {
                                 uint64_t size = 0;
                                 if (!trials.compressed_size(f, row_bytes, size))
                                     stream_failed = true;
                                 return size;
                             });
    if (result == 0 && stream_failed) result = error_out_of_memory;
    return result;
}

uint32_t filter_with_trials(unsigned char* out, const unsigned char* image, unsigned width,
                            unsigned height, const png_colour_mode& mode,
                            const LodePNGState& settings) {
    const uint32_t bpp = bits_per_pixel(mode);
    if (mode.colour_type > 6 || bpp == 0) return error_bad_colour;
    const uint64_t row_bytes = (uint64_t(width) * bpp + 7) / 8;
    scanline_filter_settings filter;
    filter.strategy = settings.encoder.filter_strategy_code;
    filter.clean_transparent = settings.encoder.clean_transparent && mode.colour_type == 6 &&
                               mode.bit_depth == 8 && !mode.key_defined;
    filter.preset_filters = settings.encoder.preset_filters;
    filter.preset_count = settings.encoder.preset_filter_count;
    return filter_scanlines(out, image, height, row_bytes, (bpp + 7) / 8, filter);
}

bool read_png_filter_bytes(std::vector<unsigned char>& out, const std::vector<unsigned char>& png,
                           unsigned row_count) {
    lodepng::State state;
    uint32_t width = 0, height = 0;
    if (inspect_png(width, height, state, png.data(), png.size()) != 0) return true;

    std::vector<uint8_t> compressed;
    const uint64_t size = png.size();
    if (size > 16) {
        uint64_t pos = 8;
        for (;;) {
            const uint8_t* chunk = png.data() + pos;
            for (int i = 4; i < 8; ++i)
                if (chunk[i] == 0) return true;
            const uint64_t length = png_chunk_length(chunk);
            const uint64_t next = pos + length + 12;
            if (png_chunk_type_equals(chunk, "IDAT")) {
                if (next > size) return true;
                compressed.insert(compressed.end(), chunk + 8, chunk + 8 + length);
            }
            if (next > size || size - next < 9) break;
            pos = next;
        }
    }

    std::vector<uint8_t> data;
    const png_info& info = state.file_info;
    const uint64_t expected = png_filtered_size(width, height, info);
    if (inflate_zlib(data, compressed.data(), compressed.size(), width, height, expected) != 0)
        return true;

    const uint32_t bpp = bits_per_pixel(info.colour);
    std::vector<unsigned char> types;
    if (info.interlace_method == 0) {
        const uint64_t step = png_row_bytes(width, bpp) + 1;
        for (uint64_t offset = 0; offset < data.size(); offset += step) types.push_back(data[offset]);
    } else {
        // Even image rows are best described by pass 6, odd ones by pass 7;
        // a row without a byte there (an image one pixel wide) gets type 0.
        std::vector<unsigned char> pass_types[2];
        uint64_t offset = 0;
        for (int pass = 0; pass < 7; ++pass) {
            const adam7_pass p = adam7_pass_geometry(pass, width, height);
            if (p.width == 0 || p.height == 0) continue;
            const uint64_t step = png_row_bytes(p.width, bpp) + 1;
            for (uint64_t r = 0; r < p.height; ++r, offset += step)
                if (pass >= 5 && offset < data.size()) pass_types[pass - 5].push_back(data[offset]);
        }
        for (unsigned i = 0; i < row_count; ++i) {
            const std::vector<unsigned char>& list = pass_types[i % 2];
            types.push_back(i / 2 < list.size() ? list[i / 2] : 0);
        }
    }
    out = std::move(types);
    return false;
}
