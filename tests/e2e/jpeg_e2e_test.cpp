// End-to-end runs of the engine binary on JPEG files of the shared corpus (and
// on a few of the JPEG road's regression inputs), copied into a temporary
// folder first, checked by decoding with libjpeg:
// lossless runs keep the pixels (a grey image reduced to one component shows
// the same grey), never grow a file and settle after one run; lossy runs
// write only smaller files that decode cleanly, at the expected size, turned
// upright with "-rotate" and converted from CMYK with "-srgb"; previews leave
// the file alone and write their files; exit codes of the JPEG refusals;
// broken and hostile files never crash the engine, and a file whose image
// data is damaged is never written.
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "core/temp_folder.h"
#include "e2e/run_core.h"
#include "jpg/jpeg_fixture.h"

#include <jerror.h>  // after jpeglib.h, whose configuration decides the arithmetic-coding codes

namespace {

namespace fs = boost::filesystem;
using jpeg_fixture::bytes;
using jpeg_fixture::decoded;

std::string corpus_jpeg() {
    const char* c = std::getenv("VELTO_CORPUS");
    const std::string root = c ? std::string(c) + "/jpeg" : "";
    return !root.empty() && fs::is_directory(root) ? root : "";
}

bytes as_bytes(const std::string& s) { return bytes(s.begin(), s.end()); }

// The same image as shown: equal pixels, or a one-component result whose grey
// equals every channel of a grey three-component input.
bool same_image(const decoded& in, const decoded& out) {
    if (!in.ok || !out.ok || in.width != out.width || in.height != out.height) return false;
    if (in.components == out.components) return in.pixels == out.pixels;
    if (in.components != 3 || out.components != 1) return false;
    for (size_t i = 0; i < out.pixels.size(); ++i) {
        const uint8_t* p = &in.pixels[i * 3];
        if (p[0] != out.pixels[i] || p[1] != out.pixels[i] || p[2] != out.pixels[i]) return false;
    }
    return true;
}

// A small spread of layouts: subsampling, grey, CMYK and YCCK, progressive,
// restart intervals, arithmetic coding, 16-bit tables, odd sizes, metadata
// (one of them grey stored as YCbCr), camera files with Exif.
const char* const ci_subset[] = {
    "baseline/hibiscus-420.jpg",
    "baseline/mozilla-size-7x7.jpg",
    "subsampling/peacock-s2x1-422.jpg",
    "subsampling/peacock-s-very-weird.jpg",
    "grey/peacock-grey.jpg",
    "cmyk/mozilla-cmyk-1.jpg",
    "cmyk/pil-sample-cmyk-adobe2-dri.jpg",
    "progressive/peacock-progressive.jpg",
    "restart/restarts-33x33-dri5.jpg",
    "arithmetic/ijg-testimgari.jpg",
    "misc/hopper-16bit-qtables.jpg",
    "metadata/exif-xmp-progressive-5x5.jpg",
    "metadata/flower2-exif-icc-xmp-adobe.jpg",
    "camera/Canon_40D.jpg",
};

// Valid files the JPEG library cannot read (12-bit, lossless process).
const char* const unsupported[] = {"misc/monkey-12bit-icc.jpg", "misc/lossless-sof3-rgb-testimgl.jpg"};

// Writes `content` at `path` and runs the engine on that one file.
run_outcome run_on_file(const temp_folder& tmp, const std::string& path, const std::string& content,
                        std::vector<std::string> options) {
    write_file(path, content);
    options.push_back(path);
    return run_core(tmp, options);
}

using originals = std::map<std::string, bytes>;

originals populate(const std::string& folder, const std::string& root, const char* const* begin, const char* const* end) {
    fs::create_directories(folder);
    originals files;
    for (const char* const* rel = begin; rel != end; ++rel) {
        const std::string name = fs::path(*rel).filename().string();
        files[name] = as_bytes(read_file(root + "/" + *rel));
        write_file(folder + "/" + name, read_file(root + "/" + *rel));
    }
    return files;
}

TEST(JpegE2e, LosslessEveryLevel) {
    const std::string root = corpus_jpeg();
    if (root.empty()) GTEST_SKIP() << "the shared corpus is not there (VELTO_CORPUS)";
    for (int level = 0; level <= 4; ++level) {
        temp_folder tmp;
        const std::string dir = tmp / "in";
        const originals files = populate(dir, root, std::begin(ci_subset), std::end(ci_subset));
        const std::string level_option = "-jpg-s" + std::to_string(level);
        const run_outcome first = run_core(tmp, {"-l", level_option, dir});
        ASSERT_EQ(first.status, 0) << level_option;
        EXPECT_EQ(first.err, "") << level_option;
        originals once;
        for (const auto& [name, before] : files) {
            const bytes after = as_bytes(read_file(dir + "/" + name));
            EXPECT_LE(after.size(), before.size()) << level_option << " " << name;
            EXPECT_TRUE(same_image(jpeg_fixture::decode(before), jpeg_fixture::decode(after))) << level_option << " " << name;
            once[name] = after;
        }
        ASSERT_EQ(run_core(tmp, {"-l", level_option, dir}).status, 0) << level_option << " again";
        for (const auto& [name, after_once] : once) {
            const bytes twice = as_bytes(read_file(dir + "/" + name));
            EXPECT_LE(twice.size(), after_once.size()) << level_option << " again " << name;
            EXPECT_TRUE(same_image(jpeg_fixture::decode(files.at(name)), jpeg_fixture::decode(twice)))
                << level_option << " again " << name;
        }
    }
}

TEST(JpegE2e, RefusalsAndTheirExitCodes) {
    const std::string root = corpus_jpeg();
    if (root.empty()) GTEST_SKIP() << "the shared corpus is not there (VELTO_CORPUS)";
    const struct {
        const char* label;
        const char* file;
        std::vector<std::string> options;
        int status;
    } cases[] = {
        {"CMYK with -strip: skipped", "cmyk/mozilla-cmyk-1.jpg", {"-strip"}, 2},
        {"the same in quiet mode: the file's result code", "cmyk/mozilla-cmyk-1.jpg", {"-strip", "-quiet"}, 2},
        {"CMYK preview check", "cmyk/mozilla-cmyk-1.jpg", {"-preview-check"}, 22},
        {"CMYK preview", "cmyk/ycck-no-icc-500x333.jpg", {"-preview"}, 22},
        {"colour preview check", "baseline/hat-90x112.jpg", {"-preview-check"}, 0},
        {"12-bit file", unsupported[0], {"-l"}, 2},
        {"lossless-process file", unsupported[1], {"-l", "-quiet"}, 1},
    };
    for (const auto& c : cases) {
        temp_folder tmp;
        const std::string path = tmp / "image.jpg";
        const std::string before = read_file(root + "/" + c.file);
        const run_outcome r = run_on_file(tmp, path, before, c.options);
        EXPECT_EQ(r.status, c.status) << c.label;
        EXPECT_EQ(read_file(path), before) << c.label;
        EXPECT_EQ(r.err, "") << c.label;
    }
}

// Decodes as djpeg does and reports whether the image data is damaged
// (a library error or a corrupt-data warning).
struct checked_decode {
    decoded image;
    bool damaged = false;
};

checked_decode decode_checking(const bytes& file) {
    checked_decode r;
    jpeg_decompress_struct cinfo;
    struct counting : jpeg_fixture::raising_error {
        bool damaged = false;
    } err;
    cinfo.err = jpeg_std_error(&err);
    err.error_exit = jpeg_fixture::jump_out;
    err.emit_message = [](j_common_ptr c, int level) {
        auto* e = static_cast<counting*>(c->err);
        const int code = e->msg_code;
        if (level < 0 && (code == JWRN_HIT_MARKER || code == JWRN_HUFF_BAD_CODE || code == JWRN_ARITH_BAD_CODE ||
                          code == JWRN_MUST_RESYNC || code == JWRN_BOGUS_PROGRESSION || code == JWRN_JPEG_EOF ||
                          code == JWRN_NOT_SEQUENTIAL))
            e->damaged = true;
    };
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        r.damaged = true;
        return r;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, file.data(), static_cast<unsigned long>(file.size()));
    jpeg_read_header(&cinfo, TRUE);
    jpeg_start_decompress(&cinfo);
    r.image.width = static_cast<int>(cinfo.output_width);
    r.image.height = static_cast<int>(cinfo.output_height);
    r.image.components = cinfo.output_components;
    r.image.pixels.resize(static_cast<size_t>(r.image.width) * r.image.height * r.image.components);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = r.image.pixels.data() + static_cast<size_t>(cinfo.output_scanline) * r.image.width * r.image.components;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    r.image.ok = true;
    r.damaged = err.damaged;
    return r;
}

