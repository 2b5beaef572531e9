// The D2XX binding, the device list and the device with its event thread, against the simulator.

#include "D2xxSim.h"
#include "common/SysUtils.h"
#include "platform/Dialogs.h"
#include "ports/ftdi/FtdiD2xx.h"

#include <gtest/gtest.h>

#include <thread>

using namespace FtdiD2xx;
using namespace FtdiD2xxDll;

namespace {

class FtdiD2xxTest : public testing::Test {
protected:
    void TearDown() override { SetD2xxLibraryFiles({TELVIK_D2XX_SIM}); }
};

TEST_F(FtdiD2xxTest, ProbeNeedsALinuxVersionFrom140) {
    D2xxSim::Use("version 000103FF\n");
    EXPECT_FALSE(ProbeD2xxLibrary());
    D2xxSim::Use("version 00010400\n");
    EXPECT_TRUE(ProbeD2xxLibrary());
    D2xxSim::Use("fail FT_GetLibraryVersion 4\n");
    EXPECT_FALSE(ProbeD2xxLibrary());
}

TEST_F(FtdiD2xxTest, MissingLibraryRaisesAndProbesFalse) {
    UnloadD2xxLibrary();
    SetD2xxLibraryFiles({"/nonexistent/libftd2xx.so"});
    EXPECT_FALSE(ProbeD2xxLibrary());
    try {
        LoadD2xxLibrary();
        FAIL() << "no exception";
    } catch (const SysUtils::Exception& e) {
        EXPECT_EQ(e.Message(), u"File \"libftd2xx.so\" not found!");
    }
    EXPECT_FALSE(D2xxLibraryLoaded());
    EXPECT_THROW(TFtdiD2xx(), SysUtils::Exception);
    // A later call tries again.
    SetD2xxLibraryFiles({TELVIK_D2XX_SIM});
    LoadD2xxLibrary();
    EXPECT_TRUE(D2xxLibraryLoaded());
}

TEST_F(FtdiD2xxTest, NamesTheLibraryLacksStayEmptyAndAnswerAFailure) {
    D2xxSim::Use(D2xxSim::TwoDevices);
    if (!D2xxLibraryLoaded())
        LoadD2xxLibrary();
    EXPECT_NE(D2xx().FT_OpenEx, nullptr);
    EXPECT_NE(D2xx().FT_OpenExLoc, nullptr);
    EXPECT_EQ(D2xx().FT_EE_Program, nullptr); // the simulator does not offer it
    TFtdiD2xx dev;
    ASSERT_EQ(dev.OpenEx("2111", 4), eoOpened);
    TFT_Handle saved = D2xx().FT_SetDtr;
    D2xx().FT_SetDtr = nullptr;
    EXPECT_FALSE(dev.SetSignal(emDTR, true));
    D2xx().FT_SetDtr = saved;
    EXPECT_EQ(dev.LastError(), static_cast<int32_t>(FT_NOT_SUPPORTED));
}

TEST(FtdiD2xxBase, UsbPortIdBothWays) {
    EXPECT_EQ(TFtdiD2xxBase::UsbPortId(1u), u"0001");
    EXPECT_EQ(TFtdiD2xxBase::UsbPortId(0x111u), u"0111");
    EXPECT_EQ(TFtdiD2xxBase::UsbPortId(0x12345u), u"12345");
    EXPECT_EQ(TFtdiD2xxBase::UsbPortId(0xABCDEF01u), u"ABCDEF01");
    EXPECT_EQ(TFtdiD2xxBase::UsbPortId(std::string("0111")), 0x111u);
    EXPECT_EQ(TFtdiD2xxBase::UsbPortId(std::string("abCD")), 0xABCDu);
    EXPECT_EQ(TFtdiD2xxBase::UsbPortId(std::string("12G4")), InvalidLocationId);
    EXPECT_EQ(TFtdiD2xxBase::UsbPortId(std::string("")), InvalidLocationId);
    EXPECT_EQ(TFtdiD2xxBase::UsbPortId(std::string("0x11")), InvalidLocationId);
    EXPECT_EQ(TFtdiD2xxBase::UsbPortId(std::string("ffffffff")), InvalidLocationId);
    EXPECT_EQ(TFtdiD2xxBase::UsbPortId(std::string("100000000")), InvalidLocationId);
    EXPECT_EQ(TFtdiD2xxBase::UsbPortId(std::string("000000111")), 0x111u);
}

TEST_F(FtdiD2xxTest, DeviceListReadsEveryNodeWithBoundedTexts) {
    D2xxSim::Use("device 2111 6 FT1234AB Dual RS232 A\n"
                 "device 111 19 ABCDEFGHIJKLMNOP " +
                 std::string(64, 'D') + "\n");
    TFtdiD2xxDeviceList list;
    ASSERT_EQ(list.Load(), 2);
    EXPECT_EQ(list.LocId(0), 0x2111u);
    EXPECT_EQ(list.SerialNumber(0), "FT1234AB");
    EXPECT_EQ(list.Description(0), "Dual RS232 A");
    EXPECT_EQ(list.DeviceTypeName(0), u"2232H");
    EXPECT_EQ(list.DeviceHandle(0), nullptr);
    // Full fields carry no NUL: the text stops at the field's end.
    EXPECT_EQ(list.SerialNumber(1), "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(list.Description(1), std::string(64, 'D'));
    EXPECT_EQ(list.DeviceTypeName(1), u"Undefined 0x19");
    try {
        list.Flags(2);
        FAIL() << "no exception";
    } catch (const SysUtils::Exception& e) {
        EXPECT_EQ(e.Message(), u"Invalid list index 2 (2)!");
    }
    EXPECT_THROW(list.LocId(-1), SysUtils::Exception);
}

TEST_F(FtdiD2xxTest, DeviceTypeNamesForEveryKnownType) {
    std::string control;
    const char16_t* names[] = {u"232BM",   u"232AM",     u"100AX",   u"Unknown",   u"2232C",
                               u"232R",    u"2232H",     u"4232H",   u"232H",      u"X-Series",
                               u"4222H_0", u"4222H_1_2", u"4222H_3", u"4222_PROG", u"900",
                               u"930",     u"UMFTPD3A",  u"2233HP",  u"4233HP",    u"2232HP",
                               u"4232HP",  u"233HP",     u"232HP",   u"2232HA",    u"4232HA"};
    const int n = static_cast<int>(std::size(names));
    for (int i = 0; i < n; ++i)
        control += "device " + std::to_string(i + 1) + " " + (i < 16 ? "" : "1") +
                   "0123456789abcdef"[i % 16] + " - d\n"; // the type in hexadecimal
    D2xxSim::Use(control);
    TFtdiD2xxDeviceList list;
    ASSERT_EQ(list.Load(), n);
    for (int i = 0; i < n; ++i)
        EXPECT_EQ(list.DeviceTypeName(i), std::u16string(names[i]));
}

TEST_F(FtdiD2xxTest, DeviceListFailures) {
    D2xxSim::Use(std::string(D2xxSim::TwoDevices) + "fail FT_CreateDeviceInfoList 4\n");
    TFtdiD2xxDeviceList list;
    EXPECT_EQ(list.Load(), -1);
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.LastError(), 4);
    D2xxSim::Use(std::string(D2xxSim::TwoDevices) + "fail FT_GetDeviceInfoList 5\n");
    EXPECT_EQ(list.Load(), 0);
    EXPECT_EQ(list.LastError(), 5);
}

TEST_F(FtdiD2xxTest, GetLocIdForFindsTheFirstContainingDevice) {
    D2xxSim::Use("device 2111 6 FT1234AB Dual RS232 A\n"
                 "device 111 6 XX1234 Dual RS232 B\n");
    TFtdiD2xxDeviceList list;
    EXPECT_EQ(list.GetLocIdFor(eiSerialNr, "1234"), InvalidLocationId); // not loaded yet
    list.Load();
    EXPECT_EQ(list.GetLocIdFor(eiSerialNr, "1234"), 0x2111u);
    EXPECT_EQ(list.GetLocIdFor(eiSerialNr, "XX"), 0x111u);
    EXPECT_EQ(list.GetLocIdFor(eiDescription, "RS232 B"), 0x111u);
    EXPECT_EQ(list.GetLocIdFor(eiDescription, "rs232"), InvalidLocationId);
    EXPECT_EQ(list.GetLocIdFor(eiSerialNr, ""), InvalidLocationId);
    try {
        list.GetLocIdFor(static_cast<EDeviceInfoNoteField>(5), "x");
        FAIL() << "no exception";
    } catch (const SysUtils::Exception& e) {
        EXPECT_EQ(e.Message(), u"Unknown device info note field: 5!");
    }
}

TEST_F(FtdiD2xxTest, OpenSequenceAppliesTheLineSettingsInOrder) {
    D2xxSim::Use(D2xxSim::TwoDevices);
    TFtdiD2xx dev;
    dev.SetBaudrateValue(115200);
    dev.SetDataBits(ed7bit);
    dev.SetStopBits(es2bit);
    dev.SetParity(epEven);
    dev.SetFlowControl(efXonXoff);
    ASSERT_EQ(dev.OpenEx("2111", 4), eoOpened);
    EXPECT_TRUE(dev.IsOpen());
    ASSERT_TRUE(D2xxSim::PumpUntil(
        [] { return D2xxSim::Log().find("Notification") != std::string::npos; }));
    dev.Close();
    EXPECT_EQ(D2xxSim::Log(), "FT_OpenEx loc=2111\n"
                              "FT_ResetDevice\n"
                              "FT_SetBaudRate 115200\n"
                              "FT_SetDataCharacteristics 7 2 2\n"
                              "FT_SetFlowControl 0400 11 13\n"
                              "FT_SetEventNotification 3\n"
                              "FT_Close\n");
    EXPECT_FALSE(dev.IsOpen());
    EXPECT_EQ(dev.OpenEx("FT9999", 1), eoOpened);
    EXPECT_EQ(D2xxSim::Control().IsOpen(0x111), 1);
}

TEST_F(FtdiD2xxTest, EachFailingOpenStepLeavesTheDeviceClosed) {
    struct {
        const char* call;
        EDeviceOpenSteps step;
    } cases[] = {{"FT_OpenEx", eoOpenDevice},
                 {"FT_ResetDevice", eoResetDevice},
                 {"FT_SetBaudRate", eoSetBaudrate},
                 {"FT_SetDataCharacteristics", eoSetDataBits},
                 {"FT_SetFlowControl", eoSetFlowMode}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call);
        D2xxSim::Use(std::string(D2xxSim::TwoDevices) + "fail " + c.call + " 4\n");
        TFtdiD2xx dev;
        dev.SetBaudrateValue(57600);
        EXPECT_EQ(dev.OpenEx("2111", 4), c.step);
        EXPECT_FALSE(dev.IsOpen());
        EXPECT_EQ(dev.LastError(), 4);
        EXPECT_EQ(D2xxSim::Control().IsOpen(0x2111), 0);
        EXPECT_EQ(dev.Baudrate(), 57600u);
    }
}

