#pragma once
// The operating system's datagram sockets as the UDP endpoint needs them: one non-blocking IPv4
// or dual-stack IPv6 socket, readiness delivered in the main thread, host look-up, and failure
// codes given as WinSock numbers so that the endpoint's error texts read the same on every
// platform.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace UdpSockets {

/// WinSock numbers the platform layer produces itself.
constexpr int32_t kWsaEInval = 10022;
constexpr int32_t kWsaEWouldBlock = 10035;
constexpr int32_t kWsaEMsgSize = 10040;
constexpr int32_t kWsaEConnRefused = 10061;

/// An IPv6 address in network order, with the scope (interface index) of a link-local one.
struct TIpv6Address {
    std::array<uint8_t, 16> byAddr{};
    uint32_t dwScope = 0;
};

/// The WinSock number for an errno value of a socket call; an errno without counterpart is
/// passed through unchanged (it then reads as "Not a WinSock error.").
int32_t WinSockCodeFromErrno(int iErrno);

/// The socket calls of the endpoint. Handles are small non-negative numbers; a failed call sets
/// the code that LastError() reports. The system implementation is the seam's real side, tests
/// supply their own.
class ISocketApi {
public:
    virtual ~ISocketApi() = default;

    /// A new IPv4 datagram socket for UDP, non-blocking; -1 on failure.
    virtual int32_t Create() = 0;
    /// A new IPv6 datagram socket that takes IPv4 as well; -1 on failure.
    virtual int32_t CreateDualStack() = 0;
    /// Binds to the any-address of the socket's family and `wPort` (host order).
    virtual bool Bind(int32_t hSocket, uint16_t wPort) = 0;
    /// Calls `fnReadable` from the main thread's event loop each time a datagram is waiting.
    /// The call must read one datagram, or it is called again at once.
    virtual bool Select(int32_t hSocket, std::function<void()> fnReadable) = 0;
    /// The socket's send (`bSend`) or receive buffer size in bytes.
    virtual bool GetBufferSize(int32_t hSocket, bool bSend, int32_t& iSize) = 0;
    /// Allows sending to broadcast addresses.
    virtual bool SetBroadcast(int32_t hSocket) = 0;
    /// Sends one datagram to `dwAddr` (network order) and `wPort` (host order); the count sent,
    /// -1 on failure. `bDontRoute` keeps it on directly attached networks.
    virtual int32_t SendTo(int32_t hSocket, const void* pData, int32_t iSize, uint32_t dwAddr,
                           uint16_t wPort, bool bDontRoute) = 0;
    /// Sends one datagram to an IPv6 address (on a dual-stack socket); as SendTo.
    virtual int32_t SendTo6(int32_t hSocket, const void* pData, int32_t iSize,
                            const TIpv6Address& addr, uint16_t wPort) = 0;
    /// Reads one datagram of at most `iMax` bytes; its length, or -1 on failure. A longer
    /// datagram is consumed and fails with kWsaEMsgSize instead of being delivered cut short.
    /// `sPeerIp` (dotted IPv4, or IPv6 text) and `wPort` (host order) name the sender. A
    /// readiness that turns out empty (a datagram the kernel dropped, e.g. for its checksum)
    /// fails with kWsaEWouldBlock. A destination that answered a datagram with "port
    /// unreachable" fails with kWsaEConnRefused, naming that destination.
    virtual int32_t RecvFrom(int32_t hSocket, void* pData, int32_t iMax, std::string& sPeerIp,
                             uint16_t& wPort) = 0;
    /// Stops the notifications and closes the socket.
    virtual void CloseSocket(int32_t hSocket) = 0;
    /// The WinSock number of the last failed call.
    virtual int32_t LastError() = 0;
    /// The last failed call with what it was made on and the system's text, for the user
    /// ("bind 0.0.0.0:47001: Address already in use"); empty when not known.
    virtual std::string LastFailure() const { return {}; }

    /// A dotted IPv4 address (network order), or all ones when `sHost` is none.
    virtual uint32_t InetAddr(const std::string& sHost) = 0;
    /// The first IPv4 address of host `sHost` (network order); false when it has none.
    virtual bool GetHostByName(const std::string& sHost, uint32_t& dwAddr) = 0;
    /// An IPv6 literal (a scope after "%" allowed) or the first IPv6 address of a host name;
    /// false with the resolver's text in `sError`.
    virtual bool ResolveIpv6(const std::string& sHost, TIpv6Address& addr, std::string& sError) = 0;
};

/// The operating system's sockets, with readiness through the main thread's event loop.
std::unique_ptr<ISocketApi> CreateSystemSocketApi();

} // namespace UdpSockets
