#include "ports/udp/EasyUdp.h"

#include "TestUtils.h"
#include "ports/udp/UdpTestUtils.h"

#include <cerrno>
#include <gtest/gtest.h>

using namespace EasyUdp;
using UdpTest::FakeSocketApi;
using UdpTest::FakeState;
using UdpTest::Peer;

namespace {

/// A socket whose texts and datagrams are kept.
struct Recorded {
    explicit Recorded(std::unique_ptr<TUdpSocket> s) : udp(std::move(s)) {
        udp->SetOnError([this](const std::u16string& m) { errors.push_back(m); });
        udp->SetOnReceive([this](const std::string& ip, uint16_t port, TUdpBuffer& b, int32_t n) {
            received.push_back({ip, port, std::string(reinterpret_cast<char*>(b.data()), n)});
            EXPECT_EQ(b.data(), udp->Buffer.data()); // the socket's own buffer, not a copy
        });
    }
    struct Datagram {
        std::string ip;
        uint16_t port;
        std::string bytes;
    };
    std::unique_ptr<TUdpSocket> udp;
    std::vector<std::u16string> errors;
    std::vector<Datagram> received;
};

Recorded OnFake(FakeState& st) {
    return Recorded(std::make_unique<TUdpSocket>(std::make_unique<FakeSocketApi>(st)));
}

} // namespace

TEST(EasyUdpStart, EachFailingStepReportsItsTextAndClosesWhatItOpened) {
    {
        FakeState st;
        st.createFails = true;
        Recorded r = OnFake(st);
        EXPECT_FALSE(r.udp->Start(5000));
        EXPECT_EQ(r.errors, std::vector<std::u16string>{u"Start: Cannot Create Socket."});
        EXPECT_TRUE(st.closed.empty());
    }
    {
        FakeState st;
        st.bindFails = true;
        Recorded r = OnFake(st);
        EXPECT_FALSE(r.udp->Start(5000));
        EXPECT_EQ(r.errors, std::vector<std::u16string>{u"Start: Cannot Bind Socket."});
        EXPECT_EQ(st.closed, std::vector<int32_t>{7});
        r.udp.reset(); // a failed start is not closed a second time
        EXPECT_EQ(st.closed.size(), 1u);
    }
    {
        FakeState st;
        st.selectFails = true;
        Recorded r = OnFake(st);
        EXPECT_FALSE(r.udp->Start(5000));
        EXPECT_EQ(r.errors, std::vector<std::u16string>{u"Start: Cannot Select Socket."});
        EXPECT_EQ(st.closed, std::vector<int32_t>{7});
        EXPECT_EQ(r.udp->SendData(u"127.0.0.1", 1, "x", 1), 0);
        EXPECT_EQ(r.errors.back(), u"SendData: Socket Not Bound.");
    }
}

TEST(EasyUdpStart, MaxLengthIsTheSmallestOfBufferAndBothSocketBuffers) {
    FakeState st;
    st.sendBuffer = 4096;
    st.recvBuffer = 2048;
    Recorded r = OnFake(st);
    EXPECT_EQ(r.udp->MaxLength, 8192);
    ASSERT_TRUE(r.udp->Start(5000));
    EXPECT_EQ(r.udp->MaxLength, 2048);
    EXPECT_TRUE(st.broadcastAllowed);
    r.udp.reset();
    EXPECT_EQ(st.closed, std::vector<int32_t>{7});
}

TEST(EasyUdpSend, ChecksInOrderAndNamesTheSocketError) {
    FakeState st;
    Recorded r = OnFake(st);
    // Unbound, but the missing host is named first.
    EXPECT_EQ(r.udp->SendData(u"", 1, "x", 1), 0);
    EXPECT_EQ(r.udp->SendData(u"10.0.0.1", 1, "x", 1), 0);
    ASSERT_TRUE(r.udp->Start(5000));
    std::string big(8193, 'a');
    EXPECT_EQ(r.udp->SendData(u"10.0.0.1", 1, big.data(), 8193), 0);
    EXPECT_EQ(r.udp->SendData(u"no.such.host", 1, "x", 1), 0);
    EXPECT_EQ(r.udp->SendData(u"255.255.255.255", 1, "x", 1), 0);
    st.sendFails = true;
    st.errorCode = 10051;
    EXPECT_EQ(r.udp->SendData(u"10.0.0.1", 1, "x", 1), 0);
    EXPECT_EQ(r.errors,
              (std::vector<std::u16string>{
                  u"SendData: No Host Specified.", u"SendData: Socket Not Bound.",
                  u"SendData: Packet Too Big (8192 Bytes Max).", u"SendData: Host Not Found.",
                  u"SendData: Host Not Found.", u"SendData: Network is unreachable"}));
    EXPECT_TRUE(st.sent.empty());

    st.sendFails = false;
    EXPECT_EQ(r.udp->SendData(u"192.168.1.10", 6000, big.data(), 8192), 8192);
    EXPECT_EQ(r.udp->SendData(u"device.test", 6001, "ab", 2), 2);
    ASSERT_EQ(st.sent.size(), 2u);
    EXPECT_EQ(IpToStr(st.sent[0].addr), "192.168.1.10");
    EXPECT_EQ(st.sent[0].port, 6000);
    EXPECT_FALSE(st.sent[0].dontRoute);
    EXPECT_EQ(IpToStr(st.sent[1].addr), "10.0.0.2");
    EXPECT_EQ(st.sent[1].bytes, "ab");
}