TEST_F(FtdiD2xxTest, UnreadableLocationTextNeverReachesTheLibrary) {
    D2xxSim::Use(D2xxSim::TwoDevices);
    TFtdiD2xx dev;
    EXPECT_EQ(dev.OpenEx("xyz", 4), eoOpenDevice);
    EXPECT_EQ(dev.OpenEx("ffffffff", 4), eoOpenDevice);
    EXPECT_EQ(D2xxSim::Log(), "");
}

TEST_F(FtdiD2xxTest, ReadWriteAndDeviceInfo) {
    D2xxSim::Use("device 2111 6 ABCDEFGHIJKLMNOP Dual RS232 A\n"
                 "reply 0241 0243440A\n");
    TFtdiD2xx dev;
    ASSERT_TRUE(dev.Open("2111", 4));
    EXPECT_TRUE(dev.Write(std::string("\x02\x41")));
    std::string rx = "old";
    EXPECT_TRUE(dev.Read(rx));
    EXPECT_EQ(rx, "\x02\x43\x44\x0A");
    Classes::TMemoryStream ms;
    EXPECT_TRUE(dev.Read(ms));
    EXPECT_EQ(ms.Size(), 0);
    uint32_t type = 0;
    uint16_t pid = 0, vid = 0;
    std::string serial, desc;
    ASSERT_TRUE(dev.GetDeviceInfo(type, pid, vid, serial, desc));
    EXPECT_EQ(type, 6u);
    EXPECT_EQ(vid, 0x0403);
    EXPECT_EQ(pid, 0x6001);
    EXPECT_EQ(serial, "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(desc, "Dual RS232 A");
    dev.Close();
    // A closed device passes the empty handle and reports the library's answer.
    EXPECT_FALSE(dev.Write(std::string("x")));
    EXPECT_FALSE(dev.Reset());
}

TEST_F(FtdiD2xxTest, EventThreadHandsReceivedDataToTheMainThread) {
    D2xxSim::Use(D2xxSim::TwoDevices);
    TFtdiD2xx dev;
    std::string got;
    bool onMain = true;
    dev.SetOnRxData([&](Classes::TObject* Sender) {
        EXPECT_EQ(Sender, &dev);
        onMain = onMain && MainThread::IsMainThread();
        std::string chunk;
        if (dev.Read(chunk))
            got += chunk;
    });
    ASSERT_EQ(dev.OpenEx("2111", 4), eoOpened);
    ASSERT_TRUE(D2xxSim::PumpUntil(
        [] { return D2xxSim::Log().find("Notification") != std::string::npos; }));
    D2xxSim::Control().Inject(0x2111, "414243");
    EXPECT_TRUE(D2xxSim::PumpUntil([&] { return got == "ABC"; }));
    D2xxSim::Control().Inject(0x2111, "44");
    EXPECT_TRUE(D2xxSim::PumpUntil([&] { return got == "ABCD"; }));
    EXPECT_TRUE(onMain);
}

TEST_F(FtdiD2xxTest, HandlerExceptionIsShownAndTheThreadGoesOn) {
    D2xxSim::Use(D2xxSim::TwoDevices);
    std::vector<std::u16string> boxes;
    Dialogs::SetMessageBoxHook(
        [&](Dialogs::TMsgDlgType, const std::u16string& s) { boxes.push_back(s); });
    {
        TFtdiD2xx dev;
        std::string got;
        dev.SetOnRxData([&](Classes::TObject*) {
            std::string chunk;
            dev.Read(chunk);
            got += chunk;
            if (chunk == "A")
                throw SysUtils::Exception(u"boom");
        });
        ASSERT_EQ(dev.OpenEx("2111", 4), eoOpened);
        D2xxSim::Control().Inject(0x2111, "41");
        EXPECT_TRUE(D2xxSim::PumpUntil([&] { return !boxes.empty(); }));
        D2xxSim::Control().Inject(0x2111, "42");
        EXPECT_TRUE(D2xxSim::PumpUntil([&] { return got == "AB"; }));
    }
    Dialogs::SetMessageBoxHook([](Dialogs::TMsgDlgType, const std::u16string&) {});
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], u"boom");
}

