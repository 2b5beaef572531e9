#pragma once
// FTDI devices through the D2XX library: the common base (last status, location id texts), the
// snapshot of attached devices, one device opened with a fixed sequence of line settings, and
// the worker that watches an open device and hands its events to the main thread.

#include "common/Classes.h"
#include "ports/ftdi/FtdiD2xxDll.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace LibraryEvent {
class TLibraryEvent;
}
namespace MainThread {
class THandOver;
}

namespace FtdiD2xx {

using Classes::TMemoryStream;
using Classes::TNotifyEvent;
using Classes::TObject;
using FtdiD2xxDll::FT_HANDLE;
using FtdiD2xxDll::FT_STATUS;

enum EDeviceInfoNoteField { eiSerialNr, eiDescription };
/// Where an open attempt stopped; eoOpened is success, a larger value an earlier step.
enum EDeviceOpenSteps {
    eoOpened,
    eoSetFlowMode,
    eoSetDataBits,
    eoSetBaudrate,
    eoResetDevice,
    eoOpenDevice,
    eoOpening
};
enum EDataBits { ed7bit, ed8bit };
enum EStopBits { es1bit, es2bit };
enum EParity { epNone, epOdd, epEven, epMark, epSpace };
enum EFlowControl { efNone, efRtsCts, efDtrDsr, efXonXoff };
enum EModemSignal { emDTR, emRTS };

inline constexpr uint8_t DataBitsCode[] = {7, 8};
inline constexpr uint8_t StopBitsCode[] = {0, 2};
inline constexpr uint8_t ParityCode[] = {0, 1, 2, 3, 4};
inline constexpr uint16_t FlowControlCode[] = {0x0000, 0x0100, 0x0200, 0x0400};

/// The absence of a location id; every failed look-up answers it.
constexpr uint32_t InvalidLocationId = 0xFFFFFFFF;

using TFtdiSerialNo = char[16];
using TFtdiDescription = char[64];

/// One attached device as the library fills it in its device list.
struct TFtdiDeviceInfoNode {
    uint32_t Flags;
    uint32_t DeviceType;
    uint32_t Id;
    uint32_t LocId;
    TFtdiSerialNo SerialNumber;
    TFtdiDescription Description;
    FT_HANDLE DeviceHandle;
};
static_assert(sizeof(TFtdiDeviceInfoNode) == 104, "the library's list node is 104 bytes");
static_assert(offsetof(TFtdiDeviceInfoNode, DeviceType) == 4);
static_assert(offsetof(TFtdiDeviceInfoNode, Id) == 8);
static_assert(offsetof(TFtdiDeviceInfoNode, LocId) == 12);
static_assert(offsetof(TFtdiDeviceInfoNode, SerialNumber) == 16);
static_assert(offsetof(TFtdiDeviceInfoNode, Description) == 32);
static_assert(offsetof(TFtdiDeviceInfoNode, DeviceHandle) == 96);

/// Text of a fixed-size library field: up to its first NUL, or the whole field when it has none.
std::string FieldText(const char* pField, size_t iSize);
/// A library status by its name and number, e.g. "FT_IO_ERROR (4)".
std::u16string StatusText(int32_t iStatus);

class TFtdiD2xxBase : public TObject {
public:
    /// True when a usable library is installed.
    static bool Available();
    /// The location id as upper-case hexadecimal of at least 4 digits: 0x111 gives "0111".
    static std::u16string UsbPortId(uint32_t dwPortId);
    /// Hexadecimal digits (either case, no prefix) read as a location id; empty text, any other
    /// character or more than 32 bits give InvalidLocationId.
    static uint32_t UsbPortId(const std::string& sPortId);

    /// The last non-zero library status this object saw (0 until one fails).
    int32_t LastError() const { return FiLastError; }

protected:
    /// True for status 0; otherwise keeps it as LastError and answers false.
    bool CheckStatus(FT_STATUS dwStatus);
    bool StatusFailed(FT_STATUS dwStatus) { return !CheckStatus(dwStatus); }

    int32_t FiLastError = 0;
};

/// A snapshot of the attached devices, taken by Load.
class TFtdiD2xxDeviceList : public TFtdiD2xxBase {
public:
    TFtdiD2xxDeviceList() = default;
    ~TFtdiD2xxDeviceList() override = default;

