#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "core/png/codec/quantize.h"

namespace {

using pixel = std::array<uint8_t, 4>;

std::vector<uint8_t> image_of(const std::vector<pixel>& pixels) {
    std::vector<uint8_t> out;
    for (const pixel& p : pixels) out.insert(out.end(), p.begin(), p.end());
    return out;
}

struct quantized {
    int32_t result = 0;
    std::vector<uint8_t> indices;
    std::vector<uint8_t> palette = std::vector<uint8_t>(1024, 0xEE);
};

quantized run(const std::vector<uint8_t>& img, uint32_t w, uint32_t h, uint16_t max_colours, uint8_t quality,
              uint8_t apng = 0) {
    quantized q;
    q.indices.assign(size_t(w) * h, 0);
    q.result = quantize_palette(img.data(), q.indices, q.palette.data(), w, h, max_colours, quality, apng, 0);
    return q;
}

pixel palette_entry(const quantized& q, uint8_t index) {
    return {q.palette[4 * index], q.palette[4 * index + 1], q.palette[4 * index + 2], q.palette[4 * index + 3]};
}

// A literal, slow rendering of the quantiser's rules: ordered maps for the
// census, seven radii and rings stored per colour, vectors as buckets. The
// library's compact version must produce the same bytes.
int32_t reference_quantize(const std::vector<uint8_t>& px, uint32_t width, uint32_t height, uint32_t max_colours,
                           uint8_t quality, uint8_t apng, std::vector<uint8_t>& index_out, uint8_t* palette_out,
                           bool count_only) {
    struct colour {
        uint8_t raw[4];
        int w[4];
        int64_t count = 0;
        int32_t distance = 2147483647;
        uint32_t nearest = 0;
        bool seed = false;
        int64_t radius[7];
        int64_t ring[7];
    };
    const uint64_t total = uint64_t(width) * height;
    std::vector<std::map<uint32_t, uint32_t>> maps(4096);
    std::vector<colour> colours;
    std::vector<uint32_t> number(total);
    uint32_t previous_key = 0;
    for (uint64_t i = 0; i < total; ++i) {
        const uint8_t* p = &px[4 * i];
        uint32_t key = p[3] == 0 ? 0 : (uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]);
        if (i > 0 && key == previous_key) {
            number[i] = number[i - 1];
        } else {
            auto& m = maps[key >> 20];
            auto it = m.find(key);
            if (it == m.end()) {
                colour c;
                for (int k = 0; k < 4; ++k) c.raw[k] = p[k];
                if (key == 0) c.raw[3] = 0;
                int a = p[3];
                int a45 = int(std::floor(0.45 * a + 0.5));
                c.w[0] = (p[0] * ((a + 1) / 2)) / 256;
                c.w[1] = (p[1] * a) / 256;
                c.w[2] = (p[2] * a45) / 256;
                c.w[3] = a;
                it = m.emplace(key, uint32_t(colours.size())).first;
                colours.push_back(c);
            }
            number[i] = it->second;
            previous_key = key;
        }
        ++colours[number[i]].count;
    }
    const size_t n = colours.size();
    const int64_t budget = quantize_error_budget(total, quality, apng);
    const uint32_t grace = quantize_grace_count(total);
    std::vector<uint32_t> palette;
    int64_t total_error = 0;
    auto distance = [&](uint32_t i, uint32_t j) {
        int s = 0;
        for (int k = 0; k < 4; ++k) s += (colours[i].w[k] - colours[j].w[k]) * (colours[i].w[k] - colours[j].w[k]);
        return s;
    };
    auto add = [&](uint32_t c, uint32_t k) {
        palette.push_back(c);
        colours[c].nearest = k;
        colours[c].distance = 0;
        for (uint32_t i = 0; i < n; ++i) {
            if (colours[i].distance <= 0) continue;
            int d = distance(c, i);
            if (d < colours[i].distance) {
                colours[i].distance = d;
                colours[i].nearest = k;
            }
        }
    };
    const uint64_t threshold = n > 256 ? uint32_t(4 * total) / max_colours : n;
    uint32_t most = 0;
    for (uint32_t c = 0; c < n; ++c) {
        if (palette.size() == max_colours) break;
        if (colours[c].count > colours[most].count) most = c;
        if (uint64_t(colours[c].count) > threshold) {
            colours[c].seed = true;
            add(c, uint32_t(palette.size()));
        }
    }
    if (palette.empty()) {
        colours[most].seed = true;
        add(most, 0);
    }
    auto morton = [&](const colour& c) {
        uint32_t full = 0;
        for (int k = 0; k < 8; ++k) {
            full |= ((uint32_t(c.w[0]) >> k) & 1) << (4 * k + 3);
            full |= ((uint32_t(c.w[1]) >> k) & 1) << (4 * k + 2);
            full |= ((uint32_t(c.w[2]) >> k) & 1) << (4 * k + 1);
            full |= ((uint32_t(c.w[3]) >> k) & 1) << (4 * k);
        }
        return full >> 8;
    };
    std::map<uint32_t, int64_t> hist[7];
    for (const colour& c : colours)
        if (!c.seed)
            for (int l = 0; l < 7; ++l) hist[l][morton(c) >> (4 * l)] += c.count;
    for (colour& c : colours) {
        if (c.seed) continue;
        for (int l = 0; l < 7; ++l) {
            int s = (1 << (l + 2)) - 1;
            int sum = 0;
            for (int k = 0; k < 4; ++k) {
                int e = std::max(c.w[k] & s, (255 - c.w[k]) & s);
                sum += e * e;
            }
            c.radius[l] = int64_t(std::sqrt(0.2 * sum) + 0.5);
            uint32_t code = morton(c);
            c.ring[l] = hist[l][code >> (4 * l)] - (l == 0 ? c.count : hist[l - 1][code >> (4 * (l - 1))]);
        }
    }
    for (const colour& c : colours) total_error += c.count * int64_t(c.distance);
    auto priority = [&](uint32_t j) {
        const colour& c = colours[j];
        int64_t z = int64_t(std::sqrt(0.2 * c.distance) + 0.5);
        int64_t score = c.count * z;
        for (int l = 0; l < 7; ++l)
            if (z > c.radius[l]) score += (z - c.radius[l]) * c.ring[l];
        return std::min<int64_t>(score / 16, 16383);
    };
    std::vector<std::vector<uint32_t>> buckets(16384);
    int64_t top = -1;
    for (uint32_t j = 0; j < n; ++j) {
        if (colours[j].seed) continue;
        int64_t p = priority(j);
        buckets[p].push_back(j);
        top = std::max(top, p);
    }
    if (top >= 0) {
        double slack = 0;
        while (palette.size() < max_colours) {
            // The reference keeps the total error by recomputing it.
            total_error = 0;
            for (const colour& c : colours) total_error += c.count * int64_t(c.distance);
            if (total_error < budget) {
                slack += double(budget - total_error);
                if (slack >= double(int64_t(grace) * budget)) break;
            }
            uint32_t j = buckets[top].back();
            buckets[top].pop_back();
            int64_t p = priority(j);
            if (p < top)
                buckets[p].push_back(j);
            else
                add(j, uint32_t(palette.size()));
            while (buckets[top].empty())
                if (--top < 0) break;
            if (top < 0) break;
        }
    }
    if (count_only) return int32_t(palette.size());
    for (size_t k = 0; k < palette.size(); ++k)
        for (int b = 0; b < 4; ++b) palette_out[4 * k + b] = colours[palette[k]].raw[b];
    for (uint64_t i = 0; i < total; ++i) index_out[i] = uint8_t(colours[number[i]].nearest);
    return int32_t(4 * palette.size());
}

