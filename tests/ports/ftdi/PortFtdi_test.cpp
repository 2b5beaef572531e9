// The FTDI port: its settings, the open step table, statements and data, against the simulator.

#include "D2xxSim.h"
#include "TestUtils.h"
#include "common/IniFiles.h"
#include "common/MsgUtils.h"
#include "ports/ftdi/FtdiUtils.h"
#include "ports/ftdi/PortFtdi.h"

#include <gtest/gtest.h>

using MsgUtils::EMsg;
using PortFtdi::TPortFtdi;

namespace {

class PortFtdiTest : public testing::Test {
protected:
    void TearDown() override { FtdiD2xxDll::SetD2xxLibraryFiles({TELVIK_D2XX_SIM}); }

    static IniFiles::TMemIniFile Ini(const std::u16string& sDevice) {
        IniFiles::TMemIniFile ini;
        ini.SetText(u"[DEVICE]\r\n" + sDevice);
        return ini;
    }
    /// The EMsg `fn` raises, as id and text.
    template <typename Fn> static std::pair<uint32_t, std::u16string> Raised(Fn fn) {
        try {
            fn();
        } catch (const EMsg& e) {
            return {e.Id().Value, e.Message()};
        }
        return {0, u"no exception"};
    }
    TestUtils::MsgRecorder rec;
};

TEST_F(PortFtdiTest, InitFindsTheDeviceAndReportsDefaults) {
    D2xxSim::Use(D2xxSim::TwoDevices);
    TPortFtdi port(u"", u"");
    port.Init(Ini(u"Port=SN:FT1234\r\n"));
    EXPECT_EQ(port.UsbId(), 0x2111u);
    EXPECT_EQ(port.PortId(), u"USB2111 [SN:FT1234]");
    EXPECT_EQ(rec.Texts(), std::vector<std::u16string>{u"Default bit rate 9600 bps is used"});
    EXPECT_EQ(rec.entries[0].id, 0x04000000u); // a hint with id 0
    port.Open();
    EXPECT_NE(D2xxSim::Calls().find("FT_SetBaudRate 9600\n"), std::string::npos);
}

TEST_F(PortFtdiTest, ExtendedSettingsSummary) {
    D2xxSim::Use(D2xxSim::TwoDevices);
    {
        TPortFtdi port(u"", u"");
        port.Init(
            Ini(u"Port=USB2111\r\nBitrate=19200\r\nDataBits=8\r\nParity=even\r\nStopBit=1\r\n"));
        EXPECT_EQ(rec.Texts(), std::vector<std::u16string>{
                                   u"\"8E1N\" Extended bit configuration and flow control"});
    }
    rec.entries.clear();
    {
        TPortFtdi port(u"", u"");
        port.Init(Ini(u"Port=USB2111\r\nBitrate=19200\r\nParity=odd\r\n"));
        EXPECT_EQ(rec.Texts().at(0), u"\"8O1N\" Extended bit configuration and flow control");
    }
    rec.entries.clear();
    {
        TPortFtdi port(u"", u"");
        port.Init(Ini(u"Port=USB2111\r\nBitrate=19200\r\nParity=x\r\nFlowControl=\r\n"));
        EXPECT_TRUE(rec.entries.empty());
    }
    TPortFtdi port(u"", u"");
    port.Init(Ini(u"Port=USB2111\r\nBitrate=$4B00\r\nDataBits=7\r\nParity=s\r\nStopBit=2\r\n"
                  u"FlowControl=rts\r\n"));
    port.Open();
    EXPECT_NE(D2xxSim::Calls().find("FT_SetBaudRate 19200\nFT_SetDataCharacteristics 7 2 4\n"
                                    "FT_SetFlowControl 0100 11 13\n"),
              std::string::npos);
}

TEST_F(PortFtdiTest, InitFailures) {
    D2xxSim::Use(D2xxSim::TwoDevices);
    TPortFtdi port(u"", u"");
    auto r = Raised([&] { port.Init(Ini(u"Port=\r\n")); });
    EXPECT_EQ(r.first, 0xF20114u);
    EXPECT_EQ(r.second, u"No port defined!\r\nID: F20114:0");
    r = Raised([&] { port.Init(Ini(u"Port=DS:Nothing\r\n")); });
    EXPECT_EQ(r.second, u"No FTDI device found for [DS:Nothing]\r\nID: F2010A:0");
    r = Raised([&] { port.Init(Ini(u"Port=USB0111\r\nBusyWait=-5\r\n")); });
    EXPECT_EQ(r.second, u"Invalid [DEVICE] BusyWait \"-5\": an integer of at least 0 (ms) is "
                        u"needed!\r\nID: F20115:0");
    r = Raised([&] { port.Init(Ini(u"Port=USB0111\r\nFindWait=2s\r\n")); });
    EXPECT_EQ(r.first, 0xF20115u);
    D2xxSim::Use("");
    r = Raised([&] { port.Init(Ini(u"Port=USB0111\r\n")); });
    EXPECT_EQ(r.second, u"No FTDI devices available!\r\nID: F2010A:0");
    // The finder was released in every case.
    EXPECT_TRUE(FtdiUtils::TFtdiDetector::Instance()->DeviceIndication().empty());
    FtdiUtils::TFtdiDetector::InstanceRelease();
}

TEST_F(PortFtdiTest, WithoutTheLibraryThePortStillExists) {
    FtdiD2xxDll::SetD2xxLibraryFiles({"/nonexistent/libftd2xx.so"});
    TPortFtdi port(u"", u"");
    EXPECT_EQ(port.Device(), nullptr);
    EXPECT_FALSE(port.Active());
    auto r = Raised([&] { port.Init(Ini(u"Port=USB0111\r\n")); });
    EXPECT_EQ(r.second, u"No FTDI driver not found!\r\nID: F2010A:0");
    EXPECT_FALSE(port.Instruct(u"SetDTR"));
    int closed = 0;
    port.SetOnClosed([&](Classes::TObject*) { ++closed; });
    port.Close();
    EXPECT_EQ(closed, 1);
}

TEST_F(PortFtdiTest, OpenStepTable) {
    struct {
        const char* call;
        uint32_t id;
        std::u16string text;
    } cases[] = {
        {"FT_OpenEx", 0xF2020F, u"No FTDI device found at USB2111 [DS:Dual]!\r\nID: F2020F:2"},
        {"FT_ResetDevice", 0xF2020E,
         u"FTDI device reset failed at USB2111 [DS:Dual]!\r\nID: F2020E:4"},
        {"FT_SetBaudRate", 0xF2020D,
         u"Invalid baudrate \"9600\" for FTDI device at USB2111 [DS:Dual]!\r\nID: F2020D:7"},
        {"FT_SetDataCharacteristics", 0xF20214, u"F20214:2"},
        {"FT_SetFlowControl", 0xF20214, u"F20214:1"},
    };
    uint32_t statuses[] = {2, 4, 7, 4, 4};
    int i = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call);
        D2xxSim::Use(std::string(D2xxSim::TwoDevices) + "fail " + c.call + " " +
                     std::to_string(statuses[i++]) + "\n");
        TPortFtdi port(u"", u"");
        int opened = 0;
        port.SetOnOpened([&](Classes::TObject*) { ++opened; });
        port.Init(Ini(u"Port=DS:Dual\r\n"));
        auto r = Raised([&] { port.Open(); });
        EXPECT_EQ(r.first, c.id);
        EXPECT_EQ(r.second, c.text);
        EXPECT_FALSE(port.Active());
        EXPECT_EQ(opened, 0);
        EXPECT_EQ(D2xxSim::Control().IsOpen(0x2111), 0);
    }
}

