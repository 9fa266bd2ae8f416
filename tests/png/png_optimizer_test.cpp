// Chunk inspection before decoding (size caps, bit depth, critical chunks,
// animation and profile chunks, malformed chunk lists) and the colour-type
// plan after decoding, on small PNG files built in code.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include <string>
#include <vector>

#include "core/job.h"
#include "core/options.h"
#include "core/png/chunk_scan.h"
#include "core/png/codec/codec_state.h"
#include "core/png/codec/decode.h"
#include "core/png/png_optimizer.h"

namespace {

using bytes = std::vector<uint8_t>;

void put_u32(bytes& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

void add_chunk(bytes& png, const char* type, const bytes& data = {}) {
    ASSERT_EQ(png_chunk_create(png, static_cast<uint32_t>(data.size()), type, data.data()), 0u);
}

bytes ihdr(uint32_t width, uint32_t height, uint8_t depth, uint8_t colour_type) {
    bytes d;
    put_u32(d, width);
    put_u32(d, height);
    d.insert(d.end(), {depth, colour_type, 0, 0, 0});
    return d;
}

// A zlib stream of stored blocks holding `raw`.
bytes zlib_stored(const bytes& raw) {
    bytes out = {0x78, 0x01};
    size_t pos = 0;
    do {
        const size_t n = std::min<size_t>(65535, raw.size() - pos);
        out.push_back(pos + n == raw.size() ? 1 : 0);
        out.insert(out.end(), {uint8_t(n), uint8_t(n >> 8), uint8_t(~n), uint8_t(~n >> 8)});
        out.insert(out.end(), raw.begin() + long(pos), raw.begin() + long(pos + n));
        pos += n;
    } while (pos < raw.size());
    put_u32(out, static_cast<uint32_t>(adler32(adler32(0, Z_NULL, 0), raw.data(), uInt(raw.size()))));
    return out;
}

bytes signature() { return bytes(png_signature, png_signature + 8); }

// A file whose chunk list is IHDR, `before` (chunks placed before the image
// data), the IDAT chunks and IEND.
struct png_builder {
    bytes header;
    std::vector<std::pair<std::string, bytes>> before;
    std::vector<bytes> idats = {bytes{0x78, 0x01}};
    bool iend = true;

    bytes build() const {
        bytes png = signature();
        add_chunk(png, "IHDR", header);
        for (const auto& c : before) add_chunk(png, c.first.c_str(), c.second);
        for (const bytes& d : idats) add_chunk(png, "IDAT", d);
        if (iend) add_chunk(png, "IEND");
        return png;
    }
};

image_job fresh_job(uint8_t mode = mode_undecided, uint32_t size = 1000) {
    default_flags flags;
    init_default_flags(flags);
    image_job job;
    init_image_job(job, flags, size);
    job.mode = mode;
    return job;
}

uint8_t scan(const bytes& png, image_job& job) {
    lodepng::State state;
    return scan_png_chunks(png, state, job);
}

TEST(ScanPngChunks, SizeCapsRefuseBeforeDecoding) {
    struct row {
        uint32_t width, height;
        uint8_t result;
    } rows[] = {
        {16383, 16383, 0},
        {16384, 16384, 1},
        {65536, 65536, 1},      // product wraps to 0 in 32 bits
        {65537, 65535, 1},      // wraps to a small positive number
        {268402689, 1, 0},      // exactly the cap
        {268402690, 1, 1},
        {1, 268402690, 1},
    };
    for (const row& r : rows) {
        png_builder b;
        b.header = ihdr(r.width, r.height, 8, 6);
        image_job job = fresh_job();
        EXPECT_EQ(scan(b.build(), job), r.result) << r.width << "x" << r.height;
        EXPECT_EQ(job.result, r.result);
        if (r.result == 0) {
            EXPECT_EQ(job.pixel_count, r.width * r.height);
            EXPECT_EQ(job.bytes_per_pixel, 4);
            EXPECT_EQ(job.critical_chunks, 3);
        }
    }
}

TEST(ScanPngChunks, SixteenBitRefusedOnlyWhenLossless) {
    for (uint8_t colour_type : {0, 2, 4, 6}) {
        png_builder b;
        b.header = ihdr(4, 4, 16, colour_type);
        image_job lossless = fresh_job(mode_lossless);
        EXPECT_EQ(scan(b.build(), lossless), 1) << int(colour_type);
        image_job automatic = fresh_job(mode_undecided);
        EXPECT_EQ(scan(b.build(), automatic), 0) << int(colour_type);
        EXPECT_EQ(automatic.colour_type, colour_type);
    }
}

TEST(ScanPngChunks, CriticalChunkCount) {
    png_builder two_idat;
    two_idat.header = ihdr(2, 2, 8, 2);
    two_idat.idats = {bytes{0x78}, bytes{0x01}};
    image_job job = fresh_job();
    EXPECT_EQ(scan(two_idat.build(), job), 0);
    EXPECT_EQ(job.critical_chunks, 3);

    png_builder no_iend = two_idat;
    no_iend.iend = false;
    job = fresh_job();
    EXPECT_EQ(scan(no_iend.build(), job), 1);
    EXPECT_EQ(job.critical_chunks, 2);

    png_builder no_idat = two_idat;
    no_idat.idats.clear();
    job = fresh_job();
    EXPECT_EQ(scan(no_idat.build(), job), 1);
}

TEST(ScanPngChunks, AnimationProfileAndPaletteFacts) {
    png_builder b;
    b.header = ihdr(3, 3, 8, 3);
    b.before = {{"acTL", bytes(8)}, {"fcTL", bytes(26)}, {"iCCP", bytes(20)},
                {"PLTE", bytes(9)}, {"tRNS", bytes(5)},  {"tRNS", bytes(2)}};
    bytes png = b.build();
    // A second frame after the image data.
    bytes tail;
    add_chunk(tail, "fcTL", bytes(26));
    add_chunk(tail, "fdAT", bytes(6));
    png.insert(png.end() - 12, tail.begin(), tail.end());

    image_job job = fresh_job();
    EXPECT_EQ(scan(png, job), 0);
    EXPECT_EQ(job.is_apng, 1);
    EXPECT_EQ(job.frame_count, 2);
    EXPECT_EQ(job.has_icc, 1);
    EXPECT_EQ(job.keep_icc, 1);
    EXPECT_EQ(job.plte_length, 9);
    EXPECT_EQ(job.trns_length, 2);  // the later tRNS wins
    EXPECT_EQ(job.colour_type, 3);

    // Only an acTL makes a file animated: fcTL and fdAT without one are stray
    // chunks of a still image, whose frames are not counted. A still file with
    // no profile drops the keep-profile flag.
    struct row {
        std::vector<std::pair<std::string, bytes>> chunks;
        uint8_t animated;
        uint16_t frames;
    } rows[] = {
        {{{"acTL", bytes(8)}}, 1, 0},
        {{{"acTL", bytes(8)}, {"fcTL", bytes(26)}}, 1, 1},
        {{{"fcTL", bytes(26)}}, 0, 0},
        {{{"fcTL", bytes(26)}, {"fcTL", bytes(26)}, {"fdAT", bytes(8)}}, 0, 0},
        {{{"fdAT", bytes(8)}}, 0, 0},
        {{{"tEXt", bytes(8)}}, 0, 0},
    };
    for (const row& r : rows) {
        png_builder one;
        one.header = ihdr(3, 3, 8, 2);
        one.before = r.chunks;
        std::string name;
        for (const auto& c : r.chunks) name += c.first + " ";
        image_job j = fresh_job();
        EXPECT_EQ(scan(one.build(), j), 0) << name;
        EXPECT_EQ(j.is_apng, r.animated) << name;
        EXPECT_EQ(j.frame_count, r.frames) << name;
        EXPECT_EQ(j.has_icc, 0);
        EXPECT_EQ(j.keep_icc, 0);
    }
}

TEST(ScanPngChunks, MalformedChunkLists) {
    png_builder good;
    good.header = ihdr(2, 2, 8, 2);

    struct row {
        const char* name;
        bytes png;
        uint8_t result;
    };
    std::vector<row> rows;

    rows.push_back({"empty", {}, 1});
    rows.push_back({"signature only", signature(), 1});

    bytes zero_type = good.build();
    zero_type[33 + 4 + 2] = 0;  // a byte in the type of the chunk after IHDR (IDAT)
    rows.push_back({"zero byte in a type", zero_type, 1});

    bytes truncated = good.build();
    truncated.resize(truncated.size() - 12);  // IEND gone
    bytes runaway;
    put_u32(runaway, 0x7fffffffu);
    runaway.insert(runaway.end(), {'t', 'E', 'X', 't', 0, 0, 0, 0});
    truncated.insert(truncated.end(), runaway.begin(), runaway.end());
    rows.push_back({"chunk running past the end", truncated, 1});

    bytes bad_signature = good.build();
    bad_signature[1] = 'Q';
    rows.push_back({"bad signature", bad_signature, 1});

    bytes bad_ihdr_crc = good.build();
    bad_ihdr_crc[32] ^= 1;
    rows.push_back({"IHDR CRC", bad_ihdr_crc, png_error_crc});

    bytes trailing = good.build();
    trailing.insert(trailing.end(), 40, 0);  // zero padding after IEND
    rows.push_back({"zero padding after IEND", trailing, 0});

    for (const row& r : rows) {
        image_job job = fresh_job();
        EXPECT_EQ(scan(r.png, job), r.result) << r.name;
        EXPECT_EQ(job.result, r.result) << r.name;
    }
}

// Chunk n of the file (0 = IHDR) with its stored CRC flipped.
bytes damage_crc(bytes png, int n) {
    size_t pos = 8;
    for (int i = 0; i < n; ++i) pos += 12 + png_chunk_length(&png[pos]);
    png[pos + 8 + png_chunk_length(&png[pos])] ^= 0x80;
    return png;
}

// Every chunk up to IEND must carry its CRC, whatever its type and whatever
// came before it; chunks after IEND are never read.
TEST(ScanPngChunks, ChunkCrcs) {
    png_builder b;
    b.header = ihdr(2, 2, 8, 3);
    b.before = {{"gAMA", bytes(4)}, {"PLTE", bytes(6)}, {"tRNS", bytes(1)}, {"zzZz", bytes(3)}};
    bytes png = b.build();
    add_chunk(png, "tEXt", bytes(2));  // after IEND
    const char* names[] = {"IHDR", "gAMA", "PLTE", "tRNS", "zzZz", "IDAT", "IEND"};
    for (int n = 0; n < 7; ++n) {
        image_job job = fresh_job();
        EXPECT_EQ(scan(damage_crc(png, n), job), png_error_crc) << names[n];
        EXPECT_EQ(job.result, png_error_crc) << names[n];
    }
    image_job job = fresh_job();
    EXPECT_EQ(scan(damage_crc(png, 7), job), 0) << "chunk after IEND";

    // A fault in the header is reported before a damaged chunk further on.
    png_builder header_fault = b;
    header_fault.header[10] = 1;  // compression method
    job = fresh_job();
    EXPECT_EQ(scan(damage_crc(header_fault.build(), 5), job), png_error_compression_method);
}

// A palette image needs its PLTE before the image data; PLTE and tRNS after it
// are not counted.
TEST(ScanPngChunks, PalettePlacement) {
    struct row {
        const char* name;
        uint8_t colour_type;
        std::vector<std::pair<std::string, bytes>> before, after;
        uint8_t result;
        uint16_t plte_length, trns_length;
    } rows[] = {
        {"palette before the data", 3, {{"PLTE", bytes(6)}, {"tRNS", bytes(2)}}, {}, 0, 6, 2},
        {"no palette", 3, {}, {}, png_error_palette_size, 0, 0},
        {"palette of two bytes", 3, {{"PLTE", bytes(2)}}, {}, png_error_palette_size, 2, 0},
        {"palette after the data", 3, {}, {{"PLTE", bytes(6)}}, png_error_palette_size, 0, 0},
        {"late tRNS", 3, {{"PLTE", bytes(6)}}, {{"tRNS", bytes(2)}}, 0, 6, 0},
        {"truecolour needs no palette", 2, {}, {{"PLTE", bytes(6)}, {"tRNS", bytes(6)}}, 0, 0, 0},
    };
    for (const row& r : rows) {
        png_builder b;
        b.header = ihdr(2, 2, 8, r.colour_type);
        b.before = r.before;
        bytes png = b.build();
        bytes late;
        for (const auto& c : r.after) add_chunk(late, c.first.c_str(), c.second);
        png.insert(png.end() - 12, late.begin(), late.end());  // before IEND
        image_job job = fresh_job();
        EXPECT_EQ(scan(png, job), r.result) << r.name;
        EXPECT_EQ(job.plte_length, r.plte_length) << r.name;
        EXPECT_EQ(job.trns_length, r.trns_length) << r.name;
    }
}

// A palette image whose tRNS has 10 entries, three of them opaque.
bytes palette_png_with_trns() {
    bytes plte, trns, raw;
    for (int i = 0; i < 12; ++i) plte.insert(plte.end(), {uint8_t(i * 20), uint8_t(i), uint8_t(255 - i)});
    for (int i = 0; i < 10; ++i) trns.push_back(i % 3 == 0 && i > 0 ? 255 : uint8_t(i * 10));
    for (int y = 0; y < 4; ++y) {
        raw.push_back(0);
        for (int x = 0; x < 4; ++x) raw.push_back(uint8_t((y * 4 + x) % 12));
    }
    png_builder b;
    b.header = ihdr(4, 4, 8, 3);
    b.before = {{"PLTE", plte}, {"tRNS", trns}};
    b.idats = {zlib_stored(raw)};
    return b.build();
}

TEST(CountTranslucentPaletteEntries, CountsNonOpaqueEntries) {
    const bytes png = palette_png_with_trns();
    lodepng::State state;
    image_job job = fresh_job();
    ASSERT_EQ(scan_png_chunks(png, state, job), 0);
    EXPECT_EQ(job.trns_length, 10);
    bytes image;
    uint32_t w = 0, h = 0;
    ASSERT_EQ(decode_png(image, w, h, state, png), 0u);
    count_translucent_palette_entries(state, job);
    EXPECT_EQ(job.trns_length, 7);

    // Files without tRNS, or not palette files, keep their value.
    image_job none = job;
    none.trns_length = 0;
    count_translucent_palette_entries(state, none);
    EXPECT_EQ(none.trns_length, 0);
    lodepng::State rgb;
    rgb.file_info.colour.colour_type = 2;
    image_job truecolour = fresh_job();
    truecolour.trns_length = 6;
    count_translucent_palette_entries(rgb, truecolour);
    EXPECT_EQ(truecolour.trns_length, 6);
}

// An RGBA image of `colours` distinct colours (grey when asked) with `translucent`
// pixels of alpha `alpha`.
bytes test_image(uint32_t pixels, uint32_t colours, bool grey, uint32_t translucent, uint8_t alpha) {
    bytes img(size_t(pixels) * 4);
    for (uint32_t i = 0; i < pixels; ++i) {
        const uint32_t c = i % colours;
        img[i * 4 + 0] = uint8_t(c);
        img[i * 4 + 1] = grey ? uint8_t(c) : uint8_t(c >> 8);
        img[i * 4 + 2] = grey ? uint8_t(c) : uint8_t(7);
        img[i * 4 + 3] = i < translucent ? alpha : 255;
    }
    return img;
}

TEST(ChooseColourType, PlanTable) {
    struct row {
        const char* name;
        bool grey;
        uint32_t colours;
        uint32_t translucent;
        uint8_t alpha;      // of the translucent pixels
        bool single;
        uint16_t plte;      // PLTE data length from the scan
        uint8_t file_type;  // colour type the file said
        uint8_t planned;
        uint32_t limit;
    } rows[] = {
        {"grey opaque, 12 colours", true, 12, 0, 255, true, 0, 0, 0, 96},
        {"grey single alpha", true, 12, 5, 100, true, 0, 4, 0, 257},
        {"grey varied alpha, 256 levels", true, 256, 10, 100, false, 0, 4, 4, 257},
        {"grey varied alpha, 12 levels", true, 12, 5, 100, false, 0, 4, 3, 257},
        {"rgb 200 colours", false, 200, 0, 255, true, 0, 2, 3, 8192},
        {"rgb 300 colours", false, 300, 0, 255, true, 0, 2, 2, 8192},
        {"rgba 300 colours single alpha", false, 300, 10, 0, true, 0, 6, 2, 8192},
        {"rgba 300 colours varied alpha", false, 300, 10, 80, false, 0, 6, 6, 8192},
        {"rgba 100 colours varied alpha", false, 100, 10, 80, false, 0, 6, 3, 8192},
        {"palette file", false, 300, 0, 255, true, 30, 3, 3, 256},
        {"suggested palette in a truecolour file", false, 300, 0, 255, true, 30, 2, 2, 8192},
    };
    for (const row& r : rows) {
        const uint32_t pixels = 600;
        bytes img = test_image(pixels, r.colours, r.grey, r.translucent, r.alpha);
        lodepng::State state;
        state.file_info.colour.colour_type = r.file_type;
        for (int i = 0; i < 10; ++i) palette_add(state.file_info.colour, uint8_t(i), 0, 0, 255);
        image_job job = fresh_job();
        job.pixel_count = pixels;
        job.width = pixels;
        job.height = 1;
        job.is_grey = r.grey;
        job.translucent_count = r.translucent;
        job.single_alpha = r.single;
        job.plte_length = r.plte;
        choose_colour_type(img, state, job);
        EXPECT_EQ(job.colour_type, r.planned) << r.name;
        EXPECT_EQ(job.colour_limit, r.limit) << r.name;
        EXPECT_EQ(job.plte_length, r.plte == 0 ? 0 : (r.file_type == 3 ? 10 : 0)) << r.name;
    }
}

// A folder removed with its contents at the end of a test.
struct scratch_folder {
    std::string path;
    scratch_folder() {
        std::string pattern = (boost::filesystem::temp_directory_path() / "velto-png-XXXXXX").string();
        path = ::mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~scratch_folder() {
        boost::system::error_code ec;
        boost::filesystem::remove_all(path, ec);
    }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

void write_bytes(const std::string& path, const bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

bytes read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A 2 x 2 RGBA image, still or with the chunks of a two-frame animation.
bytes small_png(bool animated) {
    bytes raw;
    for (int y = 0; y < 2; ++y) {
        raw.push_back(0);
        for (int x = 0; x < 8; ++x) raw.push_back(uint8_t(40 * y + 9 * x));
    }
    bytes frame;
    put_u32(frame, 0);
    put_u32(frame, 2);
    put_u32(frame, 2);
    put_u32(frame, 0);
    put_u32(frame, 0);
    frame.insert(frame.end(), {0, 1, 0, 10, 0, 0});
    bytes actl;
    put_u32(actl, 1);
    put_u32(actl, 0);
    png_builder b;
    b.header = ihdr(2, 2, 8, 6);
    if (animated) b.before = {{"acTL", actl}, {"fcTL", frame}};
    b.idats = {zlib_stored(raw)};
    return b.build();
}

// An animation cannot be previewed: the preview is refused with success as
// the file's result, so the run answers with the refused-preview exit code,
// and nothing is decoded or written.
TEST(OptimizePngFile, AnimationRefusesPreviews) {
    struct row {
        const char* name;
        uint8_t image_job::*preview_flag;
    } rows[] = {
        {"preview", &image_job::preview},
        {"preview original", &image_job::preview_original},
        {"preview check", &image_job::preview_check},
    };
    scratch_folder tmp;
    const bytes png = small_png(true);
    for (const row& r : rows) {
        for (uint8_t mode : {mode_undecided, mode_lossless}) {
            const std::string path = tmp / "anim.png";
            write_bytes(path, png);
            image_job job = fresh_job(mode, uint32_t(png.size()));
            job.*r.preview_flag = 1;
            EXPECT_EQ(optimize_png_file(path, job), 0) << r.name;
            EXPECT_EQ(job.result, 0) << r.name;
            EXPECT_EQ(job.preview_refused, 1) << r.name;
            EXPECT_EQ(job.is_apng, 1) << r.name;
            EXPECT_EQ(read_bytes(path), png) << r.name;
        }
    }
}

TEST(OptimizePngFile, StillPreviewCheckDecodesNothing) {
    scratch_folder tmp;
    const bytes png = small_png(false);
    const std::string path = tmp / "still.png";
    write_bytes(path, png);
    image_job job = fresh_job(mode_undecided, uint32_t(png.size()));
    job.preview_check = 1;
    EXPECT_EQ(optimize_png_file(path, job), 0);
    EXPECT_EQ(job.preview_refused, 0);
    EXPECT_EQ(job.colour_count, 0u);  // no analysis ran
    EXPECT_EQ(read_bytes(path), png);
}

TEST(OptimizePngFile, UnreadableFileFails) {
    scratch_folder tmp;
    image_job job = fresh_job(mode_undecided, 500);
    EXPECT_EQ(optimize_png_file(tmp / "missing.png", job), 1);
    EXPECT_EQ(job.width, 0u);
}

// A 1-bit grey image whose colour key lies outside the bit depth is shown with
// the key masked by common viewers, so it is left alone; the same image with a
// key in range is optimised.
TEST(OptimizePngFile, ColourKeyBeyondTheBitDepthLeavesTheFileAlone) {
    bytes raw;
    for (int y = 0; y < 64; ++y) {
        raw.push_back(0);
        for (int x = 0; x < 8; ++x) raw.push_back(y % 2 ? 0xAA : 0x0F);
    }
    scratch_folder tmp;
    for (const uint8_t key : {uint8_t(255), uint8_t(1)}) {
        png_builder b;
        b.header = ihdr(64, 64, 1, 0);
        b.before = {{"tRNS", bytes{0, key}}};
        b.idats = {zlib_stored(raw)};
        const bytes png = b.build();
        const std::string path = tmp / "key.png";
        write_bytes(path, png);
        image_job job = fresh_job(mode_lossless, uint32_t(png.size()));
        job.png_level = 1;
        EXPECT_EQ(optimize_png_file(path, job), 0) << int(key);
        if (key == 255)
            EXPECT_EQ(read_bytes(path), png);
        else
            EXPECT_LT(read_bytes(path).size(), png.size());
    }
}

// A 32 x 32 palette image of four entries stored without compression, so that
// every road would shrink it, with `before` and `after` placed around its IDAT.
bytes palette_file(const std::vector<std::pair<std::string, bytes>>& before,
                   const std::vector<std::pair<std::string, bytes>>& after = {}, uint8_t top_index = 3) {
    bytes raw;
    for (int y = 0; y < 32; ++y) {
        raw.push_back(0);
        for (int x = 0; x < 32; ++x) raw.push_back(uint8_t((x / 4 + y / 8) % 4));
    }
    raw.back() = top_index;
    png_builder b;
    b.header = ihdr(32, 32, 8, 3);
    b.before = before;
    b.idats = {zlib_stored(raw)};
    bytes png = b.build();
    bytes late;
    for (const auto& c : after) add_chunk(late, c.first.c_str(), c.second);
    png.insert(png.end() - 12, late.begin(), late.end());
    return png;
}

const bytes four_colours = {200, 0, 0, 0, 200, 0, 0, 0, 200, 90, 90, 90};

// A damaged palette or chunk is never rewritten into a valid-looking file: on
// every road the file stays as it is and its result is the codec's code.
TEST(OptimizePngFile, DamagedFilesAreLeftAloneOnEveryRoad) {
    const bytes phys = {0, 0, 0x0B, 0x13, 0, 0, 0x0B, 0x13, 1};
    struct damage {
        const char* name;
        bytes png;
        uint8_t code;
    } damages[] = {
        {"no PLTE", palette_file({{"gAMA", {0, 0, 0xB1, 0x8F}}}), png_error_palette_size},
        {"index past the palette", palette_file({{"PLTE", four_colours}}, {}, 4), png_error_palette_size},
        // Chunks: IHDR, gAMA, PLTE, tRNS, IDAT, IEND.
        {"PLTE CRC after gAMA", damage_crc(palette_file({{"gAMA", {0, 0, 0xB1, 0x8F}}, {"PLTE", four_colours}, {"tRNS", {0}}}), 2),
         png_error_crc},
        {"tRNS CRC after gAMA", damage_crc(palette_file({{"gAMA", {0, 0, 0xB1, 0x8F}}, {"PLTE", four_colours}, {"tRNS", {0}}}), 3),
         png_error_crc},
        {"IDAT CRC after pHYs", damage_crc(palette_file({{"pHYs", phys}, {"PLTE", four_colours}}), 3), png_error_crc},
        {"pHYs CRC", damage_crc(palette_file({{"pHYs", phys}, {"PLTE", four_colours}}), 1), png_error_crc},
    };
    struct road {
        const char* name;
        uint8_t mode, level, preview;
    } roads[] = {
        {"automatic", mode_undecided, 2, 0},  {"lossless fast", mode_lossless, 0, 0},
        {"lossless search", mode_lossless, 1, 0}, {"lossy", mode_lossy_truecolour, 1, 0},
        {"palette", mode_palette, 1, 0},      {"preview", mode_undecided, 1, 1},
    };
    scratch_folder tmp;
    const std::string appdata = tmp / "appdata";
    boost::filesystem::create_directories(appdata);
    const char* old_appdata = std::getenv("LOCALAPPDATA");
    const std::string saved = old_appdata ? old_appdata : "";
    ::setenv("LOCALAPPDATA", appdata.c_str(), 1);
    for (const damage& d : damages) {
        for (const road& r : roads) {
            const std::string path = tmp / "damaged.png";
            write_bytes(path, d.png);
            image_job job = fresh_job(r.mode, uint32_t(d.png.size()));
            job.png_level = r.level;
            job.preview = r.preview;
            EXPECT_EQ(optimize_png_file(path, job), d.code) << d.name << ", " << r.name;
            EXPECT_EQ(read_bytes(path), d.png) << d.name << ", " << r.name;
            EXPECT_TRUE(boost::filesystem::is_empty(appdata)) << d.name << ", " << r.name;
        }
    }
    if (old_appdata)
        ::setenv("LOCALAPPDATA", saved.c_str(), 1);
    else
        ::unsetenv("LOCALAPPDATA");

    // The same files undamaged are rewritten.
    const std::string path = tmp / "sound.png";
    const bytes sound = palette_file({{"gAMA", {0, 0, 0xB1, 0x8F}}, {"PLTE", four_colours}, {"tRNS", {0}}});
    write_bytes(path, sound);
    image_job job = fresh_job(mode_lossless, uint32_t(sound.size()));
    EXPECT_EQ(optimize_png_file(path, job), 0);
    EXPECT_LT(read_bytes(path).size(), sound.size());
}

// fcTL and fdAT chunks without an acTL do not make an animation: the file is
// optimised as the still image it is, can be previewed, and the rewritten file
// has no frame chunks, even with every other chunk kept ("-nostrip").
TEST(OptimizePngFile, StrayFrameChunksLeaveAStillImage) {
    bytes fctl;
    for (uint32_t v : {0u, 32u, 32u, 0u, 0u}) put_u32(fctl, v);
    fctl.insert(fctl.end(), {0, 1, 0, 10, 0, 0});
    bytes fdat;
    put_u32(fdat, 1);
    fdat.insert(fdat.end(), {0x78, 0x01, 1, 0, 0, 0xFF, 0xFF, 0, 0, 0, 1});
    const bytes text = {'C', 'o', 'm', 'm', 'e', 'n', 't', 0, 'h', 'i'};
    const bytes png = palette_file({{"PLTE", four_colours}, {"fcTL", fctl}, {"tEXt", text}},
                                   {{"fcTL", fctl}, {"fdAT", fdat}});
    scratch_folder tmp;
    for (uint8_t metadata_mode : {0, 1}) {
        const std::string path = tmp / "stray.png";
        write_bytes(path, png);
        image_job job = fresh_job(mode_lossless, uint32_t(png.size()));
        job.metadata_mode = metadata_mode;
        EXPECT_EQ(optimize_png_file(path, job), 0) << int(metadata_mode);
        EXPECT_EQ(job.is_apng, 0);
        const bytes written = read_bytes(path);
        ASSERT_LT(written.size(), png.size()) << int(metadata_mode);
        std::vector<std::string> types;
        for (size_t pos = 8; pos + 12 <= written.size(); pos += 12 + png_chunk_length(&written[pos]))
            types.emplace_back(written.begin() + long(pos) + 4, written.begin() + long(pos) + 8);
        EXPECT_EQ(std::count(types.begin(), types.end(), "fcTL"), 0) << int(metadata_mode);
        EXPECT_EQ(std::count(types.begin(), types.end(), "fdAT"), 0) << int(metadata_mode);
        EXPECT_EQ(std::count(types.begin(), types.end(), "tEXt"), metadata_mode == 0 ? 1 : 0);
    }
    // The preview is not refused.
    const std::string path = tmp / "stray.png";
    write_bytes(path, png);
    image_job check = fresh_job(mode_undecided, uint32_t(png.size()));
    check.preview_check = 1;
    EXPECT_EQ(optimize_png_file(path, check), 0);
    EXPECT_EQ(check.preview_refused, 0);
}

// A tRNS after the image data is ignored, as a viewer ignores it: the pixels
// it would have made transparent stay opaque in the rewritten file.
TEST(OptimizePngFile, LateTransparencyIsIgnored) {
    scratch_folder tmp;
    const std::string path = tmp / "late-trns.png";
    const bytes png = palette_file({{"PLTE", four_colours}}, {{"tRNS", {0, 0}}});
    write_bytes(path, png);
    image_job job = fresh_job(mode_lossless, uint32_t(png.size()));
    ASSERT_EQ(optimize_png_file(path, job), 0);
    const bytes written = read_bytes(path);
    ASSERT_LT(written.size(), png.size());
    lodepng::State state;
    bytes rgba;
    uint32_t w = 0, h = 0;
    ASSERT_EQ(decode_png(rgba, w, h, state, written), 0u);
    for (size_t i = 3; i < rgba.size(); i += 4) ASSERT_EQ(rgba[i], 255) << "pixel " << i / 4;
}

}  // namespace
