#include "ports/ftdi/FtdiD2xxDll.h"

#include "common/SysUtils.h"
#include "platform/DynLib.h"

#include <cstdlib>

namespace FtdiD2xxDll {

namespace {

TD2xxEntryPoints gD2xx;
DynLib::TLibHandle ghD2xx = nullptr;
bool gbKeepMapped = false;
std::vector<std::string> gslFiles;
std::string gsLoadError; // the loader's reason when no file loaded

DynLib::TLibHandle LoadAnyFile() {
    for (const std::string& sFile : D2xxLibraryFiles()) {
        DynLib::TLibHandle h = DynLib::LoadLibrary(sFile);
        if (h != nullptr)
            return h;
    }
    gsLoadError = DynLib::LastLoadError();
    return nullptr;
}

// Nothing releases the library at program end: its own thread may still be inside it then, and
// unmapping its code under that thread crashed about one run in a thousand after the report.

template <typename Fn> void Bind(DynLib::TLibHandle h, Fn& fn, const char* sName) {
    fn = reinterpret_cast<Fn>(DynLib::GetProcAddress(h, sName));
}

} // namespace

TD2xxEntryPoints& D2xx() {
    return gD2xx;
}

std::vector<std::string> D2xxLibraryFiles() {
    if (gslFiles.empty())
        return {"libftd2xx.so", "libftd2xx.so.1"};
    return gslFiles;
}

void SetD2xxLibraryFiles(std::vector<std::string> slFiles) {
    // A library loaded under other names no longer stands for the ones asked for.
    if (slFiles != gslFiles)
        UnloadD2xxLibrary();
    gslFiles = std::move(slFiles);
}

bool ProbeD2xxLibrary() {
    // Loaded for good by the first question: a load and unload only to ask cost a run up to
    // 100 ms, the library's exit-time clean-up waiting out its own thread.
    if (!D2xxLibraryLoaded()) {
        try {
            LoadD2xxLibrary();
        } catch (const SysUtils::Exception&) {
            return false;
        }
    }
    DWORD dwVersion = 0;
    return Call(gD2xx.FT_GetLibraryVersion, &dwVersion) == FT_OK && dwVersion >= MinLibraryVersion;
}

std::u16string D2xxLibraryHint() {
    std::string sFiles;
    for (const std::string& sFile : D2xxLibraryFiles())
        sFiles += (sFiles.empty() ? "" : ", ") + sFile;
    std::string sHint;
    ProbeD2xxLibrary();
    if (!D2xxLibraryLoaded())
        sHint = "dlopen " + sFiles + ": " + gsLoadError;
    else
        sHint = "dlopen " + sFiles + ": loaded, but older than 1.4.0 or without " +
                "FT_GetLibraryVersion";
    const char* sPath = std::getenv("LD_LIBRARY_PATH");
    sHint += "; LD_LIBRARY_PATH=" + std::string(sPath != nullptr ? sPath : "") +
             "; install FTDI's D2XX library: see docs/ftdi.md";
    return SysUtils::FromUtf8(sHint);
}

void LoadD2xxLibrary() {
    DynLib::TLibHandle h = LoadAnyFile();
    if (h == nullptr)
        throw SysUtils::Exception(
            SysUtils::Format(u"File \"%s\" not found!", {std::u16string(D2xxLibraryName)}));
    ghD2xx = h;
    TD2xxEntryPoints& t = gD2xx;
    Bind(h, t.FT_CreateDeviceInfoList, "FT_CreateDeviceInfoList");
    Bind(h, t.FT_GetDeviceInfoList, "FT_GetDeviceInfoList");
    Bind(h, t.FT_GetDeviceInfoDetail, "FT_GetDeviceInfoDetail");
    Bind(h, t.FT_ListDevices, "FT_ListDevices");
    Bind(h, t.FT_Open, "FT_Open");
    Bind(h, t.FT_OpenEx, "FT_OpenEx");
    Bind(h, t.FT_OpenExLoc, "FT_OpenEx");
    Bind(h, t.FT_Close, "FT_Close");
    Bind(h, t.FT_Read, "FT_Read");
    Bind(h, t.FT_Write, "FT_Write");
    Bind(h, t.FT_SetBaudRate, "FT_SetBaudRate");
    Bind(h, t.FT_SetDivisor, "FT_SetDivisor");
    Bind(h, t.FT_SetDataCharacteristics, "FT_SetDataCharacteristics");
    Bind(h, t.FT_SetTimeouts, "FT_SetTimeouts");
    Bind(h, t.FT_SetFlowControl, "FT_SetFlowControl");
    Bind(h, t.FT_SetDtr, "FT_SetDtr");
    Bind(h, t.FT_ClrDtr, "FT_ClrDtr");
    Bind(h, t.FT_SetRts, "FT_SetRts");
    Bind(h, t.FT_ClrRts, "FT_ClrRts");
    Bind(h, t.FT_GetModemStatus, "FT_GetModemStatus");
    Bind(h, t.FT_GetQueueStatus, "FT_GetQueueStatus");
    Bind(h, t.FT_GetDeviceInfo, "FT_GetDeviceInfo");
    Bind(h, t.FT_GetDriverVersion, "FT_GetDriverVersion");
    Bind(h, t.FT_GetLibraryVersion, "FT_GetLibraryVersion");
    Bind(h, t.FT_GetComPortNumber, "FT_GetComPortNumber");
    Bind(h, t.FT_GetStatus, "FT_GetStatus");
    Bind(h, t.FT_SetEventNotification, "FT_SetEventNotification");
    Bind(h, t.FT_SetChars, "FT_SetChars");
    Bind(h, t.FT_SetBreakOn, "FT_SetBreakOn");
    Bind(h, t.FT_SetBreakOff, "FT_SetBreakOff");
    Bind(h, t.FT_Purge, "FT_Purge");
    Bind(h, t.FT_ResetDevice, "FT_ResetDevice");
    Bind(h, t.FT_ResetPort, "FT_ResetPort");
    Bind(h, t.FT_CyclePort, "FT_CyclePort");
    Bind(h, t.FT_Rescan, "FT_Rescan");
    Bind(h, t.FT_StopInTask, "FT_StopInTask");
    Bind(h, t.FT_RestartInTask, "FT_RestartInTask");
    Bind(h, t.FT_EE_Program, "FT_EE_Program");
    Bind(h, t.FT_EE_Read, "FT_EE_Read");
    Bind(h, t.FT_EE_UAWrite, "FT_EE_UAWrite");
    Bind(h, t.FT_EE_UARead, "FT_EE_UARead");
    Bind(h, t.FT_EE_UASize, "FT_EE_UASize");
    Bind(h, t.FT_SetLatencyTimer, "FT_SetLatencyTimer");
    Bind(h, t.FT_GetLatencyTimer, "FT_GetLatencyTimer");
    Bind(h, t.FT_SetBitMode, "FT_SetBitMode");
    Bind(h, t.FT_GetBitMode, "FT_GetBitMode");
    Bind(h, t.FT_SetUSBParameters, "FT_SetUSBParameters");
}

bool D2xxLibraryLoaded() {
    return ghD2xx != nullptr;
}

void KeepD2xxLibraryMapped() {
    gbKeepMapped = true;
}

void UnloadD2xxLibrary() {
    if (ghD2xx == nullptr)
        return;
    if (!gbKeepMapped)
        DynLib::FreeLibrary(ghD2xx);
    ghD2xx = nullptr;
    // The addresses may point into unmapped memory now; empty entries answer a failure instead.
    gD2xx = TD2xxEntryPoints();
}

} // namespace FtdiD2xxDll