// Images with a controlled number of colours: colours drawn from a pool,
// in runs of random length, with some alpha 0, 1 and 255 among them.
std::vector<uint8_t> pooled_image(std::mt19937& rng, uint32_t w, uint32_t h, size_t pool_size) {
    std::vector<pixel> pool(pool_size);
    for (pixel& p : pool) {
        for (int k = 0; k < 4; ++k) p[k] = uint8_t(rng());
        switch (rng() % 6) {
        case 0: p[3] = 0; break;
        case 1: p[3] = 1; break;
        case 2:
        case 3: p[3] = 255; break;
        default: break;
        }
    }
    std::vector<pixel> out;
    while (out.size() < size_t(w) * h) {
        const pixel& p = pool[std::min<size_t>(rng() % pool_size, rng() % pool_size)];
        size_t run = 1 + rng() % 5;
        for (size_t k = 0; k < run && out.size() < size_t(w) * h; ++k) out.push_back(p);
    }
    return image_of(out);
}

// A smooth opaque gradient with a few thousand colours.
std::vector<uint8_t> gradient_image(uint32_t w, uint32_t h) {
    std::vector<pixel> out;
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            out.push_back({uint8_t(x * 255 / w), uint8_t(y * 255 / h), uint8_t((x + y) * 3), 255});
    return image_of(out);
}

