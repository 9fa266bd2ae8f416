// The PNG codec's state record, colour modes, chunk routines, whole-file load
// and save, and the codec's numeric error codes.
//
// Every decode and encode is driven by a `lodepng::State` that the caller builds
// on its own stack, configures, hands to the codec and destroys. The codec keeps
// no process-wide state; parallel trials each own a state (copies are deep: a
// copied state owns its own palettes).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// Error codes. The codec reports failures only as these numbers (no texts).
// ---------------------------------------------------------------------------
constexpr uint32_t png_error_zlib_check_value = 24;      // zlib header check not a multiple of 31
constexpr uint32_t png_error_zlib_method = 25;           // zlib method not 8 or window field above 7
constexpr uint32_t png_error_zlib_dictionary = 26;       // zlib preset dictionary flag set
constexpr uint32_t png_error_too_short = 27;             // input shorter than 33 bytes
constexpr uint32_t png_error_signature = 28;             // signature wrong
constexpr uint32_t png_error_first_not_ihdr = 29;        // first chunk is not IHDR
constexpr uint32_t png_error_chunk_header_past_end = 30; // chunk header past the end / no IEND
constexpr uint32_t png_error_colour_type = 31;           // colour type not 0, 2, 3, 4 or 6
constexpr uint32_t png_error_compression_method = 32;    // IHDR compression method not 0
constexpr uint32_t png_error_filter_method = 33;         // IHDR filter method not 0
constexpr uint32_t png_error_interlace_method = 34;      // IHDR interlace method above 1
constexpr uint32_t png_error_filter_type = 36;           // row filter type above 4
constexpr uint32_t png_error_bit_depth = 37;             // bit depth not allowed for the colour type
constexpr uint32_t png_error_palette_size = 38;          // PLTE above 256 entries / tRNS longer than palette /
                                                         // palette image without PLTE or with an index past it
constexpr uint32_t png_error_trns_with_alpha = 42;       // tRNS in a grey-alpha or RGBA image
constexpr uint32_t png_error_empty_input = 48;           // empty input
constexpr uint32_t png_error_zlib_too_short = 53;        // zlib data shorter than 2 bytes
constexpr uint32_t png_error_raw_mode = 56;              // unsupported conversion target
constexpr uint32_t png_error_crc = 57;                   // CRC mismatch in any chunk up to IEND
constexpr uint32_t png_error_adler = 58;                 // Adler-32 mismatch
constexpr uint32_t png_error_block_type = 61;            // block_type above 2
constexpr uint32_t png_error_chunk_length = 63;          // chunk length field above 2^31 - 1
constexpr uint32_t png_error_chunk_data_past_end = 64;   // chunk data past the end of the input
constexpr uint32_t png_error_palette_count = 68;         // palette mode with 0 or more than 256 entries
constexpr uint32_t png_error_unknown_critical = 69;      // unknown critical chunk
constexpr uint32_t png_error_encode_interlace = 71;      // file_info.interlace_method above 1 (encoder)
constexpr uint32_t png_error_size_overflow = 77;         // size overflow while appending a chunk
constexpr uint32_t png_error_alloc = 83;                 // memory allocation failed
constexpr uint32_t png_error_image_too_small = 84;       // image buffer smaller than raw_image_size
constexpr uint32_t png_error_filter_strategy = 88;       // filter_strategy_code above 13
constexpr uint32_t png_error_data_size = 91;             // inflated size differs from the header's
constexpr uint32_t png_error_too_many_pixels = 92;       // width x height beyond 2^28 - 1
constexpr uint32_t png_error_zero_size = 93;             // width or height 0
constexpr uint32_t png_error_ihdr_length = 94;           // first chunk's length field not 13
constexpr uint32_t png_error_inflate = 95;               // the inflater reported a data error

// Largest image the decoder accepts, in pixels.
constexpr uint64_t png_max_pixels = 268435455;

// ---------------------------------------------------------------------------
// Colour modes
// ---------------------------------------------------------------------------

