// FTDI chips beneath the vendor's D2XX library. The library (with its own copy of libusb) is
// linked with the linker's --wrap for the libc calls through which it reaches USB, so that only
// its calls land here: paths below /sys/bus/usb/devices and /dev/bus/usb are turned into a
// generated tree, a device node becomes an eventfd, and usbfs ioctls on it are answered by the
// chip model below. Everything else is passed on to libc unchanged.
//
// Control file (FTDIEMU_CONFIG), one statement a line, '#' starts a comment:
//   device CHIP BUS ADDR SERIAL DESCRIPTION...   CHIP is 232R, X or 232H
//   held BUS ADDR                 the device is bound to the kernel driver (claim gives EBUSY)
//   late BUS ADDR MS              the device is plugged in MS ms after the bus came up
//   gone BUS ADDR MS              the device is unplugged MS ms after the bus came up
//   reply HEXOUT HEXIN            once the bytes written contain HEXOUT, HEXIN is received
//   modem MS HEXBYTE              MS ms after the first write the modem status becomes HEXBYTE
//   unplug MS                     MS ms after the first write every device is unplugged
// Trace (FTDIEMU_TRACE): every control request ("ctl"), bulk OUT ("out"), bulk IN that carries
// data ("in"; the status-only packets sent every latency period are left out), interface claim,
// reset and unplug, in order.
//
// The bus is shared by every process that uses the same control file, as the kernel shares it:
// the generated tree is built once (under a lock, again only when the control file changed), an
// interface claim is an open-file-description lock on a per-device file, so that it refuses every
// other claimer and vanishes with its holder (closed or killed), and the interface's driver link
// in sysfs names "usbfs" while it is claimed and "ftdi_sio" while the kernel driver holds it.

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <linux/netlink.h>
#include <linux/usbdevice_fs.h>
#include <map>
#include <mutex>
#include <new>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

extern "C" {
int __real_open(const char* path, int flags, ...);
int __real_close(int fd);
int __real_ioctl(int fd, unsigned long request, void* arg);
int __real_poll(pollfd* fds, nfds_t n, int timeout);
int __real_stat(const char* path, struct stat* st);
DIR* __real_opendir(const char* path);
FILE* __real_fopen(const char* path, const char* mode);
int __real_socket(int domain, int type, int protocol);
int __real_bind(int fd, const sockaddr* addr, socklen_t len);
int __real_setsockopt(int fd, int level, int name, const void* value, socklen_t len);
ssize_t __real_recvmsg(int fd, msghdr* msg, int flags);
}

namespace {

struct TChip {
    const char* name;
    uint16_t pid;
    uint16_t bcdDevice;
    uint16_t packet; // bulk packet size
    int speed;       // Mbit/s in sysfs
    uint16_t eepromWords;
};
// FT232R, FT-X (FT230X family) and FT232H, as their descriptors and EEPROMs present them.
const TChip kChips[] = {{"232R", 0x6001, 0x0600, 64, 12, 64},
                        {"X", 0x6015, 0x1000, 64, 12, 128},
                        {"232H", 0x6014, 0x0900, 512, 480, 128}};

struct TDevice {
    const TChip* chip;
    int bus, addr;
    std::string serial, desc;
    bool held = false, unplugged = false;
    long lateMs = -1; // plugged in this long after the bus came up; -1: from the start
    long goneMs = -1; // unplugged this long after the bus came up; -1: never
    bool announced = false;
    int fd = -1;
    int claimFd = -1; // holds this process's claim while it lasts
    uint8_t modem = 0x01, line = 0x60, latency = 16;
    uint8_t pins = 0; // CBUS levels driven in bit-bang mode
    std::string rxQueue, txSeen;
    std::deque<usbdevfs_urb*> inUrbs, done;
    timespec lastIn{};
    std::vector<uint16_t> eeprom;
    std::string sysDir;
};

constexpr char kManufacturer[] = "FTDI";

struct TReply {
    std::string out, in;
};

// The library's constructor already reaches the wrappers, possibly before this file's own
// static constructors have run: all state is made on first use instead.
struct TState {
    std::vector<TDevice> devices;
    std::vector<TReply> replies;
    std::vector<std::pair<long, int>> modemChanges; // ms after the first write, new status
    long unplugMs = -1;
    timespec firstWrite{};
    bool written = false;
    std::string root;
    long busUpMs = 0; // CLOCK_MONOTONIC (shared by every process) when the tree was built
    FILE* trace = nullptr;
    std::thread ticker;
    bool tickerStop = false;
    // The kernel's hotplug messages: the library's netlink socket stands in as an eventfd.
    int uevents = -1;
    std::deque<std::string> pendingUevents;
    std::thread plugger;
    bool pluggerStop = false;
};
TState& S() {
    // In the library's own memory, so that nothing of it is left once the library is unloaded.
    alignas(TState) static unsigned char storage[sizeof(TState)];
    static TState* s = new (storage) TState;
    return *s;
}
std::mutex gMutex;
pthread_once_t gOnce = PTHREAD_ONCE_INIT;

long MsSince(const timespec& t) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - t.tv_sec) * 1000 + (now.tv_nsec - t.tv_nsec) / 1000000;
}

