#include "core/png/apng_writer.h"

#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "core/deflate/multilevel.h"
#include "core/deflate/zlib_deflate.h"
#include "core/deflate/zopfli.h"
#include "core/png/apng_frame_set.h"
#include "core/png/codec/codec_state.h"

namespace {

constexpr uint8_t png_file_signature[8] = {137, 80, 78, 71, 13, 10, 26, 10};
constexpr int candidate_count = 6;
// The measuring streams: a fast level, the full window.
constexpr int measure_level = 2;
constexpr int measure_window_bits = 15;
constexpr int measure_mem_level = 8;
// Zopfli-style compression of the frames: mode 5, more iterations at the
// highest effort.
constexpr uint32_t zopfli_frame_mode = 5;
constexpr uint32_t zopfli_iterations_level3 = 2;
constexpr uint32_t zopfli_iterations_highest = 4;
// Multi-level compressor codes for PNG levels 0, 1 and 2.
constexpr int multilevel_codes[3] = {8, 9, 10};

enum : uint8_t { filter_none = 0, filter_sub = 1, filter_up = 2, filter_average = 3, filter_paeth = 4 };

void put_u32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
void put_u16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

struct rectangle {
    uint32_t x = 0, y = 0, width = 1, height = 1;
};

struct frame_candidate {
    const uint8_t* image = nullptr;  // pixels with the set's geometry
    uint32_t size = 0;
    rectangle rect;
    bool valid = false;
    bool filtered = false;
};

uint32_t row_score(const uint8_t* row, size_t length, uint32_t stop_above) {
    uint32_t score = 0;
    for (size_t i = 0; i < length; ++i) {
        const uint32_t v = row[i];
        score += v < 128 ? v : 256 - v;
        if (score > stop_above) break;
    }
    return score;
}

uint8_t paeth(uint8_t left, uint8_t up, uint8_t up_left) {
    const int p = int(left) + up - up_left;
    const int pa = std::abs(p - left), pb = std::abs(p - up), pc = std::abs(p - up_left);
    if (pa <= pb && pa <= pc) return left;
    return pb <= pc ? up : up_left;
}

// Filters one row into `out` (type byte not included).
void filter_row(uint8_t type, const uint8_t* row, const uint8_t* prev, size_t length, uint32_t bpp, uint8_t* out) {
    for (size_t i = 0; i < length; ++i) {
        const uint8_t left = i >= bpp ? row[i - bpp] : 0;
        const uint8_t up = prev ? prev[i] : 0;
        const uint8_t up_left = prev && i >= bpp ? prev[i - bpp] : 0;
        switch (type) {
            case filter_sub: out[i] = uint8_t(row[i] - left); break;
            case filter_up: out[i] = uint8_t(row[i] - up); break;
            case filter_average: out[i] = uint8_t(row[i] - ((left + up) >> 1)); break;
            case filter_paeth: out[i] = uint8_t(row[i] - paeth(left, up, up_left)); break;
            default: out[i] = row[i]; break;
        }
    }
}

class apng_writer {
public:
    apng_writer(std::vector<uint8_t>& out, const std::vector<apng_frame>& frames, const apng_filter_flags& flags,
                const image_job& job)
        : out_(out), frames_(frames), flags_(flags), job_(job), first_(frames.front()) {}
    ~apng_writer();
    bool write(uint32_t play_count, size_t offset);

private:
    bool prepare();
    void write_chunk(const char* type, const uint8_t* data, size_t length);
    void write_fctl(const apng_frame& frame, const rectangle& rect, uint8_t dispose, uint8_t blend);
    void write_frame_data(size_t frame_index);
    void diff_frames(const uint8_t* current, const uint8_t* next, uint8_t* blend_over, int pair);
    bool measure_frame_rect(const uint8_t* image, const rectangle& rect, int number);
    bool filter_rect_rows(const uint8_t* image, const rectangle& rect, uint8_t* out, z_stream* stream);
    bool compress_frame_rect(int number);
    bool compress_whole(const apng_frame& frame);
    void fill_key(uint8_t* image, const rectangle& rect) const;
    bool changed_pixel_blocks_blend(const uint8_t* pixel) const;

