#pragma once
// Starts a program as a station would and times it to its end: shared by the benchmarks that set
// Telvik beside a minimal client.

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace BenchRun {

/// Runs `args` with `env` added (and no display, so the window never opens) and `input` on its
/// standard input, output discarded; wall seconds, or -1 when it could not start or failed.
inline double TimedRun(std::vector<std::string> args, const std::vector<std::string>& env = {},
                       const std::string& input = {}) {
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envs;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "DISPLAY=", 8) != 0 && std::strncmp(*e, "WAYLAND_DISPLAY=", 16) != 0)
            envs.push_back(*e);
    envs.insert(envs.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& e : envs)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    int in[2];
    if (pipe(in) != 0)
        return -1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_addclose(&fa, in[1]);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid;
    int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    if (rc != 0) {
        close(in[1]);
        return -1;
    }
    if (!input.empty() && write(in[1], input.data(), input.size()) < 0)
        std::perror("write");
    close(in[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? s : -1;
}

} // namespace BenchRun