// `big` well separated colours of `count` pixels, each followed by one pixel
// of a near twin.
std::vector<uint8_t> twins_image(int big, int count) {
    std::vector<pixel> out;
    for (int c = 0; c < big; ++c) {
        const uint8_t r = uint8_t((c % 6) * 50), g = uint8_t(((c / 6) % 5) * 60), b = uint8_t((c / 30) * 60);
        for (int k = 0; k < count; ++k) out.push_back({r, g, b, 255});
        out.push_back({uint8_t(r + 3), g, uint8_t(b + 2), 255});
    }
    return image_of(out);
}

TEST(QuantizeRules, BudgetDivisors) {
    struct row {
        uint8_t quality, apng;
        float divisor;
    };
    const row rows[] = {
        {100, 0, 0.0f}, {95, 1, 0.0f}, {94, 0, 5.9f}, {90, 0, 5.9f}, {90, 1, 5.9f}, {89, 0, 5.5f},
        {85, 0, 5.5f},  {84, 0, 5.0f}, {80, 0, 5.0f}, {79, 0, 4.5f}, {65, 0, 3.5f}, {60, 0, 3.0f},
        {59, 0, 2.5f},  {55, 0, 2.5f}, {54, 0, 2.2f}, {0, 0, 2.2f},  {50, 1, 2.2f}, {49, 1, 1.7f},
        {45, 1, 1.7f},  {44, 1, 1.6f}, {40, 1, 1.6f}, {40, 0, 2.2f}, {39, 1, 1.5f}, {35, 1, 1.5f},
        {34, 1, 1.4f},  {0, 1, 1.4f},
    };
    for (const row& r : rows)
        EXPECT_EQ(quantize_budget_divisor(r.quality, r.apng), r.divisor)
            << "quality " << int(r.quality) << " apng " << int(r.apng);
}

TEST(QuantizeRules, BudgetIsComputedInSinglePrecision) {
    struct row {
        uint64_t pixels;
        uint8_t quality;
        int64_t budget;
    };
    // The large rows differ from a double-precision computation.
    const row rows[] = {
        {1000000, 90, 169491},        {200000, 85, 36363},          {123456789, 90, 20924880},
        {250000007, 0, 113636360},    {100000001, 60, 33333334},    {5000000, 95, 0},
        {5000000, 100, 0},
    };
    for (const row& r : rows)
        EXPECT_EQ(quantize_error_budget(r.pixels, r.quality, 0), r.budget) << r.pixels << " q" << int(r.quality);
}

