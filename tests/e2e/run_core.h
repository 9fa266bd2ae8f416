// Runs the engine binary (path in VELTO_CORE) as a child process for the
// end-to-end tests, with LOCALAPPDATA inside the test's temporary folder.
#pragma once
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/temp_folder.h"

extern char** environ;

struct run_outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the engine with LOCALAPPDATA inside `tmp`; standard output goes to a
// file, or to `stdout_fd` when one is given (a terminal in the title test).
inline run_outcome run_core(const temp_folder& tmp, const std::vector<std::string>& args, int stdout_fd = -1) {
    const char* core = std::getenv("VELTO_CORE");
    run_outcome r;
    if (!core) return r;
    std::vector<std::string> env_store;
    for (char** e = environ; *e; ++e)
        if (std::string(*e).rfind("LOCALAPPDATA=", 0) != 0) env_store.emplace_back(*e);
    env_store.push_back("LOCALAPPDATA=" + (tmp / "appdata"));
    std::vector<char*> envp;
    for (std::string& e : env_store) envp.push_back(e.data());
    envp.push_back(nullptr);

    std::vector<std::string> arg_store{core};
    arg_store.insert(arg_store.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : arg_store) argv.push_back(a.data());
    argv.push_back(nullptr);

    const std::string out_path = tmp / "stdout.txt";
    const std::string err_path = tmp / "stderr.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdout_fd >= 0)
        posix_spawn_file_actions_adddup2(&actions, stdout_fd, 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    int spawned = posix_spawn(&pid, core, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return r;
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFEXITED(status)) r.status = WEXITSTATUS(status);
    if (stdout_fd < 0) r.out = read_file(out_path);
    r.err = read_file(err_path);
    return r;
}
