// The real program over the vendor's D2XX library, with the FTDI chip emulator beneath it: what
// reaches the chips is read from the emulator's trace. Skipped when the vendor's package could
// not be fetched into the build tree.

#include "e2e/RunTelvik.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

using RunTelvik::RunHeadless;
using RunTelvik::RunTogether;
using RunTelvik::TResult;
using RunTelvik::TTempDir;

namespace {

// LocIds on Linux: bus << 8 | address.
constexpr char kDevices[] = "device 232R 1 7 FT1234AB USB <-> Serial\n"
                            "device X 1 9 DQ55AA FT230X Basic UART\n"
                            "device 232H 2 3 FTH001 Single RS232-HS\n"
                            "reply 024103 024F4B03\n";

class FtdiRealLibrary : public testing::Test {
protected:
    void SetUp() override {
        if (std::string(TELVIK_D2XX_REAL_DIR).empty())
            GTEST_SKIP() << "the vendor's D2XX library was not fetched into the build tree";
        ini = Job("");
    }
    /// The job file, with `sDevice` added to its [DEVICE] section.
    std::string Job(const std::string& sDevice) {
        return dir.Write("job.ini", "[DEVICE]\nName=FTDI\n" + sDevice +
                                        "[TELEGRAM]\nStart=\\02\nEnd=\\03\nSend=A\nResponse=OK\n"
                                        "Timeout=5000\n");
    }
    /// The environment of a run on the emulated bus of `cfg`: the kernel's view of it included.
    std::map<std::string, std::string> Env(const std::string& cfg) const {
        return {{"LD_LIBRARY_PATH", TELVIK_D2XX_REAL_DIR},
                {"FTDIEMU_CONFIG", cfg},
                {"FTDIEMU_TRACE", trace},
                {"TELVIK_SYSFS", cfg + ".root/sys"}};
    }
    TResult Run(const std::string& sEmu, std::vector<std::string> args,
                std::map<std::string, std::string> env = {}) {
        std::string cfg = dir.Write("emu.txt", sEmu);
        trace = dir.Path() + "/trace.txt";
        std::remove(trace.c_str());
        args.insert(args.begin(), "+CFG=" + ini);
        env.merge(Env(cfg));
        return RunHeadless(args, env);
    }
    /// The trace lines of one device ("bus.address"), without that prefix.
    std::vector<std::string> Trace(const std::string& sDevice) const {
        std::ifstream f(trace);
        std::vector<std::string> lines;
        for (std::string l; std::getline(f, l);)
            if (l.rfind(sDevice + " ", 0) == 0)
                lines.push_back(l.substr(sDevice.size() + 1));
        return lines;
    }
    /// True when `expected` occur in the device's trace in this order (others in between).
    bool InOrder(const std::string& sDevice, const std::vector<std::string>& expected) const {
        size_t i = 0;
        for (const auto& l : Trace(sDevice))
            if (i < expected.size() && l == expected[i])
                ++i;
        return i == expected.size();
    }
    std::string TraceText(const std::string& sDevice) const {
        std::string s;
        for (const auto& l : Trace(sDevice))
            s += l + "\n";
        return s;
    }
    TTempDir dir;
    std::string ini, trace;
};

TEST_F(FtdiRealLibrary, ExchangesOnEachChipBySerialNumberDescriptionAndLocation) {
    struct {
        const char *port, *device, *baud;
    } cases[] = {
        {"SN:FT1234", "1.7", "ctl SET_BAUD_RATE v=809C i=0000"},
        {"DS:FT230X", "1.9", "ctl SET_BAUD_RATE v=809C i=0000"},
        {"USB0203", "2.3", "ctl SET_BAUD_RATE v=809C i=0000"},
        {"USB0107", "1.7", "ctl SET_BAUD_RATE v=809C i=0000"},
    };
    for (const auto& c : cases) {
        auto r = Run(kDevices, {std::string("+FTDI=") + c.port + ",19200,7E2N",
                                "+Initial=SetDTR;ClrRTS;CBBB0=1", "+Final=CBBB[$F3]"});
        EXPECT_EQ(r.ExitCode, 0) << c.port << "\n" << r.Stderr;
        EXPECT_TRUE(
            InOrder(c.device, {c.baud, "ctl SET_DATA v=1207 i=0000",
                               "ctl SET_FLOW_CTRL v=0000 i=0000", "ctl MODEM_CTRL v=0101 i=0000",
                               "ctl MODEM_CTRL v=0200 i=0000", "ctl SET_BITMODE v=2011 i=0000",
                               "out 024103", "in 024F4B03", "ctl SET_BITMODE v=20F3 i=0000"}))
            << c.port << "\n"
            << TraceText(c.device);
    }
}

TEST_F(FtdiRealLibrary, UnplugDuringTheWaitEndsAtOnceWithItsCause) {
    auto r = Run("device 232R 1 7 FT1234AB USB <-> Serial\nunplug 100\n",
                 {"+FTDI=SN:FT1234", "+Failure=ClrDTR"});
    EXPECT_EQ(r.ExitCode, 54) << r.Stderr;
    EXPECT_TRUE(r.HasLine("Error: FTDI device USB0107 [SN:FT1234] lost: FT_IO_ERROR (4)"))
        << r.Stderr;
    EXPECT_FALSE(r.HasLine("Error: Time out!")) << r.Stderr; // ended before it
    // Nothing reaches the device after it went.
    std::string t = TraceText("1.7");
    EXPECT_EQ(t.substr(t.find("unplug")), "unplug\n") << t;
}

TEST_F(FtdiRealLibrary, HeldDeviceIsTriedForBusyWaitThenNamedWithItsHolder) {
    // The name lists show a device the kernel driver holds, so every form finds it; its open is
    // refused as busy until BusyWait runs out, and only then is the holder named.
    const std::string held = "device 232R 1 7 FT1234AB USB <-> Serial\nheld 1 7\n";
    struct {
        const char* port;
        int busyWait;
    } cases[] = {{"SN:FT1234", 300}, {"DS:Serial", 300}, {"USB0107", 0}};
    for (const auto& c : cases) {
        ini = Job("BusyWait=" + std::to_string(c.busyWait) + "\n");
        auto r = Run(held, {std::string("+FTDI=") + c.port});
        // Found by name, a held device keeps the find step's code it always had.
        EXPECT_EQ(r.ExitCode, c.port[0] == 'U' ? 67 : 68) << c.port << "\n" << r.Stderr;
        EXPECT_GE(r.Seconds, c.busyWait / 1000.0) << c.port;
        EXPECT_EQ(
            r.HasLine(std::string("Error: FTDI device ") +
                      (c.port[0] == 'U' ? "USB0107" : "USB0107 [" + std::string(c.port) + "]") +
                      " still busy after BusyWait 300 ms: FT_DEVICE_NOT_OPENED (3)"),
            c.busyWait > 0)
            << c.port << "\n"
            << r.Stderr;
        EXPECT_TRUE(r.HasLine("Hint:  FTDI device FT1234AB at USB0107 is held by the kernel driver "
                              "ftdi_sio; release it as docs/ftdi.md describes"))
            << c.port << "\n"
            << r.Stderr;
    }
    // Unplugged while it is tried again: the wait ends at once and says why.
    ini = Job("BusyWait=5000\n");
    auto r = Run(held + "gone 1 7 300\n", {"+FTDI=SN:FT1234"});
    EXPECT_EQ(r.ExitCode, 67) << r.Stderr;
    EXPECT_LT(r.Seconds, 3.0);
    EXPECT_TRUE(r.HasLine("Error: FTDI device USB0107 [SN:FT1234] went away while it was busy: "
                          "FT_DEVICE_NOT_FOUND (2)"))
        << r.Stderr;
}

TEST_F(FtdiRealLibrary, ListFailureNamesTheLibraryStatus) {
    // No USB at all. The vendor's library then loses what its constructor allocated, which the
    // leak checker of a sanitizer build would report as the program's.
    auto r = Run("", {"+FTDI=SN:FT1234"}, {{"ASAN_OPTIONS", "detect_leaks=0"}});
    EXPECT_EQ(r.ExitCode, 68) << r.Stderr;
    EXPECT_TRUE(
        r.HasLine("Hint:  The D2XX library could not list the devices: FT_OTHER_ERROR (18)"))
        << r.Stderr;
    EXPECT_TRUE(r.HasLine("Fatal: No FTDI devices available! ID: F2010A:18")) << r.Stderr;
}

// Stations on one PC, each on its own device, started together round after round: nobody's
// search or open may touch another's device.
TEST_F(FtdiRealLibrary, ThreeStationsTogetherNeverDisturbEachOther) {
    constexpr int kRounds = 30;
    std::string cfg = dir.Write("emu.txt", kDevices);
    trace = dir.Path() + "/trace.txt";
    const std::string ports[] = {"SN:FT1234", "DS:FT230X", "USB0203"};
    int failed = 0;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<std::vector<std::string>> stations;
        for (const auto& port : ports)
            stations.push_back({"+CFG=" + ini, "+FTDI=" + port});
        for (const auto& r : RunTogether(stations, Env(cfg))) {
            failed += r.ExitCode != 0;
            EXPECT_EQ(r.ExitCode, 0) << "round " << round << "\n" << r.Stderr;
        }
    }
    EXPECT_EQ(failed, 0);
    // Each device was claimed by its own station alone, once a round.
    for (const char* device : {"1.7", "1.9", "2.3"}) {
        size_t claims = 0;
        for (const auto& l : Trace(device))
            claims += l.rfind("claim", 0) == 0;
        EXPECT_EQ(claims, static_cast<size_t>(kRounds)) << device;
    }
}

