// End-to-end runs of the engine binary on JPEG files of the shared corpus,
// copied into a temporary folder first, checked by decoding with libjpeg:
// lossless runs keep the pixels (a grey image reduced to one component shows
// the same grey), never grow a file and settle after one run; exit codes of
// the JPEG refusals; broken and hostile files never crash the engine, and a
// file whose image data is damaged is never written.
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
    if (root.empty()) GTEST_SKIP() << "corpus not found (VELTO_CORPUS)";
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
    if (root.empty()) GTEST_SKIP() << "corpus not found (VELTO_CORPUS)";
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
        write_file(path, before);
        std::vector<std::string> args = c.options;
        args.push_back(path);
        const run_outcome r = run_core(tmp, args);
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

// Every broken file, with the default mode, all metadata kept, turning and
// the strongest level: the engine ends normally and prints nothing; a file
// whose image data is damaged stays as it was; any file it rewrites is
// smaller and shows the same image, cleanly decodable.
TEST(JpegE2e, BrokenFilesNeverCrashAndDamageIsNeverWritten) {
    const std::string root = corpus_jpeg();
    if (root.empty()) GTEST_SKIP() << "corpus not found (VELTO_CORPUS)";
    const std::string broken = root + "/broken";
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(broken)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    ASSERT_FALSE(names.empty());
    int damaged_files = 0;
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{"-l"}, {"-l", "-nostrip", "-jpg-s4"}, {"-l", "-rotate", "-jpg-s2"}}) {
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
        EXPECT_TRUE(r.status == 0 || r.status == 1) << options.back() << " status " << r.status;
        EXPECT_EQ(r.err, "") << options.back();
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
            const bool turned = std::find(options.begin(), options.end(), "-rotate") != options.end();
            EXPECT_TRUE(turned || same_image(in.image, out.image)) << options.back() << " " << name;
        }
    }
    EXPECT_GT(damaged_files, 10);  // the folder does hold damaged image data
}

// A valid 20000 x 14000 file: handled within the memory limit, never larger.
TEST(JpegE2e, GiantImageWithinLimits) {
    const std::string root = corpus_jpeg();
    if (root.empty()) GTEST_SKIP() << "corpus not found (VELTO_CORPUS)";
    temp_folder tmp;
    const std::string path = tmp / "giant.jpg";
    const std::string before = read_file(root + "/limits/giant-20000x14000-grey.jpg");
    write_file(path, before);
    const run_outcome r = run_core(tmp, {"-l", "-jpg-s1", path});
    EXPECT_EQ(r.status, 0);
    EXPECT_LE(read_file(path).size(), before.size());
}

}  // namespace
