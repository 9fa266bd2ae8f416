#include <gtest/gtest.h>

#include <linux/posix_acl.h>
#include <linux/posix_acl_xattr.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "core/fatal.h"
#include "core/file_attributes.h"
#include "core/platform.h"
#include "core/temp_folder.h"

namespace {

namespace fs = boost::filesystem;

// Sets or clears an environment variable for one scope.
class env_override {
public:
    env_override(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~env_override() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

mode_t mode_of(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

size_t entries_in(const std::string& folder) {
    size_t n = 0;
    for (fs::directory_iterator it(folder), end; it != end; ++it) ++n;
    return n;
}

TEST(DataFolder, ChosenFromTheEnvironmentAndCreated) {
    temp_folder tmp;
    {
        env_override local("LOCALAPPDATA", (tmp / "local/deep/").c_str());
        EXPECT_EQ(data_folder(), tmp / "local/deep");
        EXPECT_TRUE(fs::is_directory(tmp / "local/deep"));
        EXPECT_EQ(data_file_path("temp-view.png"), tmp / "local/deep/temp-view.png");
    }
    {
        env_override local("LOCALAPPDATA", nullptr);
        env_override xdg("XDG_DATA_HOME", (tmp / "xdg").c_str());
        EXPECT_EQ(data_folder(), tmp / "xdg/velto");
        EXPECT_TRUE(fs::is_directory(tmp / "xdg/velto"));
    }
    {
        env_override local("LOCALAPPDATA", "");
        env_override xdg("XDG_DATA_HOME", nullptr);
        env_override home("HOME", tmp.path.c_str());
        EXPECT_EQ(data_folder(), tmp / ".local/share/velto");
        EXPECT_TRUE(fs::is_directory(tmp / ".local/share/velto"));
    }
}

TEST(FileWritable, ReadOnlyFileIsNotWritableEvenForRoot) {
    temp_folder tmp;
    const std::string f = tmp / "a.jpg";
    write_file(f, "data");
    ::chmod(f.c_str(), 0644);
    EXPECT_TRUE(path_writable(f));
    ::chmod(f.c_str(), 0444);
    EXPECT_FALSE(path_writable(f));
    ::chmod(f.c_str(), 0);
    EXPECT_FALSE(path_writable(f));
    ::chmod(f.c_str(), 0200);
    EXPECT_TRUE(path_writable(f));
    EXPECT_FALSE(path_writable(tmp / "missing.jpg"));
}

TEST(FileInfo, SizeKindAndTimes) {
    temp_folder tmp;
    const std::string f = tmp / "a.png";
    write_file(f, std::string(1234, 'x'));
    file_info info;
    ASSERT_TRUE(read_file_info(f, info));
    EXPECT_EQ(info.size, 1234u);
    EXPECT_TRUE(info.regular);
    EXPECT_FALSE(info.directory);
    ASSERT_TRUE(read_file_info(tmp.path, info));
    EXPECT_TRUE(info.directory);
    EXPECT_FALSE(read_file_info(tmp / "missing", info));

    const int64_t old_time = 1000000000LL * 1000000000LL + 123456789;  // 2001, with nanoseconds
    ASSERT_TRUE(set_file_mtime(f, old_time));
    ASSERT_TRUE(read_file_info(f, info));
    EXPECT_EQ(info.mtime_ns, old_time);
    EXPECT_FALSE(set_file_mtime(tmp / "missing", old_time));
}

TEST(TempFile, CreatedUniqueInTheGivenFolder) {
    temp_folder tmp;
    const std::string a = create_temp_file(tmp.path);
    const std::string b = create_temp_file(tmp.path + "/");
    ASSERT_FALSE(a.empty());
    ASSERT_FALSE(b.empty());
    EXPECT_NE(a, b);
    EXPECT_EQ(fs::path(a).parent_path().string(), tmp.path);
    EXPECT_TRUE(fs::is_regular_file(a));
    EXPECT_EQ(fs::file_size(a), 0u);
    EXPECT_EQ(create_temp_file(tmp / "no/such/folder"), "");
}

TEST(SafeReplace, NewContentKeepsPermissionsAndLeavesNoTempFile) {
    temp_folder tmp;
    const std::string f = tmp / "image.png";
    write_file(f, std::string(500, 'a'));
    ::chmod(f.c_str(), 0640);
    const std::string shorter(120, 'b');
    ASSERT_TRUE(replace_file_contents(f, shorter.data(), shorter.size()));
    EXPECT_EQ(read_file(f), shorter);
    EXPECT_EQ(mode_of(f), 0640u);
    EXPECT_EQ(entries_in(tmp.path), 1u);
}

TEST(SafeReplace, LinkKeepsPointingAtTheReplacedTarget) {
    temp_folder tmp;
    const std::string target = tmp / "real.png";
    const std::string link = tmp / "link.png";
    write_file(target, "old contents");
    fs::create_symlink(target, link);
    ASSERT_TRUE(replace_file_contents(link, "new", 3));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(read_file(target), "new");
}

TEST(SafeReplace, FailedWriteLeavesTheInputIntact) {
    temp_folder tmp;
    const std::string f = tmp / "image.png";
    const std::string original(3000, 'o');
    write_file(f, original);
    const std::string bigger(200000, 'n');

    // A file-size limit makes the write of the temporary file fail part-way.
    struct sigaction ignore {}, old_action {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, &old_action);
    struct rlimit old_limit;
    ::getrlimit(RLIMIT_FSIZE, &old_limit);
    struct rlimit limit = old_limit;
    limit.rlim_cur = 65536;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    const bool replaced = replace_file_contents(f, bigger.data(), bigger.size());
    ::setrlimit(RLIMIT_FSIZE, &old_limit);
    ::sigaction(SIGXFSZ, &old_action, nullptr);

    EXPECT_FALSE(replaced);
    EXPECT_EQ(read_file(f), original);
    EXPECT_EQ(entries_in(tmp.path), 1u);
}

TEST(SafeReplace, MissingInputFails) {
    temp_folder tmp;
    EXPECT_FALSE(replace_file_contents(tmp / "missing.png", "x", 1));
    EXPECT_FALSE(replace_file_contents(tmp.path, "x", 1));  // a folder is not replaced
    EXPECT_EQ(entries_in(tmp.path), 0u);
}

const int64_t old_time = 978307200LL * 1000000000LL;  // 2001-01-01

std::vector<std::string> names_in(const std::string& folder) {
    std::vector<std::string> names;
    for (fs::directory_iterator it(folder), end; it != end; ++it) names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// What happens to the input between the read and the replace.
enum class change {
    rewrite_same_size,
    rewrite_same_size_time_put_back,
    rewrite_other_size,
    rename_over,
    symlink_to_victim,
    removed
};

void apply_change(change c, const std::string& input, const temp_folder& tmp) {
    switch (c) {
    case change::rewrite_same_size: write_file(input, std::string(500, 'n')); break;
    case change::rewrite_same_size_time_put_back: {
        // As `dd conv=notrunc` followed by `touch -r`: size and times as before.
        struct stat before {};
        ASSERT_EQ(::stat(input.c_str(), &before), 0);
        write_file(input, std::string(500, 'n'));
        const struct timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(::utimensat(AT_FDCWD, input.c_str(), times, 0), 0);
        break;
    }
    case change::rewrite_other_size: write_file(input, "newer"); break;
    case change::rename_over:
        write_file(tmp / "saved", "newer");
        ASSERT_EQ(::rename((tmp / "saved").c_str(), input.c_str()), 0);
        break;
    case change::symlink_to_victim:
        ASSERT_EQ(::unlink(input.c_str()), 0);
        fs::create_symlink(tmp / "victim", input);
        break;
    case change::removed: ASSERT_EQ(::unlink(input.c_str()), 0); break;
    }
}

TEST(HeldInput, ReplaceIsRefusedWhenTheInputChangedAfterItWasRead) {
    const struct {
        const char* name;
        change what;
        bool same_file_at_name;
    } cases[] = {
        {"rewritten in place, same size", change::rewrite_same_size, true},
        {"rewritten in place, same size and times", change::rewrite_same_size_time_put_back, true},
        {"rewritten in place, another size", change::rewrite_other_size, true},
        {"another file renamed over it", change::rename_over, false},
        {"a link to another file swapped in", change::symlink_to_victim, false},
        {"removed", change::removed, false},
    };
    const std::string original(500, 'o');
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        temp_folder tmp;
        fs::create_directory(tmp / "d");
        const std::string input = tmp / "d/x.png";
        write_file(input, original);
        write_file(tmp / "victim", "victim");
        // An old time, so that a rewrite shows even with coarse timestamps.
        ASSERT_TRUE(set_file_mtime(input, old_time));

        held_input held(input);
        ASSERT_TRUE(held.held());
        std::vector<uint8_t> read;
        ASSERT_TRUE(read_whole_file(input, read));
        EXPECT_EQ(std::string(read.begin(), read.end()), original);
        apply_change(c.what, input, tmp);

        EXPECT_FALSE(replace_file_contents(input, "optimised", 9));
        EXPECT_FALSE(held.replaced());
        EXPECT_EQ(read_file(tmp / "victim"), "victim");
        switch (c.what) {
        case change::rewrite_same_size:
        case change::rewrite_same_size_time_put_back: EXPECT_EQ(read_file(input), std::string(500, 'n')); break;
        case change::rewrite_other_size:
        case change::rename_over: EXPECT_EQ(read_file(input), "newer"); break;
        case change::symlink_to_victim: EXPECT_TRUE(fs::is_symlink(input)); break;
        case change::removed: EXPECT_FALSE(fs::exists(input)); break;
        }
        // No temporary file is left beside the input.
        EXPECT_EQ(names_in(tmp / "d"), c.what == change::removed ? std::vector<std::string>{}
                                                                 : std::vector<std::string>{"x.png"});
        // A file that took the name never gets the old time put on it.
        if (!c.same_file_at_name) {
            EXPECT_FALSE(held.set_mtime(old_time));
        }
    }
}

TEST(HeldInput, ReadsComeFromTheFileThatWasOpened) {
    temp_folder tmp;
    const std::string input = tmp / "x.png";
    write_file(input, "first image");
    held_input held(input);
    ASSERT_TRUE(held.held());
    write_file(tmp / "saved", "second image, longer");
    ASSERT_EQ(::rename((tmp / "saved").c_str(), input.c_str()), 0);

    std::vector<uint8_t> bytes;
    ASSERT_TRUE(read_whole_file(input, bytes));
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "first image");
    uint8_t head[5] = {};
    ASSERT_EQ(read_file_head(input, head, sizeof head), 5u);
    EXPECT_EQ(std::string(head, head + 5), "first");
    EXPECT_EQ(held.opened().size, 11u);
}

TEST(HeldInput, ReplaceWritesTheFileThatWasReadAndHoldsTheNewOne) {
    for (const bool through_link : {false, true}) {
        SCOPED_TRACE(through_link ? "named through a link" : "named directly");
        temp_folder tmp;
        const std::string target = tmp / "x.png";
        write_file(target, std::string(300, 'o'));
        ::chmod(target.c_str(), 0640);
        ASSERT_EQ(::link(target.c_str(), (tmp / "hard-link").c_str()), 0);
        ASSERT_TRUE(set_file_mtime(target, old_time));
        const std::string path = through_link ? tmp / "link.png" : target;
        if (through_link) fs::create_symlink(target, path);
        {
            held_input held(path);
            ASSERT_TRUE(held.held());
            EXPECT_EQ(held.opened().mtime_ns, old_time);
            ASSERT_TRUE(replace_file_contents(path, "smaller", 7));
            EXPECT_TRUE(held.replaced());
            EXPECT_EQ(read_file(target), "smaller");
            std::vector<uint8_t> bytes;
            ASSERT_TRUE(read_whole_file(path, bytes));
            EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "smaller");
            // A second replace in the same run checks against the new file.
            ASSERT_TRUE(replace_file_contents(path, "tiny", 4));
            file_info now;
            ASSERT_TRUE(held.status_now(now));
            EXPECT_EQ(now.size, 4u);
            ASSERT_TRUE(held.set_mtime(old_time));
        }
        EXPECT_EQ(read_file(target), "tiny");
        EXPECT_EQ(mode_of(target), 0640u);
        file_info info;
        ASSERT_TRUE(read_file_info(target, info));
        EXPECT_EQ(info.mtime_ns, old_time);
        // The replace splits a hard link: the other name keeps the old bytes.
        EXPECT_EQ(read_file(tmp / "hard-link"), std::string(300, 'o'));
        EXPECT_EQ(fs::is_symlink(path), through_link);
        EXPECT_EQ(names_in(tmp.path).size(), through_link ? 3u : 2u);

        // Once the hold has ended the path is an ordinary file again.
        write_file(target, "changed after the run");
        EXPECT_TRUE(replace_file_contents(path, "plain", 5));
        EXPECT_EQ(read_file(target), "plain");
    }
}

TEST(HeldInput, OnlyRegularFilesAreHeld) {
    temp_folder tmp;
    fs::create_directory(tmp / "folder.png");
    fs::create_directory_symlink(tmp / "folder.png", tmp / "folder-link.png");
    // Opening a FIFO for reading would block: it must not be opened at all.
    ASSERT_EQ(::mkfifo((tmp / "pipe.png").c_str(), 0644), 0);
    for (const char* name : {"folder.png", "folder-link.png", "pipe.png", "missing.png"}) {
        held_input held(tmp / name);
        EXPECT_FALSE(held.held()) << name;
        EXPECT_FALSE(held.writable()) << name;
    }
}

TEST(HeldInput, FileInAFolderThatCanBeWrittenButNotListed) {
    temp_folder tmp;
    ::chmod(tmp.path.c_str(), 0755);
    fs::create_directory(tmp / "d");
    const std::string f = tmp / "d/x.png";
    write_file(f, std::string(300, 'o'));
    ::chmod(f.c_str(), 0666);
    ::chmod((tmp / "d").c_str(), 0333);
    // Root lists every folder, so the replace runs in a child without privileges.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(100);
        held_input held(f);
        ::_exit(held.held() && held.writable() && replace_file_contents(f, "new", 3) ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(read_file(f), "new");
}

TEST(HeldInput, WritableNeedsAWritableFileInAWritableFolder) {
    // Root passes every access() check, so the permission bits decide for it
    // as they do for everyone else.
    const struct { mode_t file, folder; bool writable; } cases[] = {
        {0644, 0755, true},
        {0444, 0755, false},
        {0644, 0555, false},
        {0644, 0333, true},  // writable but not listable: opened as a bare handle
    };
    for (const auto& c : cases) {
        char modes[32];
        std::snprintf(modes, sizeof modes, "file %04o, folder %04o", unsigned(c.file), unsigned(c.folder));
        SCOPED_TRACE(modes);
        temp_folder tmp;
        fs::create_directory(tmp / "d");
        const std::string f = tmp / "d/x.png";
        write_file(f, "image");
        ::chmod(f.c_str(), c.file);
        ::chmod((tmp / "d").c_str(), c.folder);
        held_input held(f);
        ASSERT_TRUE(held.held());
        EXPECT_EQ(held.writable(), c.writable);
    }
}

// A POSIX access ACL as the kernel stores it in system.posix_acl_access:
// owner rw, user 4242 rw, group r, mask rw, others none.
std::string access_acl() {
    constexpr uint32_t none = uint32_t(ACL_UNDEFINED_ID);
    const struct { uint16_t tag, perm; uint32_t id; } entries[] = {
        {ACL_USER_OBJ, ACL_READ | ACL_WRITE, none},
        {ACL_USER, ACL_READ | ACL_WRITE, 4242},
        {ACL_GROUP_OBJ, ACL_READ, none},
        {ACL_MASK, ACL_READ | ACL_WRITE, none},
        {ACL_OTHER, 0, none},
    };
    std::string value;
    const uint32_t version = POSIX_ACL_XATTR_VERSION;
    value.append(reinterpret_cast<const char*>(&version), 4);  // little-endian, as the machine
    for (const auto& e : entries) {
        posix_acl_xattr_entry raw{e.tag, e.perm, e.id};
        value.append(reinterpret_cast<const char*>(&raw), sizeof raw);
    }
    return value;
}

std::string xattr_of(const std::string& path, const char* name) {
    char buffer[1024];
    const ssize_t n = ::getxattr(path.c_str(), name, buffer, sizeof buffer);
    return n < 0 ? std::string("<none>") : std::string(buffer, size_t(n));
}

TEST(SafeReplace, ExtendedAttributesAndAclsAreKept) {
    temp_folder tmp;
    const std::string f = tmp / "x.png";
    write_file(f, std::string(300, 'o'));
    if (::setxattr(f.c_str(), "user.velto.note", "kept", 4, 0) != 0)
        GTEST_SKIP() << "this file system takes no user attributes: " << std::strerror(errno);
    const std::string acl = access_acl();
    const bool has_acl = ::setxattr(f.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) == 0;
    const mode_t mode = mode_of(f);

    for (const bool held : {true, false}) {
        SCOPED_TRACE(held ? "held input" : "other file");
        std::optional<held_input> hold;
        if (held) hold.emplace(f);
        ASSERT_TRUE(replace_file_contents(f, held ? "new" : "newer", held ? 3 : 5));
        hold.reset();
        EXPECT_EQ(xattr_of(f, "user.velto.note"), "kept");
        if (has_acl) {
            EXPECT_EQ(xattr_of(f, "system.posix_acl_access"), acl);
        }
        EXPECT_EQ(mode_of(f), mode);
    }
    if (!has_acl) GTEST_SKIP() << "this file system takes no ACLs; user attributes were checked";
}

TEST(SafeReplace, OwnerAndGroupAreKeptWhenRootRewritesAnotherUsersFile) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root can give a file to another user";
    temp_folder tmp;
    const std::string f = tmp / "x.png";
    write_file(f, std::string(300, 'o'));
    ASSERT_EQ(::chown(f.c_str(), 4242, 4343), 0);
    ::chmod(f.c_str(), 02755);  // a set-id bit, which a change of owner clears
    held_input held(f);
    ASSERT_TRUE(replace_file_contents(f, "new", 3));
    struct stat st;
    ASSERT_EQ(::stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 4242u);
    EXPECT_EQ(st.st_gid, 4343u);
    EXPECT_EQ(st.st_mode & 07777, 02755u);
}

TEST(TempFile, EveryTemporaryLeavesTheTableOfLiveFiles) {
    // The table of live temporaries is fixed; a file that stayed in it after
    // its removal or rename would use it up within a few hundred files.
    // Memory-backed when possible: every replace flushes to disk.
    temp_folder tmp(in_memory);
    const std::string f = tmp / "x.png";
    write_file(f, "x");
    for (int i = 0; i < 300; ++i) {
        const std::string t = create_temp_file(tmp.path);
        ASSERT_FALSE(t.empty()) << i;
        remove_temp_file(t);
        ASSERT_TRUE(replace_file_contents(f, "y", 1)) << i;
    }
    EXPECT_EQ(names_in(tmp.path), std::vector<std::string>{"x.png"});
}

int signal_pipe = -1;

// Reached when the replace writes past the file-size limit: the child tells
// the test it is in the middle of a replace and waits there to be killed.
extern "C" void announce_and_wait(int) {
    (void)::write(signal_pipe, "r", 1);
    for (;;) ::pause();
}

TEST(TempFile, RemovedWhenTheProcessIsEndedBySignal) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction current {};
        ::sigaction(sig, nullptr, &current);
        if (current.sa_handler == SIG_IGN) GTEST_SKIP() << "the test runs with signal " << sig << " ignored";
    }
    const std::string original(3000, 'o');
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        for (const bool in_replace : {false, true}) {
            SCOPED_TRACE(std::string(strsignal(sig)) + (in_replace ? ", during a replace" : ", temporary file"));
            temp_folder tmp;
            const std::string f = tmp / "x.png";
            write_file(f, original);
            int fds[2];
            ASSERT_EQ(::pipe(fds), 0);
            const pid_t child = ::fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                ::close(fds[0]);
                signal_pipe = fds[1];
                if (!in_replace) {
                    if (create_temp_file(tmp.path).empty()) ::_exit(3);
                    announce_and_wait(0);
                }
                struct sigaction on_limit {};
                on_limit.sa_handler = announce_and_wait;
                ::sigaction(SIGXFSZ, &on_limit, nullptr);
                struct rlimit limit {65536, 65536};
                ::setrlimit(RLIMIT_FSIZE, &limit);
                const std::string bigger(200000, 'n');
                held_input held(f);
                (void)replace_file_contents(f, bigger.data(), bigger.size());
                ::_exit(4);
            }
            ::close(fds[1]);
            pollfd ready{fds[0], POLLIN, 0};
            char c = 0;
            const bool announced = ::poll(&ready, 1, 10000) > 0 && ::read(fds[0], &c, 1) == 1;
            ::close(fds[0]);
            ::kill(child, announced ? sig : SIGKILL);
            int status = 0;
            ::waitpid(child, &status, 0);
            ASSERT_TRUE(announced);
            ASSERT_TRUE(WIFSIGNALED(status));
            EXPECT_EQ(WTERMSIG(status), sig);
            EXPECT_EQ(names_in(tmp.path), std::vector<std::string>{"x.png"});
            EXPECT_EQ(read_file(f), original);
        }
    }
}

