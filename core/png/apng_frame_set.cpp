#include "core/png/apng_frame_set.h"

#include <algorithm>
#include <cstring>
#include <numeric>

namespace {

constexpr uint32_t delay_den_for_zero = 100;
constexpr uint32_t largest_delay_field = 0xFFFF;
constexpr int key_grid_colours = 4096;  // RGB colours whose channels are multiples of 16
constexpr uint32_t grey_set_min_entries = 128;

// The distinct colours of a set in order of first appearance, up to 256.
struct colour_table {
    struct entry {
        uint32_t count;
        uint8_t r, g, b, a;
    };
    entry entries[256];
    int used = 0;
    bool overflowed = false;
    int last = -1;  // the entry of the previous pixel, to skip the search on runs

    colour_table() {
        for (int i = 0; i < 256; ++i) entries[i] = {0, uint8_t(i), uint8_t(i), uint8_t(i), 255};
    }
    int find(uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
        if (last >= 0 && matches(entries[last], r, g, b, a)) return last;
        for (int i = 0; i < used; ++i) {
            if (matches(entries[i], r, g, b, a)) return last = i;
        }
        return -1;
    }
    void count(uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
        if (overflowed) return;
        int i = find(r, g, b, a);
        if (i < 0) {
            if (used == 256) {
                overflowed = true;
                return;
            }
            i = last = used++;
            entries[i] = {0, r, g, b, a};
        }
        ++entries[i].count;
    }
    static bool matches(const entry& e, uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
        return e.r == r && e.g == g && e.b == b && e.a == a;
    }
};

struct grey_marks {
    bool used[256] = {};
    // The lowest grey value no pixel uses, or -1 when all 256 are in use.
    int lowest_free() const {
        for (int v = 0; v < 256; ++v)
            if (!used[v]) return v;
        return -1;
    }
};

struct key_grid_marks {
    bool used[key_grid_colours] = {};
    void mark(uint8_t r, uint8_t g, uint8_t b) {
        if (r % 16 == 0 && g % 16 == 0 && b % 16 == 0) used[(r / 16) * 256 + (g / 16) * 16 + b / 16] = true;
    }
    int first_free() const {
        for (int i = 0; i < key_grid_colours; ++i)
            if (!used[i]) return i;
        return -1;
    }
};

// Gives every record the new layout: `convert` writes each pixel's new bytes
// from its old ones. The new pixel is never wider than the old one, so the
// rewrite runs in place front to back.
template <typename Convert>
void rewrite_pixels(std::vector<apng_frame>& frames, uint32_t colour_type, uint32_t bytes_per_pixel,
                    Convert convert) {
    for (apng_frame& frame : frames) {
        const size_t pixel_count = size_t(frame.width) * frame.height;
        const uint32_t old_bpp = frame.bytes_per_pixel;
        uint8_t* p = frame.pixels.data();
        for (size_t i = 0; i < pixel_count; ++i) {
            uint8_t old_pixel[4];
            std::memcpy(old_pixel, p + i * old_bpp, old_bpp);
            convert(old_pixel, p + i * bytes_per_pixel);
        }
        frame.pixels.resize(pixel_count * bytes_per_pixel);
        frame.pixels.shrink_to_fit();
        frame.bytes_per_pixel = bytes_per_pixel;
        frame.colour_type = colour_type;
        for (uint32_t y = 0; y < frame.height; ++y) frame.rows[y] = frame.pixels.data() + frame.row_bytes() * y;
    }
}

void set_grey_key(apng_frame& first, int key) {
    std::memset(first.trns, 255, sizeof(first.trns));
    first.trns_length = 0;
    if (key >= 0) {
        first.trns[0] = 0;
        first.trns[1] = uint8_t(key);
        first.trns_length = 2;
    }
}

void set_rgb_key(apng_frame& first, int grid_index) {
    const uint8_t bytes[6] = {0, uint8_t((grid_index / 256) * 16), 0, uint8_t(((grid_index / 16) % 16) * 16), 0,
                              uint8_t((grid_index % 16) * 16)};
    std::memset(first.trns, 255, sizeof(first.trns));
    std::memcpy(first.trns, bytes, 6);
    first.trns_length = 6;
}

// Alpha ascending, then pixel count descending.
bool compare_palette_colours(const colour_table::entry& a, const colour_table::entry& b) {
    if (a.a != b.a) return a.a < b.a;
    return a.count > b.count;
}

// The set becomes an 8-bit palette of the table's colours. `table_colour`
// gives a pixel's (R, G, B, table alpha) from its bytes.
template <typename TableColour>
void convert_to_palette(std::vector<apng_frame>& frames, colour_table& table, bool transparent_present,
                        TableColour table_colour) {
    // A palette without a transparent entry gets one, so that the writer can
    // express unchanged pixels as transparent.
    if (!transparent_present && table.used < 256) {
        table.entries[table.used].a = 0;
        ++table.used;
    }
    std::stable_sort(table.entries, table.entries + table.used, compare_palette_colours);
    table.last = -1;
    rewrite_pixels(frames, 3, 1, [&](const uint8_t* in, uint8_t* out) {
        uint8_t c[4];
        table_colour(in, c);
        *out = uint8_t(std::max(table.find(c[0], c[1], c[2], c[3]), 0));
    });
    apng_frame& first = frames.front();
    first.palette_count = table.used;
    std::memset(first.trns, 255, sizeof(first.trns));
    first.trns_length = 0;
    for (int i = 0; i < table.used; ++i) {
        const colour_table::entry& e = table.entries[i];
        first.palette[3 * i] = e.r;
        first.palette[3 * i + 1] = e.g;
        first.palette[3 * i + 2] = e.b;
        first.trns[i] = e.a;
        if (e.a != 255) first.trns_length = i + 1;
    }
}

// The set becomes 8-bit grey with the lowest unused grey as its key.
// `is_transparent` and `grey_of` read a pixel's old bytes. Without a free
// grey value the set keeps no key, which only works when nothing is
// transparent; otherwise the set stays as it is.
template <typename IsTransparent, typename GreyOf>
void convert_to_grey(std::vector<apng_frame>& frames, const grey_marks& greys, bool transparent_present,
                     IsTransparent is_transparent, GreyOf grey_of) {
    const int key = greys.lowest_free();
    if (transparent_present && key < 0) return;
    rewrite_pixels(frames, 0, 1, [&](const uint8_t* in, uint8_t* out) {
        *out = is_transparent(in) ? uint8_t(key) : grey_of(in);
    });
    set_grey_key(frames.front(), key);
}

// Visits every pixel of every record.
template <typename Visit>
void for_each_pixel(const std::vector<apng_frame>& frames, Visit visit) {
    for (const apng_frame& frame : frames) {
        const size_t pixel_count = size_t(frame.width) * frame.height;
        const uint8_t* p = frame.pixels.data();
        for (size_t i = 0; i < pixel_count; ++i, p += frame.bytes_per_pixel) visit(p);
    }
}

void reduce_palette_frames(std::vector<apng_frame>& frames) {
    apng_frame& first = frames.front();
    uint8_t r[256], g[256], b[256], a[256];
    for (int i = 0; i < 256; ++i) {
        const bool in_palette = i < first.palette_count;
        r[i] = in_palette ? first.palette[3 * i] : uint8_t(i);
        g[i] = in_palette ? first.palette[3 * i + 1] : uint8_t(i);
        b[i] = in_palette ? first.palette[3 * i + 2] : uint8_t(i);
        a[i] = in_palette && i < first.trns_length ? first.trns[i] : 255;
    }
    bool used[256] = {};
    for_each_pixel(frames, [&](const uint8_t* p) { used[*p] = true; });
    grey_marks greys;
    bool transparent_used = false;
    for (int i = 0; i < 256; ++i) {
        if (!used[i]) continue;
        if (a[i] == 0) {
            transparent_used = true;
        } else if (a[i] == 255 && r[i] == g[i] && g[i] == b[i]) {
            greys.used[g[i]] = true;
        } else {
            return;  // a translucent or coloured entry keeps the palette
        }
    }
    const int key = greys.lowest_free();
    if (transparent_used && key < 0) return;
    rewrite_pixels(frames, 0, 1, [&](const uint8_t* in, uint8_t* out) {
        *out = a[*in] != 0 ? g[*in] : uint8_t(std::max(key, 0));
    });
    first.palette_count = 0;
    set_grey_key(first, key);
}

void reduce_rgb_frames(std::vector<apng_frame>& frames) {
    apng_frame& first = frames.front();
    const bool has_key = first.trns_length >= 6;
    const uint8_t key_r = first.trns[1], key_g = first.trns[3], key_b = first.trns[5];
    auto is_key = [&](const uint8_t* p) { return has_key && p[0] == key_r && p[1] == key_g && p[2] == key_b; };
    colour_table table;
    grey_marks greys;
    bool transparent_present = false;
    bool all_grey = true;
    for_each_pixel(frames, [&](const uint8_t* p) {
        uint8_t alpha = 255;
        if (is_key(p)) {
            alpha = 0;
            transparent_present = true;
        } else if (p[0] == p[1] && p[1] == p[2]) {
            greys.used[p[0]] = true;
        } else {
            all_grey = false;
        }
        table.count(p[0], p[1], p[2], alpha);
    });
    if (table.overflowed) return;
    if (all_grey && uint32_t(table.used) > grey_set_min_entries) {
        convert_to_grey(frames, greys, transparent_present, is_key, [](const uint8_t* in) { return in[0]; });
        return;
    }
    convert_to_palette(frames, table, transparent_present, [&](const uint8_t* in, uint8_t* c) {
        c[0] = in[0];
        c[1] = in[1];
        c[2] = in[2];
        c[3] = is_key(in) ? 0 : 255;
    });
}

void reduce_grey_alpha_frames(std::vector<apng_frame>& frames) {
    apng_frame& first = frames.front();
    std::memset(first.trns, 255, sizeof(first.trns));
    colour_table table;
    grey_marks greys;
    bool transparent_present = false;
    bool no_translucent = true;
    for_each_pixel(frames, [&](const uint8_t* p) {
        if (p[1] == 0)
            transparent_present = true;
        else if (p[1] == 255)
            greys.used[p[0]] = true;
        else
            no_translucent = false;
        table.count(p[0], p[0], p[0], p[1]);
    });
    if (table.overflowed) return;
    if (no_translucent) {
        convert_to_grey(
            frames, greys, transparent_present, [](const uint8_t* in) { return in[1] == 0; },
            [](const uint8_t* in) { return in[0]; });
        return;
    }
    convert_to_palette(frames, table, transparent_present, [](const uint8_t* in, uint8_t* c) {
        c[0] = c[1] = c[2] = in[0];
        c[3] = in[1];
    });
}

void reduce_rgba_frames(std::vector<apng_frame>& frames) {
    apng_frame& first = frames.front();
    std::memset(first.trns, 255, sizeof(first.trns));
    colour_table table;
    grey_marks greys;
    key_grid_marks grid;
    bool transparent_present = false;
    bool no_translucent = true;
    bool all_grey = true;
    for_each_pixel(frames, [&](const uint8_t* p) {
        if (p[3] == 0)
            transparent_present = true;
        else if (p[3] == 255)
            grid.mark(p[0], p[1], p[2]);
        else
            no_translucent = false;
        if (p[3] != 0) {
            if (p[0] == p[1] && p[1] == p[2])
                greys.used[p[0]] = true;
            else
                all_grey = false;
        }
        table.count(p[0], p[1], p[2], p[3]);
    });
    if (table.overflowed) {
        if (all_grey) {
            rewrite_pixels(frames, 4, 2, [](const uint8_t* in, uint8_t* out) {
                out[0] = in[2];
                out[1] = in[3];
            });
        } else if (no_translucent) {
            const int index = grid.first_free();
            if (index < 0) return;
            set_rgb_key(first, index);
            const uint8_t key[3] = {first.trns[1], first.trns[3], first.trns[5]};
            rewrite_pixels(frames, 2, 3, [&](const uint8_t* in, uint8_t* out) {
                std::memcpy(out, in[3] == 0 ? key : in, 3);
            });
        }
        return;
    }
    if (no_translucent && all_grey && uint32_t(table.used) > grey_set_min_entries) {
        convert_to_grey(
            frames, greys, transparent_present, [](const uint8_t* in) { return in[3] == 0; },
            [](const uint8_t* in) { return in[0]; });
        return;
    }
    convert_to_palette(frames, table, transparent_present,
                       [](const uint8_t* in, uint8_t* c) { std::memcpy(c, in, 4); });
}

}  // namespace

