// Black-box test of the engine binary: exit codes, which files are touched, and
// silence on standard output and standard error.
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cstdio>  // jpeglib.h needs FILE
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <jpeglib.h>

#include "core/temp_folder.h"
#include "e2e/run_core.h"

namespace {

namespace fs = boost::filesystem;

const int64_t old_time_s = 978307200;  // 2001-01-01

enum class kind { png, jpeg, riff, text, real_png, real_jpeg, folder, sparse_png };

struct fixture {
    std::string name;
    kind what;
    uint64_t size = 0;
    mode_t mode = 0644;
};

fixture png(const std::string& n, uint64_t size = 100) { return {n, kind::png, size}; }
fixture riff(const std::string& n, uint64_t size = 100) { return {n, kind::riff, size}; }
fixture text(const std::string& n, uint64_t size = 100) { return {n, kind::text, size}; }
fixture real_png(const std::string& n) { return {n, kind::real_png}; }
fixture real_jpeg(const std::string& n, mode_t mode = 0644) { return {n, kind::real_jpeg, 0, mode}; }
fixture folder(const std::string& n) { return {n, kind::folder}; }
fixture sparse_png(const std::string& n, uint64_t size) { return {n, kind::sparse_png, size}; }

// Small valid images made here, so that the cases that reach a pipeline hold
// whether the pipelines are stubs or real, with or without the shared corpus.
// Gradients with a transparent corner, RGBA 8-bit.
std::vector<uint8_t> small_rgba_pixels(uint32_t width, uint32_t height) {
    std::vector<uint8_t> pixels(size_t(width) * height * 4);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            uint8_t* p = &pixels[(size_t(y) * width + x) * 4];
            p[0] = uint8_t(x * 15);
            p[1] = uint8_t(y * 15);
            p[2] = uint8_t((x ^ y) * 8);
            p[3] = x < 4 && y < 4 ? 0 : 255;
        }
    return pixels;
}

// A 16 x 16 RGBA PNG written by libpng.
std::string small_png() {
    const std::vector<uint8_t> pixels = small_rgba_pixels(16, 16);
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = 16;
    image.height = 16;
    image.format = PNG_FORMAT_RGBA;
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&image, nullptr, &size, 0, pixels.data(), 0, nullptr)) return {};
    std::string bytes(size, '\0');
    if (!png_image_write_to_memory(&image, bytes.data(), &size, 0, pixels.data(), 0, nullptr)) return {};
    bytes.resize(size);
    return bytes;
}

// A 17 x 17 baseline JPEG written by libjpeg.
std::string small_jpeg() {
    const std::vector<uint8_t> rgba = small_rgba_pixels(17, 17);
    std::vector<uint8_t> rgb;
    for (size_t i = 0; i < rgba.size(); i += 4) rgb.insert(rgb.end(), {rgba[i], rgba[i + 1], rgba[i + 2]});
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = 17;
    cinfo.image_height = 17;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = rgb.data() + size_t(cinfo.next_scanline) * 17 * 3;
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    std::string bytes(reinterpret_cast<const char*>(buffer), size);
    jpeg_destroy_compress(&cinfo);
    std::free(buffer);
    return bytes;
}