// Whole-file writes of files that may not exist yet (the front end's
// settings and report): a new file gets 0666 less the umask, an existing one
// keeps its mode, and a failure leaves no temporary behind.
TEST(WriteWholeFile, NewFileAndReplacedFileKeepTheirModes) {
    const mode_t saved_mask = ::umask(022);
    temp_folder tmp;
    const std::string path = tmp / "a.txt";
    ASSERT_TRUE(write_whole_file(path, "new", 3));
    EXPECT_EQ(read_file(path), "new");
    EXPECT_EQ(mode_of(path), 0644u);
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    ASSERT_TRUE(write_whole_file(path, "second", 6));
    EXPECT_EQ(read_file(path), "second");
    EXPECT_EQ(mode_of(path), 0600u);
    ::umask(saved_mask);
}

TEST(WriteWholeFile, FailureKeepsTheOldFileAndRemovesTheTemporary) {
    temp_folder tmp;
    const std::string dir = tmp / "taken";
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    write_file(dir + "/inside", "keep");
    EXPECT_FALSE(write_whole_file(dir, "x", 1));
    EXPECT_EQ(read_file(dir + "/inside"), "keep");
    EXPECT_EQ(names_in(tmp.path), std::vector<std::string>{"taken"});
}

// Others may be able to write into the data folder. A link they put in place
// of a preview, the report, the settings or a temporary file of ours is
// replaced by the written file; what it points at is never touched.
TEST(WriteWholeFile, ALinkInPlaceOfTheFileIsReplacedNotFollowed) {
    enum class writer { whole_file, temporary_file };
    const struct {
        const char* name;
        writer how;
    } writers[] = {
        {"a data-folder file", writer::whole_file},
        {"a temporary file of ours", writer::temporary_file},
    };
    const struct {
        const char* name;
        const char* target;  // inside the folder "outside"
    } links[] = {
        {"a link to a file outside", "victim.png"},
        {"a dangling link", "missing.png"},
        {"a link to a folder", "folder"},
    };
    for (const auto& w : writers)
        for (const auto& l : links) {
            SCOPED_TRACE(std::string(w.name) + ", " + l.name);
            temp_folder tmp;
            fs::create_directories(tmp / "data");
            fs::create_directories(tmp / "outside/folder");
            write_file(tmp / "outside/victim.png", "not to be written");
            write_file(tmp / "outside/folder/inside.png", "not to be written either");
            std::string path = tmp / "data/temp-view.png";
            if (w.how == writer::temporary_file) {
                path = create_temp_file(tmp / "data");
                ASSERT_FALSE(path.empty());
                ASSERT_EQ(::unlink(path.c_str()), 0);
            }
            fs::create_symlink(tmp / ("outside/" + std::string(l.target)), path);

            const bool written = w.how == writer::whole_file ? write_whole_file(path, "new", 3)
                                                             : replace_file_contents(path, "new", 3);
            EXPECT_TRUE(written);
            const bool regular = fs::is_regular_file(fs::symlink_status(path));
            EXPECT_TRUE(regular);
            if (regular) {
                EXPECT_EQ(read_file(path), "new");
            }
            EXPECT_EQ(names_in(tmp / "data"), std::vector<std::string>{fs::path(path).filename().string()});
            EXPECT_EQ(names_in(tmp / "outside"), (std::vector<std::string>{"folder", "victim.png"}));
            EXPECT_EQ(read_file(tmp / "outside/victim.png"), "not to be written");
            EXPECT_EQ(names_in(tmp / "outside/folder"), std::vector<std::string>{"inside.png"});
            EXPECT_EQ(read_file(tmp / "outside/folder/inside.png"), "not to be written either");
            if (w.how == writer::temporary_file) remove_temp_file(path);
        }
}

