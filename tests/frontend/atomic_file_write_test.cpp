// Whole-file replacement of the front end's own files.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "core/temp_folder.h"
#include "frontend/atomic_file_write.h"

namespace {

mode_t mode_of(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST(AtomicFileWrite, NewFileAndReplacedFileKeepTheirModes) {
    temp_folder tmp;
    const std::string path = tmp / "a.txt";
    ASSERT_TRUE(write_file_atomically(path, "new", 3));
    EXPECT_EQ(read_file(path), "new");
    EXPECT_EQ(mode_of(path), 0644u);
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    ASSERT_TRUE(write_file_atomically(path, "second", 6));
    EXPECT_EQ(read_file(path), "second");
    EXPECT_EQ(mode_of(path), 0600u);
}

TEST(AtomicFileWrite, FailureKeepsTheOldFileAndRemovesTheTemporary) {
    temp_folder tmp;
    const std::string dir = tmp / "taken";
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    write_file(dir + "/inside", "keep");
    EXPECT_FALSE(write_file_atomically(dir, "x", 1));
    EXPECT_EQ(read_file(dir + "/inside"), "keep");
    size_t entries = 0;
    for (boost::filesystem::directory_iterator it(tmp.path), end; it != end; ++it) ++entries;
    EXPECT_EQ(entries, 1u);
}

}  // namespace
