#pragma once
// What the system knows about its serial devices, read from sysfs, /dev and /proc without opening
// any device: the listing of `telvik --list` and the facts behind an open that failed. The roots
// are parameters so that tests can hand in a tree of their own.

#include <string>
#include <vector>

namespace SerialPorts {

struct TSerialPortInfo {
    std::string Device;    ///< "/dev/ttyUSB0"
    std::string Driver;    ///< "ftdi_sio", "cdc_acm", "serial8250"; empty when not known
    std::string ById;      ///< the stable link in /dev/serial/by-id, empty when none
    std::string UsbId;     ///< "0403:6001" for a USB device
    std::string UsbSerial; ///< the USB device's serial number
};

/// The serial devices with hardware behind them (virtual terminals, pseudo-terminals and 8250
/// placeholders without a UART are left out), sorted by name.
std::vector<TSerialPortInfo> ListSerialPorts(const std::string& sSysRoot = "/sys",
                                             const std::string& sDevRoot = "/dev");

/// The processes that hold `sPath` open, as "1234 (picocom)"; only those this user may inspect.
std::vector<std::string> ProcessesHolding(const std::string& sPath,
                                          const std::string& sProcRoot = "/proc");

/// What to tell the user after `sCall` on `sPath` failed with errno `iCode`: the call, the path,
/// the system's text and a remedy where one is known ("open /dev/ttyUSB0: Permission denied: add
/// the user to the group dialout"). Empty for a code that is no errno.
std::string ErrorHint(const std::string& sCall, const std::string& sPath, int iCode,
                      const std::string& sProcRoot = "/proc");

} // namespace SerialPorts