TEST(QuantizeRules, GraceCount) {
    const std::pair<uint64_t, uint32_t> rows[] = {
        {1, 10},       {199999, 10},  {200000, 10},  {219999, 10},       {220000, 11},
        {1000000, 50}, {5139999, 256}, {5140000, 256}, {268402689, 256},
    };
    for (const auto& [pixels, grace] : rows) EXPECT_EQ(quantize_grace_count(pixels), grace) << pixels;
}

TEST(QuantizeRules, WeightedChannels) {
    struct row {
        pixel rgba;
        quantize_weights w;
    };
    const row rows[] = {
        {{255, 255, 255, 255}, {127, 254, 114, 255}},
        {{255, 255, 255, 10}, {4, 9, 4, 10}},   // 0.45 * 10 = 4.5 rounds up to 5
        {{255, 255, 255, 30}, {14, 29, 13, 30}}, // 13.5 rounds up to 14
        {{255, 0, 255, 1}, {0, 0, 0, 1}},
        {{77, 88, 99, 0}, {0, 0, 0, 0}},
        {{100, 200, 50, 128}, {25, 100, 11, 128}},
    };
    for (const row& r : rows) {
        quantize_weights w = quantize_weigh(r.rgba[0], r.rgba[1], r.rgba[2], r.rgba[3]);
        EXPECT_EQ(w.w0, r.w.w0);
        EXPECT_EQ(w.w1, r.w.w1);
        EXPECT_EQ(w.w2, r.w.w2);
        EXPECT_EQ(w.w3, r.w.w3);
    }
}

// The compact implementation against the literal one, over images that reach
// every stop of the growth: a full palette, an empty candidate list, and the
// error budget with its grace count.
TEST(QuantizePalette, MatchesTheLiteralRules) {
    std::mt19937 rng(12345);
    struct row {
        uint32_t w, h;
        size_t pool;
        uint16_t max_colours;
        uint8_t quality, apng;
    };
    const row rows[] = {
        {37, 23, 40, 256, 100, 0},  {37, 23, 40, 16, 100, 0},  {64, 48, 300, 256, 90, 0},
        {64, 48, 300, 256, 40, 1},  {64, 48, 300, 256, 40, 0}, {80, 50, 900, 256, 70, 0},
        {80, 50, 900, 64, 100, 0},  {80, 50, 900, 2, 50, 0},   {31, 17, 9, 4, 0, 0},
        {100, 70, 2000, 255, 94, 1}, {1, 1, 1, 256, 90, 0},    {200, 1, 150, 1, 100, 0},
    };
    for (const row& r : rows) {
        std::vector<uint8_t> img = pooled_image(rng, r.w, r.h, r.pool);
        for (int kind = 0; kind < 3; ++kind) {
            uint32_t w = r.w, h = r.h;
            if (kind == 1) img = gradient_image(w, h);
            if (kind == 2) {
                // Twins of 31 pixels per pair, laid out in rows of 31.
                h = std::max<uint32_t>(1, w * h / 31);
                w = 31;
                img = twins_image(int(h), 30);
            }
            SCOPED_TRACE(testing::Message() << w << "x" << h << " pool " << r.pool << " max " << r.max_colours
                                            << " q" << int(r.quality) << " apng " << int(r.apng) << " kind "
                                            << kind);
            quantized got = run(img, w, h, r.max_colours, r.quality, r.apng);
            std::vector<uint8_t> want_indices(size_t(w) * h);
            std::vector<uint8_t> want_palette(1024, 0xEE);
            int32_t want = reference_quantize(img, w, h, r.max_colours, r.quality, r.apng, want_indices,
                                              want_palette.data(), false);
            ASSERT_EQ(got.result, want);
            EXPECT_EQ(got.palette, want_palette);
            EXPECT_EQ(got.indices, want_indices);

            std::vector<uint8_t> none;
            EXPECT_EQ(quantize_palette(img.data(), none, nullptr, w, h, r.max_colours, r.quality, r.apng, 1),
                      want / 4);
            EXPECT_TRUE(none.empty());
        }
    }
}