    /// Reads the attached devices (loading the library first when needed; raises when it cannot).
    /// Returns the count, or -1 when the library fails to count them.
    int32_t Load();
    /// Reads the attached devices from the library's name lists instead, which claim no device
    /// and list the ones another program or the kernel holds with their names: serial numbers,
    /// locations and, when `bDescriptions`, descriptions (type, id, flags and handle stay 0).
    /// Returns the count, or -1 when the library fails to list them.
    int32_t LoadNames(bool bDescriptions);
    int32_t Count() const { return FiCount; }

    /// The location of the first device whose serial number or description contains `sText`
    /// (case-sensitive; empty text matches nothing), else InvalidLocationId. Raises
    /// SysUtils::Exception for a field outside the enumeration.
    uint32_t GetLocIdFor(EDeviceInfoNoteField aField, const std::string& sText) const;

    // Per-device accessors; an index outside 0..Count-1 raises SysUtils::Exception
    // "Invalid list index %d (%d)!".
    uint32_t Flags(int32_t iIndex) const { return Node(iIndex).Flags; }
    uint32_t DeviceType(int32_t iIndex) const { return Node(iIndex).DeviceType; }
    uint32_t Id(int32_t iIndex) const { return Node(iIndex).Id; }
    uint32_t LocId(int32_t iIndex) const { return Node(iIndex).LocId; }
    FT_HANDLE DeviceHandle(int32_t iIndex) const { return Node(iIndex).DeviceHandle; }
    std::string SerialNumber(int32_t iIndex) const;
    std::string Description(int32_t iIndex) const;
    /// The chip's name ("232BM" ... "4232H"), or "Undefined 0x%x" for an unknown type.
    std::u16string DeviceTypeName(int32_t iIndex) const;

private:
    const TFtdiDeviceInfoNode& Node(int32_t iIndex) const;

    std::vector<TFtdiDeviceInfoNode> fList;
    int32_t FiCount = 0;
};

class TEventThread;

/// One device: opened with the line settings held in its properties, then read, written and
/// switched. While open, an event thread watches it and fires OnRxData on the main thread.
class TFtdiD2xx : public TFtdiD2xxBase {
public:
    /// Loads the library when it is not yet loaded; raises "File \"libftd2xx.so\" not found!".
    TFtdiD2xx();
    /// Closes the device; a close the library refuses is dropped here. Must not run from inside
    /// the device's own OnRxData or OnError handler (its event thread could not be joined).
    ~TFtdiD2xx() override;
    TFtdiD2xx(const TFtdiD2xx&) = delete;
    TFtdiD2xx& operator=(const TFtdiD2xx&) = delete;

    /// Opens by serial number (flag 1), description (2) or location (4, `sText` then being the
    /// hexadecimal location id), then resets the device and applies rate, data characteristics and
    /// flow control, and starts the event thread. Returns the step that failed, the device closed
    /// again; eoOpened on success.
    EDeviceOpenSteps OpenEx(const std::string& sText, uint32_t dwFlag);
    bool Open(const std::string& sText, uint32_t dwFlag) {
        return OpenEx(sText, dwFlag) == eoOpened;
    }
    bool IsOpen() const { return fhDevice != nullptr; }
    /// Stops the event thread (waiting for its end) and closes the device; nothing when closed.
    /// The handle is forgotten even when the library refuses the close, which then raises
    /// SysUtils::Exception "Device closing failed!".
    void Close();

    bool Reset();
    /// Sets the rate and, on success, keeps it as Baudrate.
    bool SetBaudrate(uint32_t dwBps);
    /// Everything waiting in the receive queue; true when all of it was read.
    bool Read(std::string& sRxData);
    bool Read(TMemoryStream& msRxData);
    /// Empties the driver's receive queue.
    bool PurgeRx();
    /// True when the library took every byte.
    bool Write(const std::string& sTxData);
    bool Write(TMemoryStream& msTxData);
    bool SetSignal(EModemSignal eSignal, bool bState);
    /// How long the chip holds a short answer back before it sends it (1..255 ms; 16 by default).
    bool SetLatencyTimer(uint8_t byMilliseconds);
    bool GetBitMode(uint8_t& byMode);
    bool SetBitMode(uint8_t byMask, uint8_t byMode);
    /// On success: type, product and vendor id, serial number and description; on failure the
    /// out parameters keep their values.
    bool GetDeviceInfo(uint32_t& dwDeviceType, uint16_t& wPID, uint16_t& wVID,
                       std::string& sSerialnumber, std::string& sDescription);