// The no-link read says why it read nothing, so a caller can tell a link or
// a missing file from a file it could not read.
TEST(ReadWholeEntry, ReadsARegularFileAndNeverThroughALink) {
    temp_folder tmp;
    write_file(tmp / "file.ini", "contents");
    fs::create_directory(tmp / "folder");
    fs::create_symlink(tmp / "file.ini", tmp / "link.ini");
    const struct {
        const char* name;
        bool read;
        int error;
    } cases[] = {
        {"file.ini", true, 0},
        {"link.ini", false, ELOOP},
        {"missing.ini", false, ENOENT},
        {"folder", false, EINVAL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> bytes{1, 2, 3};
        errno = 0;
        EXPECT_EQ(read_whole_entry(tmp / c.name, bytes), c.read);
        if (c.read) {
            EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "contents");
        } else {
            EXPECT_EQ(errno, c.error);
            EXPECT_TRUE(bytes.empty());
        }
    }
}

// An append-only or immutable folder refuses renames and removals in it, and
// such a file refuses to be renamed over, even to root: a file there is not
// writable, and no replace writes a temporary there that could stay behind.
TEST(AppendOnlyOrImmutable, NothingIsWrittenAndNoTemporaryStays) {
    for (const attribute_case& c : attribute_cases) {
        SCOPED_TRACE(c.name);
        temp_folder tmp;
        attribute_guard attributes;
        const std::string folder = tmp / "d";
        const std::string x = folder + "/x.png";
        fs::create_directory(folder);
        write_file(x, "old contents");
        const std::string why_not = attributes.add(c.on_folder ? folder : x, c.flag);
        if (!why_not.empty()) GTEST_SKIP() << why_not;

        {
            held_input held(x);
            ASSERT_TRUE(held.held());
            EXPECT_FALSE(held.writable());
            EXPECT_FALSE(replace_file_contents(x, "new", 3));
        }
        EXPECT_FALSE(write_whole_file(x, "new", 3));  // as a data-folder file
        if (c.on_folder) {
            EXPECT_FALSE(write_whole_file(folder + "/new.png", "new", 3));
            EXPECT_EQ(create_temp_file(folder), "");
        }
        EXPECT_EQ(read_file(x), "old contents");
        EXPECT_EQ(names_in(folder), std::vector<std::string>{"x.png"});
    }
}