// One colour layout. The palette holds RGBA entries of 4 bytes; storage for 256
// entries is made when the first entry is added (palette_add), null when empty.
// The record owns its palette: copies are deep, destruction releases it.
struct png_colour_mode {
    uint32_t colour_type = 6;
    uint32_t bit_depth = 8;
    uint8_t* palette = nullptr;
    size_t palette_size = 0;
    uint32_t key_defined = 0;
    uint32_t key_red = 0;  // grey images use key_red
    uint32_t key_green = 0;
    uint32_t key_blue = 0;

    png_colour_mode() = default;
    // Deep copy; running out of memory here ends the engine (exit code 1). Code
    // that must report 83 instead uses copy_colour_mode.
    png_colour_mode(const png_colour_mode& other);
    png_colour_mode& operator=(const png_colour_mode& other);
    png_colour_mode(png_colour_mode&& other) noexcept;
    png_colour_mode& operator=(png_colour_mode&& other) noexcept;
    ~png_colour_mode();
};

// Channels of a PNG colour type: 0 -> 1, 2 -> 3, 3 -> 1, 4 -> 2, 6 -> 4; other types 0.
uint32_t colour_channels(uint32_t colour_type);
// Channels x bit depth.
uint32_t bits_per_pixel(const png_colour_mode& mode);

// Appends one RGBA entry; 0, or 83 when the storage cannot be had. Entries past
// 256 are kept too (the encoder refuses such palettes with 68).
uint32_t palette_add(png_colour_mode& mode, uint8_t red, uint8_t green, uint8_t blue, uint8_t alpha);
// Releases the palette and sets palette_size to 0.
void clear_palette(png_colour_mode& mode);
// dest := source with its own palette copy; 83 (dest unchanged) when that fails.
uint32_t copy_colour_mode(png_colour_mode& dest, const png_colour_mode& source);

// 0 when the pair is allowed, 37 for a bad depth of a valid type, 31 otherwise.
uint32_t check_colour_mode(uint32_t colour_type, uint32_t bit_depth);
// Same colour type, depth, key flag, key (when defined), palette size and bytes.
bool colour_modes_equal(const png_colour_mode& a, const png_colour_mode& b);
// (width x bits per pixel x height + 7) / 8 in 64 bits; 0 for a colour type above 6.
uint64_t raw_image_size(uint32_t width, uint32_t height, const png_colour_mode& mode);

// What the PNG file's header says. libpng's png.h declares a global typedef of
// the same name: a file that needs both includes png.h as
//   #define png_info libpng_info / #include <png.h> / #undef png_info
// (or keeps its libpng calls in a file of their own).
struct png_info {
    uint32_t compression_method = 0;
    uint32_t filter_method = 0;
    uint32_t interlace_method = 0;  // 0 none, 1 Adam7
    png_colour_mode colour;
};
// Back to the defaults (palette released).
void clear_png_info(png_info& info);

// ---------------------------------------------------------------------------
// Settings
// ---------------------------------------------------------------------------
struct png_compress_settings;

// The encoder's raw-deflate hook. *out arrives null and *outsize 0; the hook
// returns a malloc'd raw DEFLATE stream (last block BFINAL, no zlib wrapper),
// which the encoder releases with free. 0 = success; any other value is the
// codec error the encoder reports unchanged.
using deflate_callback = uint32_t (*)(uint8_t** out, uint64_t* outsize, const uint8_t* in,
                                      uint64_t insize, const png_compress_settings* settings);

// The compression settings the encoder hands to `compressor` as its last argument.
struct png_compress_settings {
    uint32_t block_type = 2;               // 0 stored blocks, 1 or 2 call `compressor`; above 2 is 61
    deflate_callback compressor = nullptr; // must be set when block_type is 1 or 2
    void* compressor_context = nullptr;    // for the hook's own use; the codec never reads it
};

struct png_decoder_settings {
    // 1: convert to raw_mode; 0: keep the file's layout and copy its mode into raw_mode.
    uint32_t convert_colour = 1;
};

