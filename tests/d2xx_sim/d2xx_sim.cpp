// The D2XX simulator. Control text, one statement per line ("#" starts a comment):
//   version <hex>                       what FT_GetLibraryVersion reports (default 0x00010424)
//   device <loc> <type> <serial|-> <description...>   an attached device; loc and type in hex
//   reply <hex request|*> <hex response> after a write of exactly that request (any with *), the
//                                       response waits in the receive queue
//   fail <FT_Name> <status> [afterwrite|<n>] that call answers the status (from the first write on,
//                                       or only its first n times)
// Calls on devices are recorded one per line ("FT_SetDtr", "FT_SetBitMode 11 20", ...; a call
// made to fail as "<name> failed <status>"), in memory and, when D2XXSIM_LOG names a file,
// appended to it.

#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#define SIM_EXPORT extern "C" __attribute__((visibility("default")))

using DWORD = uint32_t;
using ULONG = uint32_t;
using USHORT = uint16_t;
using UCHAR = uint8_t;
using FT_STATUS = uint32_t;
using FT_HANDLE = void*;

namespace {

constexpr FT_STATUS FT_OK = 0;
constexpr FT_STATUS FT_INVALID_HANDLE = 1;
constexpr FT_STATUS FT_DEVICE_NOT_FOUND = 2;
constexpr FT_STATUS FT_DEVICE_NOT_OPENED = 3;
constexpr FT_STATUS FT_INVALID_PARAMETER = 6;
constexpr FT_STATUS FT_INVALID_BAUD_RATE = 7;

struct EventHandle {
    pthread_cond_t eCondVar;
    pthread_mutex_t eMutex;
    int iVar;
};

struct Node {
    DWORD Flags;
    DWORD Type;
    DWORD ID;
    DWORD LocId;
    char SerialNumber[16];
    char Description[64];
    FT_HANDLE ftHandle;
};
static_assert(sizeof(Node) == 104);

struct Device {
    DWORD loc = 0;
    DWORD type = 0;
    DWORD id = 0x04036001;
    std::string serial;
    std::string description;
    bool open = false;
    std::string rx;
    DWORD eventWord = 0;
    EventHandle* event = nullptr;
};

struct Failure {
    FT_STATUS status;
    bool afterWrite;
    int times = -1; // how many calls still fail; -1 for all
};

struct State {
    std::mutex m;
    DWORD version = 0x00010424;
    std::deque<Device> devices; // stable addresses: a handle is a device's address
    std::vector<std::pair<std::string, std::string>> replies;
    std::map<std::string, Failure> failures;
    bool written = false;
    std::string log;
};

State& S() {
    static State* s = new State(); // never destroyed: the program's threads may outlive statics
    return *s;
}

std::string Hex(const void* p, size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        uint8_t b = static_cast<const uint8_t*>(p)[i];
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::string Unhex(const std::string& s) {
    std::string out;
    for (size_t i = 0; i + 1 < s.size(); i += 2)
        out += static_cast<char>(std::stoul(s.substr(i, 2), nullptr, 16));
    return out;
}

void Log(State& s, const std::string& line) {
    s.log += line + "\n";
    if (const char* path = std::getenv("D2XXSIM_LOG")) {
        std::ofstream f(path, std::ios::app);
        f << line << "\n";
    }
}

/// The status a call must answer when the test made it fail, else FT_OK.
FT_STATUS Injected(State& s, const char* name) {
    auto it = s.failures.find(name);
    if (it == s.failures.end() || (it->second.afterWrite && !s.written) || it->second.times == 0)
        return FT_OK;
    if (it->second.times > 0)
        --it->second.times;
    return it->second.status;
}

Device* OpenDevice(State& s, FT_HANDLE h) {
    for (Device& d : s.devices)
        if (&d == h && d.open)
            return &d;
    return nullptr;
}

/// Received bytes arrive: the event is to be signalled only when the event word was empty.
/// Answers the event to signal, which the caller does once it has let go of the state's lock:
/// the vendor's library signals holding none of its own locks, and a program may ask the
/// library's status while it holds the event's mutex.
EventHandle* Receive(Device& d, const std::string& data) {
    if (data.empty())
        return nullptr;
    d.rx += data;
    bool wasEmpty = d.eventWord == 0;
    d.eventWord |= 1;
    return wasEmpty ? d.event : nullptr;
}

void Signal(EventHandle* e) {
    if (e == nullptr)
        return;
    pthread_mutex_lock(&e->eMutex);
    pthread_cond_signal(&e->eCondVar);
    pthread_mutex_unlock(&e->eMutex);
}

void Configure(State& s, const std::string& text) {
    s.version = 0x00010424;
    s.devices.clear();
    s.replies.clear();
    s.failures.clear();
    s.written = false;
    s.log.clear();
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream in(line);
        std::string word;
        in >> word;
        if (word.empty() || word[0] == '#')
            continue;
        if (word == "version") {
            std::string v;
            in >> v;
            s.version = static_cast<DWORD>(std::stoul(v, nullptr, 16));
        } else if (word == "device") {
            Device d;
            std::string loc, type, serial, desc;
            in >> loc >> type >> serial;
            std::getline(in >> std::ws, desc);
            d.loc = static_cast<DWORD>(std::stoul(loc, nullptr, 16));
            d.type = static_cast<DWORD>(std::stoul(type, nullptr, 16));
            d.serial = serial == "-" ? "" : serial;
            d.description = desc;
            s.devices.push_back(d);
        } else if (word == "reply") {
            std::string req, resp;
            in >> req >> resp;
            s.replies.emplace_back(req == "*" ? req : Unhex(req), Unhex(resp));
        } else if (word == "fail") {
            std::string name, status, when;
            in >> name >> status >> when;
            s.failures[name] = {static_cast<FT_STATUS>(std::stoul(status, nullptr, 0)),
                                when == "afterwrite",
                                !when.empty() && when != "afterwrite" ? std::stoi(when) : -1};
        }
    }
}

// Reads the control file once the library is loaded into a program.
__attribute__((constructor)) void LoadControlFile() {
    const char* path = std::getenv("D2XXSIM_CONFIG");
    if (path == nullptr)
        return;
    std::ifstream f(path);
    std::stringstream text;
    text << f.rdbuf();
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    Configure(s, text.str());
}

void CopyField(char* dest, size_t size, const std::string& text) {
    std::memset(dest, 0, size);
    std::memcpy(dest, text.data(), std::min(size, text.size())); // a full field has no NUL
}

// Runs a call on an open device: the injected failure, the handle check, then `fn`.
template <typename Fn> FT_STATUS OnDevice(const char* name, FT_HANDLE h, Fn fn) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    if (FT_STATUS st = Injected(s, name)) {
        Log(s, std::string(name) + " failed " + std::to_string(st));
        return st;
    }
    Device* d = OpenDevice(s, h);
    if (d == nullptr)
        return FT_INVALID_HANDLE;
    return fn(s, *d);
}

} // namespace

