#pragma once
// The serial port driver: the line settings of one serial port of the operating system, opening
// and closing it, byte-wise writing and reading, the modem lines, and the background thread that
// turns device events into event calls in the main thread. Every device call goes through
// SerialDevice::ISerialDevice, so the logic runs against a fake device as well as a real one.

#include "common/Classes.h"
#include "common/SysUtils.h"
#include "platform/MainThread.h"
#include "platform/SerialDevice.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace SerialDriver {

using Classes::TNotifyEvent;
using Classes::TObject;

enum eParity : uint8_t { paNone, paOdd, paEven, paMark, paSpace };
// The sizes below 7 come last, so that the settings file keeps the ordinals it always had.
enum eDataBits : uint8_t { d7bit, d8bit, d5bit, d6bit };
enum eStopBits : uint8_t { st1bit, st2bit };
enum eFlowControl : uint8_t { fcNone, fcRTS_CTS, fcDTR_DSR, fcXON_XOF };
enum eOpModes : uint8_t { rxNormal, rxMessage };
enum eMsgState : uint8_t { msNone, msStarted, msEnded, msDone };
enum eNotifyErr : uint8_t { neDialog, neEvent, neNone };
enum eModemInSignal : uint8_t { msCTS, msDSR, msRLSD };
enum eModemOutSignal : uint8_t { msRTS, msDTR };

/// A port number, 1..255.
using sPorts = uint8_t;

using TRxMessageEvent = std::function<void(TObject* Sender, const std::string& RxMessage)>;
using TSignalChangeEvent =
    std::function<void(TObject* Sender, eModemInSignal Signal, bool SignalState)>;

/// The run-time's input/output error: a settings file that cannot be written or read.
class EInOutError : public SysUtils::Exception {
public:
    using SysUtils::Exception::Exception;
};

/// The bit rates the driver accepts.
bool IsValidBaudrate(int32_t iRate);
/// Those rates as "110, 300, ..., 921600".
std::u16string ValidBaudratesText();

/// The write time-outs handed to the device (kept for the settings' sake; on Linux the write
/// bound is the driver's Timeout).
struct TCommTimeouts {
    uint32_t ReadIntervalTimeout = 0;
    uint32_t ReadTotalTimeoutMultiplier = 0;
    uint32_t ReadTotalTimeoutConstant = 0;
    uint32_t WriteTotalTimeoutMultiplier = 0;
    uint32_t WriteTotalTimeoutConstant = 0;
};

class TSerial;

/// The driver's background thread: idles while the port is closed, waits for device events
/// while it is open, and hands every event to the main thread, waiting until it has run.
class TEventThread {
public:
    /// Created suspended; Start runs it.
    explicit TEventThread(TSerial* parentTSerial);
    /// Stops and joins the thread.
    ~TEventThread();
    TEventThread(const TEventThread&) = delete;
    TEventThread& operator=(const TEventThread&) = delete;

    void Start();
    bool Started() const { return fThread.joinable(); }
    /// Sets the stop request, releases a hand-over in flight and joins.
    void Terminate();

    /// Main thread: makes a hand-over in flight and every later one give up (closing), or
    /// allows them again (opening).
    void CancelHandOver() { fHandOver.Cancel(); }
    void ResetHandOver() { fHandOver.Reset(); }

private:
    void Execute();
    void Dispatch(uint32_t dwEvents);
    void SignalChange(eModemInSignal eSignal, uint32_t dwBit);
    void AssembleMessages();
    /// Feeds one byte through message assembly; true when it completed a message.
    bool AssembleByte(uint8_t by);
    void ReportFromThread(int iCode);
    /// Hands `fn` to the main thread unless the port has been closed meanwhile; false when the
    /// port is closed or the hand-over was cancelled, which ends the dispatch. A call queued in
    /// an earlier open of the port never runs, even once the port is open again.
    bool HandToMain(std::function<void()> fn);

    TSerial* FParentInstance;
    MainThread::THandOver fHandOver;
    std::atomic<bool> fTerminated{false};
    std::thread fThread;
};

class TSerial : public TObject {
public:
    /// A closed driver with the default settings. `aDevice` is the serial back end (the termios
    /// device when none is given); `aOwner` is accepted for form and not used.
    explicit TSerial(TObject* aOwner = nullptr,
                     std::unique_ptr<SerialDevice::ISerialDevice> aDevice = nullptr);
    /// Closes the port if open (errors are swallowed), stops the event thread.
    ~TSerial() override;
    TSerial(const TSerial&) = delete;
    TSerial& operator=(const TSerial&) = delete;

