// The real program over the vendor's D2XX library, with the FTDI chip emulator beneath it: what
// reaches the chips is read from the emulator's trace. Skipped when the vendor's package could
// not be fetched into the build tree.

#include "e2e/RunTelvik.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using RunTelvik::RunHeadless;
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
        ini = dir.Write("job.ini", "[DEVICE]\nName=FTDI\n"
                                   "[TELEGRAM]\nStart=\\02\nEnd=\\03\nSend=A\nResponse=OK\n"
                                   "Timeout=5000\n");
    }
    TResult Run(const std::string& sEmu, std::vector<std::string> args,
                std::map<std::string, std::string> env = {}) {
        std::string cfg = dir.Write("emu.txt", sEmu);
        trace = dir.Path() + "/trace.txt";
        std::remove(trace.c_str());
        args.insert(args.begin(), "+CFG=" + ini);
        env.insert({{"LD_LIBRARY_PATH", TELVIK_D2XX_REAL_DIR},
                    {"FTDIEMU_CONFIG", cfg},
                    {"FTDIEMU_TRACE", trace}});
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

TEST_F(FtdiRealLibrary, HeldDeviceGetsItsHint) {
    const std::string held = "device 232R 1 7 FT1234AB USB <-> Serial\nheld 1 7\n";
    for (const char* port : {"SN:FT1234", "DS:Serial", "USB0107"}) {
        auto r = Run(held, {std::string("+FTDI=") + port});
        EXPECT_EQ(r.ExitCode, port[0] == 'U' ? 67 : 68) << port << "\n" << r.Stderr;
        EXPECT_TRUE(r.HasLine("Hint:  An FTDI device is held by another program or by the kernel "
                              "driver ftdi_sio; release it as docs/ftdi.md describes"))
            << port << "\n"
            << r.Stderr;
    }
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

} // namespace
