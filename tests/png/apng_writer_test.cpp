// The APNG writer: chunk layout, sequence numbers and CRCs, the regions and
// ops it picks, the zlib window fix, and round trips through the reader that
// must show every frame of the set as it was.
#include <gtest/gtest.h>

#include <zlib.h>

#include "core/job.h"
#include "core/png/apng_reader.h"
#include "core/png/apng_writer.h"
#include "png/apng_set_util.h"

namespace {

using namespace apng_test;

struct fctl_fields {
    uint32_t sequence, width, height, x, y, delay_num, delay_den, dispose, blend;
};
fctl_fields parse_fctl(const bytes& d) {
    return {get_u32(&d[0]), get_u32(&d[4]), get_u32(&d[8]), get_u32(&d[12]), get_u32(&d[16]),
            uint32_t(d[20] << 8 | d[21]), uint32_t(d[22] << 8 | d[23]), d[24], d[25]};
}

image_job writer_job(uint8_t png_level) {
    image_job job{};
    job.png_level = png_level;
    job.threads = 1;
    return job;
}

// Writes the set, checks the file's structure and that the reader shows
// every record as it was; returns the file.
bytes round_trip(const std::vector<apng_frame>& set, size_t offset, uint8_t png_level = 0,
                 apng_filter_flags flags = {}) {
    image_job job = writer_job(png_level);
    bytes file;
    EXPECT_EQ(save_apng(file, set, 3, offset, flags, job), 0);
    EXPECT_EQ(job.width, set[0].width);
    const std::vector<chunk_view> chunks = list_chunks(file);
    uint32_t sequence = 0;
    size_t fctl_count = 0;
    for (const chunk_view& c : chunks) {
        EXPECT_TRUE(c.crc_ok) << c.type;
        if (c.type == "fcTL") {
            const fctl_fields f = parse_fctl(c.data);
            EXPECT_EQ(f.sequence, sequence++);
            EXPECT_LE(uint64_t(f.x) + f.width, set[0].width);
            EXPECT_LE(uint64_t(f.y) + f.height, set[0].height);
            ++fctl_count;
        }
        if (c.type == "fdAT") {
            EXPECT_EQ(get_u32(c.data.data()), sequence++);
        }
    }
    EXPECT_EQ(chunks.front().type, "IHDR");
    EXPECT_EQ(chunks.back().type, "IEND");
    const std::vector<bytes> want = set_as_rgba(set);
    if (set.size() == 1 && offset == 0) {
        EXPECT_EQ(fctl_count, 0u);
        return file;
    }
    EXPECT_EQ(fctl_count, set.size() - offset);
    apng_animation back;
    EXPECT_TRUE(load_apng(file.data(), file.size(), back));
    EXPECT_EQ(back.default_skipped, offset == 1);
    EXPECT_EQ(back.play_count, 3u);
    EXPECT_EQ(back.frames.size(), set.size());
    for (size_t i = 0; i < back.frames.size() && i < set.size(); ++i) {
        EXPECT_TRUE(same_visible(back.frames[i].pixels, want[i])) << "frame " << i;
        if (i >= offset) {
            EXPECT_EQ(back.frames[i].delay_num, set[i].delay_num);
        }
    }
    return file;
}

std::vector<fctl_fields> fctls(const bytes& file) {
    std::vector<fctl_fields> out;
    for (const chunk_view& c : list_chunks(file))
        if (c.type == "fcTL") out.push_back(parse_fctl(c.data));
    return out;
}

std::vector<std::string> chunk_types(const bytes& file) {
    std::vector<std::string> out;
    for (const chunk_view& c : list_chunks(file)) out.push_back(c.type);
    return out;
}

bytes noise_rgba(uint32_t w, uint32_t h, uint32_t seed, bool opaque = true) {
    bytes out;
    uint32_t s = seed * 2654435761u + 1;
    for (uint32_t i = 0; i < w * h; ++i) {
        s = s * 1103515245u + 12345u;
        out.insert(out.end(), {uint8_t(s >> 24), uint8_t(s >> 16), uint8_t(s >> 8), uint8_t(opaque ? 255 : s >> 4)});
    }
    return out;
}

TEST(ApngWriter, ChangedRegionsAndChunkOrder) {
    // Three RGBA frames: the second changes one pixel, the third differs
    // from the second only in colours under alpha 0.
    bytes a = noise_rgba(6, 5, 1);
    for (size_t i = 3; i < 24; i += 4) a[i] = 0;  // first row's first six pixels transparent
    bytes b = a;
    const size_t changed = (2 * 6 + 4) * 4;
    b[changed] = 1, b[changed + 1] = 2, b[changed + 2] = 3, b[changed + 3] = 255;
    bytes c = b;
    c[0] ^= 0x55;
    std::vector<apng_frame> set;
    set.push_back(make_frame(6, 5, 6, a, 1, 10));
    set.push_back(make_frame(6, 5, 6, b, 2, 10));
    set.push_back(make_frame(6, 5, 6, c, 3, 10));
    const bytes file = round_trip(set, 0);
    EXPECT_EQ(chunk_types(file),
              (std::vector<std::string>{"IHDR", "acTL", "fcTL", "IDAT", "fcTL", "fdAT", "fcTL", "fdAT", "IEND"}));
    const std::vector<fctl_fields> f = fctls(file);
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[0].blend, 0u);
    EXPECT_EQ(f[0].width, 6u);
    EXPECT_EQ((std::vector<uint32_t>{f[1].x, f[1].y, f[1].width, f[1].height}), (std::vector<uint32_t>{4, 2, 1, 1}));
    EXPECT_EQ((std::vector<uint32_t>{f[2].x, f[2].y, f[2].width, f[2].height}), (std::vector<uint32_t>{0, 0, 1, 1}));
    EXPECT_EQ(f[2].dispose, 0u);
    // No key in an RGBA set: only "none" or "previous", always blend source.
    for (const fctl_fields& x : f) {
        EXPECT_NE(x.dispose, 1u);
        EXPECT_EQ(x.blend, 0u);
    }
}

