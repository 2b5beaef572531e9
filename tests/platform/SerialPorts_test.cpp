// The serial-device facts read from a made-up sysfs, /dev and /proc tree.

#include "e2e/RunTelvik.h"
#include "platform/SerialPorts.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <unistd.h>

using namespace SerialPorts;
namespace fs = std::filesystem;

namespace {

void Dir(const std::string& p) {
    fs::create_directories(p);
}
void Link(const std::string& target, const std::string& link) {
    fs::create_directories(fs::path(link).parent_path());
    fs::create_symlink(target, link);
}

} // namespace

TEST(SerialPorts, ListsHardwareTtysWithDriverUsbIdsAndStableLinks) {
    RunTelvik::TTempDir t;
    std::string sys = t.Path() + "/sys", dev = t.Path() + "/dev";
    std::string usb = sys + "/devices/usb1/1-1";
    Dir(usb + "/1-1:1.0/ttyUSB0");
    t.Write("sys/devices/usb1/1-1/idVendor", "0403\n");
    t.Write("sys/devices/usb1/1-1/idProduct", "6001\n");
    t.Write("sys/devices/usb1/1-1/serial", "A9XYZ\n");
    Dir(sys + "/bus/usb-serial/drivers/ftdi_sio");
    Link(sys + "/bus/usb-serial/drivers/ftdi_sio", usb + "/1-1:1.0/ttyUSB0/driver");
    Dir(sys + "/class/tty/ttyUSB0");
    Link(usb + "/1-1:1.0/ttyUSB0", sys + "/class/tty/ttyUSB0/device");
    // An 8250 port on the serial-base bus below its controller, and a placeholder without UART.
    std::string ctrl = sys + "/devices/pnp0/00:04";
    Dir(ctrl + "/00:04:0/00:04:0.0");
    Dir(sys + "/bus/serial-base/drivers/port");
    Dir(sys + "/bus/serial-base/drivers/ctrl");
    Dir(sys + "/bus/pnp/drivers/serial");
    Link(sys + "/bus/serial-base/drivers/port", ctrl + "/00:04:0/00:04:0.0/driver");
    Link(sys + "/bus/serial-base/drivers/ctrl", ctrl + "/00:04:0/driver");
    Link(sys + "/bus/pnp/drivers/serial", ctrl + "/driver");
    for (const char* tty : {"ttyS0", "ttyS1"}) {
        Dir(sys + "/class/tty/" + tty);
        Link(ctrl + "/00:04:0/00:04:0.0", sys + "/class/tty/" + tty + "/device");
    }
    t.Write("sys/class/tty/ttyS0/type", "4\n");
    t.Write("sys/class/tty/ttyS1/type", "0\n");
    Dir(sys + "/class/tty/tty1"); // a virtual terminal: no device
    Link("../../ttyUSB0", dev + "/serial/by-id/usb-FTDI_FT232R_A9XYZ-if00-port0");

    auto list = ListSerialPorts(sys, dev);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].Device, dev + "/ttyS0");
    EXPECT_EQ(list[0].Driver, "serial");
    EXPECT_EQ(list[0].UsbId, "");
    EXPECT_EQ(list[1].Device, dev + "/ttyUSB0");
    EXPECT_EQ(list[1].Driver, "ftdi_sio");
    EXPECT_EQ(list[1].UsbId, "0403:6001");
    EXPECT_EQ(list[1].UsbSerial, "A9XYZ");
    EXPECT_EQ(list[1].ById, dev + "/serial/by-id/usb-FTDI_FT232R_A9XYZ-if00-port0");
}

TEST(SerialPorts, HintsNameTheCallThePathTheTextAndARemedy) {
    RunTelvik::TTempDir t;
    std::string device = t.Write("ttyUSB0", "");
    std::string proc = t.Path() + "/proc";
    Dir(proc + "/1234/fd");
    t.Write("proc/1234/comm", "picocom\n");
    Link(device, proc + "/1234/fd/3");
    Dir(proc + "/self/fd"); // not a process number

    // A device only its owner may open, and one its group may open too.
    std::string owners = t.Write("ttyS7", ""), groups = t.Write("ttyS8", "");
    ::chmod(owners.c_str(), 0600);
    ::chmod(groups.c_str(), 0660);
    struct stat st {};
    ::stat(groups.c_str(), &st);
    const struct group* g = ::getgrgid(st.st_gid);
    const struct passwd* me = ::getpwuid(::getuid());
    struct Case {
        int code;
        std::string path;
        std::string expected;
    } cases[] = {
        {EACCES, "/nonexistent/ttyUSB0",
         "open /nonexistent/ttyUSB0: Permission denied: add the user to the group dialout"},
        {EACCES, owners,
         "open " + owners + ": Permission denied: " +
             (::getuid() == 0
                  ? std::string("only root may open it")
                  : "only its owner " + std::string(me ? me->pw_name : "") + " may open it")},
        {EACCES, groups,
         "open " + groups + ": Permission denied: add the user to the group " +
             (st.st_gid != 0 && g ? std::string(g->gr_name) : std::string("dialout"))},
        {EBUSY, device,
         "open " + device + ": Device or resource busy: busy: held by process 1234 (picocom)"},
        {EWOULDBLOCK, "/nonexistent/x",
         "open /nonexistent/x: Resource temporarily unavailable: busy: held by another program"},
        {ENOENT, "/dev/ttyUSB9",
         "open /dev/ttyUSB9: No such file or directory: no such device: see telvik --list"},
        {EIO, "/dev/ttyUSB0", "open /dev/ttyUSB0: Input/output error"},
        {-1, "/dev/ttyUSB0", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ErrorHint("open", c.path, c.code, proc), c.expected);
    EXPECT_EQ(ErrorHint("", "/dev/x", EIO, proc), "/dev/x: Input/output error");
}