std::string Hex(const void* p, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; ++i) {
        snprintf(b, sizeof b, "%02X", static_cast<const uint8_t*>(p)[i]);
        s += b;
    }
    return s;
}

std::string Unhex(const std::string& h) {
    std::string s;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        s += static_cast<char>(std::strtoul(h.substr(i, 2).c_str(), nullptr, 16));
    return s;
}

void Trace(const TDevice& d, const char* fmt, ...) {
    if (S().trace == nullptr)
        return;
    fprintf(S().trace, "%d.%d ", d.bus, d.addr);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(S().trace, fmt, ap);
    va_end(ap);
    fputc('\n', S().trace);
    fflush(S().trace);
}

void WriteFile(const std::string& path, const std::string& content) {
    FILE* f = __real_fopen(path.c_str(), "wb");
    if (f != nullptr) {
        fwrite(content.data(), 1, content.size(), f);
        fclose(f);
    }
}

void Put16(std::string& s, uint16_t w) {
    s += static_cast<char>(w & 0xFF);
    s += static_cast<char>(w >> 8);
}

std::string DeviceDescriptors(const TDevice& d) {
    std::string s;
    // Device: USB 2.0, class from the interface, EP0 of 64 (8 on full-speed chips is also
    // seen; 64 keeps it simple), three strings, one configuration.
    s += "\x12\x01";
    Put16(s, 0x0200);
    s += std::string("\0\0\0\x40", 4);
    Put16(s, 0x0403);
    Put16(s, d.chip->pid);
    Put16(s, d.chip->bcdDevice);
    s += "\x01\x02\x03\x01";
    // Configuration with one vendor-specific interface and two bulk endpoints.
    s += "\x09\x02";
    Put16(s, 9 + 9 + 7 + 7);
    s += std::string("\x01\x01\x00\xA0\x2D", 5);
    s += std::string("\x09\x04\x00\x00\x02\xFF\xFF\xFF\x02", 9);
    for (uint8_t ep : {0x81, 0x02}) {
        s += "\x07\x05";
        s += static_cast<char>(ep);
        s += '\x02';
        Put16(s, d.chip->packet);
        s += '\0';
    }
    return s;
}

// An EEPROM image as the chip's configuration tool would write it: ids, power, the three
// strings as descriptors with pointers to them, and the checksum in the last word.
std::vector<uint16_t> EepromImage(const TDevice& d) {
    std::vector<uint16_t> w(d.chip->eepromWords, 0);
    w[1] = 0x0403;
    w[2] = d.chip->pid;
    w[3] = d.chip->bcdDevice;
    w[4] = 0x2DA0; // bus powered, 90 mA
    size_t at = 0x0C;
    auto addString = [&](const std::string& text, size_t ptrWord) {
        size_t bytes = 2 + 2 * text.size();
        if (at + bytes / 2 >= w.size() - 1)
            return;
        w[ptrWord] = static_cast<uint16_t>((bytes << 8) | ((at * 2) | 0x80));
        w[at++] = static_cast<uint16_t>(0x0300 | bytes);
        for (char c : text)
            w[at++] = static_cast<uint8_t>(c);
    };
    addString(kManufacturer, 7);
    addString(d.desc, 8);
    addString(d.serial, 9);
    uint16_t sum = 0xAAAA;
    for (size_t i = 0; i + 1 < w.size(); ++i) {
        sum ^= w[i];
        sum = static_cast<uint16_t>((sum << 1) | (sum >> 15));
    }
    w.back() = sum;
    return w;
}

long NowMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

std::string InterfaceDir(const TDevice& d) {
    return d.sysDir + ":1.0";
}

std::string ClaimFile(const TDevice& d) {
    return S().root + "/claims/" + std::to_string(d.bus) + "-" + std::to_string(d.addr);
}

