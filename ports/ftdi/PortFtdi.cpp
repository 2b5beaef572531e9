#include "ports/ftdi/PortFtdi.h"

#include "common/IniFiles.h"
#include "common/MsgUtils.h"
#include "common/SysUtils.h"
#include "ports/ftdi/FtdiUtils.h"

namespace PortFtdi {

using namespace FtdiD2xx;
using MsgUtils::EMsg;
using MsgUtils::TMsg;
using SysUtils::Format;

namespace {

constexpr char16_t Section[] = u"DEVICE";

/// First character, upper-cased, of a one-letter setting; "-" stands for an absent value.
char16_t SettingLetter(const IniFiles::TMemIniFile& aMemIni, const char16_t* sKey) {
    std::u16string s = SysUtils::UpperCase(aMemIni.ReadString(Section, sKey, u"-"));
    return s.empty() ? u'-' : s[0];
}

} // namespace

TPortFtdi::TPortFtdi(const std::u16string& sTelegramStart, const std::u16string& sTelegramEnd)
    : TPortBase(sTelegramStart, sTelegramEnd) {
    if (!TFtdiD2xxBase::Available())
        return;
    try {
        fFtdi = std::make_unique<TFtdiD2xx>();
    } catch (const SysUtils::Exception&) {
        // The library went between probe and load: the port behaves as without one.
        return;
    }
    fFtdi->SetOnRxData([this](TObject* Sender) { DoFtdiRxData(Sender); });
    fFtdi->SetOnError([this](TObject*) { DoFtdiError(); });
}

TPortFtdi::~TPortFtdi() {
    fFtdi.reset();
}

void TPortFtdi::Init(const IniFiles::TMemIniFile& aMemIni) {
    std::u16string sPort = aMemIni.ReadString(Section, u"Port", u"");
    if (sPort.empty())
        throw EMsg(u"No port defined!", 0xF20114, 0);

    {
        struct TRelease {
            ~TRelease() { FtdiUtils::TFtdiDetector::InstanceRelease(); }
        } release;
        FtdiUtils::TFtdiDetector* aDetector = FtdiUtils::TFtdiDetector::Instance();
        bool bFound = aDetector->Find(sPort);
        fbHeldDeviceListed = aDetector->HeldDeviceListed();
        if (!bFound) {
            int32_t iListStatus = aDetector->ListStatus();
            if (iListStatus != 0)
                TMsg::Hint(u"The D2XX library could not list the devices: %s",
                           {StatusText(iListStatus)}, 0u);
            else if (fbHeldDeviceListed)
                HintHeldDevice();
            EMsg e(aDetector->ErrorText(), 0xF2010A, iListStatus);
            if (!FtdiD2xx::TFtdiD2xxBase::Available())
                e.SetHint(FtdiD2xxDll::D2xxLibraryHint());
            throw e;
        }
        fdwUsbId = aDetector->UsbLocationId();
        fsPortId = aDetector->DeviceIndication();
    }
    if (!fFtdi)
        throw EMsg(u"No FTDI driver not found!", 0xF2010A, 0);

    int32_t iBitrate = aMemIni.ReadInteger(Section, u"Bitrate", 0);
    if (iBitrate >= 1)
        fFtdi->SetBaudrateValue(static_cast<uint32_t>(iBitrate));
    else
        TMsg::Hint(u"Default bit rate %d bps is used", {fFtdi->Baudrate()}, 0u);

    std::u16string sSummary;
    if (ReadExtendedSettings(aMemIni, sSummary))
        TMsg::Info(u"\"%s\" Extended bit configuration and flow control", {sSummary}, 0u);
}

bool TPortFtdi::ReadExtendedSettings(const IniFiles::TMemIniFile& aMemIni,
                                     std::u16string& sSummary) {
    int iFallbacks = 0;

    int32_t iDataBits = aMemIni.ReadInteger(Section, u"DataBits", 0);
    if (iDataBits == 7 || iDataBits == 8) {
        fFtdi->SetDataBits(iDataBits == 7 ? ed7bit : ed8bit);
    } else {
        ++iFallbacks;
        iDataBits = 8;
    }
    sSummary = SysUtils::IntToStr(iDataBits);

    char16_t cParity = SettingLetter(aMemIni, u"Parity");
    switch (cParity) {
    case u'E':
        fFtdi->SetParity(epEven);
        break;
    case u'M':
        fFtdi->SetParity(epMark);
        break;
    case u'N':
        fFtdi->SetParity(epNone);
        break;
    case u'O':
        fFtdi->SetParity(epOdd);
        break;
    case u'S':
        fFtdi->SetParity(epSpace);
        break;
    default:
        ++iFallbacks;
        cParity = u'N';
    }
    sSummary += cParity;

    int32_t iStopBits = aMemIni.ReadInteger(Section, u"StopBit", 0);
    if (iStopBits == 1 || iStopBits == 2) {
        fFtdi->SetStopBits(iStopBits == 1 ? es1bit : es2bit);
    } else {
        ++iFallbacks;
        iStopBits = 1;
    }
    sSummary += SysUtils::IntToStr(iStopBits);

    char16_t cFlow = SettingLetter(aMemIni, u"FlowControl");
    switch (cFlow) {
    case u'D':
        fFtdi->SetFlowControl(efDtrDsr);
        break;
    case u'N':
        fFtdi->SetFlowControl(efNone);
        break;
    case u'R':
        fFtdi->SetFlowControl(efRtsCts);
        break;
    case u'X':
        fFtdi->SetFlowControl(efXonXoff);
        break;
    default:
        ++iFallbacks;
        cFlow = u'N';
    }
    sSummary += cFlow;

    return iFallbacks < 4;
}

bool TPortFtdi::Active() {
    return fFtdi && fFtdi->IsOpen();
}

void TPortFtdi::Open() {
    if (!fFtdi)
        throw EMsg(u"No FTDI driver not found!", 0xF2010A, 0);
    if (fFtdi->IsOpen()) {
        TMsg::Hint(u"FTDI device %s already open.", {fsPortId}, 0u);
        return;
    }
    EDeviceOpenSteps eStep =
        fFtdi->OpenEx(SysUtils::TextToBytes(TFtdiD2xxBase::UsbPortId(fdwUsbId)),
                      FtdiD2xxDll::FT_OPEN_BY_LOCATION);
    int32_t iLastError = fFtdi->LastError();
    switch (eStep) {
    case eoOpened:
        Fire(FOnOpened);
        return;
    case eoSetBaudrate:
        throw EMsg(u"Invalid baudrate \"%d\" for FTDI device at %s!", {fFtdi->Baudrate(), fsPortId},
                   0xF2020D, iLastError);
    case eoResetDevice:
        throw EMsg(u"FTDI device reset failed at %s!", {fsPortId}, 0xF2020E, iLastError);
    case eoOpenDevice:
        if (fbHeldDeviceListed)
            HintHeldDevice();
        throw EMsg(u"No FTDI device found at %s!", {fsPortId}, 0xF2020F, iLastError);
    case eoOpening:
        throw EMsg(u"Unknown FTDI device failure at %s!", {fsPortId}, 0xF20210, iLastError);
    case eoSetDataBits:
    case eoSetFlowMode:
        break;
    }
    throw EMsg(0xF20214, static_cast<int32_t>(eStep));
}

void TPortFtdi::Close() {
    if (fFtdi)
        fFtdi->Close();
    Fire(FOnClosed);
}

void TPortFtdi::SendStream(TMemoryStream& msTxData) {
    TPortBase::SendStream(msTxData);
    if (!fFtdi || !fFtdi->Write(msTxData))
        throw EMsg(0xF20300, 0);
}

std::string TPortFtdi::TakeStaleInput() {
    std::string sStale;
    if (!fFtdi || !fFtdi->IsOpen())
        return sStale;
    // The event thread only announces data; a pending announcement reads what comes after this.
    fFtdi->Read(sStale);
    fFtdi->PurgeRx();
    return sStale;
}

bool TPortFtdi::Instruct(const std::u16string& sStatement) {
    switch (FtdiUtils::FtdiStatement(fFtdi.get(), sStatement)) {
    case FtdiUtils::srNotFtdi:
        return TPortBase::Instruct(sStatement);
    case FtdiUtils::srDone:
        return true;
    case FtdiUtils::srInvalid:
    case FtdiUtils::srFailed:
        break;
    }
    return false;
}

void TPortFtdi::HintHeldDevice() {
    TMsg::Hint(u"An FTDI device is held by another program or by the kernel driver ftdi_sio; "
               u"release it as docs/ftdi.md describes",
               0u);
}

void TPortFtdi::DoFtdiError() {
    // The device has closed itself; the job must not wait for data that cannot come.
    TMsg::Error(u"FTDI device %s lost: %s", {fsPortId, StatusText(fFtdi->ErrorCode())}, 0u);
    Fire(FOnError);
}

void TPortFtdi::DoFtdiRxData(TObject*) {
    try {
        std::string sRxData;
        if (fFtdi->Read(sRxData))
            ReceiveData(sRxData);
    } catch (const PortBase::ERxCacheOverflow&) {
        // Logged by the port base; the port goes on receiving.
    } catch (const SysUtils::Exception& e) {
        TMsg::Fatal(u"Exception in FTDI Rx event: " + e.Message(), 0u);
    } catch (const std::exception& e) {
        TMsg::Fatal(u"Exception in FTDI Rx event: " + SysUtils::FromUtf8(e.what()), 0u);
    }
}

} // namespace PortFtdi