void clear_transparent_colours(apng_frame& frame) {
    if (frame.colour_type != 4 && frame.colour_type != 6) return;
    const uint32_t bpp = frame.bytes_per_pixel;
    const size_t pixel_count = size_t(frame.width) * frame.height;
    uint8_t* p = frame.pixels.data();
    for (size_t i = 0; i < pixel_count; ++i, p += bpp) {
        if (p[bpp - 1] == 0) std::memset(p, 0, bpp - 1);
    }
}

bool combine_delays(uint32_t num_a, uint32_t den_a, uint32_t num_b, uint32_t den_b, uint32_t& num,
                    uint32_t& den) {
    if (den_a == 0) den_a = delay_den_for_zero;
    if (den_b == 0) den_b = delay_den_for_zero;
    uint64_t n, d;
    if (den_a == den_b) {
        n = uint64_t(num_a) + num_b;
        d = den_b;
    } else {
        n = uint64_t(num_a) * den_b + uint64_t(num_b) * den_a;
        d = uint64_t(den_a) * den_b;
        const uint64_t divisor = std::gcd(n, d);
        if (divisor > 1) {
            n /= divisor;
            d /= divisor;
        }
    }
    if (n > largest_delay_field || d > largest_delay_field) return false;
    num = uint32_t(n);
    den = uint32_t(d);
    return true;
}

