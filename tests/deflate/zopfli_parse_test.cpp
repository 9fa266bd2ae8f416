// Schedule of the Zopfli-style compressor's iterated parse (when it stops
// early, when integer code lengths replace the costs), the split search's
// position-by-position scan for many iterations, and the parse's use of the
// known-distance find.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <vector>

#include "core/deflate/zopfli.h"
#include "core/deflate/zopfli_split.h"
#include "core/deflate/zopfli_squeeze.h"
#include "tests/deflate/zopfli_test_util.h"

using namespace zopfli;
using namespace zopfli_test;

namespace {

std::vector<iteration_report> parse_reports(const std::vector<unsigned char>& in, int32_t iterations) {
    Zopflioptions opts = options(5, iterations);
    std::vector<iteration_report> reports;
    zopfli_set_iteration_observer(
        [](const iteration_report& r, void* context) {
            static_cast<std::vector<iteration_report>*>(context)->push_back(r);
        },
        &reports);
    uint64_t* points = nullptr;
    uint64_t npoints = 0;
    symbol_stats* records = nullptr;
    zopfli_block_split(&opts, in.data(), 0, in.size(), &points, &npoints, &records);
    lz77_store store;
    lz77_store_init(&store);
    zopfli_lz77_optimal(&opts, in.data(), 0, in.size(), &store, &records[0], kOnlyBlock);
    lz77_store_free(&store);
    std::free(points);
    std::free(records);
    zopfli_set_iteration_observer(nullptr, nullptr);
    return reports;
}

}  // namespace

TEST(ZopfliParseSchedule, StopsAfterTheNoImprovementLimit) {
    // Short texts settle early, so most runs end by their limit; at 60
    // iterations the last improvement comes too late for 64 more.
    const auto short_text = text_data(300);
    const auto longer_text = text_data(1500);
    struct row {
        const std::vector<unsigned char>* input;
        int32_t iterations;
        uint32_t limit;
        bool stops_early;
    };
    const row rows[] = {{&short_text, 8, 4, true},     {&short_text, 15, 4, true},  {&longer_text, 16, 8, true},
                        {&longer_text, 59, 8, true},   {&longer_text, 60, 64, false}, {&longer_text, 80, 64, true}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.iterations);
        const auto reports = parse_reports(*r.input, r.iterations);
        ASSERT_FALSE(reports.empty());
        uint32_t without = 0;
        for (size_t i = 0; i < reports.size(); ++i) {
            EXPECT_EQ(reports[i].iteration, i + 1);
            without = reports[i].improved ? 0 : without + 1;
            if (i + 1 < reports.size()) {
                EXPECT_LT(without, r.limit) << "went on past the limit";
            }
        }
        if (r.stops_early) {
            EXPECT_LT(reports.size(), static_cast<size_t>(r.iterations));
            EXPECT_EQ(without, r.limit) << "stopped before the limit";
        } else {
            EXPECT_EQ(reports.size(), static_cast<size_t>(r.iterations));
        }
    }
}

TEST(ZopfliParseSchedule, WithoutEarlyStopEveryIterationRuns) {
    const auto in = text_data(300);
    zopfli_set_early_stop(false);
    const auto reports = parse_reports(in, 15);
    zopfli_set_early_stop(true);
    EXPECT_EQ(reports.size(), 15u);
    EXPECT_LT(parse_reports(in, 15).size(), 15u);
}

TEST(ZopfliParseSchedule, IntegerCodeLengthsReplaceTheCosts) {
    // Scanlines keep improving long enough for every scheduled replacement.
    const auto in = scanline_data(40, 200, 4);
    struct row {
        int32_t iterations;
        std::set<uint32_t> replaced;
    };
    const row rows[] = {{2, {}}, {4, {}}, {5, {}}, {6, {5}}, {8, {7}}, {10, {9}}, {16, {9, 15}}, {80, {9, 30, 79}}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.iterations);
        const auto reports = parse_reports(in, r.iterations);
        ASSERT_FALSE(reports.empty());
        std::set<uint32_t> seen;
        for (const auto& report : reports) {
            if (report.integer_lengths) seen.insert(report.iteration);
        }
        std::set<uint32_t> expected;
        for (uint32_t j : r.replaced) {
            if (j <= reports.size()) expected.insert(j);
        }
        EXPECT_EQ(seen, expected);
        if (!r.replaced.empty()) {
            EXPECT_GE(reports.size(), *r.replaced.rbegin()) << "last replacement not reached";
        }
    }
}

TEST(ZopfliSplit, ManyIterationsScanTheLastRangePositionByPosition) {
    // Text and then noise: the best cut lies between the last probes of the
    // narrowing, and only the scan of that last range finds it.
    std::vector<unsigned char> in = text_data(1421);
    const auto noise = noise_data(206, 3);
    in.insert(in.end(), noise.begin(), noise.end());
    auto split_points = [&](int32_t iterations) {
        Zopflioptions opts = options(5, iterations);
        uint64_t* points = nullptr;
        uint64_t npoints = 0;
        symbol_stats* records = nullptr;
        zopfli_block_split(&opts, in.data(), 0, in.size(), &points, &npoints, &records);
        std::vector<uint64_t> v(points, points + npoints);
        std::free(points);
        std::free(records);
        return v;
    };
    const auto few = split_points(10);
    const auto many = split_points(80);
    ASSERT_FALSE(many.empty());
    EXPECT_NE(few, many);
    EXPECT_EQ(split_points(50), few);
    EXPECT_EQ(split_points(51), many);
}

TEST(ZopfliParse, KnownDistanceFindChangesNoStream) {
    // Noise repeated at a distance of 2500: long stretches where each
    // position follows a full-length match at a known distance.
    const auto block = noise_data(2500, 9);
    std::vector<unsigned char> in;
    for (int i = 0; i < 5; ++i) in.insert(in.end(), block.begin(), block.end());
    for (int32_t iterations : {1, 4}) {
        const auto with_known = compress(options(5, iterations), in);
        zopfli_set_known_distance_find(false);
        const auto with_general = compress(options(5, iterations), in);
        zopfli_set_known_distance_find(true);
        EXPECT_EQ(with_known.bytes, with_general.bytes) << iterations;
        std::vector<unsigned char> back;
        ASSERT_TRUE(inflate_raw(with_known.bytes.data(), with_known.bytes.size(), &back));
        EXPECT_EQ(back, in);
    }
}
