// Output building: which input chunks come back where for each metadata mode,
// dropping of sample chunks that no longer fit the output, replacement only by
// a smaller result that reads back, and the preview files with their views.
#include "core/png/png_output.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "core/png/codec/decode.h"
#include "png/png_fixture.h"

namespace {

using fixture::bytes;
using fixture::chunk;
using fixture::text;
using types = std::vector<std::string>;

// Two opaque colours in a pattern: the encoder's automatic choice is a palette.
bytes two_colour_image(uint32_t width, uint32_t height) {
    return fixture::make_image(width, height, [](uint32_t x, uint32_t y) {
        return (x + y) % 3 ? std::array<int, 4>{200, 30, 40, 255} : std::array<int, 4>{10, 90, 250, 255};
    });
}

bytes encode_with_type(const bytes& image, uint32_t width, uint32_t height, uint32_t colour_type) {
    lodepng::State state;
    state.encoder.compression.block_type = 0;
    state.encoder.auto_colour = 0;
    state.encoder.filter_strategy_code = 0;
    state.file_info.colour.colour_type = colour_type;
    state.file_info.colour.bit_depth = 8;
    bytes out;
    EXPECT_EQ(encode_png(out, image, width, height, state, nullptr), 0u);
    return out;
}

image_job job_for(uint32_t width, uint32_t height, uint8_t metadata_mode, uint8_t keep_icc) {
    image_job job{};
    job.width = width;
    job.height = height;
    job.pixel_count = width * height;
    job.bytes_per_pixel = 4;
    job.metadata_mode = metadata_mode;
    job.keep_icc = keep_icc;
    return job;
}

// Runs the stage with LOCALAPPDATA pointing at a folder of the test's own.
class PngOutput : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("LOCALAPPDATA");
        had_old_ = old != nullptr;
        if (old) old_ = old;
        ::setenv("LOCALAPPDATA", (folder_ / "appdata").c_str(), 1);
    }
    void TearDown() override {
        if (had_old_)
            ::setenv("LOCALAPPDATA", old_.c_str(), 1);
        else
            ::unsetenv("LOCALAPPDATA");
    }
    std::string appdata(const std::string& name) const { return folder_ / ("appdata/" + name); }
    std::string input_path() const { return folder_ / "input.png"; }

    // A normal run on a file holding `input`; returns what is in the file afterwards.
    bytes run(const bytes& input, bytes result, image_job& job) {
        fixture::write_bytes(input_path(), input);
        bytes image(size_t(job.width) * job.height * 4, 128);
        write_png_result(input_path(), input, result, image, job);
        return fixture::read_bytes(input_path());
    }

    // The assembled file, taken from a preview run.
    bytes assembled(const bytes& input, bytes result, image_job job) {
        job.preview = 1;
        bytes image(size_t(job.width) * job.height * 4, 128);
        write_png_result(input_path(), input, result, image, job);
        return fixture::read_bytes(appdata(preview_result_png_name));
    }

    fixture::scratch_folder folder_{true};
    bool had_old_ = false;
    std::string old_;
};

// An RGBA input with every kind of chunk before its IDAT and a text chunk
// after it; the result is the same image as a palette PNG.
struct metadata_fixture {
    static constexpr uint32_t kWidth = 12, kHeight = 10;
    std::map<std::string, bytes> chunks;
    bytes input, result;

