#include "e2e/RunTelvik.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace RunTelvik {

bool SplitLogLine(std::string_view line, std::string* time, std::string* text) {
    // "hh:nn:ss.zzz " in front of every log line.
    if (line.size() < 13 || line[2] != ':' || line[5] != ':' || line[8] != '.' || line[12] != ' ')
        return false;
    if (time)
        *time = line.substr(0, 12);
    if (text)
        *text = line.substr(13);
    return true;
}

std::vector<std::string> TResult::LogLines() const {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < Stderr.size()) {
        size_t end = Stderr.find('\n', pos);
        if (end == std::string::npos)
            end = Stderr.size();
        std::string text;
        if (SplitLogLine(std::string_view(Stderr).substr(pos, end - pos), nullptr, &text))
            lines.push_back(std::move(text));
        pos = end + 1;
    }
    return lines;
}

bool TResult::HasLine(const std::string& line) const {
    for (const auto& l : LogLines())
        if (l == line)
            return true;
    return false;
}

TResult RunHeadless(const std::vector<std::string>& args,
                    const std::map<std::string, std::string>& env, double limitSeconds,
                    const TOnOutput& onOutput) {
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
        std::string kv = *e;
        std::string key = kv.substr(0, kv.find('='));
        if (key == "DISPLAY" || key == "WAYLAND_DISPLAY" || env.count(key))
            continue;
        envStrings.push_back(kv);
    }
    for (const auto& [k, v] : env)
        envStrings.push_back(k + "=" + v);
    // Through the go-between that measures the program's own peak memory.
    TTempDir rssDir;
    std::string rssFile = rssDir.Path() + "/peak";
    std::vector<std::string> argStrings{PEAK_RSS, rssFile, TELVIK_BINARY};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv, envp;
    for (auto& s : argStrings)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    for (auto& s : envStrings)
        envp.push_back(s.data());
    envp.push_back(nullptr);

    int pipeFds[2], outFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0 || pipe2(outFds, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    posix_spawn_file_actions_adddup2(&actions, outFds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    // A group of its own, so that a run past its limit is killed with the go-between.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    pid_t pid;
    int rc = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    close(outFds[1]);
    if (rc != 0) {
        close(pipeFds[0]);
        close(outFds[0]);
        throw std::runtime_error(std::string("posix_spawn: ") + std::strerror(rc));
    }

    TResult result;
    auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    char buf[4096];
    for (;;) {
        int waitMs = static_cast<int>((limitSeconds - elapsed()) * 1000);
        if (waitMs <= 0) {
            result.TimedOut = true;
            kill(-pid, SIGKILL);
            break;
        }
        // Both streams until both are closed, so that a full pipe never stalls the program.
        pollfd p[2] = {{pipeFds[0], POLLIN, 0}, {outFds[0], POLLIN, 0}};
        if (p[0].fd < 0 && p[1].fd < 0)
            break;
        int n = poll(p, 2, waitMs);
        if (n <= 0)
            continue;
        std::string* sinks[2] = {&result.Stderr, &result.Stdout};
        int* fds[2] = {&pipeFds[0], &outFds[0]};
        for (int i = 0; i < 2; ++i) {
            if (p[i].fd < 0 || p[i].revents == 0)
                continue;
            ssize_t got = read(p[i].fd, buf, sizeof buf);
            if (got > 0) {
                sinks[i]->append(buf, static_cast<size_t>(got));
                if (i == 0 && onOutput)
                    onOutput(result.Stderr, pid);
            } else {
                close(*fds[i]);
                *fds[i] = -1;
            }
        }
    }
    for (int fd : {pipeFds[0], outFds[0]})
        if (fd >= 0)
            close(fd);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    std::ifstream(rssFile) >> result.MaxRssKb;
    result.Seconds = elapsed();
    if (!result.TimedOut && WIFEXITED(status))
        result.ExitCode = WEXITSTATUS(status);
    if (!result.TimedOut && WIFSIGNALED(status))
        result.Signal = WTERMSIG(status);
    return result;
}

std::vector<TResult> RunTogether(const std::vector<std::vector<std::string>>& argLists,
                                 const std::map<std::string, std::string>& env) {
    std::vector<TResult> results(argLists.size());
    std::vector<std::thread> stations;
    for (size_t i = 0; i < argLists.size(); ++i)
        stations.emplace_back([&, i] { results[i] = RunHeadless(argLists[i], env); });
    for (auto& t : stations)
        t.join();
    return results;
}

TTempDir::TTempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "telvik-test-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr)
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    fPath = tmpl;
}

TTempDir::~TTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(fPath, ec);
}

std::string TTempDir::Write(const std::string& name, const std::string& content) const {
    std::string path = fPath + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

} // namespace RunTelvik
