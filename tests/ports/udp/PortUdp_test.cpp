#include "ports/udp/PortUdp.h"

#include "TestUtils.h"
#include "common/IniFiles.h"
#include "common/MsgUtils.h"
#include "ports/udp/UdpTestUtils.h"

#include <chrono>
#include <gtest/gtest.h>

using MsgUtils::EMsg;
using PortUdp::TPortUdp;
using TestUtils::MsgRecorder;
using UdpTest::Peer;

namespace {

IniFiles::TMemIniFile Ini(const std::u16string& sDevice) {
    IniFiles::TMemIniFile ini;
    ini.SetText(u"[DEVICE]\nName=UDP\n" + sDevice);
    return ini;
}

/// The id (without level) and plain text of the EMsg `fn` raises.
template <typename F> std::pair<uint32_t, std::u16string> Raised(F fn) {
    try {
        fn();
    } catch (const EMsg& e) {
        return {e.Id().Value & 0xFFFFFF, e.Msg()};
    }
    return {0, u"nothing raised"};
}

/// A port on loopback whose events are counted.
struct Counted {
    Counted(const std::u16string& s = u"", const std::u16string& e = u"") : port(s, e) {
        port.SetOnOpened([this](Classes::TObject*) { ++opened; });
        port.SetOnClosed([this](Classes::TObject*) { ++closed; });
        port.SetOnDataReceived([this](Classes::TObject*) { ++data; });
    }
    TPortUdp port;
    int opened = 0;
    int closed = 0;
    int data = 0;
};

} // namespace

TEST(PortUdpInit, EachKeyIsCheckedInOrderWithItsOwnMessage) {
    MsgRecorder rec;
    struct Case {
        std::u16string keys;
        uint32_t id;
        std::u16string text;
    };
    const std::u16string kDest = u"No destination port number defined!";
    const std::u16string kListen = u"No listening/source port number defined!";
    const Case cases[] = {
        {u"DestPort=5000\nListeningPort=5001", 0xF4010A, u"No destination address defined!"},
        {u"DestAddress=\nDestPort=5000", 0xF4010A, u"No destination address defined!"},
        {u"DestAddress=h\nListeningPort=5001", 0xF40114, kDest},
        {u"DestAddress=h\nDestPort=0\nListeningPort=5001", 0xF40114, kDest},
        {u"DestAddress=h\nDestPort=-5\nListeningPort=5001", 0xF40114, kDest},
        {u"DestAddress=h\nDestPort=abc\nListeningPort=5001", 0xF40114, kDest},
        {u"DestAddress=h\nDestPort=70000\nListeningPort=5001", 0xF40114, kDest},
        {u"DestAddress=h\nDestPort=65536\nListeningPort=5001", 0xF40114, kDest},
        {u"DestAddress=h\nDestPort=5000", 0xF4011E, kListen},
        {u"DestAddress=h\nDestPort=5000\nListeningPort=65536", 0xF4011E, kListen},
        {u"DestAddress=h\nDestPort=5000\nListeningPort=1x", 0xF4011E, kListen},
    };
    for (const Case& c : cases) {
        TPortUdp port(u"", u"");
        auto r = Raised([&] { port.Init(Ini(c.keys)); });
        EXPECT_EQ(r.first, c.id) << SysUtils::ToUtf8(c.keys);
        EXPECT_EQ(r.second, c.text) << SysUtils::ToUtf8(c.keys);
    }

    TPortUdp port(u"", u"");
    // Keys before the failing one are kept.
    EXPECT_THROW(port.Init(Ini(u"DestAddress=dev\nDestPort=$1388\nListeningPort=0")), EMsg);
    EXPECT_EQ(port.DestAddress(), u"dev");
    EXPECT_EQ(port.DestPort(), 5000);
    port.Init(Ini(u"DestAddress=10.1.2.3\nDestPort=1\nListeningPort=65535"));
    EXPECT_EQ(port.DestPort(), 1);
    EXPECT_EQ(port.ListeningPort(), 65535);
    EXPECT_FALSE(port.Active());
}

TEST(PortUdpOpen, OpenTwiceHintsAndCloseWaitsAndAlwaysReportsClosed) {
    MsgRecorder rec;
    uint16_t lp = UdpTest::FreePort();
    Counted c;
    c.port.Init(Ini(u"DestAddress=127.0.0.1\nDestPort=9\nListeningPort=" + SysUtils::IntToStr(lp)));
    c.port.Open();
    EXPECT_TRUE(c.port.Active());
    c.port.Open();
    EXPECT_EQ(c.opened, 1);
    ASSERT_EQ(rec.entries.size(), 1u);
    EXPECT_EQ(rec.entries[0].text, u"UDP port " + SysUtils::IntToStr(lp) + u" already open.");
    EXPECT_EQ(rec.entries[0].id >> 24, MsgUtils::eHint);

    auto t0 = std::chrono::steady_clock::now();
    c.port.Close();
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100));
    EXPECT_FALSE(c.port.Active());
    EXPECT_EQ(c.closed, 1);
    c.port.Close(); // nothing open: still reported
    EXPECT_EQ(c.closed, 2);

    // The port is free again.
    Counted again;
    again.port.Init(
        Ini(u"DestAddress=127.0.0.1\nDestPort=9\nListeningPort=" + SysUtils::IntToStr(lp)));
    again.port.Open();
    EXPECT_EQ(again.opened, 1);
}

