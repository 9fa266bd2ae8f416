// POSIX implementation of the platform layer (Linux).
#include "platform.h"

#include <boost/filesystem.hpp>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
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

std::string parent_folder(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Writes all bytes, retrying short writes and interrupted calls.
bool write_all(int fd, const unsigned char* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (w == 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Linux I/O priority interface (no glibc wrapper).
constexpr int ioprio_who_process = 1;
constexpr int ioprio_class_idle = 3;
constexpr int ioprio_class_shift = 13;

}  // namespace

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
    (void)write_all(fd, reinterpret_cast<const unsigned char*>(seq.data()), seq.size());
}

void set_console_title(const std::string& title) { set_console_title_on(STDOUT_FILENO, title); }

bool read_file_info(const std::string& path, file_info& info) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    info.size = static_cast<uint64_t>(st.st_size);
    info.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    info.device = static_cast<uint64_t>(st.st_dev);
    info.inode = static_cast<uint64_t>(st.st_ino);
    info.regular = S_ISREG(st.st_mode);
    info.directory = S_ISDIR(st.st_mode);
    return true;
}

bool path_writable(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    // access() says yes to root even for a file marked read-only.
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return false;
    return ::access(path.c_str(), W_OK) == 0;
}

bool set_file_mtime(const std::string& path, int64_t mtime_ns) {
    struct timespec times[2];
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
    return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

std::string create_temp_file(const std::string& folder) {
    std::string name = without_trailing_slash(folder);
    name += (name == "/" ? "" : "/");
    name += "velto-XXXXXX";
    int fd = ::mkstemp(name.data());
    if (fd < 0) return "";
    ::close(fd);
    return name;
}

void remove_temp_file(const std::string& path) {
    if (!path.empty()) ::unlink(path.c_str());
}

bool read_whole_file(const std::string& path, std::vector<uint8_t>& bytes) {
    bytes.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (ok) {
        try {
            bytes.resize(static_cast<size_t>(st.st_size));
        } catch (const std::exception&) {
            ok = false;
        }
    }
    size_t done = 0;
    while (ok && done < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ok = false;
        else done += static_cast<size_t>(n);
    }
    ::close(fd);
    if (!ok) bytes.clear();
    return ok;
}

bool replace_file_contents(const std::string& path, const void* data, size_t size) {
    // Replace the target of a link, not the link itself.
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved) return false;
    std::string target(resolved);
    std::free(resolved);

    struct stat original;
    if (::stat(target.c_str(), &original) != 0 || !S_ISREG(original.st_mode)) return false;

    std::string temp = parent_folder(target);
    temp += (temp == "/" ? "" : "/");
    temp += ".velto-XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0) return false;

    bool ok = write_all(fd, static_cast<const unsigned char*>(data), size);
    // Keep the owner where allowed (it only matters when root rewrites another
    // user's file), then the permission bits; fchown may clear set-id bits, so
    // the mode comes second.
    if (ok && (original.st_uid != geteuid() || original.st_gid != getegid()))
        (void)::fchown(fd, original.st_uid, original.st_gid);
    ok = ok && ::fchmod(fd, original.st_mode & 07777) == 0;
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) ::unlink(temp.c_str());
    return ok;
}