TEST(EasyUdpSend, BroadcastIsLimitedTo512BytesAndMayStayLocal) {
    FakeState st;
    Recorded r = OnFake(st);
    std::string data(513, 'b');
    EXPECT_EQ(r.udp->Broadcast(7, data.data(), 1, false), 0);
    ASSERT_TRUE(r.udp->Start(5000));
    EXPECT_EQ(r.udp->Broadcast(7, data.data(), 513, false), 0);
    EXPECT_EQ(r.udp->Broadcast(7, data.data(), 512, true), 512);
    st.sendFails = true;
    st.errorCode = 10013;
    EXPECT_EQ(r.udp->Broadcast(7, data.data(), 10, false), 0);
    EXPECT_EQ(r.errors, (std::vector<std::u16string>{u"Broadcast: Socket Not Bound.",
                                                     u"Broadcast: Packet Too Big (512 Bytes Max).",
                                                     u"Broadcast: Permission denied"}));
    ASSERT_EQ(st.sent.size(), 1u);
    EXPECT_EQ(st.sent[0].addr, 0xFFFFFFFFu);
    EXPECT_EQ(st.sent[0].port, 7);
    EXPECT_TRUE(st.sent[0].dontRoute);
}

TEST(EasyUdpReceive, EachNotificationReadsOneDatagramAndFailuresAreReported) {
    FakeState st;
    Recorded r = OnFake(st);
    ASSERT_TRUE(r.udp->Start(5000));
    st.errorCode = UdpSockets::kWsaEWouldBlock;
    st.readable(); // readiness without a datagram: nothing lost, nothing to report
    EXPECT_TRUE(r.errors.empty());
    st.incoming = {"one", "", std::string(8193, 'z'), "two"};
    st.readable();
    EXPECT_EQ(r.received.size(), 1u);
    EXPECT_EQ(st.incoming.size(), 3u);
    st.readable();
    st.readable();
    st.readable();
    ASSERT_EQ(r.received.size(), 3u);
    EXPECT_EQ(r.received[0].bytes, "one");
    EXPECT_EQ(r.received[0].ip, "192.168.1.10");
    EXPECT_EQ(r.received[0].port, 4000);
    EXPECT_EQ(r.received[1].bytes, "");
    EXPECT_EQ(r.received[2].bytes, "two");
    EXPECT_EQ(r.errors, std::vector<std::u16string>{u"OnReceive: Message too long"});
}

TEST(EasyUdpText, ErrorTextsAddressesAndErrnoTranslation) {
    EXPECT_EQ(WinSockErrorText(10004), u"Interrupted system call");
    EXPECT_EQ(WinSockErrorText(10048), u"Address already in use");
    EXPECT_EQ(WinSockErrorText(10071), u"Too many levels of remote in path");
    EXPECT_EQ(WinSockErrorText(10091), u"Network sub-system is unusable");
    EXPECT_EQ(WinSockErrorText(11004), u"No Data");
    EXPECT_EQ(WinSockErrorText(0), u"Not a WinSock error.");
    EXPECT_EQ(WinSockErrorText(10072), u"Not a WinSock error.");
    int known = 0;
    for (int32_t code = 10000; code < 11100; ++code)
        known += WinSockErrorText(code) != u"Not a WinSock error." ? 1 : 0;
    EXPECT_EQ(known, 50);

    using UdpSockets::WinSockCodeFromErrno;
    EXPECT_EQ(WinSockCodeFromErrno(ENETUNREACH), 10051);
    EXPECT_EQ(WinSockCodeFromErrno(EADDRINUSE), 10048);
    EXPECT_EQ(WinSockCodeFromErrno(ECONNREFUSED), 10061);
    EXPECT_EQ(WinSockCodeFromErrno(EMSGSIZE), 10040);
    EXPECT_EQ(WinSockCodeFromErrno(EAGAIN), 10035);
    EXPECT_EQ(WinSockCodeFromErrno(EACCES), 10013);
    EXPECT_EQ(WinSockCodeFromErrno(EHOSTUNREACH), 10065);

    EXPECT_EQ(IpToStr(htonl(0x7F000001)), "127.0.0.1");
    EXPECT_EQ(IpToStr(htonl(0x0A00FF00)), "10.0.255.0");
    EXPECT_EQ(ResolveHost(u"127.0.0.1"), htonl(0x7F000001));
    EXPECT_EQ(ResolveHost(u"localhost"), htonl(0x7F000001));
    EXPECT_EQ(ResolveHost(u"no-such-host.invalid"), 0xFFFFFFFFu);
    EXPECT_EQ(ResolveHost(u"255.255.255.255"), 0xFFFFFFFFu);
    EXPECT_EQ(ResolveHost(std::u16string(u"127.0.0.1\0x", 11)), 0xFFFFFFFFu);
}

