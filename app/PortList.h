#pragma once
// The listing of `telvik --list`: what can be put into [DEVICE] Port, as tables.

#include <string>
#include <vector>

namespace SerialPorts {
struct TSerialPortInfo;
}

namespace PortList {

/// Rows of columns as a table: each column as wide as its widest cell, two blanks between.
std::string FormatTable(const std::vector<std::vector<std::string>>& rows);

/// The serial devices, the TELVIK_COMn mappings of `environment` (NAME=value entries) and, when
/// the D2XX library loads, the FTDI devices. Opens no serial device.
std::string PortListText(const std::vector<SerialPorts::TSerialPortInfo>& serialPorts,
                         const std::vector<std::string>& environment);
/// The same for this system and this process's environment.
std::string PortListText();

} // namespace PortList