TEST_F(FtdiD2xxTest, FailingStatusQueryClosesTheDeviceAndFiresOnError) {
    D2xxSim::Use(std::string(D2xxSim::TwoDevices) + "fail FT_GetStatus 4 afterwrite\n");
    TFtdiD2xx dev;
    int errors = 0;
    dev.SetOnError([&](Classes::TObject*) { ++errors; });
    ASSERT_EQ(dev.OpenEx("2111", 4), eoOpened);
    EXPECT_TRUE(dev.Write(std::string("x")));
    EXPECT_TRUE(D2xxSim::PumpUntil([&] { return errors == 1; }));
    EXPECT_FALSE(dev.IsOpen());
    EXPECT_EQ(dev.ErrorCode(), 4);
    EXPECT_EQ(D2xxSim::Control().IsOpen(0x2111), 0);
    dev.Close(); // joins the ended thread, touches no handle
    D2xxSim::PumpUntil([] { return false; }, 120);
    EXPECT_EQ(errors, 1);
}

TEST_F(FtdiD2xxTest, CloseWhileAHandOverWaitsNeitherHangsNorDeliversLate) {
    D2xxSim::Use(D2xxSim::TwoDevices);
    int calls = 0;
    {
        TFtdiD2xx dev;
        dev.SetOnRxData([&](Classes::TObject*) { ++calls; });
        ASSERT_EQ(dev.OpenEx("2111", 4), eoOpened);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        D2xxSim::Control().Inject(0x2111, "41");
        // The event thread now waits for the main thread, which does not serve it.
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        dev.Close();
        EXPECT_FALSE(dev.IsOpen());
    }
    D2xxSim::PumpUntil([] { return false; }, 100);
    EXPECT_EQ(calls, 0);
}