// The tree's lock: builders, pluggers and driver-link keepers of all processes take turns.
struct TTreeLock {
    int fd;
    TTreeLock()
        : fd(__real_open((S().root + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
        if (fd >= 0)
            flock(fd, LOCK_EX);
    }
    ~TTreeLock() {
        if (fd >= 0)
            __real_close(fd);
    }
};

void SetDriverLink(const TDevice& d, const char* driver) {
    std::string link = InterfaceDir(d) + "/driver";
    unlink(link.c_str());
    if (driver != nullptr &&
        symlink((S().root + "/sys/bus/usb/drivers/" + driver).c_str(), link.c_str()) != 0) {
    }
}

// A device's files appear at once: written aside, then renamed into place.
void PlugFiles(const TDevice& d) {
    std::string aside = S().root + "/aside-" + d.sysDir.substr(d.sysDir.rfind('/') + 1);
    mkdir(aside.c_str(), 0755);
    WriteFile(aside + "/busnum", std::to_string(d.bus) + "\n");
    WriteFile(aside + "/devnum", std::to_string(d.addr) + "\n");
    WriteFile(aside + "/speed", std::to_string(d.chip->speed) + "\n");
    WriteFile(aside + "/bConfigurationValue", "1\n");
    WriteFile(aside + "/descriptors", DeviceDescriptors(d));
    WriteFile(aside + "/product", d.desc + "\n");
    WriteFile(aside + "/serial", d.serial + "\n");
    char id[8];
    snprintf(id, sizeof id, "%04x\n", d.chip->pid);
    WriteFile(aside + "/idProduct", id);
    WriteFile(aside + "/idVendor", "0403\n");
    rename(aside.c_str(), d.sysDir.c_str());
    mkdir(InterfaceDir(d).c_str(), 0755);
    if (d.held)
        SetDriverLink(d, "ftdi_sio");
    char node[32];
    snprintf(node, sizeof node, "/%03d", d.bus);
    std::string dev = S().root + "/dev/bus/usb";
    mkdir((dev + node).c_str(), 0755);
    snprintf(node, sizeof node, "/%03d/%03d", d.bus, d.addr);
    WriteFile(dev + node, "");
}

bool Plugged(const TDevice& d) {
    return (d.lateMs < 0 || NowMs() >= S().busUpMs + d.lateMs) &&
           (d.goneMs < 0 || NowMs() < S().busUpMs + d.goneMs);
}

// What every process sees of the shared bus, brought up to date: late devices plugged in, and
// the driver links of claims whose holder has gone (the kernel drops them with the holder).
void Refresh() {
    TTreeLock lock;
    struct stat st;
    for (TDevice& d : S().devices) {
        if (d.unplugged)
            continue;
        if (Plugged(d) && __real_stat(d.sysDir.c_str(), &st) != 0)
            PlugFiles(d);
        char target[512];
        ssize_t n = readlink((InterfaceDir(d) + "/driver").c_str(), target, sizeof target - 1);
        if (n <= 0 ||
            std::string(target, static_cast<size_t>(n)).find("usbfs") == std::string::npos)
            continue;
        int fd = __real_open(ClaimFile(d).c_str(), O_RDWR | O_CLOEXEC);
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        if (fd >= 0 && fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type == F_UNLCK)
            SetDriverLink(d, nullptr);
        if (fd >= 0)
            __real_close(fd);
    }
}

void BuildTree(const std::string& config) {
    TTreeLock lock;
    // The tree of this very control file is kept: other processes may be using it.
    std::string marker = S().root + "/.built";
    if (FILE* f = __real_fopen(marker.c_str(), "r")) {
        std::string built;
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;)
            built.append(buf, n);
        fclose(f);
        size_t nl = built.find('\n');
        if (nl != std::string::npos && built.substr(nl + 1) == config) {
            S().busUpMs = std::atol(built.c_str());
            std::string sys = S().root + "/sys/bus/usb/devices";
            int port = 1;
            for (TDevice& d : S().devices) {
                d.sysDir = sys + "/" + std::to_string(d.bus) + "-" + std::to_string(port++);
                d.eeprom = EepromImage(d);
            }
            return;
        }
    }
    std::error_code ec;
    std::filesystem::remove_all(S().root, ec);
    std::string sys = S().root + "/sys/bus/usb/devices", dev = S().root + "/dev/bus/usb";
    for (const std::string& p :
         {S().root, S().root + "/sys", S().root + "/sys/bus", S().root + "/sys/bus/usb", sys,
          S().root + "/sys/bus/usb/drivers", S().root + "/sys/bus/usb/drivers/usbfs",
          S().root + "/sys/bus/usb/drivers/ftdi_sio", S().root + "/claims", S().root + "/dev",
          S().root + "/dev/bus", dev})
        mkdir(p.c_str(), 0755);
    S().busUpMs = NowMs();
    int port = 1;
    for (TDevice& d : S().devices) {
        d.sysDir = sys + "/" + std::to_string(d.bus) + "-" + std::to_string(port++);
        WriteFile(ClaimFile(d), "");
        if (Plugged(d))
            PlugFiles(d);
        d.eeprom = EepromImage(d);
    }
    WriteFile(marker, std::to_string(S().busUpMs) + "\n" + config);
}

void Load() {
    const char* cfg = getenv("FTDIEMU_CONFIG");
    if (cfg == nullptr)
        return;
    if (const char* t = getenv("FTDIEMU_TRACE"))
        S().trace = __real_fopen(t, "a");
    FILE* f = __real_fopen(cfg, "r");
    if (f == nullptr)
        return;
    std::string config;
    char buf[512];
    while (fgets(buf, sizeof buf, f) != nullptr) {
        config += buf;
        std::string line(buf);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        char word[16] = {}, a[128] = {}, b[128] = {};
        int n1 = 0, n2 = 0, used = 0;
        long ms = 0;
        if (sscanf(line.c_str(), "%15s", word) != 1 || word[0] == '#')
            continue;
        std::string w = word;
        if (w == "device" &&
            sscanf(line.c_str(), "device %15s %d %d %127s %n", a, &n1, &n2, b, &used) == 4) {
            for (const TChip& c : kChips)
                if (c.name == std::string(a)) {
                    TDevice d;
                    d.chip = &c;
                    d.bus = n1;
                    d.addr = n2;
                    d.serial = b;
                    d.desc = line.substr(static_cast<size_t>(used));
                    S().devices.push_back(d);
                }
        } else if (w == "held" && sscanf(line.c_str(), "held %d %d", &n1, &n2) == 2) {
            for (TDevice& d : S().devices)
                if (d.bus == n1 && d.addr == n2)
                    d.held = true;
        } else if (w == "late" && sscanf(line.c_str(), "late %d %d %ld", &n1, &n2, &ms) == 3) {
            for (TDevice& d : S().devices)
                if (d.bus == n1 && d.addr == n2)
                    d.lateMs = ms;
        } else if (w == "gone" && sscanf(line.c_str(), "gone %d %d %ld", &n1, &n2, &ms) == 3) {
            for (TDevice& d : S().devices)
                if (d.bus == n1 && d.addr == n2)
                    d.goneMs = ms;
        } else if (w == "reply" && sscanf(line.c_str(), "reply %127s %127s", a, b) == 2) {
            S().replies.push_back({Unhex(a), Unhex(b)});
        } else if (w == "modem" && sscanf(line.c_str(), "modem %d %x", &n1, &n2) == 2) {
            S().modemChanges.push_back({n1, n2});
        } else if (w == "unplug" && sscanf(line.c_str(), "unplug %d", &n1) == 1) {
            S().unplugMs = n1;
        }
    }
    fclose(f);
    S().root = std::string(cfg) + ".root";
    BuildTree(config);
}

void Init() {
    pthread_once(&gOnce, Load);
}

// A path of the USB tree moved into the generated one; empty when it is none of ours.
std::string Mapped(const char* path) {
    Init();
    if (S().root.empty() || path == nullptr)
        return {};
    for (const char* prefix : {"/sys/bus/usb", "/dev/bus/usb"})
        if (strncmp(path, prefix, strlen(prefix)) == 0)
            return S().root + path;
    return {};
}

TDevice* ByFd(int fd) {
    for (TDevice& d : S().devices)
        if (d.fd == fd && fd >= 0)
            return &d;
    return nullptr;
}

// Wakes whoever polls the node; the count is taken back once nothing is left to reap.
void Signal(TDevice& d) {
    uint64_t one = 1;
    if (write(d.fd, &one, sizeof one) < 0) {
    }
}

void Complete(TDevice& d, usbdevfs_urb* urb, int status) {
    urb->status = status;
    d.done.push_back(urb);
    Signal(d);
}

void Unplug(TDevice& d) {
    if (d.unplugged)
        return;
    d.unplugged = true;
    Trace(d, "unplug");
    while (!d.inUrbs.empty()) {
        Complete(d, d.inUrbs.front(), -ESHUTDOWN);
        d.inUrbs.pop_front();
    }
    char node[32];
    snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", d.bus, d.addr);
    unlink((S().root + node).c_str());
    for (const char* f : {"busnum", "devnum", "speed", "bConfigurationValue", "descriptors",
                          "product", "serial", "idProduct", "idVendor"})
        unlink((d.sysDir + "/" + f).c_str());
    rmdir(d.sysDir.c_str());
    unlink((InterfaceDir(d) + "/driver").c_str());
    rmdir(InterfaceDir(d).c_str());
    if (d.fd >= 0)
        Signal(d);
}

// A late device is plugged in at its time: its files appear and the library hears of it as it
// would from the kernel.
void Plugger() {
    for (;;) {
        usleep(5000);
        std::lock_guard<std::mutex> lock(gMutex);
        if (S().pluggerStop)
            return;
        bool waiting = false;
        for (TDevice& d : S().devices) {
            const char* action = nullptr;
            if (d.lateMs >= 0 && !d.announced && d.goneMs < 0) {
                waiting |= !Plugged(d);
                if (Plugged(d)) {
                    Refresh();
                    d.announced = true;
                    action = "add";
                }
            } else if (d.goneMs >= 0 && !d.unplugged) {
                waiting |= Plugged(d);
                if (!Plugged(d)) {
                    Unplug(d);
                    action = "remove";
                }
            }
            if (action == nullptr)
                continue;
            std::string name = d.sysDir.substr(d.sysDir.rfind('/') + 1);
            char bus[8], dev[8];
            snprintf(bus, sizeof bus, "%03d", d.bus);
            snprintf(dev, sizeof dev, "%03d", d.addr);
            std::string path = "/devices/pci0000:00/usb" + std::to_string(d.bus) + "/" + name;
            std::string a = action;
            std::string msg = a + "@" + path + '\0' + "ACTION=" + a + '\0' + "DEVPATH=" + path +
                              '\0' + "SUBSYSTEM=usb" + '\0' + "DEVNAME=bus/usb/" + bus + "/" + dev +
                              '\0' + "DEVTYPE=usb_device" + '\0' + "BUSNUM=" + bus + '\0' +
                              "DEVNUM=" + dev + '\0' + "SEQNUM=1" + '\0';
            S().pendingUevents.push_back(msg);
            uint64_t one = 1;
            if (write(S().uevents, &one, sizeof one) < 0) {
            }
        }
        if (!waiting)
            return;
    }
}

// The chip's side of time: IN packets every latency period or as soon as a full one waits, modem
// status changes and the unplug.
// Runs while some device node is open, so that nothing of the emulator runs once the library
// has closed its devices and may be unloaded.
void Ticker() {
    for (;;) {
        usleep(1000);
        std::lock_guard<std::mutex> lock(gMutex);
        if (S().tickerStop)
            return;
        for (auto it = S().modemChanges.begin(); S().written && it != S().modemChanges.end();) {
            if (MsSince(S().firstWrite) < it->first) {
                ++it;
                continue;
            }
            for (TDevice& d : S().devices)
                d.modem = static_cast<uint8_t>(it->second);
            it = S().modemChanges.erase(it);
        }
        if (S().written && S().unplugMs >= 0 && MsSince(S().firstWrite) >= S().unplugMs)
            for (TDevice& d : S().devices)
                Unplug(d);
        for (TDevice& d : S().devices) {
            if (d.unplugged || d.inUrbs.empty())
                continue;
            // As the chip: a packet goes when it is full or the latency timer has run out.
            if (d.rxQueue.size() + 2 < d.chip->packet && MsSince(d.lastIn) < d.latency)
                continue;
            usbdevfs_urb* urb = d.inUrbs.front();
            d.inUrbs.pop_front();
            size_t room = std::min<size_t>(static_cast<size_t>(urb->buffer_length), d.chip->packet);
            size_t n = std::min(d.rxQueue.size(), room > 2 ? room - 2 : 0);
            auto* p = static_cast<uint8_t*>(urb->buffer);
            p[0] = d.modem;
            p[1] = d.line;
            memcpy(p + 2, d.rxQueue.data(), n);
            if (n > 0)
                Trace(d, "in %s", Hex(d.rxQueue.data(), n).c_str());
            d.rxQueue.erase(0, n);
            urb->actual_length = static_cast<int>(n + 2);
            clock_gettime(CLOCK_MONOTONIC, &d.lastIn);
            Complete(d, urb, 0);
        }
    }
}

const char* VendorName(uint8_t req) {
    static const std::map<uint8_t, const char*> names = {
        {0x00, "RESET"},          {0x01, "MODEM_CTRL"},     {0x02, "SET_FLOW_CTRL"},
        {0x03, "SET_BAUD_RATE"},  {0x04, "SET_DATA"},       {0x05, "GET_MODEM_STATUS"},
        {0x06, "SET_EVENT_CHAR"}, {0x07, "SET_ERROR_CHAR"}, {0x09, "SET_LATENCY_TIMER"},
        {0x0A, "GET_LATENCY"},    {0x0B, "SET_BITMODE"},    {0x0C, "READ_PINS"},
        {0x90, "READ_EEPROM"},    {0x91, "WRITE_EEPROM"},   {0x92, "ERASE_EEPROM"}};
    auto it = names.find(req);
    return it != names.end() ? it->second : "VENDOR?";
}

// An FTDI vendor request: the answer it reads back (empty for the setting ones), or -errno.
int VendorRequest(TDevice& d, uint8_t req, uint16_t value, uint16_t index, std::string& in) {
    Trace(d, "ctl %s v=%04X i=%04X", VendorName(req), value, index);
    switch (req) {
    case 0x05:
        in = {static_cast<char>(d.modem), static_cast<char>(d.line)};
        break;
    case 0x09:
        d.latency = static_cast<uint8_t>(value);
        break;
    case 0x0A:
        in = std::string(1, static_cast<char>(d.latency));
        break;
    case 0x0B: // CBUS bit-bang drives the levels of the pins made outputs
        d.pins = (value >> 8) == 0x20 ? static_cast<uint8_t>(value & (value >> 4) & 0x0F) : 0;
        break;
    case 0x0C:
        in = std::string(1, static_cast<char>(d.pins));
        break;
    case 0x90:
        if (index >= d.eeprom.size())
            return -EPIPE;
        in = {static_cast<char>(d.eeprom[index] & 0xFF), static_cast<char>(d.eeprom[index] >> 8)};
        break;
    default:
        break;
    }
    return 0;
}

// A standard request: descriptors (strings in US English), configuration, status.
int StandardRequest(TDevice& d, uint8_t type, uint8_t req, uint16_t value, uint16_t index,
                    std::string& in) {
    Trace(d, "ctl %02X.%02X v=%04X i=%04X", type, req, value, index);
    if (req == 0x06 && (value >> 8) == 3) {
        const std::string texts[] = {"", kManufacturer, d.desc, d.serial};
        size_t i = value & 0xFF;
        if (i == 0) {
            in = std::string("\x04\x03\x09\x04", 4);
        } else if (i < std::size(texts)) {
            in = {static_cast<char>(2 + 2 * texts[i].size()), '\x03'};
            for (char c : texts[i])
                Put16(in, static_cast<uint8_t>(c));
        } else {
            return -EPIPE;
        }
    } else if (req == 0x06) { // device or configuration descriptor
        std::string all = DeviceDescriptors(d);
        in = (value >> 8) == 1 ? all.substr(0, 18) : all.substr(18);
    } else if (req == 0x08) { // GET_CONFIGURATION
        in = "\x01";
    } else if (req == 0x00 && (type & 0x80)) { // GET_STATUS
        in = std::string(2, '\0');
    }
    return 0;
}

// One control request; answers the bytes read (IN) or written (OUT), or -errno.
int Control(TDevice& d, uint8_t type, uint8_t req, uint16_t value, uint16_t index, uint16_t length,
            uint8_t* data) {
    if (d.unplugged)
        return -ENODEV;
    std::string in;
    int r = (type & 0x60) == 0x40 ? VendorRequest(d, req, value, index, in)
                                  : StandardRequest(d, type, req, value, index, in);
    if (r < 0)
        return r;
    if (type & 0x80) {
        size_t n = std::min<size_t>(length, in.size());
        memcpy(data, in.data(), n);
        return static_cast<int>(n);
    }
    return length;
}

void BulkOut(TDevice& d, const uint8_t* p, size_t n) {
    Trace(d, "out %s", Hex(p, n).c_str());
    if (!S().written) {
        S().written = true;
        clock_gettime(CLOCK_MONOTONIC, &S().firstWrite);
    }
    d.txSeen.append(reinterpret_cast<const char*>(p), n);
    for (const TReply& r : S().replies)
        if (d.txSeen.find(r.out) != std::string::npos) {
            d.rxQueue += r.in;
            d.txSeen.clear();
            break;
        }
}

int Fail(int e) {
    errno = e;
    return -1;
}

// The claim of interface 0: refused while any other holder has it, in this process or another.
bool Claim(TDevice& d) {
    if (d.claimFd >= 0)
        return true;
    TTreeLock lock;
    int fd = __real_open(ClaimFile(d).c_str(), O_RDWR | O_CLOEXEC);
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    if (fd < 0 || fcntl(fd, F_OFD_SETLK, &fl) != 0) {
        if (fd >= 0)
            __real_close(fd);
        return false;
    }
    d.claimFd = fd;
    SetDriverLink(d, "usbfs");
    return true;
}

void Release(TDevice& d) {
    if (d.claimFd < 0)
        return;
    TTreeLock lock;
    SetDriverLink(d, nullptr);
    __real_close(d.claimFd);
    d.claimFd = -1;
}

bool ClaimedElsewhere(const TDevice& d) {
    if (d.claimFd >= 0)
        return false;
    int fd = __real_open(ClaimFile(d).c_str(), O_RDWR | O_CLOEXEC);
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    bool claimed = fd >= 0 && fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
    if (fd >= 0)
        __real_close(fd);
    return claimed;
}

int UsbIoctl(TDevice& d, unsigned long request, void* arg) {
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES:
        *static_cast<uint32_t*>(arg) = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                       USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
        return 0;
    case USBDEVFS_REAPURBNDELAY:
    case USBDEVFS_REAPURB: {
        if (d.done.empty()) {
            uint64_t v;
            if (read(d.fd, &v, sizeof v) < 0) {
            }
            return Fail(d.unplugged ? ENODEV : EAGAIN);
        }
        *static_cast<void**>(arg) = d.done.front();
        d.done.pop_front();
        if (d.done.empty() && !d.unplugged) {
            uint64_t v;
            if (read(d.fd, &v, sizeof v) < 0) {
            }
        }
        return 0;
    }
    case USBDEVFS_DISCARDURB:
        for (auto it = d.inUrbs.begin(); it != d.inUrbs.end(); ++it)
            if (*it == arg) {
                d.inUrbs.erase(it);
                Complete(d, static_cast<usbdevfs_urb*>(arg), -ENOENT);
                return 0;
            }
        return Fail(EINVAL);
    default:
        break;
    }
    if (d.unplugged)
        return Fail(ENODEV);
    switch (request) {
    case USBDEVFS_CLAIMINTERFACE: {
        bool busy = d.held || !Claim(d);
        Trace(d, "claim %u%s", *static_cast<unsigned*>(arg), busy ? " EBUSY" : "");
        return busy ? Fail(EBUSY) : 0;
    }
    case USBDEVFS_RELEASEINTERFACE:
        Release(d);
        return 0;
    case USBDEVFS_GETDRIVER: {
        const char* driver = d.held ? "ftdi_sio" : ClaimedElsewhere(d) ? "usbfs" : nullptr;
        if (driver == nullptr)
            return Fail(ENODATA);
        strcpy(static_cast<usbdevfs_getdriver*>(arg)->driver, driver);
        return 0;
    }
    case USBDEVFS_RESET:
        Trace(d, "reset");
        return 0;
    case USBDEVFS_CONTROL: {
        auto* c = static_cast<usbdevfs_ctrltransfer*>(arg);
        int r = Control(d, c->bRequestType, c->bRequest, c->wValue, c->wIndex, c->wLength,
                        static_cast<uint8_t*>(c->data));
        return r < 0 ? Fail(-r) : r;
    }
    case USBDEVFS_SUBMITURB: {
        auto* urb = static_cast<usbdevfs_urb*>(arg);
        auto* p = static_cast<uint8_t*>(urb->buffer);
        if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
            uint16_t length = static_cast<uint16_t>(p[6] | p[7] << 8);
            int r = Control(d, p[0], p[1], static_cast<uint16_t>(p[2] | p[3] << 8),
                            static_cast<uint16_t>(p[4] | p[5] << 8), length, p + 8);
            urb->actual_length = r < 0 ? 0 : r;
            Complete(d, urb, r < 0 ? r : 0);
        } else if (urb->endpoint & 0x80) {
            d.inUrbs.push_back(urb);
        } else {
            BulkOut(d, p, static_cast<size_t>(urb->buffer_length));
            urb->actual_length = urb->buffer_length;
            Complete(d, urb, 0);
        }
        return 0;
    }
    default: // set configuration and interface, release, clear halt, connect info
        return 0;
    }
}