// A neighbour that keeps building the full device list claims every idle device for a moment:
// the busy open is tried again, so no run fails.
TEST_F(FtdiRealLibrary, ListBuildingNeighbourFailsNoRun) {
    std::string cfg = dir.Write("emu.txt", kDevices);
    trace = dir.Path() + "/trace.txt";
    std::string env;
    for (const auto& [k, v] : Env(cfg))
        env += k + "='" + v + "' ";
    std::thread neighbour([&] {
        std::string cmd = "env " + env + D2XX_LISTER + " 4 >" + dir.Path() + "/lists.txt";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (int i = 0; i < 20; ++i) {
        auto r = RunHeadless({"+CFG=" + ini, "+FTDI=SN:FT1234"}, Env(cfg));
        EXPECT_EQ(r.ExitCode, 0) << r.Stderr;
    }
    neighbour.join();
    std::ifstream lists(dir.Path() + "/lists.txt");
    long built = 0;
    lists >> built;
    EXPECT_GT(built, 3); // the neighbour was at work all along
}

TEST_F(FtdiRealLibrary, LateDeviceIsFoundWithFindWait) {
    std::string cfg = dir.Write("emu.txt", std::string(kDevices) + "late 1 7 600\nlate 2 3 600\n");
    trace = dir.Path() + "/trace.txt";
    // Without FindWait the absent device fails the run at once, as it always did.
    auto now = RunHeadless({"+CFG=" + ini, "+FTDI=SN:FT1234"}, Env(cfg));
    EXPECT_EQ(now.ExitCode, 68) << now.Stderr;
    EXPECT_TRUE(now.HasLine("Fatal: No FTDI device found for [SN:FT1234] ID: F2010A:0"))
        << now.Stderr;
    // With it, the finder (by serial number) and the open (by location) wait for the plug.
    ini = Job("FindWait=5000\n");
    TResult late[2];
    std::thread a([&] { late[0] = RunHeadless({"+CFG=" + ini, "+FTDI=SN:FT1234"}, Env(cfg)); });
    std::thread b([&] { late[1] = RunHeadless({"+CFG=" + ini, "+FTDI=USB0203"}, Env(cfg)); });
    a.join();
    b.join();
    for (const auto& r : late)
        EXPECT_EQ(r.ExitCode, 0) << r.Stderr;
    EXPECT_NE(late[0].Stderr.find("Debug: No FTDI device for SN:FT1234 yet: looking again"),
              std::string::npos)
        << late[0].Stderr;
    EXPECT_NE(late[1].Stderr.find("Debug: No FTDI device at USB0203 yet (FT_DEVICE_NOT_FOUND (2))"),
              std::string::npos)
        << late[1].Stderr;
    // Waits that are no number of milliseconds fail the configuration step.
    for (const char* bad : {"FindWait=-1", "BusyWait=soon", "BusyWait=1.5"}) {
        ini = Job(std::string(bad) + "\n");
        auto r = RunHeadless({"+CFG=" + ini, "+FTDI=SN:FT1234"}, Env(cfg));
        EXPECT_EQ(r.ExitCode, 91) << bad << "\n" << r.Stderr;
        std::string key(bad, std::string(bad).find('='));
        std::string value = std::string(bad).substr(key.size() + 1);
        EXPECT_TRUE(r.HasLine("Fatal: Invalid [DEVICE] " + key + " \"" + value +
                              "\": an integer of at least 0 (ms) is needed! ID: F20115:0"))
            << r.Stderr;
    }
}

// The kernel ends a claim with its holder: a killed run leaves its device free for the next.
TEST_F(FtdiRealLibrary, KilledRunLeavesItsDeviceFree) {
    std::string cfg = dir.Write("emu.txt", kDevices);
    trace = dir.Path() + "/trace.txt";
    auto killed = RunHeadless({"+CFG=" + ini, "+FTDI=SN:FT1234", "+Initial=W=5000"}, Env(cfg), 20,
                              [](const std::string& sStderr, int iGroup) {
                                  if (sStderr.find("Run initial instruction") != std::string::npos)
                                      kill(-iGroup, SIGKILL);
                              });
    EXPECT_EQ(killed.ExitCode, -1);
    ini = Job("BusyWait=0\n");
    auto next = RunHeadless({"+CFG=" + ini, "+FTDI=SN:FT1234"}, Env(cfg));
    EXPECT_EQ(next.ExitCode, 0) << next.Stderr;
}

} // namespace
