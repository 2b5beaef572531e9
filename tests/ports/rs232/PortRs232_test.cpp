// The RS232 port against the fake serial device.

#include "ports/rs232/PortRs232.h"

#include "TestUtils.h"
#include "common/IniFiles.h"
#include "common/MsgUtils.h"
#include "platform/Dialogs.h"
#include "ports/rs232/FakeSerialDevice.h"
#include "ports/rs232/Rs232Utils.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>

using MsgUtils::EMsg;
using PortRs232::TPortRs232;
using TestUtils::PumpUntil;
using TestUtils::TFakeSerialDevice;

namespace {

struct Port {
    explicit Port(const std::u16string& start = u"", const std::u16string& end = u"") {
        auto dev = std::make_unique<TFakeSerialDevice>();
        fake = dev.get();
        port = std::make_unique<TPortRs232>(start, end, std::move(dev));
        port->SetOnOpened([this](Classes::TObject*) { ++opened; });
        port->SetOnClosed([this](Classes::TObject*) { ++closed; });
    }
    void Init(const std::u16string& sDevice) {
        IniFiles::TMemIniFile ini;
        ini.SetText(u"[DEVICE]\n" + sDevice);
        port->Init(ini);
    }
    TFakeSerialDevice* fake;
    std::unique_ptr<TPortRs232> port;
    int opened = 0, closed = 0;
};

// The EMsg a call raises, with its id and value.
template <typename F> EMsg Raised(F f) {
    try {
        f();
    } catch (const EMsg& e) {
        return e;
    }
    ADD_FAILURE() << "no EMsg raised";
    return EMsg(0, 0);
}

} // namespace

TEST(Rs232Utils, ComPortNumberDropsThreeCharacters) {
    using Rs232Utils::ComPortNumber;
    EXPECT_EQ(ComPortNumber(u"COM3"), 3);
    EXPECT_EQ(ComPortNumber(u"COM12"), 12);
    EXPECT_EQ(ComPortNumber(u"com03"), 3);
    EXPECT_EQ(ComPortNumber(u"XYZ7"), 7);
    EXPECT_EQ(ComPortNumber(u"COM"), 0);
    EXPECT_EQ(ComPortNumber(u"3"), 0);
    EXPECT_EQ(ComPortNumber(u"COMX"), 0);
    EXPECT_EQ(ComPortNumber(u"COM$A"), 10);
    EXPECT_EQ(ComPortNumber(u""), 0);
}

TEST(PortRs232, InitReadsPortAndBitrate) {
    {
        TestUtils::MsgRecorder msgs;
        Port p;
        p.Init(u"Port=COM3\n");
        EXPECT_EQ(p.port->Serial().Port(), 3);
        EXPECT_EQ(p.port->Serial().Baudrate(), 9600);
        EXPECT_EQ(msgs.Utf8Texts(), std::vector<std::string>{"Default bit rate 9600 bps is used"});
        EXPECT_EQ(msgs.Levels(), std::vector<uint8_t>{MsgUtils::eHint});
        EXPECT_EQ(p.port->Serial().DataBits(), SerialDriver::d8bit);
        EXPECT_EQ(p.port->Serial().NotifyErrors(), SerialDriver::neEvent);
    }
    {
        TestUtils::MsgRecorder msgs;
        Port p;
        p.Init(u"Port=COM3\nBitrate=19200\n");
        EXPECT_EQ(p.port->Serial().Baudrate(), 19200);
        EXPECT_TRUE(msgs.Utf8Texts().empty());
    }
    {
        // A number that is no supported rate is the driver's error line, and the port refuses it
        // rather than run at the rate before.
        TestUtils::MsgRecorder msgs;
        std::vector<std::u16string> boxes;
        Dialogs::SetMessageBoxHook(
            [&](Dialogs::TMsgDlgType, const std::u16string& s) { boxes.push_back(s); });
        Port p;
        EMsg e = Raised([&] { p.Init(u"Port=COM3\nBitrate=12345\n"); });
        Dialogs::SetMessageBoxHook([](Dialogs::TMsgDlgType, const std::u16string&) {});
        EXPECT_EQ(e.Id().Value, 0xF3011Eu);
        EXPECT_EQ(e.Msg(), u"Bit rate 12345 bps is not supported; supported are 110, 300, 600, "
                           u"1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200, "
                           u"128000, 256000, 230400, 460800, 921600");
        EXPECT_EQ(p.port->Serial().Baudrate(), 9600);
        EXPECT_TRUE(boxes.empty());
        EXPECT_EQ(msgs.Utf8Texts(), std::vector<std::string>{"Baudrate is not valid"});
        EXPECT_EQ(msgs.Levels(), std::vector<uint8_t>{MsgUtils::eError});
    }
    {
        TestUtils::MsgRecorder msgs;
        Port p;
        p.Init(u"Port=COM3\nBitrate=fast\n");
        EXPECT_EQ(msgs.Utf8Texts(), std::vector<std::string>{"Default bit rate 9600 bps is used"});
    }
}

