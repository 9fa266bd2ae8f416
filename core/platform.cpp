// POSIX implementation of the platform layer (Linux): data folder, priority,
// title, file status and times. Temporary files are in platform_temp.cpp, the
// held input, reading and safe replacing in platform_input.cpp.
#include "platform.h"

#include "core/platform_internal.h"

#include <boost/filesystem.hpp>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <linux/fs.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

std::string env_value(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

std::string home_folder() {
    std::string home = env_value("HOME");
    if (!home.empty()) return home;
    if (const passwd* pw = getpwuid(getuid())) return pw->pw_dir ? pw->pw_dir : "";
    return "";
}

std::string without_trailing_slash(std::string s) {
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

// Linux I/O priority interface (no glibc wrapper).
constexpr int ioprio_who_process = 1;
constexpr int ioprio_class_idle = 3;
constexpr int ioprio_class_shift = 13;

}  // namespace

bool has_write_bit(mode_t mode) { return (mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0; }

bool append_only_or_immutable(int fd) {
    // The kernel stores an int, whatever the request's declared type says.
    int flags = 0;
    // ENOTTY, ENOTSUP or EINVAL: a file system without the attributes. EBADF:
    // a bare handle (a folder that may be written but not listed), which
    // cannot be asked; only root can set the attributes, so such a folder is
    // rarely append-only, and turning away every file in it would refuse
    // files that can be rewritten. It counts as without them: a replace there
    // that meets the attribute fails as one whose folder got it after the
    // check, its temporary removed or, where the folder refuses that, emptied.
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) return false;
    return (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0;
}

bool write_all(int fd, const void* data, size_t size) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t w = ::write(fd, p, size);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (w == 0) return false;
        p += w;
        size -= static_cast<size_t>(w);
    }
    return true;
}

std::string data_folder() {
    std::string folder = env_value("LOCALAPPDATA");
    if (folder.empty()) {
        std::string xdg = env_value("XDG_DATA_HOME");
        if (xdg.empty()) xdg = home_folder() + "/.local/share";
        folder = without_trailing_slash(xdg) + "/velto";
    }
    folder = without_trailing_slash(folder);
    boost::system::error_code ec;
    boost::filesystem::create_directories(folder, ec);
    return folder;
}

std::string data_file_path(const std::string& name) {
    std::string folder = data_folder();
    return folder == "/" ? folder + name : folder + "/" + name;
}

void enter_background_priority() {
    if (setpriority(PRIO_PROCESS, 0, 19) != 0) (void)setpriority(PRIO_PROCESS, 0, 10);
    (void)syscall(SYS_ioprio_set, ioprio_who_process, 0, ioprio_class_idle << ioprio_class_shift);
}

void set_console_title_on(int fd, const std::string& title) {
    if (!isatty(fd)) return;
    std::string seq = "\033]0;" + title + "\007";
    (void)write_all(fd, seq.data(), seq.size());
}

void set_console_title(const std::string& title) { set_console_title_on(STDOUT_FILENO, title); }

namespace {

void fill_file_info(const struct stat& st, file_info& info) {
    info.size = static_cast<uint64_t>(st.st_size);
    info.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    info.device = static_cast<uint64_t>(st.st_dev);
    info.inode = static_cast<uint64_t>(st.st_ino);
    info.regular = S_ISREG(st.st_mode);
    info.directory = S_ISDIR(st.st_mode);
    info.link = S_ISLNK(st.st_mode);
}

}  // namespace

bool read_file_info(const std::string& path, file_info& info) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    fill_file_info(st, info);
    return true;
}

bool read_entry_info(const std::string& path, file_info& info) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return false;
    fill_file_info(st, info);
    return true;
}

bool path_writable(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    if (!has_write_bit(st.st_mode)) return false;
    return ::access(path.c_str(), W_OK) == 0;
}

void times_now_and_modified(int64_t mtime_ns, struct timespec times[2]) {
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_NOW;
    int64_t sec = mtime_ns / 1000000000;
    int64_t nsec = mtime_ns % 1000000000;
    if (nsec < 0) {
        nsec += 1000000000;
        sec -= 1;
    }
    times[1].tv_sec = static_cast<time_t>(sec);
    times[1].tv_nsec = static_cast<long>(nsec);
}

bool set_file_mtime(const std::string& path, int64_t mtime_ns) {
    struct timespec times[2];
    times_now_and_modified(mtime_ns, times);
    return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}