    // --- Settings: "reconfigure" setters reopen an open port with the new value.
    sPorts Port() const { return FPort; }
    void SetPort(sPorts v);
    /// A device path opened instead of the port number's (empty: the number's, ComDevicePath).
    void SetDevicePath(const std::string& sPath);
    /// The path the port opens.
    std::string DevicePath() const;
    int32_t Baudrate() const { return FBaudrate; }
    /// A rate outside the accepted list shows "Baudrate is not valid" and keeps the old rate.
    void SetBaudrate(int32_t v);
    eParity Parity() const { return FParity; }
    void SetParity(eParity v);
    eDataBits DataBits() const { return FDataBits; }
    void SetDataBits(eDataBits v);
    eStopBits StopBits() const { return FStopBits; }
    void SetStopBits(eStopBits v);
    uint16_t RxQueueSize() const { return FRxQueueSize; }
    void SetRxQueueSize(uint16_t v);
    uint16_t TxQueueSize() const { return FTxQueueSize; }
    void SetTxQueueSize(uint16_t v);
    eFlowControl FlowMode() const { return FFlowMode; }
    void SetFlowMode(eFlowControl v);
    bool CheckParity() const { return FCheckParity; }
    void SetCheckParity(bool v);
    uint32_t Timeout() const { return FTimeout; }
    void SetTimeout(uint32_t v);

    eOpModes RxEventMode() const { return FRxEventMode; }
    void SetRxEventMode(eOpModes v) { FRxEventMode = v; }
    uint8_t MessageStartByte() const { return FMessageStartByte; }
    void SetMessageStartByte(uint8_t v) { FMessageStartByte = v; }
    uint8_t MessageEndByte() const { return FMessageEndByte; }
    void SetMessageEndByte(uint8_t v) { FMessageEndByte = v; }
    uint16_t MessageAppendCount() const { return FMessageAppendCount; }
    void SetMessageAppendCount(uint16_t v) { FMessageAppendCount = v; }
    eNotifyErr NotifyErrors() const { return FNotifyErrors; }
    void SetNotifyErrors(eNotifyErr v) { FNotifyErrors = v; }
    bool WaitOnTxFull() const { return FWaitOnTxFull; }
    void SetWaitOnTxFull(bool v) { FWaitOnTxFull = v; }
    bool WaitTxComplete() const { return FWaitTxComplete; }
    void SetWaitTxComplete(bool v) { FWaitTxComplete = v; }
    int32_t ErrorCode() const { return FErrorCode; }

    /// Bytes in the device's input / output queue; 0 on a closed port.
    int32_t RxWaiting();
    int32_t TxWaiting();

    /// Whether the device is open. Writing opens (true, reopening an open port) or closes.
    bool Active() const { return FActive; }
    void SetActive(bool v) { SetupPort(v); }

    void SetOnRxData(TNotifyEvent e);
    void SetOnTxEmpty(TNotifyEvent e);
    void SetOnError(TNotifyEvent e) { FOnError = std::move(e); }
    void SetOnBreak(TNotifyEvent e);
    void SetOnRing(TNotifyEvent e);
    void SetOnMessage(TRxMessageEvent e);
    void SetOnSignalChange(TSignalChangeEvent e);

    /// Last known modem input lines, kept by the event thread.
    bool CTSSignalState() const { return FCTSSignalState; }
    bool DSRSignalState() const { return FDSRSignalState; }
    bool RLSDSignalState() const { return FRLSDSignalState; }
    /// The last message assembled in message mode.
    std::string Message() const;
    eMsgState MessageState() const { return FMessageState; }

    // --- Data. On a closed port each reports error -1.
    /// Writes one byte; waits for room when WaitOnTxFull (handling the main thread's events).
    void Write(uint8_t by);
    /// Writes a byte string; always waits for the kernel to take it (up to Timeout).
    void Write(const std::string& sText);
    /// Waits up to Timeout until the output queue has gone out on the line; ETIMEDOUT is
    /// reported when it has not.
    void Drain();
    /// One byte if one is waiting: returns 0 or 1.
    int32_t Read(uint8_t& by);
    int32_t Read(char& c);
    /// Everything waiting, at most RxQueueSize + 1 bytes; returns the length.
    int32_t Read(std::string& sText);

    // --- Lines.
    void ZapTxQueue();
    void ZapRxQueue();
    /// Break for `time` ms, in the calling thread.
    void Break(int32_t time);
    /// False when the device refused; its error is then in ErrorCode, not reported.
    bool BreakTxOn();
    bool BreakTxOff();
    void SetSignalX();
    void SetSignal(eModemOutSignal signal, bool state);
    /// As SetSignal, but false when the device refused (its error in ErrorCode, not reported).
    bool SwitchSignal(eModemOutSignal signal, bool state);
    /// Modem status: bit 0 CTS, 1 DSR, 2 RING, 3 RLSD.
    uint16_t GetSignal();
    uint32_t GetDeviceHandle() const;