TEST_F(FtdiD2xxTest, CloseFromInsideTheHandlerDefersTheJoin) {
    D2xxSim::Use(D2xxSim::TwoDevices);
    TFtdiD2xx dev;
    int calls = 0;
    dev.SetOnRxData([&](Classes::TObject*) {
        ++calls;
        dev.Close();
    });
    ASSERT_EQ(dev.OpenEx("2111", 4), eoOpened);
    D2xxSim::Control().Inject(0x2111, "41");
    EXPECT_TRUE(D2xxSim::PumpUntil([&] { return calls == 1; }));
    EXPECT_FALSE(dev.IsOpen());
    EXPECT_EQ(D2xxSim::Control().IsOpen(0x2111), 0);
    // The device opens again with a thread of its own; the old one is joined on the way.
    ASSERT_EQ(dev.OpenEx("2111", 4), eoOpened);
    dev.SetOnRxData(nullptr);
    D2xxSim::PumpUntil([] { return false; }, 100);
    EXPECT_EQ(calls, 1);
}

TEST_F(FtdiD2xxTest, RefusedCloseRaisesButForgetsTheHandle) {
    D2xxSim::Use(std::string(D2xxSim::TwoDevices) + "fail FT_Close 4\n");
    TFtdiD2xx dev;
    ASSERT_EQ(dev.OpenEx("2111", 4), eoOpened);
    try {
        dev.Close();
        FAIL() << "no exception";
    } catch (const SysUtils::Exception& e) {
        EXPECT_EQ(e.Message(), u"Device closing failed!");
    }
    EXPECT_FALSE(dev.IsOpen());
    EXPECT_NO_THROW(dev.Close());
    // Refused after a failed step, the close takes the place of the step result.
    D2xxSim::Use(std::string(D2xxSim::TwoDevices) + "fail FT_ResetDevice 4\nfail FT_Close 5\n");
    EXPECT_THROW(dev.OpenEx("2111", 4), SysUtils::Exception);
    EXPECT_FALSE(dev.IsOpen());
    EXPECT_EQ(dev.LastError(), 5);
}

} // namespace
