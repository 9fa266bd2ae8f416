// The JPEG driver's outcomes: which road a file takes for each option
// combination, what reaches job.result and job.preview_refused, and whether
// the file may be rewritten.
#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <cstdlib>
#include <string>

#include "core/job.h"
#include "core/jpg/jpeg_optimizer.h"
#include "core/options.h"
#include "core/temp_folder.h"
#include "jpg/jpeg_fixture.h"

namespace {

using namespace jpeg_fixture;

struct driver_case {
    const char* label;
    J_COLOR_SPACE input;
    void (*set)(default_flags&);
    uint8_t result;
    uint8_t preview_refused;
    bool rewritten;
    uint8_t level;  // job.jpeg_level afterwards
};

TEST(JpegDriver, OutcomeByOptions) {
    const driver_case cases[] = {
        {"lossless, no level given: level 1", JCS_RGB, [](default_flags& f) { f.lossless = 1; }, 0, 0, true, 1},
        {"lossy road: re-encoded", JCS_RGB, [](default_flags&) {}, 0, 0, true, 0},
        {"CMYK with -strip: skipped", JCS_CMYK, [](default_flags& f) { f.metadata_mode = 2; }, 2, 0, false, 255},
        {"CMYK, default mode: lossless forced", JCS_CMYK, [](default_flags&) {}, 0, 0, true, 1},
        {"CMYK preview: refused", JCS_CMYK, [](default_flags& f) { f.preview = 1; }, 0, 1, false, 255},
        {"CMYK preview check: refused", JCS_CMYK, [](default_flags& f) { f.preview_check = 1; }, 0, 1, false, 255},
        {"preview check: inspection only", JCS_RGB, [](default_flags& f) { f.preview_check = 1; }, 0, 0, false, 255},
        {"preview of the original: untouched", JCS_RGB, [](default_flags& f) { f.preview_original = 1; }, 0, 0, false, 0},
        {"preview with -l: the lossless road", JCS_RGB,
         [](default_flags& f) {
             f.preview = 1;
             f.lossless = 1;
             f.jpeg_level = 2;
         },
         0, 0, true, 2},
    };
    for (const driver_case& c : cases) {
        encode_options o;
        o.input = c.input;
        o.segments = {{0xFE, bytes(2000, 'c')}};  // any transcoded result is smaller
        const bytes input = encode(o);
        temp_folder tmp;
        const std::string path = tmp / "image.jpg";
        write_file(path, std::string(input.begin(), input.end()));
        ::setenv("LOCALAPPDATA", (tmp / "appdata").c_str(), 1);  // the views go there
        default_flags flags;
        init_default_flags(flags);
        c.set(flags);
        image_job job;
        init_image_job(job, flags, static_cast<uint32_t>(input.size()));
        optimize_jpeg_file(path, job);
        EXPECT_EQ(job.result, c.result) << c.label;
        EXPECT_EQ(job.preview_refused, c.preview_refused) << c.label;
        EXPECT_EQ(job.jpeg_level, c.level) << c.label;
        const std::string after = read_file(path);
        EXPECT_EQ(after != std::string(input.begin(), input.end()), c.rewritten) << c.label;
        // The lossless road keeps the pixels; the lossy one only the size.
        const decoded out = decode(bytes(after.begin(), after.end()));
        if (c.rewritten && flags.lossless == 0 && c.input == JCS_RGB) {
            EXPECT_TRUE(out.ok && out.width == o.width && out.height == o.height) << c.label;
        } else if (c.rewritten) {
            EXPECT_TRUE(out.pixels == decode(input).pixels) << c.label;
        }
    }
}

TEST(JpegDriver, UnreadableFilesFail) {
    temp_folder tmp;
    default_flags flags;
    init_default_flags(flags);
    flags.lossless = 1;
    const struct {
        const char* label;
        std::string content;
    } cases[] = {
        {"signature only", std::string("\xFF\xD8\xFF\xE0", 4) + std::string(60, 'x')},
        {"missing file", ""},
    };
    for (const auto& c : cases) {
        const std::string path = tmp / "image.jpg";
        boost::filesystem::remove(path);
        if (!c.content.empty()) write_file(path, c.content);
        image_job job;
        init_image_job(job, flags, static_cast<uint32_t>(c.content.size()));
        optimize_jpeg_file(path, job);
        EXPECT_EQ(job.result, 1) << c.label;
        if (!c.content.empty()) {
            EXPECT_EQ(read_file(path), c.content) << c.label;
        }
    }
}

}  // namespace