    std::vector<uint8_t>& out_;
    const std::vector<apng_frame>& frames_;
    const apng_filter_flags flags_;
    const image_job& job_;
    const apng_frame& first_;
    uint32_t width_ = 0, height_ = 0, bpp_ = 0;
    size_t row_bytes_ = 0;
    uint64_t frame_raw_size_ = 0;  // S: height x (row bytes + 1)
    size_t room_ = 0;              // B
    bool has_key_ = false;
    uint8_t key_[3] = {};
    uint32_t sequence_ = 0;
    frame_candidate candidates_[candidate_count];
    std::vector<uint8_t> background_, rest_, blend_over_[3];
    std::vector<uint8_t> raw_rows_, frame_data_, measure_out_, filter_rows_;
    z_stream streams_[2] = {};  // 0: unfiltered rows, 1: filtered rows
    bool streams_ready_[2] = {false, false};
};

apng_writer::~apng_writer() {
    for (int i = 0; i < 2; ++i)
        if (streams_ready_[i]) zdeflate::deflate_end(&streams_[i]);
}

bool apng_writer::prepare() {
    width_ = first_.width;
    height_ = first_.height;
    bpp_ = first_.bytes_per_pixel;
    row_bytes_ = size_t(width_) * bpp_;
    frame_raw_size_ = uint64_t(height_) * (row_bytes_ + 1);
    const uint64_t s = frame_raw_size_;
    room_ = size_t(s + ((s + 7) >> 3) + ((s + 63) >> 6) + 11);
    transparent_key key;
    has_key_ = find_transparent_key(first_, key);
    std::memcpy(key_, key.bytes, sizeof(key_));
    const size_t image_bytes = row_bytes_ * height_;
    background_.resize(image_bytes);
    rest_.resize(image_bytes);
    for (auto& image : blend_over_) image.resize(image_bytes);
    raw_rows_.resize(size_t(frame_raw_size_));
    measure_out_.resize(room_);
    filter_rows_.resize(5 * (row_bytes_ + 1));
    const int strategies[2] = {Z_DEFAULT_STRATEGY, Z_FILTERED};
    for (int i = 0; i < 2; ++i) {
        if (zdeflate::deflate_init2(&streams_[i], measure_level, Z_DEFLATED, measure_window_bits, measure_mem_level,
                                    strategies[i], zdeflate::deflate_version, int(sizeof(z_stream))) != Z_OK)
            return false;
        streams_ready_[i] = true;
    }
    return true;
}

void apng_writer::write_chunk(const char* type, const uint8_t* data, size_t length) {
    // The writer reports running out of room by bad_alloc (save_apng catches
    // it); a chunk too long for its length field is no file at all.
    if (length > UINT32_MAX || png_chunk_create(out_, uint32_t(length), type, data) != 0) throw std::bad_alloc();
}

void apng_writer::write_fctl(const apng_frame& frame, const rectangle& rect, uint8_t dispose, uint8_t blend) {
    uint8_t data[26];
    put_u32(data, sequence_++);
    put_u32(data + 4, rect.width);
    put_u32(data + 8, rect.height);
    put_u32(data + 12, rect.x);
    put_u32(data + 16, rect.y);
    put_u16(data + 20, frame.delay_num);
    put_u16(data + 22, frame.delay_den);
    data[24] = dispose;
    data[25] = blend;
    write_chunk("fcTL", data, sizeof(data));
}

void apng_writer::write_frame_data(size_t frame_index) {
    if (frame_data_.empty()) return;
    fit_zlib_window(frame_data_.data(), frame_data_.size(), frame_raw_size_);
    if (frame_index == 0) {
        write_chunk("IDAT", frame_data_.data(), frame_data_.size());
        return;
    }
    std::vector<uint8_t> data(frame_data_.size() + 4);
    put_u32(data.data(), sequence_++);
    std::memcpy(data.data() + 4, frame_data_.data(), frame_data_.size());
    write_chunk("fdAT", data.data(), data.size());
}

void apng_writer::fill_key(uint8_t* image, const rectangle& rect) const {
    for (uint32_t row = rect.y; row < rect.y + rect.height; ++row) {
        uint8_t* p = image + row * row_bytes_ + size_t(rect.x) * bpp_;
        if (bpp_ == 3) {
            for (uint32_t i = 0; i < rect.width; ++i) std::memcpy(p + 3 * i, key_, 3);
        } else {
            std::memset(p, key_[0], size_t(rect.width) * bpp_);
        }
    }
}

// Whether a changed pixel of the next frame can be put over the canvas by
// alpha blending and still come out as itself: it must be fully opaque.
bool apng_writer::changed_pixel_blocks_blend(const uint8_t* pixel) const {
    switch (bpp_) {
        case 1:
            // A palette entry blends by its tRNS alpha; a grey pixel is
            // transparent only when it is the key.
            if (first_.colour_type == 3) return *pixel < first_.trns_length && first_.trns[*pixel] != 255;
            return *pixel == key_[0];
        case 2: return pixel[1] != 255;
        case 3: return std::memcmp(pixel, key_, 3) == 0;
        default: return pixel[3] != 255;
    }
}

void apng_writer::diff_frames(const uint8_t* current, const uint8_t* next, uint8_t* blend_over, int pair) {
    uint32_t min_x = width_, min_y = height_, max_x = 0, max_y = 0;
    bool any_change = false;
    bool can_blend = has_key_;
    uint8_t unchanged[4] = {0, 0, 0, 0};
    if (bpp_ == 1) unchanged[0] = key_[0];
    if (bpp_ == 3) std::memcpy(unchanged, key_, 3);
    for (uint32_t y = 0; y < height_; ++y) {
        const uint8_t* c = current + y * row_bytes_;
        const uint8_t* n = next + y * row_bytes_;
        uint8_t* b = blend_over + y * row_bytes_;
        for (uint32_t x = 0; x < width_; ++x, c += bpp_, n += bpp_, b += bpp_) {
            bool changed = std::memcmp(c, n, bpp_) != 0;
            // Pixels transparent in both frames look the same whatever colour they keep.
            if (changed && (bpp_ == 2 || bpp_ == 4) && c[bpp_ - 1] == 0 && n[bpp_ - 1] == 0) changed = false;
            if (!changed) {
                std::memcpy(b, unchanged, bpp_);
                continue;
            }
            std::memcpy(b, n, bpp_);
            if (can_blend && changed_pixel_blocks_blend(n)) can_blend = false;
            any_change = true;
            if (x < min_x) min_x = x;
            if (x > max_x) max_x = x;
            if (y < min_y) min_y = y;
            if (y > max_y) max_y = y;
        }
    }
    rectangle rect;
    if (any_change) rect = {min_x, min_y, max_x - min_x + 1, max_y - min_y + 1};
    measure_frame_rect(next, rect, 2 * pair);
    if (can_blend) measure_frame_rect(blend_over, rect, 2 * pair + 1);
}

bool apng_writer::filter_rect_rows(const uint8_t* image, const rectangle& rect, uint8_t* out, z_stream* stream) {
    const size_t length = size_t(rect.width) * bpp_;
    const size_t offset = size_t(rect.x) * bpp_;
    const size_t stride = length + 1;
    for (uint32_t r = 0; r < rect.height; ++r) {
        const uint8_t* row = image + (rect.y + r) * row_bytes_ + offset;
        const uint8_t* prev = r > 0 ? row - row_bytes_ : nullptr;
        uint8_t* best = filter_rows_.data();
        best[0] = filter_none;
        std::memcpy(best + 1, row, length);
        if (flags_.use_row_filters) {
            uint32_t best_score = row_score(best + 1, length, UINT32_MAX);
            const struct {
                uint8_t type;
                bool allowed;
            } trials[] = {
                {filter_sub, !flags_.average_filter_only},
                {filter_up, prev != nullptr && !flags_.average_filter_only},
                {filter_average, prev != nullptr},
                {filter_paeth, prev != nullptr && !flags_.average_filter_only},
            };
            for (const auto& trial : trials) {
                if (!trial.allowed) continue;
                uint8_t* candidate = filter_rows_.data() + stride * trial.type;
                candidate[0] = trial.type;
                filter_row(trial.type, row, prev, length, bpp_, candidate + 1);
                const uint32_t score = row_score(candidate + 1, length, best_score);
                if (score < best_score) {
                    best_score = score;
                    best = candidate;
                }
            }
        }
        if (out) {
            std::memcpy(out + r * stride, best, stride);
        } else {
            stream->next_in = best;
            stream->avail_in = uInt(stride);
            if (zdeflate::deflate_stream(stream, Z_NO_FLUSH) != Z_OK || stream->avail_in != 0) return false;
        }
    }
    return true;
}

bool apng_writer::measure_frame_rect(const uint8_t* image, const rectangle& rect, int number) {
    z_stream* stream = &streams_[flags_.use_row_filters ? 1 : 0];
    stream->next_out = measure_out_.data();
    stream->avail_out = uInt(room_);
    stream->data_type = 0;
    const bool ok = filter_rect_rows(image, rect, nullptr, stream) && zdeflate::deflate_stream(stream, Z_FINISH) == Z_STREAM_END;
    frame_candidate& candidate = candidates_[number];
    candidate.image = image;
    candidate.rect = rect;
    candidate.filtered = flags_.use_row_filters;
    candidate.size = uint32_t(stream->total_out);
    candidate.valid = ok;
    zdeflate::deflate_reset(stream);
    return ok;
}

bool apng_writer::compress_frame_rect(int number) {
    const frame_candidate& candidate = candidates_[number];
    const rectangle& rect = candidate.rect;
    const size_t stride = size_t(rect.width) * bpp_ + 1;
    const size_t length = stride * rect.height;
    if (candidate.filtered) {
        filter_rect_rows(candidate.image, rect, raw_rows_.data(), nullptr);
    } else {
        for (uint32_t r = 0; r < rect.height; ++r) {
            raw_rows_[r * stride] = filter_none;
            std::memcpy(&raw_rows_[r * stride + 1], candidate.image + (rect.y + r) * row_bytes_ + size_t(rect.x) * bpp_,
                        stride - 1);
        }
    }
    frame_data_.clear();
    if (job_.png_level <= 2) {
        mlevel::DeflateEncoder* encoder = mlevel::create_deflate_encoder(multilevel_codes[job_.png_level]);
        if (!encoder) return false;
        frame_data_.resize(size_t(mlevel::zlib_encode_bound(encoder, length)));
        const uint64_t written = mlevel::zlib_encode(encoder, raw_rows_.data(), length, frame_data_.data(),
                                                     frame_data_.size());
        mlevel::destroy_deflate_encoder(encoder);
        frame_data_.resize(size_t(written));
    } else {
        const uint32_t iterations = job_.png_level == 3 ? zopfli_iterations_level3 : zopfli_iterations_highest;
        frame_data_ = zopfli_zlib_compress(raw_rows_.data(), length, iterations, job_.threads);
    }
    // A frame that did not compress fails the file: writing another frame's
    // data in its place would corrupt the animation.
    return !frame_data_.empty() && frame_data_.size() < room_;
}

bool apng_writer::compress_whole(const apng_frame& frame) {
    const rectangle whole{0, 0, width_, height_};
    return measure_frame_rect(frame.pixels.data(), whole, 0) && compress_frame_rect(0);
}

bool apng_writer::write(uint32_t play_count, size_t offset) {
    const size_t count = frames_.size();
    if (offset > 1 || offset >= count || !prepare()) return false;
    const bool animated = count - offset > 1 || offset > 0;

    out_.assign(png_file_signature, png_file_signature + 8);
    uint8_t ihdr[13];
    put_u32(ihdr, width_);
    put_u32(ihdr + 4, height_);
    ihdr[8] = 8;
    ihdr[9] = uint8_t(first_.colour_type);
    ihdr[10] = ihdr[11] = ihdr[12] = 0;
    write_chunk("IHDR", ihdr, sizeof(ihdr));
    if (animated) {
        uint8_t actl[8];
        put_u32(actl, uint32_t(count - offset));
        put_u32(actl + 4, play_count);
        write_chunk("acTL", actl, sizeof(actl));
    }
    if (first_.palette_count > 0) write_chunk("PLTE", first_.palette, size_t(first_.palette_count) * 3);
    if (first_.trns_length > 0) write_chunk("tRNS", first_.trns, size_t(first_.trns_length));

    if (offset == 1) {
        // The default image outside the animation: IDAT without an fcTL.
        if (!compress_whole(frames_[0])) return false;
        write_frame_data(0);
    }
    if (!compress_whole(frames_[offset])) return false;
    rectangle current{0, 0, width_, height_};
    uint8_t blend = 0;
    for (size_t i = offset; i + 1 < count; ++i) {
        const uint8_t* current_pixels = frames_[i].pixels.data();
        const uint8_t* next_pixels = frames_[i + 1].pixels.data();
        for (frame_candidate& candidate : candidates_) candidate.valid = false;
        diff_frames(current_pixels, next_pixels, blend_over_[0].data(), 0);
        if (has_key_) {
            std::memcpy(background_.data(), current_pixels, background_.size());
            fill_key(background_.data(), current);
            diff_frames(background_.data(), next_pixels, blend_over_[1].data(), 1);
        }
        if (i > offset) diff_frames(rest_.data(), next_pixels, blend_over_[2].data(), 2);
        int best = -1;
        for (int n = 0; n < candidate_count; ++n) {
            if (candidates_[n].valid && (best < 0 || candidates_[n].size < candidates_[best].size)) best = n;
        }
        if (best < 0) return false;
        const uint8_t dispose = uint8_t(best / 2);
        write_fctl(frames_[i], current, dispose, blend);
        write_frame_data(i);
        if (dispose != 2) {
            std::memcpy(rest_.data(), current_pixels, rest_.size());
            if (dispose == 1) fill_key(rest_.data(), current);
        }
        current = candidates_[best].rect;
        blend = uint8_t(best % 2);
        if (!compress_frame_rect(best)) return false;
    }
    if (animated) write_fctl(frames_[count - 1], current, 0, blend);
    write_frame_data(count - 1);
    write_chunk("IEND", nullptr, 0);
    return true;
}

}  // namespace

