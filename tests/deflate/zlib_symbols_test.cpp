// The library must not define any of zlib's own deflate symbols: the packaged
// zlib stays linked beside it (inflate, Adler-32, libpng's writer), and a
// second definition would silently replace one or the other.
#include "core/deflate/zlib_deflate.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <zlib.h>

#include <array>
#include <cstdio>
#include <set>
#include <sstream>
#include <string>

namespace {

// Names of defined (not undefined) symbols that nm lists for a file.
std::set<std::string> defined_symbols(const std::string& file, bool& ok) {
    std::set<std::string> names;
    std::string cmd = "nm --defined-only --extern-only '" + file + "' 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    ok = p != nullptr;
    if (!p) return names;
    std::array<char, 4096> line;
    int lines = 0;
    while (std::fgets(line.data(), line.size(), p)) {
        std::istringstream in(line.data());
        std::string a, b, c;
        in >> a >> b >> c;
        // "addr type name" for symbols, "file.o:" headers in archives
        if (!c.empty()) names.insert(c), ++lines;
    }
    ok = pclose(p) == 0 && lines > 0;
    return names;
}

const char* const zlib_deflate_names[] = {
    "deflate",         "deflateInit_",       "deflateInit2_",  "deflateEnd",     "deflateReset",
    "deflateResetKeep", "deflateCopy",       "deflateBound",   "deflateTune",    "deflateParams",
    "deflateSetDictionary", "deflateGetDictionary", "deflatePending", "deflatePrime", "deflateSetHeader",
    "_tr_init",        "_tr_flush_block",    "_tr_stored_block", "_tr_align",    "_tr_flush_bits",
    "_length_code",    "_dist_code",         "deflate_copyright", "compress",     "compress2",
    "compressBound",   "zlibVersion",        "adler32",        "crc32",          "inflate",
};

void expect_no_zlib_names(const std::string& file) {
    bool ok = false;
    std::set<std::string> names = defined_symbols(file, ok);
    ASSERT_TRUE(ok) << "nm failed on " << file;
    for (const char* n : zlib_deflate_names) EXPECT_EQ(names.count(n), 0u) << n << " defined in " << file;
    for (const std::string& n : names) {
        EXPECT_NE(n.rfind("deflate", 0), 0u) << n << " in " << file;
        EXPECT_NE(n.rfind("_tr_", 0), 0u) << n << " in " << file;
    }
}

TEST(ZlibSymbols, LibraryDefinesNoZlibSymbols) { expect_no_zlib_names(VELTO_ZDEFLATE_ARCHIVE); }

TEST(ZlibSymbols, BinaryLinkingBothTakesDeflateFromThePackagedZlib) {
    // This test binary links our objects (used below) and the packaged zlib;
    // any deflate symbol it defined itself would have come from our objects.
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    expect_no_zlib_names(self);

    // Both compressors work side by side and the packaged one still answers
    // to zlib's names.
    const unsigned char text[] = "side by side side by side side by side";
    unsigned char ours[128], stock[128];
    z_stream a{}, b{};
    ASSERT_EQ(zdeflate::deflate_init2(&a, 6, Z_DEFLATED, 15, 8, 0, zdeflate::deflate_version, sizeof(z_stream)), Z_OK);
    ASSERT_EQ(deflateInit(&b, 6), Z_OK);
    for (auto [s, out] : {std::pair{&a, ours}, std::pair{&b, stock}}) {
        s->next_in = const_cast<Bytef*>(text);
        s->avail_in = sizeof text;
        s->next_out = out;
        s->avail_out = sizeof ours;
    }
    EXPECT_EQ(zdeflate::deflate_stream(&a, Z_FINISH), Z_STREAM_END);
    EXPECT_EQ(deflate(&b, Z_FINISH), Z_STREAM_END);
    EXPECT_EQ(a.total_out, b.total_out);
    EXPECT_EQ(zdeflate::deflate_end(&a), Z_OK);
    EXPECT_EQ(deflateEnd(&b), Z_OK);
    EXPECT_STRNE(zlibVersion(), zdeflate::deflate_version);
}

}  // namespace