TEST(PortRs232, InitRefusesMissingAndInvalidPorts) {
    for (const char16_t* dev : {u"", u"Port=\n"}) {
        Port p;
        EMsg e = Raised([&] { p.Init(dev); });
        EXPECT_EQ(e.Id().Value & 0xFFFFFF, 0xF30114u);
        EXPECT_EQ(SysUtils::ToUtf8(e.Msg()), "No COM port defined!");
    }
    for (const char16_t* text : {u"COM0", u"COM", u"COMX", u"3", u"COM-2", u"LPT1", u"COM1X"}) {
        Port p;
        EMsg e = Raised([&] { p.Init(std::u16string(u"Port=") + text + u"\n"); });
        EXPECT_EQ(e.Id().Value & 0xFFFFFF, 0xF3010Au);
        EXPECT_EQ(e.Value(), 0);
        EXPECT_EQ(e.Msg(), u"Invalid COM port definition \"" + std::u16string(text) + u"\"!");
    }
}

TEST(PortRs232, LineSettingsAreReadCheckedAndReadBack) {
    struct TCase {
        const char16_t* sKeys;
        uint8_t byByteSize, byParity, byStopBits;
        bool bRts, bXon;
        const char* sInfo; ///< the open's Info line, or the error of Init when it raises
    };
    const TCase kCases[] = {
        {u"", 8, 0, 0, false, false, "Opened /dev/ttyS2: 9600 8N1, no flow control"},
        {u"DataBits=7\nParity=even\nStopBit=1\n", 7, 2, 0, false, false,
         "Opened /dev/ttyS2: 9600 7E1, no flow control"},
        {u"DataBits=5\nParity=m\nStopBit=2\nFlowControl=R\n", 5, 3, 2, true, false,
         "Opened /dev/ttyS2: 9600 5M2, RTS/CTS flow control"},
        {u"DataBits=6\nParity=S\nFlowControl=x\n", 6, 4, 0, false, true,
         "Opened /dev/ttyS2: 9600 6S1, XON/XOFF flow control"},
        {u"Parity=O\nFlowControl=N\n", 8, 1, 0, false, false,
         "Opened /dev/ttyS2: 9600 8O1, no flow control"},
        {u"DataBits=9\n", 0, 0, 0, false, false, "Invalid DataBits \"9\" (5, 6, 7 or 8)!"},
        {u"DataBits=x\n", 0, 0, 0, false, false, "Invalid DataBits \"x\" (5, 6, 7 or 8)!"},
        {u"Parity=Q\n", 0, 0, 0, false, false, "Invalid Parity \"Q\" (N, E, O, M or S)!"},
        {u"StopBit=0\n", 0, 0, 0, false, false, "Invalid StopBit \"0\" (1 or 2)!"},
        {u"FlowControl=D\n", 0, 0, 0, false, false, "Invalid FlowControl \"D\" (N, R or X)!"},
    };
    for (const TCase& c : kCases) {
        TestUtils::MsgRecorder msgs;
        Port p;
        if (c.byByteSize == 0) {
            EMsg e =
                Raised([&] { p.Init(u"Port=COM3\nBitrate=9600\n" + std::u16string(c.sKeys)); });
            EXPECT_EQ(SysUtils::ToUtf8(e.Msg()), c.sInfo);
            EXPECT_EQ(e.Id().Value & 0xFFFFFF, 0xF30128u);
            continue;
        }
        p.Init(u"Port=COM3\nBitrate=9600\n" + std::u16string(c.sKeys));
        p.port->Open();
        SerialDevice::TLineSettings s = p.fake->Settings();
        EXPECT_EQ(s.ByteSize, c.byByteSize) << c.sInfo;
        EXPECT_EQ(s.Parity, c.byParity) << c.sInfo;
        EXPECT_EQ(s.StopBits, c.byStopBits) << c.sInfo;
        EXPECT_EQ(s.RtsHandshake && s.OutCtsFlow, c.bRts) << c.sInfo;
        EXPECT_EQ(s.OutX && s.InX, c.bXon) << c.sInfo;
        EXPECT_EQ(msgs.Utf8Texts().back(), c.sInfo);
    }

    // A device that turns 7E1 into 8N1 (as a pseudo-terminal does) ends the open, naming the
    // first setting that did not take, with the port given back.
    Port p;
    p.Init(u"Port=COM3\nBitrate=9600\nDataBits=7\nParity=E\n");
    p.fake->SetReadBack(SerialDevice::TLineSettings{});
    try {
        p.port->Open();
        ADD_FAILURE() << "no EPortSettings raised";
    } catch (const PortBase::EPortSettings& e) {
        EXPECT_EQ(e.Msg(), u"Line setting DataBits=7 refused by /dev/ttyS2 (it reads back 8)!");
        EXPECT_EQ(e.Id().Value & 0xFFFFFF, 0xF30228u);
    }
    EXPECT_FALSE(p.port->Active());
    EXPECT_FALSE(p.fake->IsOpen());
    EXPECT_EQ(p.opened, 0);
}