// ---- Control --------------------------------------------------------------------------------

SIM_EXPORT void d2xxsim_Configure(const char* text) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    Configure(s, text);
}

SIM_EXPORT const char* d2xxsim_Log() {
    static std::string copy;
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    copy = s.log;
    return copy.c_str();
}

SIM_EXPORT int d2xxsim_Inject(DWORD loc, const char* hex) {
    State& s = S();
    std::unique_lock<std::mutex> g(s.m);
    for (Device& d : s.devices)
        if (d.loc == loc && d.open) {
            EventHandle* e = Receive(d, Unhex(hex));
            g.unlock();
            Signal(e);
            return 1;
        }
    return 0;
}

SIM_EXPORT int d2xxsim_IsOpen(DWORD loc) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    for (const Device& d : s.devices)
        if (d.loc == loc)
            return d.open ? 1 : 0;
    return -1;
}

// ---- The library's entry points ---------------------------------------------------------------

SIM_EXPORT FT_STATUS FT_GetLibraryVersion(DWORD* lpdwVersion) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    if (FT_STATUS st = Injected(s, "FT_GetLibraryVersion"))
        return st;
    *lpdwVersion = s.version;
    return FT_OK;
}

SIM_EXPORT FT_STATUS FT_CreateDeviceInfoList(DWORD* lpdwNumDevs) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    if (FT_STATUS st = Injected(s, "FT_CreateDeviceInfoList"))
        return st;
    *lpdwNumDevs = static_cast<DWORD>(s.devices.size());
    return FT_OK;
}

SIM_EXPORT FT_STATUS FT_GetDeviceInfoList(Node* pDest, DWORD* lpdwNumDevs) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    if (FT_STATUS st = Injected(s, "FT_GetDeviceInfoList"))
        return st;
    DWORD n = std::min<DWORD>(*lpdwNumDevs, static_cast<DWORD>(s.devices.size()));
    for (DWORD i = 0; i < n; ++i) {
        Device& d = s.devices[i];
        pDest[i].Flags = d.open ? 1 : 0;
        pDest[i].Type = d.type;
        pDest[i].ID = d.id;
        pDest[i].LocId = d.loc;
        CopyField(pDest[i].SerialNumber, 16, d.serial);
        CopyField(pDest[i].Description, 64, d.description);
        pDest[i].ftHandle = d.open ? &d : nullptr;
    }
    *lpdwNumDevs = n;
    return FT_OK;
}