void merge_duplicate_frames(std::vector<apng_frame>& frames, size_t first) {
    size_t base = first;
    size_t next = first + 1;
    while (next < frames.size()) {
        apng_frame& a = frames[base];
        apng_frame& b = frames[next];
        uint32_t num = 0, den = 0;
        const bool same = a.pixels.size() == b.pixels.size() &&
                          std::memcmp(a.pixels.data(), b.pixels.data(), a.pixels.size()) == 0 &&
                          combine_delays(a.delay_num, a.delay_den, b.delay_num, b.delay_den, num, den);
        if (!same) {
            base = next++;
            continue;
        }
        b.delay_num = num;
        b.delay_den = den;
        // The first record describes the set; the record that takes its
        // place inherits that description.
        if (base == 0) {
            b.colour_type = a.colour_type;
            b.palette_count = a.palette_count;
            b.trns_length = a.trns_length;
            std::memcpy(b.palette, a.palette, sizeof(b.palette));
            std::memcpy(b.trns, a.trns, sizeof(b.trns));
        }
        frames.erase(frames.begin() + std::ptrdiff_t(base));
        next = base + 1;
    }
}

void reduce_frame_colours(std::vector<apng_frame>& frames) {
    if (frames.empty()) return;
    switch (frames.front().colour_type) {
        case 2: reduce_rgb_frames(frames); break;
        case 3: reduce_palette_frames(frames); break;
        case 4: reduce_grey_alpha_frames(frames); break;
        case 6: reduce_rgba_frames(frames); break;
        default: break;
    }
}

