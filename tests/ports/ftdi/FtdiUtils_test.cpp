// The device finder's identification forms and error texts, and the FTDI statement table.

#include "D2xxSim.h"
#include "common/SysUtils.h"
#include "ports/ftdi/FtdiUtils.h"

#include <gtest/gtest.h>

using namespace FtdiUtils;
using FtdiD2xx::InvalidLocationId;

namespace {

class FtdiDetectorTest : public testing::Test {
protected:
    void TearDown() override {
        TFtdiDetector::InstanceRelease();
        FtdiD2xxDll::SetD2xxLibraryFiles({TELVIK_D2XX_SIM});
    }
    /// A fresh finder on the given devices.
    TFtdiDetector* Finder(const std::string& sDevices) {
        D2xxSim::Use(sDevices);
        TFtdiDetector::InstanceRelease();
        return TFtdiDetector::Instance();
    }
};

TEST_F(FtdiDetectorTest, UsbFormTakesTheDigitsWithoutLookingThemUp) {
    TFtdiDetector* f = Finder(D2xxSim::TwoDevices);
    ASSERT_TRUE(f->Find(u"USB0999"));
    EXPECT_EQ(f->UsbLocationId(), 0x999u);
    EXPECT_EQ(f->DeviceIndication(), u"USB0999");
    EXPECT_FALSE(f->Find(u"USB"));
    EXPECT_EQ(f->ErrorText(), u"No FTDI device found at USB");
    EXPECT_EQ(f->UsbLocationId(), InvalidLocationId);
    EXPECT_FALSE(f->Find(u"USB12G4"));
    EXPECT_EQ(f->ErrorText(), u"No FTDI device found at USB12G4");
    EXPECT_FALSE(f->Find(u"usb0111"));
    EXPECT_EQ(f->ErrorText(), u"Unknown port identification: usb0111");
    // A failed look-up leaves the last indication as it was.
    EXPECT_EQ(f->DeviceIndication(), u"USB0999");
}

TEST_F(FtdiDetectorTest, SerialNumberAndDescriptionForms) {
    TFtdiDetector* f = Finder(D2xxSim::TwoDevices);
    ASSERT_TRUE(f->Find(u"SN:FT1234"));
    EXPECT_EQ(f->UsbLocationId(), 0x2111u);
    EXPECT_EQ(f->DeviceIndication(), u"USB2111 [SN:FT1234]");
    ASSERT_TRUE(f->Find(u"SN: FT9999 "));
    EXPECT_EQ(f->DeviceIndication(), u"USB0111 [SN: FT9999 ]");
    ASSERT_TRUE(f->Find(u"DS:RS232"));
    EXPECT_EQ(f->DeviceIndication(), u"USB2111 [DS:RS232]");
    ASSERT_TRUE(f->Find(u"DS:\"USB \""));
    EXPECT_EQ(f->UsbLocationId(), 0x111u);
    EXPECT_FALSE(f->Find(u"DS:rs232"));
    EXPECT_EQ(f->ErrorText(), u"No FTDI device found for [DS:rs232]");
    EXPECT_FALSE(f->Find(u"SN:FT1234\u0100"));
    EXPECT_EQ(f->ErrorText(), u"No FTDI device found for [SN:FT1234\u0100]");
    EXPECT_FALSE(f->Find(u"COM1"));
    EXPECT_EQ(f->ErrorText(), u"Unknown port identification: COM1");
}

TEST_F(FtdiDetectorTest, QuotesKeepTheirSpaces) {
    TFtdiDetector* f = Finder("device 2111 6 FT1 Dual RS232 A\n"
                              "device 3111 6 XFT1Y Dual RS232 B\n");
    // " FT1 " with its spaces matches neither serial number.
    EXPECT_FALSE(f->Find(u"SN:\" FT1 \""));
    ASSERT_TRUE(f->Find(u"DS:\" RS232 \""));
    EXPECT_EQ(f->UsbLocationId(), 0x2111u);
    // An empty pair of quotes: the trimmed text itself, quotes and all, is the value.
    EXPECT_FALSE(f->Find(u"SN:\"\""));
    EXPECT_FALSE(f->Find(u"SN: \"FT1"));
    EXPECT_FALSE(f->Find(u"SN: \"\"FT1"));
}

TEST_F(FtdiDetectorTest, NoDeviceOrNoDriverFailsEveryForm) {
    TFtdiDetector* f = Finder("");
    for (const char16_t* s : {u"USB0111", u"SN:FT1234", u"DS:x", u"junk"}) {
        EXPECT_FALSE(f->Find(s));
        EXPECT_EQ(f->ErrorText(), u"No FTDI devices available!");
    }
    // The empty list is loaded again on the next look-up.
    D2xxSim::Use(D2xxSim::TwoDevices);
    EXPECT_TRUE(f->Find(u"USB0111"));

    FtdiD2xxDll::SetD2xxLibraryFiles({"/nonexistent/libftd2xx.so"});
    TFtdiDetector::InstanceRelease();
    f = TFtdiDetector::Instance();
    EXPECT_FALSE(f->Find(u"USB0111"));
    EXPECT_EQ(f->ErrorText(), u"No FTDI driver not found!");

    D2xxSim::Use("version 00010399\n" + std::string(D2xxSim::TwoDevices));
    EXPECT_FALSE(f->Find(u"SN:FT1234"));
    EXPECT_EQ(f->ErrorText(), u"No FTDI driver not found!");
}

TEST_F(FtdiDetectorTest, KeepsItsListUntilCleared) {
    TFtdiDetector* f = Finder(D2xxSim::TwoDevices);
    ASSERT_TRUE(f->Find(u"SN:FT9999"));
    D2xxSim::Use("device 4111 6 NEW1 New\n");
    EXPECT_TRUE(f->Find(u"SN:FT9999"));
    f->ClearDeviceList();
    EXPECT_FALSE(f->Find(u"SN:FT9999"));
    EXPECT_TRUE(f->Find(u"SN:NEW1"));
}

TEST(FtdiStatement, MasksOfEveryCbbbForm) {
    struct {
        const char16_t* s;
        const char* logged;
    } cases[] = {{u"CBBB0=1", "11"},   {u"CBBB0=0", "10"},    {u"CBBB1=1", "22"},
                 {u"CBBB1=0", "20"},   {u"CBBB2=1", "44"},    {u"CBBB2=0", "40"},
                 {u"CBBB3=1", "88"},   {u"CBBB3=0", "80"},    {u"CBBB2x1", "44"},
                 {u"CBBB[255]", "FF"}, {u"CBBB[$1F3]", "F3"}, {u"CBBB[0x0F]x", "0F"}};
    D2xxSim::Use(D2xxSim::TwoDevices);
    FtdiD2xx::TFtdiD2xx dev;
    ASSERT_EQ(dev.OpenEx("2111", 4), FtdiD2xx::eoOpened);
    for (const auto& c : cases) {
        SCOPED_TRACE(SysUtils::ToUtf8(c.s));
        std::string before = D2xxSim::Calls();
        EXPECT_EQ(FtdiStatement(&dev, c.s), srDone);
        EXPECT_EQ(D2xxSim::Calls().substr(before.size()),
                  std::string("FT_SetBitMode ") + c.logged + " 20\n");
    }
}

TEST(FtdiStatement, MalformedAndForeignStatements) {
    D2xxSim::Use(D2xxSim::TwoDevices);
    FtdiD2xx::TFtdiD2xx dev;
    ASSERT_EQ(dev.OpenEx("2111", 4), FtdiD2xx::eoOpened);
    std::string before = D2xxSim::Calls();
    for (const char16_t* s :
         {u"CBBB0", u"CBBB[12", u"CBBB4=1", u"CBBB[x]=1", u"CBBB[[1]]", u"CBBB[]==="})
        EXPECT_EQ(FtdiStatement(&dev, s), srInvalid) << SysUtils::ToUtf8(s);
    EXPECT_EQ(D2xxSim::Calls(), before); // the library was never called
    EXPECT_EQ(FtdiStatement(&dev, u"cbbb0=1"), srNotFtdi);
    EXPECT_EQ(FtdiStatement(&dev, u"W=10"), srNotFtdi);
    EXPECT_EQ(FtdiStatement(&dev, u"SetDTR "), srNotFtdi);
}

TEST(FtdiStatement, ModemLinesIgnoreCaseAndReportFailure) {
    D2xxSim::Use(D2xxSim::TwoDevices);
    FtdiD2xx::TFtdiD2xx dev;
    ASSERT_EQ(dev.OpenEx("2111", 4), FtdiD2xx::eoOpened);
    std::string before = D2xxSim::Calls();
    EXPECT_EQ(FtdiStatement(&dev, u"setdtr"), srDone);
    EXPECT_EQ(FtdiStatement(&dev, u"ClrDTR"), srDone);
    EXPECT_EQ(FtdiStatement(&dev, u"SETRTS"), srDone);
    EXPECT_EQ(FtdiStatement(&dev, u"clrRts"), srDone);
    EXPECT_EQ(D2xxSim::Calls().substr(before.size()),
              "FT_SetDtr\nFT_ClrDtr\nFT_SetRts\nFT_ClrRts\n");
    dev.Close();
    EXPECT_EQ(FtdiStatement(&dev, u"SetDTR"), srFailed);
    EXPECT_EQ(FtdiStatement(&dev, u"CBBB1=1"), srFailed);
    EXPECT_EQ(FtdiStatement(nullptr, u"SetRTS"), srFailed);
}

} // namespace
