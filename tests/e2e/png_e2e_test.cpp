// End-to-end runs of the engine binary on PNG files: generated fixtures and a
// few files of the shared corpus, copied into a temporary folder first. Every
// output must decode (with libpng, as an independent reader) to the input's
// pixels wherever the input is visible, and must never be larger than the input.
#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <map>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "core/temp_folder.h"
#include "e2e/run_core.h"

namespace {

namespace fs = boost::filesystem;

// ---------------------------------------------------------------------------
// Reading with libpng: every layout becomes RGBA with 16 bits a channel, so
// 8-bit and 16-bit, palette, grey and keyed images compare exactly.
// ---------------------------------------------------------------------------
struct rgba16 {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint16_t> pixels;  // 4 values a pixel
    bool ok = false;
};

struct memory_reader {
    const std::string* bytes;
    size_t pos;
};

void read_from_memory(png_structp png, png_bytep out, png_size_t n) {
    auto* r = static_cast<memory_reader*>(png_get_io_ptr(png));
    if (n > r->bytes->size() - r->pos) png_error(png, "read past the end");
    std::memcpy(out, r->bytes->data() + r->pos, n);
    r->pos += n;
}

void silent_warning(png_structp, png_const_charp) {}

rgba16 decode(const std::string& bytes) {
    rgba16 img;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, silent_warning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return img;
    }
    memory_reader reader{&bytes, 0};
    std::vector<png_bytep> rows;
    std::vector<uint8_t> raw;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        img.ok = false;
        return img;
    }
    png_set_read_fn(png, &reader, read_from_memory);
    png_set_user_limits(png, 20000, 20000);
    png_read_info(png, info);
    png_set_expand(png);
    png_set_expand_16(png);
    png_set_gray_to_rgb(png);
    png_set_add_alpha(png, 0xffff, PNG_FILLER_AFTER);
    png_set_swap(png);  // host order
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
    img.pixels.resize(raw.size() / 2);
    std::memcpy(img.pixels.data(), raw.data(), raw.size());
    img.ok = true;
    return img;
}

// Same size and, wherever `input` is visible (alpha above 0), the same
// colour and alpha; a fully transparent input pixel must stay fully transparent.
::testing::AssertionResult same_visible_pixels(const rgba16& input, const rgba16& output) {
    if (!input.ok) return ::testing::AssertionFailure() << "input does not decode";
    if (!output.ok) return ::testing::AssertionFailure() << "output does not decode";
    if (input.width != output.width || input.height != output.height)
        return ::testing::AssertionFailure() << "size " << output.width << "x" << output.height << " instead of "
                                             << input.width << "x" << input.height;
    for (size_t i = 0; i < input.pixels.size(); i += 4) {
        const bool visible = input.pixels[i + 3] != 0;
        const bool same = visible ? std::equal(&input.pixels[i], &input.pixels[i] + 4, &output.pixels[i])
                                  : output.pixels[i + 3] == 0;
        if (!same)
            return ::testing::AssertionFailure()
                   << "pixel " << i / 4 << " (" << input.pixels[i] << "," << input.pixels[i + 1] << ","
                   << input.pixels[i + 2] << "," << input.pixels[i + 3] << ") became (" << output.pixels[i] << ","
                   << output.pixels[i + 1] << "," << output.pixels[i + 2] << "," << output.pixels[i + 3] << ")";
    }
    return ::testing::AssertionSuccess();
}

// ---------------------------------------------------------------------------
// Writing fixtures with libpng.
// ---------------------------------------------------------------------------
void write_to_memory(png_structp png, png_bytep data, png_size_t n) {
    auto* out = static_cast<std::string*>(png_get_io_ptr(png));
    out->append(reinterpret_cast<const char*>(data), n);
}
void flush_nothing(png_structp) {}

struct generated {
    const char* name;
    uint32_t width, height;
    int colour_type;  // PNG_COLOR_TYPE_*
    int depth;
    bool interlaced;
    int zlib_level;
    int palette_size;  // palette images
    int trns_count;    // palette images: leading non-opaque entries
};

// Deterministic pixel content: smooth gradients with a little noise, a block
// of fully transparent pixels that carry random colours, and a translucent band.
uint32_t noise(uint32_t x, uint32_t y, uint32_t c) {
    uint32_t h = x * 374761393u + y * 668265263u + c * 2246822519u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return h ^ (h >> 16);
}

