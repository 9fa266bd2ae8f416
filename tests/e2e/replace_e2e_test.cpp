// End-to-end runs of the engine on inputs that change under it, and on
// folders and paths it cannot reach.
//
// The input is changed at a fixed point of the run - when the engine starts
// writing its replacement, after it has read the input - by a small library
// preloaded into the engine (swap_shim.cpp), so no case depends on timing.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include "core/file_attributes.h"
#include "core/temp_folder.h"
#include "e2e/run_core.h"
#include "jpg/jpeg_fixture.h"

namespace {

namespace fs = boost::filesystem;

// Sets environment variables for the engines started in one scope.
class scoped_env {
public:
    ~scoped_env() {
        for (const std::string& name : names_) ::unsetenv(name.c_str());
    }
    void set(const std::string& name, const std::string& value) {
        ::setenv(name.c_str(), value.c_str(), 1);
        names_.push_back(name);
    }

private:
    std::vector<std::string> names_;
};

void put_chunk(std::string& png, const char* type, const std::string& data) {
    const uint32_t length = uint32_t(data.size());
    for (int shift = 24; shift >= 0; shift -= 8) png.push_back(char(length >> shift));
    const std::string body = type + data;
    png += body;
    const uint32_t crc = uint32_t(crc32(0, reinterpret_cast<const Bytef*>(body.data()), uInt(body.size())));
    for (int shift = 24; shift >= 0; shift -= 8) png.push_back(char(crc >> shift));
}

// A PNG the engine makes smaller with "-l": a 48 x 40 RGB gradient whose
// image data is stored without compression. `shade` makes each one differ.
std::string stored_png(uint32_t shade) {
    constexpr uint32_t width = 48, height = 40;
    std::string rows;
    for (uint32_t y = 0; y < height; ++y) {
        rows.push_back(0);  // no filter
        for (uint32_t x = 0; x < width; ++x) rows += {char(x * 5 + shade), char(y * 6), char(shade)};
    }
    std::string idat(compressBound(uLong(rows.size())), '\0');
    uLongf idat_size = uLongf(idat.size());
    compress2(reinterpret_cast<Bytef*>(idat.data()), &idat_size, reinterpret_cast<const Bytef*>(rows.data()),
              uLong(rows.size()), 0);
    idat.resize(idat_size);
    const std::string ihdr = {0, 0, 0, char(width), 0, 0, 0, char(height), 8, 2, 0, 0, 0};
    std::string png = png_signature;
    put_chunk(png, "IHDR", ihdr);
    put_chunk(png, "IDAT", idat);
    put_chunk(png, "IEND", "");
    return png;
}

std::vector<std::string> entries_of(const std::string& folder) {
    std::vector<std::string> names;
    for (fs::directory_iterator it(folder), end; it != end; ++it) names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(ReplaceE2E, InputChangedDuringTheRunIsLeftAlone) {
    ASSERT_NE(std::getenv("VELTO_CORE"), nullptr) << "VELTO_CORE names the engine binary";
    const char* shim = std::getenv("VELTO_SWAP_SHIM");
    ASSERT_NE(shim, nullptr) << "VELTO_SWAP_SHIM names the preloaded library";
    const std::string input = stored_png(0);
    const std::string other = stored_png(99);  // a newer image of the same size, saved under the same name
    const std::string victim = "a file the engine must never write";

    const struct {
        const char* mode;  // "" leaves the input alone
        int status;
        const char* expected_input;  // "optimised", "other" or "link"
    } cases[] = {
        {"", 0, "optimised"},
        {"rename", 1, "other"},   // cp other d/n && mv d/n d/x.png
        {"rewrite", 1, "other"},  // cat other > d/x.png
        // dd conv=notrunc if=other of=d/x.png; touch -r (the old times) d/x.png
        {"rewrite-keep-times", 1, "other"},
        {"symlink", 1, "link"},   // rm d/x.png; ln -s victim d/x.png
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        temp_folder tmp;
        fs::create_directory(tmp / "d");
        const std::string x = tmp / "d/x.png";
        write_file(x, input);
        // An old time, so that rewriting the file in place shows in its time
        // even on a file system with coarse timestamps.
        struct timespec old_time[2] = {{978307200, 0}, {978307200, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, x.c_str(), old_time, 0), 0);
        write_file(tmp / "other.png", other);
        write_file(tmp / "victim.png", victim);
        scoped_env env;
        env.set("LD_PRELOAD", shim);
        env.set("VELTO_SWAP", c.mode);
        env.set("VELTO_SWAP_TARGET", x);
        env.set("VELTO_SWAP_SOURCE", std::string(c.mode) == "symlink" ? tmp / "victim.png" : tmp / "other.png");

        const run_outcome r = run_core(tmp, {"-q", "-l", x});
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(read_file(tmp / "victim.png"), victim);
        const std::string expected = c.expected_input;
        if (expected == "optimised") {
            const std::string now = read_file(x);
            EXPECT_LT(now.size(), input.size());
            EXPECT_EQ(now.substr(0, 8), png_signature);
        } else if (expected == "other") {
            EXPECT_EQ(read_file(x), other);
        } else {
            EXPECT_TRUE(fs::is_symlink(x));
            EXPECT_EQ(fs::read_symlink(x).string(), tmp / "victim.png");
        }
        // Nothing left behind: no temporary file beside the input.
        EXPECT_EQ(entries_of(tmp / "d"), std::vector<std::string>{"x.png"});
    }
}

// Makes `depth` nested folders of 200-character names under `root`, working
// relative to open folders so the depth is not bounded by the path limit;
// the deepest one holds `file` with `bytes`. Returns the length of the
// deepest file's path.
size_t make_deep_tree(const std::string& root, int depth, const std::string& file, const std::string& bytes) {
    const std::string name(200, 'd');
    int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
    size_t length = root.size();
    for (int i = 0; i < depth && fd >= 0; ++i) {
        ::mkdirat(fd, name.c_str(), 0755);
        const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
        length += 1 + name.size();
    }
    if (fd < 0) return 0;
    const int out = ::openat(fd, file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const bool written = out >= 0 && ::write(out, bytes.data(), bytes.size()) == ssize_t(bytes.size());
    if (out >= 0) ::close(out);
    ::close(fd);
    return written ? length + 1 + file.size() : 0;
}

// Removes everything under the folder open as `fd`, relative to it (paths
// below may be longer than the system's limit), and closes `fd`.
void remove_contents(int fd) {
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return;
    }
    std::vector<std::pair<std::string, bool>> entries;
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") entries.push_back({name, e->d_type == DT_DIR});
    }
    for (const auto& [name, is_folder] : entries) {
        if (is_folder) {
            const int child = ::openat(::dirfd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
            if (child >= 0) remove_contents(child);
        }
        ::unlinkat(::dirfd(dir), name.c_str(), is_folder ? AT_REMOVEDIR : 0);
    }
    ::closedir(dir);
}

// Reads the deepest file back through the tree.
std::string read_deep_file(const std::string& root, int depth, const std::string& file) {
    const std::string name(200, 'd');
    int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < depth && fd >= 0; ++i) {
        const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
    }
    const int in = fd >= 0 ? ::openat(fd, file.c_str(), O_RDONLY) : -1;
    std::string bytes;
    char buffer[4096];
    ssize_t n = 0;
    while (in >= 0 && (n = ::read(in, buffer, sizeof buffer)) > 0) bytes.append(buffer, size_t(n));
    if (in >= 0) ::close(in);
    if (fd >= 0) ::close(fd);
    return bytes;
}

TEST(ReplaceE2E, PathsBeyondTheSystemLimitFail) {
    ASSERT_NE(std::getenv("VELTO_CORE"), nullptr);
    temp_folder tmp;
    fs::create_directory(tmp / "deep");
    const std::string png = stored_png(7);
    constexpr int depth = 22;  // 22 * 201 characters: beyond PATH_MAX
    const size_t length = make_deep_tree(tmp / "deep", depth, "y.png", png);
    ASSERT_GT(length, size_t(PATH_MAX));

    const struct {
        const char* name;
        std::vector<std::string> args;
    } cases[] = {
        {"a folder whose files lie beyond the limit", {tmp / "deep"}},
        {"a file argument beyond the limit", {tmp / "deep/" + std::string(4200, 'n') + ".png"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const run_outcome r = run_core(tmp, c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(read_deep_file(tmp / "deep", depth, "y.png"), png);
    }
    remove_contents(::open((tmp / "deep").c_str(), O_RDONLY | O_DIRECTORY));
}

// Runs the engine as an unprivileged user when the tests run as root, since
// root may read any folder.
int run_core_unprivileged(const temp_folder& tmp, const std::vector<std::string>& args) {
    const pid_t child = ::fork();
    if (child < 0) return -1;
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(200);
        ::_exit(run_core(tmp, args).status & 255);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ReplaceE2E, UnreadableFolderFails) {
    ASSERT_NE(std::getenv("VELTO_CORE"), nullptr);
    temp_folder tmp;
    ::chmod(tmp.path.c_str(), 0777);  // the engine's output files go here
    fs::create_directories(tmp / "root/locked");
    const std::string png = stored_png(3);
    write_file(tmp / "root/locked/a.png", png);
    ::chmod((tmp / "root/locked").c_str(), 0);

    const struct {
        const char* name;
        std::string arg;
    } cases[] = {
        {"the folder given", tmp / "root/locked"},
        {"a folder met in the walk", tmp / "root"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(run_core_unprivileged(tmp, {c.arg}), 1);
    }
    ::chmod((tmp / "root/locked").c_str(), 0755);
    EXPECT_EQ(read_file(tmp / "root/locked/a.png"), png);
}

// Takes size, modification time and bytes, to see whether a file was rewritten.
struct file_state {
    std::string bytes;
    int64_t mtime_ns = 0;
    bool operator==(const file_state&) const = default;
};

file_state state_of(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return {read_file(path), int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

TEST(ReplaceE2E, LinksAreFollowedOnlyWhenNamedOnTheCommandLine) {
    ASSERT_NE(std::getenv("VELTO_CORE"), nullptr);
    const struct {
        const char* name;
        std::string arg;
        bool victim_rewritten;
        bool real_rewritten;
    } cases[] = {
        // Whoever may write into the walked folder must not choose what is rewritten.
        {"links met in a walk", "tree", false, true},
        {"a link to a file named", "tree/innocent.png", true, false},
        {"a link to a folder named", "private-link", true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        temp_folder tmp;
        fs::create_directory(tmp / "tree");
        fs::create_directory(tmp / "private");
        write_file(tmp / "private/victim.png", stored_png(1));
        write_file(tmp / "tree/real.png", stored_png(2));
        fs::create_symlink(tmp / "private/victim.png", tmp / "tree/innocent.png");
        fs::create_directory_symlink(tmp / "private", tmp / "tree/folder.png");
        fs::create_directory_symlink(tmp / "private", tmp / "private-link");
        const file_state victim = state_of(tmp / "private/victim.png");
        const file_state real = state_of(tmp / "tree/real.png");

        EXPECT_EQ(run_core(tmp, {"-l", tmp / c.arg}).status, 0);
        EXPECT_EQ(state_of(tmp / "private/victim.png") != victim, c.victim_rewritten);
        EXPECT_EQ(state_of(tmp / "tree/real.png") != real, c.real_rewritten);
        EXPECT_TRUE(fs::is_symlink(tmp / "tree/innocent.png"));
    }
}

TEST(ReplaceE2E, FileInAReadOnlyFolderIsLeftAlone) {
    // Root may write into any folder; one without write permission is still
    // left alone, as a read-only file is.
    ASSERT_NE(std::getenv("VELTO_CORE"), nullptr);
    for (const char* arg : {"ro/a.png", "ro"}) {
        SCOPED_TRACE(arg);
        temp_folder tmp;
        fs::create_directory(tmp / "ro");
        write_file(tmp / "ro/a.png", stored_png(4));
        ASSERT_EQ(::chmod((tmp / "ro").c_str(), 0555), 0);
        const file_state before = state_of(tmp / "ro/a.png");
        EXPECT_EQ(run_core(tmp, {"-l", tmp / arg}).status, 1);
        EXPECT_TRUE(state_of(tmp / "ro/a.png") == before);
    }
}

// An append-only or immutable folder refuses renames and removals in it, and
// such a file refuses to be renamed over, even to root. A file there fails
// with 1 before anything is written, as one in a read-only folder does, and
// no temporary file is left beside it.
TEST(ReplaceE2E, AppendOnlyOrImmutableFileOrFolderIsLeftAlone) {
    ASSERT_NE(std::getenv("VELTO_CORE"), nullptr);
    for (const attribute_case& c : attribute_cases) {
        SCOPED_TRACE(c.name);
        temp_folder tmp;
        attribute_guard attributes;
        fs::create_directory(tmp / "d");
        const std::string x = tmp / "d/x.png";
        write_file(x, stored_png(5));
        const file_state before = state_of(x);
        const std::string why_not = attributes.add(c.on_folder ? tmp / "d" : x, c.flag);
        if (!why_not.empty()) GTEST_SKIP() << why_not;

        EXPECT_EQ(run_core(tmp, {"-l", x}).status, 1);
        EXPECT_TRUE(state_of(x) == before);
        EXPECT_EQ(entries_of(tmp / "d"), std::vector<std::string>{"x.png"});
    }
}

// The folder becomes append-only after the check, while the engine writes
// its temporary file: the rename and the removal are refused, and the
// temporary that stays is empty.
TEST(ReplaceE2E, TemporaryLeftInAFolderMadeAppendOnlyDuringTheRunIsEmpty) {
    ASSERT_NE(std::getenv("VELTO_CORE"), nullptr);
    const char* shim = std::getenv("VELTO_SWAP_SHIM");
    ASSERT_NE(shim, nullptr) << "VELTO_SWAP_SHIM names the preloaded library";
    temp_folder tmp;
    attribute_guard attributes;
    fs::create_directory(tmp / "d");
    fs::create_directory(tmp / "probe");
    const std::string why_not = attributes.add(tmp / "probe", FS_APPEND_FL);
    if (!why_not.empty()) GTEST_SKIP() << why_not;
    const std::string x = tmp / "d/x.png";
    write_file(x, stored_png(6));
    const file_state before = state_of(x);
    attributes.expect(tmp / "d", FS_APPEND_FL);
    scoped_env env;
    env.set("LD_PRELOAD", shim);
    env.set("VELTO_SWAP", "append-only-folder");
    env.set("VELTO_SWAP_TARGET", x);
    env.set("VELTO_SWAP_SOURCE", x);

    EXPECT_EQ(run_core(tmp, {"-q", "-l", x}).status, 1);
    EXPECT_TRUE(state_of(x) == before);
    const std::vector<std::string> names = entries_of(tmp / "d");
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[1], "x.png");
    EXPECT_EQ(names[0].rfind(".velto-", 0), 0u);
    EXPECT_EQ(fs::file_size(tmp / ("d/" + names[0])), 0u);
}

// The lossy JPEG road writes its result, then its final lossless pass may
// write a smaller one. With the disk full at the first write the file stays
// as it was (1); full at the second, the first result stands and is reported
// as written (0). Nothing else is left in the folder.
TEST(ReplaceE2E, JpegLossyRoadReportsTheResultItWroteWhenItsFinalPassCannotWrite) {
    ASSERT_NE(std::getenv("VELTO_CORE"), nullptr);
    const char* shim = std::getenv("VELTO_SWAP_SHIM");
    ASSERT_NE(shim, nullptr) << "VELTO_SWAP_SHIM names the preloaded library";
    jpeg_fixture::encode_options o;
    o.width = 160;
    o.height = 120;
    o.quality = 100;
    const jpeg_fixture::bytes input = jpeg_fixture::encode(o);
    ASSERT_FALSE(input.empty());
    const std::string input_text(input.begin(), input.end());

    struct outcome {
        int status;
        std::string file;
    };
    const auto run_with_full_disk_at = [&](int at) {
        temp_folder tmp;
        fs::create_directory(tmp / "d");
        const std::string x = tmp / "d/x.jpg";
        write_file(x, input_text);
        scoped_env env;
        env.set("LD_PRELOAD", shim);
        env.set("VELTO_SWAP", "no-space");
        env.set("VELTO_SWAP_AT", std::to_string(at));
        env.set("VELTO_SWAP_TARGET", x);
        env.set("VELTO_SWAP_SOURCE", x);
        const int status = run_core(tmp, {"-q", "-q=80", "-jpg-s3", x}).status;
        EXPECT_EQ(entries_of(tmp / "d"), std::vector<std::string>{"x.jpg"}) << "disk full at write " << at;
        return outcome{status, read_file(x)};
    };

    const outcome first = run_with_full_disk_at(1);
    EXPECT_EQ(first.status, 1);
    EXPECT_EQ(first.file, input_text);

    const outcome neither = run_with_full_disk_at(3);
    const outcome second = run_with_full_disk_at(2);
    ASSERT_EQ(neither.status, 0);
    // The final pass wrote a second, smaller file when it could.
    ASSERT_LT(neither.file.size(), second.file.size());
    EXPECT_EQ(second.status, 0);
    EXPECT_LT(second.file.size(), input_text.size());
    const jpeg_fixture::decoded seen =
        jpeg_fixture::decode(jpeg_fixture::bytes(second.file.begin(), second.file.end()));
    EXPECT_TRUE(seen.ok);
    EXPECT_EQ(seen.warnings, 0);
    EXPECT_EQ(seen.width, o.width);
}

}  // namespace
