#include "ports/udp/PortUdp.h"

#include "TestUtils.h"
#include "common/IniFiles.h"
#include "ports/udp/UdpTestUtils.h"

#include <chrono>
#include <gtest/gtest.h>

using MsgUtils::EMsg;
using Texts = std::vector<std::u16string>;

namespace {

std::u16string N(int i) {
    return SysUtils::IntToStr(i);
}

/// "id text" of the EMsg `fn` raises.
template <typename F> std::string Raised(F fn) {
    try {
        fn();
    } catch (const EMsg& e) {
        return SysUtils::ToUtf8(e.MsgNo() + u" " + e.Msg());
    }
    return "nothing raised";
}

/// A UDP port with counted events, configured with `sKeys` of [DEVICE].
struct Counted {
    explicit Counted(const std::u16string& sKeys, const std::u16string& s = u"",
                     const std::u16string& e = u"")
        : port(s, e) {
        port.SetOnOpened([this](Classes::TObject*) { ++opened; });
        port.SetOnClosed([this](Classes::TObject*) { ++closed; });
        port.SetOnDataReceived([this](Classes::TObject*) { ++data; });
        IniFiles::TMemIniFile ini;
        ini.SetText(u"[DEVICE]\n" + sKeys);
        port.Init(ini);
    }
    PortUdp::TPortUdp port;
    int opened = 0, closed = 0, data = 0;
};

std::u16string Keys(const std::u16string& sHost, int iDest, int iListen) {
    return u"DestAddress=" + sHost + u"\nDestPort=" + N(iDest) + u"\nListeningPort=" + N(iListen);
}

} // namespace

TEST(PortUdpInit, EachKeyIsCheckedInOrderWithItsOwnMessage) {
    const std::string kAddr = "F4010A:0 No destination address defined!";
    const std::string kDest = "F40114:0 No destination port number defined!";
    const std::string kListen = "F4011E:0 No listening/source port number defined!";
    const std::pair<std::u16string, std::string> cases[] = {
        {u"DestPort=5000\nListeningPort=5001", kAddr},
        {u"DestAddress=h\nListeningPort=5001", kDest},
        {u"DestAddress=h\nDestPort=-5\nListeningPort=5001", kDest},
        {u"DestAddress=h\nDestPort=5x\nListeningPort=5001", kDest},
        {u"DestAddress=h\nDestPort=65536\nListeningPort=5001", kDest}, // not cut to port 0
        {u"DestAddress=h\nDestPort=70000\nListeningPort=5001", kDest}, // not cut to port 4464
        {u"DestAddress=h\nDestPort=5000", kListen},
        {u"DestAddress=h\nDestPort=5000\nListeningPort=65536", kListen},
        {u"DestAddress=h\nDestPort=5000\nListeningPort=5001\nAcceptFrom=Port",
         "F40128:0 Invalid AcceptFrom \"Port\" (Any, Host or Destination)!"},
    };
    for (const auto& [keys, expected] : cases)
        EXPECT_EQ(Raised([&] { Counted c(keys); }), expected) << SysUtils::ToUtf8(keys);

    Counted c(u"DestAddress=10.1.2.3\nDestPort=$1388\nListeningPort=65535");
    EXPECT_EQ(c.port.DestPort(), 5000);
    EXPECT_EQ(c.port.ListeningPort(), 65535);
    EXPECT_FALSE(c.port.Active());
}

TEST(PortUdpOpen, OpenTwiceHintsAndCloseWaitsAndAlwaysReportsClosed) {
    TestUtils::MsgRecorder rec;
    uint16_t lp = UdpTest::FreePort();
    Counted c(Keys(u"127.0.0.1", 9, lp));
    c.port.Open();
    c.port.Open();
    EXPECT_TRUE(c.port.Active());
    EXPECT_EQ(c.opened, 1);
    EXPECT_EQ(rec.Texts(), Texts{u"UDP port " + N(lp) + u" already open."});
    EXPECT_EQ(rec.entries[0].id >> 24, MsgUtils::eHint);

    auto t0 = std::chrono::steady_clock::now();
    c.port.Close();
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100));
    EXPECT_FALSE(c.port.Active());
    c.port.Close(); // nothing open: reported all the same
    EXPECT_EQ(c.closed, 2);
}

