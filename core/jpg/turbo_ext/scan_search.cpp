#include "core/jpg/turbo_ext/scan_search.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <new>
#include <tuple>

#include "core/jpg/turbo_ext/scan_measure.h"

// The search prices scans, not scripts. A script's size is the sum of its
// scans' sizes, and which scans a script may hold decomposes by component:
// - DC: the components are grouped into scans (one group of all of them, each
//   alone, or anything between), first at a point transform of 0 or 1 bit,
//   then one refinement scan per dropped bit, grouped again freely;
// - AC, per component: the spectrum 1..63 is cut into bands at a few fixed
//   points; each band starts at a successive-approximation depth and is
//   refined bit by bit, either band by band or over a coarser cut shared by
//   all bands of the component (as the standard script does for luma).
// Every candidate scan is measured on the coefficients, all in one pass; the
// cheapest combination is then found by small dynamic programmes over band
// cuts and groupings. Small images get few cut points (their scans cannot
// repay many headers). On larger images that pass reads only every fourth (or
// eighth) MCU row, and a second pass over all rows measures exactly the scans
// in which the chosen script and the standard one differ. The standard script
// is kept unless the chosen one is smaller by exact measure, so the result is
// never larger than it.

namespace {

// Band end points tried inside 1..63 for first scans and for refinements: the
// low frequencies carry most symbols, so the cuts are dense there. Small
// images cannot repay the header and table bytes of many scans and get a few
// points only.
constexpr int kFirstBandEnds[] = {1, 2, 3, 4, 5, 8, 12, 17, 24};
constexpr int kRefineBandEnds[] = {2, 5, 8, 12, 17, 24, 35};
constexpr int kSmallFirstBandEnds[] = {2, 5, 14};
constexpr std::uint64_t kSmallImageBlocks = 1024;
// Deepest successive-approximation start for AC: luma-like components carry
// larger values than chroma. DC starts at 0 or 1 bit.
constexpr int kDeepestLumaAl = 2;
constexpr int kDeepestChromaAl = 1;
constexpr int kDeepestDcAl = 1;
constexpr int kMaxSearchComponents = 4;
// Images with at least this many blocks are searched on every fourth MCU row,
// very large ones on every eighth.
constexpr std::uint64_t kSampleFromBlocks = 4096;
constexpr std::uint64_t kSparseSampleFromBlocks = 65536;
// A script longer than this is not offered (decoders may cap scan counts).
constexpr std::size_t kMaxScans = 64;

constexpr std::int64_t kUnusable = std::numeric_limits<std::int64_t>::max() / 4;

jpeg_scan_info make_scan(unsigned mask, int ss, int se, int ah, int al) {
    jpeg_scan_info s{};
    for (int c = 0; c < MAX_COMPS_IN_SCAN; ++c)
        if (mask & (1u << c)) s.component_index[s.comps_in_scan++] = c;
    s.Ss = ss;
    s.Se = se;
    s.Ah = ah;
    s.Al = al;
    return s;
}

unsigned mask_of(const jpeg_scan_info& s) {
    unsigned mask = 0;
    for (int i = 0; i < s.comps_in_scan; ++i) mask |= 1u << s.component_index[i];
    return mask;
}

using scan_key = std::tuple<unsigned, int, int, int, int>;  // component mask, Ss, Se, Ah, Al

scan_key key_of(const jpeg_scan_info& s) { return scan_key{mask_of(s), s.Ss, s.Se, s.Ah, s.Al}; }

// Candidate scans, each listed once, with their measured sizes.
struct scan_catalogue {
    std::vector<jpeg_scan_info> scans;
    std::map<scan_key, std::size_t> index;
    std::vector<std::int64_t> bytes;

