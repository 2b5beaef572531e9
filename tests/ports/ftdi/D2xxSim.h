#pragma once
// The D2XX simulator in process: the binding is pointed at it by its path, and the tests reach
// its control functions through a handle of their own, which also keeps it (and its state)
// loaded for the whole test program.

#include "platform/DynLib.h"
#include "platform/MainThread.h"
#include "ports/ftdi/FtdiD2xxDll.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

namespace D2xxSim {

struct TControl {
    void (*Configure)(const char*) = nullptr;
    const char* (*Log)() = nullptr;
    int (*Inject)(uint32_t, const char*) = nullptr;
    int (*IsOpen)(uint32_t) = nullptr;
};

inline const TControl& Control() {
    static TControl c = [] {
        DynLib::TLibHandle h = DynLib::LoadLibrary(TELVIK_D2XX_SIM);
        if (h == nullptr)
            throw std::runtime_error("cannot load the D2XX simulator: " + DynLib::LastLoadError());
        TControl t;
        t.Configure =
            reinterpret_cast<decltype(t.Configure)>(DynLib::GetProcAddress(h, "d2xxsim_Configure"));
        t.Log = reinterpret_cast<decltype(t.Log)>(DynLib::GetProcAddress(h, "d2xxsim_Log"));
        t.Inject =
            reinterpret_cast<decltype(t.Inject)>(DynLib::GetProcAddress(h, "d2xxsim_Inject"));
        t.IsOpen =
            reinterpret_cast<decltype(t.IsOpen)>(DynLib::GetProcAddress(h, "d2xxsim_IsOpen"));
        return t;
    }();
    return c;
}

/// Points the binding at the simulator and sets it up with `sControl` (see d2xx_sim.cpp).
inline void Use(const std::string& sControl) {
    FtdiD2xxDll::SetD2xxLibraryFiles({TELVIK_D2XX_SIM});
    Control().Configure(sControl.c_str());
}

inline std::string Log() {
    return Control().Log();
}

/// The record without the event thread's registration, whose moment is the thread's own.
inline std::string Calls() {
    std::string sAll = Log(), sOut;
    for (size_t i = 0; i < sAll.size();) {
        size_t iEnd = sAll.find('\n', i);
        iEnd = iEnd == std::string::npos ? sAll.size() : iEnd + 1;
        if (sAll.compare(i, 23, "FT_SetEventNotification") != 0)
            sOut.append(sAll, i, iEnd - i);
        i = iEnd;
    }
    return sOut;
}

/// Runs the event loop until `done` holds or `ms` have passed; true when it holds.
inline bool PumpUntil(const std::function<bool()>& done, int ms = 2000) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        MainThread::ProcessPendingEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

/// Two devices: FT1234AB "Dual RS232 A" at 0x2111 (2232H) and FT9999 "USB Serial" at 0x111.
inline constexpr char TwoDevices[] = "device 2111 6 FT1234AB Dual RS232 A\n"
                                     "device 111 5 FT9999 USB Serial\n";

} // namespace D2xxSim