void fit_zlib_window(uint8_t* stream, size_t length, uint64_t frame_bytes) {
    if (length < 2) return;
    const uint32_t cmf = stream[0];
    if ((cmf & 15) != 8 || (cmf >> 4) > 7) return;
    uint32_t cinfo = cmf >> 4;
    uint64_t half_window = uint64_t(1) << (cinfo + 7);
    while (half_window >= frame_bytes && half_window >= 256) {
        --cinfo;
        half_window >>= 1;
    }
    if (cinfo == (cmf >> 4)) return;
    const uint32_t new_cmf = cinfo * 16 + 8;
    const uint32_t top_bits = stream[1] & 0xE0;
    stream[0] = uint8_t(new_cmf);
    stream[1] = uint8_t(top_bits | (31 - (new_cmf * 256 + top_bits) % 31));
}

std::vector<uint8_t> zopfli_zlib_compress(const uint8_t* in, size_t length, uint32_t iterations, uint32_t threads) {
    zopfli::Zopflioptions options;
    zopfli::zopfli_init_options(&options, zopfli_frame_mode, threads, 1, int32_t(iterations), 0);
    unsigned char bit_position = 0;
    unsigned char* deflated = nullptr;
    size_t deflated_size = 0;
    zopfli::zopfli_deflate(&options, 1, in, length, &bit_position, &deflated, &deflated_size);
    std::vector<uint8_t> out;
    if (deflated_size > 0) {
        const uint32_t adler = uint32_t(::adler32(::adler32(0, nullptr, 0), in, uInt(length)));
        out.reserve(deflated_size + 6);
        out.push_back(0x78);
        out.push_back(0xDA);
        out.insert(out.end(), deflated, deflated + deflated_size);
        for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(adler >> shift));
    }
    std::free(deflated);
    return out;
}

int save_apng(std::vector<uint8_t>& out, const std::vector<apng_frame>& frames, uint32_t play_count,
              size_t first_frame_offset, const apng_filter_flags& flags, image_job& job) {
    out.clear();
    if (frames.empty()) return 1;
    job.width = frames.front().width;
    job.height = frames.front().height;
    job.pixel_count = job.width * job.height;
    bool written = false;
    try {
        apng_writer writer(out, frames, flags, job);
        written = writer.write(play_count, first_frame_offset);
    } catch (const std::bad_alloc&) {
        written = false;
    }
    if (!written) out.clear();
    return written ? 0 : 1;
}