    metadata_fixture() {
        const bytes image = two_colour_image(kWidth, kHeight);
        chunks = {
            {"iCCP", chunk("iCCP", fixture::iccp_data(bytes(200, 7)))},
            {"gAMA", chunk("gAMA", {0, 0, 0xB1, 0x8F})},
            {"sRGB", chunk("sRGB", {0})},
            {"tEXt", chunk("tEXt", text(std::string("Title\0early", 11)))},
            {"pHYs", chunk("pHYs", {0, 0, 0x0B, 0x13, 0, 0, 0x0B, 0x13, 1})},
            {"bKGD", chunk("bKGD", {0, 255, 0, 255, 0, 255})},
            {"sBIT", chunk("sBIT", {8, 8, 8, 8})},
            {"npTc", chunk("npTc", {1, 2, 3, 4})},
            {"tRNS", chunk("tRNS", {0, 1, 0, 2, 0, 3})},
            {"late", chunk("tEXt", text(std::string("Comment\0late", 12)))},
        };
        const bytes plain = fixture::encode_stored(image, kWidth, kHeight, true);
        input = fixture::insert_before(plain, "IDAT",
                                       {chunks["iCCP"], chunks["gAMA"], chunks["sRGB"], chunks["tEXt"],
                                        chunks["pHYs"], chunks["bKGD"], chunks["sBIT"], chunks["npTc"],
                                        chunks["tRNS"]});
        input = fixture::insert_before(input, "IEND", {chunks["late"]});
        result = fixture::encode_stored(image, kWidth, kHeight, false);
    }
};

TEST_F(PngOutput, ChunksKeptPerMetadataMode) {
    metadata_fixture f;
    ASSERT_EQ(fixture::chunk_types(f.result), (types{"IHDR", "PLTE", "IDAT", "IEND"}));
    ASSERT_LT(f.result.size(), f.input.size());
    struct test_case {
        const char* label;
        uint8_t mode;
        uint8_t keep_icc;
        types expected;
    };
    const std::vector<test_case> cases = {
        {"-strip", 2, 0, {"IHDR", "PLTE", "IDAT", "IEND"}},
        {"default with profile", 1, 1, {"IHDR", "iCCP", "npTc", "PLTE", "IDAT", "IEND"}},
        {"default, profile converted", 1, 0, {"IHDR", "PLTE", "IDAT", "IEND"}},
        {"-nostrip", 0, 1,
         {"IHDR", "iCCP", "gAMA", "sRGB", "tEXt", "npTc", "PLTE", "pHYs", "IDAT", "tEXt", "IEND"}},
        {"-nostrip, profile converted", 0, 0,
         {"IHDR", "gAMA", "sRGB", "tEXt", "npTc", "PLTE", "pHYs", "IDAT", "tEXt", "IEND"}},
    };
    for (const auto& c : cases) {
        image_job job = job_for(f.kWidth, f.kHeight, c.mode, c.keep_icc);
        const bytes written = run(f.input, f.result, job);
        EXPECT_EQ(job.result, 0) << c.label;
        EXPECT_EQ(fixture::chunk_types(written), c.expected) << c.label;
        // Kept chunks are the input's bytes; the image chunks are the result's.
        for (const auto& k : fixture::chunks_of(written)) {
            if (k.type == "IHDR" || k.type == "PLTE" || k.type == "IDAT" || k.type == "IEND") continue;
            const std::string key = (k.type == "tEXt" && k.whole.size() == f.chunks["late"].size() &&
                                     k.whole == f.chunks["late"])
                                        ? "late"
                                        : k.type;
            EXPECT_EQ(k.whole, f.chunks[key]) << c.label << " " << k.type;
        }
        lodepng::State state;
        bytes pixels;
        uint32_t w = 0, h = 0;
        EXPECT_EQ(decode_png(pixels, w, h, state, written), 0u) << c.label;
    }
}

