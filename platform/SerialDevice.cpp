#include "platform/SerialDevice.h"

#include "common/SysUtils.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace SerialDevice {

std::string ComDevicePath(int iPort) {
    std::string name = "TELVIK_COM" + std::to_string(iPort);
    if (const char* path = std::getenv(name.c_str()); path != nullptr && *path != '\0')
        return path;
    return "/dev/ttyS" + std::to_string(iPort - 1);
}

std::u16string ErrorText(int iCode) {
    char buf[256];
    // The GNU strerror_r returns its text, which need not be in `buf`.
    const char* text = strerror_r(iCode, buf, sizeof buf);
    return SysUtils::FromUtf8(text);
}

} // namespace SerialDevice