struct png_encoder_settings {
    png_compress_settings compression;
    uint32_t auto_colour = 1;                 // choose the PNG colour mode from the image
    uint32_t clean_transparent = 1;           // rewrite fully transparent pixels while filtering
    uint32_t filter_strategy_code = 8;        // row filter strategy 0..13
    const uint8_t* preset_filters = nullptr;  // one filter byte per row (strategy 6); not owned
    uint64_t preset_filter_count = 0;         // entries in preset_filters; a list shorter than
                                              // the rows (or empty) falls back to no filter
};

// The codec state. Owns the palettes of raw_mode, file_info.colour and result_mode.
class LodePNGState {
public:
    png_decoder_settings decoder;
    png_encoder_settings encoder;
    png_colour_mode raw_mode;   // the caller's pixel layout, both directions
    png_info file_info;         // decoder: what the file said; encoder: mode to write when auto_colour is 0
    png_colour_mode result_mode; // encoder: the mode the last automatic encode wrote
    uint32_t last_error = 1;    // 0 = the last operation succeeded

    LodePNGState() = default;
    LodePNGState(const LodePNGState&) = default;
    LodePNGState& operator=(const LodePNGState&) = default;
    LodePNGState(LodePNGState&&) = default;
    LodePNGState& operator=(LodePNGState&&) = default;
    virtual ~LodePNGState() = default;
};

namespace lodepng {
// The state callers construct: defaults as in the records above (RGBA 8 raw
// mode, conversion on, block type 2, automatic colour, cleaning on, strategy 8,
// last_error 1). Copies are deep.
class State : public LodePNGState {
public:
    State() = default;
    State(const State&) = default;
    State& operator=(const State&) = default;
    State(State&&) = default;
    State& operator=(State&&) = default;
    ~State() override = default;
};
}  // namespace lodepng

// ---------------------------------------------------------------------------
// Chunks: 4-byte big-endian length, 4-byte type, data, 4-byte CRC-32 of type and data.
// ---------------------------------------------------------------------------
constexpr uint8_t png_signature[8] = {137, 80, 78, 71, 13, 10, 26, 10};

uint32_t png_chunk_length(const uint8_t* chunk);
// Copies the four type letters and a terminating zero.
void png_chunk_type(char out[5], const uint8_t* chunk);
// True when the chunk's type is exactly `type` (4 letters).
bool png_chunk_type_equals(const uint8_t* chunk, const char* type);
const uint8_t* png_chunk_data(const uint8_t* chunk);
uint8_t* png_chunk_data(uint8_t* chunk);
// CRC-32 of the chunk's type and data, and whether the stored CRC equals it.
// The whole chunk (length + 12 bytes) must lie inside the caller's buffer.
uint32_t png_chunk_crc(const uint8_t* chunk);
bool png_chunk_crc_matches(const uint8_t* chunk);
// chunk + length + 12. Callers bound-check against the end of their buffer.
const uint8_t* png_chunk_next(const uint8_t* chunk);
uint8_t* png_chunk_next(uint8_t* chunk);
// Appends a whole chunk (length, type, data, CRC); 77 when the size would
// overflow, 83 when the buffer cannot grow; the buffer is unchanged on failure.
uint32_t png_chunk_create(std::vector<uint8_t>& buffer, uint32_t length, const char* type,
                          const uint8_t* data);
// PLTE with red, green, blue of every palette entry.
uint32_t write_plte_chunk(std::vector<uint8_t>& buffer, const png_colour_mode& mode);
// tRNS: palette alphas up to the last entry below 255; grey key (2 bytes); RGB key (6 bytes).
uint32_t write_trns_chunk(std::vector<uint8_t>& buffer, const png_colour_mode& mode);

// ---------------------------------------------------------------------------
// Whole files
// ---------------------------------------------------------------------------
// The file's bytes; empty when it cannot be opened or read.
std::vector<uint8_t> load_file_bytes(const std::string& path);
// Creates or replaces the file with exactly these bytes; an existing file is
// replaced safely (it stays as it was when writing fails). Reports nothing.
void save_file_bytes(const std::vector<uint8_t>& bytes, const std::string& path);
