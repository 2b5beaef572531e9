#include "ports/ftdi/PortFtdi.h"

#include "common/IniFiles.h"
#include "common/MsgUtils.h"
#include "common/SysUtils.h"
#include "platform/SignalEvents.h"
#include "platform/UsbDevices.h"
#include "ports/ftdi/FtdiUtils.h"

#include <algorithm>
#include <random>

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

constexpr int32_t DefaultBusyWait = 2000;
constexpr int32_t DefaultFindWait = 0;

/// A wait setting in milliseconds; absent or empty gives the default.
int32_t ReadWait(const IniFiles::TMemIniFile& aMemIni, const char16_t* sKey, int32_t iDefault) {
    std::u16string sValue = SysUtils::Trim(aMemIni.ReadString(Section, sKey, u""));
    if (sValue.empty())
        return iDefault;
    int32_t iValue = 0;
    if (!SysUtils::TryStrToInt(sValue, iValue) || iValue < 0)
        throw EMsg(u"Invalid [DEVICE] %s \"%s\": an integer of at least 0 (ms) is needed!",
                   {std::u16string(sKey), sValue}, 0xF20115, 0);
    return iValue;
}

int32_t MsSince(std::chrono::steady_clock::time_point t) {
    return static_cast<int32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t)
            .count());
}

/// A pause of a wait; a signal that ends the run ends the wait as its failure.
void Pause(int32_t iMs) {
    if (int iSignal = SignalEvents::Sleep(iMs))
        throw SysUtils::Exception(SignalEvents::InterruptionText(iSignal));
}

} // namespace

