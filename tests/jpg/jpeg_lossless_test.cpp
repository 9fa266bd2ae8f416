// Lossless transcoding through the JPEG driver on files built in the test:
// effort levels (tables, scans, pixels), the segments each metadata mode
// keeps, turning by orientation, grey reduction with its one or two passes,
// and the cases where nothing may be written (damaged data, hostile sizes,
// too many scans, a failed write).
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <bitset>
#include <string>
#include <vector>

#include "core/job.h"
#include "core/jpg/jpeg_lossless.h"
#include "core/jpg/jpeg_optimizer.h"
#include "core/options.h"
#include "core/temp_folder.h"
#include "jpg/jpeg_fixture.h"

namespace {

using namespace jpeg_fixture;

struct run_options {
    uint8_t level = 1;
    uint8_t metadata_mode = 1;
    bool rotate = false;
    rlim_t write_limit = 0;  // a file-size limit while the driver runs, to make writes fail
};

struct run_result {
    bytes output;  // the file after the run
    image_job job;
};

bytes as_bytes(const std::string& s) { return bytes(s.begin(), s.end()); }

// Runs the driver with "-l" on `input` written to a file.
run_result optimise(const bytes& input, const run_options& r = {}) {
    temp_folder tmp;
    const std::string path = tmp / "image.jpg";
    write_file(path, std::string(input.begin(), input.end()));
    default_flags flags;
    init_default_flags(flags);
    flags.lossless = 1;
    flags.jpeg_level = r.level;
    flags.metadata_mode = r.metadata_mode;
    flags.rotate = r.rotate ? 1 : 0;
    run_result out;
    init_image_job(out.job, flags, static_cast<uint32_t>(input.size()));
    if (!r.write_limit) {
        optimize_jpeg_file(path, out.job);
    } else {
        struct sigaction ignore {}, old_action {};
        ignore.sa_handler = SIG_IGN;
        ::sigaction(SIGXFSZ, &ignore, &old_action);
        struct rlimit old_limit;
        ::getrlimit(RLIMIT_FSIZE, &old_limit);
        struct rlimit limit = old_limit;
        limit.rlim_cur = r.write_limit;
        ::setrlimit(RLIMIT_FSIZE, &limit);
        optimize_jpeg_file(path, out.job);
        ::setrlimit(RLIMIT_FSIZE, &old_limit);
        ::sigaction(SIGXFSZ, &old_action, nullptr);
    }
    out.output = as_bytes(read_file(path));
    return out;
}

// A comment makes every input larger than any transcoded result (comments
// never survive), so a test sees every result the road would write.
segment padding_comment() { return {0xFE, bytes(3000, 'c')}; }

encode_options colour_source() {
    encode_options o;
    o.segments = {padding_comment()};
    return o;
}

encode_options grey_source() {
    encode_options o;
    o.input = JCS_GRAYSCALE;
    o.h0 = o.v0 = 1;
    o.segments = {padding_comment()};
    return o;
}

// A job for the lossy road's turn of a colour image `input`, as that road
// sets it up before calling the transcoder.
image_job prepass_job(const bytes& input, uint8_t metadata_mode) {
    default_flags flags;
    init_default_flags(flags);
    flags.metadata_mode = metadata_mode;
    image_job job;
    init_image_job(job, flags, static_cast<uint32_t>(input.size()));
    job.is_grey = 0;
    job.bytes_per_pixel = 3;
    job.jpeg_prepass = 1;
    return job;
}

// Bits of the standard luminance DC table, as a DHT segment lists them.
const uint8_t standard_dc_bits[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};

bool first_table_is_standard(const bytes& file) {
    bool standard = false, seen = false;
    walk_markers(file, [&](int m, const uint8_t* d, size_t n) {
        if (m != 0xC4 || seen || n < 17) return;
        seen = true;
        standard = d[0] == 0x00 && std::equal(d + 1, d + 17, standard_dc_bits);
    });
    return standard;
}

TEST(JpegLossless, LevelsGiveTheirTablesAndScansWithTheSamePixels) {
    for (const bool grey : {false, true}) {
        const bytes input = encode(grey ? grey_source() : colour_source());
        const decoded original = decode(input);
        std::vector<size_t> sizes;
        for (uint8_t level = 0; level <= 4; ++level) {
            SCOPED_TRACE(testing::Message() << (grey ? "grey" : "colour") << " level " << int(level));
            run_options r;
            r.level = level;
            const run_result out = optimise(input, r);
            ASSERT_EQ(out.job.result, 0);
            ASSERT_LT(out.output.size(), input.size());
            EXPECT_EQ(out.job.current_size, out.output.size());
            const decoded now = decode(out.output);
            ASSERT_TRUE(now.ok);
            EXPECT_EQ(now.warnings, 0);
            EXPECT_TRUE(now.pixels == original.pixels);
            sizes.push_back(out.output.size());
            switch (level) {
                case 0:
                    EXPECT_EQ(frame_marker(out.output), 0xC0);
                    EXPECT_TRUE(first_table_is_standard(out.output));
                    break;
                case 1:
                    EXPECT_EQ(frame_marker(out.output), 0xC0);
                    EXPECT_FALSE(first_table_is_standard(out.output));
                    EXPECT_LE(sizes[1], sizes[0]);
                    break;
                case 2:
                    EXPECT_EQ(frame_marker(out.output), 0xC2);
                    EXPECT_EQ(count_markers(out.output, 0xDA), grey ? 6 : 10);
                    break;
                default:
                    EXPECT_EQ(frame_marker(out.output), 0xC2);
                    EXPECT_LE(sizes[level], sizes[2]);
                    break;
            }
        }
    }
}

// The input's segments: the library's JFIF segment, then these, then a comment.
std::vector<segment> metadata_segments(uint8_t orientation) {
    return {
        {0xE1, exif_block(orientation)},
        {0xE1, text(std::string("http://ns.adobe.com/xap/1.0/") + '\0' + "<x:xmpmeta/>")},
        {0xE2, icc_chunk(1, 2, "first half")},
        {0xE2, text(std::string("FPXR") + std::string(12, '\0'))},
        {0xE2, icc_chunk(2, 2, "second half")},
        {0xED, text("Photoshop 3.0")},
        {0xEE, adobe_block(1)},
        {0xFE, text("a comment")},
    };
}

std::vector<int> markers_of(const std::vector<segment>& segments) {
    std::vector<int> m;
    for (const segment& s : segments) m.push_back(s.marker);
    return m;
}

TEST(JpegLossless, MetadataModesKeepTheirSegments) {
    const struct {
        const char* label;
        uint8_t mode;
        uint8_t orientation;
        std::vector<int> kept;  // markers in output order
    } cases[] = {
        {"keep all", 0, 6, {0xE0, 0xE1, 0xE1, 0xE2, 0xE2, 0xE2, 0xED, 0xEE}},
        {"default with a real orientation", 1, 6, {0xE1, 0xE2, 0xE2, 0xEE}},
        {"default with orientation 1", 1, 1, {0xE2, 0xE2, 0xEE}},
        {"strip", 2, 6, {}},
    };
    for (const auto& c : cases) {
        encode_options o;
        o.segments = metadata_segments(c.orientation);
        const bytes input = encode(o);
        run_options r;
        r.metadata_mode = c.mode;
        const run_result out = optimise(input, r);
        ASSERT_EQ(out.job.result, 0) << c.label;
        ASSERT_LT(out.output.size(), input.size()) << c.label;
        const std::vector<segment> before = segments_of(input), after = segments_of(out.output);
        EXPECT_EQ(markers_of(after), c.kept) << c.label;
        // Kept segments are byte for byte the input's, in the input's order.
        size_t next = 0;
        for (const segment& s : after) {
            while (next < before.size() && !(before[next] == s)) ++next;
            EXPECT_LT(next, before.size()) << c.label << ": segment not copied unchanged";
        }
        EXPECT_TRUE(decode(out.output).pixels == decode(input).pixels) << c.label;
    }
}

// An image stored as RGB needs its Adobe segment to be read as RGB: even
// "-strip" keeps it, and the colours stay right.
TEST(JpegLossless, StripKeepsTheColourTransformAnRgbImageNeeds) {
    encode_options o = colour_source();
    o.store_rgb = true;
    o.jfif = false;  // a JFIF segment would make it YCbCr
    o.h0 = o.v0 = 1;
    const bytes input = encode(o);
    ASSERT_EQ(decode(input).space, JCS_RGB);
    run_options r;
    r.metadata_mode = 2;
    const run_result out = optimise(input, r);
    ASSERT_LT(out.output.size(), input.size());
    EXPECT_EQ(markers_of(segments_of(out.output)), std::vector<int>{0xEE});
    const decoded now = decode(out.output);
    EXPECT_EQ(now.space, JCS_RGB);
    EXPECT_TRUE(now.pixels == decode(input).pixels);

    // A YCbCr image does not need it.
    encode_options y = colour_source();
    y.segments.push_back({0xEE, adobe_block(1)});
    EXPECT_TRUE(segments_of(optimise(encode(y), r).output).empty());
}

// YCbCr images whose colour-space signals disagree. The library reads each
// as YCbCr by the first signal its rule looks at (JFIF, then the Adobe
// transform, then the component ids); the output carries every kept segment
// in front of its frame and the input's ids, so dropping or moving a segment
// would make it read RGB. Each mode keeps the segments shown, whatever the
// level; the colours never change.
enum class kept_signal { jfif, adobe_rgb, adobe_ycbcr };

TEST(JpegLossless, SegmentsKeepTheColourSpaceTheInputWasReadIn) {
    const std::vector<uint8_t> rgb_ids = {'R', 'G', 'B'};
    encode_options jfif_then_adobe_rgb = colour_source();
    jfif_then_adobe_rgb.segments.push_back({0xEE, adobe_block(0)});
    encode_options adobe_ycbcr = colour_source();
    adobe_ycbcr.jfif = false;
    adobe_ycbcr.segments.push_back({0xEE, adobe_block(1)});
    encode_options progressive = colour_source();
    progressive.jfif = false;
    progressive.progressive = true;
    const bytes late_adobe_rgb = with_segment_after_first_scan(encode(progressive), {0xEE, adobe_block(0)});

    using k = kept_signal;
    const struct {
        const char* label;
        bytes input;
        std::vector<kept_signal> kept[3];  // by metadata mode 0, 1, 2
    } cases[] = {
        {"JFIF, then Adobe transform 0", encode(jfif_then_adobe_rgb),
         {{k::jfif, k::adobe_rgb}, {k::adobe_ycbcr}, {}}},
        {"Adobe transform 1, ids R G B", with_component_ids(encode(adobe_ycbcr), rgb_ids),
         {{k::adobe_ycbcr}, {k::adobe_ycbcr}, {k::adobe_ycbcr}}},
        {"JFIF, ids R G B", with_component_ids(encode(colour_source()), rgb_ids), {{k::jfif}, {k::jfif}, {k::jfif}}},
        {"Adobe transform 0 after the first scan", late_adobe_rgb, {{k::adobe_ycbcr}, {k::adobe_ycbcr}, {}}},
    };
    for (const auto& c : cases) {
        const decoded original = decode(c.input);
        ASSERT_TRUE(original.ok) << c.label;
        ASSERT_EQ(original.space, JCS_YCbCr) << c.label;
        for (uint8_t mode = 0; mode <= 2; ++mode) {
            std::vector<segment> expected;
            for (const kept_signal s : c.kept[mode])
                expected.push_back(s == k::jfif ? segment{0xE0, jfif_block()}
                                                : segment{0xEE, adobe_block(s == k::adobe_rgb ? 0 : 1)});
            for (uint8_t level = 0; level <= 4; ++level) {
                SCOPED_TRACE(testing::Message() << c.label << ", mode " << int(mode) << ", level " << int(level));
                run_options r;
                r.metadata_mode = mode;
                r.level = level;
                const run_result out = optimise(c.input, r);
                ASSERT_EQ(out.job.result, 0);
                ASSERT_LT(out.output.size(), c.input.size());
                EXPECT_EQ(segments_of(out.output), expected);
                const decoded now = decode(out.output);
                EXPECT_EQ(now.space, JCS_YCbCr);
                EXPECT_EQ(now.warnings, 0);
                EXPECT_TRUE(now.pixels == original.pixels);
            }
        }
    }
}

// An RGB image with a JFIF segment after its first scan: the library read it
// as RGB (the segment came too late to count), but keeping every segment puts
// that one in front of the frame, where it means YCbCr. No choice of segments
// mends that short of dropping metadata "-nostrip" keeps, so the read-back
// refuses the result: nothing is written and the file counts as failed, on
// the driver's road and in the lossy road's rotation pre-pass. Without
// "-nostrip" the segment goes and the result is written.
TEST(JpegLossless, ResultReadInAnotherColourSpaceIsNeverWritten) {
    encode_options o = colour_source();
    o.store_rgb = true;
    o.jfif = false;
    o.h0 = o.v0 = 1;
    o.progressive = true;
    const bytes input = with_segment_after_first_scan(encode(o), {0xE0, jfif_block()});
    const decoded original = decode(input);
    ASSERT_EQ(original.space, JCS_RGB);
    ASSERT_EQ(original.warnings, 0);

    for (uint8_t mode = 0; mode <= 2; ++mode) {
        SCOPED_TRACE(testing::Message() << "mode " << int(mode));
        run_options r;
        r.metadata_mode = mode;
        const run_result out = optimise(input, r);
        if (mode == 0) {
            EXPECT_EQ(out.job.result, 1);
            EXPECT_TRUE(out.output == input);
            continue;
        }
        EXPECT_EQ(out.job.result, 0);
        ASSERT_LT(out.output.size(), input.size());
        EXPECT_EQ(decode(out.output).space, JCS_RGB);
        EXPECT_TRUE(decode(out.output).pixels == original.pixels);
    }

    temp_folder tmp;
    write_file(tmp / "in.jpg", std::string(input.begin(), input.end()));
    write_file(tmp / "out.jpg", "");
    image_job job = prepass_job(input, 0);
    transcode_jpeg_lossless(tmp / "in.jpg", tmp / "out.jpg", job);
    EXPECT_EQ(job.result, 1);
    EXPECT_TRUE(read_file(tmp / "out.jpg").empty());
}

// What jpegtran makes of `input` with the given switches.
bytes jpegtran(const bytes& input, std::vector<std::string> switches) {
    temp_folder tmp;
    write_file(tmp / "in.jpg", std::string(input.begin(), input.end()));
    switches.insert(switches.begin(), "jpegtran");
    switches.insert(switches.end(), {"-outfile", tmp / "out.jpg", tmp / "in.jpg"});
    if (run_program(switches) != 0) return {};
    return as_bytes(read_file(tmp / "out.jpg"));
}

TEST(JpegLossless, RotateTurnsByEveryOrientation) {
    if (!have_jpegtran()) GTEST_SKIP() << "jpegtran (libjpeg-turbo-progs) is not installed";
    const std::vector<std::string> expected[9] = {
        {}, {}, {"-flip", "horizontal"}, {"-rotate", "180"}, {"-flip", "vertical"},
        {"-transpose"}, {"-rotate", "90"}, {"-transverse"}, {"-rotate", "270"}};
    for (uint8_t orientation = 2; orientation <= 8; ++orientation) {
        encode_options o = colour_source();  // 48x32 4:2:0: every turn is exact
        o.segments.push_back({0xE1, exif_block(orientation)});
        const bytes input = encode(o);
        run_options r;
        r.rotate = true;
        const run_result out = optimise(input, r);
        SCOPED_TRACE(testing::Message() << "orientation " << int(orientation));
        ASSERT_EQ(out.job.result, 0);
        EXPECT_EQ(out.job.orientation, 1);
        EXPECT_EQ(out.job.keep_exif, 0);
        EXPECT_EQ(count_markers(out.output, 0xE1), 0);  // the tag would turn it again
        const decoded now = decode(out.output), oracle = decode(jpegtran(input, expected[orientation]));
        ASSERT_TRUE(oracle.ok);
        EXPECT_EQ(now.width, oracle.width);
        EXPECT_TRUE(now.pixels == oracle.pixels);
    }
}

TEST(JpegLossless, TurnNeedingPartialBlocksIsNotDone) {
    encode_options o = colour_source();
    o.width = 45;  // the bottom edge would move to the left
    o.height = 29;
    o.segments.push_back({0xE1, exif_block(6)});
    const bytes input = encode(o);
    run_options r;
    r.rotate = true;
    const run_result out = optimise(input, r);
    ASSERT_EQ(out.job.result, 0);
    EXPECT_EQ(out.job.orientation, 6);
    EXPECT_EQ(out.job.rotate, 0);
    const decoded now = decode(out.output);
    EXPECT_EQ(now.width, 45);
    EXPECT_TRUE(now.pixels == decode(input).pixels);
    const std::vector<segment> kept = segments_of(out.output);
    ASSERT_EQ(kept.size(), 1u);  // the Exif block stays, with its orientation
    EXPECT_EQ(kept[0].data, exif_block(6));
}

// The rotation pre-pass of the lossy road trims the partial edge, turns, and
// writes its output whatever its size; it runs at level 0.
TEST(JpegLossless, PrepassTrimsAndAlwaysWrites) {
    encode_options o;
    o.width = 45;
    o.height = 29;
    o.segments = {{0xE1, exif_block(6)}};
    const bytes input = encode(o);
    temp_folder tmp;
    write_file(tmp / "in.jpg", std::string(input.begin(), input.end()));
    write_file(tmp / "out.jpg", "");
    image_job job = prepass_job(input, 1);
    job.orientation = 6;
    job.rotate = 1;
    job.jpeg_level = 3;
    EXPECT_EQ(transcode_jpeg_lossless(tmp / "in.jpg", tmp / "out.jpg", job), 0);
    const bytes out = as_bytes(read_file(tmp / "out.jpg"));
    const decoded now = decode(out);
    ASSERT_TRUE(now.ok);
    EXPECT_EQ(now.width, 16);  // the height trimmed to whole 16-row MCUs, then turned
    EXPECT_EQ(now.height, 45);
    EXPECT_EQ(frame_marker(out), 0xC0);
    EXPECT_TRUE(first_table_is_standard(out));
    EXPECT_EQ(job.orientation, 1);
    EXPECT_EQ(as_bytes(read_file(tmp / "in.jpg")), input);
}

// A progressive image may end before its scans have sent every bit of every
// coefficient: decoders then estimate the missing detail from the
// neighbouring blocks, which the same coefficients written as a complete
// image would not get. Such a file is left as it is at every level (result
// 0, nothing written); a turn for the lossy road, which decodes it again at
// once, is still made. A complete progressive image is transcoded.
TEST(JpegLossless, ProgressiveImageCutShortIsLeftAsItIs) {
    encode_options cut_short = colour_source();
    cut_short.progressive = true;
    cut_short.script = {
        {3, {0, 1, 2}, 0, 0, 0, 1},  // DC without its last bit
        {1, {0}, 1, 5, 0, 2},        // the first luma band without its last two
        {1, {2}, 1, 63, 0, 1},
        {1, {1}, 1, 63, 0, 1},
    };
    const bytes input = encode(cut_short);
    ASSERT_EQ(frame_marker(input), 0xC2);
    encode_options whole = colour_source();
    whole.progressive = true;
    const bytes complete = encode(whole);
    for (uint8_t level = 0; level <= 4; ++level) {
        SCOPED_TRACE(int(level));
        const run_result r = optimise(input, {.level = level});
        EXPECT_EQ(r.job.result, 0);
        EXPECT_EQ(r.output, input);
        const run_result c = optimise(complete, {.level = level});
        EXPECT_EQ(c.job.result, 0);
        EXPECT_LT(c.output.size(), complete.size());
    }

    image_job job = prepass_job(input, 1);
    jpeg_memory_output turned;
    EXPECT_EQ(transcode_jpeg_data(input.data(), input.size(), job, turned), 0);
    EXPECT_GT(turned.size, 0u);
    release_jpeg_memory_output(turned);
}

encode_options grey_ycbcr(uint8_t orientation) {
    encode_options o = colour_source();
    o.h0 = o.v0 = 1;
    o.quality = 95;
    o.grey_content = true;
    if (orientation) o.segments.push_back({0xE1, exif_block(orientation)});
    return o;
}

TEST(JpegLossless, GreyImageReducedAndTurnedUprightInOnePass) {
    const bytes input = encode(grey_ycbcr(6));
    const run_result out = optimise(input);  // no "-rotate": the reduction turns it anyway
    ASSERT_EQ(out.job.result, 0);
    const decoded now = decode(out.output);
    EXPECT_EQ(now.components, 1);
    EXPECT_EQ(now.width, 32);
    EXPECT_EQ(now.height, 48);
    EXPECT_EQ(count_markers(out.output, 0xE1), 0);
    EXPECT_EQ(frame_marker(out.output), 0xC0);
}

// A grey image stored as RGB cannot drop components; "-rotate" still turns it.
TEST(JpegLossless, TurnWithoutGreyReductionWhereReductionIsImpossible) {
    encode_options o = grey_ycbcr(6);
    o.store_rgb = true;
    o.jfif = false;
    const bytes input = encode(o);
    run_options r;
    r.rotate = true;
    const run_result out = optimise(input, r);
    ASSERT_EQ(out.job.result, 0);
    EXPECT_EQ(out.job.force_grey, 0);
    EXPECT_EQ(out.job.orientation, 1);
    const decoded now = decode(out.output);
    EXPECT_EQ(now.components, 3);
    EXPECT_EQ(now.space, JCS_RGB);
    EXPECT_EQ(now.width, 32);
    EXPECT_EQ(now.height, 48);
}

// Keeping every segment keeps the old orientation tag, so the reduction must
// not turn the pixels: the image is shown as before.
TEST(JpegLossless, GreyReductionInKeepAllModeDoesNotTurn) {
    const bytes input = encode(grey_ycbcr(6));
    run_options r;
    r.metadata_mode = 0;
    const run_result out = optimise(input, r);
    ASSERT_EQ(out.job.result, 0);
    const decoded now = decode(out.output), before = decode(input);
    EXPECT_EQ(now.components, 1);
    EXPECT_EQ(now.width, 48);
    ASSERT_EQ(now.pixels.size() * 3, before.pixels.size());
    for (size_t i = 0; i < now.pixels.size(); ++i) ASSERT_NEAR(now.pixels[i], before.pixels[i * 3], 1) << i;
    const std::vector<segment> kept = segments_of(out.output);
    ASSERT_EQ(kept.size(), 2u);  // JFIF and the unchanged Exif block
    EXPECT_EQ(kept[1].data, exif_block(6));
}

TEST(JpegLossless, GreyImageAtLevelThreeTakesTwoPasses) {
    const bytes input = encode(grey_ycbcr(0));
    run_options r;
    r.level = 3;
    const run_result out = optimise(input, r);
    ASSERT_EQ(out.job.result, 0);
    // The size to beat became the first pass's size; the second pass beat it.
    EXPECT_LT(out.job.input_size, input.size());
    EXPECT_LT(out.job.current_size, out.job.input_size);
    EXPECT_EQ(out.output.size(), out.job.current_size);
    EXPECT_EQ(frame_marker(out.output), 0xC2);
    EXPECT_EQ(decode(out.output).components, 1);
    EXPECT_EQ(out.job.jpeg_level, 3);
}

// A large progressive arithmetic-coded input at low quality is smaller than
// any Huffman-coded result: the second pass beats the first but not the
// input, and must not be written.
TEST(JpegLossless, GreySecondPassMustAlsoBeatTheInput) {
    encode_options o = grey_ycbcr(0);
    o.segments.clear();
    o.arithmetic = true;
    o.width = o.height = 256;
    o.progressive = true;
    o.quality = 30;
    o.jfif = false;
    const bytes input = encode(o);
    run_options r;
    r.level = 3;
    const run_result out = optimise(input, r);
    EXPECT_EQ(out.job.result, 0);
    ASSERT_LT(out.job.current_size, out.job.input_size);  // the second pass beat the first
    ASSERT_GE(out.job.current_size, input.size());        // but not the input
    EXPECT_EQ(out.output, input);
}

// Damaged entropy-coded data is refused before anything is written, even
// though the transcoded result would be smaller.
TEST(JpegLossless, CorruptDataIsNeverWritten) {
    const bytes good = encode(colour_source());
    size_t scan = 0;
    for (size_t i = 2; i + 1 < good.size(); ++i)
        if (good[i] == 0xFF && good[i + 1] == 0xDA) scan = i;
    ASSERT_GT(scan, 0u);
    const size_t data = scan + 2 + (size_t(good[scan + 2]) << 8 | good[scan + 3]);
    const size_t middle = data + (good.size() - data) / 2;

    bytes truncated(good.begin(), good.begin() + long(middle));
    bytes marker_inside = good;
    marker_inside[middle] = 0xFF;
    marker_inside[middle + 1] = 0xD5;  // a restart marker where none belongs
    bytes bad_code = good;  // all one bits: never a Huffman code
    for (size_t i = middle; i < middle + 40; i += 2) {
        bad_code[i] = 0xFF;
        bad_code[i + 1] = 0x00;
    }

    const struct {
        const char* label;
        bytes file;
    } cases[] = {{"truncated", truncated}, {"stray marker", marker_inside}, {"bad Huffman code", bad_code}};
    for (const auto& c : cases) {
        const run_result out = optimise(c.file);
        EXPECT_EQ(out.job.result, 1) << c.label;
        EXPECT_EQ(out.output, c.file) << c.label;
    }
}

void put_segment(bytes& f, int marker, const bytes& data) {
    f.insert(f.end(), {0xFF, uint8_t(marker), uint8_t((data.size() + 2) >> 8), uint8_t(data.size() + 2)});
    f.insert(f.end(), data.begin(), data.end());
}

// A grey 16 x 8 image of two blocks whose DC values are 2000 and -2000, far
// beyond what 8-bit samples give (-1024..1016): its own DC table holds the
// categories 11 and 12 that these need, so it decodes without a warning.
// Written again with the standard tables, the difference -4000 has no code.
bytes dc_beyond_eight_bits() {
    std::string bits = "0" + std::bitset<11>(2000).to_string() + "0";  // category 11, then end of block
    bits += "10" + std::bitset<12>(4095 - 4000).to_string() + "0";     // category 12: -4000
    while (bits.size() % 8) bits += '1';
    bytes scan;
    for (size_t i = 0; i < bits.size(); i += 8) {
        scan.push_back(uint8_t(std::stoi(bits.substr(i, 8), nullptr, 2)));
        if (scan.back() == 0xFF) scan.push_back(0x00);
    }
    bytes f = {0xFF, 0xD8};
    put_segment(f, 0xFE, padding_comment().data);
    bytes dqt = {0x00};
    dqt.insert(dqt.end(), 64, 1);
    put_segment(f, 0xDB, dqt);
    put_segment(f, 0xC0, {8, 0, 8, 0, 16, 1, 1, 0x11, 0});
    bytes dc_table = {0x00, 1, 1};
    dc_table.insert(dc_table.end(), 14, 0);
    dc_table.insert(dc_table.end(), {11, 12});
    put_segment(f, 0xC4, dc_table);
    bytes ac_table = {0x10, 1};
    ac_table.insert(ac_table.end(), 15, 0);
    ac_table.push_back(0x00);  // end of block only
    put_segment(f, 0xC4, ac_table);
    put_segment(f, 0xDA, {1, 1, 0x00, 0, 63, 0});
    f.insert(f.end(), scan.begin(), scan.end());
    f.insert(f.end(), {0xFF, 0xD9});
    return f;
}

// Coefficients that 8-bit samples never give are damaged data: the standard
// tables of level 0 would write them as garbage, the optimised ones fail.
TEST(JpegLossless, CoefficientsBeyondEightBitSamplesAreRefused) {
    const bytes input = dc_beyond_eight_bits();
    ASSERT_TRUE(decode(input).ok);
    ASSERT_EQ(decode(input).warnings, 0);
    for (uint8_t level : {0, 1, 2}) {
        run_options r;
        r.level = level;
        const run_result out = optimise(input, r);
        EXPECT_EQ(out.job.result, 1) << "level " << int(level);
        EXPECT_TRUE(out.output == input) << "level " << int(level);
    }
}

// A progressive file with one scan per coefficient bit: far more scans than
// any encoder writes.
bytes many_scans_file(int refinements) {
    encode_options o;
    o.input = JCS_GRAYSCALE;
    o.h0 = o.v0 = 1;
    o.width = o.height = 256;
    o.progressive = true;
    o.quality = 30;
    o.segments = {padding_comment()};
    o.script.push_back({1, {0, 0, 0, 0}, 0, 0, 0, 0});
    for (int k = 1; k < 64; ++k) {
        o.script.push_back({1, {0, 0, 0, 0}, k, k, 0, refinements});
        for (int bit = refinements; bit > 0; --bit) o.script.push_back({1, {0, 0, 0, 0}, k, k, bit, bit - 1});
    }
    return encode(o);
}

TEST(JpegLossless, ScanCountIsCapped) {
    const bytes modest = many_scans_file(1);  // 127 scans
    ASSERT_EQ(count_markers(modest, 0xDA), 127);
    run_result out = optimise(modest);
    EXPECT_EQ(out.job.result, 0);
    EXPECT_LT(out.output.size(), modest.size());

    const bytes hostile = many_scans_file(9);  // 631 scans
    ASSERT_EQ(count_markers(hostile, 0xDA), 631);
    out = optimise(hostile);
    EXPECT_EQ(out.job.result, 0);  // a library error of the transcoding only
    EXPECT_EQ(out.output, hostile);
}

// A file-size limit below the result makes the write fail part-way.
TEST(JpegLossless, FailedWriteLeavesTheInput) {
    const bytes input = encode(colour_source());
    run_options r;
    r.write_limit = 512;
    const run_result out = optimise(input, r);
    EXPECT_EQ(out.job.result, 1);
    EXPECT_EQ(out.output, input);
}

}  // namespace
