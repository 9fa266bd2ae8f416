// The lossy JPEG road and the JPEG views, run through the pipeline's entry on
// files built in the test: what is rewritten and how (size, layout, scans,
// metadata, turn), the decoder's scaling with a resize target, the preview
// files and their sizes, and the refusals that must leave every file as it
// was and no temporary file behind.
#include <gtest/gtest.h>

#include <png.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "core/job.h"
#include "core/jpg/jpeg_optimizer.h"
#include "core/options.h"
#include "core/temp_folder.h"
#include "jpg/jpeg_fixture.h"

namespace {

using namespace jpeg_fixture;
namespace fs = boost::filesystem;

using flag_setter = std::function<void(default_flags&)>;

// One run of the pipeline on `input` with LOCALAPPDATA in a folder of its own.
struct road_run {
    temp_folder tmp;
    std::string path;
    std::string appdata;
    image_job job{};
    bytes before, after;

    road_run(const bytes& input, const flag_setter& set) {
        path = tmp / "image.jpg";
        appdata = tmp / "appdata";
        fs::create_directories(appdata);
        ::setenv("LOCALAPPDATA", appdata.c_str(), 1);
        before = input;
        write_file(path, std::string(input.begin(), input.end()));
        default_flags flags;
        init_default_flags(flags);
        if (set) set(flags);
        init_image_job(job, flags, uint32_t(input.size()));
        optimize_jpeg_file(path, job);
        const std::string a = read_file(path);
        after.assign(a.begin(), a.end());
    }
    bool rewritten() const { return after != before; }
    std::vector<std::string> data_files() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(appdata)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    bytes data_file(const std::string& name) const {
        const std::string s = read_file(appdata + "/" + name);
        return bytes(s.begin(), s.end());
    }
};

// A smooth, photo-like picture with fine grain: progressive scans pay off on
// it, as on photographs.
uint8_t photo_like(int x, int y, int c) {
    const double v = 128 + 70 * std::sin(x / 23.0 + c) * std::cos(y / 31.0 - c) + 20 * std::sin((x + 2 * y) / 7.0);
    return uint8_t(int(v) + ((x * 7 + y * 13 + c * 5) % 9));
}

bytes make(int width, int height, int quality, const std::function<void(encode_options&)>& more = nullptr) {
    encode_options o;
    o.width = width;
    o.height = height;
    o.quality = quality;
    o.pixel = photo_like;
    if (more) more(o);
    return encode(o);
}

// Mean absolute difference of two decoded images of the same size and layout.
double mean_difference(const decoded& a, const decoded& b) {
    if (!a.ok || !b.ok || a.pixels.size() != b.pixels.size() || a.pixels.empty()) return 1e9;
    double sum = 0;
    for (size_t i = 0; i < a.pixels.size(); ++i) sum += std::abs(int(a.pixels[i]) - int(b.pixels[i]));
    return sum / double(a.pixels.size());
}

const std::string result_name = "temp-result-jpg.jpg";
const std::string view_name = "temp-view.png";

TEST(JpegLossyRoad, OutcomeByOptions) {
    const struct {
        const char* label;
        int quality;  // of the source: 98 re-encodes smaller, 30 larger
        std::function<void(encode_options&)> source;
        flag_setter set;
        bool rewritten;
        int components;  // of the result (rewritten file or preview result)
        int frame;
        std::vector<std::string> data_files;
    } cases[] = {
        {"default: smaller, sequential", 98, nullptr, nullptr, true, 3, 0xC0, {}},
        {"-jpg-s2: the final lossless pass makes it progressive", 98, nullptr,
         [](default_flags& f) { f.jpeg_level = 2; }, true, 3, 0xC2, {}},
        {"low-quality source: the result is larger, the file stays", 30, nullptr, nullptr, false, 0, 0, {}},
        {"-preview: result and view written even when larger, file untouched", 30, nullptr,
         [](default_flags& f) { f.preview = 1; }, false, 3, 0xC0, {result_name, view_name}},
        {"grey content at full chroma: one component", 98,
         [](encode_options& o) {
             o.grey_content = true;
             o.h0 = o.v0 = 1;
         },
         nullptr, true, 1, 0xC0, {}},
        {"grey content from a subsampled source: 4:2:0 is kept", 98,
         [](encode_options& o) { o.grey_content = true; }, nullptr, true, 3, 0xC0, {}},
        {"grey content, subsampled, -jpg-s3: the final pass reduces it to grey", 98,
         [](encode_options& o) { o.grey_content = true; }, [](default_flags& f) { f.jpeg_level = 3; }, true, 1,
         0xC2, {}},
        {"one-component source", 98,
         [](encode_options& o) {
             o.input = JCS_GRAYSCALE;
             o.h0 = o.v0 = 1;
         },
         nullptr, true, 1, 0xC0, {}},
    };
    for (const auto& c : cases) {
        const bytes input = make(512, 384, c.quality, c.source);
        road_run r(input, c.set);
        EXPECT_EQ(r.job.result, 0) << c.label;
        EXPECT_EQ(r.rewritten(), c.rewritten) << c.label;
        EXPECT_EQ(r.data_files(), c.data_files) << c.label;
        const bytes result = r.rewritten() ? r.after : !c.data_files.empty() ? r.data_file(result_name) : bytes{};
        if (c.rewritten) {
            EXPECT_LT(r.after.size(), input.size()) << c.label;
        } else {
            EXPECT_GE(r.job.current_size, r.job.input_size) << c.label;
        }
        if (result.empty()) continue;
        const decoded in = decode(input), out = decode(result);
        ASSERT_TRUE(out.ok) << c.label;
        EXPECT_EQ(out.warnings, 0) << c.label;
        EXPECT_EQ(out.width, 512) << c.label;
        EXPECT_EQ(out.height, 384) << c.label;
        EXPECT_EQ(out.components, c.components) << c.label;
        EXPECT_EQ(frame_marker(result), c.frame) << c.label;
        if (out.components == in.components) {
            EXPECT_LT(mean_difference(in, out), 12.0) << c.label;
        }
    }
}

// The decoder scales by 1/8, 1/4 or 1/2 and the resampler does the rest; the
// size kept from the decoder rounds down, never below one pixel. The longer
// side always ends at the target, however thin the image.
TEST(JpegLossyRoad, ResizeTargets) {
    const struct {
        const char* label;
        int width, height;
        uint16_t target;
        int out_width, out_height;
    } cases[] = {
        {"1000 x 1000 to 100: decoded at 1/8", 1000, 1000, 100, 100, 100},
        {"1000 x 1000 to 200: decoded at 1/4", 1000, 1000, 200, 200, 200},
        {"1000 x 1000 to 1000: no resize", 1000, 1000, 1000, 1000, 1000},
        {"800 x 1001 to 400: 1/2 keeps 400 x 500 of the decoder's 501 rows", 800, 1001, 400, 320, 400},
        {"4000 x 3 to 100: the height kept at one pixel", 4000, 3, 100, 100, 1},
        {"1600 x 8 to 100: 200 x 1 from the decoder, then the width", 1600, 8, 100, 100, 1},
        {"1000 x 1 to 100: 125 x 1 from the decoder, then the width", 1000, 1, 100, 100, 1},
        {"8 x 1600 to 100: the same standing", 8, 1600, 100, 1, 100},
        {"101 x 50 to 100: the height would round back to 50", 101, 50, 100, 100, 50},
    };
    for (const auto& c : cases) {
        const bytes input = make(c.width, c.height, 98);
        road_run r(input, [&](default_flags& f) { f.resize_target = c.target; });
        EXPECT_EQ(r.job.result, 0) << c.label;
        ASSERT_TRUE(r.rewritten()) << c.label;
        const decoded out = decode(r.after);
        ASSERT_TRUE(out.ok) << c.label;
        EXPECT_EQ(out.width, c.out_width) << c.label;
        EXPECT_EQ(out.height, c.out_height) << c.label;
    }
}

// Damaged or unencodable input: result 1, the file as it was, and nothing in
// the data folder (no preview file, no temporary file of the turn).
TEST(JpegLossyRoad, RefusalsWriteNothing) {
    const bytes whole = make(96, 64, 98, [](encode_options& o) { o.segments = {{0xE1, exif_block(6)}}; });
    const bytes truncated(whole.begin(), whole.begin() + long(whole.size() * 2 / 3));
    auto cmyk = [](std::vector<segment> icc) {
        return make(48, 32, 98, [&](encode_options& o) {
            o.input = JCS_CMYK;
            o.segments = icc;
        });
    };
    const bytes cmyk_broken_chain = cmyk({{0xE2, icc_chunk(1, 2, std::string(200, 'p'))}});
    const bytes cmyk_unusable_profile = cmyk({{0xE2, icc_chunk(1, 1, std::string(300, 'p'))}});
    // More pixels than the encoder takes: a preview is refused before
    // anything is decoded (without one the file goes lossless instead).
    const bytes too_large = with_size(make(64, 64, 98, [](encode_options& o) {
        o.input = JCS_GRAYSCALE;
        o.h0 = o.v0 = 1;
    }), 16400, 8200);
    const flag_setter srgb = [](default_flags& f) { f.srgb = 1; };
    const struct {
        const char* label;
        const bytes& input;
        flag_setter set;
    } cases[] = {
        {"damaged image data", truncated, nullptr},
        {"damaged, -rotate: the turn refuses it", truncated, [](default_flags& f) { f.rotate = 1; }},
        {"damaged, -resize=", truncated, [](default_flags& f) { f.resize_target = 50; }},
        {"damaged, -preview", truncated, [](default_flags& f) { f.preview = 1; }},
        {"CMYK with -srgb, profile chunks incomplete", cmyk_broken_chain, srgb},
        {"CMYK with -strip -srgb, profile unusable", cmyk_unusable_profile,
         [](default_flags& f) {
             f.srgb = 1;
             f.metadata_mode = 2;
         }},
        {"more pixels than the encoder takes, -preview", too_large, [](default_flags& f) { f.preview = 1; }},
    };
    for (const auto& c : cases) {
        road_run r(c.input, c.set);
        EXPECT_EQ(r.job.result, 1) << c.label;
        EXPECT_FALSE(r.rewritten()) << c.label;
        EXPECT_EQ(r.data_files(), std::vector<std::string>{}) << c.label;
    }
}

// A flat grey image with the library's standard tables: many pixels in about
// 1.5 MB, written row by row in a fraction of a second.
bytes flat_grey(int width, int height) {
    jpeg_compress_struct cinfo;
    raising_error err;
    cinfo.err = jpeg_std_error(&err);
    err.error_exit = jump_out;
    unsigned char* out = nullptr;
    unsigned long out_size = 0;
    const bytes row(size_t(width), 128);
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        std::free(out);
        ADD_FAILURE() << "fixture encode failed";
        return {};
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, &out, &out_size);
    cinfo.image_width = JDIMENSION(width);
    cinfo.image_height = JDIMENSION(height);
    cinfo.input_components = 1;
    cinfo.in_color_space = JCS_GRAYSCALE;
    jpeg_set_defaults(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW p = const_cast<JSAMPROW>(row.data());
        jpeg_write_scanlines(&cinfo, &p, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    bytes result(out, out + out_size);
    std::free(out);
    return result;
}

// A valid image with more pixels than the encoder takes (2^27) and no resize
// target goes the lossless road at the lossless default level: optimised
// Huffman tables, the same size and frame type.
TEST(JpegLossyRoad, ImageBeyondTheEncoderGoesLossless) {
    const bytes input = flat_grey(11600, 11600);  // 134,560,000 pixels
    ASSERT_FALSE(input.empty());
    road_run r(input, nullptr);
    EXPECT_EQ(r.job.result, 0);
    EXPECT_EQ(r.job.mode, mode_lossless);
    EXPECT_EQ(r.job.jpeg_level, 1);
    ASSERT_TRUE(r.rewritten());
    EXPECT_LT(r.after.size(), input.size());
    EXPECT_EQ(frame_marker(r.after), 0xC0);
    bytes frame;
    walk_markers(r.after, [&](int m, const uint8_t* d, size_t n) {
        if (m == 0xC0) frame.assign(d, d + n);
    });
    ASSERT_GE(frame.size(), 6u);
    EXPECT_EQ(frame[1] << 8 | frame[2], 11600);  // height
    EXPECT_EQ(frame[3] << 8 | frame[4], 11600);  // width
}

// Colour quadrants (top left red, top right yellow, bottom left blue, bottom
// right cyan), so that a turn shows, with texture, so that the re-encode is
// smaller than the source.
bytes quadrant_source(int width, int height, std::vector<segment> segments) {
    return make(width, height, 98, [&](encode_options& o) {
        o.segments = std::move(segments);
        o.pixel = [width, height](int x, int y, int c) {
            const bool right = x >= width / 2, bottom = y >= height / 2;
            const bool on = c == 0 ? !bottom : c == 1 ? right : bottom;
            return uint8_t((on ? 255 : 0) ^ (pattern(x, y, c, 3) & 15));
        };
    });
}

// The source turned 90 degrees clockwise, as orientation 6 asks.
decoded turned_clockwise(const decoded& in) {
    decoded t = in;
    t.width = in.height;
    t.height = in.width;
    for (int y = 0; y < t.height; ++y)
        for (int x = 0; x < t.width; ++x)
            for (int c = 0; c < 3; ++c)
                t.pixels[(size_t(y) * t.width + x) * 3 + c] =
                    in.pixels[(size_t(in.height - 1 - x) * in.width + y) * 3 + c];
    return t;
}

TEST(JpegLossyRoad, RotationByOrientation) {
    const bytes input = quadrant_source(64, 48, {{0xE1, exif_block(6)}});
    ASSERT_FALSE(input.empty());
    const decoded in = decode(input);
    const struct {
        const char* label;
        flag_setter set;
        bool turned;
    } cases[] = {
        {"-rotate: turned, the orientation tag dropped", [](default_flags& f) { f.rotate = 1; }, true},
        {"-rotate -jpg-s2: the same after the final pass",
         [](default_flags& f) {
             f.rotate = 1;
             f.jpeg_level = 2;
         },
         true},
        {"no -rotate: as stored, the tag kept", nullptr, false},
        // The turn is made in memory: it needs no data folder, and nothing
        // in one (where others may write) can stand in for the turned copy.
        {"-rotate without a usable data folder: turned all the same",
         [](default_flags& f) {
             f.rotate = 1;
             ::setenv("LOCALAPPDATA", "/dev/null/velto", 1);
         },
         true},
    };
    for (const auto& c : cases) {
        road_run r(input, c.set);
        EXPECT_EQ(r.job.result, 0) << c.label;
        ASSERT_TRUE(r.rewritten()) << c.label;
        const decoded out = decode(r.after);
        const decoded expected = c.turned ? turned_clockwise(in) : in;
        ASSERT_EQ(out.width, expected.width) << c.label;
        ASSERT_EQ(out.height, expected.height) << c.label;
        EXPECT_LT(mean_difference(out, expected), 12.0) << c.label;
        int exif_segments = 0;
        for (const segment& s : segments_of(r.after)) exif_segments += s.marker == 0xE1;
        EXPECT_EQ(exif_segments, c.turned ? 0 : 1) << c.label;
        EXPECT_EQ(r.data_files(), std::vector<std::string>{}) << c.label;  // the turned copy is gone
    }
}

TEST(JpegLossyRoad, MetadataByMode) {
    const std::string xmp_signature("http://ns.adobe.com/xap/1.0/\0", 29);
    const segment exif{0xE1, exif_block(6)};
    const segment xmp{0xE1, text(xmp_signature + "<x:xmpmeta>packet</x:xmpmeta>")};
    const segment icc{0xE2, icc_chunk(1, 1, std::string(400, 'i'))};
    const segment photoshop{0xED, text(std::string("Photoshop 3.0\0", 14) + "8BIM data")};
    const segment comment{0xFE, text("a comment")};
    // The library's JFIF segment comes first.
    const bytes input = make(96, 64, 98, [&](encode_options& o) { o.segments = {exif, xmp, icc, photoshop, comment}; });
    const struct {
        const char* label;
        flag_setter set;
        std::vector<segment> kept;  // in the encoder's order: Exif, ICC, XMP, the rest
    } cases[] = {
        {"-nostrip: all from the first known segment on, no comment", [](default_flags& f) { f.metadata_mode = 0; },
         {exif, icc, xmp, photoshop}},
        {"default: Exif with its orientation and the profile", nullptr, {exif, icc}},
        {"default -jpg-s2: the final pass keeps the same", [](default_flags& f) { f.jpeg_level = 2; }, {exif, icc}},
        {"default -rotate: the turn drops the Exif block", [](default_flags& f) { f.rotate = 1; }, {icc}},
        {"-strip: nothing", [](default_flags& f) { f.metadata_mode = 2; }, {}},
    };
    for (const auto& c : cases) {
        road_run r(input, c.set);
        EXPECT_EQ(r.job.result, 0) << c.label;
        ASSERT_TRUE(r.rewritten()) << c.label;
        EXPECT_EQ(segments_of(r.after), c.kept) << c.label;
        EXPECT_TRUE(decode(r.after).ok) << c.label;
    }
}

struct png_view {
    uint32_t width = 0, height = 0;
    int colour_type = -1, bit_depth = -1;
    bool grey_opaque = true;  // every pixel R = G = B with alpha 255
};

png_view read_view(const bytes& png) {
    png_view v;
    if (png.size() < 33) return v;
    v.bit_depth = png[24];
    v.colour_type = png[25];
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, png.data(), png.size())) return v;
    image.format = PNG_FORMAT_RGBA;
    std::vector<uint8_t> rgba(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, rgba.data(), 0, nullptr)) return v;
    v.width = image.width;
    v.height = image.height;
    for (size_t i = 0; i + 3 < rgba.size(); i += 4)
        if (rgba[i] != rgba[i + 1] || rgba[i] != rgba[i + 2] || rgba[i + 3] != 255) v.grey_opaque = false;
    return v;
}