// Names of the files the engine left in the data folder (temporary files of
// the turn included).
std::vector<std::string> data_folder_files(const temp_folder& tmp) {
    std::vector<std::string> names;
    boost::system::error_code ec;
    for (fs::directory_iterator it(tmp / "appdata", ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Every broken file, losslessly (default metadata mode, all metadata kept,
// turning at the strongest level) and on the lossy road (default, and with
// turning and resizing): the engine ends normally and prints nothing; a file
// whose image data is damaged stays as it was; any file it rewrites is
// smaller and cleanly decodable, and on the lossless road shows the same
// image; no temporary file is left behind.
TEST(JpegE2e, BrokenFilesNeverCrashAndDamageIsNeverWritten) {
    const std::string root = corpus_jpeg();
    if (root.empty()) GTEST_SKIP() << "the shared corpus is not there (VELTO_CORPUS)";
    const std::string broken = root + "/broken";
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(broken)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    ASSERT_FALSE(names.empty());
    int damaged_files = 0;
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{"-l"}, {"-l", "-nostrip", "-jpg-s4"}, {"-l", "-rotate", "-jpg-s2"},
          {"-jpg-s0"}, {"-rotate", "-resize=64", "-jpg-s2"}}) {
        temp_folder tmp;
        const std::string dir = tmp / "in";
        fs::create_directories(dir);
        for (const std::string& name : names) {
            write_file(dir + "/" + name, read_file(broken + "/" + name));
            fs::permissions(dir + "/" + name, fs::owner_read | fs::owner_write);
        }
        std::vector<std::string> args = options;
        args.push_back(dir);
        const run_outcome r = run_core(tmp, args);
        const bool lossless = options.front() == "-l";
        const bool turned = std::find(options.begin(), options.end(), "-rotate") != options.end();
        EXPECT_TRUE(r.status == 0 || r.status == 1) << options.back() << " status " << r.status;
        EXPECT_EQ(r.err, "") << options.back();
        EXPECT_EQ(data_folder_files(tmp), std::vector<std::string>{}) << options.back();
        damaged_files = 0;
        for (const std::string& name : names) {
            const bytes before = as_bytes(read_file(broken + "/" + name));
            const bytes after = as_bytes(read_file(dir + "/" + name));
            const checked_decode in = decode_checking(before);
            damaged_files += in.damaged;
            if (after == before) continue;
            EXPECT_FALSE(in.damaged) << options.back() << " " << name << ": damaged input written";
            EXPECT_LT(after.size(), before.size()) << options.back() << " " << name;
            const checked_decode out = decode_checking(after);
            EXPECT_FALSE(out.damaged) << options.back() << " " << name;
            EXPECT_TRUE(!lossless || turned || same_image(in.image, out.image)) << options.back() << " " << name;
        }
    }
    EXPECT_GT(damaged_files, 10);  // the folder does hold damaged image data
}

// The damaged files of the verification runs: corpus files with one byte
// changed in their scan data, and a broken corpus file, on both roads and in
// a preview; each stays as it was with result 1. A valid motion-JPEG frame
// that leaves a few bytes before its restart markers is still optimised.
TEST(JpegE2e, DamagedScanDataFromTheCorpusIsNeverWritten) {
    const std::string root = corpus_jpeg();
    if (root.empty()) GTEST_SKIP() << "the shared corpus is not there (VELTO_CORPUS)";
    auto changed = [&](const char* file, size_t offset, char value) {
        std::string content = read_file(root + "/" + file);
        if (offset < content.size()) content[offset] = value;
        return content;
    };
    const struct {
        const char* label;
        std::string content;
    } damaged[] = {
        {"invalid Huffman code", changed("baseline/hat-90x112.jpg", 1240, '\x1f')},
        {"bytes left before the end of the image", changed("baseline/ijg-testorig.jpg", 1058, '\xef')},
        {"bytes left in the scan", read_file(root + "/broken/jd-extraneous-bytes-after-sos.jpg")},
    };
    const std::vector<std::vector<std::string>> roads = {{"-quiet", "-l"}, {"-quiet"}, {"-quiet", "-preview"}};
    for (const auto& options : roads) {
        for (const auto& c : damaged) {
            temp_folder tmp;
            const std::string path = tmp / "image.jpg";
            const run_outcome r = run_on_file(tmp, path, c.content, options);
            EXPECT_EQ(r.status, 1) << c.label << " " << options.back();
            EXPECT_TRUE(read_file(path) == c.content) << c.label << " " << options.back();
            EXPECT_EQ(data_folder_files(tmp), std::vector<std::string>{}) << c.label << " " << options.back();
        }
    }
    const std::string mjpeg = read_file(root + "/misc/mjpeg-no-dht-960x720-dri10.jpg");
    for (const auto& options : {roads[0], roads[1]}) {
        temp_folder tmp;
        const std::string path = tmp / "image.jpg";
        const run_outcome r = run_on_file(tmp, path, mjpeg, options);
        EXPECT_EQ(r.status, 0) << options.back();
        const bytes after = as_bytes(read_file(path));
        EXPECT_LT(after.size(), mjpeg.size()) << options.back();
        EXPECT_TRUE(jpeg_fixture::decode(after).ok) << options.back();
    }
}

// Files that carry more pictures after the end of the first image (a
// multi-picture file named .jpg, an Ultra HDR photo with its gain map) are
// left alone with result 2 on both roads and in every metadata mode except
// "-strip", which optimises the first image and drops the rest.
TEST(JpegE2e, PicturesAfterTheImageKeepTheFile) {
    const std::string root = corpus_jpeg();
    if (root.empty()) GTEST_SKIP() << "the shared corpus is not there (VELTO_CORPUS)";
    const struct {
        const char* file;
        std::vector<std::string> options;
        int status;
    } cases[] = {
        {"mpo/sugarshack.mpo", {"-quiet", "-l", "-nostrip"}, 2},
        {"mpo/sugarshack.mpo", {"-quiet", "-l"}, 2},
        {"mpo/sugarshack.mpo", {"-quiet", "-nostrip"}, 2},
        {"mpo/sugarshack.mpo", {"-quiet", "-l", "-strip"}, 0},
        {"metadata/ultrahdr-gain-map-3840x2160.jpg", {"-quiet"}, 2},
        {"metadata/ultrahdr-gain-map-3840x2160.jpg", {"-quiet", "-l", "-nostrip"}, 2},
        {"metadata/ultrahdr-gain-map-3840x2160.jpg", {"-quiet", "-strip"}, 0},
    };
    for (const auto& c : cases) {
        temp_folder tmp;
        const std::string path = tmp / "image.jpg";
        const std::string before = read_file(root + "/" + c.file);
        const run_outcome r = run_on_file(tmp, path, before, c.options);
        const std::string label = std::string(c.file) + " " + c.options.back();
        EXPECT_EQ(r.status, c.status) << label;
        const bytes after = as_bytes(read_file(path));
        if (c.status != 0) {
            EXPECT_TRUE(after == as_bytes(before)) << label;
            continue;
        }
        EXPECT_LT(after.size(), before.size()) << label;
        EXPECT_FALSE(decode_checking(after).damaged) << label;
        // One picture: without metadata a start-of-image marker can only be the first.
        const std::string soi = "\xFF\xD8";
        const std::string text(after.begin(), after.end());
        EXPECT_EQ(text.find(soi, 1), std::string::npos) << label;
    }
}

// A valid 20000 x 14000 file: handled within the memory limit, never larger.
// The lossy road takes it only with a resize target: at full size it has more
// pixels than the encoder takes, so it goes the lossless road instead.
TEST(JpegE2e, GiantImageWithinLimits) {
    const std::string root = corpus_jpeg();
    if (root.empty()) GTEST_SKIP() << "the shared corpus is not there (VELTO_CORPUS)";
    const struct {
        std::vector<std::string> options;
        int status;
        int width, height;  // of the result; 0: the file is unchanged
    } cases[] = {
        {{"-l", "-jpg-s1"}, 0, 20000, 14000},
        {{"-resize=1000"}, 0, 1000, 700},
        {{}, 0, 20000, 14000},
    };
    const std::string before = read_file(root + "/limits/giant-20000x14000-grey.jpg");
    for (const auto& c : cases) {
        temp_folder tmp;
        const std::string path = tmp / "giant.jpg";
        const run_outcome r = run_on_file(tmp, path, before, c.options);
        const std::string label = c.options.empty() ? "default" : c.options.front();
        EXPECT_EQ(r.status, c.status) << label;
        const std::string after = read_file(path);
        EXPECT_LE(after.size(), before.size()) << label;
        if (c.width == 0) {
            EXPECT_TRUE(after == before) << label;
            continue;
        }
        const decoded out = jpeg_fixture::decode(as_bytes(after));
        EXPECT_EQ(out.width, c.width) << label;
        EXPECT_EQ(out.height, c.height) << label;
    }
}

// The lossy road on the subset and two turned photographs, by quality,
// level, metadata mode, resizing and turning: every file it rewrites is
// smaller, decodes cleanly and has the expected size; the others are kept
// byte for byte.
TEST(JpegE2e, LossyOutputsDecodeAndNeverGrow) {
    const std::string root = corpus_jpeg();
    if (root.empty()) GTEST_SKIP() << "the shared corpus is not there (VELTO_CORPUS)";
    std::vector<const char*> files(std::begin(ci_subset), std::end(ci_subset));
    files.push_back("orientation/Landscape_6.jpg");
    files.push_back("camera/HMD_Nokia_8.3_5G.jpg");
    const std::vector<std::vector<std::string>> option_sets = {
        {}, {"-q=70", "-jpg-s2"}, {"-nostrip", "-q=96", "-jpg-s4"}, {"-resize=64", "-jpg-s1"}, {"-rotate", "-jpg-s3"},
    };
    for (const auto& options : option_sets) {
        temp_folder tmp;
        const std::string dir = tmp / "in";
        const originals files_in = populate(dir, root, files.data(), files.data() + files.size());
        std::vector<std::string> args = options;
        args.push_back(dir);
        const run_outcome r = run_core(tmp, args);
        const std::string label = options.empty() ? "default" : options.front();
        EXPECT_EQ(r.status, 0) << label;
        EXPECT_EQ(r.err, "") << label;
        EXPECT_EQ(data_folder_files(tmp), std::vector<std::string>{}) << label;
        int rewritten = 0;
        for (const auto& [name, before] : files_in) {
            const bytes after = as_bytes(read_file(dir + "/" + name));
            if (after == before) continue;
            ++rewritten;
            EXPECT_LT(after.size(), before.size()) << label << " " << name;
            const checked_decode in = decode_checking(before), out = decode_checking(after);
            ASSERT_TRUE(out.image.ok) << label << " " << name;
            EXPECT_FALSE(out.damaged) << label << " " << name;
            // Four-component files without a conversion take the lossless road.
            if (label == "-resize=64" && in.image.components != 4) {
                EXPECT_EQ(std::max(out.image.width, out.image.height), std::min(64, std::max(in.image.width, in.image.height)))
                    << label << " " << name;
            } else if (label != "-rotate") {
                EXPECT_EQ(out.image.width, in.image.width) << label << " " << name;
                EXPECT_EQ(out.image.height, in.image.height) << label << " " << name;
            }
        }
        EXPECT_GT(rewritten, 4) << label;
    }
}

// CMYK with an embedded profile and "-srgb": converted to three-component
// sRGB with no profile (and under "-strip" no segment at all); the colours
// stay near a plain ink-over-paper reading of the inks. Without "-srgb" the
// file keeps its four components; under "-nostrip" there is no conversion.
TEST(JpegE2e, CmykConvertedToSrgb) {
    const std::string root = corpus_jpeg();
    if (root.empty()) GTEST_SKIP() << "the shared corpus is not there (VELTO_CORPUS)";
    const std::string source = read_file(root + "/cmyk/ycck-adobe-500x333.jpg");
    const decoded inks = jpeg_fixture::decode(as_bytes(source));
    ASSERT_EQ(inks.components, 4);
    const struct {
        std::vector<std::string> options;
        int components;
        std::vector<int> markers;  // APPn markers of the result, in order
    } cases[] = {
        {{"-strip", "-srgb"}, 3, {}},
        {{"-srgb", "-jpg-s2"}, 3, {}},  // Exif without orientation, XMP and the profile are dropped
        {{"-nostrip", "-srgb"}, 4, {0xE1, 0xED, 0xE1, 0xE2, 0xE2, 0xE2, 0xE2, 0xE2, 0xE2, 0xE2, 0xE2, 0xE2, 0xE2,
                                    0xE2, 0xE2, 0xE2, 0xE2, 0xE2, 0xE2, 0xE2, 0xE2, 0xEE}},
    };
    for (const auto& c : cases) {
        temp_folder tmp;
        const std::string path = tmp / "cmyk.jpg";
        const run_outcome r = run_on_file(tmp, path, source, c.options);
        const std::string label = c.options.front() + " " + c.options.back();
        EXPECT_EQ(r.status, 0) << label;
        const bytes after = as_bytes(read_file(path));
        ASSERT_LT(after.size(), source.size()) << label;
        const checked_decode out = decode_checking(after);
        ASSERT_TRUE(out.image.ok) << label;
        EXPECT_FALSE(out.damaged) << label;
        EXPECT_EQ(out.image.components, c.components) << label;
        std::vector<int> markers;
        for (const auto& seg : jpeg_fixture::segments_of(after)) markers.push_back(seg.marker);
        EXPECT_EQ(markers, c.markers) << label;
        if (c.components != 3) continue;
        // Adobe files store inverted inks: a stored value is the paper left.
        double difference = 0;
        const size_t n = size_t(inks.width) * inks.height;
        for (size_t i = 0; i < n; ++i)
            for (int k = 0; k < 3; ++k)
                difference += std::abs(int(inks.pixels[i * 4 + k]) * inks.pixels[i * 4 + 3] / 255 -
                                       int(out.image.pixels[i * 3 + k]));
        EXPECT_LT(difference / double(n * 3), 25.0) << label;
    }
}

// "-rotate" on photographs stored turned with orientation 6: the lossy result
// stands upright (the partial block rows the turn trims come off its left
// edge), matches the same photograph stored upright and has no Exif block
// left; without "-rotate" the result keeps the stored layout and its tag.
TEST(JpegE2e, RotateByOrientationSix) {
    const std::string root = corpus_jpeg();
    if (root.empty()) GTEST_SKIP() << "the shared corpus is not there (VELTO_CORPUS)";
    const struct {
        const char* file;
        const char* upright;
        std::vector<std::string> options;
        bool turned;
    } cases[] = {
        {"orientation/Landscape_6.jpg", "orientation/Landscape_1.jpg", {"-rotate", "-q=70"}, true},
        {"orientation/Landscape_6.jpg", "orientation/Landscape_1.jpg", {"-rotate", "-q=70", "-jpg-s4"}, true},
        {"orientation/Landscape_6.jpg", "orientation/Landscape_1.jpg", {"-q=70"}, false},
    };
    for (const auto& c : cases) {
        temp_folder tmp;
        const std::string path = tmp / "photo.jpg";
        const std::string label = std::string(c.file) + " " + c.options.back();
        EXPECT_EQ(run_on_file(tmp, path, read_file(root + "/" + c.file), c.options).status, 0) << label;
        EXPECT_EQ(data_folder_files(tmp), std::vector<std::string>{}) << label;
        const bytes after = as_bytes(read_file(path));
        const decoded out = jpeg_fixture::decode(after);
        const decoded upright = jpeg_fixture::decode(as_bytes(read_file(root + "/" + c.upright)));
        ASSERT_TRUE(out.ok && upright.ok) << label;
        int exif_blocks = 0;
        for (const auto& seg : jpeg_fixture::segments_of(after)) exif_blocks += seg.marker == 0xE1;
        EXPECT_EQ(exif_blocks, c.turned ? 0 : 1) << label;
        if (!c.turned) {
            EXPECT_EQ(out.width, upright.height) << label;
            continue;
        }
        ASSERT_EQ(out.height, upright.height) << label;
        ASSERT_LE(out.width, upright.width) << label;
        ASSERT_GT(out.width, upright.width - 16) << label;
        const int trimmed = upright.width - out.width;
        double difference = 0;
        for (int y = 0; y < out.height; ++y)
            for (int x = 0; x < out.width * 3; ++x)
                difference += std::abs(int(out.pixels[size_t(y) * out.width * 3 + x]) -
                                       int(upright.pixels[size_t(y) * upright.width * 3 + trimmed * 3 + x]));
        EXPECT_LT(difference / (double(out.height) * out.width * 3), 8.0) << label;
    }
}

// The JPEG road's regression inputs whose colour-space signals disagree
// (JFIF and Adobe transform 0; Adobe transform 1 and component ids 'R' 'G'
// 'B'; JFIF and those ids), made from a small YCbCr photograph. Lossless runs
// in every metadata mode rewrite them with the same pixels. The lossy road
// keeps the colours too when it turns the first of them upright with its
// lossless pre-pass.
TEST(JpegE2e, DisagreeingColourSignalsKeepTheColours) {
    const char* source = std::getenv("VELTO_SOURCE");
    const std::string folder = source ? std::string(source) + "/tests/fuzz/regressions/jpeg_road" : "";
    if (folder.empty() || !fs::is_directory(folder)) GTEST_SKIP() << "regression inputs not found (VELTO_SOURCE)";
    const char* const files[] = {"colour-jfif-then-adobe-transform-0.jpg", "colour-adobe-transform-1-rgb-ids.jpg",
                                 "colour-jfif-rgb-ids.jpg"};
    const std::vector<std::vector<std::string>> option_sets = {
        {"-l"}, {"-l", "-jpg-s4"}, {"-l", "-strip"}, {"-l", "-nostrip", "-jpg-s2"}};
    for (const char* file : files) {
        const std::string before = read_file(folder + "/" + file);
        ASSERT_FALSE(before.empty()) << file;
        const decoded original = jpeg_fixture::decode(as_bytes(before));
        ASSERT_EQ(original.space, JCS_YCbCr) << file;
        for (const auto& options : option_sets) {
            temp_folder tmp;
            const std::string path = tmp / "image.jpg";
            const std::string label = std::string(file) + " " + options.back();
            const run_outcome r = run_on_file(tmp, path, before, options);
            EXPECT_EQ(r.status, 0) << label;
            const bytes after = as_bytes(read_file(path));
            EXPECT_LT(after.size(), before.size()) << label;
            EXPECT_TRUE(same_image(original, jpeg_fixture::decode(after))) << label;
        }
    }

    // Exif orientation 6 in front of the first one, turned on the lossy road.
    std::string turned_input = read_file(folder + "/" + files[0]);
    const bytes exif = jpeg_fixture::exif_block(6);
    const std::string app1 = std::string("\xFF\xE1") + char((exif.size() + 2) >> 8) + char(exif.size() + 2) +
                             std::string(exif.begin(), exif.end());
    turned_input.insert(2, app1);
    const decoded stored = jpeg_fixture::decode(as_bytes(turned_input));
    temp_folder tmp;
    const std::string path = tmp / "image.jpg";
    EXPECT_EQ(run_on_file(tmp, path, turned_input, {"-rotate"}).status, 0);
    const decoded out = jpeg_fixture::decode(as_bytes(read_file(path)));
    ASSERT_TRUE(out.ok);
    ASSERT_EQ(out.width, stored.height);
    ASSERT_EQ(out.height, stored.width);
    double difference = 0;  // against the stored pixels turned 90 degrees clockwise
    for (int y = 0; y < out.height; ++y)
        for (int x = 0; x < out.width; ++x)
            for (int k = 0; k < 3; ++k)
                difference += std::abs(int(out.pixels[(size_t(y) * out.width + x) * 3 + k]) -
                                       int(stored.pixels[(size_t(stored.height - 1 - x) * stored.width + y) * 3 + k]));
    EXPECT_LT(difference / (double(out.width) * out.height * 3), 8.0);
}

// Previews through the binary: "-preview" writes the would-be result and its
// view and leaves the file alone; "-preview-original" writes only the view of
// the unchanged file. A 2725 x 2225 photograph is viewed 1041 x 850.
TEST(JpegE2e, PreviewFiles) {
    const std::string root = corpus_jpeg();
    if (root.empty()) GTEST_SKIP() << "the shared corpus is not there (VELTO_CORPUS)";
    const std::string source = read_file(root + "/camera/flickr-2569067123-2725x2225.jpg");
    const struct {
        const char* option;
        std::vector<std::string> files;
    } cases[] = {
        {"-preview", {"temp-result-jpg.jpg", "temp-view.png"}},
        {"-preview-original", {"temp-view.png"}},
    };
    for (const auto& c : cases) {
        temp_folder tmp;
        const std::string path = tmp / "photo.jpg";
        write_file(path, source);
        const run_outcome r = run_core(tmp, {c.option, path});
        EXPECT_EQ(r.status, 0) << c.option;
        EXPECT_EQ(read_file(path), source) << c.option;
        EXPECT_EQ(data_folder_files(tmp), c.files) << c.option;
        const std::string view = read_file(tmp / "appdata/temp-view.png");
        ASSERT_GT(view.size(), 33u) << c.option;
        const auto be32 = [&](size_t at) {
            return uint32_t(uint8_t(view[at])) << 24 | uint32_t(uint8_t(view[at + 1])) << 16 |
                   uint32_t(uint8_t(view[at + 2])) << 8 | uint8_t(view[at + 3]);
        };
        EXPECT_EQ(be32(16), 1041u) << c.option;
        EXPECT_EQ(be32(20), 850u) << c.option;
        EXPECT_EQ(view[25], 6) << c.option;  // RGBA
        if (c.files.size() == 2) {
            const checked_decode result = decode_checking(as_bytes(read_file(tmp / "appdata/temp-result-jpg.jpg")));
            EXPECT_TRUE(result.image.ok && !result.damaged) << c.option;
            EXPECT_EQ(result.image.width, 2725) << c.option;
        }
    }
}

}  // namespace
