#pragma once
// The project's UDP responder as a child process of a test: started with its options, its port
// read from its first line, stopped (and its report of what it received read) when done.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

/// The responder started with `args`; it ends by itself after five seconds at the latest.
class Responder {
public:
    explicit Responder(std::vector<std::string> args) {
        args.insert(args.begin(), {UDP_RESPONDER, "--lifetime", "5"});
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int out[2];
        EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        EXPECT_EQ(posix_spawn(&fPid, argv[0], &fa, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&fa);
        close(out[1]);
        fOut = out[0];
        std::string line;
        for (char c; read(fOut, &c, 1) == 1 && c != '\n';)
            line += c;
        port = static_cast<uint16_t>(std::atoi(line.c_str()));
    }
    ~Responder() {
        Stop();
        close(fOut);
    }
    /// Stops it; its report of the datagrams it received ("rx <length> <text>" lines).
    std::string Received() {
        Stop();
        std::string s;
        char buf[4096];
        for (ssize_t n; (n = read(fOut, buf, sizeof buf)) > 0;)
            s.append(buf, static_cast<size_t>(n));
        return s;
    }
    uint16_t port = 0;

private:
    void Stop() {
        if (fPid > 0) {
            kill(fPid, SIGTERM);
            waitpid(fPid, nullptr, 0);
            fPid = -1;
        }
    }
    pid_t fPid = -1;
    int fOut = -1;
};
