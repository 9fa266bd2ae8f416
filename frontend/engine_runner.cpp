// Engine process runner; see engine_runner.h.
#include "frontend/engine_runner.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <thread>

#include "frontend/batching.h"

extern char** environ;

namespace {

constexpr auto poll_interval = std::chrono::milliseconds(1);
constexpr auto end_grace = std::chrono::seconds(3);

bool waiting_for_engine = false;

struct wait_cursor {
    wait_cursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~wait_cursor() { QApplication::restoreOverrideCursor(); }
};

struct waiting_flag {
    waiting_flag() { waiting_for_engine = true; }
    ~waiting_flag() { waiting_for_engine = false; }
};

struct spawn_setup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    spawn_setup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~spawn_setup() {
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
    }
};

// Starts the engine; -1 when it could not be started (also when the folder
// cannot be entered or the program not executed).
pid_t start_engine(const std::string& program, const std::vector<std::string>& args, const std::string& folder) {
    spawn_setup setup;
    if (posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0) != 0 ||
        posix_spawn_file_actions_addopen(&setup.actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0) != 0)
        return -1;
    if (!folder.empty() && posix_spawn_file_actions_addchdir_np(&setup.actions, folder.c_str()) != 0) return -1;
    // The engine starts with no blocked signals and the default action for
    // SIGPIPE, whatever the GUI library set for this process.
    sigset_t none, pipe;
    sigemptyset(&none);
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    posix_spawnattr_setsigmask(&setup.attributes, &none);
    posix_spawnattr_setsigdefault(&setup.attributes, &pipe);
    posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attributes, argv.data(), environ) != 0) return -1;
    return pid;
}

// Reaps the engine when it has ended: true with its wait status then.
bool reaped(pid_t pid, int& status) {
    for (;;) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return true;
        if (r == 0) return false;
        if (errno != EINTR) {
            // Not our child any more: nothing is left to wait for.
            status = -1;
            return true;
        }
    }
}

// Waits up to `limit` for the engine to end.
bool ended_within(pid_t pid, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (!reaped(pid, status)) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void end_process(pid_t pid) {
    ::kill(pid, SIGTERM);
    if (ended_within(pid, end_grace)) return;
    ::kill(pid, SIGKILL);
    ended_within(pid, end_grace);
}

}  // namespace

uint32_t run_process(const std::string& program, const std::vector<std::string>& args, const std::string& folder,
                     const std::function<bool()>& window_visible) {
    if (waiting_for_engine || !window_visible()) return engine_run_failed;
    const waiting_flag waiting;
    const wait_cursor cursor;

    const pid_t pid = start_engine(program, args, folder);
    if (pid < 0) return engine_run_failed;

    int status = 0;
    for (;;) {
        QApplication::processEvents();
        if (reaped(pid, status)) break;
        if (!window_visible()) {
            end_process(pid);
            return engine_run_failed;
        }
        std::this_thread::sleep_for(poll_interval);
    }
    if (status == -1 || !WIFEXITED(status)) return engine_run_failed;
    return static_cast<uint32_t>(WEXITSTATUS(status));
}
