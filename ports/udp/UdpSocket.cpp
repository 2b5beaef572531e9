#include "ports/udp/UdpSocket.h"

#include "common/SysUtils.h"
#include "platform/UdpSockets.h"

namespace UdpSocket {

namespace {

constexpr uint32_t kAddrNone = 0xFFFFFFFFu;

} // namespace

TUdpSocket::TUdpSocket() : TUdpSocket(UdpSockets::CreateSystemSocketApi()) {}

TUdpSocket::TUdpSocket(std::unique_ptr<UdpSockets::ISocketApi> aApi) : fApi(std::move(aApi)) {}

TUdpSocket::~TUdpSocket() {
    if (Socket_IsBound)
        fApi->CloseSocket(Socket_Handle);
    Socket_IsBound = false;
}

void TUdpSocket::Report(const std::u16string& sMsg) {
    if (FOnError)
        FOnError(sMsg);
}

bool TUdpSocket::Start(uint16_t aListeningPort, bool bDualStack) {
    Buffer.resize(kUdpMaxPayload);
    Socket_Handle = bDualStack ? fApi->CreateDualStack() : fApi->Create();
    if (Socket_Handle < 0) {
        Report(u"Start: Cannot Create Socket.");
        return false;
    }
    if (!fApi->Bind(Socket_Handle, aListeningPort)) {
        Report(u"Start: Cannot Bind Socket.");
        fApi->CloseSocket(Socket_Handle);
        Socket_IsBound = false;
        return false;
    }
    if (!fApi->Select(Socket_Handle, [this] { SocketReadable(); })) {
        Report(u"Start: Cannot Select Socket.");
        fApi->CloseSocket(Socket_Handle);
        Socket_IsBound = false;
        return false;
    }
    Socket_IsBound = true;
    for (bool bSend : {true, false}) {
        int32_t iSize = 0;
        if (fApi->GetBufferSize(Socket_Handle, bSend, iSize) && iSize < MaxLength)
            MaxLength = iSize;
    }
    fApi->SetBroadcast(Socket_Handle);
    return true;
}

int32_t TUdpSocket::SendData(const std::u16string& aHost, uint16_t aPort, const void* aBuffer,
                             int32_t aSize) {
    if (aHost.empty()) {
        Report(u"SendData: No Host Specified.");
        return 0;
    }
    if (!Socket_IsBound) {
        Report(u"SendData: Socket Not Bound.");
        return 0;
    }
    if (aSize > MaxLength) {
        Report(u"SendData: Packet Too Big (" + SysUtils::IntToStr(MaxLength) + u" Bytes Max).");
        return 0;
    }
    std::string sName = SysUtils::ToUtf8(aHost);
    UdpSockets::TIpv6Address addr6;
    std::string sError;
    // An IPv6 literal is never tried as a name: its resolver text is what the user needs.
    if (sName.find(':') != std::string::npos) {
        if (!fApi->ResolveIpv6(sName, addr6, sError)) {
            Report(u"SendData: " + SysUtils::FromUtf8(sError));
            return 0;
        }
        return SendReported6(aBuffer, aSize, addr6, aPort);
    }
    uint32_t dwAddr = ResolveHost(*fApi, aHost);
    if (dwAddr == kAddrNone) {
        if (fApi->ResolveIpv6(sName, addr6, sError))
            return SendReported6(aBuffer, aSize, addr6, aPort);
        Report(u"SendData: Host Not Found.");
        return 0;
    }
    return SendReported(u"SendData: ", aBuffer, aSize, dwAddr, aPort, false);
}

int32_t TUdpSocket::SendReported6(const void* aBuffer, int32_t aSize,
                                  const UdpSockets::TIpv6Address& addr, uint16_t aPort) {
    int32_t iSent = fApi->SendTo6(Socket_Handle, aBuffer, aSize, addr, aPort);
    if (iSent < 0) {
        Report(u"SendData: " + WinSockErrorText(fApi->LastError()));
        return 0;
    }
    return iSent;
}

bool TUdpSocket::IsIpv6Host(const std::u16string& aHost) {
    std::string sName = SysUtils::ToUtf8(aHost);
    if (sName.find(':') != std::string::npos)
        return true;
    UdpSockets::TIpv6Address addr6;
    std::string sError;
    return !aHost.empty() && ResolveHost(*fApi, aHost) == kAddrNone &&
           fApi->ResolveIpv6(sName, addr6, sError);
}

std::string TUdpSocket::AddressText(const std::u16string& aHost) {
    std::string sName = SysUtils::ToUtf8(aHost);
    UdpSockets::TIpv6Address addr6;
    std::string sError;
    if (sName.find(':') == std::string::npos) {
        if (uint32_t dwAddr = ResolveHost(*fApi, aHost); dwAddr != kAddrNone)
            return IpToStr(dwAddr);
    }
    return fApi->ResolveIpv6(sName, addr6, sError) ? Ipv6ToStr(addr6) : std::string();
}

int32_t TUdpSocket::Broadcast(uint16_t aPort, const void* aBuffer, int32_t aSize, bool bLocal) {
    if (!Socket_IsBound) {
        Report(u"Broadcast: Socket Not Bound.");
        return 0;
    }
    if (aSize > kBroadcastMax) {
        Report(u"Broadcast: Packet Too Big (512 Bytes Max).");
        return 0;
    }
    return SendReported(u"Broadcast: ", aBuffer, aSize, kAddrNone, aPort, bLocal);
}

int32_t TUdpSocket::SendReported(const char16_t* sCaller, const void* aBuffer, int32_t aSize,
                                 uint32_t dwAddr, uint16_t aPort, bool bDontRoute) {
    int32_t iSent = fApi->SendTo(Socket_Handle, aBuffer, aSize, dwAddr, aPort, bDontRoute);
    if (iSent < 0) {
        Report(sCaller + WinSockErrorText(fApi->LastError()));
        return 0;
    }
    return iSent;
}

void TUdpSocket::SocketReadable() {
    std::string sPeer;
    uint16_t wPort = 0;
    int32_t iSize = fApi->RecvFrom(Socket_Handle, Buffer.data(),
                                   static_cast<int32_t>(Buffer.size()), sPeer, wPort);
    if (iSize >= 0) {
        if (FOnReceive)
            FOnReceive(sPeer, wPort, Buffer, iSize);
    } else {
        int32_t iCode = fApi->LastError();
        if (iCode == UdpSockets::kWsaEConnRefused && FOnRefused && !sPeer.empty()) {
            FOnRefused(sPeer, wPort);
            return;
        }
        // Readiness without a datagram is nothing to report: no datagram was lost.
        if (iCode != UdpSockets::kWsaEWouldBlock)
            Report(u"OnReceive: " + WinSockErrorText(iCode));
    }
}

std::string TUdpSocket::TakeQueued() {
    std::string sData;
    if (!Socket_IsBound)
        return sData;
    for (int i = 0; i < 256; ++i) {
        std::string sPeer;
        uint16_t wPort = 0;
        int32_t iSize = fApi->RecvFrom(Socket_Handle, Buffer.data(),
                                       static_cast<int32_t>(Buffer.size()), sPeer, wPort);
        if (iSize >= 0)
            sData.append(reinterpret_cast<const char*>(Buffer.data()), static_cast<size_t>(iSize));
        else if (fApi->LastError() != UdpSockets::kWsaEMsgSize)
            break;
    }
    return sData;
}

std::string IpToStr(uint32_t dwAddr) {
    // The address is in network order: its first byte in memory is the first octet.
    const auto* b = reinterpret_cast<const uint8_t*>(&dwAddr);
    std::string s;
    for (int i = 0; i < 4; ++i) {
        if (i > 0)
            s += '.';
        s += std::to_string(b[i]);
    }
    return s;
}

std::string Ipv6ToStr(const UdpSockets::TIpv6Address& addr) {
    // The shortest form: the longest run of two or more zero groups becomes "::".
    uint16_t g[8];
    for (size_t i = 0; i < 8; ++i)
        g[i] = static_cast<uint16_t>(addr.byAddr[2 * i] << 8 | addr.byAddr[2 * i + 1]);
    int best = -1, bestLen = 1;
    for (int i = 0; i < 8;) {
        int j = i;
        while (j < 8 && g[j] == 0)
            ++j;
        if (j - i > bestLen) {
            best = i;
            bestLen = j - i;
        }
        i = j > i ? j : i + 1;
    }
    static const char kHex[] = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < 8; ++i) {
        if (i == best) {
            s += "::";
            i += bestLen - 1;
            continue;
        }
        if (!s.empty() && s.back() != ':')
            s += ':';
        bool lead = true;
        for (int shift = 12; shift >= 0; shift -= 4) {
            int d = (g[i] >> shift) & 0xF;
            if (d == 0 && lead && shift > 0)
                continue;
            lead = false;
            s += kHex[d];
        }
    }
    return s;
}