    /// The 40-byte settings record. Raise EInOutError when the file cannot be written or read.
    bool SaveToFile(const std::u16string& filename);
    bool LoadFromFile(const std::u16string& filename);

    /// What the open device holds of the line settings (LineSettings is what was asked); false
    /// after reporting the device's error.
    bool ReadBackSettings(SerialDevice::TLineSettings& settings);

    /// The line settings last built, and the time-outs last filled (for inspection).
    const SerialDevice::TLineSettings& LineSettings() const { return FDCB; }
    const TCommTimeouts& CommTimeouts() const { return FCTO; }

private:
    friend class TEventThread;

    void SetupPort(bool bOpen);
    void OpenPort();
    void ClosePort();
    void ApplySettings();
    void UpdateStatus();
    void StartEventThread();
    /// Stores a platform error; reports it unless it only means "still in progress".
    bool CheckLastError(int iCode);
    void ReportError(int iCode);
    void ShowError(int iCode);
    /// Waits until the output queue has room for `iCount` bytes; false after reporting a time
    /// out or a port closed meanwhile.
    bool WaitForRoom(int32_t iCount);
    /// Runs `step` in slices of at most 20 ms until it is done or fails, serving only the
    /// driver's hand-overs in between; ETIMEDOUT at `deadline`, -1 when the port closed meanwhile.
    int InSlices(std::chrono::steady_clock::time_point deadline,
                 const std::function<int(uint32_t, bool&)>& step);
    /// Waits until at most `iMaxQueued` bytes are queued for output, serving the hand-overs to
    /// the main thread meanwhile; ETIMEDOUT at `deadline`, -1 when the port closed meanwhile.
    int AwaitOutput(int32_t iMaxQueued, std::chrono::steady_clock::time_point deadline);
    /// Writes all `iCount` bytes within Timeout, serving the hand-overs to the main thread while
    /// the device takes none; ETIMEDOUT when time ran out first, -1 when the port closed meanwhile.
    int WriteAll(const char* pData, size_t iCount, size_t& iWritten);
    /// Called by the event thread when it leaves the open port.
    void ThreadLeft();

    sPorts FPort = 1;
    std::string fsDevicePath;
    int32_t FBaudrate = 9600;
    eParity FParity = paNone;
    eDataBits FDataBits = d8bit;
    eStopBits FStopBits = st1bit;
    uint16_t FRxQueueSize = 1024;
    uint16_t FTxQueueSize = 1024;
    eFlowControl FFlowMode = fcNone;
    bool FCheckParity = true;
    std::atomic<eOpModes> FRxEventMode{rxNormal};
    std::atomic<uint8_t> FMessageStartByte{2};
    std::atomic<uint8_t> FMessageEndByte{3};
    std::atomic<uint16_t> FMessageAppendCount{0};
    eNotifyErr FNotifyErrors = neDialog;
    int32_t FErrorCode = 0;
    bool FWaitOnTxFull = true;
    uint32_t FTimeout = 10000;
    bool FWaitTxComplete = true;

    TNotifyEvent FOnRxData, FOnTxEmpty, FOnError, FOnBreak, FOnRing;
    TRxMessageEvent FOnMessage;
    TSignalChangeEvent FOnSignalChange;
    // Whether a handler is assigned, for the event thread, which must not read the handlers.
    std::atomic<bool> FHasOnRxData{false}, FHasOnMessage{false};

    std::unique_ptr<SerialDevice::ISerialDevice> FDevice;
    SerialDevice::TLineSettings FDCB;
    TCommTimeouts FCTO;
    int32_t FTSRx = 0, FTSTx = 0;
    // Room in the output queue known without asking: the queue shrinks only by sending, so room
    // seen once, less what was written since, is never more than there is.
    int32_t fiTxRoomKnown = 0;
    std::atomic<eMsgState> FMessageState{msNone};
    uint16_t FMessageAppendLeft = 0;
    std::string FMessage;
    mutable std::mutex FMessageLock;
    std::atomic<bool> FThreadActive{false};
    std::atomic<bool> FCTSSignalState{false}, FDSRSignalState{false}, FRLSDSignalState{false};
    uint32_t WrittenBytes = 0;
    std::atomic<bool> AbortInProgress{false};
    std::atomic<bool> FActive{false};
    // Counts the closes, so that the thread's calls belong to one open of the port.
    std::atomic<uint32_t> fiSession{0};
    // Wakes the idling thread (open, stop) and the closing driver (thread left the port).
    std::mutex FSyncLock;
    std::condition_variable FSync;
    std::unique_ptr<TEventThread> FEventThread;
};

} // namespace SerialDriver
