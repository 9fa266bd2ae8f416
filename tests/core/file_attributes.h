// The append-only and immutable attributes for tests: set on a file or folder
// (root, on a file system that has them, such as ext4) and cleared again at
// the end of the test, so that the test's folder can be removed.
#pragma once
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

// Adds (`set`) or removes `flags` on `path`. Returns "" on success, else why
// the attributes could not be changed.
inline std::string change_attributes(const std::string& path, int flags, bool set) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return "cannot open " + path + ": " + std::strerror(errno);
    int now = 0;
    std::string why;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &now) != 0) {
        why = std::string("this file system has no file attributes: ") + std::strerror(errno);
    } else {
        now = set ? (now | flags) : (now & ~flags);
        if (::ioctl(fd, FS_IOC_SETFLAGS, &now) != 0)
            why = std::string("the attribute cannot be set (root is needed): ") + std::strerror(errno);
    }
    ::close(fd);
    return why;
}

// The four places an attribute keeps a file from being replaced: on its
// folder or on the file itself, append-only or immutable.
struct attribute_case {
    const char* name;
    bool on_folder;
    int flag;
};
inline const attribute_case attribute_cases[] = {
    {"append-only folder", true, FS_APPEND_FL},
    {"immutable folder", true, FS_IMMUTABLE_FL},
    {"append-only file", false, FS_APPEND_FL},
    {"immutable file", false, FS_IMMUTABLE_FL},
};

// Clears, when it goes out of scope, every attribute set through it or
// expected to be set by another process. Declared after the test's
// temp_folder, so that it runs first.
class attribute_guard {
public:
    ~attribute_guard() {
        for (const auto& [path, flags] : changed_) (void)change_attributes(path, flags, false);
    }
    // Sets `flags` on `path`; "" on success, else the reason to skip the test.
    std::string add(const std::string& path, int flags) {
        expect(path, flags);
        return change_attributes(path, flags, true);
    }
    // `flags` may be set on `path` by someone else (the engine's preloaded shim).
    void expect(const std::string& path, int flags) { changed_.emplace_back(path, flags); }

private:
    std::vector<std::pair<std::string, int>> changed_;
};