TEST(PortUdpOpen, FailedOpenStaysActiveUntilClosedAndDoesNotRetry) {
    TestUtils::MsgRecorder rec;
    UdpTest::Peer holder; // holds the listening port
    Counted c(Keys(u"127.0.0.1", 9, holder.port));
    EXPECT_EQ(Raised([&] { c.port.Open(); }), "F4020A:0 UDP port open failed!");
    EXPECT_EQ(rec.Texts(), Texts{u"UDP Start: Cannot Bind Socket."});
    EXPECT_EQ(rec.entries[0].id >> 24, MsgUtils::eError);
    EXPECT_TRUE(c.port.Active());
    c.port.Open();
    EXPECT_EQ(rec.Texts().back(), u"UDP port " + N(holder.port) + u" already open.");
    EXPECT_EQ(Raised([&] { c.port.Send(u"x"); }),
              "F4030A:0 UDP datagram send failed!SendData: Socket Not Bound.");
    c.port.Close();
    EXPECT_FALSE(c.port.Active());
    EXPECT_EQ(c.opened, 0);
    EXPECT_EQ(c.closed, 1);
}

TEST(PortUdpSend, TelegramsGoOutFramedAndAnySendersDatagramsComeIn) {
    TestUtils::MsgRecorder rec;
    UdpTest::Peer device, stranger;
    uint16_t lp = UdpTest::FreePort();
    Counted c(Keys(u"localhost", device.port, lp), u"\x02", u"\x03");
    EXPECT_EQ(Raised([&] { c.port.Send(u"x"); }), "F40314:0 ");

    c.port.Open();
    c.port.Send(u"GET\xFF");
    EXPECT_EQ(device.Receive(), "\x02GET\xFF\x03");
    device.SendTo(lp, "\x02OK ");
    stranger.SendTo(lp, "12\x03");
    ASSERT_TRUE(TestUtils::PumpUntil([&] { return c.data > 0; }));
    EXPECT_EQ(c.port.GetData(), u"OK 12");
    EXPECT_TRUE(rec.entries.empty());
}

TEST(PortUdpSend, SocketFailuresAreLoggedAndRaisedWithTheSocketText) {
    TestUtils::MsgRecorder rec;
    UdpTest::Peer device;
    uint16_t lp = UdpTest::FreePort();
    Counted unknown(Keys(u"no-such-host.invalid", device.port, lp));
    unknown.port.Open(); // the host is looked up at the first send, not here
    EXPECT_EQ(Raised([&] { unknown.port.Send(u"x"); }),
              "F4030A:0 UDP datagram send failed!SendData: Host Not Found.");
    unknown.port.Close();

    Counted c(Keys(u"127.0.0.1", device.port, lp));
    c.port.Open();
    EXPECT_EQ(Raised([&] { c.port.Send(std::u16string(8193, u'a')); }),
              "F4030A:0 UDP datagram send failed!SendData: Packet Too Big (8192 Bytes Max).");
    // Received whole, although no larger telegram may be sent.
    device.SendTo(lp, std::string(9000, 'z'));
    ASSERT_TRUE(TestUtils::PumpUntil([&] { return c.data > 0; }));
    EXPECT_EQ(c.port.GetData(), std::u16string(9000, u'z'));
    EXPECT_EQ(rec.Texts(), (Texts{u"UDP SendData: Host Not Found.",
                                  u"UDP SendData: Packet Too Big (8192 Bytes Max)."}));
    EXPECT_TRUE(c.port.Active());
}

TEST(PortUdpReceive, AcceptFromKeepsOutOtherSendersAndARefusalEndsTheWait) {
    UdpTest::Peer device, stranger;
    for (const char16_t* accept : {u"Destination", u"host"}) {
        TestUtils::MsgRecorder rec;
        uint16_t lp = UdpTest::FreePort();
        Counted c(Keys(u"127.0.0.1", device.port, lp) + u"\nAcceptFrom=" + accept);
        c.port.Open();
        stranger.SendTo(lp, "stray");
        device.SendTo(lp, "real");
        ASSERT_TRUE(TestUtils::PumpUntil([&] { return c.data > 0; }));
        std::u16string got = c.port.GetData();
        if (SysUtils::SameText(accept, u"host")) {
            EXPECT_EQ(got.substr(0, 5), u"stray"); // the same host, another port
            continue;
        }
        EXPECT_EQ(got, u"real");
        EXPECT_EQ(rec.Texts(), Texts{u"Ignored datagram from 127.0.0.1:" + N(stranger.port)});
        c.port.Close();
    }

    TestUtils::MsgRecorder rec;
    uint16_t gone = UdpTest::FreePort();
    Counted c(Keys(u"127.0.0.1", gone, UdpTest::FreePort()));
    int errors = 0;
    c.port.SetOnError([&](Classes::TObject*) { ++errors; });
    c.port.Open();
    c.port.Send(u"x");
    ASSERT_TRUE(TestUtils::PumpUntil([&] { return errors > 0; }, 500));
    EXPECT_EQ(rec.Texts(), Texts{u"UDP destination 127.0.0.1:" + N(gone) +
                                 u" refused the datagram (port unreachable)"});
    EXPECT_TRUE(c.port.Active());
}
