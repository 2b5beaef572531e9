// Fault and load runs over UDP: floods, empty and oversized datagrams, a peer that is gone. Each
// run must end within its time-out plus a small bound, with the exit code of the failed step,
// its port closed once, its memory bounded, and its report given once.

#include "e2e/RunTelvik.h"
#include "ports/udp/UdpTestUtils.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <thread>

namespace {

constexpr int kTimeoutMs = 1500;
constexpr double kEndBound = kTimeoutMs / 1000.0 + 3.0;
constexpr long kMaxRssKb = 128 * 1024;

/// The device side: waits for the telegram, then answers with `answer` to its sender.
class Device {
public:
    explicit Device(std::function<void(const UdpTest::Peer&, uint16_t)> answer)
        : fThread([this, answer] {
              sockaddr_in from{};
              socklen_t len = sizeof from;
              char buf[65536];
              pollfd p{fPeer.fd, POLLIN, 0};
              if (::poll(&p, 1, 10000) == 1 &&
                  ::recvfrom(fPeer.fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from),
                             &len) >= 0)
                  answer(fPeer, ntohs(from.sin_port));
          }) {}
    ~Device() { fThread.join(); }
    uint16_t Port() const { return fPeer.port; }

private:
    UdpTest::Peer fPeer;
    std::thread fThread;
};

RunTelvik::TResult RunAgainst(uint16_t destPort, const std::string& telegram) {
    RunTelvik::TTempDir dir;
    std::string ini = dir.Write(
        "job.ini",
        "[DEVICE]\nName=UDP\nDestAddress=127.0.0.1\nDestPort=" + std::to_string(destPort) +
            "\nListeningPort=" + std::to_string(UdpTest::FreePort()) +
            "\n[INSTRUCTION]\nFailure=W=1\n" + "[TELEGRAM]\nTimeout=" + std::to_string(kTimeoutMs) +
            "\n" + telegram);
    return RunTelvik::RunHeadless({"+CFG=" + ini}, {}, 30);
}

size_t Count(const RunTelvik::TResult& r, const std::string& prefix) {
    auto lines = r.LogLines();
    return static_cast<size_t>(std::count_if(
        lines.begin(), lines.end(), [&](const auto& l) { return l.rfind(prefix, 0) == 0; }));
}

/// What every fault run must show, whatever its code.
void ExpectOrderlyEnd(const RunTelvik::TResult& r, int code, const char* what) {
    EXPECT_FALSE(r.TimedOut) << what;
    EXPECT_LT(r.Seconds, kEndBound) << what;
    EXPECT_EQ(r.ExitCode, code) << what << "\n" << r.Stderr.substr(0, 2000);
    EXPECT_EQ(Count(r, "Info:  Close port..."), 1u) << what;
    EXPECT_EQ(Count(r, "Info:  Failed with exit code"), 1u) << what;
    EXPECT_LT(r.MaxRssKb, kMaxRssKb) << what;
    std::cout << "[ figures  ] " << what << ": exit " << r.ExitCode << " after " << r.Seconds
              << " s, peak RSS " << r.MaxRssKb << " KiB, " << r.LogLines().size() << " log lines\n";
}

void Flood(const UdpTest::Peer& peer, uint16_t port, int count, const std::string& datagram) {
    for (int i = 0; i < count; ++i)
        peer.SendTo(port, datagram);
}

} // namespace

TEST(UdpFaults, FloodWithoutEndMarkWhileWaitingOverflowsAndEnds) {
    Device device([](const UdpTest::Peer& p, uint16_t port) {
        Flood(p, port, 100000, std::string(100, 'x'));
    });
    auto r = RunAgainst(device.Port(), "Start=\\02\nEnd=\\03\nSend=GO\nResponse=OK*\n");
    ExpectOrderlyEnd(r, 54, "framed flood of 100000 datagrams");
    EXPECT_EQ(Count(r, "Error: Receive cache overflow: "), 1u);
    EXPECT_EQ(Count(r, "Fatal: "), 0u);
    EXPECT_EQ(Count(r, "Error: Time out!"), 0u);
}

TEST(UdpFaults, FloodOfWrongAnswersInRawModeEndsWithTheFirstVerdict) {
    Device device([](const UdpTest::Peer& p, uint16_t port) { Flood(p, port, 100000, "NOISE"); });
    auto r = RunAgainst(device.Port(), "Send=GO\nResponse=OK*\n");
    ExpectOrderlyEnd(r, 51, "raw flood of 100000 datagrams");
    EXPECT_GE(Count(r, "Error: Response failed:"), 1u);
}

TEST(UdpFaults, EmptyDatagramsAreNoDataAndLargeOnesComeWhole) {
    const std::string answer = "OK" + std::string(19998, 'y');
    Device device([&](const UdpTest::Peer& p, uint16_t port) {
        p.SendTo(port, "");
        p.SendTo(port, answer);
    });
    auto r = RunAgainst(device.Port(), "Send=GO\nResponse=OK*\n");
    EXPECT_EQ(r.ExitCode, 0) << r.Stderr.substr(0, 2000);
    EXPECT_EQ(Count(r, "Error: "), 0u) << r.Stderr.substr(0, 2000);
    EXPECT_TRUE(r.HasLine("Info:  Response passed: \"OK*\" = \"" + answer + "\""));
}

TEST(UdpFaults, APeerThatIsGoneMeansATimeOut) {
    uint16_t gone;
    {
        UdpTest::Peer peer;
        gone = peer.port;
    }
    auto r = RunAgainst(gone, "Send=GO\nResponse=OK*\n");
    ExpectOrderlyEnd(r, 54, "vanished peer");
    // The kernel's "port unreachable" ends the wait at once, not its time-out.
    EXPECT_EQ(Count(r, "Error: Time out!"), 0u);
    EXPECT_TRUE(r.HasLine("Error: UDP destination 127.0.0.1:" + std::to_string(gone) +
                          " refused the datagram (port unreachable)"))
        << r.Stderr;
    EXPECT_LT(r.Seconds, 0.5 + 0.1 + 0.4) << "the wait was not ended by the refusal";
    EXPECT_EQ(Count(r, "Info:  Run instruction(s) after failure: W=1"), 1u);
}