// Under "-nostrip" the chunks that describe samples stay only while they fit
// the output's colour type, depth and palette.
TEST_F(PngOutput, SampleChunksFollowTheOutputFormat) {
    const uint32_t w = 6, h = 5;
    const bytes image = two_colour_image(w, h);
    const bytes rgba = encode_with_type(image, w, h, 6);
    const bytes rgb = encode_with_type(image, w, h, 2);
    const bytes palette = fixture::encode_stored(image, w, h, false);
    ASSERT_EQ(palette[25], 3);
    // The palette fixture's two entries; hIST has one count per entry.
    const bytes hist = chunk("hIST", {0, 20, 0, 10});
    const bytes bkgd_index = chunk("bKGD", {1});
    const bytes bkgd_rgb = chunk("bKGD", {0, 10, 0, 90, 0, 250});
    const bytes sbit4 = chunk("sBIT", {5, 6, 5, 8});
    const bytes sbit3 = chunk("sBIT", {5, 6, 5});
    const bytes sbit_too_deep = chunk("sBIT", {16, 16, 16});

    struct test_case {
        const char* label;
        bytes input_base;
        std::vector<bytes> extra;  // before IDAT
        bytes result;
        types expected_extra;
    };
    const std::vector<test_case> cases = {
        {"RGBA bKGD into RGB", rgba, {bkgd_rgb}, rgb, {"bKGD"}},
        {"RGBA bKGD into palette", rgba, {bkgd_rgb}, palette, {}},
        {"RGBA sBIT into RGBA", rgba, {sbit4}, rgba, {"sBIT"}},
        {"RGBA sBIT into RGB", rgba, {sbit4}, rgb, {}},
        {"RGB sBIT into palette", rgb, {sbit3}, palette, {"sBIT"}},
        {"sBIT deeper than the output", rgb, {sbit_too_deep}, rgb, {}},
        {"palette bKGD and hIST into the same palette", palette, {bkgd_index, hist}, palette, {"bKGD", "hIST"}},
        {"palette bKGD and hIST into RGBA", palette, {bkgd_index, hist}, rgba, {}},
        {"palette bKGD past the output palette", palette, {chunk("bKGD", {5})}, palette, {}},
    };
    for (const auto& c : cases) {
        const bytes input = fixture::insert_before(c.input_base, "IDAT", c.extra);
        const bytes out = assembled(input, c.result, job_for(w, h, 0, 0));
        types extra;
        for (const auto& k : fixture::chunks_of(out))
            if (k.type != "IHDR" && k.type != "PLTE" && k.type != "IDAT" && k.type != "IEND" && k.type != "tRNS")
                extra.push_back(k.type);
        EXPECT_EQ(extra, c.expected_extra) << c.label;
    }
}

// Result = `base` with a text chunk of `result_text` bytes; input = `base` with
// one of `input_text` bytes. The input's chunk is stripped, so the sizes differ
// by exactly the difference of the two lengths.
TEST_F(PngOutput, ReplacesOnlyWithASmallerResultThatReadsBack) {
    const uint32_t w = 9, h = 7;
    const bytes base = fixture::encode_stored(two_colour_image(w, h), w, h, true);
    auto with_text = [&](size_t length) {
        return fixture::insert_before(base, "IEND", {chunk("tEXt", bytes(length, 'x'))});
    };
    struct size_case {
        const char* label;
        size_t input_text, result_text;
        bool written;
    };
    const std::vector<size_case> sizes = {
        {"same size", 40, 40, false},
        {"one byte smaller", 41, 40, true},
        {"one byte larger", 39, 40, false},
    };
    for (const auto& c : sizes) {
        const bytes input = with_text(c.input_text), result = with_text(c.result_text);
        image_job job = job_for(w, h, 2, 0);
        const bytes after = run(input, result, job);
        EXPECT_EQ(after, c.written ? result : input) << c.label;
        EXPECT_EQ(job.result, 0) << c.label;
    }

    const bytes input = with_text(500);
    bytes wrong_crc = base;
    wrong_crc[wrong_crc.size() - 20] ^= 0x40;  // inside the IDAT data
    struct bad_case {
        const char* label;
        bytes result;
        uint32_t job_width;
        uint8_t expected_result;
    };
    const std::vector<bad_case> bad = {
        {"37 bytes are never written", bytes(base.begin(), base.begin() + 37), w, 0},
        {"empty result", {}, w, 0},
        {"not a PNG", bytes(100, 'z'), w, 1},
        {"damaged image data", wrong_crc, w, 1},
        {"image of another size", base, w + 1, 1},
    };
    for (const auto& c : bad) {
        image_job job = job_for(c.job_width, h, 2, 0);
        const bytes after = run(input, c.result, job);
        EXPECT_EQ(after, input) << c.label;
        EXPECT_EQ(job.result, c.expected_result) << c.label;
    }

    // A replace that cannot happen is a failure and leaves nothing behind.
    image_job job = job_for(w, h, 2, 0);
    bytes result = base, image(size_t(w) * h * 4);
    EXPECT_EQ(write_png_result(folder_ / "missing/input.png", input, result, image, job), 1);
}