std::string make_png(const generated& g) {
    std::string out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return {};
    }
    png_set_write_fn(png, &out, write_to_memory, flush_nothing);
    png_set_compression_level(png, g.zlib_level);
    png_set_IHDR(png, info, g.width, g.height, g.depth, g.colour_type,
                 g.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    if (g.colour_type == PNG_COLOR_TYPE_PALETTE) {
        std::vector<png_color> palette(size_t(g.palette_size));
        for (int i = 0; i < g.palette_size; ++i)
            palette[size_t(i)] = {uint8_t(i * 37), uint8_t(255 - i * 11), uint8_t(i * 5)};
        png_set_PLTE(png, info, palette.data(), g.palette_size);
        if (g.trns_count > 0) {
            std::vector<png_byte> alpha(size_t(g.trns_count));
            for (int i = 0; i < g.trns_count; ++i) alpha[size_t(i)] = uint8_t(i * 60);
            png_set_tRNS(png, info, alpha.data(), g.trns_count, nullptr);
        }
    }
    png_write_info(png, info);
    if (g.depth == 16) png_set_swap(png);

    const int channels = png_get_channels(png, info);
    const size_t row_bytes = png_get_rowbytes(png, info);
    std::vector<uint8_t> raw(row_bytes * g.height);
    for (uint32_t y = 0; y < g.height; ++y) {
        uint8_t* row = raw.data() + y * row_bytes;
        for (uint32_t x = 0; x < g.width; ++x) {
            const bool hole = x >= g.width / 4 && x < g.width / 2 && y < g.height / 2;
            const bool band = y >= g.height * 3 / 4;
            for (int c = 0; c < channels; ++c) {
                const bool alpha = (channels == 2 && c == 1) || (channels == 4 && c == 3);
                uint32_t v;
                if (g.colour_type == PNG_COLOR_TYPE_PALETTE)
                    v = ((x / 3 + y / 2) + (noise(x, y, 0) % 4 == 0)) % uint32_t(g.palette_size);
                else if (alpha)
                    v = hole ? 0 : band ? (40 + (x % 4) * 50) * 257 : 0xffff;
                else if (hole && channels % 2 == 0)
                    v = noise(x, y, uint32_t(c));  // colour no viewer shows
                else
                    v = (x * 2000u + y * 900u + uint32_t(c) * 7000u) + noise(x, y, uint32_t(c)) % 700u;
                if (g.depth == 16) {
                    reinterpret_cast<uint16_t*>(row)[size_t(x) * size_t(channels) + size_t(c)] = uint16_t(v);
                } else if (g.depth == 8) {
                    row[size_t(x) * size_t(channels) + size_t(c)] = alpha ? uint8_t(v >> 8) : uint8_t(v >> 7);
                } else {
                    const uint32_t bits = uint32_t(g.depth);
                    const uint32_t value = g.colour_type == PNG_COLOR_TYPE_PALETTE ? v : (v >> 9);
                    const uint32_t bit = x * bits;
                    const uint32_t shift = 8 - bits - bit % 8;
                    row[bit / 8] = uint8_t(row[bit / 8] | ((value & ((1u << bits) - 1)) << shift));
                }
            }
        }
    }
    std::vector<png_bytep> rows;
    for (uint32_t y = 0; y < g.height; ++y) rows.push_back(raw.data() + y * row_bytes);
    png_write_image(png, rows.data());
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

const generated generated_fixtures[] = {
    {"rgb.png", 64, 48, PNG_COLOR_TYPE_RGB, 8, false, 9, 0, 0},
    {"rgba-holes.png", 48, 40, PNG_COLOR_TYPE_RGBA, 8, false, 0, 0, 0},
    {"grey.png", 50, 30, PNG_COLOR_TYPE_GRAY, 8, false, 0, 0, 0},
    {"grey-alpha.png", 40, 40, PNG_COLOR_TYPE_GRAY_ALPHA, 8, false, 6, 0, 0},
    {"grey1.png", 37, 9, PNG_COLOR_TYPE_GRAY, 1, false, 0, 0, 0},
    {"palette4-trns.png", 40, 30, PNG_COLOR_TYPE_PALETTE, 4, false, 0, 12, 3},
    {"palette8.png", 45, 20, PNG_COLOR_TYPE_PALETTE, 8, false, 9, 200, 0},
    {"interlaced-rgba.png", 33, 17, PNG_COLOR_TYPE_RGBA, 8, true, 9, 0, 0},
};
const generated sixteen_bit = {"rgb16.png", 20, 20, PNG_COLOR_TYPE_RGB, 16, false, 0, 0, 0};
const generated grey_alpha16 = {"grey-alpha16.png", 24, 12, PNG_COLOR_TYPE_GRAY_ALPHA, 16, false, 0, 0, 0};
// Large enough for the parallel trials of a single-file run (16,385 pixels or more).
const generated mid_sized = {"mid-rgb.png", 160, 120, PNG_COLOR_TYPE_RGB, 8, false, 0, 0, 0};

// A few small files of the shared corpus: palette, keyed, grey, interlaced,
// an embedded profile, text chunks and icons with alpha.
const char* const corpus_subset[] = {
    "png/pngsuite/basn3p04.png",
    "png/misc/rgb-trns.png",
    "png/grey/grey8-trns.png",
    "png/misc/hippopotamus-interlaced.png",
    "png/chunks/iccp-57x57-rgba.png",
    "png/chunks/ztxt-example.png",
    "png/icon/tango-computer-24.png",
    "png/icon/oxygen-folder-64.png",
};

// ---------------------------------------------------------------------------
// Running the engine.
// ---------------------------------------------------------------------------
int run_engine(const temp_folder& tmp, const std::vector<std::string>& args) {
    return run_core(tmp, args).status;
}

// Name -> original bytes of every file put into a test folder.
using originals = std::map<std::string, std::string>;

std::string corpus_root() {
    const char* c = std::getenv("VELTO_CORPUS");
    return c && fs::is_directory(c) ? c : "";
}

// Where the files of a run come from: images generated here, or the corpus
// subset, which a checkout without the shared corpus skips.
enum class source { generated, corpus };

std::string source_name(const ::testing::TestParamInfo<source>& info) {
    return info.param == source::generated ? "Generated" : "Corpus";
}

// Writes the files of `from` into `folder`; false (with a test failure) when
// a corpus file is missing from a corpus that is there.
bool populate(const std::string& folder, source from, originals& files) {
    fs::create_directories(folder);
    if (from == source::generated) {
        for (const generated& g : generated_fixtures) files[g.name] = make_png(g);
    } else {
        for (const char* rel : corpus_subset) {
            const std::string bytes = read_file(corpus_root() + "/" + rel);
            EXPECT_FALSE(bytes.empty()) << rel << " missing from the corpus";
            if (bytes.empty()) return false;
            files["corpus-" + fs::path(rel).filename().string()] = bytes;
        }
    }
    for (const auto& [name, bytes] : files) write_file(folder + "/" + name, bytes);
    return true;
}

void expect_lossless(const originals& files, const std::string& folder, const std::string& what) {
    for (const auto& [name, before] : files) {
        const std::string after = read_file(folder + "/" + name);
        EXPECT_LE(after.size(), before.size()) << what << " " << name;
        EXPECT_TRUE(same_visible_pixels(decode(before), decode(after))) << what << " " << name;
    }
}

void expect_valid_not_larger(const originals& files, const std::string& folder, const std::string& what) {
    for (const auto& [name, before] : files) {
        const std::string after = read_file(folder + "/" + name);
        EXPECT_LE(after.size(), before.size()) << what << " " << name;
        const rgba16 in = decode(before);
        const rgba16 out = decode(after);
        EXPECT_TRUE(out.ok) << what << " " << name;
        EXPECT_EQ(out.width, in.width) << what << " " << name;
        EXPECT_EQ(out.height, in.height) << what << " " << name;
    }
}

// The whole-folder runs below, once on generated images and once on the
// corpus subset.
class PngE2eRuns : public ::testing::TestWithParam<source> {
protected:
    void SetUp() override {
        if (GetParam() == source::corpus && corpus_root().empty())
            GTEST_SKIP() << "the shared corpus is not there (VELTO_CORPUS)";
    }
    // Fills `folder`; false when the test cannot go on.
    bool fill(const std::string& folder, originals& files) { return populate(folder, GetParam(), files); }
};

INSTANTIATE_TEST_SUITE_P(Sources, PngE2eRuns, ::testing::Values(source::generated, source::corpus), source_name);

TEST(PngE2e, FixturesDecode) {
    for (const generated& g : generated_fixtures) EXPECT_TRUE(decode(make_png(g)).ok) << g.name;
    EXPECT_TRUE(decode(make_png(sixteen_bit)).ok);
}

// "-l" at every effort level: identical visible pixels, never larger, exit 0;
// a second run at the same level changes nothing or makes the file smaller.
TEST_P(PngE2eRuns, LosslessEveryLevel) {
    for (int level = 0; level <= 4; ++level) {
        temp_folder tmp;
        const std::string dir = tmp / "in";
        originals files;
        ASSERT_TRUE(fill(dir, files));
        const std::string level_option = "-png-s" + std::to_string(level);
        ASSERT_EQ(run_engine(tmp, {"-l", level_option, dir}), 0) << level_option;
        expect_lossless(files, dir, level_option);

        originals first;
        for (const auto& entry : files) first[entry.first] = read_file(dir + "/" + entry.first);
        ASSERT_EQ(run_engine(tmp, {"-l", level_option, dir}), 0) << level_option << " again";
        for (const auto& [name, once] : first) {
            const std::string twice = read_file(dir + "/" + name);
            EXPECT_LE(twice.size(), once.size()) << level_option << " again " << name;
            EXPECT_TRUE(same_visible_pixels(decode(files.at(name)), decode(twice))) << level_option << " again " << name;
        }
    }
}

// Automatic and lossy runs may change pixels, but give valid PNGs of the same
// size in pixels, never larger than the input; 16-bit inputs are taken as 8-bit.
TEST_P(PngE2eRuns, AutomaticAndQualityRunsGiveValidSmallerFiles) {
    const std::vector<std::vector<std::string>> option_sets = {{}, {"-q=70"}, {"-q=100", "-png-s1"}, {"-q=1", "-png-s0"}};
    for (const auto& options : option_sets) {
        temp_folder tmp;
        const std::string dir = tmp / "in";
        originals files;
        ASSERT_TRUE(fill(dir, files));
        if (GetParam() == source::generated) {
            for (const generated& g : {sixteen_bit, grey_alpha16, mid_sized}) {
                files[g.name] = make_png(g);
                write_file(dir + "/" + g.name, files[g.name]);
            }
        }
        std::vector<std::string> args = options;
        args.push_back(dir);
        std::string what;
        for (const std::string& o : options) what += o + " ";
        EXPECT_EQ(run_engine(tmp, args), 0) << what;
        expect_valid_not_larger(files, dir, what);
    }
}

// Shrinking and sRGB conversion before the lossy roads: every rewritten file
// decodes and fits the target.
TEST_P(PngE2eRuns, ResizeAndSrgbRuns) {
    temp_folder tmp;
    const std::string dir = tmp / "in";
    originals files;
    ASSERT_TRUE(fill(dir, files));
    EXPECT_EQ(run_engine(tmp, {"-resize=24", "-srgb", dir}), 0);
    for (const auto& [name, before] : files) {
        const std::string after = read_file(dir + "/" + name);
        EXPECT_LE(after.size(), before.size()) << name;
        const rgba16 in = decode(before);
        const rgba16 out = decode(after);
        ASSERT_TRUE(out.ok) << name;
        if (after != before && std::max(in.width, in.height) > 24) {
            EXPECT_LE(std::max(out.width, out.height), 24u) << name;
        }
    }
}

// A 16-bit file cannot be kept lossless in 8 bits: result 1 and untouched.
TEST(PngE2e, SixteenBitLosslessFailsUntouched) {
    for (const generated& g : {sixteen_bit, grey_alpha16}) {
        temp_folder tmp;
        const std::string path = tmp / g.name;
        const std::string bytes = make_png(g);
        write_file(path, bytes);
        EXPECT_EQ(run_engine(tmp, {"-quiet", "-l", path}), 1) << g.name;
        EXPECT_EQ(run_engine(tmp, {"-l", "-png-s2", path}), 2) << g.name;  // a single-file run that failed
        EXPECT_EQ(read_file(path), bytes) << g.name;
    }
}

// One file alone runs its trial encodes in parallel sections; beside another
// file the same trials run one after another. Both give lossless results.
TEST(PngE2e, ParallelAndSequentialTrials) {
    for (const char* level : {"-png-s0", "-png-s1", "-png-s2"}) {
        temp_folder tmp;
        const std::string original = make_png(mid_sized);
        const std::string alone = tmp / "alone.png";
        write_file(alone, original);
        EXPECT_EQ(run_engine(tmp, {"-l", level, alone}), 0) << level;

        const std::string dir = tmp / "pair";
        fs::create_directories(dir);
        write_file(dir + "/a.png", original);
        write_file(dir + "/b.png", make_png(generated_fixtures[0]));
        EXPECT_EQ(run_engine(tmp, {"-l", level, dir}), 0) << level;
        // -process=1 keeps even a single file on one thread.
        const std::string single_thread = tmp / "one-thread.png";
        write_file(single_thread, original);
        EXPECT_EQ(run_engine(tmp, {"-l", "-process=1", level, single_thread}), 0) << level;

        for (const std::string& path : {alone, dir + "/a.png", single_thread}) {
            const std::string after = read_file(path);
            EXPECT_LT(after.size(), original.size()) << level << " " << path;
            EXPECT_TRUE(same_visible_pixels(decode(original), decode(after))) << level << " " << path;
        }
    }
}

// Chunks as text: building one, and the type and data of each chunk of a file.
std::string u32(uint32_t v) { return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }

std::string chunk(const std::string& type, const std::string& data) {
    const std::string body = type + data;
    const uint32_t crc = uint32_t(::crc32(0, reinterpret_cast<const Bytef*>(body.data()), uInt(body.size())));
    return u32(uint32_t(data.size())) + body + u32(crc);
}

std::vector<std::pair<std::string, std::string>> chunks_of(const std::string& png) {
    std::vector<std::pair<std::string, std::string>> list;
    for (size_t pos = 8; pos + 12 <= png.size();) {
        const uint32_t len = (uint32_t(uint8_t(png[pos])) << 24) | (uint32_t(uint8_t(png[pos + 1])) << 16) |
                             (uint32_t(uint8_t(png[pos + 2])) << 8) | uint32_t(uint8_t(png[pos + 3]));
        list.emplace_back(png.substr(pos + 4, 4), png.substr(pos + 8, len));
        pos += 12 + len;
    }
    return list;
}

// An animation chunk list: IHDR, acTL, fcTL, IDAT, fcTL, fdAT, IEND, built
// from a generated still image.
std::string make_animation() {
    const std::string still = make_png({"frame", 16, 16, PNG_COLOR_TYPE_RGBA, 8, false, 0, 0, 0});
    auto fctl = [&](uint32_t seq) {
        return chunk("fcTL", u32(seq) + u32(16) + u32(16) + u32(0) + u32(0) + std::string{0, 1, 0, 10, 0, 0});
    };
    std::string idat_data;
    for (const auto& [type, data] : chunks_of(still))
        if (type == "IDAT") idat_data += data;
    const size_t after_ihdr = 8 + 25;
    return still.substr(0, after_ihdr) + chunk("acTL", u32(2) + u32(0)) + fctl(0) + chunk("IDAT", idat_data) +
           fctl(1) + chunk("fdAT", u32(2) + idat_data) + chunk("IEND", "");
}

// A palette file rebuilt chunk by chunk: `edit` may change a chunk's data
// (the CRC is made to fit) and returns whether to keep it; `damage` names a
// chunk whose first data byte is flipped after its CRC was made, and gAMA
// goes in front of the palette so that the damage follows a skipped chunk.
std::string rebuilt(const std::string& png, const std::function<bool(const std::string&, std::string&)>& edit,
                    const std::string& damage = "") {
    auto add = [&damage](std::string& out, const std::string& type, const std::string& data) {
        std::string whole = chunk(type, data);
        if (type == damage) whole[8] = char(whole[8] ^ 0x20);
        out += whole;
    };
    std::string out = png.substr(0, 8);
    for (auto [type, data] : chunks_of(png)) {
        if (type == "PLTE") add(out, "gAMA", u32(45455));
        if (edit(type, data)) add(out, type, data);
    }
    return out;
}

// A palette image without its palette, with indices past it, or with a
// damaged chunk after a skipped one is never rewritten, on any road.
TEST(PngE2e, DamagedPalettesAndChunksFailUntouched) {
    const std::string four = make_png(generated_fixtures[5]);  // 12 entries, all in use, and a tRNS
    auto keep = [](const std::string&, std::string&) { return true; };
    const std::map<std::string, std::string> damaged = {
        {"no-plte.png",
         rebuilt(four, [](const std::string& type, std::string&) { return type != "PLTE" && type != "tRNS"; })},
        {"short-plte.png", rebuilt(four, [](const std::string& type, std::string& data) {
             if (type == "PLTE") data.resize(15);
             return true;
         })},
        {"idat-damaged.png", rebuilt(four, keep, "IDAT")},
        {"plte-damaged.png", rebuilt(four, keep, "PLTE")},
        {"trns-damaged.png", rebuilt(four, keep, "tRNS")},
        {"gama-damaged.png", rebuilt(four, keep, "gAMA")},
    };
    const std::string sound = rebuilt(four, keep);
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{"-l", "-png-s0"}, {"-l", "-png-s2"}, {}, {"-q=70"}}) {
        temp_folder tmp;
        const std::string dir = tmp / "in";
        fs::create_directories(dir);
        for (const auto& [name, bytes] : damaged) write_file(dir + "/" + name, bytes);
        write_file(dir + "/sound.png", sound);
        std::vector<std::string> args = options;
        args.push_back(dir);
        std::string what;
        for (const std::string& o : options) what += o + " ";
        EXPECT_EQ(run_engine(tmp, args), 1) << what;
        for (const auto& [name, bytes] : damaged) EXPECT_EQ(read_file(dir + "/" + name), bytes) << what << name;
        EXPECT_LT(read_file(dir + "/sound.png").size(), sound.size()) << what;
    }
}

