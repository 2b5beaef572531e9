#pragma once
// The run-time binding to FTDI's D2XX library. The program never links against the library: it
// loads it when a device or the device list is first needed, so that it starts, and serves its
// other ports, on a machine without it. Declarations follow the library's Linux ABI (x86_64):
// 32-bit statuses and words, pointer-sized handles, no calling-convention decoration.

#include <cstdint>
#include <string>
#include <vector>

namespace FtdiD2xxDll {

using DWORD = uint32_t;
using ULONG = uint32_t;
using USHORT = uint16_t;
using UCHAR = uint8_t;
using LONG = int32_t;
using FT_STATUS = uint32_t;
using FT_HANDLE = void*;

constexpr FT_STATUS FT_OK = 0;
constexpr FT_STATUS FT_DEVICE_NOT_FOUND = 2;
/// What an open answers for a device that another program or a kernel driver holds.
constexpr FT_STATUS FT_DEVICE_NOT_OPENED = 3;
/// What an entry the library does not export answers instead of being called.
constexpr FT_STATUS FT_NOT_SUPPORTED = 17;

constexpr DWORD FT_OPEN_BY_SERIAL_NUMBER = 1;
constexpr DWORD FT_OPEN_BY_DESCRIPTION = 2;
constexpr DWORD FT_OPEN_BY_LOCATION = 4;
/// FT_ListDevices: the count alone (no device is opened), or a list of all devices.
constexpr DWORD FT_LIST_NUMBER_ONLY = 0x80000000;
constexpr DWORD FT_LIST_ALL = 0x20000000;
/// Device list flag: the device is open (held by some process or by a kernel driver).
constexpr DWORD FT_FLAGS_OPENED = 1;

constexpr DWORD FT_EVENT_RXCHAR = 1;
constexpr DWORD FT_EVENT_MODEM_STATUS = 2;

/// The file name the library is known by in messages.
inline constexpr char16_t D2xxLibraryName[] = u"libftd2xx.so";
/// Linux builds number themselves 1.x; 1.4.0 is the first one the program trusts.
constexpr DWORD MinLibraryVersion = 0x00010400;

// Entry-point types. Buffers the program never fills itself stay untyped.
using TFT_CreateDeviceInfoList = FT_STATUS (*)(DWORD* lpdwNumDevs);
using TFT_GetDeviceInfoList = FT_STATUS (*)(void* pDest, DWORD* lpdwNumDevs);
using TFT_GetDeviceInfoDetail = FT_STATUS (*)(DWORD dwIndex, DWORD* lpdwFlags, DWORD* lpdwType,
                                              DWORD* lpdwID, DWORD* lpdwLocId, void* lpSerial,
                                              void* lpDescription, FT_HANDLE* pftHandle);
using TFT_ListDevices = FT_STATUS (*)(void* pArg1, void* pArg2, DWORD Flags);
using TFT_Open = FT_STATUS (*)(int deviceNumber, FT_HANDLE* pHandle);
using TFT_OpenExText = FT_STATUS (*)(const char* pArg1, DWORD Flags, FT_HANDLE* pHandle);
using TFT_OpenExLoc = FT_STATUS (*)(void* pLocId, DWORD Flags, FT_HANDLE* pHandle);
using TFT_Handle = FT_STATUS (*)(FT_HANDLE ftHandle);
using TFT_Read = FT_STATUS (*)(FT_HANDLE ftHandle, void* lpBuffer, DWORD dwBytesToRead,
                               DWORD* lpBytesReturned);
using TFT_Write = FT_STATUS (*)(FT_HANDLE ftHandle, void* lpBuffer, DWORD dwBytesToWrite,
                                DWORD* lpBytesWritten);
using TFT_SetBaudRate = FT_STATUS (*)(FT_HANDLE ftHandle, ULONG BaudRate);
using TFT_SetDivisor = FT_STATUS (*)(FT_HANDLE ftHandle, USHORT Divisor);
using TFT_SetDataCharacteristics = FT_STATUS (*)(FT_HANDLE ftHandle, UCHAR WordLength,
                                                 UCHAR StopBits, UCHAR Parity);
using TFT_SetTimeouts = FT_STATUS (*)(FT_HANDLE ftHandle, ULONG ReadTimeout, ULONG WriteTimeout);
using TFT_SetFlowControl = FT_STATUS (*)(FT_HANDLE ftHandle, USHORT FlowControl, UCHAR XonChar,
                                         UCHAR XoffChar);
using TFT_HandleUlongOut = FT_STATUS (*)(FT_HANDLE ftHandle, ULONG* pValue);
using TFT_HandleDwordOut = FT_STATUS (*)(FT_HANDLE ftHandle, DWORD* pValue);
using TFT_GetDeviceInfo = FT_STATUS (*)(FT_HANDLE ftHandle, ULONG* lpftDevice, DWORD* lpdwID,
                                        char* SerialNumber, char* Description, void* Dummy);
using TFT_GetLibraryVersion = FT_STATUS (*)(DWORD* lpdwVersion);
using TFT_GetComPortNumber = FT_STATUS (*)(FT_HANDLE ftHandle, LONG* lpdwComPortNumber);
using TFT_GetStatus = FT_STATUS (*)(FT_HANDLE ftHandle, DWORD* dwRxBytes, DWORD* dwTxBytes,
                                    DWORD* dwEventDWord);
using TFT_SetEventNotification = FT_STATUS (*)(FT_HANDLE ftHandle, DWORD Mask, void* Param);
using TFT_SetChars = FT_STATUS (*)(FT_HANDLE ftHandle, UCHAR EventChar, UCHAR EventCharEnabled,
                                   UCHAR ErrorChar, UCHAR ErrorCharEnabled);
using TFT_Purge = FT_STATUS (*)(FT_HANDLE ftHandle, ULONG Mask);
using TFT_Rescan = FT_STATUS (*)();
using TFT_EE_Data = FT_STATUS (*)(FT_HANDLE ftHandle, void* pData);
using TFT_EE_UAWrite = FT_STATUS (*)(FT_HANDLE ftHandle, UCHAR* pucData, DWORD dwDataLen);
using TFT_EE_UARead = FT_STATUS (*)(FT_HANDLE ftHandle, UCHAR* pucData, DWORD dwDataLen,
                                    DWORD* lpdwBytesRead);
using TFT_SetUchar = FT_STATUS (*)(FT_HANDLE ftHandle, UCHAR ucValue);
using TFT_GetUchar = FT_STATUS (*)(FT_HANDLE ftHandle, UCHAR* pucValue);
using TFT_SetBitMode = FT_STATUS (*)(FT_HANDLE ftHandle, UCHAR ucMask, UCHAR ucEnable);
using TFT_SetUSBParameters = FT_STATUS (*)(FT_HANDLE ftHandle, ULONG ulInTransferSize,
                                           ULONG ulOutTransferSize);

/// The process-wide entry points, one per exported name (FT_OpenEx twice, in its text and its
/// location form). An entry stays nullptr when the library lacks the name; call through `Call`,
/// which answers FT_NOT_SUPPORTED for such an entry.
struct TD2xxEntryPoints {
    TFT_CreateDeviceInfoList FT_CreateDeviceInfoList = nullptr;
    TFT_GetDeviceInfoList FT_GetDeviceInfoList = nullptr;
    TFT_GetDeviceInfoDetail FT_GetDeviceInfoDetail = nullptr;
    TFT_ListDevices FT_ListDevices = nullptr;
    TFT_Open FT_Open = nullptr;
    TFT_OpenExText FT_OpenEx = nullptr;
    TFT_OpenExLoc FT_OpenExLoc = nullptr;
    TFT_Handle FT_Close = nullptr;
    TFT_Read FT_Read = nullptr;
    TFT_Write FT_Write = nullptr;
    TFT_SetBaudRate FT_SetBaudRate = nullptr;
    TFT_SetDivisor FT_SetDivisor = nullptr;
    TFT_SetDataCharacteristics FT_SetDataCharacteristics = nullptr;
    TFT_SetTimeouts FT_SetTimeouts = nullptr;
    TFT_SetFlowControl FT_SetFlowControl = nullptr;
    TFT_Handle FT_SetDtr = nullptr;
    TFT_Handle FT_ClrDtr = nullptr;
    TFT_Handle FT_SetRts = nullptr;
    TFT_Handle FT_ClrRts = nullptr;
    TFT_HandleUlongOut FT_GetModemStatus = nullptr;
    TFT_HandleDwordOut FT_GetQueueStatus = nullptr;
    TFT_GetDeviceInfo FT_GetDeviceInfo = nullptr;
    TFT_HandleDwordOut FT_GetDriverVersion = nullptr;
    TFT_GetLibraryVersion FT_GetLibraryVersion = nullptr;
    TFT_GetComPortNumber FT_GetComPortNumber = nullptr;
    TFT_GetStatus FT_GetStatus = nullptr;
    TFT_SetEventNotification FT_SetEventNotification = nullptr;
    TFT_SetChars FT_SetChars = nullptr;
    TFT_Handle FT_SetBreakOn = nullptr;
    TFT_Handle FT_SetBreakOff = nullptr;
    TFT_Purge FT_Purge = nullptr;
    TFT_Handle FT_ResetDevice = nullptr;
    TFT_Handle FT_ResetPort = nullptr;
    TFT_Handle FT_CyclePort = nullptr;
    TFT_Rescan FT_Rescan = nullptr;
    TFT_Handle FT_StopInTask = nullptr;
    TFT_Handle FT_RestartInTask = nullptr;
    TFT_EE_Data FT_EE_Program = nullptr;
    TFT_EE_Data FT_EE_Read = nullptr;
    TFT_EE_UAWrite FT_EE_UAWrite = nullptr;
    TFT_EE_UARead FT_EE_UARead = nullptr;
    TFT_HandleDwordOut FT_EE_UASize = nullptr;
    TFT_SetUchar FT_SetLatencyTimer = nullptr;
    TFT_GetUchar FT_GetLatencyTimer = nullptr;
    TFT_SetBitMode FT_SetBitMode = nullptr;
    TFT_GetUchar FT_GetBitMode = nullptr;
    TFT_SetUSBParameters FT_SetUSBParameters = nullptr;
};

/// The table. Tests may replace single entries with fakes of their own.
TD2xxEntryPoints& D2xx();

/// Calls `fn` with `args`, or answers FT_NOT_SUPPORTED without calling when it is empty.
template <typename Fn, typename... Args> FT_STATUS Call(Fn fn, Args... args) {
    return fn != nullptr ? fn(args...) : FT_NOT_SUPPORTED;
}

/// True when a usable library is installed: it loads, exports FT_GetLibraryVersion, and reports
/// MinLibraryVersion or later. Loads the binding when it is not loaded yet (and keeps it, usable
/// or not); never raises.
bool ProbeD2xxLibrary();
/// Loads the library and fills the table in order, a missing name leaving its entry empty.
/// Raises SysUtils::Exception "File \"libftd2xx.so\" not found!" when it cannot be loaded;
/// nothing is loaded then and a later call tries again.
void LoadD2xxLibrary();
/// True while the binding holds the library.
bool D2xxLibraryLoaded();
/// Why the library is not usable, for the user: the files looked for with the loader's reason
/// (or that the one found is too old), the LD_LIBRARY_PATH in force and where the docs are.
std::u16string D2xxLibraryHint();
/// Releases the library and empties the table, so that a late call answers FT_NOT_SUPPORTED
/// instead of jumping into a library that is gone. Only for tests that switch libraries: the
/// program never releases it, since the library's own thread may still run inside it.
void UnloadD2xxLibrary();
/// A device stayed open inside the library (it refused the close): its threads may still run,
/// so the release at program end forgets the library without unmapping it.
void KeepD2xxLibraryMapped();

/// The file names tried in order, first to load wins: "libftd2xx.so", then "libftd2xx.so.1".
std::vector<std::string> D2xxLibraryFiles();
/// Replaces the file names (for tests, which load a simulator by its path); an empty list
/// restores the real ones. A library loaded under other names is released first.
void SetD2xxLibraryFiles(std::vector<std::string> slFiles);

} // namespace FtdiD2xxDll