// After the library's own clean-up (a destructor of lower priority runs later): releases what
// the emulator allocated, as the library is unloaded with the program still running.
__attribute__((destructor(101))) void ReleaseState() {
    std::thread ended;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        S().tickerStop = true;
        ended = std::move(S().ticker);
        S().pluggerStop = true;
    }
    if (ended.joinable())
        ended.join();
    if (S().plugger.joinable())
        S().plugger.join();
    if (S().trace != nullptr)
        fclose(S().trace);
    S().~TState();
}

} // namespace

extern "C" {

int __wrap_open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = va_arg(ap, mode_t);
    va_end(ap);
    std::string mapped = Mapped(path);
    if (mapped.empty())
        return __real_open(path, flags, mode);
    unsigned bus = 0, addr = 0;
    if (sscanf(path, "/dev/bus/usb/%u/%u", &bus, &addr) == 2) {
        std::lock_guard<std::mutex> lock(gMutex);
        for (TDevice& d : S().devices)
            if (d.bus == static_cast<int>(bus) && d.addr == static_cast<int>(addr) &&
                !d.unplugged && Plugged(d)) {
                if (d.fd >= 0)
                    return Fail(EBUSY); // one opener at a time keeps the model simple
                d.fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
                d.done.clear();
                d.inUrbs.clear();
                if (!S().ticker.joinable()) {
                    S().tickerStop = false;
                    S().ticker = std::thread(Ticker);
                }
                return d.fd;
            }
        return Fail(ENOENT);
    }
    return __real_open(mapped.c_str(), flags, mode);
}