TEST_F(PortFtdiTest, BusyOrAbsentOpenIsTriedAgainWhileItsWaitLasts) {
    struct {
        const char* fail;     // how the simulator refuses the opens
        const char16_t* keys; // the wait settings
        bool opened;
        size_t retries;       // Debug lines
        const char16_t* last; // the last line before the open's outcome
    } cases[] = {
        {"fail FT_OpenEx 3 2\n", u"", true, 2, u"FTDI device USB0111 latency timer set to 1 ms"},
        {"fail FT_OpenEx 3\n", u"BusyWait=60\r\n", false, 2,
         u"FTDI device FT9999 at USB0111 is held by another program or by the kernel driver "
         u"ftdi_sio; "
         u"release it as docs/ftdi.md describes"},
        {"fail FT_OpenEx 3\n", u"BusyWait=0\r\n", false, 0,
         u"FTDI device FT9999 at USB0111 is held by another program or by the kernel driver "
         u"ftdi_sio; "
         u"release it as docs/ftdi.md describes"},
        {"fail FT_OpenEx 2 3\n", u"FindWait=2000\r\n", true, 3,
         u"FTDI device USB0111 latency timer set to 1 ms"},
        {"fail FT_OpenEx 2\n", u"BusyWait=2000\r\n", false, 0, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fail);
        rec.entries.clear();
        D2xxSim::Use(std::string(D2xxSim::TwoDevices) + c.fail);
        TPortFtdi port(u"", u"");
        port.Init(Ini(u"Port=USB0111\r\nBitrate=9600\r\n" + std::u16string(c.keys)));
        auto r = Raised([&] { port.Open(); });
        EXPECT_EQ(port.Active(), c.opened);
        EXPECT_EQ(r.first, c.opened ? 0u : 0xF2020Fu);
        size_t debug = 0;
        for (const auto& e : rec.entries)
            debug += e.id >> 24 == 1;
        EXPECT_GE(debug, c.retries);
        if (c.last != nullptr) {
            EXPECT_EQ(rec.Texts().back(), c.last);
        }
    }
}