// On the operating system's sockets, over loopback.

TEST(EasyUdpLoopback, SendsAndReceivesWholeDatagramsUpToMaxLength) {
    Peer peer;
    uint16_t port = UdpTest::FreePort();
    Recorded r(std::make_unique<TUdpSocket>());
    ASSERT_TRUE(r.udp->Start(port));
    ASSERT_EQ(r.udp->MaxLength, 8192);

    EXPECT_EQ(r.udp->SendData(u"127.0.0.1", peer.port, "ping", 4), 4);
    std::string got;
    ASSERT_TRUE(peer.Receive(got));
    EXPECT_EQ(got, "ping");
    std::string max(8192, '\xA5');
    EXPECT_EQ(r.udp->SendData(u"localhost", peer.port, max.data(), 8192), 8192);
    ASSERT_TRUE(peer.Receive(got));
    EXPECT_EQ(got, max);
    EXPECT_EQ(r.udp->SendData(u"127.0.0.1", peer.port, max.data(), 8193), 0);
    EXPECT_EQ(r.errors, std::vector<std::u16string>{u"SendData: Packet Too Big (8192 Bytes Max)."});
    EXPECT_EQ(r.udp->Broadcast(peer.port, max.data(), 513, false), 0);
    r.errors.clear();

    peer.SendTo(port, "pong");
    peer.SendTo(port, "");
    peer.SendTo(port, max);
    peer.SendTo(port, max + "!"); // one byte too long: reported, never delivered cut short
    peer.SendTo(port, "last");
    ASSERT_TRUE(UdpTest::PumpUntil([&] { return r.received.size() >= 4; }));
    ASSERT_EQ(r.received.size(), 4u);
    EXPECT_EQ(r.received[0].bytes, "pong");
    EXPECT_EQ(r.received[0].ip, "127.0.0.1");
    EXPECT_EQ(r.received[0].port, peer.port);
    EXPECT_EQ(r.received[1].bytes, "");
    EXPECT_EQ(r.received[2].bytes, max);
    EXPECT_EQ(r.received[3].bytes, "last");
    EXPECT_EQ(r.errors, std::vector<std::u16string>{u"OnReceive: Message too long"});
}

TEST(EasyUdpLoopback, SystemErrorsReadAsTheirWinSockTexts) {
    Recorded r(std::make_unique<TUdpSocket>());
    ASSERT_TRUE(r.udp->Start(UdpTest::FreePort()));
    EXPECT_EQ(r.udp->SendData(u"127.0.0.1", 0, "x", 1), 0); // port 0 cannot be sent to
    EXPECT_EQ(r.errors, std::vector<std::u16string>{u"SendData: Invalid argument"});
}

TEST(EasyUdpLoopback, PortInUseFailsTheBindAndLeavesTheSocketUnbound) {
    Recorded first(std::make_unique<TUdpSocket>());
    uint16_t port = UdpTest::FreePort();
    ASSERT_TRUE(first.udp->Start(port));
    Recorded second(std::make_unique<TUdpSocket>());
    EXPECT_FALSE(second.udp->Start(port));
    EXPECT_FALSE(second.udp->IsBound());
    EXPECT_EQ(second.errors, std::vector<std::u16string>{u"Start: Cannot Bind Socket."});
}

TEST(EasyUdpLoopback, SocketFreedFromItsOwnReceiveHandlerIsSafe) {
    Peer peer;
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
    ASSERT_TRUE(UdpTest::PumpUntil([&] { return calls > 0; }));
    UdpTest::Pump(50);
    EXPECT_EQ(calls, 1);
}