TEST(PortUdpOpen, FailedOpenStaysActiveUntilClosedAndDoesNotRetry) {
    MsgRecorder rec;
    Peer holder; // holds the listening port
    Counted c;
    c.port.Init(Ini(u"DestAddress=127.0.0.1\nDestPort=9\nListeningPort=" +
                    SysUtils::IntToStr(holder.port)));
    auto r = Raised([&] { c.port.Open(); });
    EXPECT_EQ(r.first, 0xF4020Au);
    EXPECT_EQ(r.second, u"UDP port open failed!");
    ASSERT_EQ(rec.Texts(), std::vector<std::u16string>{u"UDP Start: Cannot Bind Socket."});
    EXPECT_EQ(rec.entries[0].id >> 24, MsgUtils::eError);
    EXPECT_EQ(c.port.SocketErrorText(), u"Start: Cannot Bind Socket.");
    EXPECT_TRUE(c.port.Active());
    EXPECT_EQ(c.opened, 0);

    c.port.Open();
    EXPECT_EQ(rec.Texts().back(),
              u"UDP port " + SysUtils::IntToStr(holder.port) + u" already open.");
    // Sending on the unbound socket fails with its text.
    r = Raised([&] { c.port.Send(u"x"); });
    EXPECT_EQ(r.second, u"UDP datagram send failed!SendData: Socket Not Bound.");
    c.port.Close();
    EXPECT_FALSE(c.port.Active());
    EXPECT_EQ(c.closed, 1);
}

TEST(PortUdpSend, TelegramsGoOutFramedAndAnySendersDatagramsComeIn) {
    MsgRecorder rec;
    Peer device;
    Peer stranger;
    uint16_t lp = UdpTest::FreePort();
    Counted c(u"\x02", u"\x03");
    c.port.Init(Ini(u"DestAddress=localhost\nDestPort=" + SysUtils::IntToStr(device.port) +
                    u"\nListeningPort=" + SysUtils::IntToStr(lp)));

    auto r = Raised([&] { c.port.Send(u"x"); });
    EXPECT_EQ(r.first, 0xF40314u);

    c.port.Open();
    c.port.Send(u"GET\xFF");
    std::string got;
    ASSERT_TRUE(device.Receive(got));
    EXPECT_EQ(got, "\x02GET\xFF\x03");

    device.SendTo(lp, "\x02OK ");
    stranger.SendTo(lp, "12\x03");
    ASSERT_TRUE(UdpTest::PumpUntil([&] { return c.data > 0; }));
    EXPECT_EQ(c.port.GetData(), u"OK 12");
    c.port.Close();
    EXPECT_TRUE(rec.entries.empty());
}

TEST(PortUdpSend, SocketFailuresAreLoggedAndRaisedWithTheSocketText) {
    MsgRecorder rec;
    Peer device;
    uint16_t lp = UdpTest::FreePort();
    Counted c;
    c.port.Init(Ini(u"DestAddress=no-such-host.invalid\nDestPort=" +
                    SysUtils::IntToStr(device.port) + u"\nListeningPort=" +
                    SysUtils::IntToStr(lp)));
    c.port.Open(); // the host is looked up at the first send, not here
    EXPECT_EQ(c.opened, 1);
    auto r = Raised([&] { c.port.Send(u"x"); });
    EXPECT_EQ(r.first, 0xF4030Au);
    EXPECT_EQ(r.second, u"UDP datagram send failed!SendData: Host Not Found.");

    c.port.Init(Ini(u"DestAddress=127.0.0.1\nDestPort=" + SysUtils::IntToStr(device.port) +
                    u"\nListeningPort=" + SysUtils::IntToStr(lp)));
    r = Raised([&] { c.port.Send(std::u16string(8193, u'a')); });
    EXPECT_EQ(r.second, u"UDP datagram send failed!SendData: Packet Too Big (8192 Bytes Max).");
    c.port.Send(std::u16string(8192, u'a'));
    std::string got;
    ASSERT_TRUE(device.Receive(got));
    EXPECT_EQ(got.size(), 8192u);

    // An oversized datagram is reported and the port keeps receiving.
    device.SendTo(lp, std::string(9000, 'z'));
    device.SendTo(lp, "fine");
    ASSERT_TRUE(UdpTest::PumpUntil([&] { return c.data > 0; }));
    EXPECT_EQ(c.port.GetData(), u"fine");
    EXPECT_EQ(rec.Texts(),
              (std::vector<std::u16string>{u"UDP SendData: Host Not Found.",
                                           u"UDP SendData: Packet Too Big (8192 Bytes Max).",
                                           u"UDP OnReceive: Message too long"}));
    EXPECT_TRUE(c.port.Active());
    c.port.Close();
}

TEST(PortUdpSend, EmptyTelegramIsSentButCountsAsFailed) {
    MsgRecorder rec;
    Peer device;
    Counted c;
    c.port.Init(Ini(u"DestAddress=127.0.0.1\nDestPort=" + SysUtils::IntToStr(device.port) +
                    u"\nListeningPort=" + SysUtils::IntToStr(UdpTest::FreePort())));
    c.port.Open();
    auto r = Raised([&] { c.port.Send(u""); });
    EXPECT_EQ(r.second, u"UDP datagram send failed!");
    std::string got = "not received";
    ASSERT_TRUE(device.Receive(got));
    EXPECT_EQ(got, "");
    c.port.Close();
}