TEST(PortRs232, LineStatementsSwitchTheDevicesLines) {
    TestUtils::MsgRecorder msgs;
    Port p;
    p.Init(u"Port=COM3\nBitrate=9600\n");
    p.port->Open();
    p.fake->ClearCalls();
    for (const char16_t* st :
         {u"ClrDTR", u"setrts", u"W=1", u"ClrRTS", u"SetDTR", u"SetBRK", u"clrbrk"})
        EXPECT_TRUE(p.port->Instruct(st)) << SysUtils::ToUtf8(st);
    EXPECT_EQ(p.fake->Calls(), (std::vector<std::string>{"SetDtr 0", "SetRts 1", "SetRts 0",
                                                         "SetDtr 1", "SetBreak 1", "SetBreak 0"}));
    for (const char16_t* st : {u"SetCTS", u"SetDTR1", u"CBBB0=1"})
        EXPECT_FALSE(p.port->Instruct(st)) << SysUtils::ToUtf8(st);
    // A device without modem lines refuses, and says so.
    p.fake->Fail("SetDtr", ENOTTY);
    EXPECT_FALSE(p.port->Instruct(u"SetDTR"));
    EXPECT_EQ(msgs.Utf8Texts().back(), "SetDTR on /dev/ttyS2: Inappropriate ioctl for device");
    EXPECT_EQ(msgs.Levels().back(), MsgUtils::eHint);
}

