// The CSV report: its bytes, its figures and its quoting.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "core/temp_folder.h"
#include "frontend/report.h"

namespace {

file_row row(const std::string& path, uint64_t before, uint64_t after) {
    file_row r;
    r.path = path;
    r.added_size = before;
    r.optimized = true;
    r.before = before;
    r.after = after;
    return r;
}

// The lines of the report's text, without their line feeds.
std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start));
    EXPECT_EQ(start, text.size()) << "text must end with a line feed";
    return lines;
}

TEST(Report, TwoFilesAndTheirTotal) {
    const std::vector<file_row> rows = {row("/p/a.png", 122880, 98816), row("/p/b.jpg", 1000, 999)};
    const auto lines = lines_of(build_report_text(rows, 123880, 99815));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "file,insize,outsize,savings,purcent");
    EXPECT_EQ(lines[1], "/p/a.png,120.00 KB,96.50 KB,23.50 KB,20%");
    EXPECT_EQ(lines[2], "/p/b.jpg,0.98 KB,0.98 KB,0.00 KB,1%");  // 100 - 99, not 0
    EXPECT_EQ(lines[3], "total,120.98 KB,97.48 KB,23.50 KB,20%");
}

TEST(Report, FiguresThatOnceWrappedOrDividedByZero) {
    const uint64_t fifty_mb = 50ull << 20;
    const uint64_t six_gb = 6ull << 30;
    const std::vector<file_row> rows = {
        row("/big.png", fifty_mb, fifty_mb - fifty_mb / 10),      // 64-bit product
        row("/huge.png", six_gb, six_gb - (2ull << 20)),          // saving in MB, sizes above 32 bits
        row("/empty.png", 0, 0),                                  // no division by zero
        row("/grew.png", 1000, 1500),                             // signed saving
    };
    file_row gone = row("/gone.png", 2048, 0);  // vanished during the run: failed, no saving
    gone.failed = true;
    const auto lines = lines_of(build_report_text({rows[0], rows[1], rows[2], rows[3], gone}, 0, 0));
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[1], "/big.png,50.00 MB,45.00 MB,5.00 MB,10%");
    EXPECT_EQ(lines[2], "/huge.png,6.00 GB,6.00 GB,2.00 MB,1%");
    EXPECT_EQ(lines[3], "/empty.png,0.00 KB,-,0.00 KB,0%");
    EXPECT_EQ(lines[4], "/grew.png,0.98 KB,1.46 KB,-0.49 KB,-50%");
    EXPECT_EQ(lines[5], "/gone.png,2.00 KB,-,0.00 KB,0%");
    EXPECT_EQ(lines[6], "total,0.00 KB,0.00 KB,0.00 KB,0%");
}

TEST(Report, PathsWithCommasQuotesOrLineBreaksAreQuoted) {
    EXPECT_EQ(csv_field("/plain/a.png"), "/plain/a.png");
    EXPECT_EQ(csv_field("/a,b.png"), "\"/a,b.png\"");
    EXPECT_EQ(csv_field("/say \"hi\".png"), "\"/say \"\"hi\"\".png\"");
    EXPECT_EQ(csv_field("/two\nlines.png"), "\"/two\nlines.png\"");
    EXPECT_EQ(csv_field("/cr\r.png"), "\"/cr\r.png\"");
    const std::string text = build_report_text({row("/a,b.png", 2048, 1024)}, 2048, 1024);
    EXPECT_NE(text.find("\n\"/a,b.png\",2.00 KB,1.00 KB,1.00 KB,50%\n"), std::string::npos);
}

TEST(Report, BytesAreUtf16LittleEndianWithoutMarkOrCarriageReturn) {
    const std::string bytes = utf16le_bytes(build_report_text({row("/图片/猫.png", 4096, 2048)}, 4096, 2048));
    ASSERT_GE(bytes.size(), 8u);
    EXPECT_EQ(bytes.substr(0, 8), std::string("f\0i\0l\0e\0", 8));
    EXPECT_EQ(bytes.size() % 2, 0u);
    for (size_t i = 0; i < bytes.size(); i += 2) EXPECT_FALSE(bytes[i] == '\r' && bytes[i + 1] == 0);
    // "/图" after the header line: U+56FE as FE 56.
    const size_t start = std::string("file,insize,outsize,savings,purcent\n").size() * 2;
    EXPECT_EQ(bytes.substr(start, 4), std::string("/\0\xFE\x56", 4));
}

TEST(Report, Utf8ToUtf16) {
    EXPECT_EQ(utf8_to_utf16("a"), u"a");
    EXPECT_EQ(utf8_to_utf16("\xC3\xA9"), u"\u00E9");
    EXPECT_EQ(utf8_to_utf16("\xF0\x9F\x98\x80"), u"\U0001F600");  // surrogate pair
    EXPECT_EQ(utf8_to_utf16("a\xFF" "b"), u"a\uFFFDb");             // not UTF-8
    EXPECT_EQ(utf8_to_utf16("\xE4\xB8"), u"\uFFFD\uFFFD");          // cut short
    EXPECT_EQ(utf8_to_utf16("\xC0\xAF"), u"\uFFFD\uFFFD");          // overlong
}

TEST(Report, WrittenWholeOrNotAtAll) {
    temp_folder tmp;
    const std::string path = tmp / "krast.csv";
    ASSERT_TRUE(write_report(path, {row("/a.png", 10, 5)}, 10, 5));
    EXPECT_EQ(read_file(path), utf16le_bytes(build_report_text({row("/a.png", 10, 5)}, 10, 5)));
    const std::string blocked = tmp / "blocked.csv";
    ASSERT_EQ(::mkdir(blocked.c_str(), 0755), 0);
    EXPECT_FALSE(write_report(blocked, {}, 0, 0));
}

// Others may be able to write into the data folder: a link planted there as
// the report is replaced by it, and the file it points at is not written.
TEST(Report, ALinkInPlaceOfTheReportIsReplacedNotFollowed) {
    temp_folder tmp;
    ASSERT_EQ(::mkdir((tmp / "data").c_str(), 0755), 0);
    write_file(tmp / "victim.txt", "someone else's file");
    const std::string path = tmp / "data/krast.csv";
    ASSERT_EQ(::symlink((tmp / "victim.txt").c_str(), path.c_str()), 0);
    ASSERT_TRUE(write_report(path, {row("/a.png", 10, 5)}, 10, 5));
    struct stat st {};
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(read_file(path), utf16le_bytes(build_report_text({row("/a.png", 10, 5)}, 10, 5)));
    EXPECT_EQ(read_file(tmp / "victim.txt"), "someone else's file");
}

}  // namespace
