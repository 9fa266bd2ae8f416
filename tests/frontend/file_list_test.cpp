// Extension filter, folder walk and the file list of the grid.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "core/temp_folder.h"
#include "frontend/extension_filter.h"
#include "frontend/file_list.h"
#include "frontend/folder_walk.h"

namespace {

std::vector<std::string> paths_of(const file_list& list) {
    std::vector<std::string> paths;
    for (const file_row& r : list.rows()) paths.push_back(r.path);
    return paths;
}

// Restores the current folder at the end of a test.
struct folder_guard {
    std::string old = boost::filesystem::current_path().string();
    ~folder_guard() { boost::filesystem::current_path(old); }
};

TEST(ExtensionFilter, ImageExtensionsInAnyCase) {
    EXPECT_EQ(get_extension("/a/b.tar.gz"), ".gz");
    EXPECT_EQ(get_extension("README"), "");
    const std::pair<const char*, bool> cases[] = {
        {"/p/photo.JPG", true}, {"/p/a.jpeg", true}, {"/p/a.PnG", true}, {"/p/a.Jpeg", true},
        {"/p/archive.png.zip", false}, {"/p/README", false}, {"/p/a.jp", false}, {"/p/a.webp", false},
        {"/p/a.", false}, {"/p.png/README", false},
    };
    for (const auto& [path, expected] : cases) EXPECT_EQ(has_image_extension(path), expected) << path;
}

TEST(FileList, FolderWalkSortedByNameWithImagesOnly) {
    temp_folder tmp;
    boost::filesystem::create_directories(tmp / "drop/sub");
    write_file(tmp / "drop/b.txt", "x");
    write_file(tmp / "drop/sub/c.jpeg", std::string(3000, 'c'));
    write_file(tmp / "drop/a.PNG", std::string(1536, 'a'));
    write_file(tmp / "drop/Z.jpg", "z");  // upper case sorts first
    file_list list;
    EXPECT_EQ(add_path(tmp / "drop", list), 3u);
    EXPECT_EQ(paths_of(list),
              (std::vector<std::string>{tmp / "drop/Z.jpg", tmp / "drop/a.PNG", tmp / "drop/sub/c.jpeg"}));
    EXPECT_EQ(original_column_text(list.rows()[1]), "1.50 KB");
    EXPECT_EQ(optimized_column_text(list.rows()[1]), "");
}

TEST(FileList, EachFileIsListedOnceWhateverItsSpelling) {
    temp_folder tmp;
    folder_guard guard;
    boost::filesystem::create_directories(tmp / "d/e");
    write_file(tmp / "d/a.png", "a");
    ASSERT_EQ(::symlink((tmp / "d/a.png").c_str(), (tmp / "d/link.png").c_str()), 0);
    boost::filesystem::current_path(tmp / "d/e");
    file_list list;
    EXPECT_EQ(add_path("../a.png", list), 1u);  // relative: made absolute
    EXPECT_EQ(list.rows()[0].path, tmp / "d/e/../a.png");
    EXPECT_EQ(add_path(tmp / "d/./a.png", list), 0u);
    EXPECT_EQ(add_path(tmp / "d/link.png", list), 0u);
    EXPECT_EQ(add_path(tmp / "d", list), 0u);
    EXPECT_EQ(add_path(tmp / "missing.png", list), 0u);
    EXPECT_EQ(list.rows().size(), 1u);
    list.clear();
    EXPECT_EQ(add_path("./../a.png", list), 1u);  // after Clear the file can come back
    EXPECT_EQ(list.rows()[0].path, tmp / "d/e/../a.png");
}

TEST(FileList, LinksToFoldersInsideAWalkAreNotFollowed) {
    temp_folder tmp;
    boost::filesystem::create_directories(tmp / "tree/real");
    boost::filesystem::create_directories(tmp / "outside");
    write_file(tmp / "tree/real/a.png", "a");
    write_file(tmp / "outside/b.png", "b");
    write_file(tmp / "target.jpg", "t");
    ASSERT_EQ(::symlink((tmp / "tree").c_str(), (tmp / "tree/real/loop").c_str()), 0);
    ASSERT_EQ(::symlink((tmp / "outside").c_str(), (tmp / "tree/out").c_str()), 0);
    ASSERT_EQ(::symlink((tmp / "target.jpg").c_str(), (tmp / "tree/file-link.jpg").c_str()), 0);
    std::vector<std::string> found;
    walk_path(tmp / "tree", [&](const std::string& p) { found.push_back(p); });
    EXPECT_EQ(found, (std::vector<std::string>{tmp / "tree/file-link.jpg", tmp / "tree/real/a.png"}));
    // A link the user names directly is followed.
    found.clear();
    walk_path(tmp / "tree/out", [&](const std::string& p) { found.push_back(p); });
    EXPECT_EQ(found, (std::vector<std::string>{tmp / "tree/out/b.png"}));
}

TEST(FileList, SizesBeyondThirtyTwoBits) {
    temp_folder tmp;
    const std::string path = tmp / "big.png";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, off_t{5} << 30), 0);  // sparse: takes no space
    ::close(fd);
    file_list list;
    ASSERT_EQ(add_path(path, list), 1u);
    EXPECT_EQ(list.rows()[0].added_size, uint64_t{5} << 30);
    EXPECT_EQ(original_column_text(list.rows()[0]), "5.00 GB");
    EXPECT_EQ(get_file_size(tmp / "missing"), 0u);
}

}  // namespace