// Animated files go through their own road and never grow; a preview of one
// is refused (exit code 22) and leaves the file and the data folder as they
// were.
void expect_animation_never_grows(const std::string& name, const std::string& bytes) {
    const std::vector<std::pair<std::vector<std::string>, int>> runs = {
        {{"-l", "-png-s1"}, 0}, {{"-png-s1"}, 0}, {{"-q=70", "-png-s1"}, 0}, {{"-png-s0"}, 0},
        {{"-preview-check"}, 22}, {{"-preview"}, 22}, {{"-preview-original"}, 22}, {{"-quiet", "-preview"}, 22},
    };
    for (const auto& [options, status] : runs) {
        temp_folder tmp;
        fs::create_directories(tmp / "appdata");
        const std::string path = tmp / name;
        write_file(path, bytes);
        std::vector<std::string> args = options;
        args.push_back(path);
        std::string what = name;
        for (const std::string& o : options) what += " " + o;
        EXPECT_EQ(run_engine(tmp, args), status) << what;
        const std::string after = read_file(path);
        if (status == 22) {
            EXPECT_EQ(after, bytes) << what;
        } else {
            EXPECT_LE(after.size(), bytes.size()) << what;
            EXPECT_EQ(after.compare(0, 8, bytes, 0, 8), 0) << what;
        }
        EXPECT_TRUE(fs::is_empty(tmp / "appdata")) << what;
    }
}

TEST(PngE2e, AnimationsNeverGrowAndRefusePreviews) { expect_animation_never_grows("generated.png", make_animation()); }

TEST(PngE2e, CorpusAnimationNeverGrowsAndRefusesPreviews) {
    if (corpus_root().empty()) GTEST_SKIP() << "the shared corpus is not there (VELTO_CORPUS)";
    const std::string bytes = read_file(corpus_root() + "/apng/animated-red-blue-loop3.png");
    ASSERT_FALSE(bytes.empty()) << "apng/animated-red-blue-loop3.png missing from the corpus";
    expect_animation_never_grows("red-blue.png", bytes);
}

// A still PNG can always be previewed: the check answers 0 and touches nothing.
TEST(PngE2e, StillPreviewCheckTouchesNothing) {
    temp_folder tmp;
    fs::create_directories(tmp / "appdata");
    const std::string path = tmp / "still.png";
    const std::string bytes = make_png(generated_fixtures[1]);
    write_file(path, bytes);
    EXPECT_EQ(run_engine(tmp, {"-preview-check", path}), 0);
    EXPECT_EQ(read_file(path), bytes);
    EXPECT_TRUE(fs::is_empty(tmp / "appdata"));
}

}  // namespace
