#include "app/PortList.h"

#include "common/SysUtils.h"
#include "platform/SerialPorts.h"
#include "platform/UsbDevices.h"
#include "ports/ftdi/FtdiD2xx.h"

#include <algorithm>
#include <cstdlib>

extern char** environ;

namespace PortList {

namespace {

std::string OrDash(const std::string& s) {
    return s.empty() ? "-" : s;
}

std::string SerialSection(const std::vector<SerialPorts::TSerialPortInfo>& ports) {
    std::string text = "Serial devices (Port=<device>, or TELVIK_COMn=<device> for COMn):\n";
    if (ports.empty())
        return text + "  none found\n";
    std::vector<std::vector<std::string>> rows{{"DEVICE", "DRIVER", "BY-ID", "USB", "SERIAL"}};
    for (const auto& p : ports)
        rows.push_back(
            {p.Device, OrDash(p.Driver), OrDash(p.ById), OrDash(p.UsbId), OrDash(p.UsbSerial)});
    return text + FormatTable(rows);
}

std::string MappingSection(const std::vector<std::string>& environment) {
    std::vector<std::pair<int, std::string>> maps;
    for (const auto& entry : environment) {
        size_t eq = entry.find('=');
        std::string name = entry.substr(0, eq);
        if (eq == std::string::npos || name.rfind("TELVIK_COM", 0) != 0 || name.size() == 10 ||
            name.find_first_not_of("0123456789", 10) != std::string::npos || eq + 1 == entry.size())
            continue;
        maps.emplace_back(std::atoi(name.c_str() + 10), entry.substr(eq + 1));
    }
    std::string text = "COM ports mapped by TELVIK_COMn (others are /dev/ttyS<n-1>):\n";
    if (maps.empty())
        return text + "  none\n";
    std::sort(maps.begin(), maps.end());
    std::vector<std::vector<std::string>> rows{{"PORT", "DEVICE"}};
    for (const auto& [n, path] : maps)
        rows.push_back({"COM" + std::to_string(n), path});
    return text + FormatTable(rows);
}

std::string FtdiSection() {
    using FtdiD2xx::TFtdiD2xxDeviceList;
    std::string text = "FTDI devices (D2XX library; Port=USB<locid>, SN:<serial> or "
                       "DS:<description>):\n";
    if (!FtdiD2xx::TFtdiD2xxBase::Available())
        return text + "  none listed: " + SysUtils::ToUtf8(FtdiD2xxDll::D2xxLibraryHint()) + "\n";
    // The library's name lists claim no device, so listing disturbs no station at work; who
    // holds a device is the kernel's knowledge.
    TFtdiD2xxDeviceList list;
    int32_t count = -1;
    try {
        count = list.LoadNames(true);
    } catch (const std::exception& e) {
        return text + "  none listed: " + e.what() + "\n";
    }
    if (count < 0)
        return text + "  none listed: the library could not list the devices (" +
               SysUtils::ToUtf8(FtdiD2xx::StatusText(list.LastError())) + ")\n";
    if (count == 0)
        return text + "  none found\n";
    std::vector<std::vector<std::string>> rows{{"INDEX", "PORT", "SERIAL", "DESCRIPTION", "STATE"}};
    for (int32_t i = 0; i < count; ++i) {
        uint32_t loc = list.LocId(i);
        std::optional<std::string> driver =
            UsbDevices::InterfaceDriver(static_cast<int>(loc >> 8), static_cast<int>(loc & 0xFF));
        std::string state = !driver              ? "unknown"
                            : driver->empty()    ? "free"
                            : *driver == "usbfs" ? "held by another program"
                                                 : "held by the kernel driver " + *driver;
        rows.push_back({std::to_string(i),
                        "USB" + SysUtils::ToUtf8(FtdiD2xx::TFtdiD2xxBase::UsbPortId(loc)),
                        OrDash(list.SerialNumber(i)), OrDash(list.Description(i)), state});
    }
    return text + FormatTable(rows);
}

} // namespace

std::string FormatTable(const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()));
        for (size_t c = 0; c < row.size(); ++c)
            widths[c] = std::max(widths[c], row[c].size());
    }
    std::string text;
    for (const auto& row : rows) {
        std::string line = " ";
        for (size_t c = 0; c < row.size(); ++c) {
            line += " " + row[c];
            if (c + 1 < row.size())
                line += std::string(widths[c] - row[c].size() + 1, ' ');
        }
        text += line + "\n";
    }
    return text;
}

std::string PortListText(const std::vector<SerialPorts::TSerialPortInfo>& serialPorts,
                         const std::vector<std::string>& environment) {
    return SerialSection(serialPorts) + "\n" + MappingSection(environment) + "\n" + FtdiSection();
}

std::string PortListText() {
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e)
        environment.emplace_back(*e);
    return PortListText(SerialPorts::ListSerialPorts(), environment);
}

} // namespace PortList