TEST_F(PortFtdiTest, RateTheDeviceCannotProduce) {
    D2xxSim::Use(D2xxSim::TwoDevices);
    TPortFtdi port(u"", u"");
    port.Init(Ini(u"Port=USB2111\r\nBitrate=50\r\n"));
    auto r = Raised([&] { port.Open(); });
    EXPECT_EQ(r.second, u"Invalid baudrate \"50\" for FTDI device at USB2111!\r\nID: F2020D:7");
}

TEST_F(PortFtdiTest, OpenTwiceHintsAndLeavesTheDeviceAlone) {
    D2xxSim::Use(D2xxSim::TwoDevices);
    TPortFtdi port(u"", u"");
    int opened = 0;
    port.SetOnOpened([&](Classes::TObject* s) {
        EXPECT_EQ(s, &port);
        ++opened;
    });
    port.Init(Ini(u"Port=USB0111\r\nBitrate=9600\r\n"));
    port.Open();
    std::string before = D2xxSim::Calls();
    port.Open();
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(D2xxSim::Calls(), before);
    EXPECT_EQ(rec.Texts().back(), u"FTDI device USB0111 already open.");
    EXPECT_TRUE(port.Active());
}

TEST_F(PortFtdiTest, StatementsThenTelegramAndResponse) {
    // STX "A" ETX answered by STX "OK" ETX.
    D2xxSim::Use(std::string(D2xxSim::TwoDevices) + "reply 024103 024F4B03\n");
    TPortFtdi port(u"\x02", u"\x03");
    int received = 0;
    port.SetOnDataReceived([&](Classes::TObject*) { ++received; });
    port.Init(Ini(u"Port=USB2111\r\nBitrate=9600\r\n"));
    port.Open();
    std::string before = D2xxSim::Calls();
    EXPECT_TRUE(port.Instruct(u"SetDTR"));
    EXPECT_TRUE(port.Instruct(u"clrrts"));
    EXPECT_TRUE(port.Instruct(u"CBBB1=1"));
    EXPECT_TRUE(port.Instruct(u"W=1"));
    EXPECT_FALSE(port.Instruct(u"cbbb0=1"));
    EXPECT_FALSE(port.Instruct(u"CBBB0"));
    // What the device said before the telegram (a late answer) is read out and purged first.
    D2xxSim::Control().Inject(0x2111, "024F4C4403");
    port.Send(u"A");
    EXPECT_EQ(D2xxSim::Calls().substr(before.size()),
              "FT_SetDtr\nFT_ClrRts\nFT_SetBitMode 22 20\nFT_Read 024F4C4403\nFT_Purge 1\n"
              "FT_Write 024103\n");
    EXPECT_EQ(rec.Texts().back(), u"Discarded before sending: \x02OLD\x03");
    ASSERT_TRUE(D2xxSim::PumpUntil([&] { return received == 1; }));
    EXPECT_EQ(port.GetData(), u"OK");
    int closed = 0;
    port.SetOnClosed([&](Classes::TObject*) { ++closed; });
    port.Close();
    EXPECT_EQ(closed, 1);
    EXPECT_FALSE(port.Active());
}

TEST_F(PortFtdiTest, RefusedWriteAndReceiveErrors) {
    D2xxSim::Use(std::string(D2xxSim::TwoDevices) + "fail FT_Write 4\n");
    TPortFtdi port(u"<", u">");
    port.Init(Ini(u"Port=USB2111\r\nBitrate=9600\r\n"));
    port.Open();
    auto r = Raised([&] { port.Send(u"x"); });
    EXPECT_EQ(r.first, 0xF20300u);
    EXPECT_EQ(r.second, u"F20300:0");
    // An overflowing cache raises inside the receive handler, which only logs it.
    port.SetMaxRxCache(2);
    rec.entries.clear();
    D2xxSim::Control().Inject(0x2111, "3C414243");
    ASSERT_TRUE(D2xxSim::PumpUntil([&] { return !rec.entries.empty(); }));
    EXPECT_EQ(rec.Texts().back().rfind(u"Receive cache overflow: 4 bytes", 0), 0u);
    EXPECT_EQ(rec.entries.back().id >> 24, 6u);
}

TEST_F(PortFtdiTest, RefusedCloseRaisesWithoutOnClosedAndPortEndsInactive) {
    D2xxSim::Use(std::string(D2xxSim::TwoDevices) + "fail FT_Close 4\n");
    TPortFtdi port(u"", u"");
    int closed = 0;
    port.SetOnClosed([&](Classes::TObject*) { ++closed; });
    port.Init(Ini(u"Port=USB2111\r\nBitrate=9600\r\n"));
    port.Open();
    EXPECT_THROW(port.Close(), SysUtils::Exception);
    EXPECT_EQ(closed, 0);
    EXPECT_FALSE(port.Active());
    port.Close();
    EXPECT_EQ(closed, 1);
}

} // namespace
