// Whole runs of the program over UDP, headless, against the responder peer on loopback.

#include "ports/udp/UdpTestUtils.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

/// Starts `args` with standard output and error on pipes (`outFd`, `errFd`); headless drops the
/// display from the environment.
struct Child {
    Child(const std::vector<std::string>& args, bool bHeadless) {
        int out[2], err[2];
        EXPECT_EQ(pipe2(out, O_CLOEXEC) | pipe2(err, O_CLOEXEC), 0);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_adddup2(&fa, err[1], 2);
        std::vector<char*> argv, envp;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        for (char** e = environ; *e != nullptr; ++e)
            if (!bHeadless ||
                (strncmp(*e, "DISPLAY=", 8) != 0 && strncmp(*e, "WAYLAND_DISPLAY=", 16) != 0))
                envp.push_back(*e);
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        EXPECT_EQ(posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data()), 0);
        posix_spawn_file_actions_destroy(&fa);
        close(out[1]);
        close(err[1]);
        outFd = out[0];
        errFd = err[0];
    }
    ~Child() {
        if (pid > 0)
            kill(pid, SIGKILL);
        Wait();
        close(outFd);
        close(errFd);
    }
    /// The exit status, -1 when killed.
    int Wait() {
        int status = 0;
        if (pid > 0 && waitpid(pid, &status, 0) == pid)
            exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        pid = -1;
        return exitCode;
    }
    /// Everything up to the end of `fd`.
    static std::string ReadAll(int fd) {
        std::string s;
        char buf[4096];
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
            s.append(buf, static_cast<size_t>(n));
        return s;
    }
    pid_t pid = -1;
    int outFd = -1, errFd = -1, exitCode = -1;
};

/// The responder with `args`, ending by itself after five seconds at the latest.
struct Responder {
    explicit Responder(std::vector<std::string> args)
        : child((args.insert(args.begin(), {UDP_RESPONDER, "--lifetime", "5"}), args), false) {
        std::string line;
        for (char c; read(child.outFd, &c, 1) == 1 && c != '\n';)
            line += c;
        port = static_cast<uint16_t>(std::atoi(line.c_str()));
    }
    /// Stops it; its report of the datagrams it received.
    std::string Received() {
        kill(child.pid, SIGTERM);
        child.Wait();
        return Child::ReadAll(child.outFd);
    }
    Child child;
    uint16_t port = 0;
};

struct JobRun {
    int exitCode = -1;
    std::string log;
    double seconds = 0;
    bool Has(const std::string& s) const { return log.find(s) != std::string::npos; }
};

/// Writes `ini` and runs the program headless on it with `options`.
JobRun RunTelvik(const std::string& ini, const std::vector<std::string>& options = {}) {
    char dir[] = "/tmp/telvik-udp-XXXXXX";
    EXPECT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/job.ini";
    std::ofstream(path) << ini;
    std::vector<std::string> args{TELVIK_BINARY, "+CFG=" + path};
    args.insert(args.end(), options.begin(), options.end());
    auto t0 = std::chrono::steady_clock::now();
    Child c(args, true);
    JobRun r;
    r.log = Child::ReadAll(c.errFd); // ctest's time limit bounds a hang
    r.exitCode = c.Wait();
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    unlink(path.c_str());
    rmdir(dir);
    return r;
}

std::string Job(uint16_t destPort, const std::string& telegram, uint16_t listen = 0) {
    if (listen == 0)
        listen = UdpTest::FreePort();
    return "[GENERAL]\nVisible=Never\n[DEVICE]\nName=Udp\nDestAddress=127.0.0.1\nDestPort=" +
           std::to_string(destPort) + "\nListeningPort=" + std::to_string(listen) +
           "\n[TELEGRAM]\nTimeout=2000\n" + telegram;
}

} // namespace

TEST(UdpRun, ResponsePassesWithAndWithoutFramingMarks) {
    {
        Responder peer({"--reply", "OK 12"});
        JobRun r = RunTelvik(Job(peer.port, "Send=HELLO\nResponse=OK*\n"));
        EXPECT_EQ(r.exitCode, 0) << r.log;
        EXPECT_TRUE(r.Has("Response passed: \"OK*\" = \"OK 12\"")) << r.log;
        EXPECT_TRUE(r.Has("Done successfully")) << r.log;
        EXPECT_NE(peer.Received().find("rx 5 HELLO\n"), std::string::npos);
    }
    {
        Responder peer({"--reply", "\\x02OK 12\\x03"});
        JobRun r = RunTelvik(Job(peer.port, "Start=\\02\nEnd=\\03\nSend=HELLO\nResponse=OK*\n"),
                             {"+Final=W=1"});
        EXPECT_EQ(r.exitCode, 0) << r.log;
        EXPECT_TRUE(r.Has("Response passed: \"OK*\" = \"OK 12\"")) << r.log;
        EXPECT_TRUE(r.Has("Run final instruction(s): W=1")) << r.log;
        EXPECT_NE(peer.Received().find("rx 7 \\x02HELLO\\x03\n"), std::string::npos);
    }
}

