#include "ports/udp/UdpSocket.h"

#include "TestUtils.h"
#include "ports/udp/UdpTestUtils.h"

#include <algorithm>
#include <cerrno>
#include <gtest/gtest.h>

using namespace UdpSocket;
using Texts = std::vector<std::u16string>;

namespace {

/// A socket (on fake calls when given a state) whose texts and datagrams are kept.
struct Recorded {
    explicit Recorded(UdpTest::FakeState* st = nullptr)
        : udp(st ? std::make_unique<TUdpSocket>(std::make_unique<UdpTest::FakeSocketApi>(*st))
                 : std::make_unique<TUdpSocket>()) {
        udp->SetOnError([this](const std::u16string& m) { errors.push_back(m); });
        udp->SetOnReceive([this](const std::string& ip, uint16_t port, TUdpBuffer& b, int32_t n) {
            EXPECT_EQ(b.data(), udp->Buffer.data()); // the socket's own buffer, not a copy
            received.push_back(ip + ":" + std::to_string(port) + " " +
                               std::string(reinterpret_cast<char*>(b.data()), n));
        });
    }
    Recorded(const Recorded&) = delete;
    std::unique_ptr<TUdpSocket> udp;
    Texts errors;
    std::vector<std::string> received;
};

} // namespace

TEST(UdpSocketStart, EachFailingStepReportsItsTextAndClosesWhatItOpened) {
    const std::pair<bool UdpTest::FakeState::*, const char16_t*> steps[] = {
        {&UdpTest::FakeState::createFails, u"Start: Cannot Create Socket."},
        {&UdpTest::FakeState::bindFails, u"Start: Cannot Bind Socket."},
        {&UdpTest::FakeState::selectFails, u"Start: Cannot Select Socket."},
    };
    for (const auto& [fails, text] : steps) {
        UdpTest::FakeState st;
        st.*fails = true;
        auto r = std::make_unique<Recorded>(&st);
        EXPECT_FALSE(r->udp->Start(5000));
        EXPECT_EQ(r->udp->SendData(u"127.0.0.1", 1, "x", 1), 0);
        EXPECT_EQ(r->errors, (Texts{text, u"SendData: Socket Not Bound."}));
        r.reset(); // a failed start is not closed a second time
        EXPECT_EQ(st.closed.size(), st.createFails ? 0u : 1u) << SysUtils::ToUtf8(text);
    }
}

TEST(UdpSocketStart, MaxLengthIsTheSmallestOfBufferAndBothSocketBuffers) {
    UdpTest::FakeState st;
    st.sendBuffer = 4096;
    st.recvBuffer = 2048;
    Recorded r(&st);
    EXPECT_EQ(r.udp->MaxLength, 8192);
    ASSERT_TRUE(r.udp->Start(5000));
    EXPECT_EQ(r.udp->MaxLength, 2048);
}

TEST(UdpSocketSend, ChecksComeInOrderAndNameTheSocketError) {
    UdpTest::FakeState st;
    Recorded r(&st);
    std::string big(8193, 'a');
    EXPECT_EQ(r.udp->SendData(u"", 1, "x", 1), 0); // named before the unbound socket
    EXPECT_EQ(r.udp->Broadcast(7, "x", 1, false), 0);
    ASSERT_TRUE(r.udp->Start(5000));
    EXPECT_EQ(r.udp->SendData(u"10.0.0.1", 1, big.data(), 8193), 0);
    EXPECT_EQ(r.udp->SendData(u"no.such.host", 1, "x", 1), 0);
    EXPECT_EQ(r.udp->SendData(u"255.255.255.255", 1, "x", 1), 0);
    EXPECT_EQ(r.udp->Broadcast(7, big.data(), 513, false), 0);
    st.sendFails = true;
    st.errorCode = 10051;
    EXPECT_EQ(r.udp->SendData(u"10.0.0.1", 1, "x", 1), 0);
    EXPECT_EQ(r.udp->Broadcast(7, "x", 1, false), 0);
    EXPECT_EQ(r.errors,
              (Texts{u"SendData: No Host Specified.", u"Broadcast: Socket Not Bound.",
                     u"SendData: Packet Too Big (8192 Bytes Max).", u"SendData: Host Not Found.",
                     u"SendData: Host Not Found.", u"Broadcast: Packet Too Big (512 Bytes Max).",
                     u"SendData: Network is unreachable", u"Broadcast: Network is unreachable"}));
    EXPECT_TRUE(st.sent.empty());

    st.sendFails = false;
    EXPECT_EQ(r.udp->SendData(u"device.test", 6001, big.data(), 8192), 8192);
    EXPECT_EQ(r.udp->Broadcast(7, big.data(), 512, true), 512);
    ASSERT_EQ(st.sent.size(), 2u);
    EXPECT_EQ(IpToStr(st.sent[0].addr) + ":" + std::to_string(st.sent[0].port), "10.0.0.2:6001");
    EXPECT_FALSE(st.sent[0].dontRoute);
    EXPECT_EQ(IpToStr(st.sent[1].addr) + ":" + std::to_string(st.sent[1].port),
              "255.255.255.255:7");
    EXPECT_TRUE(st.sent[1].dontRoute);
}