TEST(QuantizePalette, NeverExceedsTheLimit) {
    std::mt19937 rng(7);
    const std::vector<uint8_t> noisy = pooled_image(rng, 90, 70, 3000);
    const std::vector<uint8_t> gradient = gradient_image(90, 70);
    for (const auto* img : {&noisy, &gradient})
        for (uint16_t limit : {1, 2, 3, 16, 100, 255, 256})
            for (uint8_t quality : {0, 45, 90, 100}) {
                quantized q = run(*img, 90, 70, limit, quality);
                const int entries = q.result / 4;
                EXPECT_GE(entries, 1);
                EXPECT_LE(entries, limit) << "limit " << limit << " q" << int(quality);
                EXPECT_EQ(q.result % 4, 0);
                for (uint8_t index : q.indices) ASSERT_LT(index, entries);
            }
}

// At quality 95 and above there is no early stop: an image with at most
// max_colours colours is mapped exactly, every transparent pixel to one entry
// of alpha 0.
TEST(QuantizePalette, FewColoursAreMappedExactlyAtHighQuality) {
    std::mt19937 rng(99);
    for (size_t colours : {1, 2, 7, 64, 200, 256})
        for (uint8_t quality : {95, 100}) {
            std::vector<pixel> pool(colours);
            for (size_t i = 0; i < colours; ++i) pool[i] = {uint8_t(i), uint8_t(i * 7), uint8_t(255 - i), 255};
            if (colours > 2) pool[1] = {1, 2, 3, 1};  // nearly transparent
            std::vector<pixel> pixels;
            for (int y = 0; y < 40; ++y)
                for (int x = 0; x < 40; ++x) pixels.push_back(pool[(x * 13 + y * 29 + rng() % 3) % colours]);
            // Each pool colour at least once, so the count is exact.
            for (size_t i = 0; i < colours; ++i) pixels[i] = pool[i];
            std::vector<uint8_t> img = image_of(pixels);
            quantized q = run(img, 40, 40, 256, quality);
            ASSERT_EQ(q.result, int32_t(4 * colours)) << colours << " colours, q" << int(quality);
            for (size_t i = 0; i < pixels.size(); ++i) ASSERT_EQ(palette_entry(q, q.indices[i]), pixels[i]);
        }
}

TEST(QuantizePalette, TransparentPixelsShareTheFirstOnesEntry) {
    const std::vector<pixel> pixels = {
        {200, 0, 0, 255}, {10, 20, 30, 0}, {0, 0, 200, 255}, {40, 50, 60, 0}, {10, 20, 30, 0}, {0, 0, 0, 0},
    };
    quantized q = run(image_of(pixels), 3, 2, 256, 100);
    ASSERT_EQ(q.result, 12);
    EXPECT_EQ(q.indices[1], q.indices[3]);
    EXPECT_EQ(q.indices[1], q.indices[5]);
    EXPECT_EQ(palette_entry(q, q.indices[1]), (pixel{10, 20, 30, 0}));
}

// Every colour with alpha 1 has the weights (0, 0, 0, 1): at distance 0 from
// each other they wait in the lowest bucket but still get their own entries.
TEST(QuantizePalette, EqualWeightsStaySeparateCandidates) {
    std::vector<pixel> pixels;
    for (int i = 0; i < 10; ++i) pixels.push_back({255, 0, 0, 255});
    pixels.push_back({255, 0, 0, 1});
    pixels.push_back({0, 0, 255, 1});
    pixels.push_back({0, 255, 0, 1});
    pixels.push_back({0, 0, 0, 255});
    quantized q = run(image_of(pixels), 14, 1, 256, 100);
    ASSERT_EQ(q.result, 20);
    for (size_t i = 0; i < pixels.size(); ++i) EXPECT_EQ(palette_entry(q, q.indices[i]), pixels[i]);
}

