// The held input of a pipeline, whole-file reads and the safe replace.
//
// A file is resolved once and opened relative to its folder without following
// a link; both descriptors stay open while the pipeline runs. Every later read
// of the same path on that thread comes from the held descriptor, and the
// replace works inside the held folder: the new bytes go to a temporary file
// there, get the original's metadata, are flushed, and are renamed over the
// name only while that name still names the file that was read. So a file
// saved again during the run, or a link swapped in to point elsewhere, is left
// alone instead of being overwritten with the old image. The files of the data
// folder are written relative to their opened folder as well, and a link in
// place of one is replaced by the rename, never followed.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

#include "core/platform.h"
#include "core/platform_internal.h"

struct held_file {
    std::string path;  // as the pipeline names it
    int folder_fd = -1;
    std::string name;  // inside the folder
    int fd = -1;
    struct stat identity {};  // of the file as read (after a replace: the new file)
    file_info opened;
    bool replaced = false;

    held_file() = default;
    held_file(const held_file&) = delete;
    held_file& operator=(const held_file&) = delete;
    ~held_file() {
        if (fd >= 0) ::close(fd);
        if (folder_fd >= 0) ::close(folder_fd);
    }
};

namespace {

thread_local held_file* thread_held = nullptr;

held_file* held_for(const std::string& path) {
    return thread_held && thread_held->path == path ? thread_held : nullptr;
}

int64_t mtime_ns_of(const struct stat& st) {
    return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

file_info info_of(const struct stat& st) {
    file_info info;
    info.size = static_cast<uint64_t>(st.st_size);
    info.mtime_ns = mtime_ns_of(st);
    info.device = static_cast<uint64_t>(st.st_dev);
    info.inode = static_cast<uint64_t>(st.st_ino);
    info.regular = S_ISREG(st.st_mode);
    info.directory = S_ISDIR(st.st_mode);
    return info;
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

bool same_time(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Size, modification time and change time as they were. The change time
// catches a write whose modification time was put back afterwards (touch -r),
// since no program can set it back. Reading the file leaves it alone.
bool same_contents_stamp(const struct stat& a, const struct stat& b) {
    return a.st_size == b.st_size && same_time(a.st_mtim, b.st_mtim) && same_time(a.st_ctim, b.st_ctim);
}

// Opens the file `h.name` inside the folder open as `h.folder_fd` without
// following a link. The status is read before opening so that a FIFO or
// device is never opened.
bool open_in_held_folder(const std::string& path, held_file& h) {
    struct stat named {};
    if (::fstatat(h.folder_fd, h.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(named.st_mode))
        return false;
    h.fd = ::openat(h.folder_fd, h.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (h.fd < 0) return false;
    if (::fstat(h.fd, &h.identity) != 0 || !S_ISREG(h.identity.st_mode) || !same_file(named, h.identity))
        return false;
    h.opened = info_of(h.identity);
    h.path = path;
    return true;
}

// Resolves `path` (links followed), opens its folder and then the file inside
// it without following a link.
bool open_held(const std::string& path, held_file& h) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved) return false;
    const std::string target(resolved);
    std::free(resolved);
    const size_t slash = target.find_last_of('/');
    if (slash == std::string::npos || slash + 1 == target.size()) return false;
    const std::string folder = slash == 0 ? "/" : target.substr(0, slash);
    h.name = target.substr(slash + 1);

    // realpath gave a path without links; one here now was swapped in.
    h.folder_fd = open_folder(folder, O_NOFOLLOW);
    return h.folder_fd >= 0 && open_in_held_folder(path, h);
}

// Opens an entry met in the walk of the folder named by the first
// `root_length` characters of `path`: that folder as it was named (a link
// the user gave is followed), then each further name relative to the folder
// before it, never following a link. A link put in place of the entry or of
// one of its sub-folders after the walk listed them is not followed.
bool open_walked(const std::string& path, size_t root_length, held_file& h) {
    if (root_length >= path.size()) return false;
    std::vector<std::string> names;
    for (size_t at = root_length; at < path.size();) {
        size_t end = path.find('/', at);
        if (end == std::string::npos) end = path.size();
        if (end > at) names.push_back(path.substr(at, end - at));
        at = end + 1;
    }
    if (names.empty()) return false;
    int folder_fd = open_folder(path.substr(0, root_length), 0);
    for (size_t i = 0; i + 1 < names.size() && folder_fd >= 0; ++i) {
        const int inner = open_folder_at(folder_fd, names[i], O_NOFOLLOW);
        ::close(folder_fd);
        folder_fd = inner;
    }
    if (folder_fd < 0) return false;
    h.folder_fd = folder_fd;
    h.name = names.back();
    return open_in_held_folder(path, h);
}

// The name in the held folder still names the file that was read, and that
// file has not been written since.
bool still_the_held_file(const held_file& h) {
    struct stat named {}, now {};
    return ::fstatat(h.folder_fd, h.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(named.st_mode) &&
           same_file(named, h.identity) && same_contents_stamp(named, h.identity) && ::fstat(h.fd, &now) == 0 &&
           same_contents_stamp(now, h.identity);
}

// The name in the held folder still names the held file (whatever was
// written to it since).
bool name_still_names_held_file(const held_file& h) {
    struct stat named {};
    return ::fstatat(h.folder_fd, h.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && same_file(named, h.identity);
}

// Reads exactly `size` bytes from the start of `fd`.
bool read_exactly(int fd, size_t size, std::vector<uint8_t>& bytes) {
    try {
        bytes.resize(size);
    } catch (const std::exception&) {
        return false;
    }
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, bytes.data() + done, size - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads the whole regular file at `path`, opened with `extra_flags` added.
// On failure errno says why: the open's error, EINVAL for an entry that is no
// regular file, EIO for a read that fell short.
bool read_named_file(const std::string& path, int extra_flags, std::vector<uint8_t>& bytes) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | extra_flags);
    if (fd < 0) return false;
    struct stat st {};
    int error = 0;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        error = EINVAL;
    else if (!read_exactly(fd, static_cast<size_t>(st.st_size), bytes))
        error = EIO;
    ::close(fd);
    errno = error;
    return error == 0;
}

bool is_copied_attribute(const char* name) {
    return std::strncmp(name, "user.", 5) == 0 || std::strncmp(name, "system.posix_acl_", 17) == 0;
}

bool unsupported(int error) { return error == ENOTSUP || error == EOPNOTSUPP; }

// Copies the user attributes and ACLs of `from` to `to`. A file system
// without extended attributes is no failure; any other error is.
bool copy_extended_attributes(int from, int to) {
    std::vector<char> names;
    for (;;) {
        const ssize_t needed = ::flistxattr(from, nullptr, 0);
        if (needed < 0) return unsupported(errno);
        if (needed == 0) return true;
        names.resize(static_cast<size_t>(needed));
        const ssize_t got = ::flistxattr(from, names.data(), names.size());
        if (got >= 0) {
            names.resize(static_cast<size_t>(got));
            break;
        }
        if (errno != ERANGE) return unsupported(errno);  // ERANGE: the list grew meanwhile
    }
    std::vector<char> value;
    for (size_t at = 0; at < names.size(); at += std::strlen(names.data() + at) + 1) {
        const char* name = names.data() + at;
        if (!is_copied_attribute(name)) continue;
        ssize_t got = -1;
        do {
            const ssize_t needed = ::fgetxattr(from, name, nullptr, 0);
            if (needed < 0) break;
            value.resize(static_cast<size_t>(needed));
            got = ::fgetxattr(from, name, value.data(), value.size());
        } while (got < 0 && errno == ERANGE);
        if (got < 0) {
            if (errno == ENODATA) continue;  // removed meanwhile
            return false;
        }
        if (::fsetxattr(to, name, value.data(), static_cast<size_t>(got), 0) != 0 && !unsupported(errno))
            return false;
    }
    return true;
}

// Gives `fd` the owner and group of `original` where the system allows it:
// both as root, the group alone for an owner who is a member of it.
void keep_owner(int fd, const struct stat& original) {
    struct stat now {};
    if (::fstat(fd, &now) != 0 || (now.st_uid == original.st_uid && now.st_gid == original.st_gid)) return;
    if (::fchown(fd, original.st_uid, original.st_gid) != 0) (void)::fchown(fd, static_cast<uid_t>(-1), original.st_gid);
}

// Removes a temporary file that did not take its name. A folder that became
// append-only after the check refuses this as it refused the rename; the
// temporary then stays, emptied, so that no copy of the image is left in it.
void discard_temp(int folder_fd, const std::string& temp_name, int fd, int slot) {
    if (::unlinkat(folder_fd, temp_name.c_str(), 0) != 0) (void)::ftruncate(fd, 0);
    forget_live_temp(slot);
}

// Writes `data` to a new temporary file in the held folder, puts the
// original's metadata on it and renames it over the held name; with
// `check_identity`, only while the name still names the file that was read.
// On success the new file becomes the held one.
bool replace_held(held_file& h, const void* data, size_t size, bool check_identity) {
    if (append_only_or_immutable(h.folder_fd) || append_only_or_immutable(h.fd)) return false;
    std::string temp_name;
    int slot = -1;
    const int fd = create_live_temp(h.folder_fd, ".velto-", 0600, "", temp_name, slot);
    if (fd < 0) return false;
    // fchown may clear set-id bits, so the mode comes after the owner.
    bool ok = write_all(fd, data, size) && copy_extended_attributes(h.fd, fd);
    if (ok) keep_owner(fd, h.identity);
    ok = ok && ::fchmod(fd, h.identity.st_mode & 07777) == 0 && ::fsync(fd) == 0;
    ok = ok && (!check_identity || still_the_held_file(h));
    ok = ok && ::renameat(h.folder_fd, temp_name.c_str(), h.folder_fd, h.name.c_str()) == 0;
    if (!ok) {
        discard_temp(h.folder_fd, temp_name, fd, slot);
        ::close(fd);
        return false;
    }
    forget_live_temp(slot);
    // Without this a power cut could leave the folder naming neither file.
    (void)::fsync(h.folder_fd);
    struct stat written {};
    if (::fstat(fd, &written) != 0) written = h.identity;  // cannot fail on an open descriptor
    ::close(h.fd);
    h.fd = fd;
    h.identity = written;
    h.replaced = true;
    return true;
}

// Writes a new file named `name` in the folder open as `folder_fd`: a
// temporary file there is renamed over the name when complete. Whatever held
// the name - nothing, a symbolic link, a FIFO - is replaced, never followed or
// opened; a folder there makes the rename fail.
bool write_new_file(int folder_fd, const std::string& name, const void* data, size_t size) {
    if (append_only_or_immutable(folder_fd)) return false;
    std::string temp_name;
    int slot = -1;
    const int fd = create_live_temp(folder_fd, ".velto-", 0666, "", temp_name, slot);
    if (fd < 0) return false;
    const bool ok = write_all(fd, data, size) && ::fsync(fd) == 0 &&
                    ::renameat(folder_fd, temp_name.c_str(), folder_fd, name.c_str()) == 0;
    if (ok) {
        forget_live_temp(slot);
        (void)::fsync(folder_fd);
    } else {
        discard_temp(folder_fd, temp_name, fd, slot);
    }
    ::close(fd);
    return ok;
}

}  // namespace

int open_folder_at(int at, const std::string& folder, int extra_flags) {
    const int fd = ::openat(at, folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | extra_flags);
    if (fd >= 0 || errno != EACCES) return fd;
    return ::openat(at, folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC | extra_flags);
}

int open_folder(const std::string& folder, int extra_flags) { return open_folder_at(AT_FDCWD, folder, extra_flags); }

held_input::held_input(const std::string& path, size_t walk_root_length)
    : file_(new held_file), previous_(thread_held) {
    if (walk_root_length > 0 ? open_walked(path, walk_root_length, *file_) : open_held(path, *file_)) {
        thread_held = file_;
    } else {
        delete file_;
        file_ = nullptr;
    }
}

held_input::~held_input() {
    if (!file_) return;
    thread_held = previous_;
    delete file_;
}

bool held_input::held() const { return file_ != nullptr; }

const file_info& held_input::opened() const {
    static const file_info none;
    return file_ ? file_->opened : none;
}

bool held_input::writable() const {
    // access() says yes to root even for a file or folder marked read-only,
    // so the permission bits are looked at too. The folder counts because the
    // replace puts a new file into it. An append-only or immutable file or
    // folder refuses the rename even to root.
    struct stat folder {};
    return file_ && has_write_bit(file_->identity.st_mode) &&
           ::faccessat(file_->folder_fd, file_->name.c_str(), W_OK, 0) == 0 &&
           ::fstat(file_->folder_fd, &folder) == 0 && has_write_bit(folder.st_mode) &&
           ::faccessat(file_->folder_fd, ".", W_OK, 0) == 0 && !append_only_or_immutable(file_->fd) &&
           !append_only_or_immutable(file_->folder_fd);
}

bool held_input::replaced() const { return file_ && file_->replaced; }

bool held_input::status_now(file_info& info) const {
    struct stat now {};
    if (!file_ || !name_still_names_held_file(*file_) || ::fstat(file_->fd, &now) != 0) return false;
    info = info_of(now);
    return true;
}

bool held_input::set_mtime(int64_t mtime_ns) {
    if (!file_ || !name_still_names_held_file(*file_)) return false;
    struct timespec times[2];
    times_now_and_modified(mtime_ns, times);
    return ::futimens(file_->fd, times) == 0;
}

bool read_whole_file(const std::string& path, std::vector<uint8_t>& bytes) {
    bytes.clear();
    const held_file* h = held_for(path);
    const bool ok = h ? read_exactly(h->fd, static_cast<size_t>(h->identity.st_size), bytes)
                      : read_named_file(path, 0, bytes);
    if (!ok) bytes.clear();
    return ok;
}

bool read_whole_entry(const std::string& path, std::vector<uint8_t>& bytes) {
    bytes.clear();
    const bool ok = read_named_file(path, O_NOFOLLOW, bytes);
    if (!ok) bytes.clear();
    return ok;
}

size_t read_file_head(const std::string& path, uint8_t* buffer, size_t size) {
    const held_file* h = held_for(path);
    const int fd = h ? h->fd : ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return 0;
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, buffer + done, size - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    if (!h) ::close(fd);
    return done;
}

bool replace_file_contents(const std::string& path, const void* data, size_t size) {
    if (held_file* h = held_for(path)) return replace_held(*h, data, size, true);
    // A temporary file of ours (the rotation pre-pass writes one in the data
    // folder) is written as the data folder's files are: a link found in its
    // place is replaced, not followed.
    if (find_live_temp(path) >= 0) return write_whole_file(path, data, size);
    // Another file: the same safe replace, without a run to compare against.
    held_file h;
    return open_held(path, h) && replace_held(h, data, size, false);
}

bool write_whole_file(const std::string& path, const void* data, size_t size) {
    if (held_file* h = held_for(path)) return replace_held(*h, data, size, true);
    // The folder is opened once and the name looked at and written relative
    // to it, so a link put in place of the name at any moment is replaced by
    // the rename and never followed.
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    held_file h;
    h.name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (h.name.empty()) return false;
    h.folder_fd = open_folder(folder, 0);
    if (h.folder_fd < 0) return false;
    struct stat named {};
    if (::fstatat(h.folder_fd, h.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT && write_new_file(h.folder_fd, h.name, data, size);
    // A regular file keeps its metadata; it is opened without following a
    // link, so one swapped in since the look above makes the write fail.
    if (S_ISREG(named.st_mode)) return open_in_held_folder(path, h) && replace_held(h, data, size, false);
    return !S_ISDIR(named.st_mode) && write_new_file(h.folder_fd, h.name, data, size);
}
