// Whole runs of the program over UDP, headless, against the responder peer on loopback.

#include "ports/udp/UdpTestUtils.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
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

/// A child process with its standard output (`outFd`) or error (`errFd`) read through pipes.
struct Child {
    pid_t pid = -1;
    int outFd = -1;
    int errFd = -1;
};

Child Spawn(const std::vector<std::string>& args, bool bHeadless) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        ADD_FAILURE() << "pipe";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> envStore;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string s = *e;
        if (bHeadless && (s.rfind("DISPLAY=", 0) == 0 || s.rfind("WAYLAND_DISPLAY=", 0) == 0 ||
                          s.rfind("QT_QPA_PLATFORM=", 0) == 0))
            continue;
        envStore.push_back(s);
    }
    std::vector<char*> envp;
    for (std::string& s : envStore)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    Child c;
    if (posix_spawn(&c.pid, argv[0], &fa, nullptr, argv.data(), envp.data()) != 0)
        ADD_FAILURE() << "cannot start " << argv[0];
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    close(err[1]);
    c.outFd = out[0];
    c.errFd = err[0];
    return c;
}

/// Reads `fd` to its end, for at most `seconds`.
std::string ReadAll(int fd, double seconds) {
    std::string s;
    auto end = std::chrono::steady_clock::now() +
               std::chrono::milliseconds(static_cast<int>(seconds * 1000));
    char buf[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        end - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0)
            break;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        s.append(buf, static_cast<size_t>(n));
    }
    return s;
}

int Reap(pid_t pid) {
    int status = 0;
    for (int i = 0; i < 200; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

/// The responder, started with `args`; knows its port and, once it ended, what it received.
class Responder {
public:
    explicit Responder(std::vector<std::string> args) {
        args.insert(args.begin(), {UDP_RESPONDER, "--lifetime", "5"});
        fChild = Spawn(args, false);
        std::string line;
        char c;
        while (read(fChild.outFd, &c, 1) == 1 && c != '\n')
            line += c;
        port = static_cast<uint16_t>(std::atoi(line.c_str()));
    }
    ~Responder() {
        if (fChild.pid > 0) {
            kill(fChild.pid, SIGTERM);
            Reap(fChild.pid);
        }
        close(fChild.outFd);
        close(fChild.errFd);
    }
    /// Stops it and gives back its report of received datagrams.
    std::string Received() {
        kill(fChild.pid, SIGTERM);
        Reap(fChild.pid);
        fChild.pid = -1;
        return ReadAll(fChild.outFd, 1);
    }
    uint16_t port = 0;

private:
    Child fChild;
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
    Child c = Spawn(args, true);
    JobRun r;
    r.log = ReadAll(c.errFd, 20);
    r.exitCode = Reap(c.pid);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    close(c.outFd);
    close(c.errFd);
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

TEST(UdpRun, UnsolicitedResponseWithoutSendAndOversizedDatagrams) {
    uint16_t listen = UdpTest::FreePort();
    {
        Responder peer(
            {"--push", std::to_string(listen), "--push-text", "OK 7", "--push-after", "300"});
        JobRun r = RunTelvik(Job(peer.port, "Response=OK*\n", listen));
        EXPECT_EQ(r.exitCode, 0) << r.log;
        EXPECT_FALSE(r.Has("Send:")) << r.log;
        EXPECT_TRUE(r.Has("Response passed: \"OK*\" = \"OK 7\"")) << r.log;
    }
    {
        // A datagram too long to take is reported and dropped; the wait goes on.
        Responder peer({"--size", "9000", "--reply", "OK 1"});
        JobRun r = RunTelvik(Job(peer.port, "Send=HELLO\nResponse=OK*\n"));
        EXPECT_EQ(r.exitCode, 0) << r.log;
        EXPECT_TRUE(r.Has("Error: UDP OnReceive: Message too long")) << r.log;
        EXPECT_TRUE(r.Has("Response passed: \"OK*\" = \"OK 1\"")) << r.log;
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