int __wrap_close(int fd) {
    std::thread ended;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        if (TDevice* d = ByFd(fd)) {
            Release(*d);
            d->fd = -1;
            d->inUrbs.clear();
            d->done.clear();
            bool anyOpen = false;
            for (const TDevice& other : S().devices)
                anyOpen |= other.fd >= 0;
            if (!anyOpen) {
                S().tickerStop = true;
                ended = std::move(S().ticker);
            }
        }
    }
    if (ended.joinable())
        ended.join();
    return __real_close(fd);
}

int __wrap_ioctl(int fd, unsigned long request, void* arg) {
    std::lock_guard<std::mutex> lock(gMutex);
    if (TDevice* d = ByFd(fd))
        return UsbIoctl(*d, request, arg);
    return __real_ioctl(fd, request, arg);
}

int __wrap_poll(pollfd* fds, nfds_t n, int timeout) {
    std::vector<pollfd> copy(fds, fds + n);
    std::vector<bool> usb(n, false);
    {
        std::lock_guard<std::mutex> lock(gMutex);
        for (nfds_t i = 0; i < n; ++i)
            if (TDevice* d = ByFd(fds[i].fd)) {
                usb[i] = true;
                copy[i].events = POLLIN;
                if (d->unplugged)
                    Signal(*d);
            }
    }
    int r = __real_poll(copy.data(), n, timeout);
    if (r <= 0)
        return r;
    std::lock_guard<std::mutex> lock(gMutex);
    r = 0;
    for (nfds_t i = 0; i < n; ++i) {
        fds[i].revents = copy[i].revents;
        if (usb[i]) {
            TDevice* d = ByFd(fds[i].fd);
            fds[i].revents = 0;
            if (d != nullptr && !d->done.empty())
                fds[i].revents |= POLLOUT;
            if (d != nullptr && d->unplugged)
                fds[i].revents |= POLLERR | POLLHUP;
        }
        r += fds[i].revents != 0;
    }
    return r;
}