TEST(JpegPreview, ViewFiles) {
    const flag_setter original = [](default_flags& f) { f.preview_original = 1; };
    const struct {
        const char* label;
        int width, height;
        J_COLOR_SPACE input;
        flag_setter set;
        uint32_t view_width, view_height;
        std::vector<std::string> files;
    } cases[] = {
        {"4000 x 3000 grey: tall view", 4000, 3000, JCS_GRAYSCALE, original, 1133, 850, {view_name}},
        {"2000 x 1000: wide view", 2000, 1000, JCS_RGB, original, 1536, 768, {view_name}},
        {"1000 x 800: as it is", 1000, 800, JCS_RGB, original, 1000, 800, {view_name}},
        {"1000 x 800 with -resize=500", 1000, 800, JCS_RGB,
         [](default_flags& f) {
             f.preview_original = 1;
             f.resize_target = 500;
         },
         500, 400, {view_name}},
        {"-preview: the result's view", 1000, 800, JCS_RGB, [](default_flags& f) { f.preview = 1; }, 1000, 800,
         {result_name, view_name}},
        // The road decodes at 1/4 and keeps 250 x 150 without resampling; the
        // view of that result is not scaled again.
        {"-preview -resize=250 of 1003 x 600", 1003, 600, JCS_RGB,
         [](default_flags& f) {
             f.preview = 1;
             f.resize_target = 250;
         },
         250, 150, {result_name, view_name}},
    };
    for (const auto& c : cases) {
        const bytes input = make(c.width, c.height, 90, [&](encode_options& o) { o.input = c.input; });
        road_run r(input, c.set);
        EXPECT_EQ(r.job.result, 0) << c.label;
        EXPECT_FALSE(r.rewritten()) << c.label;
        EXPECT_EQ(r.data_files(), c.files) << c.label;
        const png_view v = read_view(r.data_file(view_name));
        EXPECT_EQ(v.width, c.view_width) << c.label;
        EXPECT_EQ(v.height, c.view_height) << c.label;
        EXPECT_EQ(v.colour_type, 6) << c.label;
        EXPECT_EQ(v.bit_depth, 8) << c.label;
        if (c.input == JCS_GRAYSCALE) {
            EXPECT_TRUE(v.grey_opaque) << c.label;
        }
        if (c.files.size() == 2) {
            EXPECT_TRUE(decode(r.data_file(result_name)).ok) << c.label;
        }
    }
}

}  // namespace