// A folder made append-only after a temporary file was made in it refuses
// its removal, whether the road removes it or the engine ends on a fatal
// error (as on a signal): the file stays, but empty.
TEST(TempFile, EmptiedWhenItsFolderRefusesTheRemoval) {
    for (const bool engine_ends : {false, true}) {
        SCOPED_TRACE(engine_ends ? "the engine ends" : "the road removes it");
        temp_folder tmp;
        attribute_guard attributes;
        const std::string why_not = attributes.add(tmp.path, FS_APPEND_FL);
        if (!why_not.empty()) GTEST_SKIP() << why_not;
        ASSERT_EQ(change_attributes(tmp.path, FS_APPEND_FL, false), "");
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const std::string path = create_temp_file(tmp.path);
            if (path.empty()) ::_exit(3);
            write_file(path, "a copy of an image");
            if (!change_attributes(tmp.path, FS_APPEND_FL, true).empty()) ::_exit(4);
            if (engine_ends) fatal_exit();
            remove_temp_file(path);
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), engine_ends ? 1 : 0);
        const std::vector<std::string> names = names_in(tmp.path);
        ASSERT_EQ(names.size(), 1u);
        EXPECT_EQ(names[0].rfind("velto-", 0), 0u);
        EXPECT_EQ(fs::file_size(tmp / names[0]), 0u);
    }
}

