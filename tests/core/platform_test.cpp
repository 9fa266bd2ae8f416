#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

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
