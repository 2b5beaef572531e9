#pragma once
// The UDP port kind: each telegram goes out as one datagram to a fixed destination (IPv4 or
// IPv6), and the datagrams arriving on the local listening port are received data: from any
// sender, or only from the destination's host or the destination itself (AcceptFrom).

#include "ports/PortBase.h"
#include "ports/udp/UdpSocket.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace PortUdp {

using UdpSocket::TUdpSocket;

/// Which senders' datagrams count as received data.
enum TAcceptFrom : uint8_t { afAny, afHost, afDestination };

/// The AcceptFrom value of `sValue` (case ignored); false when it is none of the three words.
bool ParseAcceptFrom(const std::u16string& sValue, TAcceptFrom& eAccept);

class TPortUdp : public PortBase::TPortBase {
public:
    /// Makes the socket an Open uses; tests put a socket on fake calls here.
    using TSocketFactory = std::function<std::unique_ptr<TUdpSocket>()>;

    /// No socket yet; sockets on the operating system's calls.
    TPortUdp(const std::u16string& sTelegramStart, const std::u16string& sTelegramEnd);
    TPortUdp(const std::u16string& sTelegramStart, const std::u16string& sTelegramEnd,
             TSocketFactory aSocketFactory);
    /// Frees the socket without OnClosed.
    ~TPortUdp() override;

    /// Reads [DEVICE] DestAddress, DestPort and ListeningPort in this order; raises EMsg
    /// 0xF4010A, 0xF40114 or 0xF4011E for the first missing or invalid one (ports must be
    /// 1..65535). Keys before it stay stored. Then AcceptFrom (EMsg 0xF40128 for a value other
    /// than Any, Host or Destination).
    void Init(const IniFiles::TMemIniFile& aMemIni) override;
    /// True while a socket object exists, also after a failed Open, until Close.
    bool Active() override;
    /// Binds the listening port (dual-stack when the destination is IPv6) and fires OnOpened;
    /// raises EMsg 0xF4020A "UDP port open failed!" after the socket logged why. When active: a
    /// hint, nothing else. A destination that refuses a datagram later is logged at Error and
    /// fires OnError.
    void Open() override;
    /// Waits 100 ms (blocking the main thread), frees the socket, then fires OnClosed, also when
    /// nothing was open.
    void Close() override;

    const std::u16string& DestAddress() const { return fsDestAddress; }
    uint16_t DestPort() const { return fwDestPort; }
    uint16_t ListeningPort() const { return fwListeningPort; }
    /// The socket's last error text; empty until the first.
    const std::u16string& SocketErrorText() const { return fsSocketErrorText; }

protected:
    /// Sends the stream as one datagram; raises EMsg 0xF40314 without a socket, 0xF4030A "UDP
    /// datagram send failed!" + the socket's text when it was not sent.
    void SendStream(Classes::TMemoryStream& msTxData) override;
    /// Every datagram already queued on the socket.
    std::string TakeStaleInput() override;

private:
    bool SetListeningPort(int32_t iPort);
    void UdpReceive(const std::string& sPeerIp, uint16_t wPeerPort, UdpSocket::TUdpBuffer& aBuffer,
                    int32_t iSize);
    void UdpError(const std::u16string& sMsg);
    void UdpRefused(const std::string& sIp, uint16_t wPort);
    /// The failed socket call for the user ("bind 0.0.0.0:47001: Address already in use").
    std::u16string FailureHint() const;

    TSocketFactory fSocketFactory;
    std::unique_ptr<TUdpSocket> fUdp;
    std::u16string fsDestAddress;
    uint16_t fwDestPort = 0;
    uint16_t fwListeningPort = 0;
    TAcceptFrom feAcceptFrom = afAny;
    std::string fsDestIp; ///< the destination's address text, once looked up
    std::u16string fsSocketErrorText;
};

} // namespace PortUdp