TEST(ApngWriter, RoundTripsEveryColourTypeAndLevel) {
    // Frames that change, move back and forth, and repeat, in each colour
    // type the frame set can have; at every compressor level.
    const bytes base = noise_rgba(9, 7, 3);
    for (uint8_t level : {0, 1, 2, 3, 255}) {
        for (uint32_t type : {0u, 2u, 3u, 4u, 6u}) {
            const uint32_t bpp = type == 6 ? 4 : type == 2 ? 3 : type == 4 ? 2 : 1;
            std::vector<apng_frame> set;
            for (uint32_t f = 0; f < 5; ++f) {
                bytes pixels(9 * 7 * bpp);
                for (size_t i = 0; i < pixels.size(); ++i)
                    pixels[i] = uint8_t(base[i % base.size()] % 6 + ((i / bpp) % 9 > f ? 0 : 7 * f));
                set.push_back(make_frame(9, 7, type, pixels, f + 1, 30));
            }
            if (type == 3) set_description(set[0], noise_rgba(64, 1, 9, false), {0, 255, 128, 0, 200});
            if (type == 0) set_description(set[0], {}, {0, 3});
            if (type == 2) set_description(set[0], {}, {0, 1, 0, 2, 0, 3});
            for (bool filters : {false, true}) {
                SCOPED_TRACE("type " + std::to_string(type) + " level " + std::to_string(level) +
                             (filters ? " filtered" : ""));
                round_trip(set, 0, level, {filters, false});
                round_trip(set, 1, level, {filters, true});
            }
        }
    }
}

// A palette entry with alpha between 1 and 254 blends with what lies under
// it, so a frame that changes pixels to such an entry must replace them.
TEST(ApngWriter, TranslucentPaletteEntriesNeverBlendOver) {
    bytes plte = {0, 0, 0, 255, 0, 0};
    for (int i = 2; i < 40; ++i) plte.insert(plte.end(), {uint8_t(6 * i), uint8_t(200 - 4 * i), uint8_t(i)});
    bytes first(16 * 16), second;
    for (size_t i = 0; i < first.size(); ++i) first[i] = uint8_t(2 + (i * 7 + i / 16) % 38);
    second = first;
    second[0] = 1;  // index 1 has alpha 128
    second[255] = 1;
    std::vector<apng_frame> set;
    set.push_back(make_frame(16, 16, 3, first));
    set.push_back(make_frame(16, 16, 3, second));
    set_description(set[0], plte, {0, 128});
    const bytes file = round_trip(set, 0);
    for (const fctl_fields& f : fctls(file)) EXPECT_EQ(f.blend, 0u);
    // With an opaque entry the blend-over image (unchanged pixels keyed)
    // is the smaller candidate and is taken.
    set_description(set[0], plte, {0, 255});
    const std::vector<fctl_fields> opaque = fctls(round_trip(set, 0));
    ASSERT_EQ(opaque.size(), 2u);
    EXPECT_EQ(opaque[1].blend, 1u);
}

TEST(ApngWriter, OneRecordIsAPlainPngAndHiddenDefaultHasNoFctl) {
    std::vector<apng_frame> set;
    set.push_back(make_frame(3, 2, 6, noise_rgba(3, 2, 5)));
    const bytes still = round_trip(set, 0);
    EXPECT_EQ(chunk_types(still), (std::vector<std::string>{"IHDR", "IDAT", "IEND"}));
    set.push_back(make_frame(3, 2, 6, noise_rgba(3, 2, 6)));
    const bytes hidden = round_trip(set, 1);
    EXPECT_EQ(chunk_types(hidden), (std::vector<std::string>{"IHDR", "acTL", "IDAT", "fcTL", "fdAT", "IEND"}));
    EXPECT_EQ(get_u32(list_chunks(hidden)[1].data.data()), 1u);  // one animation frame
}

TEST(ApngWriter, ZlibWindowFitsTheFrame) {
    struct row {
        uint64_t frame_bytes;
        uint8_t cinfo;
    } rows[] = {{1, 0}, {256, 0}, {257, 1}, {1000, 2}, {1024, 2}, {16384, 6}, {16385, 7}, {1u << 20, 7}};
    for (const row& r : rows) {
        uint8_t stream[2] = {0x78, 0xDA};
        fit_zlib_window(stream, 2, r.frame_bytes);
        EXPECT_EQ(stream[0] >> 4, r.cinfo) << r.frame_bytes;
        EXPECT_EQ((stream[0] << 8 | stream[1]) % 31, 0) << r.frame_bytes;
        EXPECT_EQ(stream[1] & 0xE0, 0xC0) << r.frame_bytes;  // the level bits stay
    }
    uint8_t not_deflate[2] = {0x79, 0x00};
    fit_zlib_window(not_deflate, 2, 10);
    EXPECT_EQ(not_deflate[0], 0x79);
    // The Zopfli-style stream inflates with zlib to its input.
    const bytes input = noise_rgba(40, 40, 8, false);
    const std::vector<uint8_t> z = zopfli_zlib_compress(input.data(), input.size(), 2, 2);
    bytes back(input.size());
    uLongf size = uLongf(back.size());
    ASSERT_EQ(uncompress(back.data(), &size, z.data(), uLong(z.size())), Z_OK);
    EXPECT_EQ(back, input);
}

}  // namespace
