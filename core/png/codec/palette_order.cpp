// Palette ordering: sort keys built from luma, chroma and alpha, nearest-
// neighbour chains, and greedy walks from a reference colour.
//
// Every order except the greedy ones works on 64-bit keys, one per entry,
// whose low byte is the entry's old index; sorting the keys and reading the
// indices back gives the new order. Bit layout of a key:
//   63 opaque, 40-62 chain position, 32-39 Y, 24-31 U, 16-23 V, 8-15 alpha,
//   0-7 old index.
#include "core/png/codec/palette_order.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint64_t key_opaque_bit = uint64_t(1) << 63;
constexpr uint64_t key_position_mask = ((uint64_t(1) << 23) - 1) << 40;
// Bits 8-62: what order mode 0 inverts for a descending order.
constexpr uint64_t key_inverted_bits = ~key_opaque_bit & ~uint64_t(0xFF);

struct rgba {
    int r, g, b, a;
};

rgba entry_at(const unsigned char* palette, size_t i) {
    const unsigned char* p = palette + 4 * i;
    return {p[0], p[1], p[2], p[3]};
}

// A colour channel computed in double precision, truncated to 0..255.
uint64_t channel_byte(double v) {
    if (!(v > 0.0)) return 0;
    if (v >= 255.0) return 255;
    return static_cast<uint64_t>(v);
}

uint64_t luma_chroma_bits(const rgba& c) {
    const double r = c.r, g = c.g, b = c.b;
    const double y = (0.299 * r + 0.587 * g) + 0.114 * b;
    const double u = ((-0.14713 * r + 0.436 * b) + (111.18 - 0.28886 * g)) * 1.146788990825688;
    const double v = ((0.615 * r + 156.825) - (0.51499 * g + 0.10001 * b)) * 0.8130081300813008;
    return (channel_byte(y) << 32) | (channel_byte(u) << 24) | (channel_byte(v) << 16);
}

int colour_distance(const rgba& x, const rgba& y, int alpha_weight) {
    const int dr = x.r - y.r, dg = x.g - y.g, db = x.b - y.b, da = x.a - y.a;
    return dr * dr + dg * dg + db * db + alpha_weight * da * da;
}

// Nearest-neighbour chain: starting from key position `start`, each next
// position takes the closest remaining entry (the first one on ties), and
// every key gets its chain position in bits 40-62.
void chain_keys(uint64_t* keys, size_t count, const unsigned char* palette, size_t start,
                int alpha_weight) {
    std::swap(keys[0], keys[start]);
    for (size_t p = 0; p + 1 < count; ++p) {
        keys[p] = (keys[p] & ~key_position_mask) | (uint64_t(p) << 40);
        const rgba last = entry_at(palette, keys[p] & 0xFF);
        int best = 0x7FFFFFFF;
        size_t best_pos = p + 1;
        for (size_t q = p + 1; q < count; ++q) {
            const int d = colour_distance(entry_at(palette, keys[q] & 0xFF), last, alpha_weight);
            if (d < best) {
                best = d;
                best_pos = q;
            }
        }
        std::swap(keys[p + 1], keys[best_pos]);
    }
    keys[count - 1] = (keys[count - 1] & ~key_position_mask) | (uint64_t(count - 1) << 40);
}

uint32_t greedy_score(int mode, const rgba& c, const rgba& ref) {
    const int da = c.a - ref.a;
    if (mode == 5) {
        const double s = (0.41 * c.g + 0.11 * c.b) + static_cast<double>(16 * da * da + c.r);
        return static_cast<uint32_t>(s);
    }
    if (mode == 7) {
        const double s = (0.42 * c.g + 0.12 * c.b) + static_cast<double>(da * da + c.r);
        return static_cast<uint32_t>(s);
    }
    const int dr = c.r - ref.r, dg = c.g - ref.g, db = c.b - ref.b;
    return static_cast<uint32_t>(dr * dr + dg * dg + db * db + 12 * da * da);
}

// Greedy walk from a reference colour: each position takes the remaining
// entry with the smallest score against the entry placed before it.
void greedy_order(unsigned char* palette, size_t count, uint64_t pixel_count, int mode) {
    rgba ref{255, 255, 255, pixel_count <= greedy_opaque_reference_pixels ? 0 : 255};
    for (size_t p = 0; p < count; ++p) {
        size_t best_pos = p;
        uint32_t best = greedy_score(mode, entry_at(palette, p), ref);
        for (size_t q = p + 1; q < count; ++q) {
            const uint32_t s = greedy_score(mode, entry_at(palette, q), ref);
            if (s < best) {
                best = s;
                best_pos = q;
            }
        }
        if (best_pos != p) {
            unsigned char tmp[4];
            std::memcpy(tmp, palette + 4 * p, 4);
            std::memcpy(palette + 4 * p, palette + 4 * best_pos, 4);
            std::memcpy(palette + 4 * best_pos, tmp, 4);
        }
        ref = entry_at(palette, p);
    }
}

}  // namespace

void order_palette(unsigned char* palette, size_t count, uint64_t pixel_count,
                   const png_palette_order& order) {
    const int mode = order.order_mode;
    if (mode == -1 || count == 0 || count > 256) return;
    if (mode == 5 || mode == 6 || mode == 7) {
        greedy_order(palette, count, pixel_count, mode);
        return;
    }

    uint64_t keys[256];
    for (size_t i = 0; i < count; ++i) keys[i] = i;
    auto mark_opaque = [&] {
        for (size_t i = 0; i < count; ++i)
            if (palette[4 * i + 3] == 255) keys[i] |= key_opaque_bit;
    };
    auto add_alpha = [&] {
        for (size_t i = 0; i < count; ++i) keys[i] |= uint64_t(palette[4 * i + 3]) << 8;
    };

    if (mode == 4) {
        mark_opaque();
    } else if (mode == 1) {
        mark_opaque();
        chain_keys(keys, count, palette, 0, 1);
    } else {
        if (order.plain_keys == 0)
            for (size_t i = 0; i < count; ++i) keys[i] |= luma_chroma_bits(entry_at(palette, i));
        if (order.alpha_rule == 0) {
            mark_opaque();
            add_alpha();
        } else if (order.alpha_rule == 2) {
            add_alpha();
        }
        if (mode == 0) {
            if (order.reverse == 1)
                for (size_t i = 0; i < count; ++i) keys[i] ^= key_inverted_bits;
            add_alpha();
        } else if (mode == 2) {
            size_t start = 0;
            for (size_t i = 1; i < count; ++i) {
                const uint64_t k = keys[i] & ~key_opaque_bit;
                const uint64_t s = keys[start] & ~key_opaque_bit;
                if (order.reverse == 1 ? k > s : k < s) start = i;
            }
            const int weight = (order.alpha_rule == 0 || order.alpha_rule == 2) ? 2 : 1;
            chain_keys(keys, count, palette, start, weight);
        }
    }

    std::sort(keys, keys + count);
    unsigned char old[256 * 4];
    std::memcpy(old, palette, 4 * count);
    for (size_t i = 0; i < count; ++i) std::memcpy(palette + 4 * i, old + 4 * (keys[i] & 0xFF), 4);
}
