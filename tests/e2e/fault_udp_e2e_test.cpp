// Fault and load runs over UDP: floods, empty and oversized datagrams, a peer that is gone. Each
// run must end within its time-out plus a small bound, with the exit code of the failed step,
// its port closed once, its memory bounded, and its report given once.

#include "e2e/RunTelvik.h"
#include "ports/udp/UdpTestUtils.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

constexpr int kTimeoutMs = 1500;
constexpr double kEndBound = kTimeoutMs / 1000.0 + 3.0;
constexpr long kMaxRssKb = 128 * 1024;

RunTelvik::TResult RunAgainst(uint16_t destPort, const std::string& telegram) {
    return UdpTest::RunUdpJob(
        UdpTest::UdpJob(destPort, "[INSTRUCTION]\nFailure=W=1\n[TELEGRAM]\nTimeout=" +
                                      std::to_string(kTimeoutMs) + "\n" + telegram),
        {}, 30);
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
}

void Flood(const UdpTest::Peer& peer, uint16_t port, int count, const std::string& datagram) {
    for (int i = 0; i < count; ++i)
        peer.SendTo(port, datagram);
}

/// A framed telegram is awaited and the answer is datagrams without an end mark.
struct FramedFlood {
    const char* name;
    int datagrams;
    size_t size;
    const char* overflowLine; ///< the whole line where its count of bytes is known
};

void PrintTo(const FramedFlood& c, std::ostream* os) {
    *os << c.name;
}

class UdpFramedFlood : public testing::TestWithParam<FramedFlood> {};

} // namespace

// The overflow ends the run, told in one readable line, whether many small datagrams or a few
// large ones fill the receive cache.
TEST_P(UdpFramedFlood, OverflowsTheReceiveCacheAndEndsTheRun) {
    const FramedFlood& c = GetParam();
    UdpTest::Peer device;
    device.AnswerFirst([&](const UdpTest::Peer& p, uint16_t port) {
        Flood(p, port, c.datagrams, std::string(c.size, 'x'));
    });
    auto r = RunAgainst(device.port, "Start=\\02\nEnd=\\03\nSend=GO\nResponse=OK*\n");
    ExpectOrderlyEnd(r, 54, c.name);
    EXPECT_EQ(Count(r, "Error: Receive cache overflow: "), 1u) << r.Stderr;
    if (*c.overflowLine) {
        EXPECT_TRUE(r.HasLine(c.overflowLine)) << r.Stderr;
    }
    EXPECT_EQ(Count(r, "Fatal: "), 0u) << r.Stderr;
    EXPECT_TRUE(r.HasLine("Info:  Run instruction(s) after failure: W=1")) << r.Stderr;
    EXPECT_EQ(Count(r, "Error: Time out!"), 0u) << r.Stderr;
}

INSTANTIATE_TEST_SUITE_P(
    Floods, UdpFramedFlood,
    testing::Values(FramedFlood{"HundredThousandSmallDatagrams", 100000, 100, ""},
                    FramedFlood{"NineLargeDatagrams", 9, 8000,
                                "Error: Receive cache overflow: 72000 bytes without a complete "
                                "telegram, more than the limit of 65535; they were dropped"}),
    [](const testing::TestParamInfo<FramedFlood>& i) { return std::string(i.param.name); });

TEST(UdpFaults, FloodOfWrongAnswersInRawModeEndsWithTheFirstVerdict) {
    UdpTest::Peer device;
    device.AnswerFirst(
        [](const UdpTest::Peer& p, uint16_t port) { Flood(p, port, 100000, "NOISE"); });
    auto r = RunAgainst(device.port, "Send=GO\nResponse=OK*\n");
    ExpectOrderlyEnd(r, 51, "raw flood of 100000 datagrams");
    EXPECT_GE(Count(r, "Error: Response failed:"), 1u);
}

TEST(UdpFaults, EmptyDatagramsAreNoDataAndLargeOnesComeWhole) {
    const std::string answer = "OK" + std::string(19998, 'y');
    UdpTest::Peer device;
    device.AnswerFirst([&](const UdpTest::Peer& p, uint16_t port) {
        p.SendTo(port, "");
        p.SendTo(port, answer);
    });
    auto r = RunAgainst(device.port, "Send=GO\nResponse=OK*\n");
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
