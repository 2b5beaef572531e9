// Whole runs of the program over UDP, headless, against the responder peer on loopback.

#include "e2e/Responder.h"
#include "e2e/RunTelvik.h"
#include "ports/udp/UdpTestUtils.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

/// Runs the program headless on a job over UDP to `destPort` with the [TELEGRAM] lines given.
RunTelvik::TResult RunJob(uint16_t destPort, const std::string& telegram,
                          const std::vector<std::string>& options = {}, uint16_t listen = 0) {
    RunTelvik::TTempDir dir;
    std::string ini =
        dir.Write("job.ini", "[GENERAL]\nVisible=Never\n[DEVICE]\nName=Udp\nDestAddress=127.0.0.1\n"
                             "DestPort=" +
                                 std::to_string(destPort) + "\nListeningPort=" +
                                 std::to_string(listen ? listen : UdpTest::FreePort()) +
                                 "\n[TELEGRAM]\nTimeout=2000\n" + telegram);
    std::vector<std::string> args{"+CFG=" + ini};
    args.insert(args.end(), options.begin(), options.end());
    return RunTelvik::RunHeadless(args);
}

} // namespace

TEST(UdpRun, ResponsePassesWithAndWithoutFramingMarks) {
    {
        Responder peer({"--reply", "OK 12"});
        auto r = RunJob(peer.port, "Send=HELLO\nResponse=OK*\n");
        EXPECT_EQ(r.ExitCode, 0) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Info:  Response passed: \"OK*\" = \"OK 12\"")) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Info:  Done successfully")) << r.Stderr;
        EXPECT_NE(peer.Received().find("rx 5 HELLO\n"), std::string::npos);
    }
    {
        Responder peer({"--reply", "\\x02OK 12\\x03"});
        auto r =
            RunJob(peer.port, "Start=\\02\nEnd=\\03\nSend=HELLO\nResponse=OK*\n", {"+Final=W=1"});
        EXPECT_EQ(r.ExitCode, 0) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Info:  Response passed: \"OK*\" = \"OK 12\"")) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Info:  Run final instruction(s): W=1")) << r.Stderr;
        EXPECT_NE(peer.Received().find("rx 7 \\x02HELLO\\x03\n"), std::string::npos);
    }
}

TEST(UdpRun, WrongOrMissingResponseFailsAfterTheFailureInstructions) {
    {
        Responder peer({"--reply", "ok", "--reply", "OK 12", "--delay", "40"});
        auto r = RunJob(peer.port, "Send=HELLO\nResponse=OK*\n", {"+Failure=W=1"});
        EXPECT_EQ(r.ExitCode, 51) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Error: Response failed: \"OK*\" <> \"ok\"")) << r.Stderr;
        EXPECT_EQ(r.Stderr.find("Response passed"), std::string::npos) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Info:  Run instruction(s) after failure: W=1")) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Info:  Failed with exit code 51 (0x33)")) << r.Stderr;
    }
    {
        Responder peer({}); // answers nothing
        auto r = RunJob(peer.port, "Send=HELLO\nResponse=OK*\n", {"+Timeout=300", "+Failure=W=10"});
        EXPECT_EQ(r.ExitCode, 54) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Error: Time out!")) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Info:  Run instruction(s) after failure: W=10")) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Info:  Failed with exit code 54 (0x36)")) << r.Stderr;
    }
}

TEST(UdpRun, UnsolicitedResponseWithoutSend) {
    uint16_t listen = UdpTest::FreePort();
    {
        Responder peer(
            {"--push", std::to_string(listen), "--push-text", "OK 7", "--push-after", "300"});
        auto r = RunJob(peer.port, "Response=OK*\n", {}, listen);
        EXPECT_EQ(r.ExitCode, 0) << r.Stderr;
        EXPECT_EQ(r.Stderr.find("Send:"), std::string::npos) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Info:  Response passed: \"OK*\" = \"OK 7\"")) << r.Stderr;
    }
}

