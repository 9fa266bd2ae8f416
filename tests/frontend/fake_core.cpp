// A stand-in for the engine that the window tests run instead of `core`. It
// appends its arguments to a log (one line per start, tab-separated), answers
// 500 to "-c500", answers 22 to "-preview-check" for names holding
// "no-preview", writes the preview files into LOCALAPPDATA, and otherwise
// shrinks every file it is given to half its size (a name holding "vanish" is
// deleted instead). Like the engine, it answers 1 for a path that does not
// exist and writes nothing for it. Set through the environment:
//   VELTO_FAKE_LOG       the log file
//   VELTO_FAKE_SLEEP_MS  sleep this long in every start that names files
//   VELTO_FAKE_CRASH     abort when this argument is on the command line
//   VELTO_FAKE_VIEW      size of the view "WxH" (default 320x200), "none"
//                        for no view file, "short" for a 10-byte one
// A start that finds another one still running writes "overlap" to the log;
// every start writes its process id to the log's name + ".pid".
#include <fcntl.h>
#include <png.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

bool contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_all(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A view: bands whose colour follows `tint`, so two views look different.
void write_view(const std::string& path, int tint) {
    const std::string spec = env("VELTO_FAKE_VIEW");
    if (spec == "none") return;
    if (spec == "short") {
        write_all(path, "\x89PNG\r\n\x1a\nshort");
        return;
    }
    int w = 320, h = 200;
    if (!spec.empty()) std::sscanf(spec.c_str(), "%dx%d", &w, &h);
    std::vector<unsigned char> pixels(static_cast<size_t>(w) * h * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            unsigned char* p = &pixels[(static_cast<size_t>(y) * w + x) * 4];
            const bool band = (x / 20 + y / 20) % 2 == 0;
            p[0] = static_cast<unsigned char>(band ? tint : 255 - tint);
            p[1] = static_cast<unsigned char>(x * 255 / w);
            p[2] = static_cast<unsigned char>(y * 255 / h);
            p[3] = 255;
        }
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(w);
    image.height = static_cast<png_uint_32>(h);
    image.format = PNG_FORMAT_RGBA;
    png_image_write_to_file(&image, path.c_str(), 0, pixels.data(), 0, nullptr);
}

int quality_of(const std::vector<std::string>& args) {
    for (const std::string& a : args)
        if (a.rfind("-q=", 0) == 0) return std::atoi(a.c_str() + 3);
    return 90;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const std::string log = env("VELTO_FAKE_LOG");
    std::string lock;
    if (!log.empty()) {
        lock = log + ".running";
        const int fd = ::open(lock.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644);
        std::ofstream out(log, std::ios::app);
        if (fd < 0) {
            out << "overlap\n";
            lock.clear();
        } else {
            ::close(fd);
        }
        for (size_t i = 0; i < args.size(); ++i) out << (i ? "\t" : "") << args[i];
        out << "\n";
        std::ofstream(log + ".pid", std::ios::trunc) << ::getpid() << "\n";
    }
    struct unlock {
        std::string path;
        ~unlock() {
            if (!path.empty()) ::unlink(path.c_str());
        }
    } release{lock};

    bool preview = false, original = false, check = false;
    std::vector<std::string> paths;
    for (const std::string& a : args) {
        if (a == env("VELTO_FAKE_CRASH")) {
            ::unlink(lock.c_str());
            std::abort();
        }
        if (a == "-c500") return 500;
        if (a == "-preview") preview = true;
        if (a == "-preview-original") original = true;
        if (a == "-preview-check") check = true;
        if (a[0] != '-') paths.push_back(a);
    }
    if (!paths.empty() && !env("VELTO_FAKE_SLEEP_MS").empty())
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(env("VELTO_FAKE_SLEEP_MS").c_str())));

    const std::string data = env("LOCALAPPDATA") + "/";
    int result = 0;
    for (const std::string& path : paths) {
        if (::access(path.c_str(), F_OK) != 0) {
            result = 1;
            continue;
        }
        const std::string bytes = read_all(path);
        if (check) {
            if (contains(path, "no-preview")) return 22;
        } else if (preview) {
            const int q = quality_of(args);
            const bool png = bytes.rfind("\x89PNG", 0) == 0;
            write_all(data + (png ? "temp-result-png.png" : "temp-result-jpg.jpg"), std::string(100 + 10 * q, 'r'));
            write_view(data + "temp-view.png", q * 2);
        } else if (original) {
            write_view(data + "temp-view.png", 40);
        } else if (contains(path, "vanish")) {
            ::unlink(path.c_str());
        } else {
            write_all(path, bytes.substr(0, bytes.size() / 2));
        }
    }
    return result;
}
