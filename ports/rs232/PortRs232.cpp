#include "ports/rs232/PortRs232.h"

#include "common/IniFiles.h"
#include "common/MsgUtils.h"
#include "platform/SerialPorts.h"
#include "ports/rs232/Rs232Utils.h"

namespace PortRs232 {

using MsgUtils::EMsg;
using MsgUtils::TMsg;
using namespace SerialDriver;

namespace {

constexpr char16_t kParityLetters[] = u"NOEMS"; // by the driver's parity ordinal

std::u16string Letter(char16_t c) {
    return std::u16string(1, c);
}

std::u16string FlowLetter(const SerialDevice::TLineSettings& s) {
    if (s.RtsHandshake && !s.OutX && !s.InX)
        return u"R";
    if (s.OutX && s.InX && !s.RtsHandshake)
        return u"X";
    return s.RtsHandshake || s.OutX || s.InX ? u"?" : u"N";
}

std::u16string FrameText(const SerialDevice::TLineSettings& s) {
    return SysUtils::IntToStr(s.ByteSize) +
           Letter(s.Parity <= 4 ? kParityLetters[s.Parity] : u'?') +
           (s.StopBits == 2 ? u"2" : u"1");
}

EMsg InvalidSetting(const char16_t* sKey, const std::u16string& sValue, const char16_t* sAllowed) {
    return EMsg(u"Invalid %s \"%s\" (%s)!",
                {std::u16string(sKey), sValue, std::u16string(sAllowed)}, 0xF30128, 0);
}

} // namespace

TPortRs232::TPortRs232(const std::u16string& sTelegramStart, const std::u16string& sTelegramEnd,
                       std::unique_ptr<SerialDevice::ISerialDevice> aDevice)
    : TPortBase(sTelegramStart, sTelegramEnd),
      fSerial(std::make_unique<TSerial>(nullptr, std::move(aDevice))) {
    fSerial->SetDataBits(d8bit);
    // The kernel's own output queue is waited for by the write itself; counting room in a queue
    // of the driver's would only cut the telegram into parts.
    fSerial->SetWaitOnTxFull(false);
    fSerial->SetOnError([this](TObject* Sender) { SerialError(Sender); });
    fSerial->SetNotifyErrors(neEvent);
}

TPortRs232::~TPortRs232() {
    // Closing may report an error, and the handlers reach the driver through fSerial, which is
    // already empty while the driver is being destroyed: a destroyed port has nobody to tell.
    fSerial->SetOnError(nullptr);
    fSerial->SetOnRxData(nullptr);
    fSerial.reset();
}

void TPortRs232::Init(const IniFiles::TMemIniFile& aMemIni) {
    std::u16string sPort = aMemIni.ReadString(u"DEVICE", u"Port", u"");
    if (sPort.empty())
        throw EMsg(u"No COM port defined!", 0xF30114, 0);
    // A device path (/dev/ttyUSB0, /dev/serial/by-id/...) is opened as it stands; its port
    // number only has to pass the range check of the open.
    bool bPath = sPort[0] == u'/';
    int32_t n = bPath ? 1 : Rs232Utils::ComPortNumber(sPort);
    // Only COM names count: LPT1 must not quietly open COM1.
    if (!bPath && !SysUtils::SameText(sPort.substr(0, 3), u"COM"))
        n = 0;
    if (n < 1)
        throw EMsg(SysUtils::Format(u"Invalid COM port definition \"%s\"!", {sPort}), 0xF3010A, 0);
    fiPortNo = static_cast<uint32_t>(n);
    if (n <= 255)
        fSerial->SetPort(static_cast<sPorts>(n));
    fSerial->SetDevicePath(bPath ? SysUtils::ToUtf8(sPort) : std::string());
    fsPortId = sPort;
    int32_t iBitrate = aMemIni.ReadInteger(u"DEVICE", u"Bitrate", 0);
    if (iBitrate > 0) {
        fSerial->SetBaudrate(iBitrate);
        // Going on at the rate before would talk to the device at a rate it was not set to, and
        // whatever came back could still pass.
        if (fSerial->Baudrate() != iBitrate)
            throw EMsg(u"Bit rate %d bps is not supported; supported are %s",
                       {iBitrate, SerialDriver::ValidBaudratesText()}, 0xF3011E, iBitrate);
    } else
        TMsg::Hint(u"Default bit rate %d bps is used", {fSerial->Baudrate()}, 0);
    ReadLineSettings(aMemIni);
}

void TPortRs232::ReadLineSettings(const IniFiles::TMemIniFile& aMemIni) {
    // An absent or empty key keeps the driver's setting; the letters are those of the FTDI port,
    // of which only the first character counts.
    std::u16string v = aMemIni.ReadString(u"DEVICE", u"DataBits", u"");
    if (!v.empty()) {
        const eDataBits kSizes[] = {d5bit, d6bit, d7bit, d8bit};
        int32_t iBits = SysUtils::StrToIntDef(v, 0);
        if (iBits < 5 || iBits > 8)
            throw InvalidSetting(u"DataBits", v, u"5, 6, 7 or 8");
        fSerial->SetDataBits(kSizes[iBits - 5]);
    }
    v = SysUtils::UpperCase(aMemIni.ReadString(u"DEVICE", u"Parity", u""));
    if (!v.empty()) {
        const eParity kParities[] = {paNone, paOdd, paEven, paMark, paSpace};
        std::u16string letters(kParityLetters);
        size_t i = letters.find(v[0]);
        if (i == std::u16string::npos)
            throw InvalidSetting(u"Parity", aMemIni.ReadString(u"DEVICE", u"Parity", u""),
                                 u"N, E, O, M or S");
        fSerial->SetParity(kParities[i]);
    }
    v = aMemIni.ReadString(u"DEVICE", u"StopBit", u"");
    if (!v.empty()) {
        int32_t iStop = SysUtils::StrToIntDef(v, 0);
        if (iStop != 1 && iStop != 2)
            throw InvalidSetting(u"StopBit", v, u"1 or 2");
        fSerial->SetStopBits(iStop == 2 ? st2bit : st1bit);
    }
    v = SysUtils::UpperCase(aMemIni.ReadString(u"DEVICE", u"FlowControl", u""));
    if (!v.empty()) {
        if (v[0] != u'N' && v[0] != u'R' && v[0] != u'X')
            throw InvalidSetting(u"FlowControl", aMemIni.ReadString(u"DEVICE", u"FlowControl", u""),
                                 u"N, R or X");
        fSerial->SetFlowMode(v[0] == u'R' ? fcRTS_CTS : v[0] == u'X' ? fcXON_XOF : fcNone);
    }
}

bool TPortRs232::Active() {
    return fSerial->Active();
}

void TPortRs232::Open() {
    if (fSerial->Active()) {
        TMsg::Hint(u"RS232 device %s already open.", {fsPortId}, 0);
        return;
    }
    fSerial->SetOnRxData([this](TObject* Sender) { SerialRxData(Sender); });
    SetPortActive(fiPortNo);
    CheckLineSettings();
    const SerialDevice::TLineSettings& s = fSerial->LineSettings();
    std::u16string sFlow = FlowLetter(s);
    TMsg::Info(u"Opened %s: %d %s, %s",
               {SysUtils::FromUtf8(fSerial->DevicePath()), fSerial->Baudrate(), FrameText(s),
                std::u16string(sFlow == u"R"   ? u"RTS/CTS flow control"
                               : sFlow == u"X" ? u"XON/XOFF flow control"
                                               : u"no flow control")},
               0);
    Fire(FOnOpened);
}

void TPortRs232::CheckLineSettings() {
    SerialDevice::TLineSettings got;
    if (!fSerial->ReadBackSettings(got))
        return;
    const SerialDevice::TLineSettings& want = fSerial->LineSettings();
    struct TRow {
        const char16_t* sKey;
        std::u16string sWant, sGot;
    };
    const TRow rows[] = {
        {u"DataBits", SysUtils::IntToStr(want.ByteSize), SysUtils::IntToStr(got.ByteSize)},
        {u"Parity", FrameText(want).substr(1, 1), FrameText(got).substr(1, 1)},
        {u"StopBit", FrameText(want).substr(2, 1), FrameText(got).substr(2, 1)},
        {u"FlowControl", FlowLetter(want), FlowLetter(got)},
    };
    for (const TRow& r : rows) {
        if (r.sWant == r.sGot)
            continue;
        // The run must not go on with a line that frames bytes otherwise than the device's.
        try {
            SetPortActive(0);
        } catch (const SysUtils::Exception&) {
            // The refused setting is what the user needs to read; the device is released anyway.
        }
        throw PortBase::EPortSettings(
            SysUtils::Format(u"Line setting %s=%s refused by %s (it reads back %s)!",
                             {std::u16string(r.sKey), r.sWant,
                              SysUtils::FromUtf8(fSerial->DevicePath()), r.sGot}),
            0xF30228, 0);
    }
}

void TPortRs232::Close() {
    fSerial->SetOnRxData(nullptr);
    SetPortActive(0);
    Fire(FOnClosed);
}

bool TPortRs232::Instruct(const std::u16string& sStatement) {
    enum TLine { lnDTR, lnRTS, lnBreak };
    struct TStatement {
        const char16_t* sWord;
        TLine eLine;
        bool bOn;
    };
    static const TStatement kStatements[] = {
        {u"SetDTR", lnDTR, true},  {u"ClrDTR", lnDTR, false},  {u"SetRTS", lnRTS, true},
        {u"ClrRTS", lnRTS, false}, {u"SetBRK", lnBreak, true}, {u"ClrBRK", lnBreak, false},
    };
    for (const TStatement& st : kStatements) {
        if (!SysUtils::SameText(sStatement, st.sWord))
            continue;
        bool bDone = st.eLine == lnBreak
                         ? (st.bOn ? fSerial->BreakTxOn() : fSerial->BreakTxOff())
                         : fSerial->SwitchSignal(st.eLine == lnDTR ? msDTR : msRTS, st.bOn);
        if (!bDone) {
            int iCode = fSerial->ErrorCode();
            TMsg::Hint(u"%s on %s: %s",
                       {std::u16string(st.sWord), SysUtils::FromUtf8(fSerial->DevicePath()),
                        iCode > 0 ? SerialDevice::ErrorText(iCode)
                                  : std::u16string(u"The port is not active")},
                       0);
        }
        return bDone;
    }
    return TPortBase::Instruct(sStatement);
}

void TPortRs232::SendStream(TMemoryStream& msTxData) {
    TPortBase::SendStream(msTxData);
    if (msTxData.Size() < 1)
        return;
    // One write for the whole telegram: bytes handed over one by one leave gaps on the line (a
    // USB adapter sends each in a transfer of its own) that break inter-character limits.
    std::string sTelegram(msTxData.Memory(), static_cast<size_t>(msTxData.Size()));
    fSerial->Write(sTelegram);
    fSerial->Drain();
}

std::string TPortRs232::TakeStaleInput() {
    std::string sStale;
    if (!fSerial->Active())
        return sStale;
    // Read first so that the hint can show it; a device that keeps talking is cut off by the
    // flush. A hand-over of the event thread still pending reads only what comes after this.
    std::string sPart;
    for (int i = 0; i < 64 && fSerial->Read(sPart) > 0; ++i)
        sStale += sPart;
    fSerial->ZapRxQueue();
    return sStale;
}

bool TPortRs232::SetPortActive(uint32_t iPortNo) {
    if (iPortNo == 0) {
        fSerial->SetActive(false);
        if (fSerial->Active())
            throw EMsg(u"Error in serial port init!", 0xF3020A, static_cast<int32_t>(iPortNo));
        return true;
    }
    if (iPortNo >= 10)
        throw EMsg(u"Error in serial port init!", 0xF3021E, static_cast<int32_t>(iPortNo));
    if (fSerial->Active() && fSerial->Port() == iPortNo)
        return true;
    fSerial->SetPort(static_cast<sPorts>(iPortNo));
    fSerial->SetActive(true);
    if (!fSerial->Active())
        throw EMsg(u"Error in serial port init!", 0xF30214, static_cast<int32_t>(iPortNo));
    return true;
}

void TPortRs232::SerialError(TObject*) {
    EMsg e(SysUtils::Format(u"RS232 system error! (%d)", {fSerial->ErrorCode()}), 0xF3050A, 0);
    // A driver that is not open yet met the error while opening the device.
    e.SetHint(SysUtils::FromUtf8(SerialPorts::ErrorHint(
        fSerial->Active() ? "" : "open", fSerial->DevicePath(), fSerial->ErrorCode())));
    throw e;
}

void TPortRs232::SerialRxData(TObject*) {
    try {
        std::string sRx;
        fSerial->Read(sRx);
        if (!sRx.empty())
            ReceiveData(sRx);
    } catch (const PortBase::ERxCacheOverflow&) {
        // Logged by the port base; the port goes on receiving.
    } catch (const std::exception& e) {
        MsgUtils::ReportFatal(MsgUtils::DescribeException(&e), u"Exception in RS232 Rx event: ");
    }
}

} // namespace PortRs232
