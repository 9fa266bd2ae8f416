// Image statistics and the PNG mode decision (see image_stats.h).
//
// All scans are single passes over the buffer. The decision is a small score:
// each measurement that points to a flat, few-coloured or mostly transparent
// image adds to it, and a score of 2 or more chooses palette output.
#include "core/image_stats.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/png/codec/quantize.h"

namespace {

// Probe limits of the decision.
constexpr uint32_t max_palette_colours = 256;
constexpr uint8_t probe_quality = 90;

inline const uint8_t* pixel_at(const uint8_t* pixels, uint64_t i) { return pixels + 4 * i; }

inline uint32_t pixel_value(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

inline int pixel_sum(const uint8_t* p) { return p[0] + p[1] + p[2]; }

inline bool same_rgb(const uint8_t* p, const uint8_t* q) { return p[0] == q[0] && p[1] == q[1] && p[2] == q[2]; }

inline int channel_gap(uint8_t a, uint8_t b) { return a > b ? a - b : b - a; }

// Neighbours that differ only slightly: some RGB difference, equal alpha, no
// channel apart by more than 8 and sums apart by at most 7.
inline bool similar_pair(const uint8_t* p, const uint8_t* q) {
    if (same_rgb(p, q) || p[3] != q[3]) return false;
    if (channel_gap(p[0], q[0]) > 8 || channel_gap(p[1], q[1]) > 8 || channel_gap(p[2], q[2]) > 8) return false;
    return std::abs(pixel_sum(p) - pixel_sum(q)) <= 7;
}

inline uint64_t percent_of(uint64_t count, uint64_t total) { return std::min<uint64_t>(count * 100 / total, 100); }

// A set of non-zero 32-bit values (0 marks an empty slot), open addressing.
class value_set {
public:
    explicit value_set(uint64_t expected) {
        unsigned bits = 4;
        while ((uint64_t(1) << bits) < expected * 2 && bits < 24) ++bits;
        resize(bits);
    }

    // Adds v; returns true when it was not there yet.
    bool insert(uint32_t v) {
        if ((size_ + 1) * 2 > slots_.size()) resize(bits_ + 1);
        return place(slots_, v);
    }

private:
    size_t home(uint32_t v) const { return size_t((v * 0x9E3779B97F4A7C15ull) >> (64 - bits_)); }

    bool place(std::vector<uint32_t>& slots, uint32_t v) {
        const size_t mask = slots.size() - 1;
        for (size_t i = home(v);; i = (i + 1) & mask) {
            if (slots[i] == v) return false;
            if (slots[i] == 0) {
                slots[i] = v;
                ++size_;
                return true;
            }
        }
    }

    void resize(unsigned bits) {
        std::vector<uint32_t> old;
        old.swap(slots_);
        bits_ = bits;
        slots_.assign(size_t(1) << bits, 0);
        size_ = 0;
        for (uint32_t v : old)
            if (v != 0) place(slots_, v);
    }

    std::vector<uint32_t> slots_;
    unsigned bits_ = 0;
    size_t size_ = 0;
};

}  // namespace

void detect_grey(const uint8_t* pixels, image_job& job) {
    const uint64_t n = job.pixel_count;
    for (uint64_t i = 0; i < n; ++i) {
        const uint8_t* p = pixel_at(pixels, i);
        if (!job.noalpha && p[3] == 0) continue;
        if (p[0] != p[1] || p[1] != p[2]) {
            job.is_grey = 0;
            return;
        }
    }
}

void scan_alpha(const uint8_t* pixels, image_job& job) {
    const uint64_t n = job.pixel_count;
    uint64_t translucent = 0;
    int first_alpha = -1;
    bool one_alpha = true;
    for (uint64_t i = 0; i < n; ++i) {
        const uint8_t a = pixel_at(pixels, i)[3];
        if (a == 255) continue;
        ++translucent;
        if (a <= 250) job.alphas_above_250 = 0;
        if (first_alpha < 0)
            first_alpha = a;
        else if (a != first_alpha)
            one_alpha = false;
    }
    job.translucent_count += translucent;
    job.single_alpha = (translucent != 0 && one_alpha) ? 1 : 0;
}

void count_colours(const uint8_t* pixels, image_job& job) {
    const uint64_t n = job.pixel_count;
    const uint64_t limit = job.colour_limit;
    value_set seen(std::min<uint64_t>(limit + 1, n));
    uint64_t count = 0;
    uint32_t previous = 0;
    for (uint64_t i = 0; i < n; ++i) {
        const uint8_t* p = pixel_at(pixels, i);
        const uint32_t v = pixel_value(p);
        // A repeat of the previous pixel is either counted already or skipped.
        if (i > 0 && v == previous) continue;
        previous = v;
        if (v == 0 || (p[3] == 0 && !job.count_all_pixels)) continue;
        if (seen.insert(v) && ++count > limit) break;
    }
    job.colour_count = uint32_t(count);
}

void collect_image_stats(const uint8_t* pixels, image_job& job) {
    const uint64_t n = job.pixel_count;
    uint64_t similar = 0, changed = 0, same = 0, extreme = 0, extreme2 = 0;
    for (uint64_t i = 0; i < n; ++i) {
        const uint8_t* p = pixel_at(pixels, i);
        // The last pixel has no successor and takes part in no pair count.
        const uint8_t* q = i + 1 < n ? pixel_at(pixels, i + 1) : nullptr;
        if (q && similar_pair(p, q)) ++similar;
        if (p[3] == 0) continue;
        const int sum = pixel_sum(p);
        if (sum <= 30 || sum >= 735) ++extreme;
        if ((sum >= 1 && sum <= 14) || (sum >= 751 && sum <= 764)) ++extreme2;
        if (!q || q[3] == 0) continue;
        if (same_rgb(p, q))
            ++same;
        else
            ++changed;
    }

    job.stat_similar = percent_of(similar, n);
    job.stat_changed = percent_of(changed, n);
    job.stat_same = percent_of(same, n);
    job.stat_extreme = percent_of(extreme, n);
    job.stat_extreme2 = percent_of(extreme2, n);
    uint64_t translucent = percent_of(job.translucent_count, n);
    if (translucent == 0 && job.translucent_count != 0) translucent = 1;
    job.translucent_percent = uint8_t(translucent);

    if (job.colour_count <= 16) {
        job.photo_like = 0;
        job.few_colours = job.stat_similar <= 97 ? 1 : 0;
    }

    const uint32_t photo_colours = job.is_grey ? 96 : 256;
    if (job.stat_same < job.stat_changed && job.stat_changed > job.changed_threshold &&
        job.colour_count > photo_colours) {
        job.few_colours = 0;
        job.photo_like = job.colour_count >= job.colour_limit ? 1 : 0;
        if (job.translucent_percent <= 4) return;
        job.photo_like = job.alphas_above_250;
    }

    if (job.stat_similar > job.stat_changed && job.stat_similar > job.stat_same && job.translucent_percent > 90)
        job.smooth = 1;
}

void decide_png_mode(const uint8_t* pixels, image_job& job) {
    int score = job.decision_score;
    const uint32_t colours = job.colour_count;
    const bool apng = job.is_apng != 0;
    const bool grey = job.is_grey != 0;
    const int64_t same = int64_t(job.stat_same);
    const int64_t changed = int64_t(job.stat_changed);
    const int64_t ext = int64_t(job.stat_extreme);
    const int64_t ext2 = int64_t(job.stat_extreme2);
    const int64_t tp = job.translucent_percent;

    if (job.colour_type == 3) score += 1;

    if (!grey) {
        if (colours <= 256)
            score += 2;
        else if (colours < (apng ? 5120u : 4096u))
            score += 1;
    }

    // Flatness. `half_changed_below_same` weighs how much of the image repeats.
    const bool half_changed_below_same = changed / 2 < same;
    bool flat = false;         // fewer changed than equal neighbour pairs
    bool flat_extreme = false; // ... and fewer changed pairs than extreme pixels
    bool skip_flat_test = false;
    bool extreme_rule = false;
    if (same >= 40) {
        bool to_flat_test = false;
        if (changed <= 8) {
            score += 1;
            if (same < 60) {
                if (ext >= 40) {
                    score += 1;
                    if (ext >= 60) {
                        score += 1;
                        if (half_changed_below_same) score += 1;
                    }
                }
                to_flat_test = true;
            } else {
                score += 1;
            }
        } else if (same >= 60 && changed <= 15) {
            score += 1;
        }
        if (!to_flat_test) {
            if (ext >= 40) {
                score += 1;
                extreme_rule = ext >= 60;
            }
        }
    } else {
        extreme_rule = ext >= 60;
    }
    if (extreme_rule) {
        if (changed < ext) {
            score += 1;
            if (half_changed_below_same) score += 1;
        } else if (half_changed_below_same) {
            score += 1;
        } else {
            skip_flat_test = true;
        }
    }
    if (!skip_flat_test) {
        flat = changed < same;
        flat_extreme = flat && changed < ext;
    }

    if (flat_extreme) {
        if (ext + same - changed >= 90) score += 1;
        if (ext2 >= 25) score += ext2 < 70 ? 1 : 2;
    } else if (ext < changed && changed - ext <= 16) {
        if (ext2 >= 50)
            score += ext2 < 70 ? 2 : 3;
        else if (ext2 >= 25)
            score += 1;
    } else if (ext2 >= 25) {
        score += ext2 < 70 ? 1 : 2;
    }

    // Translucency.
    if (tp >= 60) {
        if (changed <= 14) score += 1;
        if (tp >= 70 && flat) {
            score += 1;
            if (tp >= 80) score += 1;
        }
    }

    // Small images.
    if (job.pixel_count <= 36864) {
        score += 1;
        if (job.pixel_count <= 16384) score += 1;
    }

    if (apng) {
        if (colours < 8192) score += 1;
        if (grey && score > 0) score -= 1;
    }

    // Palette probe for images with somewhat more colours than a palette holds.
    bool palette_decided = false;
    if (!grey && colours >= 258 && colours <= 7168 && flat && score <= 1) {
        const int64_t repeat = std::min<int64_t>(same + tp, 100) - changed;
        bool probe = true;
        if (repeat >= 90) {
            score += 2;
            palette_decided = true;
            probe = false;
        } else if (repeat >= 80) {
            const int before = score;
            score += 1;
            if (before != 0) {
                palette_decided = true;
                probe = false;
            }
        }
        if (probe && probe_palette_size(pixels, job) <= 255) {
            score = 2;
            palette_decided = true;
        }
    }

    job.decision_score = uint8_t(score);
    if (palette_decided || job.flat_large_image || score >= 2)
        job.mode = mode_palette;
    else
        job.mode = mode_lossy_truecolour;

    if (job.resize_target != 0) return;
    if (job.few_colours || job.smooth) job.mode = mode_lossless;
    if (job.colour_type == 3 || colours <= 256) {
        if (apng)
            job.mode = mode_lossless;
        else if (grey)
            job.mode = mode_lossy_truecolour;
        else if (probe_palette_size(pixels, job) >= colours)
            job.mode = mode_lossless;
    }
}

uint16_t probe_palette_size(const uint8_t* pixels, const image_job& job) {
    std::vector<uint8_t> no_indices;
    const int32_t entries = quantize_palette(pixels, no_indices, nullptr, job.width, job.height,
                                             max_palette_colours, probe_quality, job.is_apng, 1);
    return uint16_t(entries);
}
