#include "ports/rs232/SerialDriver.h"

#include "common/MsgUtils.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <fstream>

namespace SerialDriver {

using namespace SerialDevice;

namespace {

constexpr int32_t kRates[] = {110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000,
                              57600, 115200, 128000, 256000,
                              // What adapters on Linux are commonly run at beyond the classic list.
                              230400, 460800, 921600};

constexpr uint32_t kEventMask = evRxChar | evTxEmpty | evCTS | evDSR | evRLSD | evBreak | evRing;

// Runs one step of a sequence that must be completed whatever a report raises; the first
// exception is kept for the end.
template <typename F> void Guarded(std::exception_ptr& first, F&& step) {
    try {
        step();
    } catch (...) {
        if (!first)
            first = std::current_exception();
    }
}

} // namespace

bool IsValidBaudrate(int32_t iRate) {
    for (int32_t r : kRates)
        if (r == iRate)
            return true;
    return false;
}

std::u16string ValidBaudratesText() {
    std::u16string text;
    for (int32_t r : kRates)
        text += (text.empty() ? u"" : u", ") + SysUtils::IntToStr(r);
    return text;
}

TSerial::TSerial(TObject*, std::unique_ptr<ISerialDevice> aDevice)
    : FDevice(aDevice ? std::move(aDevice) : CreateTermiosDevice()) {
    ApplySettings();
    FEventThread = std::make_unique<TEventThread>(this);
}

TSerial::~TSerial() {
    try {
        SetupPort(false);
    } catch (...) {
        // A destructor has nobody to tell; the device is released all the same.
    }
    FEventThread->Terminate();
    FEventThread.reset();
}

// --- Settings

void TSerial::SetPort(sPorts v) {
    if (v != FPort) {
        FPort = v;
        SetupPort(FActive);
    }
}

void TSerial::SetDevicePath(const std::string& sPath) {
    if (sPath != fsDevicePath) {
        fsDevicePath = sPath;
        SetupPort(FActive);
    }
}

std::string TSerial::DevicePath() const {
    return fsDevicePath.empty() ? ComDevicePath(FPort) : fsDevicePath;
}

void TSerial::SetBaudrate(int32_t v) {
    if (!IsValidBaudrate(v)) {
        MsgUtils::TMsg::Alert(MsgUtils::eError, u"Baudrate is not valid", 0);
        return;
    }
    if (v != FBaudrate) {
        FBaudrate = v;
        SetupPort(FActive);
    }
}

void TSerial::SetParity(eParity v) {
    if (v != FParity) {
        FParity = v;
        SetupPort(FActive);
    }
}

void TSerial::SetDataBits(eDataBits v) {
    if (v != FDataBits) {
        FDataBits = v;
        SetupPort(FActive);
    }
}

void TSerial::SetStopBits(eStopBits v) {
    if (v != FStopBits) {
        FStopBits = v;
        SetupPort(FActive);
    }
}

void TSerial::SetRxQueueSize(uint16_t v) {
    FRxQueueSize = v;
    SetupPort(FActive);
}

void TSerial::SetTxQueueSize(uint16_t v) {
    FTxQueueSize = v;
    SetupPort(FActive);
}

void TSerial::SetFlowMode(eFlowControl v) {
    if (v != FFlowMode) {
        FFlowMode = v;
        SetupPort(FActive);
    }
}

void TSerial::SetCheckParity(bool v) {
    if (v != FCheckParity) {
        FCheckParity = v;
        SetupPort(FActive);
    }
}

void TSerial::SetTimeout(uint32_t v) {
    if (v != FTimeout) {
        FTimeout = v;
        SetupPort(FActive);
    }
}

void TSerial::SetOnRxData(TNotifyEvent e) {
    FHasOnRxData = static_cast<bool>(e);
    FOnRxData = std::move(e);
}
void TSerial::SetOnTxEmpty(TNotifyEvent e) {
    FOnTxEmpty = std::move(e);
}
void TSerial::SetOnBreak(TNotifyEvent e) {
    FOnBreak = std::move(e);
}
void TSerial::SetOnRing(TNotifyEvent e) {
    FOnRing = std::move(e);
}
void TSerial::SetOnMessage(TRxMessageEvent e) {
    FHasOnMessage = static_cast<bool>(e);
    FOnMessage = std::move(e);
}
void TSerial::SetOnSignalChange(TSignalChangeEvent e) {
    FOnSignalChange = std::move(e);
}

std::string TSerial::Message() const {
    std::lock_guard g(FMessageLock);
    return FMessage;
}

int32_t TSerial::RxWaiting() {
    if (!FActive)
        return 0;
    UpdateStatus();
    return FTSRx;
}

int32_t TSerial::TxWaiting() {
    if (!FActive)
        return 0;
    UpdateStatus();
    return FTSTx;
}

// --- Opening and closing

void TSerial::SetupPort(bool bOpen) {
    if (FActive)
        ClosePort();
    if (bOpen)
        OpenPort();
}

void TSerial::OpenPort() {
    int e = FDevice->Open(DevicePath());
    if (e != 0) {
        CheckLastError(e);
        return;
    }
    // The device is held but the driver does not count as open yet: a report that raises here
    // must not leave it held.
    try {
        e = FDevice->SetQueueSizes(FRxQueueSize, FTxQueueSize);
        if (e != 0)
            CheckLastError(e);
    } catch (...) {
        FDevice->Close();
        throw;
    }
    FEventThread->ResetHandOver();
    fiTxRoomKnown = 0;
    {
        std::lock_guard g(FSyncLock);
        FActive = true;
    }
    FSync.notify_all();
    // From here the driver counts as open; a failed step is reported and opening goes on, so
    // that the port is whole (lines up, thread running) when the first report raises.
    std::exception_ptr first;
    Guarded(first, [&] { ApplySettings(); });
    FDevice->SetDtr(true);
    FDevice->SetRts(true);
    Guarded(first, [&] { StartEventThread(); });
    if (first) {
        // A report that raises ends the open as a failure, and a device whose settings failed is
        // no port to talk through (a regular file given as the port reads back as data): it is
        // given back before the report leaves the open.
        std::exception_ptr closing;
        Guarded(closing, [&] { ClosePort(); });
        std::rethrow_exception(first);
    }
}

void TSerial::StartEventThread() {
    int e = FDevice->SetEventMask(kEventMask);
    if (!FEventThread->Started())
        FEventThread->Start();
    if (e != 0)
        CheckLastError(e);
}

void TSerial::ClosePort() {
    // Every step runs whatever a report raises, so the device is always released.
    std::exception_ptr first;
    int e = FDevice->Purge(purgeTxAbort | purgeRxAbort);
    if (e != 0)
        Guarded(first, [&] { CheckLastError(e); });
    FDevice->SetDtr(false);
    FDevice->SetRts(false);
    FActive = false;
    ++fiSession;
    AbortInProgress = true;
    // A hand-over in flight may wait for this very thread: release it rather than wait for it.
    FEventThread->CancelHandOver();
    e = FDevice->SetEventMask(0);
    AbortInProgress = false;
    FSync.notify_all();
    if (e != 0)
        Guarded(first, [&] { CheckLastError(e); });
    e = FDevice->Close();
    if (e != 0)
        Guarded(first, [&] { CheckLastError(e); });
    {
        std::unique_lock g(FSyncLock);
        FSync.wait_for(g, std::chrono::milliseconds(750), [&] { return !FThreadActive; });
    }
    if (first)
        std::rethrow_exception(first);
}

void TSerial::ThreadLeft() {
    {
        std::lock_guard g(FSyncLock);
        FThreadActive = false;
    }
    FSync.notify_all();
}

void TSerial::ApplySettings() {
    TLineSettings s;
    s.Baudrate = static_cast<uint32_t>(FBaudrate);
    s.Binary = true;
    s.CheckParity = FCheckParity;
    s.ErrorReplace = FCheckParity;
    switch (FFlowMode) {
    case fcRTS_CTS:
        s.RtsHandshake = true;
        s.OutCtsFlow = true;
        break;
    case fcDTR_DSR:
        s.DtrHandshake = true;
        s.OutDsrFlow = true;
        break;
    case fcXON_XOF:
        s.OutX = true;
        s.InX = true;
        break;
    case fcNone:
        break;
    }
    s.XonLim = static_cast<uint16_t>(FRxQueueSize / 3);
    s.XoffLim = static_cast<uint16_t>(FRxQueueSize / 3);
    switch (FDataBits) {
    case d5bit:
        s.ByteSize = 5;
        break;
    case d6bit:
        s.ByteSize = 6;
        break;
    case d7bit:
        s.ByteSize = 7;
        break;
    case d8bit:
        s.ByteSize = 8;
        break;
    }
    s.Parity = static_cast<uint8_t>(FParity);
    s.StopBits = FStopBits == st2bit ? 2 : 0;
    s.XonChar = 0x11;
    s.XoffChar = 0x13;
    s.ErrorChar = 0x3F;
    FDCB = s;
    if (!FActive)
        return;
    int e = FDevice->ApplySettings(FDCB);
    if (e != 0)
        CheckLastError(e);
    FCTO.ReadIntervalTimeout = 0xFFFFFFFF;
    FCTO.ReadTotalTimeoutMultiplier = 0;
    FCTO.ReadTotalTimeoutConstant = 0;
    if (FFlowMode != fcNone) {
        FCTO.WriteTotalTimeoutMultiplier = 0;
        FCTO.WriteTotalTimeoutConstant = FTimeout;
    }
}

void TSerial::UpdateStatus() {
    int32_t rx = 0, tx = 0;
    int e = FDevice->QueueCounts(rx, tx);
    if (e != 0) {
        CheckLastError(e);
        return;
    }
    FTSRx = rx;
    FTSTx = tx;
}

// --- Error reporting

bool TSerial::CheckLastError(int iCode) {
    FErrorCode = iCode;
    if (iCode == EINPROGRESS)
        return false;
    switch (FNotifyErrors) {
    case neDialog:
        ShowError(iCode);
        break;
    case neEvent:
        if (FOnError)
            FOnError(this);
        break;
    case neNone:
        break;
    }
    return true;
}

void TSerial::ReportError(int iCode) {
    switch (FNotifyErrors) {
    case neDialog:
        ShowError(iCode);
        break;
    case neEvent:
        if (FOnError) {
            FErrorCode = iCode;
            FOnError(this);
        }
        break;
    case neNone:
        break;
    }
}

void TSerial::ShowError(int iCode) {
    std::u16string text;
    if (iCode > 0)
        text = ErrorText(iCode);
    else if (iCode == -1)
        text = u"The port is not active";
    else if (iCode == -2)
        text = u"String too long for Tx buffer";
    else
        text = SysUtils::Format(u"Serial port error %d", {iCode});
    MsgUtils::TMsg::Alert(MsgUtils::eError, text, 0);
}

// --- Lines

void TSerial::ZapTxQueue() {
    if (!FActive) {
        ReportError(-1);
        return;
    }
    if (int e = FDevice->Purge(purgeTxAbort); e != 0)
        CheckLastError(e);
}

void TSerial::ZapRxQueue() {
    if (!FActive) {
        ReportError(-1);
        return;
    }
    if (int e = FDevice->Purge(purgeRxAbort | purgeRxClear); e != 0)
        CheckLastError(e);
}

void TSerial::Break(int32_t time) {
    if (!FActive) {
        ReportError(-1);
        return;
    }
    if (FDevice->SetBreak(true) == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(time > 0 ? time : 0));
        FDevice->SetBreak(false);
    }
}