// The name lists: the count alone, or every device's serial number, description or location
// (held devices too, as the real library lists them), written without regard to the room given.
SIM_EXPORT FT_STATUS FT_ListDevices(void* pArg1, void* pArg2, DWORD Flags) {
    constexpr DWORD NumberOnly = 0x80000000, All = 0x20000000;
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    if (FT_STATUS st = Injected(s, "FT_ListDevices"))
        return st;
    DWORD n = static_cast<DWORD>(s.devices.size());
    if (Flags == NumberOnly) {
        *static_cast<DWORD*>(pArg1) = n;
        return FT_OK;
    }
    if ((Flags & All) == 0)
        return FT_INVALID_PARAMETER;
    for (DWORD i = 0; i < n; ++i) {
        const Device& d = s.devices[i];
        if ((Flags & 4) != 0)
            static_cast<DWORD*>(pArg1)[i] = d.loc;
        else
            std::snprintf(static_cast<char**>(pArg1)[i], 64, "%s",
                          ((Flags & 2) != 0 ? d.description : d.serial).c_str());
    }
    *static_cast<DWORD*>(pArg2) = n;
    return FT_OK;
}

SIM_EXPORT FT_STATUS FT_OpenEx(void* pArg1, DWORD Flags, FT_HANDLE* pHandle) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    std::string what;
    if (Flags == 4) {
        char locText[16];
        std::snprintf(locText, sizeof(locText), "%04X",
                      static_cast<unsigned>(reinterpret_cast<uintptr_t>(pArg1)));
        what = std::string("loc=") + locText;
    } else {
        what = (Flags == 1 ? "sn=" : "ds=") + std::string(static_cast<const char*>(pArg1));
    }
    Log(s, "FT_OpenEx " + what);
    if (FT_STATUS st = Injected(s, "FT_OpenEx"))
        return st;
    for (Device& d : s.devices) {
        bool match = (Flags == 4 && d.loc == reinterpret_cast<uintptr_t>(pArg1)) ||
                     (Flags == 1 && d.serial == static_cast<const char*>(pArg1)) ||
                     (Flags == 2 && d.description == static_cast<const char*>(pArg1));
        if (!match)
            continue;
        if (d.open)
            return FT_DEVICE_NOT_OPENED;
        d.open = true;
        d.rx.clear();
        d.eventWord = 0;
        d.event = nullptr;
        *pHandle = &d;
        return FT_OK;
    }
    if (Flags != 1 && Flags != 2 && Flags != 4)
        return FT_INVALID_PARAMETER;
    return FT_DEVICE_NOT_FOUND;
}

SIM_EXPORT FT_STATUS FT_Close(FT_HANDLE h) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    Log(s, "FT_Close");
    if (FT_STATUS st = Injected(s, "FT_Close"))
        return st;
    Device* d = OpenDevice(s, h);
    if (d == nullptr)
        return FT_INVALID_HANDLE;
    d->open = false;
    d->event = nullptr;
    return FT_OK;
}

SIM_EXPORT FT_STATUS FT_ResetDevice(FT_HANDLE h) {
    return OnDevice("FT_ResetDevice", h, [](State& s, Device&) {
        Log(s, "FT_ResetDevice");
        return FT_OK;
    });
}

SIM_EXPORT FT_STATUS FT_SetBaudRate(FT_HANDLE h, ULONG rate) {
    return OnDevice("FT_SetBaudRate", h, [rate](State& s, Device&) {
        Log(s, "FT_SetBaudRate " + std::to_string(rate));
        // What an FT232R can divide its clock down to.
        return rate >= 183 && rate <= 3000000 ? FT_OK : FT_INVALID_BAUD_RATE;
    });
}

SIM_EXPORT FT_STATUS FT_SetDataCharacteristics(FT_HANDLE h, UCHAR bits, UCHAR stop, UCHAR parity) {
    return OnDevice("FT_SetDataCharacteristics", h, [=](State& s, Device&) {
        Log(s, "FT_SetDataCharacteristics " + std::to_string(bits) + " " + std::to_string(stop) +
                   " " + std::to_string(parity));
        return FT_OK;
    });
}

SIM_EXPORT FT_STATUS FT_SetFlowControl(FT_HANDLE h, USHORT mode, UCHAR xon, UCHAR xoff) {
    return OnDevice("FT_SetFlowControl", h, [=](State& s, Device&) {
        uint8_t bytes[] = {static_cast<uint8_t>(mode >> 8), static_cast<uint8_t>(mode), xon, xoff};
        Log(s, "FT_SetFlowControl " + Hex(bytes, 2) + " " + Hex(bytes + 2, 1) + " " +
                   Hex(bytes + 3, 1));
        return FT_OK;
    });
}

