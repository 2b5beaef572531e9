#include "ports/udp/PortUdp.h"

#include "common/IniFiles.h"
#include "common/MsgUtils.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <thread>
#include <utility>

namespace PortUdp {

using MsgUtils::EMsg;
using MsgUtils::TMsg;

namespace {

constexpr int32_t kMaxPortNumber = 65535;

// An address and port as the user writes them: IPv6 addresses in brackets.
std::u16string Endpoint(const std::string& sIp, uint16_t wPort) {
    std::string s = sIp.find(':') != std::string::npos ? "[" + sIp + "]" : sIp;
    return SysUtils::FromUtf8(s + ":" + std::to_string(wPort));
}

} // namespace

bool ParseAcceptFrom(const std::u16string& sValue, TAcceptFrom& eAccept) {
    const std::pair<const char16_t*, TAcceptFrom> kWords[] = {
        {u"Any", afAny}, {u"Host", afHost}, {u"Destination", afDestination}};
    for (const auto& [word, e] : kWords) {
        if (SysUtils::SameText(sValue, word)) {
            eAccept = e;
            return true;
        }
    }
    return false;
}

TPortUdp::TPortUdp(const std::u16string& sTelegramStart, const std::u16string& sTelegramEnd)
    : TPortUdp(sTelegramStart, sTelegramEnd, [] { return std::make_unique<TUdpSocket>(); }) {}

TPortUdp::TPortUdp(const std::u16string& sTelegramStart, const std::u16string& sTelegramEnd,
                   TSocketFactory aSocketFactory)
    : TPortBase(sTelegramStart, sTelegramEnd), fSocketFactory(std::move(aSocketFactory)) {}

TPortUdp::~TPortUdp() {
    SetListeningPort(0);
}

void TPortUdp::Init(const IniFiles::TMemIniFile& aMemIni) {
    fsDestAddress = aMemIni.ReadString(u"DEVICE", u"DestAddress", u"");
    if (fsDestAddress.empty())
        throw EMsg(u"No destination address defined!", 0xF4010A, 0);

    // A number above 65535 is refused rather than cut to 16 bits, which would quietly address
    // some other port.
    int32_t iPort = aMemIni.ReadInteger(u"DEVICE", u"DestPort", 0);
    if (iPort < 1 || iPort > kMaxPortNumber)
        throw EMsg(u"No destination port number defined!", 0xF40114, 0);
    fwDestPort = static_cast<uint16_t>(iPort);

    iPort = aMemIni.ReadInteger(u"DEVICE", u"ListeningPort", 0);
    if (iPort < 1 || iPort > kMaxPortNumber)
        throw EMsg(u"No listening/source port number defined!", 0xF4011E, 0);
    fwListeningPort = static_cast<uint16_t>(iPort);

    std::u16string sAccept = aMemIni.ReadString(u"DEVICE", u"AcceptFrom", u"Any");
    if (!ParseAcceptFrom(sAccept.empty() ? u"Any" : sAccept, feAcceptFrom))
        throw EMsg(u"Invalid AcceptFrom \"%s\" (Any, Host or Destination)!", {sAccept}, 0xF40128,
                   0);
}

bool TPortUdp::Active() {
    return fUdp != nullptr;
}

void TPortUdp::Open() {
    if (Active()) {
        TMsg::Hint(u"UDP port %d already open.", {static_cast<int>(fwListeningPort)}, 0);
        return;
    }
    if (!SetListeningPort(fwListeningPort)) {
        EMsg e(u"UDP port open failed!", 0xF4020A, 0);
        e.SetHint(FailureHint());
        throw e;
    }
    Fire(FOnOpened);
}

void TPortUdp::Close() {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    SetListeningPort(0);
    Fire(FOnClosed);
}

void TPortUdp::SendStream(Classes::TMemoryStream& msTxData) {
    TPortBase::SendStream(msTxData);
    if (!fUdp)
        throw EMsg(0xF40314, 0);
    // A stream beyond 32 bits must not wrap to a small size; the socket refuses it as too big.
    int64_t iSize = std::min<int64_t>(msTxData.Size(), INT32_MAX);
    int32_t iSent =
        fUdp->SendData(fsDestAddress, fwDestPort, msTxData.Memory(), static_cast<int32_t>(iSize));
    if (iSent < 1) {
        EMsg e(u"UDP datagram send failed!" + fsSocketErrorText, 0xF4030A, 0);
        e.SetHint(FailureHint());
        throw e;
    }
}

std::string TPortUdp::TakeStaleInput() {
    return fUdp ? fUdp->TakeQueued() : std::string();
}

std::u16string TPortUdp::FailureHint() const {
    return fUdp ? SysUtils::FromUtf8(fUdp->LastFailure()) : std::u16string();
}

bool TPortUdp::SetListeningPort(int32_t iPort) {
    if (iPort >= 1) {
        if (fUdp)
            return false;
        fUdp = fSocketFactory();
        fUdp->SetOnReceive(
            [this](const std::string& sPeerIp, uint16_t wPeerPort, UdpSocket::TUdpBuffer& aBuffer,
                   int32_t iSize) { UdpReceive(sPeerIp, wPeerPort, aBuffer, iSize); });
        fUdp->SetOnError([this](const std::u16string& sMsg) { UdpError(sMsg); });
        fUdp->SetOnRefused(
            [this](const std::string& sIp, uint16_t wPort) { UdpRefused(sIp, wPort); });
        return fUdp->Start(static_cast<uint16_t>(iPort), fUdp->IsIpv6Host(fsDestAddress));
    }
    if (!fUdp)
        return false;
    std::unique_ptr<TUdpSocket> udp = std::move(fUdp);
    udp->SetOnReceive(nullptr);
    udp->SetOnError(nullptr);
    udp->SetOnRefused(nullptr);
    udp.reset();
    return true;
}

void TPortUdp::UdpReceive(const std::string& sPeerIp, uint16_t wPeerPort,
                          UdpSocket::TUdpBuffer& aBuffer, int32_t iSize) {
    if (feAcceptFrom != afAny) {
        // Looked up once: the destination's address does not change during a run.
        if (fsDestIp.empty() && fUdp)
            fsDestIp = fUdp->AddressText(fsDestAddress);
        if (sPeerIp != fsDestIp || (feAcceptFrom == afDestination && wPeerPort != fwDestPort)) {
            TMsg::Hint(u"Ignored datagram from %s", {Endpoint(sPeerIp, wPeerPort)}, 0);
            return;
        }
    }
    ReceiveData(
        std::string(reinterpret_cast<const char*>(aBuffer.data()), static_cast<size_t>(iSize)));
}

void TPortUdp::UdpRefused(const std::string& sIp, uint16_t wPort) {
    TMsg::Error(u"UDP destination %s refused the datagram (port unreachable)",
                {Endpoint(sIp, wPort)}, 0);
    // The answer cannot come: the wait ends now rather than at its time-out.
    Fire(FOnError);
}

void TPortUdp::UdpError(const std::u16string& sMsg) {
    fsSocketErrorText = sMsg;
    TMsg::Error(u"UDP " + sMsg, 0);
}

} // namespace PortUdp
