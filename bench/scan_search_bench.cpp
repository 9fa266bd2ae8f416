// Harness of bench/scan_search.sh: transcodes each JPEG losslessly to
// progressive, once with the standard scan script and once with the searched
// script (optimised Huffman tables both times, no metadata of its own), and
// prints one line per file: both sizes, the processor time of both transcodes
// and of the search alone, whether the searched file holds the input's
// coefficients, and whether the search's size estimates of both scripts equal
// the scan bytes libjpeg wrote. Files the library cannot transcode are
// reported as skipped.
//   bench_scan_search [--print-scripts] FILE...
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tests/jpg/scan_transcode.h"

using namespace scan_transcode;

namespace {

void print_script(const std::vector<jpeg_scan_info>& script) {
    std::printf("script:");
    for (const jpeg_scan_info& s : script) {
        std::printf(" ");
        for (int c = 0; c < s.comps_in_scan; ++c) std::printf("%s%d", c ? "," : "", s.component_index[c]);
        std::printf(":%d-%d,%d,%d;", s.Ss, s.Se, s.Ah, s.Al);
    }
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    int first = 1;
    const bool print_scripts = argc > 1 && std::strcmp(argv[1], "--print-scripts") == 0;
    if (print_scripts) first = 2;
    std::uint64_t total_standard = 0, total_searched = 0, total_pixels = 0;
    double standard_seconds = 0, searched_seconds = 0, search_seconds = 0;
    int files = 0, mismatched = 0, misestimated = 0;
    for (int i = first; i < argc; ++i) {
        bytes input;
        if (!load_file(argv[i], input)) {
            std::printf("file=%s skipped=unreadable\n", argv[i]);
            continue;
        }
        const transcode_result standard = transcode(input, script_source::standard);
        const transcode_result searched = transcode(input, script_source::searched);
        if (!standard.ok || !searched.ok) {
            std::printf("file=%s skipped=library_error\n", argv[i]);
            continue;
        }
        const bool same = dump(input) == dump(searched.file);
        const bool estimated = estimate_matches(standard) && estimate_matches(searched);
        ++files;
        mismatched += !same;
        misestimated += !estimated;
        total_standard += standard.file.size();
        total_searched += searched.file.size();
        total_pixels += searched.pixels;
        standard_seconds += standard.seconds;
        searched_seconds += searched.seconds;
        search_seconds += searched.search_seconds;
        if (print_scripts) print_script(searched.script);
        std::printf(
            "file=%s pixels=%llu standard=%zu searched=%zu scans=%zu standard_ms=%.2f searched_ms=%.2f"
            " search_ms=%.2f same_coefficients=%d estimates_exact=%d\n",
            argv[i], static_cast<unsigned long long>(searched.pixels), standard.file.size(), searched.file.size(),
            searched.script.size(), standard.seconds * 1e3, searched.seconds * 1e3, searched.search_seconds * 1e3,
            same ? 1 : 0, estimated ? 1 : 0);
    }
    std::printf(
        "total files=%d pixels=%llu standard=%llu searched=%llu standard_s=%.3f searched_s=%.3f search_s=%.3f"
        " search_ms_per_mp=%.2f coefficient_mismatches=%d estimate_misses=%d\n",
        files, static_cast<unsigned long long>(total_pixels), static_cast<unsigned long long>(total_standard),
        static_cast<unsigned long long>(total_searched), standard_seconds, searched_seconds, search_seconds,
        total_pixels ? search_seconds * 1e3 / (static_cast<double>(total_pixels) / 1e6) : 0.0, mismatched,
        misestimated);
    return 0;
}
