#include "ports/ftdi/FtdiD2xx.h"

#include "common/MsgUtils.h"
#include "common/SysUtils.h"
#include "platform/LibraryEvent.h"
#include "platform/MainThread.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <iterator>

namespace FtdiD2xx {

using namespace FtdiD2xxDll;
using SysUtils::Exception;
using SysUtils::Format;

std::string FieldText(const char* pField, size_t iSize) {
    const void* pNul = std::memchr(pField, 0, iSize);
    size_t iLength = pNul != nullptr ? static_cast<const char*>(pNul) - pField : iSize;
    return std::string(pField, iLength);
}

std::u16string StatusText(int32_t iStatus) {
    static const char16_t* const Names[] = {u"FT_OK",
                                            u"FT_INVALID_HANDLE",
                                            u"FT_DEVICE_NOT_FOUND",
                                            u"FT_DEVICE_NOT_OPENED",
                                            u"FT_IO_ERROR",
                                            u"FT_INSUFFICIENT_RESOURCES",
                                            u"FT_INVALID_PARAMETER",
                                            u"FT_INVALID_BAUD_RATE",
                                            u"FT_DEVICE_NOT_OPENED_FOR_ERASE",
                                            u"FT_DEVICE_NOT_OPENED_FOR_WRITE",
                                            u"FT_FAILED_TO_WRITE_DEVICE",
                                            u"FT_EEPROM_READ_FAILED",
                                            u"FT_EEPROM_WRITE_FAILED",
                                            u"FT_EEPROM_ERASE_FAILED",
                                            u"FT_EEPROM_NOT_PRESENT",
                                            u"FT_EEPROM_NOT_PROGRAMMED",
                                            u"FT_INVALID_ARGS",
                                            u"FT_NOT_SUPPORTED",
                                            u"FT_OTHER_ERROR",
                                            u"FT_DEVICE_LIST_NOT_READY"};
    std::u16string sName = iStatus >= 0 && static_cast<size_t>(iStatus) < std::size(Names)
                               ? Names[iStatus]
                               : u"unknown status";
    return Format(u"%s (%d)", {sName, iStatus});
}

namespace {

// Event objects the library may still signal because it refused to close their device. They
// are never released: the library keeps their address for as long as it runs.
std::vector<std::unique_ptr<LibraryEvent::TLibraryEvent>>& KeptEvents() {
    static auto* kept = new std::vector<std::unique_ptr<LibraryEvent::TLibraryEvent>>;
    return *kept;
}

} // namespace

// ---- TFtdiD2xxBase ----------------------------------------------------------------------------

bool TFtdiD2xxBase::Available() {
    return ProbeD2xxLibrary();
}

std::u16string TFtdiD2xxBase::UsbPortId(uint32_t dwPortId) {
    return Format(u"%.4x", {dwPortId});
}

uint32_t TFtdiD2xxBase::UsbPortId(const std::string& sPortId) {
    if (sPortId.empty())
        return InvalidLocationId;
    uint32_t dw = 0;
    for (char c : sPortId) {
        uint32_t digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return InvalidLocationId;
        if (dw > 0x0FFFFFFF)
            return InvalidLocationId; // more than 32 bits
        dw = dw << 4 | digit;
    }
    return dw;
}

bool TFtdiD2xxBase::CheckStatus(FT_STATUS dwStatus) {
    if (dwStatus == FT_OK)
        return true;
    FiLastError = static_cast<int32_t>(dwStatus);
    return false;
}

// ---- TFtdiD2xxDeviceList ----------------------------------------------------------------------

int32_t TFtdiD2xxDeviceList::Load() {
    fList.clear();
    FiCount = 0;
    if (!D2xxLibraryLoaded())
        LoadD2xxLibrary();
    DWORD dwCount = 0;
    if (StatusFailed(Call(D2xx().FT_CreateDeviceInfoList, &dwCount)))
        return -1;
    if (dwCount > 0) {
        // The library fills as many nodes as it counted; the zeroed rest stays harmless.
        fList.assign(dwCount, TFtdiDeviceInfoNode{});
        DWORD dwFilled = dwCount;
        if (StatusFailed(
                Call(D2xx().FT_GetDeviceInfoList, static_cast<void*>(fList.data()), &dwFilled))) {
            fList.clear();
            dwCount = 0;
        } else {
            // Never trust a count above the room given.
            dwCount = std::min(dwFilled, dwCount);
            fList.resize(dwCount);
        }
    }
    FiCount = static_cast<int32_t>(dwCount);
    return FiCount;
}

int32_t TFtdiD2xxDeviceList::LoadNames(bool bDescriptions) {
    fList.clear();
    FiCount = 0;
    if (!D2xxLibraryLoaded())
        LoadD2xxLibrary();
    DWORD dwCount = 0;
    if (StatusFailed(Call(D2xx().FT_ListDevices, static_cast<void*>(&dwCount),
                          static_cast<void*>(nullptr), FT_LIST_NUMBER_ONLY)))
        return -1;
    if (dwCount == 0)
        return 0;
    // The library writes one entry per device it finds, whatever room it is given: room is left
    // for devices plugged in between the count and the lists.
    const DWORD dwRoom = std::max<DWORD>(dwCount + 64, 128);
    auto listText = [&](DWORD dwBy, std::vector<std::string>& slOut) {
        std::vector<char> buffer(static_cast<size_t>(dwRoom) * 64, '\0');
        std::vector<char*> pointers(dwRoom + 1, nullptr);
        for (DWORD i = 0; i < dwRoom; ++i)
            pointers[i] = &buffer[static_cast<size_t>(i) * 64];
        DWORD dwFound = 0;
        if (StatusFailed(Call(D2xx().FT_ListDevices, static_cast<void*>(pointers.data()),
                              static_cast<void*>(&dwFound), FT_LIST_ALL | dwBy)))
            return false;
        slOut.clear();
        for (DWORD i = 0; i < std::min(dwFound, dwRoom); ++i)
            slOut.push_back(FieldText(pointers[i], 64));
        return true;
    };
    // Each list is a scan of its own: they belong together only when they agree in length.
    for (int iTry = 0; iTry < 3; ++iTry) {
        std::vector<std::string> slSerials, slDescriptions;
        std::vector<DWORD> dwlLocations(dwRoom + 1, 0);
        DWORD dwLocations = 0;
        if (!listText(FT_OPEN_BY_SERIAL_NUMBER, slSerials) ||
            (bDescriptions && !listText(FT_OPEN_BY_DESCRIPTION, slDescriptions)) ||
            StatusFailed(Call(D2xx().FT_ListDevices, static_cast<void*>(dwlLocations.data()),
                              static_cast<void*>(&dwLocations), FT_LIST_ALL | FT_OPEN_BY_LOCATION)))
            return -1;
        if (std::min(dwLocations, dwRoom) != slSerials.size() ||
            (bDescriptions && slDescriptions.size() != slSerials.size()))
            continue;
        for (size_t i = 0; i < slSerials.size(); ++i) {
            TFtdiDeviceInfoNode n{};
            n.LocId = dwlLocations[i];
            std::memcpy(n.SerialNumber, slSerials[i].data(),
                        std::min(slSerials[i].size(), sizeof(n.SerialNumber)));
            if (bDescriptions)
                std::memcpy(n.Description, slDescriptions[i].data(),
                            std::min(slDescriptions[i].size(), sizeof(n.Description)));
            fList.push_back(n);
        }
        FiCount = static_cast<int32_t>(fList.size());
        return FiCount;
    }
    FiLastError = 19; // FT_DEVICE_LIST_NOT_READY: the devices kept changing
    return -1;
}

const TFtdiDeviceInfoNode& TFtdiD2xxDeviceList::Node(int32_t iIndex) const {
    if (iIndex < 0 || iIndex >= FiCount)
        throw Exception(Format(u"Invalid list index %d (%d)!", {iIndex, FiCount}));
    return fList[static_cast<size_t>(iIndex)];
}

std::string TFtdiD2xxDeviceList::SerialNumber(int32_t iIndex) const {
    const TFtdiDeviceInfoNode& n = Node(iIndex);
    return FieldText(n.SerialNumber, sizeof(n.SerialNumber));
}

std::string TFtdiD2xxDeviceList::Description(int32_t iIndex) const {
    const TFtdiDeviceInfoNode& n = Node(iIndex);
    return FieldText(n.Description, sizeof(n.Description));
}

std::u16string TFtdiD2xxDeviceList::DeviceTypeName(int32_t iIndex) const {
    static const char16_t* const Names[] = {
        u"232BM", u"232AM", u"100AX",    u"Unknown", u"2232C",     u"232R",    u"2232H",
        u"4232H", u"232H",  u"X-Series", u"4222H_0", u"4222H_1_2", u"4222H_3", u"4222_PROG",
        u"900",   u"930",   u"UMFTPD3A", u"2233HP",  u"4233HP",    u"2232HP",  u"4232HP",
        u"233HP", u"232HP", u"2232HA",   u"4232HA"};
    uint32_t dwType = Node(iIndex).DeviceType;
    if (dwType < std::size(Names))
        return Names[dwType];
    return Format(u"Undefined 0x%x", {dwType});
}

uint32_t TFtdiD2xxDeviceList::GetLocIdFor(EDeviceInfoNoteField aField,
                                          const std::string& sText) const {
    if (aField != eiSerialNr && aField != eiDescription)
        throw Exception(Format(u"Unknown device info note field: %d!", {static_cast<int>(aField)}));
    if (sText.empty())
        return InvalidLocationId;
    for (int32_t i = 0; i < FiCount; ++i) {
        std::string sField = aField == eiSerialNr ? SerialNumber(i) : Description(i);
        if (sField.find(sText) != std::string::npos)
            return LocId(i);
    }
    return InvalidLocationId;
}

// ---- TFtdiD2xx --------------------------------------------------------------------------------

TFtdiD2xx::TFtdiD2xx() {
    if (!D2xxLibraryLoaded())
        LoadD2xxLibrary();
}

TFtdiD2xx::~TFtdiD2xx() {
    try {
        Close();
    } catch (const Exception&) {
        // A refused close cannot stop the object going; the handle is forgotten either way.
    }
    ReapEndedThreads();
}

EDeviceOpenSteps TFtdiD2xx::OpenEx(const std::string& sText, uint32_t dwFlag) {
    EDeviceOpenSteps eStep = eoOpening;
    if (IsOpen())
        Close();
    ReapEndedThreads();
    // Closes the device again on every way out that is not success, exceptions included.
    struct TGuard {
        TFtdiD2xx* self;
        EDeviceOpenSteps& step;
        int iUncaught = std::uncaught_exceptions();
        // Throwing is its purpose: a refused close is the open's result.
        ~TGuard() noexcept(false) { // NOLINT(bugprone-exception-escape)
            if (step == eoOpened)
                return;
            if (std::uncaught_exceptions() == iUncaught) {
                self->Close(); // a refused close takes the place of the step result
                return;
            }
            // Already unwinding: the first exception is the one to report.
            try {
                self->Close();
            } catch (const Exception&) {
            }
        }
    } guard{this, eStep};

    eStep = eoOpenDevice;
    FT_HANDLE h = nullptr;
    FT_STATUS st;
    if (dwFlag == FT_OPEN_BY_LOCATION) {
        uint32_t dwLocId = UsbPortId(sText);
        if (dwLocId == InvalidLocationId)
            return eStep;
        // The vendor's call takes the location id in its pointer argument.
        st = Call(D2xx().FT_OpenExLoc,
                  reinterpret_cast<void*>( // NOLINT(performance-no-int-to-ptr)
                      static_cast<uintptr_t>(dwLocId)),
                  dwFlag, &h);
    } else {
        st = Call(D2xx().FT_OpenEx, sText.c_str(), dwFlag, &h);
    }
    if (StatusFailed(st) || h == nullptr) {
        fhDevice = nullptr;
        return eStep;
    }
    fhDevice = h;

    eStep = eoResetDevice;
    if (!Reset())
        return eStep;
    eStep = eoSetBaudrate;
    if (!SetBaudrate(FdwBaudrate))
        return eStep;
    eStep = eoSetDataBits;
    if (StatusFailed(Call(D2xx().FT_SetDataCharacteristics, fhDevice, DataBitsCode[FeDataBits],
                          StopBitsCode[FeStopBits], ParityCode[FeParity])))
        return eStep;
    eStep = eoSetFlowMode;
    if (StatusFailed(Call(D2xx().FT_SetFlowControl, fhDevice, FlowControlCode[FeFlowControl],
                          FbyXOnByte, FbyXOffByte)))
        return eStep;

    fEventThread = std::make_unique<TEventThread>(this, fhDevice);
    fEventThread->Start();
    eStep = eoOpened;
    return eStep;
}

void TFtdiD2xx::Close() {
    ReapEndedThreads();
    if (fhDevice == nullptr)
        return;
    std::unique_ptr<TEventThread> thread = std::move(fEventThread);
    // The thread must be gone before the handle is, or it would query a released handle.
    if (thread && !thread->Stop())
        fEndedThreads.push_back(std::move(thread));
    FT_STATUS st = Call(D2xx().FT_Close, fhDevice);
    // The library does not take the handle back whatever it answers; keeping it would make every
    // later close try again for ever.
    fhDevice = nullptr;
    if (st != FT_OK)
        KeepForLibrary(thread ? thread.get() : nullptr);
    // Only now may the event thread go: the library held the event's address until the close.
    thread.reset();
    if (StatusFailed(st))
        throw Exception(u"Device closing failed!");
}

void TFtdiD2xx::KeepForLibrary(TEventThread* aThread) {
    // The device may still be open inside the library, its threads running: the event object
    // stays, and so does the library's code.
    if (aThread != nullptr)
        aThread->KeepEventForLibrary();
    for (auto& ended : fEndedThreads)
        ended->KeepEventForLibrary();
    KeepD2xxLibraryMapped();
}

void TFtdiD2xx::ReapEndedThreads() {
    for (auto it = fEndedThreads.begin(); it != fEndedThreads.end();) {
        if ((*it)->Stop())
            it = fEndedThreads.erase(it);
        else
            ++it;
    }
}

void TFtdiD2xx::DoEventError(int32_t iErrorCode) {
    // Called inside the thread's own hand-over: it cannot be joined here; it ends as soon as the
    // hand-over returns and is joined by the next Close or the destructor.
    if (fEventThread) {
        fEventThread->Terminate();
        fEndedThreads.push_back(std::move(fEventThread));
    }
    if (Call(D2xx().FT_Close, fhDevice) != FT_OK)
        KeepForLibrary(nullptr);
    fhDevice = nullptr;
    FiErrorCode = iErrorCode;
    if (FOnError)
        FOnError(this);
}

bool TFtdiD2xx::Reset() {
    if (!IsOpen())
        return false;
    return CheckStatus(Call(D2xx().FT_ResetDevice, fhDevice));
}

bool TFtdiD2xx::SetBaudrate(uint32_t dwBps) {
    if (StatusFailed(Call(D2xx().FT_SetBaudRate, fhDevice, dwBps)))
        return false;
    FdwBaudrate = dwBps;
    return true;
}

bool TFtdiD2xx::Read(std::string& sRxData) {
    DWORD dwWaiting = 0;
    if (StatusFailed(Call(D2xx().FT_GetQueueStatus, fhDevice, &dwWaiting)))
        return false;
    sRxData.assign(dwWaiting, '\0');
    DWORD dwRead = 0;
    bool bOk = CheckStatus(
        Call(D2xx().FT_Read, fhDevice, static_cast<void*>(sRxData.data()), dwWaiting, &dwRead));
    // Never hand on bytes the library did not write.
    if (dwRead < dwWaiting)
        sRxData.resize(dwRead);
    return bOk && dwRead == dwWaiting;
}

bool TFtdiD2xx::Read(TMemoryStream& msRxData) {
    std::string sRxData;
    bool bOk = Read(sRxData);
    msRxData.SetSize(0);
    msRxData.SetPosition(0);
    msRxData.Write(sRxData.data(), static_cast<int64_t>(sRxData.size()));
    msRxData.SetPosition(0);
    return bOk;
}

bool TFtdiD2xx::PurgeRx() {
    constexpr ULONG kPurgeRx = 1; // FT_PURGE_RX
    return IsOpen() && CheckStatus(Call(D2xx().FT_Purge, fhDevice, kPurgeRx));
}

bool TFtdiD2xx::Write(const std::string& sTxData) {
    DWORD dwWritten = 0;
    std::string sCopy = sTxData; // the library's parameter is not const
    DWORD dwCount = static_cast<DWORD>(sCopy.size());
    if (StatusFailed(
            Call(D2xx().FT_Write, fhDevice, static_cast<void*>(sCopy.data()), dwCount, &dwWritten)))
        return false;
    return dwWritten == dwCount;
}

bool TFtdiD2xx::Write(TMemoryStream& msTxData) {
    return Write(msTxData.Bytes());
}

bool TFtdiD2xx::SetSignal(EModemSignal eSignal, bool bState) {
    const TD2xxEntryPoints& t = D2xx();
    FtdiD2xxDll::TFT_Handle fn = eSignal == emDTR ? (bState ? t.FT_SetDtr : t.FT_ClrDtr)
                                                  : (bState ? t.FT_SetRts : t.FT_ClrRts);
    return CheckStatus(Call(fn, fhDevice));
}

bool TFtdiD2xx::SetLatencyTimer(uint8_t byMilliseconds) {
    return CheckStatus(Call(D2xx().FT_SetLatencyTimer, fhDevice, byMilliseconds));
}

bool TFtdiD2xx::GetBitMode(uint8_t& byMode) {
    return CheckStatus(Call(D2xx().FT_GetBitMode, fhDevice, &byMode));
}

bool TFtdiD2xx::SetBitMode(uint8_t byMask, uint8_t byMode) {
    return CheckStatus(Call(D2xx().FT_SetBitMode, fhDevice, byMask, byMode));
}

bool TFtdiD2xx::GetDeviceInfo(uint32_t& dwDeviceType, uint16_t& wPID, uint16_t& wVID,
                              std::string& sSerialnumber, std::string& sDescription) {
    ULONG dwType = 0;
    DWORD dwId = 0;
    char sSerial[16] = {};
    char sDesc[64] = {};
    if (StatusFailed(
            Call(D2xx().FT_GetDeviceInfo, fhDevice, &dwType, &dwId, sSerial, sDesc, nullptr)))
        return false;
    dwDeviceType = dwType;
    wVID = static_cast<uint16_t>(dwId >> 16);
    wPID = static_cast<uint16_t>(dwId);
    sSerialnumber = FieldText(sSerial, sizeof(sSerial));
    sDescription = FieldText(sDesc, sizeof(sDesc));
    return true;
}

// ---- TEventThread -----------------------------------------------------------------------------

TEventThread::TEventThread(TFtdiD2xx* aParent, FT_HANDLE hDevice)
    : fParent(aParent), fhDevice(hDevice),
      fWindowsEvent(std::make_unique<LibraryEvent::TLibraryEvent>()),
      fHandOver(std::make_unique<MainThread::THandOver>()) {}

TEventThread::~TEventThread() {
    Stop();
    if (fbKeepEvent)
        KeptEvents().push_back(std::move(fWindowsEvent));
}

void TEventThread::Start() {
    fThread = std::thread([this] { Execute(); });
}

bool TEventThread::Stop() {
    fbTerminated = true;
    if (!fThread.joinable())
        return true;
    if (fbInHandOver)
        return false;
    fWindowsEvent->Signal();
    // The thread may be waiting for the main thread, which is us: release it instead.
    fHandOver->Cancel();
    fThread.join();
    return true;
}

bool TEventThread::InitNotification() {
    return Call(D2xx().FT_SetEventNotification, fhDevice, FT_EVENT_RXCHAR | FT_EVENT_MODEM_STATUS,
                fWindowsEvent->NotificationHandle()) == FT_OK;
}

void TEventThread::Execute() {
    if (!InitNotification())
        return;
    fiErrorCode = 0;
    // Receive count of the last hand-over: a handler that left it unread is called again only
    // after a wait, as it would have been every pass before.
    DWORD dwHanded = 0;
    while (!fbTerminated) {
        try {
            DWORD dwRx = 0, dwTx = 0, dwEvent = 0;
            FT_STATUS st = FT_OK;
            // The status is asked under the event's mutex, then waited on. The library signals
            // under that mutex, and only when its event word (which FT_GetStatus clears) was
            // empty: a signal given between a question and a wait made without the mutex is
            // lost, and the data would wait out a whole period. The library takes no lock of its
            // own while it signals, so holding the mutex through the call cannot deadlock.
            bool bReady = fWindowsEvent->WaitUnless(
                [&] {
                    if (fbTerminated)
                        return true;
                    st = Call(D2xx().FT_GetStatus, fhDevice, &dwRx, &dwTx, &dwEvent);
                    return st != FT_OK || (dwRx > 0 && dwRx != dwHanded);
                },
                50);
            if (fbTerminated)
                break;
            if (!bReady) {
                dwHanded = 0;
                continue;
            }
            if (st != FT_OK) {
                fiErrorCode = static_cast<int32_t>(st);
                // The handle is gone after this, whatever the handler does: never loop again.
                try {
                    Synchronize(&TEventThread::DoError);
                } catch (...) {
                    HandleException(std::current_exception());
                }
                break;
            }
            dwHanded = dwRx;
            if (!Synchronize(&TEventThread::DoRxData))
                break;
        } catch (...) {
            HandleException(std::current_exception());
        }
    }
}

bool TEventThread::Synchronize(void (TEventThread::*fn)()) {
    // Owned by the call: a cancelled hand-over never runs, and a completed one is done with it.
    auto ex = std::make_shared<std::exception_ptr>();
    bool bDone = fHandOver->Call([this, fn, ex] {
        fbInHandOver = true;
        try {
            (this->*fn)();
        } catch (...) {
            *ex = std::current_exception();
        }
        fbInHandOver = false;
    });
    if (bDone && *ex)
        std::rethrow_exception(*ex);
    return bDone;
}

void TEventThread::DoRxData() {
    if (fbTerminated)
        return;
    if (fParent != nullptr && fParent->FOnRxData)
        fParent->FOnRxData(fParent);
}

void TEventThread::DoError() {
    if (fParent != nullptr)
        fParent->DoEventError(fiErrorCode);
}

void TEventThread::HandleException(const std::exception_ptr& ex) {
    std::u16string sText = MsgUtils::DescribeException(ex).Text;
    fHandOver->Call([sText] { MsgUtils::TMsg::Alert(MsgUtils::eError, sText, 0); });
}

} // namespace FtdiD2xx