uint32_t ResolveHost(UdpSockets::ISocketApi& aApi, const std::u16string& sHost) {
    std::string sName = SysUtils::ToUtf8(sHost);
    uint32_t dwAddr = aApi.InetAddr(sName);
    if (dwAddr == kAddrNone) {
        uint32_t dwFound = 0;
        if (aApi.GetHostByName(sName, dwFound))
            dwAddr = dwFound;
    }
    return dwAddr;
}

uint32_t ResolveHost(const std::u16string& sHost) {
    std::unique_ptr<UdpSockets::ISocketApi> api = UdpSockets::CreateSystemSocketApi();
    return ResolveHost(*api, sHost);
}

std::u16string WinSockErrorText(int32_t iCode) {
    struct Entry {
        int32_t code;
        const char16_t* text;
    };
    static const Entry kTable[] = {
        {10004, u"Interrupted system call"},
        {10009, u"Bad file number"},
        {10013, u"Permission denied"},
        {10014, u"Bad address"},
        {10022, u"Invalid argument"},
        {10024, u"Too many open files"},
        {10035, u"Operation would block"},
        {10036, u"Operation now in progress"},
        {10037, u"Operation already in progress"},
        {10038, u"Socket operation on non-socket"},
        {10039, u"Destination address required"},
        {10040, u"Message too long"},
        {10041, u"Protocol wrong type for socket"},
        {10042, u"Protocol not available"},
        {10043, u"Protocol not supported"},
        {10044, u"Socket type not supported"},
        {10045, u"Operation not supported on socket"},
        {10046, u"Protocol family not supported"},
        {10047, u"Address family not supported by protocol family"},
        {10048, u"Address already in use"},
        {10049, u"Can't assign requested address"},
        {10050, u"Network is down"},
        {10051, u"Network is unreachable"},
        {10052, u"Network dropped connection on reset"},
        {10053, u"Software caused connection abort"},
        {10054, u"Connection reset by peer"},
        {10055, u"No buffer space available"},
        {10056, u"Socket is already connected"},
        {10057, u"Socket is not connected"},
        {10058, u"Can't send after socket shutdown"},
        {10059, u"Too many references: can't splice"},
        {10060, u"Connection timed out"},
        {10061, u"Connection refused"},
        {10062, u"Too many levels of symbolic links"},
        {10063, u"File name too long"},
        {10064, u"Host is down"},
        {10065, u"No route to host"},
        {10066, u"Directory not empty"},
        {10067, u"Too many processes"},
        {10068, u"Too many users"},
        {10069, u"Disc quota exceeded"},
        {10070, u"Stale NFS file handle"},
        {10071, u"Too many levels of remote in path"},
        {10091, u"Network sub-system is unusable"},
        {10092, u"WinSock DLL cannot support this application"},
        {10093, u"WinSock not initialized"},
        {11001, u"Host not found"},
        {11002, u"Non-authoritative host not found"},
        {11003, u"Non-recoverable error"},
        {11004, u"No Data"},
    };
    for (const Entry& e : kTable)
        if (e.code == iCode)
            return e.text;
    return u"Not a WinSock error.";
}

std::string TUdpSocket::LastFailure() const {
    return fApi->LastFailure();
}

} // namespace UdpSocket