// A zero byte in a chunk type ends the stage: nothing is written.
TEST_F(PngOutput, BadChunkTypeWritesNothing) {
    metadata_fixture f;
    bytes input = f.input;
    input[8 + 25 + 4] = 0;  // type of the chunk after IHDR
    image_job job = job_for(f.kWidth, f.kHeight, 0, 1);
    job.result = 0;
    EXPECT_EQ(run(input, f.result, job), input);
    EXPECT_EQ(job.result, 0);

    job.preview = 1;
    bytes result = f.result, image(size_t(f.kWidth) * f.kHeight * 4);
    write_png_result(input_path(), input, result, image, job);
    EXPECT_FALSE(fixture::file_exists(appdata(preview_result_png_name)));
    EXPECT_FALSE(fixture::file_exists(appdata(preview_view_name)));
}

TEST_F(PngOutput, PreviewFilesAndViewSizes) {
    const bytes input = fixture::encode_stored(two_colour_image(4, 4), 4, 4, true);
    const bytes result = fixture::encode_stored(two_colour_image(4, 4), 4, 4, false);
    struct view_case {
        uint32_t width, height;
        uint32_t view_width, view_height;
        uint8_t tall, wide;
    };
    const std::vector<view_case> cases = {
        {3000, 2000, 1275, 850, 1, 1},
        {2000, 1000, 1536, 768, 0, 1},
        {1536, 1024, 1536, 1024, 0, 0},
        {40, 30, 40, 30, 0, 0},
    };
    for (const auto& c : cases) {
        const std::string label = std::to_string(c.width) + "x" + std::to_string(c.height);
        fixture::write_bytes(input_path(), input);
        ::unlink(appdata(preview_result_png_name).c_str());
        image_job job = job_for(c.width, c.height, 1, 0);
        job.preview = 1;
        bytes image = fixture::make_image(c.width, c.height, [](uint32_t x, uint32_t y) {
            return std::array<int, 4>{int(x % 256), int(y % 256), 77, 255};
        });
        bytes out = result;
        EXPECT_EQ(write_png_result(input_path(), input, out, image, job), 0) << label;
        EXPECT_EQ(job.view_tall, c.tall) << label;
        EXPECT_EQ(job.view_wide, c.wide) << label;
        EXPECT_EQ(fixture::read_bytes(input_path()), input) << label;
        EXPECT_EQ(fixture::read_bytes(appdata(preview_result_png_name)), result) << label;

        const bytes view = fixture::read_bytes(appdata(preview_view_name));
        lodepng::State state;
        bytes pixels;
        uint32_t vw = 0, vh = 0;
        ASSERT_EQ(decode_png(pixels, vw, vh, state, view), 0u) << label;
        EXPECT_EQ(vw, c.view_width) << label;
        EXPECT_EQ(vh, c.view_height) << label;
        EXPECT_EQ(view[25], 6) << label;  // RGBA
        EXPECT_EQ(out, view) << label;
    }

    // "-preview-original" writes only the view.
    ::unlink(appdata(preview_result_png_name).c_str());
    ::unlink(appdata(preview_view_name).c_str());
    image_job job = job_for(4, 4, 1, 0);
    job.preview_original = 1;
    bytes image = two_colour_image(4, 4), out = result;
    EXPECT_EQ(write_png_result(input_path(), input, out, image, job), 0);
    EXPECT_FALSE(fixture::file_exists(appdata(preview_result_png_name)));
    EXPECT_TRUE(fixture::file_exists(appdata(preview_view_name)));
    EXPECT_EQ(fixture::read_bytes(input_path()), input);
}

}  // namespace