void TPortFtdi::CheckWaitSettings(const IniFiles::TMemIniFile& aMemIni) {
    ReadWait(aMemIni, u"BusyWait", DefaultBusyWait);
    ReadWait(aMemIni, u"FindWait", DefaultFindWait);
}

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

    fiBusyWait = ReadWait(aMemIni, u"BusyWait", DefaultBusyWait);
    fiFindWait = ReadWait(aMemIni, u"FindWait", DefaultFindWait);
    fFindStart = std::chrono::steady_clock::now();
    {
        struct TRelease {
            ~TRelease() { FtdiUtils::TFtdiDetector::InstanceRelease(); }
        } release;
        FtdiUtils::TFtdiDetector* aDetector = FtdiUtils::TFtdiDetector::Instance();
        bool bFound = aDetector->Find(sPort);
        // A device that is not there yet (a DUT that powers its chip up late) is looked for
        // again until FindWait runs out.
        while (!bFound && aDetector->Absent() && MsSince(fFindStart) < fiFindWait) {
            int32_t iPause = std::min(100, fiFindWait - MsSince(fFindStart));
            TMsg::Debug(u"No FTDI device for %s yet: looking again in %d ms", {sPort, iPause}, 0u);
            Pause(iPause);
            aDetector->ClearDeviceList();
            bFound = aDetector->Find(sPort);
        }
        if (!bFound) {
            if (aDetector->Absent() && fiFindWait > 0)
                TMsg::Error(u"No FTDI device for %s appeared within FindWait %d ms",
                            {sPort, fiFindWait}, 0u);
            int32_t iListStatus = aDetector->ListStatus();
            if (iListStatus != 0)
                TMsg::Hint(u"The D2XX library could not list the devices: %s",
                           {StatusText(iListStatus)}, 0u);
            EMsg e(aDetector->ErrorText(), 0xF2010A, iListStatus);
            if (!FtdiD2xx::TFtdiD2xxBase::Available())
                e.SetHint(FtdiD2xxDll::D2xxLibraryHint());
            throw e;
        }
        fdwUsbId = aDetector->UsbLocationId();
        fsPortId = aDetector->DeviceIndication();
        fdwOpenFlag = aDetector->OpenFlag();
        fsOpenText = aDetector->OpenText();
        fsSerialNumber = aDetector->SerialNumber();
        fsFoundBy = SysUtils::SameText(sPort.substr(0, 3), u"USB") ? u"" : sPort;
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
    EDeviceOpenSteps eStep = OpenWithWaits();
    int32_t iLastError = fFtdi->LastError();
    switch (eStep) {
    case eoOpened:
        // The chip holds a short answer back for its latency timer (16 ms by default) before it
        // sends it: at 1 ms every answer, and the close, come up to 15 ms sooner.
        if (fFtdi->SetLatencyTimer(1))
            TMsg::Info(u"FTDI device %s latency timer set to 1 ms", {fsPortId}, 0u);
        else
            TMsg::Warning(u"FTDI device %s keeps its latency timer: FT_SetLatencyTimer: %s",
                          {fsPortId, StatusText(fFtdi->LastError())}, 0u);
        Fire(FOnOpened);
        return;
    case eoSetBaudrate:
        throw EMsg(u"Invalid baudrate \"%d\" for FTDI device at %s!", {fFtdi->Baudrate(), fsPortId},
                   0xF2020D, iLastError);
    case eoResetDevice:
        throw EMsg(u"FTDI device reset failed at %s!", {fsPortId}, 0xF2020E, iLastError);
    case eoOpenDevice:
        // A device held by another program ended the find step before the finder could see held
        // devices, and stations tell a held device by that code: it stays.
        if (!fsFoundBy.empty() &&
            iLastError == static_cast<int32_t>(FtdiD2xxDll::FT_DEVICE_NOT_OPENED))
            throw PortBase::EPortSettings(u"No FTDI device found for [%s]", {fsFoundBy}, 0xF2010A,
                                          0);
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

EDeviceOpenSteps TPortFtdi::OpenWithWaits() {
    using FtdiD2xxDll::FT_DEVICE_NOT_FOUND;
    using FtdiD2xxDll::FT_DEVICE_NOT_OPENED;
    // Stations started together must not retry in step.
    std::minstd_rand rng(std::random_device{}());
    std::uniform_int_distribution<int32_t> pause(5, 25);
    bool bBusy = false;
    std::chrono::steady_clock::time_point busyStart;
    for (;;) {
        EDeviceOpenSteps eStep = fFtdi->OpenEx(fsOpenText, fdwOpenFlag);
        if (eStep != eoOpenDevice)
            return eStep;
        int32_t iStatus = fFtdi->LastError();
        if (iStatus == static_cast<int32_t>(FT_DEVICE_NOT_OPENED)) {
            // Busy: another program (or a neighbour's device list) holds it for a moment.
            if (!bBusy) {
                bBusy = true;
                busyStart = std::chrono::steady_clock::now();
            }
            int32_t iLeft = fiBusyWait - MsSince(busyStart);
            if (iLeft <= 0) {
                if (fiBusyWait > 0)
                    TMsg::Error(u"FTDI device %s still busy after BusyWait %d ms: %s",
                                {fsPortId, fiBusyWait, StatusText(iStatus)}, 0u);
                HintHeldDevice();
                return eStep;
            }
            int32_t iPause = std::min(iLeft, pause(rng));
            TMsg::Debug(u"FTDI device %s busy (%s): trying again in %d ms",
                        {fsPortId, StatusText(iStatus), iPause}, 0u);
            Pause(iPause);
            continue;
        }
        if (iStatus == static_cast<int32_t>(FT_DEVICE_NOT_FOUND)) {
            if (bBusy) {
                TMsg::Error(u"FTDI device %s went away while it was busy: %s",
                            {fsPortId, StatusText(iStatus)}, 0u);
                return eStep;
            }
            int32_t iLeft = fiFindWait - MsSince(fFindStart);
            if (iLeft > 0) {
                int32_t iPause = std::min(100, iLeft);
                TMsg::Debug(u"No FTDI device at %s yet (%s): trying again in %d ms",
                            {fsPortId, StatusText(iStatus), iPause}, 0u);
                Pause(iPause);
                continue;
            }
        }
        return eStep;
    }
}

void TPortFtdi::HintHeldDevice() {
    std::string sSerial = fsSerialNumber.empty()
                              ? FtdiUtils::TFtdiDetector::SerialNumberAt(fdwUsbId)
                              : fsSerialNumber;
    // The kernel's view costs no USB traffic: the driver bound to the device's interface.
    std::optional<std::string> sDriver = UsbDevices::InterfaceDriver(
        static_cast<int>(fdwUsbId >> 8), static_cast<int>(fdwUsbId & 0xFF));
    std::u16string sHolder = u"another program or by the kernel driver ftdi_sio";
    if (sDriver && *sDriver == "ftdi_sio")
        sHolder = u"the kernel driver ftdi_sio";
    else if (sDriver && *sDriver == "usbfs")
        sHolder = u"another program";
    std::u16string sDevice = sSerial.empty() ? u"" : SysUtils::BytesToText(sSerial) + u" ";
    TMsg::Hint(u"FTDI device %sat USB%.4x is held by %s; release it as docs/ftdi.md describes",
               {sDevice, fdwUsbId, sHolder}, 0u);
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
    } catch (const std::exception& e) {
        MsgUtils::ReportFatal(MsgUtils::DescribeException(&e), u"Exception in FTDI Rx event: ");
    }
}

} // namespace PortFtdi