TEST(PortRs232, PortsAboveNineAreRefusedAtOpen) {
    for (int n : {10, 255, 300, 266}) {
        Port p;
        p.Init(u"Port=COM" + SysUtils::IntToStr(n) + u"\nBitrate=9600\n");
        EMsg e = Raised([&] { p.port->Open(); });
        EXPECT_EQ(e.Id().Value & 0xFFFFFF, 0xF3021Eu);
        EXPECT_EQ(e.Value(), n);
        EXPECT_EQ(e.Msg(), u"Error in serial port init!");
        EXPECT_TRUE(p.fake->Calls().empty()) << "COM" << n << " reached the device";
        // A number above 255 never reaches the driver cut to 8 bits.
        if (n > 255) {
            EXPECT_EQ(p.port->Serial().Port(), 1);
        }
        EXPECT_EQ(p.opened, 0);
    }
}

TEST(PortRs232, OpenCloseAndTheirEvents) {
    TestUtils::MsgRecorder msgs;
    Port p;
    p.Init(u"Port=COM3\nBitrate=9600\n");
    EXPECT_FALSE(p.port->Active());
    p.port->Open();
    EXPECT_TRUE(p.port->Active());
    EXPECT_EQ(p.opened, 1);
    EXPECT_EQ(p.port->Serial().Port(), 3);
    p.port->Open();
    EXPECT_EQ(p.opened, 1);
    EXPECT_EQ(msgs.Utf8Texts(),
              (std::vector<std::string>{"Opened /dev/ttyS2: 9600 8N1, no flow control",
                                        "RS232 device COM3 already open."}));
    p.port->Close();
    EXPECT_FALSE(p.port->Active());
    EXPECT_FALSE(p.fake->IsOpen());
    EXPECT_EQ(p.closed, 1);
    p.port->Open();
    EXPECT_EQ(p.opened, 2);
    EXPECT_TRUE(p.fake->IsOpen());

    Port never;
    never.port->Close();
    EXPECT_EQ(never.closed, 1);
}

TEST(PortRs232, DeviceErrorsBecomeSystemErrors) {
    Port p;
    p.Init(u"Port=COM3\nBitrate=9600\n");
    p.fake->Fail("Open", EBUSY);
    EMsg e = Raised([&] { p.port->Open(); });
    EXPECT_EQ(e.Id().Value & 0xFFFFFF, 0xF3050Au);
    EXPECT_EQ(e.Msg(), u"RS232 system error! (16)");
    EXPECT_EQ(e.Value(), 0);
    EXPECT_FALSE(p.port->Active());
    EXPECT_EQ(p.opened, 0);

    p.fake->Fail("Open", 0);
    p.port->Open();
    p.port->Close();
    e = Raised([&] { p.port->Send(u"x"); });
    EXPECT_EQ(e.Msg(), u"RS232 system error! (-1)");
    EXPECT_EQ(e.Id().Value & 0xFFFFFF, 0xF3050Au);

    // A write that ran out of time is a failed send, not one "in progress".
    p.port->Open();
    p.port->Serial().SetTimeout(0);
    p.fake->Fail("Write", EINPROGRESS);
    e = Raised([&] { p.port->Send(u"x"); });
    EXPECT_EQ(e.Msg(), u"RS232 system error! (110)");
    // So is a line that does not send what the kernel took.
    p.fake->Fail("Write", 0);
    p.port->Serial().SetTimeout(50);
    p.fake->SetTxWaiting(1);
    e = Raised([&] { p.port->Send(u"x"); });
    EXPECT_EQ(e.Msg(), u"RS232 system error! (110)");
}

TEST(PortRs232, CloseReleasesTheDeviceWhenAStepFails) {
    Port p;
    p.Init(u"Port=COM3\nBitrate=9600\n");
    p.port->Open();
    p.fake->Fail("Purge", EIO);
    EMsg e = Raised([&] { p.port->Close(); });
    EXPECT_EQ(e.Msg(), u"RS232 system error! (5)");
    EXPECT_FALSE(p.fake->IsOpen());
    EXPECT_FALSE(p.port->Active());

    // Destroying an open port whose close fails releases the device without a report.
    Port q;
    q.Init(u"Port=COM3\nBitrate=9600\n");
    q.port->Open();
    q.fake->Fail("Close", EIO);
    q.port.reset();
}

