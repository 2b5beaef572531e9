#pragma once
// What the kernel knows about a USB device, read from sysfs without any USB traffic: which
// driver holds an interface. Free of platform types.

#include <cstdint>
#include <optional>
#include <string>

namespace UsbDevices {

/// The sysfs root: TELVIK_SYSFS when set (tests point it at an emulated tree), else "/sys".
std::string SysRoot();

/// The driver bound to interface 0 of the device at `iBus`/`iAddress`: "ftdi_sio" (the kernel's
/// serial driver), "usbfs" (a program has claimed it), another driver's name, or empty when no
/// driver holds it. Nothing when sysfs does not show the device.
std::optional<std::string> InterfaceDriver(int iBus, int iAddress,
                                           const std::string& sSysRoot = SysRoot());

} // namespace UsbDevices
