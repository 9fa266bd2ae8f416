// Benchmark harness of the Zopfli-style compressor (not a test).
//   bench_zopfli [--mode M] [--iterations I] [--threads T] [--no-early-stop]
//                [--general-find] FILE...
//     compresses each file as raw DEFLATE, checks it inflates back, and prints
//     "name<TAB>input bytes<TAB>output bytes<TAB>seconds". On the single-thread
//     path, --no-early-stop runs every iteration of the parse and
//     --general-find uses the general find where the known-distance find
//     would serve.
//   bench_zopfli --block-costs FILE POINT...
//     parses each block [0, P1), [P1, P2), ... of FILE on its own (mode 5, 15
//     iterations, all of them, the block's own statistics, 32 KiB of history)
//     and prints "start<TAB>end<TAB>cost of iteration 1<TAB>...<TAB>cost of
//     iteration 15" in bits, to set beside another compressor's block costs.
//   bench_zopfli --scanlines IN.png OUT
//     writes the filtered scanlines of a PNG (its IDAT data inflated with the
//     system zlib), the input the PNG pipeline hands to the compressor.
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/deflate/zopfli.h"
#include "core/deflate/zopfli_lz77.h"
#include "core/deflate/zopfli_split.h"
#include "core/deflate/zopfli_squeeze.h"

namespace {

std::vector<unsigned char> read_file(const char* path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

bool inflate_into(const unsigned char* data, size_t size, int window_bits, std::vector<unsigned char>* out) {
    z_stream zs{};
    if (inflateInit2(&zs, window_bits) != Z_OK) return false;
    zs.next_in = const_cast<unsigned char*>(data);
    zs.avail_in = static_cast<uInt>(size);
    std::vector<unsigned char> buf(1 << 16);
    int ret;
    do {
        zs.next_out = buf.data();
        zs.avail_out = static_cast<uInt>(buf.size());
        ret = inflate(&zs, Z_NO_FLUSH);
        out->insert(out->end(), buf.data(), buf.data() + (buf.size() - zs.avail_out));
    } while (ret == Z_OK);
    inflateEnd(&zs);
    return ret == Z_STREAM_END;
}

int extract_scanlines(const char* in_path, const char* out_path) {
    std::vector<unsigned char> png = read_file(in_path);
    if (png.size() < 8) return 1;
    std::vector<unsigned char> idat;
    size_t p = 8;
    while (p + 12 <= png.size()) {
        uint32_t len = (uint32_t(png[p]) << 24) | (uint32_t(png[p + 1]) << 16) | (uint32_t(png[p + 2]) << 8) | png[p + 3];
        if (p + 12 + uint64_t(len) > png.size()) return 1;
        if (std::memcmp(&png[p + 4], "IDAT", 4) == 0) idat.insert(idat.end(), &png[p + 8], &png[p + 8] + len);
        p += 12 + len;
    }
    std::vector<unsigned char> raw;
    if (!inflate_into(idat.data(), idat.size(), 15, &raw)) return 1;
    std::ofstream(out_path, std::ios::binary).write(reinterpret_cast<const char*>(raw.data()), raw.size());
    return 0;
}

int block_costs(int argc, char** argv) {
    if (argc < 4) return 2;
    const std::vector<unsigned char> in = read_file(argv[2]);
    std::vector<uint64_t> points = {0};
    for (int i = 3; i < argc; ++i) points.push_back(std::strtoull(argv[i], nullptr, 10));
    std::vector<zopfli::iteration_report> reports;
    zopfli::zopfli_set_iteration_observer(
        [](const zopfli::iteration_report& r, void* context) {
            static_cast<std::vector<zopfli::iteration_report>*>(context)->push_back(r);
        },
        &reports);
    zopfli::zopfli_set_early_stop(false);
    for (size_t k = 0; k + 1 < points.size() && points[k + 1] <= in.size(); ++k) {
        zopfli::Zopflioptions opts;
        zopfli::zopfli_init_options(&opts, 5, 1, 1, 15, 0);
        opts.split_min_bytes = UINT32_MAX;  // one statistics record for the whole block
        uint64_t* split = nullptr;
        uint64_t nsplit = 0;
        zopfli::symbol_stats* records = nullptr;
        zopfli::zopfli_block_split(&opts, in.data(), points[k], points[k + 1], &split, &nsplit, &records);
        zopfli::lz77_store store;
        zopfli::lz77_store_init(&store);
        reports.clear();
        zopfli::zopfli_lz77_optimal(&opts, in.data(), points[k], points[k + 1], &store, &records[0],
                                    zopfli::kOnlyBlock);
        std::printf("%llu\t%llu", static_cast<unsigned long long>(points[k]),
                    static_cast<unsigned long long>(points[k + 1]));
        for (const auto& r : reports) std::printf("\t%llu", static_cast<unsigned long long>(r.cost));
        std::printf("\n");
        zopfli::lz77_store_free(&store);
        std::free(split);
        std::free(records);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--scanlines") == 0) return extract_scanlines(argv[2], argv[3]);
    if (argc >= 2 && std::strcmp(argv[1], "--block-costs") == 0) return block_costs(argc, argv);
    uint32_t mode = 5, threads = 1;
    int32_t iterations = 15;
    std::vector<const char*> files;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--mode" && i + 1 < argc) {
            mode = static_cast<uint32_t>(std::atoi(argv[++i]));
        } else if (a == "--iterations" && i + 1 < argc) {
            iterations = std::atoi(argv[++i]);
        } else if (a == "--no-early-stop") {
            zopfli::zopfli_set_early_stop(false);
        } else if (a == "--general-find") {
            zopfli::zopfli_set_known_distance_find(false);
        } else if (a == "--threads" && i + 1 < argc) {
            threads = static_cast<uint32_t>(std::atoi(argv[++i]));
        } else {
            files.push_back(argv[i]);
        }
    }
    int status = 0;
    for (const char* path : files) {
        std::vector<unsigned char> in = read_file(path);
        zopfli::Zopflioptions opts;
        zopfli::zopfli_init_options(&opts, mode, threads, 1, iterations, 0);
        unsigned char* out = nullptr;
        size_t outsize = 0;
        unsigned char bp = 0;
        auto t0 = std::chrono::steady_clock::now();
        zopfli::zopfli_deflate(&opts, 1, in.data(), in.size(), &bp, &out, &outsize);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::vector<unsigned char> back;
        bool ok = inflate_into(out, outsize, -15, &back) && back == in;
        if (!ok) status = 1;
        const char* name = std::strrchr(path, '/');
        std::printf("%s\t%zu\t%zu\t%.2f%s\n", name ? name + 1 : path, in.size(), outsize, seconds,
                    ok ? "" : "\tROUND TRIP FAILED");
        std::free(out);
    }
    return status;
}