TEST(UdpSocketReceive, EachNotificationReadsOneDatagram) {
    UdpTest::FakeState st;
    Recorded r(&st);
    ASSERT_TRUE(r.udp->Start(5000));
    st.errorCode = UdpSockets::kWsaEWouldBlock;
    st.readable(); // readiness without a datagram: nothing lost, nothing to report
    st.incoming = {"one", std::string(kUdpMaxPayload + 1, 'z'), "two"};
    st.readable();
    EXPECT_EQ(r.received, std::vector<std::string>{"192.168.1.10:4000 one"});
    st.readable();
    st.readable();
    EXPECT_EQ(r.received.size(), 2u);
    EXPECT_EQ(r.errors, Texts{u"OnReceive: Message too long"});
}

TEST(UdpSocketText, ErrorTextsAddressesAndErrnoTranslation) {
    EXPECT_EQ(WinSockErrorText(10004), u"Interrupted system call");
    EXPECT_EQ(WinSockErrorText(10071), u"Too many levels of remote in path");
    EXPECT_EQ(WinSockErrorText(10091), u"Network sub-system is unusable");
    EXPECT_EQ(WinSockErrorText(11004), u"No Data");
    EXPECT_EQ(WinSockErrorText(10072), u"Not a WinSock error.");
    int known = 0;
    for (int32_t code = 0; code < 12000; ++code)
        known += WinSockErrorText(code) != u"Not a WinSock error." ? 1 : 0;
    EXPECT_EQ(known, 50);

    using UdpSockets::WinSockCodeFromErrno;
    EXPECT_EQ(WinSockCodeFromErrno(ENETUNREACH), 10051);
    EXPECT_EQ(WinSockCodeFromErrno(EADDRINUSE), 10048);
    EXPECT_EQ(WinSockCodeFromErrno(ECONNREFUSED), 10061);
    EXPECT_EQ(WinSockCodeFromErrno(EMSGSIZE), 10040);
    EXPECT_EQ(WinSockCodeFromErrno(EAGAIN), 10035);

    EXPECT_EQ(IpToStr(htonl(0x0A00FF00)), "10.0.255.0");
    for (const auto& [bytes, text] : std::vector<std::pair<std::vector<uint8_t>, std::string>>{
             {{}, "::"},
             {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, "::1"},
             {{0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, "fe80::1"},
             {{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1}, "2001:db8:0:1::1"},
             {{0x20, 0x01, 0x0d, 0xb8, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1},
              "2001:db8:1:1:1:1:1:1"}}) {
        UdpSockets::TIpv6Address a;
        std::copy(bytes.begin(), bytes.end(), a.byAddr.begin());
        EXPECT_EQ(Ipv6ToStr(a), text);
    }
    EXPECT_EQ(ResolveHost(u"localhost"), htonl(0x7F000001));
    EXPECT_EQ(ResolveHost(u"no-such-host.invalid"), 0xFFFFFFFFu);
    EXPECT_EQ(ResolveHost(std::u16string(u"127.0.0.1\0x", 11)), 0xFFFFFFFFu);
}

// On the operating system's sockets, over loopback.

TEST(UdpSocketLoopback, WholeDatagramsUpToMaxLengthBothWays) {
    UdpTest::Peer peer;
    uint16_t port = UdpTest::FreePort();
    Recorded r;
    ASSERT_TRUE(r.udp->Start(port));
    ASSERT_EQ(r.udp->MaxLength, 8192);
    std::string max(8192, '\xA5');
    EXPECT_EQ(r.udp->SendData(u"127.0.0.1", peer.port, max.data(), 8192), 8192);
    EXPECT_EQ(peer.Receive(), max);
    EXPECT_EQ(r.udp->SendData(u"127.0.0.1", 0, "x", 1), 0); // errno EINVAL

    // Every datagram comes whole, up to the largest IPv4 payload, larger than what is sent.
    std::string largest(65507, '\x5A');
    peer.SendTo(port, "");
    peer.SendTo(port, max);
    peer.SendTo(port, largest);
    peer.SendTo(port, "last");
    ASSERT_TRUE(TestUtils::PumpUntil([&] { return r.received.size() >= 4; }));
    std::string from = "127.0.0.1:" + std::to_string(peer.port) + " ";
    EXPECT_EQ(r.received,
              (std::vector<std::string>{from, from + max, from + largest, from + "last"}));
    EXPECT_EQ(r.errors, (Texts{u"SendData: Invalid argument"}));

    Recorded second;
    EXPECT_FALSE(second.udp->Start(port)); // in use: no address reuse
    EXPECT_EQ(second.errors, Texts{u"Start: Cannot Bind Socket."});
}

TEST(UdpSocketLoopback, SocketFreedFromItsOwnReceiveHandlerIsSafe) {
    UdpTest::Peer peer;
    uint16_t port = UdpTest::FreePort();
    auto udp = std::make_unique<TUdpSocket>();
    int calls = 0;
    udp->SetOnReceive([&](const std::string&, uint16_t, TUdpBuffer&, int32_t) {
        ++calls;
        udp.reset();
    });
    ASSERT_TRUE(udp->Start(port));
    peer.SendTo(port, "a");
    peer.SendTo(port, "b");
    ASSERT_TRUE(TestUtils::PumpUntil([&] { return calls > 0; }));
    TestUtils::PumpUntil([] { return false; }, 50);
    EXPECT_EQ(calls, 1);
}