int __wrap_socket(int domain, int type, int protocol) {
    Init();
    if (domain != AF_NETLINK || protocol != NETLINK_KOBJECT_UEVENT || S().root.empty())
        return __real_socket(domain, type, protocol);
    std::lock_guard<std::mutex> lock(gMutex);
    S().uevents = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    bool late = false;
    for (const TDevice& d : S().devices)
        late |= d.lateMs >= 0 || d.goneMs >= 0;
    if (late && !S().plugger.joinable())
        S().plugger = std::thread(Plugger);
    return S().uevents;
}

int __wrap_bind(int fd, const sockaddr* addr, socklen_t len) {
    return fd >= 0 && fd == S().uevents ? 0 : __real_bind(fd, addr, len);
}

int __wrap_setsockopt(int fd, int level, int name, const void* value, socklen_t len) {
    return fd >= 0 && fd == S().uevents ? 0 : __real_setsockopt(fd, level, name, value, len);
}

// A message as the kernel sends it: from the kernel's group, with root's credentials.
ssize_t __wrap_recvmsg(int fd, msghdr* msg, int flags) {
    if (fd < 0 || fd != S().uevents)
        return __real_recvmsg(fd, msg, flags);
    std::lock_guard<std::mutex> lock(gMutex);
    uint64_t v;
    if (S().pendingUevents.empty()) {
        if (read(fd, &v, sizeof v) < 0) {
        }
        return Fail(EAGAIN);
    }
    std::string m = S().pendingUevents.front();
    S().pendingUevents.pop_front();
    if (S().pendingUevents.empty() && read(fd, &v, sizeof v) < 0) {
    }
    size_t n = std::min(m.size(), msg->msg_iov[0].iov_len);
    memcpy(msg->msg_iov[0].iov_base, m.data(), n);
    if (msg->msg_name != nullptr) {
        auto* nl = static_cast<sockaddr_nl*>(msg->msg_name);
        memset(nl, 0, sizeof *nl);
        nl->nl_family = AF_NETLINK;
        nl->nl_groups = 1;
        msg->msg_namelen = sizeof *nl;
    }
    if (msg->msg_control != nullptr && msg->msg_controllen >= CMSG_SPACE(sizeof(ucred))) {
        cmsghdr* c = CMSG_FIRSTHDR(msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_CREDENTIALS;
        c->cmsg_len = CMSG_LEN(sizeof(ucred));
        ucred cred{0, 0, 0};
        memcpy(CMSG_DATA(c), &cred, sizeof cred);
        msg->msg_controllen = CMSG_SPACE(sizeof(ucred));
    }
    msg->msg_flags = 0;
    return static_cast<ssize_t>(n);
}

int __wrap_stat(const char* path, struct stat* st) {
    std::string mapped = Mapped(path);
    return __real_stat(mapped.empty() ? path : mapped.c_str(), st);
}

DIR* __wrap_opendir(const char* path) {
    std::string mapped = Mapped(path);
    // Each scan of the bus sees it as it is now.
    if (!mapped.empty() && strcmp(path, "/sys/bus/usb/devices") == 0) {
        std::lock_guard<std::mutex> lock(gMutex);
        Refresh();
    }
    return __real_opendir(mapped.empty() ? path : mapped.c_str());
}

FILE* __wrap_fopen(const char* path, const char* mode) {
    std::string mapped = Mapped(path);
    return __real_fopen(mapped.empty() ? path : mapped.c_str(), mode);
}

} // extern "C"
