// Preloaded into the engine by replace_e2e_test: changes the input file at the
// moment the engine starts writing its replacement, which is after the input
// was read and before it is replaced, so the tests see that moment without
// depending on timing. Configured by the environment:
//   VELTO_SWAP        "rename" (rename SOURCE over TARGET), "rewrite" (write
//                     SOURCE's bytes into TARGET in place), "rewrite-keep-times"
//                     (the same, then TARGET's access and modification times
//                     put back, as `touch -r` would), "symlink" (replace
//                     TARGET by a link to SOURCE), "append-only-folder"
//                     (give TARGET's folder the append-only attribute; root)
//                     or "no-space" (that file is not created: the disk is
//                     full, ENOSPC)
//   VELTO_SWAP_TARGET the engine's input file
//   VELTO_SWAP_SOURCE the other file
//   VELTO_SWAP_AT     on which of the files the engine creates with names
//                     starting ".velto-" to act, counting from 1 (default 1)
// It acts once.
#include <atomic>

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::atomic<int> seen{0};

bool is_replace_temporary(const char* path) {
    const char* slash = strrchr(path, '/');
    return strncmp(slash ? slash + 1 : path, ".velto-", 7) == 0;
}

void copy_into(const char* from, const char* to) {
    char buffer[1 << 16];
    const int in = open(from, O_RDONLY);
    const int out = open(to, O_WRONLY | O_TRUNC);
    ssize_t n = 0;
    while (in >= 0 && out >= 0 && (n = read(in, buffer, sizeof buffer)) > 0)
        if (write(out, buffer, size_t(n)) != n) break;
    if (in >= 0) close(in);
    if (out >= 0) close(out);
}

// The folder holding `path` gets the append-only attribute.
void make_folder_append_only(const char* path) {
    char folder[4096];
    const char* slash = strrchr(path, '/');
    const size_t length = slash ? size_t(slash - path) : 0;
    if (!slash || length == 0 || length >= sizeof folder) return;
    memcpy(folder, path, length);
    folder[length] = '\0';
    const int fd = open(folder, O_RDONLY | O_DIRECTORY);
    int flags = 0;
    if (fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
        flags |= FS_APPEND_FL;
        (void)ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    if (fd >= 0) close(fd);
}

// Acts on the chosen temporary; false when its creation is to fail.
bool change_input(const char* created) {
    if (!is_replace_temporary(created)) return true;
    const char* at = getenv("VELTO_SWAP_AT");
    if (++seen != (at ? atoi(at) : 1)) return true;
    const char* mode = getenv("VELTO_SWAP");
    const char* target = getenv("VELTO_SWAP_TARGET");
    const char* source = getenv("VELTO_SWAP_SOURCE");
    if (!mode || !target || !source) return true;
    if (strcmp(mode, "no-space") == 0) return false;
    if (strcmp(mode, "rename") == 0) {
        (void)rename(source, target);
    } else if (strcmp(mode, "rewrite") == 0) {
        copy_into(source, target);
    } else if (strcmp(mode, "rewrite-keep-times") == 0) {
        struct stat before;
        if (stat(target, &before) != 0) return true;
        copy_into(source, target);
        const struct timespec times[2] = {before.st_atim, before.st_mtim};
        (void)utimensat(AT_FDCWD, target, times, 0);
    } else if (strcmp(mode, "symlink") == 0) {
        (void)unlink(target);
        (void)symlink(source, target);
    } else if (strcmp(mode, "append-only-folder") == 0) {
        make_folder_append_only(target);
    }
    return true;
}

using openat_fn = int (*)(int, const char*, int, ...);
openat_fn real_openat = nullptr;

}  // namespace

extern "C" int openat(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? static_cast<mode_t>(va_arg(args, int)) : 0;
    va_end(args);
    if ((flags & O_CREAT) && !change_input(path)) {
        errno = ENOSPC;
        return -1;
    }
    if (!real_openat) real_openat = reinterpret_cast<openat_fn>(dlsym(RTLD_NEXT, "openat"));
    return real_openat(dirfd, path, flags, mode);
}

// The same function under its large-file name (one and the same on 64-bit).
extern "C" int openat64(int dirfd, const char* path, int flags, ...) __attribute__((alias("openat")));
