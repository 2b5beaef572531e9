#include "platform/SerialPorts.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

namespace SerialPorts {

namespace fs = std::filesystem;

namespace {

std::string FirstLine(const fs::path& p) {
    std::ifstream f(p);
    std::string line;
    std::getline(f, line);
    return line;
}

// A sysfs link's target name ("../../bus/usb-serial/drivers/ftdi_sio" gives ftdi_sio).
std::string LinkName(const fs::path& p) {
    std::error_code ec;
    fs::path target = fs::read_symlink(p, ec);
    return ec ? std::string() : target.filename().string();
}

// The driver behind a tty's device. Since Linux 6.5 an 8250 port's device sits on the
// serial-base bus (drivers "port" and "ctrl") below the controller whose driver tells more.
std::string DriverName(const fs::path& device) {
    std::error_code ec;
    fs::path p = fs::canonical(device, ec);
    if (ec)
        return {};
    for (int i = 0; i < 3 && p.has_relative_path(); ++i, p = p.parent_path()) {
        fs::path target = fs::read_symlink(p / "driver", ec);
        if (ec)
            return {};
        if (target.parent_path().parent_path().filename() != "serial-base")
            return target.filename().string();
    }
    return {};
}

// The USB device a tty hangs below: the nearest directory up the device path with idVendor
// (one level for an interface of cdc_acm, two for usb-serial's port).
void FillUsb(const fs::path& device, TSerialPortInfo& info) {
    std::error_code ec;
    fs::path p = fs::canonical(device, ec);
    if (ec)
        return;
    for (int i = 0; i < 5 && p.has_relative_path(); ++i, p = p.parent_path()) {
        if (fs::exists(p / "idVendor", ec)) {
            info.UsbId = FirstLine(p / "idVendor") + ":" + FirstLine(p / "idProduct");
            info.UsbSerial = FirstLine(p / "serial");
            return;
        }
    }
}

} // namespace

std::vector<TSerialPortInfo> ListSerialPorts(const std::string& sSysRoot,
                                             const std::string& sDevRoot) {
    std::vector<TSerialPortInfo> list;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(fs::path(sSysRoot) / "class/tty", ec)) {
        std::string name = entry.path().filename().string();
        fs::path device = entry.path() / "device";
        std::error_code e2;
        if (!fs::exists(device, e2))
            continue; // virtual terminals and pseudo-terminals have no device
        // The 8250 driver registers ports that have no UART behind them: their type is 0.
        if (fs::exists(entry.path() / "type", e2) && FirstLine(entry.path() / "type") == "0")
            continue;
        TSerialPortInfo info;
        info.Device = sDevRoot + "/" + name;
        info.Driver = DriverName(device);
        FillUsb(device, info);
        list.push_back(info);
    }
    for (const auto& link : fs::directory_iterator(fs::path(sDevRoot) / "serial/by-id", ec)) {
        std::string target = LinkName(link.path());
        for (auto& info : list)
            if (fs::path(info.Device).filename() == target && info.ById.empty())
                info.ById = link.path().string();
    }
    std::sort(list.begin(), list.end(),
              [](const auto& a, const auto& b) { return a.Device < b.Device; });
    return list;
}

std::vector<std::string> ProcessesHolding(const std::string& sPath, const std::string& sProcRoot) {
    std::vector<std::string> holders;
    std::error_code ec;
    fs::path wanted = fs::canonical(sPath, ec);
    if (ec)
        return holders;
    for (const auto& proc : fs::directory_iterator(sProcRoot, ec)) {
        std::string pid = proc.path().filename().string();
        if (pid.empty() || !std::all_of(pid.begin(), pid.end(), ::isdigit))
            continue;
        std::error_code e2;
        for (const auto& fd : fs::directory_iterator(proc.path() / "fd", e2)) {
            std::error_code e3;
            if (fs::read_symlink(fd.path(), e3) == wanted) {
                holders.push_back(pid + " (" + FirstLine(proc.path() / "comm") + ")");
                break;
            }
        }
    }
    return holders;
}

std::string ErrorHint(const std::string& sCall, const std::string& sPath, int iCode,
                      const std::string& sProcRoot) {
    if (iCode <= 0)
        return {};
    char buf[256];
    std::string hint =
        (sCall.empty() ? "" : sCall + " ") + sPath + ": " + ::strerror_r(iCode, buf, sizeof buf);
    switch (iCode) {
    case EACCES:
    case EPERM: {
        // The group that owns the device is the one to join (dialout on Debian), but only
        // where that group may read and write it.
        std::string group = "dialout";
        struct stat st {};
        if (::stat(sPath.c_str(), &st) != 0) {
            hint += ": add the user to the group " + group;
            break;
        }
        if ((st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP)) {
            const struct passwd* owner = ::getpwuid(st.st_uid);
            hint += st.st_uid == 0 ? std::string(": only root may open it")
                    : owner != nullptr
                        ? ": only its owner " + std::string(owner->pw_name) + " may open it"
                        : ": only its owner (user " + std::to_string(st.st_uid) + ") may open it";
            break;
        }
        if (const struct group* g = ::getgrgid(st.st_gid); g != nullptr && st.st_gid != 0)
            group = g->gr_name;
        hint += ": add the user to the group " + group;
        break;
    }
    case EBUSY:
    case EWOULDBLOCK: {
        std::vector<std::string> holders = ProcessesHolding(sPath, sProcRoot);
        if (holders.empty()) {
            hint += ": busy: held by another program";
        } else {
            hint += ": busy: held by process " + holders[0];
            for (size_t i = 1; i < holders.size(); ++i)
                hint += ", " + holders[i];
        }
        break;
    }
    case ENOENT:
    case ENODEV:
    case ENXIO:
        hint += ": no such device: see telvik --list";
        break;
    default:
        break;
    }
    return hint;
}

} // namespace SerialPorts