void make_fixture(const temp_folder& tmp, const fixture& f) {
    const std::string path = tmp / f.name;
    switch (f.what) {
    case kind::folder: fs::create_directories(path); return;
    case kind::png: write_file(path, signed_bytes(png_signature, f.size)); break;
    case kind::jpeg: write_file(path, signed_bytes(jpeg_signature, f.size)); break;
    case kind::riff: write_file(path, signed_bytes(riff_signature, f.size)); break;
    case kind::text: write_file(path, std::string(f.size, 't')); break;
    case kind::real_png:
        write_file(path, small_png());
        break;
    case kind::real_jpeg:
        write_file(path, small_jpeg());
        break;
    case kind::sparse_png:
        write_file(path, signed_bytes(png_signature, 64));
        ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(f.size)), 0);
        break;
    }
    struct timespec times[2] = {{old_time_s, 0}, {old_time_s, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    ASSERT_EQ(::chmod(path.c_str(), f.mode), 0);
}

// What "untouched" compares: size, modification time and the first bytes
// (the 2 GiB fixture is not read whole).
struct snapshot {
    uint64_t size;
    int64_t mtime_s;
    long mtime_ns;
    std::string head;
    bool operator==(const snapshot&) const = default;
};

snapshot take_snapshot(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    std::string head = read_file_head(path);
    return {static_cast<uint64_t>(st.st_size), st.st_mtim.tv_sec, st.st_mtim.tv_nsec, head};
}

struct e2e_case {
    const char* name;
    std::vector<fixture> files;
    std::vector<std::string> args;  // "@x" stands for the fixture x
    int status;                     // as a parent sees it: 8 bits
    std::vector<std::string> untouched;
    std::vector<std::string> keeps_time = {};
    std::vector<std::string> holds_png = {};
};

const e2e_case cases[] = {
    {"no argument", {}, {}, 0, {}},
    {"probe alone answers 500, seen as 244", {}, {"-c500"}, 244, {}},
    {"bad option before the probe", {}, {"-x", "-c500"}, 2, {}},
    {"bad option after the probe", {}, {"-c500", "-x"}, 244, {}},
    {"probe after a path", {png("a.png")}, {"@a.png", "-c500"}, 244, {"a.png"}},
    {"help after a path", {png("a.png")}, {"@a.png", "-h"}, 0, {"a.png"}},
    {"bad option after a path", {png("a.png")}, {"@a.png", "-bogus"}, 2, {"a.png"}},
    {"lossless with quality", {png("a.png")}, {"-l", "-q=80", "@a.png"}, 2, {"a.png"}},
    {"quality with lossless", {png("a.png")}, {"-q=80", "-lossless", "@a.png"}, 2, {"a.png"}},
    {"lossless with quality, then the probe", {}, {"-l", "-q=80", "-c500"}, 244, {}},
    {"quality 0", {png("a.png")}, {"-q=0", "@a.png"}, 2, {"a.png"}},
    {"quality 101", {png("a.png")}, {"-q=101", "@a.png"}, 2, {"a.png"}},
    {"quality letters", {png("a.png")}, {"-q=abc", "@a.png"}, 2, {"a.png"}},
    {"resize 23", {png("a.png")}, {"-resize=23", "@a.png"}, 2, {"a.png"}},
    {"resize 4097", {png("a.png")}, {"-resize=4097", "@a.png"}, 2, {"a.png"}},
    {"process 5", {png("a.png")}, {"-process=5", "@a.png"}, 2, {"a.png"}},
    {"bad quality not hidden by a later resize", {png("a.png")}, {"-q=0", "-resize=100", "@a.png"}, 2, {"a.png"}},
    {"bad quality overwritten by a good one", {real_png("a.png")}, {"-q=0", "-q=80", "@a.png"}, 0, {}},
    {"quality 65537 is quality 1", {real_png("a.png")}, {"-q=65537", "@a.png"}, 0, {}},
    {"accepted switches", {real_png("a.png")}, {"-process=0", "-no-apng", "-no-webp", "-png-s0", "@a.png"}, 0, {}},
    {"missing path", {}, {"@missing.png"}, 1, {}},
    {"missing path beside a good file", {real_png("a.png")}, {"@missing.png", "@a.png"}, 1, {}},
    {"options without a path", {}, {"-png-s1"}, 1, {}},
    {"options without a path, quiet", {}, {"-quiet", "-png-s1"}, 0, {}},
    {"extension Png is skipped", {text("t.Png")}, {"@t.Png"}, 0, {"t.Png"}},
    {"extension PNG is admitted", {text("t.PNG")}, {"@t.PNG"}, 1, {"t.PNG"}},
    {"37 bytes fail", {png("s.png", 37)}, {"@s.png"}, 1, {"s.png"}},
    {"38 bytes reach the format test", {riff("s.png", 38)}, {"@s.png"}, 0, {"s.png"}},
    {"read-only JPEG", {real_jpeg("ro.jpg", 0444)}, {"@ro.jpg"}, 1, {"ro.jpg"}},
    {"jpg holding PNG data stays PNG", {real_png("p.jpg")}, {"@p.jpg"}, 0, {}, {}, {"p.jpg"}},
    {"webp holding RIFF", {riff("w.webp")}, {"@w.webp"}, 0, {"w.webp"}},
    {"jpg holding RIFF", {riff("w.jpg")}, {"@w.jpg"}, 0, {"w.jpg"}},
    {"jpeg holding text", {text("t.jpeg")}, {"@t.jpeg"}, 1, {"t.jpeg"}},
    {"jpeg holding text, quiet", {text("t.jpeg")}, {"-q", "@t.jpeg"}, 1, {"t.jpeg"}},
    {"one file refused", {real_png("a.png")}, {"-noalpha", "-resize=512", "@a.png"}, 2, {"a.png"}},
    {"one file refused, quiet", {real_png("a.png")}, {"-quiet", "-noalpha", "-resize=512", "@a.png"}, 0, {"a.png"}},
    {"two files refused", {real_png("a.png"), real_png("b.png")}, {"-l", "-srgb", "@a.png", "@b.png"}, 0,
     {"a.png", "b.png"}},
    {"JPEG refused alone", {real_jpeg("a.jpg")}, {"-lossless", "-resize=800", "@a.jpg"}, 2, {"a.jpg"}},
    {"folder with a sub-folder",
     {folder("d"), real_png("d/a.png"), text("d/notes.txt"), folder("d/sub"), real_png("d/sub/b.png")},
     {"@d"}, 0, {"d/notes.txt"}},
    {"a folder is never a single-file run", {folder("d"), real_png("d/a.png")}, {"-noalpha", "-resize=512", "@d"}, 0,
     {"d/a.png"}},
    {"empty folder", {folder("d")}, {"@d"}, 0, {}},
    {"sub-folder named like a PNG", {folder("d"), folder("d/x.png")}, {"@d"}, 1, {}},
    {"notime keeps the time", {real_png("a.png")}, {"-notime", "@a.png"}, 0, {}, {"a.png"}},
    {"2 GiB file fails untouched", {sparse_png("big.png", 0x80000000ull)}, {"@big.png"}, 1, {"big.png"}},
    {"2 GiB file fails untouched, quiet", {sparse_png("big.png", 0x80000000ull)}, {"-q", "@big.png"}, 1,
     {"big.png"}},
    {"same file twice", {real_png("a.png")}, {"@a.png", "@a.png"}, 0, {}},
};

std::string expand(const temp_folder& tmp, const std::string& arg) { return arg[0] == '@' ? tmp / arg.substr(1) : arg; }

TEST(EngineBinary, ExitCodesAndTouchedFiles) {
    ASSERT_NE(std::getenv("VELTO_CORE"), nullptr) << "VELTO_CORE names the engine binary";
    for (const e2e_case& c : cases) {
        SCOPED_TRACE(c.name);
        temp_folder tmp;
        for (const fixture& f : c.files) make_fixture(tmp, f);
        std::vector<std::string> args;
        for (const std::string& a : c.args) args.push_back(expand(tmp, a));
        std::vector<snapshot> before;
        for (const std::string& name : c.untouched) before.push_back(take_snapshot(tmp / name));

        run_outcome r = run_core(tmp, args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, "");  // no title either: standard output is not a terminal
        EXPECT_EQ(r.err, "");
        for (size_t i = 0; i < c.untouched.size(); ++i)
            EXPECT_TRUE(take_snapshot(tmp / c.untouched[i]) == before[i]) << c.untouched[i] << " was changed";
        for (const std::string& name : c.keeps_time) EXPECT_EQ(take_snapshot(tmp / name).mtime_s, old_time_s) << name;
        for (const std::string& name : c.holds_png)
            EXPECT_EQ(read_file(tmp / name).substr(0, 8), png_signature) << name;
    }
}

// Others may be able to write into the data folder (LOCALAPPDATA may name a
// shared folder). A link planted there under a preview file's name is
// replaced by the preview; the file it points at is never written.
TEST(EngineBinary, PreviewsReplaceLinksInTheDataFolder) {
    ASSERT_NE(std::getenv("VELTO_CORE"), nullptr);
    const std::vector<std::string> preview_names = {"temp-result-jpg.jpg", "temp-result-png.png", "temp-view.png"};
    const struct {
        const char* name;
        fixture input;
        std::string option;
        std::vector<std::string> written;
    } preview_cases[] = {
        {"PNG preview", real_png("a.png"), "-preview", {"temp-result-png.png", "temp-view.png"}},
        {"JPEG preview", real_jpeg("a.jpg"), "-preview", {"temp-result-jpg.jpg", "temp-view.png"}},
        {"view of the original", real_png("a.png"), "-preview-original", {"temp-view.png"}},
    };
    for (const auto& c : preview_cases) {
        SCOPED_TRACE(c.name);
        temp_folder tmp;
        make_fixture(tmp, c.input);
        fs::create_directories(tmp / "appdata");
        fs::create_directories(tmp / "victims");
        for (const std::string& name : preview_names) {
            write_file(tmp / ("victims/" + name), "someone else's " + name);
            fs::create_symlink(tmp / ("victims/" + name), tmp / ("appdata/" + name));
        }
        const snapshot input = take_snapshot(tmp / c.input.name);

        EXPECT_EQ(run_core(tmp, {c.option, tmp / c.input.name}).status, 0);
        EXPECT_TRUE(take_snapshot(tmp / c.input.name) == input);
        for (const std::string& name : preview_names) {
            SCOPED_TRACE(name);
            EXPECT_EQ(read_file(tmp / ("victims/" + name)), "someone else's " + name);
            const std::string path = tmp / ("appdata/" + name);
            const bool written = std::find(c.written.begin(), c.written.end(), name) != c.written.end();
            EXPECT_EQ(fs::is_symlink(path), !written);
            if (!written) continue;
            const std::string signature = name.ends_with(".jpg") ? jpeg_signature.substr(0, 3) : png_signature;
            EXPECT_EQ(read_file(path).substr(0, signature.size()), signature);
        }
        for (fs::directory_iterator it(tmp / "appdata"), end; it != end; ++it)
            EXPECT_FALSE(it->path().filename().string().starts_with(".velto-")) << it->path();
    }
}

std::string read_available(int fd) {
    std::string got;
    char buf[256];
    pollfd ready{fd, POLLIN, 0};
    while (::poll(&ready, 1, 100) > 0) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

TEST(EngineBinary, TitleOnlyOnATerminalForAVerboseRunWithGoodPaths) {
    ASSERT_NE(std::getenv("VELTO_CORE"), nullptr);
    int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) GTEST_SKIP() << "no pseudo-terminal";
    int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    const std::string title = "\033]0;(0%) - krast\007";
    const struct { std::vector<std::string> args; bool titled; } title_cases[] = {
        {{"@a.png"}, true},
        {{"@d"}, true},
        {{}, false},
        {{"-c500"}, false},
        {{"-q", "@a.png"}, false},
        {{"@missing.png", "@a.png"}, false},
    };
    for (const auto& c : title_cases) {
        temp_folder tmp;
        make_fixture(tmp, real_png("a.png"));
        make_fixture(tmp, folder("d"));
        std::vector<std::string> args;
        for (const std::string& a : c.args) args.push_back(expand(tmp, a));
        run_core(tmp, args, terminal);
        EXPECT_EQ(read_available(master), c.titled ? title : "") << (c.args.empty() ? "" : c.args[0]);
    }
    ::close(terminal);
    ::close(master);
}

}  // namespace
