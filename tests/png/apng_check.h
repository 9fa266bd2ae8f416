// Checks shared by the animated-road tests: running the PNG driver on a file
// in a scratch folder, and comparing what an optimised animation shows with
// its input, by our reader and by Debian's apngdis as a second, independent
// reader (full-canvas frames and their delays).
#pragma once
#include <gtest/gtest.h>
#include <png.h>

#include <boost/filesystem.hpp>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "core/job.h"
#include "core/options.h"
#include "core/png/apng_reader.h"
#include "core/png/png_optimizer.h"
#include "png/apng_builder.h"

namespace apng_test {

namespace fs = boost::filesystem;


struct scratch {
    fs::path dir = fs::temp_directory_path() / fs::unique_path("apng-%%%%-%%%%");
    scratch() { fs::create_directories(dir); }
    ~scratch() {
        boost::system::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::string operator/(const std::string& name) const { return (dir / name).string(); }
};

inline bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
inline void write_file(const std::string& path, const bytes& data) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

inline image_job job_for(const bytes& file, bool lossless, uint8_t png_level) {
    default_flags flags;
    init_default_flags(flags);
    flags.lossless = lossless ? 1 : 0;
    flags.png_level = png_level;
    image_job job;
    init_image_job(job, flags, uint32_t(file.size()));
    return job;
}

// One shown frame: its pixels and how long it shows, as a fraction.
struct shown_frame {
    bytes pixels;
    uint64_t num, den;
};

inline bool same_visible(const bytes& a, const bytes& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i + 3 < a.size(); i += 4) {
        if (a[i + 3] == 0 && b[i + 3] == 0) continue;
        if (a[i] != b[i] || a[i + 1] != b[i + 1] || a[i + 2] != b[i + 2] || a[i + 3] != b[i + 3]) return false;
    }
    return true;
}

// Runs of visibly equal frames become one frame showing for their summed time.
inline std::vector<shown_frame> timeline(std::vector<shown_frame> frames) {
    std::vector<shown_frame> out;
    for (shown_frame& f : frames) {
        if (f.den == 0) f.den = 100;
        if (!out.empty() && same_visible(out.back().pixels, f.pixels)) {
            shown_frame& last = out.back();
            last.num = last.num * f.den + f.num * last.den;
            last.den *= f.den;
            last.pixels = f.pixels;
        } else {
            out.push_back(f);
        }
    }
    return out;
}

inline void expect_same_timeline(const std::vector<shown_frame>& want, const std::vector<shown_frame>& got,
                          const std::string& what) {
    const std::vector<shown_frame> a = timeline(want), b = timeline(got);
    ASSERT_EQ(a.size(), b.size()) << what;
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_TRUE(same_visible(a[i].pixels, b[i].pixels)) << what << " frame " << i;
        // Delays only matter while the file animates.
        if (a.size() > 1) {
            EXPECT_EQ(a[i].num * b[i].den, b[i].num * a[i].den) << what << " delay of frame " << i;
        }
    }
}

// The animation frames (the default image outside it left out) by our reader.
inline bool our_frames(const bytes& file, std::vector<shown_frame>& frames, bytes* hidden = nullptr) {
    apng_animation a;
    if (!load_apng(file.data(), file.size(), a)) return false;
    frames.clear();
    for (size_t i = 0; i < a.frames.size(); ++i) {
        if (i == 0 && a.default_skipped) {
            if (hidden) *hidden = a.frames[0].pixels;
            continue;
        }
        frames.push_back({a.frames[i].pixels, a.frames[i].delay_num, a.frames[i].delay_den});
    }
    return true;
}

inline bool apngdis_present() { return std::system("command -v apngdis >/dev/null 2>&1") == 0; }

inline bytes decode_rgba(const std::string& path, uint32_t& width, uint32_t& height) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return {};
    image.format = PNG_FORMAT_RGBA;
    bytes out(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, out.data(), 0, nullptr)) return {};
    width = image.width;
    height = image.height;
    return out;
}

// The frames apngdis extracts from `file` (full canvas, RGBA), with delays.
inline bool apngdis_frames(const bytes& file, std::vector<shown_frame>& frames) {
    scratch tmp;
    write_file(tmp / "a.png", file);
    const std::string command = "cd '" + tmp.dir.string() + "' && apngdis a.png f >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) return false;
    frames.clear();
    for (int i = 1;; ++i) {
        std::string index = std::to_string(i);
        // apngdis numbers frames with as many digits as the frame count has.
        std::string png;
        for (std::string padded = index; padded.size() <= 5; padded = "0" + padded)
            if (fs::exists(tmp / ("f" + padded + ".png"))) {
                png = tmp / ("f" + padded + ".png");
                break;
            }
        if (png.empty()) break;
        uint32_t w = 0, h = 0;
        shown_frame f{decode_rgba(png, w, h), 1, 10};
        std::ifstream txt(png.substr(0, png.size() - 4) + ".txt");
        std::string line;
        std::getline(txt, line);
        if (std::sscanf(line.c_str(), "delay=%lu/%lu", &f.num, &f.den) != 2) return false;
        frames.push_back(f);
    }
    return !frames.empty();
}

struct run_result {
    int code;
    bytes before, after;
    image_job job;
};
inline run_result optimise(const bytes& file, bool lossless, uint8_t level) {
    scratch tmp;
    const std::string path = tmp / "anim.png";
    write_file(path, file);
    run_result r{0, file, {}, job_for(file, lossless, level)};
    r.code = optimize_png_file(path, r.job);
    r.after = read_file(path);
    return r;
}

// Checks an optimised file against its input: the same frames by our reader
// and by apngdis (exactly when lossless), never larger.
inline void check_output(const run_result& r, bool exact, const std::string& what) {
    EXPECT_LE(r.after.size(), r.before.size()) << what;
    if (r.after == r.before) return;
    std::vector<shown_frame> want, got;
    bytes hidden_in, hidden_out;
    ASSERT_TRUE(our_frames(r.before, want, &hidden_in)) << what;
    const bool animated = our_frames(r.after, got, &hidden_out);
    if (!animated) {
        // Merged down to one frame: a plain PNG.
        uint32_t w = 0, h = 0;
        scratch tmp;
        write_file(tmp / "still.png", r.after);
        got = {{decode_rgba(tmp / "still.png", w, h), 1, 10}};
        ASSERT_FALSE(got[0].pixels.empty()) << what;
    }
    if (!exact) {
        EXPECT_EQ(timeline(want).size() >= timeline(got).size(), true) << what;
        return;
    }
    expect_same_timeline(want, got, what + " (our reader)");
    EXPECT_TRUE(same_visible(hidden_in, hidden_out)) << what << " default image";
    if (animated && apngdis_present()) {
        std::vector<shown_frame> oracle;
        ASSERT_TRUE(apngdis_frames(r.after, oracle)) << what;
        expect_same_timeline(want, oracle, what + " (apngdis)");
    }
}

}  // namespace apng_test