TEST(UdpRun, WrongOrMissingResponseFailsAfterTheFailureInstructions) {
    {
        Responder peer({"--reply", "ok", "--reply", "OK 12", "--delay", "40"});
        JobRun r = RunTelvik(Job(peer.port, "Send=HELLO\nResponse=OK*\n"), {"+Failure=W=1"});
        EXPECT_EQ(r.exitCode, 51) << r.log;
        EXPECT_TRUE(r.Has("Error: Response failed: \"OK*\" <> \"ok\"")) << r.log;
        EXPECT_FALSE(r.Has("Response passed")) << r.log;
        EXPECT_TRUE(r.Has("Run instruction(s) after failure: W=1")) << r.log;
        EXPECT_TRUE(r.Has("Failed with exit code 51 (0x33)")) << r.log;
    }
    {
        Responder peer({}); // answers nothing
        JobRun r = RunTelvik(Job(peer.port, "Send=HELLO\nResponse=OK*\n"),
                             {"+Timeout=300", "+Failure=W=10"});
        EXPECT_EQ(r.exitCode, 54) << r.log;
        EXPECT_TRUE(r.Has("Error: Time out!")) << r.log;
        EXPECT_TRUE(r.Has("Run instruction(s) after failure: W=10")) << r.log;
        EXPECT_TRUE(r.Has("Failed with exit code 54 (0x36)")) << r.log;
    }
}

TEST(UdpRun, UnsolicitedResponseWithoutSend) {
    uint16_t listen = UdpTest::FreePort();
    {
        Responder peer(
            {"--push", std::to_string(listen), "--push-text", "OK 7", "--push-after", "300"});
        JobRun r = RunTelvik(Job(peer.port, "Response=OK*\n", listen));
        EXPECT_EQ(r.exitCode, 0) << r.log;
        EXPECT_FALSE(r.Has("Send:")) << r.log;
        EXPECT_TRUE(r.Has("Response passed: \"OK*\" = \"OK 7\"")) << r.log;
    }
}

TEST(UdpRun, InitialInstructions) {
    Responder peer({"--reply", "OK"});
    JobRun r = RunTelvik(Job(peer.port, "Send=HELLO\nResponse=OK\n"), {"+Initial=W=100;;W=200"});
    EXPECT_EQ(r.exitCode, 0) << r.log;
    EXPECT_GE(r.seconds, 0.3);

    r = RunTelvik(Job(peer.port, "Send=HELLO\nResponse=OK\n"),
                  {"+Initial=W=1;W=1;Nope", "+Failure=W=1"});
    EXPECT_EQ(r.exitCode, 59) << r.log;
    EXPECT_TRUE(r.Has("Fatal: Port instruction \"Nope\" unknown or failed!")) << r.log;
    EXPECT_TRUE(r.Has("ID: 010502:0")) << r.log;
    EXPECT_FALSE(r.Has("Send: HELLO")) << r.log;
    EXPECT_TRUE(r.Has("Run instruction(s) after failure: W=1")) << r.log;
}

TEST(UdpRun, PortAndSendFailuresEndWithTheirStepsCode) {
    Responder peer({"--reply", "OK"});
    {
        UdpTest::Peer holder; // keeps the listening port busy
        JobRun r =
            RunTelvik(Job(peer.port, "Send=HELLO\nResponse=OK\n", holder.port), {"+Failure=W=1"});
        EXPECT_EQ(r.exitCode, 67) << r.log;
        EXPECT_TRUE(r.Has("Error: UDP Start: Cannot Bind Socket.")) << r.log;
        EXPECT_TRUE(r.Has("Fatal: UDP port open failed!")) << r.log;
        // The port stays active after the failed open: failure instructions and close run.
        EXPECT_TRUE(r.Has("Run instruction(s) after failure: W=1")) << r.log;
        EXPECT_TRUE(r.Has("Close port...")) << r.log;
        EXPECT_TRUE(r.Has("Failed with exit code 67 (0x43)")) << r.log;
    }
    {
        JobRun r = RunTelvik(Job(peer.port, "Send=" + std::string(8193, 'a') + "\nResponse=OK\n"));
        EXPECT_EQ(r.exitCode, 56) << r.log;
        EXPECT_TRUE(r.Has("Error: UDP SendData: Packet Too Big (8192 Bytes Max).")) << r.log;
        EXPECT_TRUE(r.Has("Fatal: UDP datagram send failed!SendData: Packet Too Big (8192 Bytes "
                          "Max)."))
            << r.log;
    }
    {
        JobRun r = RunTelvik(Job(peer.port, "Send=HELLO\n"), {"+UDP=no-such-host.invalid"});
        EXPECT_EQ(r.exitCode, 56) << r.log;
        EXPECT_TRUE(r.Has("Fatal: UDP datagram send failed!SendData: Host Not Found.")) << r.log;
    }
    {
        JobRun r = RunTelvik(Job(peer.port, "Send=HELLO\n"), {"+UDP=,70000"});
        EXPECT_EQ(r.exitCode, 68) << r.log;
        EXPECT_TRUE(r.Has("Fatal: No destination port number defined!")) << r.log;
        EXPECT_TRUE(r.Has("ID: F40114:0")) << r.log;
    }
}

TEST(UdpRun, FloodWithoutEndMarkOverflowsTheReceiveCacheAndEndsTheRun) {
    std::vector<std::string> args;
    for (int i = 0; i < 9; ++i)
        args.insert(args.end(), {"--size", "8000"});
    Responder peer(args);
    JobRun r = RunTelvik(Job(peer.port, "Start=\\02\nEnd=\\03\nSend=HELLO\nResponse=OK*\n"),
                         {"+Failure=W=1"});
    EXPECT_EQ(r.exitCode, 54) << r.log;
    // The overflow leaves the receive handler and reaches the job's exception hook.
    EXPECT_TRUE(r.Has("Fatal: F10100:72000")) << r.log;
    EXPECT_TRUE(r.Has("Run instruction(s) after failure: W=1")) << r.log;
    EXPECT_FALSE(r.Has("Time out!")) << r.log;
}