    void add(const jpeg_scan_info& s) {
        if (index.emplace(key_of(s), scans.size()).second) scans.push_back(s);
    }
    void add(unsigned mask, int ss, int se, int ah, int al) { add(make_scan(mask, ss, se, ah, al)); }
    std::int64_t cost(unsigned mask, int ss, int se, int ah, int al) const {
        const auto it = index.find(scan_key{mask, ss, se, ah, al});
        if (it == index.end() || bytes[it->second] < 0) return kUnusable;
        return bytes[it->second];
    }
    std::int64_t cost(const jpeg_scan_info& s) const { return cost(mask_of(s), s.Ss, s.Se, s.Ah, s.Al); }
    void measure(j_compress_ptr cinfo, const scan_frame& frame, jvirt_barray_ptr* coef_arrays, unsigned row_step) {
        bytes = measure_scans(cinfo, frame, coef_arrays, scans.data(), scans.size(), row_step);
    }
};

inline std::int64_t add_costs(std::int64_t a, std::int64_t b) { return a >= kUnusable || b >= kUnusable ? kUnusable : a + b; }

// Cut points of the spectrum: point 0 ends the DC "band", the last is 63; a
// band runs from just after one point to a later one.
template <std::size_t N>
std::vector<int> band_points(const int (&inner)[N]) {
    std::vector<int> points = {0};
    points.insert(points.end(), inner, inner + N);
    points.push_back(63);
    return points;
}

// Cheapest cut of 1..63 into bands between `points`, given a price per band
// (indices into points); returns the cost and the chosen bands.
template <class Price>
std::int64_t cheapest_cut(const std::vector<int>& points, Price price, std::vector<std::pair<int, int>>* bands) {
    const int n = static_cast<int>(points.size());
    std::vector<std::int64_t> best(n, kUnusable);
    std::vector<int> from(n, -1);
    best[0] = 0;
    for (int j = 1; j < n; ++j) {
        for (int i = 0; i < j; ++i) {
            const std::int64_t c = add_costs(best[i], price(i, j));
            if (c < best[j]) {
                best[j] = c;
                from[j] = i;
            }
        }
    }
    if (bands && best[n - 1] < kUnusable) {
        bands->clear();
        for (int j = n - 1; j > 0; j = from[j]) bands->emplace_back(from[j], j);
        std::reverse(bands->begin(), bands->end());
    }
    return best[n - 1];
}

int deepest_ac_al(const jpeg_compress_struct& cinfo, int component) {
    // In YCbCr and YCCK images components 1 and 2 are chroma; everything else
    // (grey, luma, RGB, CMYK, the K of YCCK) is coded like luma.
    const bool chroma = (cinfo.jpeg_color_space == JCS_YCbCr || cinfo.jpeg_color_space == JCS_YCCK) &&
                        (component == 1 || component == 2);
    return chroma ? kDeepestChromaAl : kDeepestLumaAl;
}

struct search_space {
    std::vector<int> first_points, refine_points;
    int deepest[MAX_COMPONENTS] = {};
};

void add_ac_candidates(scan_catalogue& cat, const search_space& space, int component) {
    const unsigned mask = 1u << component;
    const int deepest = space.deepest[component];
    const std::vector<int>& fp = space.first_points;
    for (std::size_t i = 0; i < fp.size(); ++i)
        for (std::size_t j = i + 1; j < fp.size(); ++j)
            for (int al = 0; al <= deepest; ++al) cat.add(mask, fp[i] + 1, fp[j], 0, al);
    const std::vector<int>& rp = space.refine_points;
    for (std::size_t i = 0; i < rp.size(); ++i)
        for (std::size_t j = i + 1; j < rp.size(); ++j)
            for (int ah = 1; ah <= deepest; ++ah) cat.add(mask, rp[i] + 1, rp[j], ah, ah - 1);
}

struct scan_plan {
    std::int64_t bytes = kUnusable;
    std::vector<jpeg_scan_info> scans;
};

// Best AC scans of one component among those in the catalogue.
scan_plan plan_component_ac(const scan_catalogue& cat, const search_space& space, int component) {
    const unsigned mask = 1u << component;
    const int deepest = space.deepest[component];
    const std::vector<int>& fp = space.first_points;
    const std::vector<int>& rp = space.refine_points;
    scan_plan best;

    // Shared depth: every band starts at depth al; each refinement level is cut
    // on its own.
    for (int al = 0; al <= deepest; ++al) {
        std::vector<std::pair<int, int>> first_bands;
        std::int64_t total = cheapest_cut(
            fp, [&](int i, int j) { return cat.cost(mask, fp[i] + 1, fp[j], 0, al); }, &first_bands);
        std::vector<std::vector<std::pair<int, int>>> refine_bands(al + 1);
        for (int ah = al; ah >= 1 && total < kUnusable; --ah)
            total = add_costs(total, cheapest_cut(
                                         rp, [&](int i, int j) { return cat.cost(mask, rp[i] + 1, rp[j], ah, ah - 1); },
                                         &refine_bands[ah]));
        if (total >= best.bytes) continue;
        best.bytes = total;
        best.scans.clear();
        for (const auto& [i, j] : first_bands) best.scans.push_back(make_scan(mask, fp[i] + 1, fp[j], 0, al));
        for (int ah = al; ah >= 1; --ah)
            for (const auto& [i, j] : refine_bands[ah])
                best.scans.push_back(make_scan(mask, rp[i] + 1, rp[j], ah, ah - 1));
    }

    // Depth per band: each band starts at its own depth and is refined alone
    // (bands without refinement candidates start at depth 0).
    const auto band_cost = [&](int i, int j, int* chosen) {
        std::int64_t cheapest = kUnusable;
        for (int al = 0; al <= deepest; ++al) {
            std::int64_t c = cat.cost(mask, fp[i] + 1, fp[j], 0, al);
            for (int ah = al; ah >= 1; --ah) c = add_costs(c, cat.cost(mask, fp[i] + 1, fp[j], ah, ah - 1));
            if (c < cheapest) {
                cheapest = c;
                if (chosen) *chosen = al;
            }
        }
        return cheapest;
    };
    std::vector<std::pair<int, int>> bands;
    const std::int64_t total = cheapest_cut(fp, [&](int i, int j) { return band_cost(i, j, nullptr); }, &bands);
    if (total < best.bytes) {
        best.bytes = total;
        best.scans.clear();
        for (const auto& [i, j] : bands) {
            int al = 0;
            band_cost(i, j, &al);
            best.scans.push_back(make_scan(mask, fp[i] + 1, fp[j], 0, al));
            for (int ah = al; ah >= 1; --ah) best.scans.push_back(make_scan(mask, fp[i] + 1, fp[j], ah, ah - 1));
        }
    }
    return best;
}

// Component groups a DC scan may hold: any nonempty subset whose interleaved
// MCU stays within the format's block limit.
bool dc_group_allowed(const scan_frame& frame, unsigned mask) {
    int components = 0, blocks = 0;
    for (int c = 0; c < frame.components; ++c) {
        if (!(mask & (1u << c))) continue;
        ++components;
        blocks += blocks_in_mcu(frame, c);
    }
    return components == 1 || blocks <= C_MAX_BLOCKS_IN_MCU;
}

// Cheapest split of `all` into allowed groups, each priced by `price`.
template <class Price>
std::int64_t cheapest_grouping(const scan_frame& frame, unsigned all, Price price, std::vector<unsigned>& groups) {
    groups.clear();
    if (all == 0) return 0;
    // The group holding the lowest remaining component, then the rest.
    const unsigned lowest = all & (~all + 1);
    std::int64_t best = kUnusable;
    std::vector<unsigned> rest_groups;
    for (unsigned sub = all; sub; sub = (sub - 1) & all) {
        if (!(sub & lowest) || !dc_group_allowed(frame, sub)) continue;
        const std::int64_t total = add_costs(price(sub), cheapest_grouping(frame, all & ~sub, price, rest_groups));
        if (total >= best) continue;
        best = total;
        groups = rest_groups;
        groups.insert(groups.begin(), sub);
    }
    return best;
}

void add_dc_candidates(scan_catalogue& cat, const scan_frame& frame) {
    const unsigned all = (1u << frame.components) - 1;
    for (unsigned m = 1; m <= all; ++m) {
        if (!dc_group_allowed(frame, m)) continue;
        for (int al = 0; al <= kDeepestDcAl; ++al) cat.add(m, 0, 0, 0, al);
        cat.add(m, 0, 0, 1, 0);
    }
}

struct dc_plan {
    std::int64_t bytes = kUnusable;
    std::vector<jpeg_scan_info> first;
    std::vector<jpeg_scan_info> refine;  // all refinement scans, highest bit first
};

dc_plan plan_dc(const scan_catalogue& cat, const scan_frame& frame) {
    const unsigned all = (1u << frame.components) - 1;
    dc_plan best;
    for (int al = 0; al <= kDeepestDcAl; ++al) {
        std::vector<unsigned> groups;
        std::int64_t total =
            cheapest_grouping(frame, all, [&](unsigned m) { return cat.cost(m, 0, 0, 0, al); }, groups);
        // Each refinement scan costs one bit a block; on every bit the
        // grouping is chosen on its own.
        std::vector<std::vector<unsigned>> refine_groups(al + 1);
        for (int ah = al; ah >= 1; --ah)
            total = add_costs(total, cheapest_grouping(
                                         frame, all, [&](unsigned m) { return cat.cost(m, 0, 0, ah, ah - 1); },
                                         refine_groups[ah]));
        if (total >= best.bytes) continue;
        best.bytes = total;
        best.first.clear();
        best.refine.clear();
        for (unsigned m : groups) best.first.push_back(make_scan(m, 0, 0, 0, al));
        for (int ah = al; ah >= 1; --ah)
            for (unsigned m : refine_groups[ah]) best.refine.push_back(make_scan(m, 0, 0, ah, ah - 1));
    }
    return best;
}

// Scan order: DC first scans, AC first scans from low to high frequencies,
// then refinements from the highest bit down (DC before AC on each bit). Any
// order of the same scans codes to the same size; this one also makes a
// sensible progressive display.
std::vector<jpeg_scan_info> order_scans(const dc_plan& dc, const std::vector<scan_plan>& ac) {
    std::vector<jpeg_scan_info> firsts, refines;
    for (const scan_plan& p : ac)
        for (const jpeg_scan_info& s : p.scans) (s.Ah == 0 ? firsts : refines).push_back(s);
    std::stable_sort(firsts.begin(), firsts.end(), [](const jpeg_scan_info& a, const jpeg_scan_info& b) {
        return a.Ss != b.Ss ? a.Ss < b.Ss : a.component_index[0] < b.component_index[0];
    });
    refines.insert(refines.end(), dc.refine.begin(), dc.refine.end());
    std::stable_sort(refines.begin(), refines.end(), [](const jpeg_scan_info& a, const jpeg_scan_info& b) {
        if (a.Ah != b.Ah) return a.Ah > b.Ah;
        if ((a.Ss == 0) != (b.Ss == 0)) return a.Ss == 0;
        return a.component_index[0] != b.component_index[0] ? a.component_index[0] < b.component_index[0]
                                                            : a.Ss < b.Ss;
    });
    std::vector<jpeg_scan_info> script = dc.first;
    script.insert(script.end(), firsts.begin(), firsts.end());
    script.insert(script.end(), refines.begin(), refines.end());
    return script;
}

// Cheapest script made of the catalogue's scans.
scan_plan plan_script(const scan_catalogue& cat, const scan_frame& frame, const search_space& space) {
    const dc_plan dc = plan_dc(cat, frame);
    scan_plan result;
    std::int64_t total = dc.bytes;
    std::vector<scan_plan> ac;
    for (int c = 0; c < frame.components && total < kUnusable; ++c) {
        ac.push_back(plan_component_ac(cat, space, c));
        total = add_costs(total, ac.back().bytes);
    }
    if (total >= kUnusable) return result;
    result.bytes = total;
    result.scans = order_scans(dc, ac);
    return result;
}

std::int64_t script_cost(const scan_catalogue& cat, const std::vector<jpeg_scan_info>& script) {
    std::int64_t total = 0;
    for (const jpeg_scan_info& s : script) total = add_costs(total, cat.cost(s));
    return total;
}

// Exact comparison of two scripts, for a plan chosen on sampled rows: scans
// both hold cost the same, so only the others are measured, over all rows.
bool beats_exactly(j_compress_ptr cinfo, const scan_frame& frame, jvirt_barray_ptr* coef_arrays,
                   const std::vector<jpeg_scan_info>& plan, const std::vector<jpeg_scan_info>& standard) {
    std::map<scan_key, int> balance;  // +1 for each plan scan, -1 for each standard scan
    for (const jpeg_scan_info& s : plan) ++balance[key_of(s)];
    for (const jpeg_scan_info& s : standard) --balance[key_of(s)];
    scan_catalogue exact;
    for (const std::vector<jpeg_scan_info>* list : {&plan, &standard})
        for (const jpeg_scan_info& s : *list)
            if (balance[key_of(s)] != 0) exact.add(s);
    if (exact.scans.empty()) return false;
    exact.measure(cinfo, frame, coef_arrays, 1);
    std::int64_t plan_only = 0, standard_only = 0;
    for (const jpeg_scan_info& s : exact.scans) {
        const std::int64_t bytes = exact.cost(s);
        if (bytes >= kUnusable) return false;
        const int n = balance[key_of(s)];
        (n > 0 ? plan_only : standard_only) += bytes * (n > 0 ? n : -n);
    }
    return plan_only < standard_only;
}

std::vector<jpeg_scan_info> standard_script(j_compress_ptr cinfo) {
    const jpeg_scan_info* saved_info = cinfo->scan_info;
    const int saved_count = cinfo->num_scans;
    jpeg_simple_progression(cinfo);
    std::vector<jpeg_scan_info> script(cinfo->scan_info, cinfo->scan_info + cinfo->num_scans);
    cinfo->scan_info = saved_info;
    cinfo->num_scans = saved_count;
    return script;
}

// The search proper: replaces `script` (the standard one) by a smaller one
// when it finds one.
void search_script(j_compress_ptr cinfo, jvirt_barray_ptr* coef_arrays, std::vector<jpeg_scan_info>& script) {
    scan_frame frame;
    if (!describe_scan_frame(cinfo, frame) || frame.components > kMaxSearchComponents) return;

    search_space space;
    std::uint64_t blocks = 0;
    for (int c = 0; c < frame.components; ++c) {
        space.deepest[c] = deepest_ac_al(*cinfo, c);
        blocks += static_cast<std::uint64_t>(frame.comp[c].blocks_across) * frame.comp[c].blocks_down;
    }
    if (blocks < kSmallImageBlocks) {
        space.first_points = band_points(kSmallFirstBandEnds);
        space.refine_points = {0, 63};
    } else {
        space.first_points = band_points(kFirstBandEnds);
        space.refine_points = band_points(kRefineBandEnds);
    }
    const unsigned row_step = blocks >= kSparseSampleFromBlocks ? 8 : blocks >= kSampleFromBlocks ? 4 : 1;

    scan_catalogue cat;
    for (const jpeg_scan_info& s : script) cat.add(s);
    add_dc_candidates(cat, frame);
    for (int c = 0; c < frame.components; ++c) add_ac_candidates(cat, space, c);
    cat.measure(cinfo, frame, coef_arrays, row_step);
    const scan_plan plan = plan_script(cat, frame, space);
    if (plan.bytes >= kUnusable || plan.scans.size() > kMaxScans) return;

    if (row_step == 1) {
        const std::int64_t standard_bytes = script_cost(cat, script);
        if (standard_bytes >= kUnusable || plan.bytes >= standard_bytes) return;
    } else if (!beats_exactly(cinfo, frame, coef_arrays, plan.scans, script)) {
        return;
    }
    script = plan.scans;
}

}  // namespace

bool choose_progressive_script(j_compress_ptr cinfo, jvirt_barray_ptr* coef_arrays,
                               std::vector<jpeg_scan_info>& script) {
    // Running out of memory ends the search, not the caller: the standard
    // script stays (or, when even that could not be copied, none is chosen).
    try {
        script = standard_script(cinfo);
        if (script.empty()) return false;
        search_script(cinfo, coef_arrays, script);
        return true;
    } catch (const std::bad_alloc&) {
        return !script.empty();
    }
}
