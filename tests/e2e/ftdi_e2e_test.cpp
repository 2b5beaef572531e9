// The real program over an FTDI device, headless, with the D2XX simulator standing in for the
// vendor's library.

#include "e2e/RunTelvik.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

using RunTelvik::RunHeadless;
using RunTelvik::TResult;
using RunTelvik::TTempDir;

namespace {

constexpr char kDevices[] = "device 2111 6 FT1234AB Dual RS232 A\n"
                            "device 111 5 FT9999 USB Serial\n";
// STX "A" ETX is answered by STX "OK" ETX.
constexpr char kReply[] = "reply 024103 024F4B03\n";

class FtdiEndToEnd : public testing::Test {
protected:
    /// Runs the program with `args` on a simulator set up by `sSim`; `sLibDir` overrides where
    /// the library is looked for.
    TResult Run(const std::string& sSim, std::vector<std::string> args,
                const std::string& sLibDir = TELVIK_D2XX_SIM_DIR) {
        std::string cfg = dir.Write("sim.txt", sSim);
        logFile = dir.Path() + "/calls.txt";
        std::remove(logFile.c_str());
        args.insert(args.begin(), "+CFG=" + ini);
        return RunHeadless(
            args,
            {{"LD_LIBRARY_PATH", sLibDir}, {"D2XXSIM_CONFIG", cfg}, {"D2XXSIM_LOG", logFile}});
    }
    /// The library calls the program made, one per line, without the event thread's
    /// registration and the reads, whose moment is the thread's own.
    std::string Calls() const {
        std::ifstream f(logFile);
        std::string calls;
        for (std::string l; std::getline(f, l);)
            if (l.rfind("FT_SetEventNotification", 0) != 0 && l.rfind("FT_Read", 0) != 0)
                calls += l + "\n";
        return calls;
    }
    void SetUp() override {
        ini = dir.Write("job.ini", "[DEVICE]\nName=FTDI\nBitrate=19200\n"
                                   "[TELEGRAM]\nStart=\\02\nEnd=\\03\nSend=A\nResponse=OK\n"
                                   "Timeout=700\n");
    }
    TTempDir dir;
    std::string ini;
    std::string logFile;
};

TEST_F(FtdiEndToEnd, SucceedsByLocationSerialNumberAndDescription) {
    // A serial number found in the list names the device alone: it is opened by it.
    for (const char* port : {"USB2111", "SN:FT1234", "DS:\"RS232 A\""}) {
        auto r = Run(std::string(kDevices) + kReply, {std::string("+FTDI=") + port});
        EXPECT_EQ(r.ExitCode, 0) << port << "\n" << r.Stderr;
        EXPECT_TRUE(r.HasLine("Info:  Done successfully")) << r.Stderr;
        EXPECT_EQ(Calls().rfind(std::string("FT_OpenEx ") +
                                    (port[0] == 'U' ? "loc=2111" : "sn=FT1234AB") +
                                    "\nFT_ResetDevice\nFT_SetBaudRate 19200\n",
                                0),
                  0u)
            << Calls();
    }
}

TEST_F(FtdiEndToEnd, StatementsReachTheDeviceInOrder) {
    auto r = Run(std::string(kDevices) + kReply,
                 {"+FTDI=USB0111,,7E2R", "+Initial=SetDTR;clrrts;CBBB0=1;CBBB[$F3]",
                  "+Final=ClrDTR;CBBB3=0"});
    ASSERT_EQ(r.ExitCode, 0) << r.Stderr;
    EXPECT_EQ(Calls(), "FT_OpenEx loc=0111\n"
                       "FT_ResetDevice\n"
                       "FT_SetBaudRate 19200\n"
                       "FT_SetDataCharacteristics 7 2 2\n"
                       "FT_SetFlowControl 0100 11 13\n"
                       "FT_SetLatencyTimer 1\n"
                       "FT_SetDtr\n"
                       "FT_ClrRts\n"
                       "FT_SetBitMode 11 20\n"
                       "FT_SetBitMode F3 20\n"
                       "FT_Purge 1\n" // what came before the telegram is not its answer
                       "FT_Write 024103\n"
                       "FT_ClrDtr\n"
                       "FT_SetBitMode 80 20\n"
                       "FT_Close\n");
}

TEST_F(FtdiEndToEnd, InvalidBitRateFailsTheOpenAndClosesTheDevice) {
    auto r = Run(kDevices, {"+FTDI=SN:FT9999,50"});
    EXPECT_EQ(r.ExitCode, 67) << r.Stderr;
    EXPECT_TRUE(r.HasLine(
        "Fatal: Invalid baudrate \"50\" for FTDI device at USB0111 [SN:FT9999]! ID: F2020D:7"))
        << r.Stderr;
    std::string calls = Calls();
    EXPECT_NE(calls.find("FT_SetBaudRate 50\nFT_Close\n"), std::string::npos) << calls;
}

TEST_F(FtdiEndToEnd, UnplugDuringTheWaitEndsAtOnceWithItsCause) {
    auto r = Run(std::string(kDevices) + "fail FT_GetStatus 4 afterwrite\n",
                 {"+FTDI=USB2111", "+Failure=ClrRTS"});
    EXPECT_EQ(r.ExitCode, 54) << r.Stderr;
    EXPECT_TRUE(r.HasLine("Error: FTDI device USB2111 lost: FT_IO_ERROR (4)")) << r.Stderr;
    EXPECT_FALSE(r.HasLine("Error: Time out!")) << r.Stderr; // ended before it
    std::string calls = Calls();
    // Closed once, by the event thread; nothing is sent to the closed device afterwards.
    EXPECT_EQ(calls.substr(calls.find("FT_Write")),
              "FT_Write 024103\nFT_GetStatus failed 4\nFT_Close\n")
        << calls;
}

TEST_F(FtdiEndToEnd, FailingOpenStepEndsWith67) {
    auto r = Run(std::string(kDevices) + "fail FT_ResetDevice 4\n", {"+FTDI=USB2111"});
    EXPECT_EQ(r.ExitCode, 67) << r.Stderr;
    EXPECT_TRUE(r.HasLine("Fatal: FTDI device reset failed at USB2111! ID: F2020E:4")) << r.Stderr;
    EXPECT_NE(Calls().find("FT_ResetDevice failed 4\nFT_Close\n"), std::string::npos) << Calls();
}

TEST_F(FtdiEndToEnd, BadIdentificationsEndWith68) {
    struct {
        std::string sim, port, line;
    } cases[] = {
        {kDevices, "SN:NOPE", "Fatal: No FTDI device found for [SN:NOPE] ID: F2010A:0"},
        {kDevices, "usb0111", "Fatal: Unknown port identification: usb0111 ID: F2010A:0"},
        {kDevices, "USB", "Fatal: No FTDI device found at USB ID: F2010A:0"},
        {"", "USB0111", "Fatal: No FTDI devices available! ID: F2010A:0"},
        {std::string(kDevices) + "fail FT_ListDevices 18\n", "SN:FT1234",
         "Hint:  The D2XX library could not list the devices: FT_OTHER_ERROR (18)"},
        {std::string(kDevices) + "fail FT_ListDevices 18\n", "SN:FT1234",
         "Fatal: No FTDI devices available! ID: F2010A:18"},
        {std::string("version 00010300\n") + kDevices, "USB0111",
         "Fatal: No FTDI driver not found! ID: F2010A:0"},
    };
    for (const auto& c : cases) {
        auto r = Run(c.sim, {"+FTDI=" + c.port});
        EXPECT_EQ(r.ExitCode, 68) << c.port << "\n" << r.Stderr;
        EXPECT_TRUE(r.HasLine(c.line)) << r.Stderr;
    }
    auto r = Run(kDevices, {});
    EXPECT_EQ(r.ExitCode, 68);
    EXPECT_TRUE(r.HasLine("Fatal: No port defined! ID: F20114:0")) << r.Stderr;
}

TEST_F(FtdiEndToEnd, MalformedInitialBitBangIsRefusedWithoutTheLibrary) {
    for (const char* statement : {"CBBB0", "CBBB[12"}) {
        auto r = Run(std::string(kDevices) + kReply,
                     {"+FTDI=USB2111", std::string("+Initial=") + statement});
        EXPECT_EQ(r.ExitCode, 59) << statement << "\n" << r.Stderr;
        EXPECT_EQ(Calls().find("FT_SetBitMode"), std::string::npos) << Calls();
    }
}

TEST_F(FtdiEndToEnd, WithoutAnyLibrary) {
    TTempDir empty;
    auto r = Run(kDevices, {"+FTDI=USB0111"}, empty.Path());
    EXPECT_EQ(r.ExitCode, 68) << r.Stderr;
    EXPECT_TRUE(r.HasLine("Fatal: No FTDI driver not found! ID: F2010A:0")) << r.Stderr;
    // Every other port kind still runs.
    auto other = Run(kDevices, {"+UDP=127.0.0.1,47810,47811", "+Response="}, empty.Path());
    EXPECT_EQ(other.ExitCode, 0) << other.Stderr;
    EXPECT_TRUE(other.HasLine("Info:  Done successfully")) << other.Stderr;
}

} // namespace