void choose_transparent_key(std::vector<apng_frame>& frames) {
    if (frames.empty() || frames.front().trns_length != 0) return;
    apng_frame& first = frames.front();
    if (first.colour_type == 0) {
        grey_marks greys;
        for_each_pixel(frames, [&](const uint8_t* p) { greys.used[*p] = true; });
        const int key = greys.lowest_free();
        if (key >= 0) set_grey_key(first, key);
    } else if (first.colour_type == 2) {
        key_grid_marks grid;
        for_each_pixel(frames, [&](const uint8_t* p) { grid.mark(p[0], p[1], p[2]); });
        const int index = grid.first_free();
        if (index >= 0) set_rgb_key(first, index);
    }
}

bool find_transparent_key(const apng_frame& first, transparent_key& key) {
    if (first.colour_type == 0) {
        if (first.trns_length < 2) return false;
        key.bytes[0] = first.trns[1];
        return true;
    }
    if (first.colour_type == 2) {
        if (first.trns_length < 6) return false;
        key.bytes[0] = first.trns[1];
        key.bytes[1] = first.trns[3];
        key.bytes[2] = first.trns[5];
        return true;
    }
    for (int i = 0; i < first.trns_length && i < 256; ++i) {
        if (first.trns[i] == 0) {
            key.bytes[0] = uint8_t(i);
            return true;
        }
    }
    return false;
}