TEST(TempFile, RemovedWhenAnAllocationFailureEndsTheEngine) {
    temp_folder tmp;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (create_temp_file(tmp.path).empty()) ::_exit(3);
        fatal_exit();
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_TRUE(names_in(tmp.path).empty());
}

std::string read_available(int fd) {
    std::string got;
    char buf[256];
    pollfd ready{fd, POLLIN, 0};
    while (::poll(&ready, 1, 200) > 0) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

TEST(ConsoleTitle, WrittenOnlyToATerminal) {
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    set_console_title_on(pipe_fds[1], "(0%) - krast");
    ::close(pipe_fds[1]);
    EXPECT_EQ(read_available(pipe_fds[0]), "");
    ::close(pipe_fds[0]);

    int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) GTEST_SKIP() << "no pseudo-terminal";
    int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    set_console_title_on(terminal, "(0%) - krast");
    EXPECT_EQ(read_available(master), "\033]0;(0%) - krast\007");
    ::close(terminal);
    ::close(master);
}

TEST(Priority, BackgroundModeLowersCpuAndIoPriority) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        enter_background_priority();
        errno = 0;
        int nice_value = ::getpriority(PRIO_PROCESS, 0);
        long io = ::syscall(SYS_ioprio_get, 1, 0);
        bool io_ok = io < 0 || (io >> 13) == 3;  // idle class where the kernel tells
        ::_exit(nice_value == 19 && io_ok ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
