#include "core/png/apng_reader.h"

// libpng's png.h declares a global png_info of its own (see codec_state.h).
#define png_info libpng_info
#include <png.h>
#undef png_info

#include "core/png/codec/codec_state.h"

#include <csetjmp>
#include <cstring>
#include <new>

namespace {

constexpr uint8_t iend_chunk[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
constexpr uint32_t actl_length = 8;
constexpr uint32_t fctl_length = 26;
constexpr uint32_t largest_sequence_or_count = 0x7FFFFFFF;

uint32_t read_u32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
uint32_t read_u16(const uint8_t* p) { return uint32_t(p[0]) << 8 | p[1]; }
void write_u32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}


bool type_is_letters(const uint8_t* chunk) {
    for (int i = 4; i < 8; ++i) {
        const uint8_t c = chunk[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
    }
    return true;
}

// A chunk a decoder must understand to show the image (upper-case first
// letter) that is none of the four PNG defines. Whatever it means is lost
// when the file is written again without it.
bool is_unknown_critical(const uint8_t* chunk) {
    return chunk[4] >= 'A' && chunk[4] <= 'Z' && !png_chunk_type_equals(chunk, "IHDR") &&
           !png_chunk_type_equals(chunk, "PLTE") && !png_chunk_type_equals(chunk, "IDAT") &&
           !png_chunk_type_equals(chunk, "IEND");
}

// --- libpng glue -----------------------------------------------------------
// The functions below run libpng calls that may jump back to a setjmp in
// this section. None of them, nor the callbacks libpng calls, holds an object
// with a destructor, so the jump skips nothing that needs cleaning up.

[[noreturn]] void trap_png_error(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void ignore_png_warning(png_structp, png_const_charp) {}

struct frame_decoder {
    png_structp png;
    png_infop info;
    ImageRows* raw;  // the frame's pixels land here, from its top-left corner
    bool layout_ok;  // the frame fits the raw buffer (as RGBA8, or as indices)
    uint64_t rows_expected;  // rows libpng hands over for the whole image (all passes)
    uint64_t rows_delivered;
    // A palette frame arrives as one index byte per pixel and is expanded to
    // RGBA8 once whole, so that every index is checked against the palette:
    // libpng's own expansion shows an index past the palette as black.
    bool indexed;
    bool index_past_palette;
    uint32_t frame_width, frame_height;
    uint32_t palette_count;
    uint8_t palette_rgba[256 * 4];
};

// Row callbacks of a whole image: one per row, or with Adam7 one per image
// row for every pass (rows a pass does not touch come without data). The
// progressive reader leaves out only the passes that start right of the
// image's last column.
uint64_t delivered_rows(uint32_t width, uint32_t height, bool interlaced) {
    if (!interlaced) return height;
    static const uint32_t first_x[7] = {0, 4, 0, 2, 0, 1, 0};
    uint64_t rows = 0;
    for (int pass = 0; pass < 7; ++pass)
        if (width > first_x[pass]) rows += height;
    return rows;
}

// The palette and its alphas as RGBA8 entries, for the expansion of a
// palette frame.
void note_palette(png_structp png, png_infop info, frame_decoder* decoder) {
    png_colorp palette = nullptr;
    int count = 0;
    if (!(png_get_PLTE(png, info, &palette, &count) & PNG_INFO_PLTE) || count < 1 || count > 256)
        png_error(png, "palette image without a usable palette");
    png_bytep alphas = nullptr;
    int alpha_count = 0;
    png_color_16p key = nullptr;
    if (!(png_get_tRNS(png, info, &alphas, &alpha_count, &key) & PNG_INFO_tRNS) || !alphas) alpha_count = 0;
    for (int i = 0; i < count; ++i) {
        uint8_t* entry = decoder->palette_rgba + 4 * i;
        entry[0] = palette[i].red;
        entry[1] = palette[i].green;
        entry[2] = palette[i].blue;
        entry[3] = i < alpha_count ? alphas[i] : 255;
    }
    decoder->palette_count = uint32_t(count);
}

void on_frame_info(png_structp png, png_infop info) {
    auto* decoder = static_cast<frame_decoder*>(png_get_progressive_ptr(png));
    decoder->indexed = png_get_color_type(png, info) == PNG_COLOR_TYPE_PALETTE;
    if (decoder->indexed) {
        png_set_packing(png);
    } else {
        png_set_expand(png);
        png_set_strip_16(png);
        png_set_gray_to_rgb(png);
        png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
    }
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const ImageRows& raw = *decoder->raw;
    const uint32_t channels = decoder->indexed ? 1 : 4;
    if (png_get_rowbytes(png, info) > raw.row_bytes() || png_get_image_width(png, info) > raw.width ||
        png_get_image_height(png, info) > raw.height || png_get_channels(png, info) != channels ||
        png_get_bit_depth(png, info) != 8)
        png_error(png, "frame does not fit the canvas");
    if (decoder->indexed) note_palette(png, info, decoder);
    decoder->frame_width = png_get_image_width(png, info);
    decoder->frame_height = png_get_image_height(png, info);
    decoder->rows_expected = delivered_rows(png_get_image_width(png, info), png_get_image_height(png, info),
                                            png_get_interlace_type(png, info) != PNG_INTERLACE_NONE);
    decoder->layout_ok = true;
}

void on_frame_row(png_structp png, png_bytep row, png_uint_32 row_number, int) {
    auto* decoder = static_cast<frame_decoder*>(png_get_progressive_ptr(png));
    ++decoder->rows_delivered;
    if (row == nullptr) return;
    if (!decoder->layout_ok || row_number >= decoder->raw->height) png_error(png, "row outside the frame");
    png_progressive_combine_row(png, decoder->raw->rows[row_number], row);
}

bool feed_frame_decoder(frame_decoder* decoder, const uint8_t* data, size_t size) {
    if (setjmp(png_jmpbuf(decoder->png))) return false;
    png_process_data(decoder->png, decoder->info, const_cast<png_bytep>(data), size);
    return true;
}

bool setup_frame_decoder(frame_decoder* decoder) {
    if (setjmp(png_jmpbuf(decoder->png))) return false;
    // The reader checks every CRC itself; the rewritten fdAT chunks keep
    // their old CRC, which must not stop libpng.
    png_set_crc_action(decoder->png, PNG_CRC_QUIET_USE, PNG_CRC_QUIET_USE);
    // Damaged image data (a bad Adler-32, a broken stream) fails the frame
    // instead of leaving rows out.
    png_set_benign_errors(decoder->png, 0);
    png_set_progressive_read_fn(decoder->png, decoder, on_frame_info, on_frame_row, nullptr);
    return true;
}

void destroy_frame_decoder(frame_decoder* decoder) {
    if (decoder->png) png_destroy_read_struct(&decoder->png, decoder->info ? &decoder->info : nullptr, nullptr);
    decoder->png = nullptr;
    decoder->info = nullptr;
}

// Starts a decoder that writes into `raw` and feeds it the signature, the
// IHDR and the kept chunks.
bool start_frame_decoder(frame_decoder* decoder, ImageRows* raw, const uint8_t* ihdr, const uint8_t* kept,
                         size_t kept_size) {
    decoder->raw = raw;
    decoder->layout_ok = false;
    decoder->rows_expected = 0;
    decoder->rows_delivered = 0;
    decoder->indexed = false;
    decoder->index_past_palette = false;
    decoder->frame_width = decoder->frame_height = 0;
    decoder->palette_count = 0;
    decoder->info = nullptr;
    decoder->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, trap_png_error, ignore_png_warning);
    if (!decoder->png) return false;
    decoder->info = png_create_info_struct(decoder->png);
    if (!decoder->info || !setup_frame_decoder(decoder) ||
        !feed_frame_decoder(decoder, png_signature, sizeof(png_signature)) ||
        !feed_frame_decoder(decoder, ihdr, 25) || (kept_size > 0 && !feed_frame_decoder(decoder, kept, kept_size))) {
        destroy_frame_decoder(decoder);
        return false;
    }
    return true;
}

// Turns the index bytes at the start of each frame row into RGBA8 pixels,
// from the right so that no index is overwritten before it is read. False
// (index_past_palette set) at the first index the palette does not hold.
bool expand_indices(frame_decoder* decoder) {
    for (uint32_t y = 0; y < decoder->frame_height; ++y) {
        uint8_t* row = decoder->raw->rows[y];
        for (uint32_t x = decoder->frame_width; x-- > 0;) {
            const uint32_t index = row[x];
            if (index >= decoder->palette_count) {
                decoder->index_past_palette = true;
                return false;
            }
            std::memcpy(row + size_t(x) * 4, decoder->palette_rgba + 4 * index, 4);
        }
    }
    return true;
}

// Ends the frame with an IEND; true when libpng delivered every row and every
// palette index lies inside the palette. (A valid zlib stream that simply ends
// early is only a warning to libpng.)
bool finish_frame_decoder(frame_decoder* decoder) {
    const bool fed = feed_frame_decoder(decoder, iend_chunk, sizeof(iend_chunk));
    const bool whole = fed && decoder->layout_ok && decoder->rows_delivered == decoder->rows_expected;
    destroy_frame_decoder(decoder);
    return whole && (!decoder->indexed || expand_indices(decoder));
}

// --- frame bookkeeping ------------------------------------------------------

struct frame_control {
    uint32_t x = 0, y = 0, width = 0, height = 0;
    uint32_t delay_num = 1, delay_den = 10;
    uint32_t dispose = 0, blend = 0;
};

// Owns the libpng objects of the running frame, whatever path the read takes.
struct decoder_guard {
    frame_decoder decoder{};
    ~decoder_guard() { destroy_frame_decoder(&decoder); }
    bool active() const { return decoder.png != nullptr; }
};

class apng_reader {
public:
    apng_reader(const uint8_t* data, size_t size, apng_animation& animation)
        : data_(data), size_(size), animation_(animation) {}
    bool read();

private:
    bool read_header();
    bool handle_actl(const uint8_t* chunk, uint32_t length);
    bool handle_fctl(const uint8_t* chunk, uint32_t length);
    bool handle_fdat(uint8_t* chunk, uint32_t length);
    bool handle_iend();
    bool check_sequence(const uint8_t* field);
    bool end_frame();
    bool strip_fits(uint64_t images) const;
    bool start_decoder(bool with_kept);

    const uint8_t* data_;
    size_t size_;
    apng_animation& animation_;
    std::vector<uint8_t> ihdr_;  // the IHDR chunk as fed, with the frame's size
    std::vector<uint8_t> kept_;  // chunks before the image data, fed to every frame
    std::vector<uint8_t> scratch_;
    uint32_t canvas_width_ = 0, canvas_height_ = 0;
    ImageRows raw_, canvas_;
    decoder_guard guard_;
    frame_control control_;
    bool animated_ = false;
    bool image_data_seen_ = false;
    bool frame_has_data_ = false;
    uint32_t decoders_started_ = 0;
    uint32_t frames_declared_ = 0;
    uint32_t fctl_count_ = 0;
    uint32_t next_sequence_ = 0;
};

// The strip holds every image read, the hidden default image too.
bool apng_reader::strip_fits(uint64_t images) const {
    return images * canvas_height_ <= apng_max_strip_rows &&
           images * canvas_height_ * canvas_width_ <= apng_max_strip_pixels;
}

bool apng_reader::read_header() {
    if (size_ < 8 + 25 || std::memcmp(data_, png_signature, 8) != 0) return false;
    const uint8_t* chunk = data_ + 8;
    if (read_u32(chunk) != 13 || !png_chunk_type_equals(chunk, "IHDR") || !png_chunk_crc_matches(chunk)) return false;
    canvas_width_ = read_u32(chunk + 8);
    canvas_height_ = read_u32(chunk + 12);
    if (canvas_width_ < 1 || canvas_width_ > apng_max_side || canvas_height_ < 1 || canvas_height_ > apng_max_side)
        return false;
    if (!strip_fits(1)) return false;
    ihdr_.assign(chunk, chunk + 25);
    if (!raw_.init(canvas_width_, canvas_height_, 4) || !canvas_.init(canvas_width_, canvas_height_, 4)) return false;
    control_.width = canvas_width_;
    control_.height = canvas_height_;
    return start_decoder(false);
}

bool apng_reader::start_decoder(bool with_kept) {
    // A frame whose data falls short leaves transparent rows, never the rows
    // of the frame before.
    std::memset(raw_.pixels.data(), 0, raw_.pixels.size());
    ++decoders_started_;
    return start_frame_decoder(&guard_.decoder, &raw_, ihdr_.data(), kept_.data(), with_kept ? kept_.size() : 0);
}

bool apng_reader::check_sequence(const uint8_t* field) {
    if (read_u32(field) != next_sequence_ || next_sequence_ > largest_sequence_or_count) return false;
    ++next_sequence_;
    return true;
}

bool apng_reader::handle_actl(const uint8_t* chunk, uint32_t length) {
    // One acTL, before the image data.
    if (animated_ || image_data_seen_ || length != actl_length) return false;
    frames_declared_ = read_u32(chunk + 8);
    if (frames_declared_ == 0 || frames_declared_ > largest_sequence_or_count) return false;
    // A file that announces more frames than fit is refused before any of
    // them is decoded; the fcTL count is held to the announced one.
    if (frames_declared_ > apng_max_frames || !strip_fits(frames_declared_)) return false;
    animated_ = true;
    animation_.default_skipped = true;
    animation_.play_count = read_u32(chunk + 12);
    return true;
}

// Composes the finished frame onto the canvas, appends the canvas and
// prepares the canvas of the next frame by the frame's dispose op.
bool apng_reader::end_frame() {
    if (!frame_has_data_ || !guard_.active()) return false;
    if (!finish_frame_decoder(&guard_.decoder)) {
        animation_.index_past_palette = guard_.decoder.index_past_palette;
        return false;
    }
    if (!strip_fits(uint64_t(animation_.frames.size()) + 1)) return false;
    const bool hidden_default = animation_.default_skipped && animation_.frames.empty();
    ImageRows next;
    if (!next.init(canvas_width_, canvas_height_, 4)) return false;
    if (control_.dispose == 2) std::memcpy(next.pixels.data(), canvas_.pixels.data(), canvas_.pixels.size());
    compose_frame(canvas_, raw_, control_.blend, control_.x, control_.y, control_.width, control_.height);
    // The animation itself starts on a transparent canvas, whatever the
    // hidden default image showed.
    if (control_.dispose != 2 && !hidden_default) {
        std::memcpy(next.pixels.data(), canvas_.pixels.data(), canvas_.pixels.size());
        if (control_.dispose == 1) {
            for (uint32_t row = 0; row < control_.height; ++row)
                std::memset(next.rows[control_.y + row] + size_t(control_.x) * 4, 0, size_t(control_.width) * 4);
        }
    }
    canvas_.delay_num = control_.delay_num;
    canvas_.delay_den = control_.delay_den;
    try {
        animation_.frames.push_back(std::move(canvas_));
    } catch (const std::bad_alloc&) {
        return false;
    }
    canvas_ = std::move(next);
    frame_has_data_ = false;
    return true;
}

bool apng_reader::handle_fctl(const uint8_t* chunk, uint32_t length) {
    if (!animated_ || length != fctl_length || fctl_count_ >= frames_declared_) return false;
    const uint8_t* field = chunk + 8;
    if (!check_sequence(field)) return false;
    if (image_data_seen_) {
        if (!end_frame()) return false;
    } else {
        // The IDAT image is the first frame of the animation; a second fcTL
        // before any image data would be a frame without data.
        if (fctl_count_ > 0) return false;
        animation_.default_skipped = false;
    }
    frame_control next;
    next.width = read_u32(field + 4);
    next.height = read_u32(field + 8);
    next.x = read_u32(field + 12);
    next.y = read_u32(field + 16);
    next.delay_num = read_u16(field + 20);
    next.delay_den = read_u16(field + 22);
    next.dispose = field[24];
    next.blend = field[25];
    if (next.width < 1 || next.width > apng_max_side || next.height < 1 || next.height > apng_max_side ||
        uint64_t(next.x) + next.width > canvas_width_ || uint64_t(next.y) + next.height > canvas_height_ ||
        next.dispose > 2 || next.blend > 1)
        return false;
    // The first frame of the animation replaces the canvas, and there is no
    // earlier canvas for "previous" to restore.
    if (animation_.frames.size() == (animation_.default_skipped ? 1u : 0u)) {
        next.blend = 0;
        if (next.dispose == 2) next.dispose = 1;
    }
    control_ = next;
    ++fctl_count_;
    if (image_data_seen_) {
        write_u32(ihdr_.data() + 8, next.width);
        write_u32(ihdr_.data() + 12, next.height);
        write_u32(ihdr_.data() + 21, png_chunk_crc(ihdr_.data()));
        return start_decoder(true);
    }
    return true;
}

bool apng_reader::handle_fdat(uint8_t* chunk, uint32_t length) {
    // fdAT carries the data of the frames after the first decoded one.
    if (!animated_ || decoders_started_ < 2 || length < 4 || !check_sequence(chunk + 8)) return false;
    // Rewritten as an IDAT of four bytes less: the length over the old type,
    // "IDAT" over the sequence number; the old CRC stays.
    uint8_t* idat = chunk + 4;
    write_u32(idat, length - 4);
    std::memcpy(idat + 4, "IDAT", 4);
    frame_has_data_ = true;
    image_data_seen_ = true;
    return feed_frame_decoder(&guard_.decoder, idat, size_t(length - 4) + 12);
}

bool apng_reader::handle_iend() {
    if (!image_data_seen_ || !end_frame()) return false;
    const size_t expected = size_t(fctl_count_) + (animation_.default_skipped ? 1 : 0);
    return animated_ && fctl_count_ == frames_declared_ && animation_.frames.size() == expected;
}

bool apng_reader::read() {
    if (!read_header()) return false;
    // fdAT chunks are rewritten in place, so the reader works on its own copy.
    try {
        scratch_.assign(data_, data_ + size_);
    } catch (const std::bad_alloc&) {
        return false;
    }
    size_t pos = 8 + 25;
    while (pos + 12 <= scratch_.size()) {
        uint8_t* chunk = scratch_.data() + pos;
        const uint32_t length = read_u32(chunk);
        if (length > apng_max_chunk_length || uint64_t(length) + 12 > scratch_.size() - pos) return false;
        if (!type_is_letters(chunk) || !png_chunk_crc_matches(chunk)) return false;
        bool ok = true;
        if (png_chunk_type_equals(chunk, "acTL")) {
            ok = handle_actl(chunk, length);
        } else if (png_chunk_type_equals(chunk, "fcTL")) {
            ok = handle_fctl(chunk, length);
        } else if (png_chunk_type_equals(chunk, "IDAT")) {
            // Only the first decoded image is IDAT data.
            ok = decoders_started_ == 1 && feed_frame_decoder(&guard_.decoder, chunk, size_t(length) + 12);
            frame_has_data_ = image_data_seen_ = true;
        } else if (png_chunk_type_equals(chunk, "fdAT")) {
            ok = handle_fdat(chunk, length);
        } else if (png_chunk_type_equals(chunk, "IEND")) {
            return handle_iend();
        } else if (is_unknown_critical(chunk)) {
            animation_.unknown_critical = true;
            return false;
        } else if (!image_data_seen_) {
            ok = feed_frame_decoder(&guard_.decoder, chunk, size_t(length) + 12);
            if (ok) {
                try {
                    kept_.insert(kept_.end(), chunk, chunk + length + 12);
                } catch (const std::bad_alloc&) {
                    return false;
                }
            }
        }
        if (!ok) return false;
        pos += size_t(length) + 12;
    }
    return false;  // no IEND
}

}  // namespace

void compose_frame(ImageRows& canvas, const ImageRows& raw, uint32_t blend, uint32_t x, uint32_t y, uint32_t width,
                   uint32_t height) {
    for (uint32_t i = 0; i < height; ++i) {
        const uint8_t* source = raw.rows[i];
        uint8_t* target = canvas.rows[y + i] + size_t(x) * 4;
        if (blend == 0) {
            std::memcpy(target, source, size_t(width) * 4);
            continue;
        }
        for (uint32_t j = 0; j < width; ++j, source += 4, target += 4) {
            const uint32_t source_alpha = source[3];
            if (source_alpha == 255 || target[3] == 0) {
                std::memcpy(target, source, 4);
            } else if (source_alpha != 0) {
                const uint32_t u = source_alpha * 255;
                const uint32_t v = (255 - source_alpha) * target[3];
                const uint32_t a = u + v;
                for (int c = 0; c < 3; ++c) target[c] = uint8_t((source[c] * u + target[c] * v) / a);
                target[3] = uint8_t(a / 255);
            }
        }
    }
}

bool load_apng(const uint8_t* data, size_t size, apng_animation& animation) {
    animation = apng_animation{};
    apng_reader reader(data, size, animation);
    return reader.read();
}
