#pragma once
// A small UDP endpoint: one datagram socket bound to a local port on all interfaces, allowed to
// broadcast, sending to a host given by name or dotted address and delivering every received
// datagram through an event in the main thread. Every failure is reported as a text through
// OnError together with a zero or false result; nothing is raised.

#include "common/Classes.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace UdpSockets {
class ISocketApi;
}

namespace UdpSocket {

using Classes::TObject;

constexpr int32_t kUdpBufferSize = 8192;
constexpr int32_t kBroadcastMax = 512;

/// The receive buffer, reused for every datagram.
using TUdpBuffer = std::array<uint8_t, kUdpBufferSize>;

/// A datagram arrived: the sender's dotted address and port (host order), the socket's own
/// Buffer, and the number of valid bytes at its start. Copy what you need before returning.
using TNotifyUdpReceive = std::function<void(const std::string& sPeerIp, uint16_t wPeerPort,
                                             TUdpBuffer& aBuffer, int32_t iSize)>;
/// A failure, as a text such as "SendData: Host Not Found.".
using TNotifyUdpError = std::function<void(const std::u16string& sMsg)>;

class TUdpSocket : public TObject {
public:
    /// Unbound, on the operating system's sockets; MaxLength 8192.
    TUdpSocket();
    /// Unbound, on the given socket calls (tests).
    explicit TUdpSocket(std::unique_ptr<UdpSockets::ISocketApi> aApi);
    /// Closes the socket when bound.
    ~TUdpSocket() override;
    TUdpSocket(const TUdpSocket&) = delete;
    TUdpSocket& operator=(const TUdpSocket&) = delete;

    /// Binds to 0.0.0.0:`aListeningPort`, starts receiving, lowers MaxLength to the socket's
    /// buffer sizes and allows broadcasts. Call once per object. False after reporting
    /// "Start: Cannot Create Socket.", "Start: Cannot Bind Socket." or "Start: Cannot Select
    /// Socket.".
    bool Start(uint16_t aListeningPort);
    /// Sends `aSize` bytes as one datagram to `aHost` (dotted address or host name) and `aPort`.
    /// Returns the count sent, or 0 after reporting why.
    int32_t SendData(const std::u16string& aHost, uint16_t aPort, const void* aBuffer,
                     int32_t aSize);
    /// Sends at most 512 bytes to 255.255.255.255:`aPort`, only on attached networks when
    /// `bLocal`. Returns the count sent, or 0 after reporting why.
    int32_t Broadcast(uint16_t aPort, const void* aBuffer, int32_t aSize, bool bLocal);

    const TNotifyUdpReceive& OnReceive() const { return FOnReceive; }
    void SetOnReceive(TNotifyUdpReceive e) { FOnReceive = std::move(e); }
    const TNotifyUdpError& OnError() const { return FOnError; }
    void SetOnError(TNotifyUdpError e) { FOnError = std::move(e); }

    /// Reads every datagram waiting on the socket, without events, and returns their bytes one
    /// after the other (at most 256 datagrams).
    std::string TakeQueued();

    bool IsBound() const { return Socket_IsBound; }
    /// The last failed socket call, what it was made on and the system's text; empty when not
    /// known.
    std::string LastFailure() const;

    /// Largest datagram sent or received.
    int32_t MaxLength = kUdpBufferSize;
    TUdpBuffer Buffer{};

private:
    /// One datagram is waiting: reads exactly that one.
    void SocketReadable();
    void Report(const std::u16string& sMsg);
    /// Sends one datagram; a failure is reported as `sCaller` + the socket error's text and
    /// answered with 0.
    int32_t SendReported(const char16_t* sCaller, const void* aBuffer, int32_t aSize,
                         uint32_t dwAddr, uint16_t aPort, bool bDontRoute);

    std::unique_ptr<UdpSockets::ISocketApi> fApi;
    bool Socket_IsBound = false;
    int32_t Socket_Handle = -1;
    TNotifyUdpReceive FOnReceive;
    TNotifyUdpError FOnError;
};

/// An IPv4 address as stored in a socket address (network order) as dotted decimal.
std::string IpToStr(uint32_t dwAddr);
/// `sHost` as dotted address, else looked up by name; all ones (255.255.255.255) when neither.
uint32_t ResolveHost(const std::u16string& sHost);
uint32_t ResolveHost(UdpSockets::ISocketApi& aApi, const std::u16string& sHost);
/// The text of a WinSock error code, "Not a WinSock error." for others.
std::u16string WinSockErrorText(int32_t iCode);

} // namespace UdpSocket