SIM_EXPORT FT_STATUS FT_SetEventNotification(FT_HANDLE h, DWORD mask, void* param) {
    return OnDevice("FT_SetEventNotification", h, [=](State& s, Device& d) {
        Log(s, "FT_SetEventNotification " + std::to_string(mask));
        d.event = static_cast<EventHandle*>(param);
        return FT_OK;
    });
}

SIM_EXPORT FT_STATUS FT_GetStatus(FT_HANDLE h, DWORD* rx, DWORD* tx, DWORD* ev) {
    return OnDevice("FT_GetStatus", h, [=](State&, Device& d) {
        *rx = static_cast<DWORD>(d.rx.size());
        *tx = 0;
        *ev = d.eventWord;
        d.eventWord = 0;
        return FT_OK;
    });
}

SIM_EXPORT FT_STATUS FT_GetQueueStatus(FT_HANDLE h, DWORD* rx) {
    return OnDevice("FT_GetQueueStatus", h, [=](State&, Device& d) {
        *rx = static_cast<DWORD>(d.rx.size());
        return FT_OK;
    });
}

SIM_EXPORT FT_STATUS FT_Read(FT_HANDLE h, void* buffer, DWORD count, DWORD* read) {
    return OnDevice("FT_Read", h, [=](State& s, Device& d) {
        DWORD n = std::min<DWORD>(count, static_cast<DWORD>(d.rx.size()));
        std::memcpy(buffer, d.rx.data(), n);
        d.rx.erase(0, n);
        *read = n;
        Log(s, "FT_Read " + Hex(buffer, n));
        return FT_OK;
    });
}

SIM_EXPORT FT_STATUS FT_Write(FT_HANDLE h, void* buffer, DWORD count, DWORD* written) {
    State& s = S();
    std::unique_lock<std::mutex> g(s.m);
    Log(s, "FT_Write " + Hex(buffer, count));
    if (FT_STATUS st = Injected(s, "FT_Write"))
        return st;
    Device* d = OpenDevice(s, h);
    if (d == nullptr)
        return FT_INVALID_HANDLE;
    s.written = true;
    *written = count;
    std::string data(static_cast<const char*>(buffer), count);
    for (const auto& [req, resp] : s.replies)
        if (req == "*" || req == data) {
            EventHandle* e = Receive(*d, resp);
            g.unlock();
            Signal(e);
            break;
        }
    return FT_OK;
}

SIM_EXPORT FT_STATUS FT_Purge(FT_HANDLE h, ULONG mask) {
    return OnDevice("FT_Purge", h, [=](State& s, Device& d) {
        Log(s, "FT_Purge " + std::to_string(mask));
        if (mask & 1)
            d.rx.clear();
        return FT_OK;
    });
}

#define SIM_LINE(Name)                                                                             \
    SIM_EXPORT FT_STATUS Name(FT_HANDLE h) {                                                       \
        return OnDevice(#Name, h, [](State& s, Device&) {                                          \
            Log(s, #Name);                                                                         \
            return FT_OK;                                                                          \
        });                                                                                        \
    }
SIM_LINE(FT_SetDtr)
SIM_LINE(FT_ClrDtr)
SIM_LINE(FT_SetRts)
SIM_LINE(FT_ClrRts)

SIM_EXPORT FT_STATUS FT_SetBitMode(FT_HANDLE h, UCHAR mask, UCHAR mode) {
    return OnDevice("FT_SetBitMode", h, [=](State& s, Device&) {
        Log(s, "FT_SetBitMode " + Hex(&mask, 1) + " " + Hex(&mode, 1));
        return FT_OK;
    });
}

SIM_EXPORT FT_STATUS FT_SetLatencyTimer(FT_HANDLE h, UCHAR ms) {
    return OnDevice("FT_SetLatencyTimer", h, [=](State& s, Device&) {
        Log(s, "FT_SetLatencyTimer " + std::to_string(ms));
        return FT_OK;
    });
}

SIM_EXPORT FT_STATUS FT_GetBitMode(FT_HANDLE h, UCHAR* mode) {
    return OnDevice("FT_GetBitMode", h, [=](State&, Device&) {
        *mode = 0x0F;
        return FT_OK;
    });
}

SIM_EXPORT FT_STATUS FT_GetDeviceInfo(FT_HANDLE h, ULONG* type, DWORD* id, char* serial,
                                      char* description, void*) {
    return OnDevice("FT_GetDeviceInfo", h, [=](State&, Device& d) {
        *type = d.type;
        *id = d.id;
        CopyField(serial, 16, d.serial);
        CopyField(description, 64, d.description);
        return FT_OK;
    });
}