TEST(UdpRun, InitialInstructions) {
    Responder peer({"--reply", "OK"});
    auto r = RunJob(peer.port, "Send=HELLO\nResponse=OK\n", {"+Initial=W=100;;W=200"});
    EXPECT_EQ(r.ExitCode, 0) << r.Stderr;
    EXPECT_GE(r.Seconds, 0.3);

    r = RunJob(peer.port, "Send=HELLO\nResponse=OK\n", {"+Initial=W=1;W=1;Nope", "+Failure=W=1"});
    EXPECT_EQ(r.ExitCode, 59) << r.Stderr;
    EXPECT_TRUE(r.HasLine("Fatal: Port instruction \"Nope\" unknown or failed! ID: 010502:0"))
        << r.Stderr;
    EXPECT_EQ(r.Stderr.find("Send:"), std::string::npos) << r.Stderr;
    EXPECT_TRUE(r.HasLine("Info:  Run instruction(s) after failure: W=1")) << r.Stderr;
}

TEST(UdpRun, PortAndSendFailuresEndWithTheirStepsCode) {
    Responder peer({"--reply", "OK"});
    {
        UdpTest::Peer holder; // keeps the listening port busy
        auto r = RunJob(peer.port, "Send=HELLO\nResponse=OK\n", {"+Failure=W=1"}, holder.port);
        EXPECT_EQ(r.ExitCode, 67) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Error: UDP Start: Cannot Bind Socket.")) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Fatal: UDP port open failed! ID: F4020A:0")) << r.Stderr;
        // The port stays active after the failed open: failure instructions and close run.
        EXPECT_TRUE(r.HasLine("Info:  Run instruction(s) after failure: W=1")) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Info:  Close port...")) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Info:  Failed with exit code 67 (0x43)")) << r.Stderr;
    }
    {
        auto r = RunJob(peer.port, "Send=" + std::string(8193, 'a') + "\nResponse=OK\n");
        EXPECT_EQ(r.ExitCode, 56) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Error: UDP SendData: Packet Too Big (8192 Bytes Max).")) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Fatal: UDP datagram send failed!SendData: Packet Too Big "
                              "(8192 Bytes Max). ID: F4030A:0"))
            << r.Stderr;
    }
    {
        auto r = RunJob(peer.port, "Send=HELLO\n", {"+UDP=no-such-host.invalid"});
        EXPECT_EQ(r.ExitCode, 56) << r.Stderr;
        EXPECT_TRUE(
            r.HasLine("Fatal: UDP datagram send failed!SendData: Host Not Found. ID: F4030A:0"))
            << r.Stderr;
    }
    {
        auto r = RunJob(peer.port, "Send=HELLO\n", {"+UDP=,70000"});
        EXPECT_EQ(r.ExitCode, 68) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Fatal: No destination port number defined! ID: F40114:0"))
            << r.Stderr;
    }
}

TEST(UdpRun, FloodWithoutEndMarkOverflowsTheReceiveCacheAndEndsTheRun) {
    std::vector<std::string> args;
    for (int i = 0; i < 9; ++i)
        args.insert(args.end(), {"--size", "8000"});
    Responder peer(args);
    auto r =
        RunJob(peer.port, "Start=\\02\nEnd=\\03\nSend=HELLO\nResponse=OK*\n", {"+Failure=W=1"});
    EXPECT_EQ(r.ExitCode, 54) << r.Stderr;
    // The overflow leaves the receive handler and reaches the job's exception hook.
    EXPECT_TRUE(r.HasLine("Fatal: F10100:72000")) << r.Stderr;
    EXPECT_TRUE(r.HasLine("Info:  Run instruction(s) after failure: W=1")) << r.Stderr;
    EXPECT_FALSE(r.HasLine("Error: Time out!")) << r.Stderr;
}