bool TSerial::BreakTxOn() {
    if (!FActive)
        return false;
    int e = FDevice->SetBreak(true);
    if (e != 0)
        FErrorCode = e;
    return e == 0;
}

bool TSerial::BreakTxOff() {
    if (!FActive)
        return false;
    int e = FDevice->SetBreak(false);
    if (e != 0)
        FErrorCode = e;
    return e == 0;
}

void TSerial::SetSignalX() {
    if (FActive)
        FDevice->ResumeOutput();
}

void TSerial::SetSignal(eModemOutSignal signal, bool state) {
    if (!FActive) {
        ReportError(-1);
        return;
    }
    if (signal == msRTS)
        FDevice->SetRts(state);
    else
        FDevice->SetDtr(state);
}

bool TSerial::SwitchSignal(eModemOutSignal signal, bool state) {
    if (!FActive) {
        FErrorCode = -1;
        return false;
    }
    int e = signal == msRTS ? FDevice->SetRts(state) : FDevice->SetDtr(state);
    if (e != 0)
        FErrorCode = e;
    return e == 0;
}

bool TSerial::ReadBackSettings(SerialDevice::TLineSettings& settings) {
    if (!FActive) {
        ReportError(-1);
        return false;
    }
    settings = FDCB;
    if (int e = FDevice->ReadSettings(settings); e != 0) {
        CheckLastError(e);
        return false;
    }
    return true;
}

uint16_t TSerial::GetSignal() {
    if (!FActive) {
        ReportError(-1);
        return 0;
    }
    uint32_t status = 0;
    if (int e = FDevice->ModemStatus(status); e != 0)
        CheckLastError(e);
    return static_cast<uint16_t>(status >> 4);
}

uint32_t TSerial::GetDeviceHandle() const {
    return FActive ? static_cast<uint32_t>(FDevice->Handle()) : 0xFFFFFFFFu;
}

} // namespace SerialDriver
