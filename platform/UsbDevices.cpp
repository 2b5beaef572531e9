#include "platform/UsbDevices.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace UsbDevices {

namespace fs = std::filesystem;

namespace {

int ReadNumber(const fs::path& file) {
    int i = -1;
    std::ifstream(file) >> i;
    return i;
}

} // namespace

std::string SysRoot() {
    const char* s = std::getenv("TELVIK_SYSFS");
    return s != nullptr && *s != '\0' ? s : "/sys";
}

std::optional<std::string> InterfaceDriver(int iBus, int iAddress, const std::string& sSysRoot) {
    std::error_code ec;
    const fs::path devices = fs::path(sSysRoot) / "bus/usb/devices";
    for (const auto& entry : fs::directory_iterator(devices, ec)) {
        std::string name = entry.path().filename().string();
        // Interfaces ("1-2:1.0") and root hubs' own entries are not devices of a port.
        if (name.find(':') != std::string::npos || ReadNumber(entry.path() / "busnum") != iBus ||
            ReadNumber(entry.path() / "devnum") != iAddress)
            continue;
        fs::path interface = devices / (name + ":1.0");
        if (!fs::exists(interface, ec))
            return std::nullopt;
        fs::path driver = fs::read_symlink(interface / "driver", ec);
        return ec ? std::string() : driver.filename().string();
    }
    return std::nullopt;
}

} // namespace UsbDevices