    // Line settings: written values take effect at the next open.
    uint32_t Baudrate() const { return FdwBaudrate; }
    void SetBaudrateValue(uint32_t dw) { FdwBaudrate = dw; }
    EDataBits DataBits() const { return FeDataBits; }
    void SetDataBits(EDataBits e) { FeDataBits = e; }
    EStopBits StopBits() const { return FeStopBits; }
    void SetStopBits(EStopBits e) { FeStopBits = e; }
    EParity Parity() const { return FeParity; }
    void SetParity(EParity e) { FeParity = e; }
    EFlowControl FlowControl() const { return FeFlowControl; }
    void SetFlowControl(EFlowControl e) { FeFlowControl = e; }
    uint8_t XOnByte() const { return FbyXOnByte; }
    void SetXOnByte(uint8_t b) { FbyXOnByte = b; }
    uint8_t XOffByte() const { return FbyXOffByte; }
    void SetXOffByte(uint8_t b) { FbyXOffByte = b; }

    const TNotifyEvent& OnRxData() const { return FOnRxData; }
    void SetOnRxData(TNotifyEvent e) { FOnRxData = std::move(e); }
    const TNotifyEvent& OnTxEmpty() const { return FOnTxEmpty; }
    void SetOnTxEmpty(TNotifyEvent e) { FOnTxEmpty = std::move(e); }
    const TNotifyEvent& OnError() const { return FOnError; }
    void SetOnError(TNotifyEvent e) { FOnError = std::move(e); }
    /// The library status that made the event thread close the device.
    int32_t ErrorCode() const { return FiErrorCode; }

private:
    friend class TEventThread;
    /// Main thread, from the event thread: the device stopped answering.
    void DoEventError(int32_t iErrorCode);
    /// After a refused close: keeps the event objects of `aThread` and of the ended threads, and
    /// the library, for the rest of the process.
    void KeepForLibrary(TEventThread* aThread);
    /// Joins threads that have ended on their own, unless one is still inside its hand-over.
    void ReapEndedThreads();

    FT_HANDLE fhDevice = nullptr;
    std::unique_ptr<TEventThread> fEventThread;
    // Threads told to end that could not be joined yet (they were inside their hand-over).
    std::vector<std::unique_ptr<TEventThread>> fEndedThreads;
    TNotifyEvent FOnRxData;
    TNotifyEvent FOnTxEmpty;
    TNotifyEvent FOnError;
    uint32_t FdwBaudrate = 9600;
    EDataBits FeDataBits = ed8bit;
    EStopBits FeStopBits = es1bit;
    EParity FeParity = epNone;
    EFlowControl FeFlowControl = efNone;
    uint8_t FbyXOnByte = 17;
    uint8_t FbyXOffByte = 19;
    int32_t FiErrorCode = 0;
};

/// Watches one open device: waits at most 50 ms for the library's event, asks for the queue
/// status, and hands received data and failures to the main thread, waiting until they are
/// handled. The device owns it and ends it before the handle is released.
class TEventThread {
public:
    TEventThread(TFtdiD2xx* aParent, FT_HANDLE hDevice);
    /// Stops and joins the thread if it still runs, then releases the event object.
    ~TEventThread();
    TEventThread(const TEventThread&) = delete;
    TEventThread& operator=(const TEventThread&) = delete;

    void Start();
    /// Main thread: sets the terminate flag and wakes the wait. A hand-over in flight is cancelled,
    /// then the thread is joined; true when joined. Called from inside this thread's own
    /// hand-over, it cannot wait: it answers false and the owner joins later.
    bool Stop();
    /// Sets the terminate flag only.
    void Terminate() { fbTerminated = true; }
    bool Terminated() const { return fbTerminated; }
    /// True on the main thread while a call handed over by this thread runs.
    bool InHandOver() const { return fbInHandOver; }
    int32_t ErrorCode() const { return fiErrorCode; }
    /// The library refused to close the device, so it may still signal the event object: the
    /// object then outlives this thread, to the end of the process.
    void KeepEventForLibrary() { fbKeepEvent = true; }

private:
    void Execute();
    bool InitNotification();
    void DoRxData();
    void DoError();
    void HandleException(const std::exception_ptr& ex);
    /// Runs `fn` on the main thread and waits; an exception it raises comes back here.
    bool Synchronize(void (TEventThread::*fn)());

    TFtdiD2xx* fParent;
    FT_HANDLE fhDevice;
    std::unique_ptr<LibraryEvent::TLibraryEvent> fWindowsEvent;
    std::unique_ptr<MainThread::THandOver> fHandOver;
    std::atomic<bool> fbTerminated{false};
    bool fbInHandOver = false;
    bool fbKeepEvent = false;
    int32_t fiErrorCode = 0;
    std::thread fThread;
};

} // namespace FtdiD2xx