TEST(QuantizePalette, SeedingOrder) {
    // No colour covers more pixels than there are colours: the most frequent
    // one (the first met among equals) becomes entry 0.
    const pixel a{10, 10, 10, 255}, b{200, 10, 10, 255}, c{10, 200, 10, 255}, d{10, 10, 200, 255};
    quantized q = run(image_of({a, b, c, b, c, d}), 6, 1, 256, 100);
    ASSERT_EQ(q.result, 16);
    EXPECT_EQ(palette_entry(q, 0), b);
    EXPECT_EQ(q.indices[1], 0);

    // Colours above the threshold are seeded in order of first appearance.
    std::vector<pixel> pixels = {d};
    for (int i = 0; i < 6; ++i) pixels.push_back(c);
    for (int i = 0; i < 5; ++i) pixels.push_back(a);
    pixels.push_back(b);
    q = run(image_of(pixels), uint32_t(pixels.size()), 1, 256, 100);
    ASSERT_EQ(q.result, 16);
    EXPECT_EQ(palette_entry(q, 0), c);
    EXPECT_EQ(palette_entry(q, 1), a);

    // More seeds than entries: the seeding stops at the limit.
    pixels.clear();
    for (int i = 0; i < 10; ++i)
        for (int k = 0; k < 100; ++k) pixels.push_back({uint8_t(i * 20), 0, 0, 255});
    q = run(image_of(pixels), 100, 10, 4, 100);
    ASSERT_EQ(q.result, 16);
    for (uint8_t k = 0; k < 4; ++k) EXPECT_EQ(palette_entry(q, k), (pixel{uint8_t(k * 20), 0, 0, 255}));
}

// The budget ends the growth once the well separated colours are in and only
// their near twins are left; at quality 95 and above the palette fills up.
TEST(QuantizePalette, BudgetStopsTheGrowthBelowQuality95) {
    const std::vector<uint8_t> img = twins_image(150, 100);
    const uint32_t w = 150 * 101;
    for (uint8_t quality : {0, 50, 89, 90, 94}) EXPECT_EQ(run(img, w, 1, 256, quality).result, 4 * 150);
    EXPECT_EQ(run(img, w, 1, 256, 40, 1).result, 4 * 150);
    for (uint8_t quality : {95, 100}) EXPECT_EQ(run(img, w, 1, 256, quality).result, 4 * 256);
}

// Callers' slips that must not write out of bounds or exceed a byte index.
TEST(QuantizePalette, OutOfRangeArgumentsAreMadeSafe) {
    std::mt19937 rng(3);
    const std::vector<uint8_t> img = pooled_image(rng, 20, 20, 500);
    std::vector<uint8_t> indices;  // shorter than the image
    std::vector<uint8_t> palette(1024);
    int32_t bytes = quantize_palette(img.data(), indices, palette.data(), 20, 20, 0, 100, 0, 0);
    EXPECT_EQ(bytes, 4);
    ASSERT_EQ(indices.size(), 400u);
    EXPECT_EQ(std::set<uint8_t>(indices.begin(), indices.end()).size(), 1u);
    const std::vector<uint8_t> many = gradient_image(20, 20);  // 400 colours
    bytes = quantize_palette(many.data(), indices, palette.data(), 20, 20, 1000, 100, 0, 0);
    EXPECT_EQ(bytes, 1024);
    EXPECT_EQ(quantize_palette(img.data(), indices, palette.data(), 0, 20, 256, 100, 0, 0), 0);
    // Sizes beyond 32-bit pixel counts are refused before any pixel is read.
    EXPECT_EQ(quantize_palette(img.data(), indices, palette.data(), 65536, 65537, 256, 100, 0, 0), 0);
    EXPECT_EQ(indices.size(), 400u);
}

}  // namespace
