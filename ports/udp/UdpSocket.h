#pragma once
// A small UDP endpoint: one datagram socket bound to a local port on all interfaces, allowed to
// broadcast, sending to a host given by name, dotted address or IPv6 literal and delivering every
// received datagram through an event in the main thread. Every failure is reported as a text
// through OnError together with a zero or false result; nothing is raised.

#include "common/Classes.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace UdpSockets {
class ISocketApi;
struct TIpv6Address;
} // namespace UdpSockets

namespace UdpSocket {

using Classes::TObject;

/// The largest datagram sent.
constexpr int32_t kUdpBufferSize = 8192;
/// The largest UDP payload (over IPv6; 65507 over IPv4): every datagram is received whole.
constexpr int32_t kUdpMaxPayload = 65527;
constexpr int32_t kBroadcastMax = 512;

/// The receive buffer, sized once at Start and reused for every datagram.
using TUdpBuffer = std::vector<uint8_t>;

/// A datagram arrived: the sender's address (dotted IPv4 or IPv6 text) and port (host order),
/// the socket's own Buffer, and the number of valid bytes at its start. Copy what you need
/// before returning.
using TNotifyUdpReceive = std::function<void(const std::string& sPeerIp, uint16_t wPeerPort,
                                             TUdpBuffer& aBuffer, int32_t iSize)>;
/// A failure, as a text such as "SendData: Host Not Found.".
using TNotifyUdpError = std::function<void(const std::u16string& sMsg)>;
/// A destination answered a datagram with "port unreachable": its address and port.
using TNotifyUdpRefused = std::function<void(const std::string& sIp, uint16_t wPort)>;

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

    /// Binds to 0.0.0.0:`aListeningPort` (with `bDualStack`, [::]: IPv6 and IPv4), starts
    /// receiving, lowers MaxLength to the socket's buffer sizes and allows broadcasts. Call once
    /// per object. False after reporting "Start: Cannot Create Socket.", "Start: Cannot Bind
    /// Socket." or "Start: Cannot Select Socket.".
    bool Start(uint16_t aListeningPort, bool bDualStack = false);
    /// Whether datagrams to `aHost` go over IPv6: an IPv6 literal, or a name with IPv6 addresses
    /// only (a name with an IPv4 address keeps it, as it always did).
    bool IsIpv6Host(const std::u16string& aHost);
    /// The address `aHost` stands for, as a datagram's sender is given; empty when unknown.
    std::string AddressText(const std::u16string& aHost);
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
    /// Without a handler a refused destination is reported as "OnReceive: Connection refused".
    void SetOnRefused(TNotifyUdpRefused e) { FOnRefused = std::move(e); }

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
    int32_t SendReported6(const void* aBuffer, int32_t aSize, const UdpSockets::TIpv6Address& addr,
                          uint16_t aPort);

    std::unique_ptr<UdpSockets::ISocketApi> fApi;
    bool Socket_IsBound = false;
    int32_t Socket_Handle = -1;
    TNotifyUdpReceive FOnReceive;
    TNotifyUdpError FOnError;
    TNotifyUdpRefused FOnRefused;
};

/// An IPv4 address as stored in a socket address (network order) as dotted decimal.
std::string IpToStr(uint32_t dwAddr);
/// An IPv6 address in its shortest text form ("::1", "fe80::1"), without the scope.
std::string Ipv6ToStr(const UdpSockets::TIpv6Address& addr);
/// `sHost` as dotted address, else looked up by name for IPv4; all ones (255.255.255.255) when
/// neither.
uint32_t ResolveHost(const std::u16string& sHost);
uint32_t ResolveHost(UdpSockets::ISocketApi& aApi, const std::u16string& sHost);
/// The text of a WinSock error code, "Not a WinSock error." for others.
std::u16string WinSockErrorText(int32_t iCode);

} // namespace UdpSocket
