// Temporary files: made with unique names, kept in a table of live files, and
// removed on SIGINT, SIGTERM and SIGHUP.
//
// The signal handler may run on any thread at any moment, so it reads only
// lock-free atomics and plain fields published before them, and calls only
// unlinkat, openat, fstat, ftruncate, close, sigaction and raise. Writers take
// a mutex among themselves; each slot's state tells the handler whether its
// fields are complete. A slot the handler has claimed is never reused: the
// process is about to end.
#include "core/platform.h"
#include "core/platform_internal.h"
#include "core/fatal.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Enough for every file worker (at most 32) to hold a replace temporary and a
// few pipeline temporaries at once.
constexpr size_t max_live_temps = 128;
constexpr size_t max_name_length = 255;
constexpr int max_name_attempts = 100;
constexpr int cleanup_signals[] = {SIGINT, SIGTERM, SIGHUP};

enum slot_state : int { slot_free, slot_filling, slot_live, slot_clearing, slot_claimed };

struct live_temp {
    std::atomic<int> state{slot_free};
    int folder_fd = -1;  // our own duplicate, so the owner may close its copy
    char name[max_name_length + 1] = {};
    std::string lookup_path;  // never touched by the handler
};

static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free slot states");

std::array<live_temp, max_live_temps> live_temps;
std::mutex writers;
std::once_flag handlers_installed;

// Removes the temporary file `name` from the folder open as `folder_fd`. A
// folder made append-only after the file was made refuses that; the file is
// emptied then, so that no copy of an image stays. It is opened without
// following a link and emptied only when it has no other name, so nothing put
// in its place from elsewhere is cut. Async-signal-safe.
void remove_or_empty(int folder_fd, const char* name) {
    if (::unlinkat(folder_fd, name, 0) == 0) return;
    const int fd = ::openat(folder_fd, name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1) (void)::ftruncate(fd, 0);
    ::close(fd);
}

void remove_live_temps() {
    for (live_temp& t : live_temps) {
        int expected = slot_live;
        if (t.state.compare_exchange_strong(expected, slot_claimed)) remove_or_empty(t.folder_fd, t.name);
    }
}

extern "C" void remove_live_temps_and_end(int signal_number) {
    remove_live_temps();
    // The default action of the same signal ends the process once this
    // handler returns and the signal is unblocked.
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    (void)::sigaction(signal_number, &default_action, nullptr);
    (void)::raise(signal_number);
}

// A signal the user had ignored (nohup, a background job) stays ignored, and
// a handler someone else installed is left in place.
void install_handlers() {
    fatal_cleanup = remove_live_temps;
    for (int sig : cleanup_signals) {
        struct sigaction old {};
        if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
        struct sigaction action {};
        action.sa_handler = remove_live_temps_and_end;
        sigemptyset(&action.sa_mask);
        for (int other : cleanup_signals) sigaddset(&action.sa_mask, other);
        (void)::sigaction(sig, &action, nullptr);
    }
}

// Six characters from [A-Za-z0-9]; the kernel's random source, or the clock,
// the process id and a counter when it has none to give.
void random_suffix(char out[6]) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static std::atomic<uint64_t> counter{0};
    uint64_t bits = 0;
    if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
        struct timespec now {};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        bits = static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 30) ^
               (static_cast<uint64_t>(::getpid()) << 17) ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
        bits ^= bits >> 31;
        bits *= 0xBF58476D1CE4E5B9ull;
        bits ^= bits >> 29;
    }
    for (int i = 0; i < 6; ++i) {
        out[i] = alphabet[bits % 62];
        bits /= 62;
    }
}

// Under `writers`: a free slot moved to `filling`, or nullptr.
live_temp* take_free_slot() {
    for (live_temp& t : live_temps) {
        int expected = slot_free;
        if (t.state.compare_exchange_strong(expected, slot_filling)) return &t;
    }
    return nullptr;
}

}  // namespace

int create_live_temp(int folder_fd, const char* prefix, mode_t mode, const std::string& lookup_folder,
                     std::string& name, int& slot) {
    std::call_once(handlers_installed, install_handlers);
    const size_t prefix_length = std::strlen(prefix);
    if (prefix_length + 6 > max_name_length) return -1;

    std::lock_guard<std::mutex> lock(writers);
    live_temp* t = take_free_slot();
    if (!t) return -1;
    t->folder_fd = ::fcntl(folder_fd, F_DUPFD_CLOEXEC, 0);
    int fd = -1;
    for (int attempt = 0; t->folder_fd >= 0 && fd < 0 && attempt < max_name_attempts; ++attempt) {
        std::memcpy(t->name, prefix, prefix_length);
        random_suffix(t->name + prefix_length);
        t->name[prefix_length + 6] = '\0';
        fd = ::openat(folder_fd, t->name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        const int saved = errno;
        if (t->folder_fd >= 0) ::close(t->folder_fd);
        t->folder_fd = -1;
        t->state.store(slot_free);
        errno = saved;
        return -1;
    }
    if (!lookup_folder.empty())
        t->lookup_path = lookup_folder + (lookup_folder.back() == '/' ? "" : "/") + t->name;
    name = t->name;
    slot = static_cast<int>(t - live_temps.data());
    t->state.store(slot_live);  // publishes the fields to the handler
    return fd;
}

void forget_live_temp(int slot) {
    if (slot < 0 || static_cast<size_t>(slot) >= max_live_temps) return;
    std::lock_guard<std::mutex> lock(writers);
    live_temp& t = live_temps[static_cast<size_t>(slot)];
    int expected = slot_live;
    // A slot the handler claimed keeps its descriptor until the process ends.
    if (!t.state.compare_exchange_strong(expected, slot_clearing)) return;
    ::close(t.folder_fd);
    t.folder_fd = -1;
    t.lookup_path.clear();
    t.state.store(slot_free);
}

int find_live_temp(const std::string& path) {
    if (path.empty()) return -1;
    std::lock_guard<std::mutex> lock(writers);
    for (size_t i = 0; i < max_live_temps; ++i)
        if (live_temps[i].state.load() == slot_live && live_temps[i].lookup_path == path)
            return static_cast<int>(i);
    return -1;
}

std::string create_temp_file(const std::string& folder) {
    std::string base = folder;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    if (base.empty()) return "";
    const int folder_fd = open_folder(base, 0);
    if (folder_fd < 0) return "";
    // A file made in an append-only or immutable folder could not be removed.
    if (append_only_or_immutable(folder_fd)) {
        ::close(folder_fd);
        return "";
    }
    std::string name;
    int slot = -1;
    const int fd = create_live_temp(folder_fd, "velto-", 0600, base, name, slot);
    ::close(folder_fd);
    if (fd < 0) return "";
    ::close(fd);
    return base + (base == "/" ? "" : "/") + name;
}

void remove_temp_file(const std::string& path) {
    if (path.empty()) return;
    const int slot = find_live_temp(path);
    // The slot's folder and name stay as they are until it is forgotten.
    if (slot >= 0)
        remove_or_empty(live_temps[static_cast<size_t>(slot)].folder_fd, live_temps[static_cast<size_t>(slot)].name);
    else
        ::unlink(path.c_str());
    forget_live_temp(slot);
}