TEST(PortRs232, SendWritesTheTelegramAtOnceAfterEmptyingTheReceiveSide) {
    TestUtils::MsgRecorder msgs;
    Port p(u"[", u"]");
    p.Init(u"Port=COM3\nBitrate=9600\n");
    p.port->Open();
    // A telegram in the queue and a partial one in the cache: both go with the next Send.
    int received = 0;
    p.port->SetOnDataReceived([&](Classes::TObject*) { ++received; });
    p.fake->AddRx("[old][par");
    p.fake->Raise(SerialDevice::evRxChar);
    ASSERT_TRUE(PumpUntil([&] { return received == 1; }));
    EXPECT_EQ(p.port->GetDataCount(), 1);
    p.fake->ClearCalls();
    // Bytes still in the input queue, not yet announced by the event thread, go as well.
    p.fake->AddRx("tial]");
    p.port->Send(u"abc");
    EXPECT_EQ(p.port->GetDataCount(), 0);
    EXPECT_EQ(p.fake->Rx(), "");
    EXPECT_EQ(msgs.Utf8Texts().back(), "Discarded before sending: [old][partial]");
    EXPECT_EQ(msgs.Levels().back(), MsgUtils::eHint);
    EXPECT_EQ(p.fake->Tx(), "[abc]");
    EXPECT_EQ(p.fake->Calls(), (std::vector<std::string>{"Purge 10", "Write 5"}));

    p.fake->AddRx("x]yy");
    p.fake->Raise(SerialDevice::evRxChar);
    PumpUntil([&] { return received == 2; }, 100);
    EXPECT_EQ(p.port->GetDataCount(), 0) << "the cut-off telegram was dropped";
}

TEST(PortRs232, ReceivedBytesReachThePortBase) {
    Port p(u"[", u"]");
    p.Init(u"Port=COM3\nBitrate=9600\n");
    std::vector<std::u16string> got;
    p.port->SetOnDataReceived([&](Classes::TObject*) { got.push_back(p.port->GetData()); });
    p.port->Open();
    p.fake->AddRx(std::string("xx[a\x00\xFF", 6));
    p.fake->Raise(SerialDevice::evRxChar);
    PumpUntil([&] { return p.fake->Rx().empty(); });
    p.fake->AddRx("b]yy");
    p.fake->Raise(SerialDevice::evRxChar);
    ASSERT_TRUE(PumpUntil([&] { return got.size() == 1; }));
    EXPECT_EQ(got[0], std::u16string(u"a\u0000\u00FFb", 4));
}

TEST(PortRs232, ReceiveErrorsAreLoggedAndTheHandlerGoesOn) {
    TestUtils::MsgRecorder msgs;
    Port p(u"[", u"]");
    p.Init(u"Port=COM3\nBitrate=9600\n");
    p.port->SetMaxRxCache(4);
    p.port->Open();
    msgs.entries.clear();
    p.fake->AddRx("[12345");
    p.fake->Raise(SerialDevice::evRxChar);
    ASSERT_TRUE(PumpUntil([&] { return msgs.Utf8Texts().size() == 1; }));
    EXPECT_EQ(msgs.Levels().back(), MsgUtils::eError);
    EXPECT_EQ(msgs.Utf8Texts().back(),
              "Receive cache overflow: 6 bytes without a complete telegram, more "
              "than the limit of 4; they were dropped");

    p.fake->Fail("Read", EIO);
    p.fake->AddRx("z");
    p.fake->Raise(SerialDevice::evRxChar);
    ASSERT_TRUE(PumpUntil([&] { return msgs.Utf8Texts().size() == 3; }));
    EXPECT_NE(msgs.Utf8Texts()[1].find("RS232 system error! (5)"), std::string::npos);
    // The system's text follows, with the device it came from.
    EXPECT_EQ(msgs.Levels().back(), MsgUtils::eHint);
    EXPECT_NE(msgs.Utf8Texts().back().find(": Input/output error"), std::string::npos);
    EXPECT_TRUE(p.port->Active());
}
