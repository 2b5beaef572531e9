// The serial driver and its event thread against the fake device.

#include "ports/rs232/SerialDriver.h"

#include "TestUtils.h"
#include "platform/Dialogs.h"
#include "ports/rs232/FakeSerialDevice.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>

using namespace SerialDriver;
using namespace SerialDevice;
using TestUtils::PumpUntil;
using TestUtils::TFakeSerialDevice;

namespace {

struct Driver {
    Driver() {
        auto dev = std::make_unique<TFakeSerialDevice>();
        fake = dev.get();
        serial = std::make_unique<TSerial>(nullptr, std::move(dev));
    }
    TFakeSerialDevice* fake;
    std::unique_ptr<TSerial> serial;
};

// Collects message boxes while it lives.
struct Boxes {
    Boxes() {
        Dialogs::SetMessageBoxHook(
            [this](Dialogs::TMsgDlgType, const std::u16string& s) { texts.push_back(s); });
    }
    ~Boxes() {
        Dialogs::SetMessageBoxHook([](Dialogs::TMsgDlgType, const std::u16string&) {});
    }
    std::vector<std::u16string> texts;
};

} // namespace

TEST(SerialDriver, NewDriverHasTheDefaultsAndIsClosed) {
    Driver d;
    TSerial& s = *d.serial;
    EXPECT_EQ(s.Port(), 1);
    EXPECT_EQ(s.Baudrate(), 9600);
    EXPECT_EQ(s.DataBits(), d8bit);
    EXPECT_EQ(s.Parity(), paNone);
    EXPECT_EQ(s.StopBits(), st1bit);
    EXPECT_EQ(s.FlowMode(), fcNone);
    EXPECT_TRUE(s.CheckParity());
    EXPECT_EQ(s.RxQueueSize(), 1024);
    EXPECT_EQ(s.TxQueueSize(), 1024);
    EXPECT_EQ(s.Timeout(), 10000u);
    EXPECT_EQ(s.NotifyErrors(), neDialog);
    EXPECT_EQ(s.RxEventMode(), rxNormal);
    EXPECT_EQ(s.MessageStartByte(), 2);
    EXPECT_EQ(s.MessageEndByte(), 3);
    EXPECT_TRUE(s.WaitOnTxFull());
    EXPECT_TRUE(s.WaitTxComplete());
    EXPECT_EQ(s.ErrorCode(), 0);
    EXPECT_FALSE(s.Active());
    EXPECT_EQ(s.GetDeviceHandle(), 0xFFFFFFFFu);
    EXPECT_EQ(s.RxWaiting(), 0);
    EXPECT_TRUE(d.fake->Calls().empty());
}

TEST(SerialDriver, BaudrateTakesOnlyTheAcceptedRates) {
    Boxes boxes;
    Driver d;
    d.serial->SetBaudrate(9600);
    EXPECT_TRUE(d.fake->Calls().empty());
    d.serial->SetBaudrate(1000);
    EXPECT_EQ(d.serial->Baudrate(), 9600);
    ASSERT_EQ(boxes.texts.size(), 1u);
    EXPECT_EQ(boxes.texts[0], u"Baudrate is not valid");
    for (int32_t r : {110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600,
                      115200, 128000, 256000, 230400, 460800, 921600}) {
        d.serial->SetBaudrate(r);
        EXPECT_EQ(d.serial->Baudrate(), r);
    }
    EXPECT_EQ(boxes.texts.size(), 1u);
    EXPECT_FALSE(IsValidBaudrate(0));
    EXPECT_FALSE(IsValidBaudrate(1000000));
}

TEST(SerialDriver, OpenAndCloseRunTheirStepsInOrder) {
    Driver d;
    d.serial->SetActive(true);
    ASSERT_TRUE(d.serial->Active());
    EXPECT_EQ(d.serial->GetDeviceHandle(), 42u);
    std::vector<std::string> open = {"Open",          "SetQueueSizes 1024 1024",
                                     "ApplySettings", "SetDtr 1",
                                     "SetRts 1",      "SetEventMask " + std::to_string(0x17D)};
    EXPECT_EQ(d.fake->Calls(), open);
    d.fake->ClearCalls();
    d.serial->SetActive(false);
    EXPECT_FALSE(d.serial->Active());
    std::vector<std::string> close = {"Purge 3", "SetDtr 0", "SetRts 0", "SetEventMask 0", "Close"};
    EXPECT_EQ(d.fake->Calls(), close);
}

TEST(SerialDriver, SettersReconfigureAnOpenPortOnly) {
    Driver d;
    d.serial->SetPort(7);
    d.serial->SetParity(paEven);
    EXPECT_TRUE(d.fake->Calls().empty()) << "a closed port only stores";

    unsetenv("TELVIK_COM7");
    unsetenv("TELVIK_COM8");
    d.serial->SetActive(true);
    EXPECT_EQ(d.fake->Path(), "/dev/ttyS6");
    EXPECT_EQ(d.fake->Settings().Parity, 2);
    d.fake->ClearCalls();
    d.serial->SetPort(8);
    EXPECT_EQ(d.fake->Path(), "/dev/ttyS7");
    auto calls = d.fake->Calls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "Close"), calls.end());
    EXPECT_NE(std::find(calls.begin(), calls.end(), "Open"), calls.end());

    // Equal values leave the port alone, except the queue sizes.
    d.fake->ClearCalls();
    d.serial->SetPort(8);
    d.serial->SetStopBits(st1bit);
    d.serial->SetTimeout(10000);
    EXPECT_TRUE(d.fake->Calls().empty());
    d.serial->SetRxQueueSize(1024);
    EXPECT_FALSE(d.fake->Calls().empty());

    // Active true on an open port: DTR and RTS drop and rise again.
    d.fake->ClearCalls();
    d.serial->SetActive(true);
    auto lines = d.fake->Calls();
    std::erase_if(lines, [](const std::string& c) {
        return c.rfind("SetDtr", 0) != 0 && c.rfind("SetRts", 0) != 0;
    });
    EXPECT_EQ(lines, (std::vector<std::string>{"SetDtr 0", "SetRts 0", "SetDtr 1", "SetRts 1"}));
}

TEST(SerialDriver, LineSettingsFollowTheProperties) {
    Driver d;
    TSerial& s = *d.serial;
    s.SetActive(true);
    auto dcb = [&] { return d.fake->Settings(); };
    EXPECT_EQ(dcb().XonLim, 341);
    EXPECT_EQ(dcb().XoffLim, 341);
    EXPECT_TRUE(dcb().CheckParity && dcb().ErrorReplace && dcb().Binary);
    EXPECT_FALSE(dcb().RtsHandshake || dcb().OutCtsFlow || dcb().DtrHandshake || dcb().OutDsrFlow ||
                 dcb().OutX || dcb().InX);
    s.SetRxQueueSize(10);
    EXPECT_EQ(dcb().XonLim, 3);
    EXPECT_EQ(dcb().XoffLim, 3);
    s.SetDataBits(d7bit);
    s.SetStopBits(st2bit);
    s.SetParity(paSpace);
    EXPECT_EQ(dcb().ByteSize, 7);
    EXPECT_EQ(dcb().StopBits, 2);
    EXPECT_EQ(dcb().Parity, 4);

    s.SetFlowMode(fcRTS_CTS);
    EXPECT_TRUE(dcb().RtsHandshake && dcb().OutCtsFlow && !dcb().OutX);
    EXPECT_EQ(s.CommTimeouts().WriteTotalTimeoutConstant, 10000u);
    s.SetFlowMode(fcDTR_DSR);
    EXPECT_TRUE(dcb().DtrHandshake && dcb().OutDsrFlow && !dcb().RtsHandshake);
    s.SetFlowMode(fcXON_XOF);
    EXPECT_TRUE(dcb().OutX && dcb().InX);
    d.fake->SetModem(msCtsOn | msRlsdOn);
    EXPECT_EQ(s.GetSignal(), 9);
}

TEST(SerialDriver, ClosedPortErrorsFollowTheNotifyMode) {
    Boxes boxes;
    Driver d;
    TSerial& s = *d.serial;
    int fired = 0;
    s.SetOnError([&](Classes::TObject* sender) {
        EXPECT_EQ(sender, &s);
        ++fired;
    });
    s.SetNotifyErrors(neEvent);
    uint8_t by = 0;
    std::string text;
    s.Write(uint8_t{1});
    s.Write(std::string("ab"));
    EXPECT_EQ(s.Read(by), 0);
    EXPECT_EQ(s.Read(text), 0);
    s.ZapRxQueue();
    EXPECT_EQ(s.GetSignal(), 0);
    EXPECT_EQ(fired, 6);
    EXPECT_EQ(s.ErrorCode(), -1);
    EXPECT_FALSE(s.BreakTxOn());
}

TEST(SerialDriver, NoneModeReportsNothingAndDialogModeShowsTheText) {
    Boxes boxes;
    Driver d;
    TSerial& s = *d.serial;
    int fired = 0;
    s.SetOnError([&](Classes::TObject*) { ++fired; });
    s.SetNotifyErrors(neNone);
    uint8_t by = 7;
    EXPECT_EQ(s.Read(by), 0);
    s.Write(uint8_t{1});
    EXPECT_EQ(fired, 0);
    EXPECT_EQ(s.ErrorCode(), 0);
    EXPECT_TRUE(boxes.texts.empty());

    s.SetNotifyErrors(neDialog);
    s.Write(uint8_t{1});
    ASSERT_EQ(boxes.texts.size(), 1u);
    EXPECT_EQ(boxes.texts[0], u"The port is not active");
    d.fake->Fail("Open", 13);
    s.SetActive(true);
    ASSERT_EQ(boxes.texts.size(), 2u);
    EXPECT_EQ(boxes.texts[1], u"Permission denied");
    EXPECT_EQ(s.ErrorCode(), 13);
    EXPECT_FALSE(s.Active());
}

TEST(SerialDriver, PlatformErrorsAreStoredAndAWriteStillInProgressAfterTimeoutFails) {
    Driver d;
    TSerial& s = *d.serial;
    int fired = 0;
    s.SetOnError([&](Classes::TObject*) { ++fired; });
    s.SetNotifyErrors(neEvent);
    s.SetTimeout(50);
    s.SetActive(true);
    // Nothing completes the write later: the rest would be lost without a word.
    d.fake->Fail("Write", EINPROGRESS);
    s.Write(uint8_t{0x41});
    EXPECT_EQ(s.ErrorCode(), ETIMEDOUT);
    EXPECT_EQ(fired, 1);
    d.fake->Fail("Write", EIO);
    s.Write(uint8_t{0x41});
    EXPECT_EQ(s.ErrorCode(), EIO);
    EXPECT_EQ(fired, 2);
    // Settings the device cannot apply are reported, and the port is open all the same.
    d.fake->Fail("ApplySettings", EINVAL);
    s.SetFlowMode(fcDTR_DSR);
    EXPECT_EQ(fired, 3);
    EXPECT_TRUE(s.Active());
}

TEST(SerialDriver, WritesAndReadsMoveBytes) {
    Driver d;
    TSerial& s = *d.serial;
    s.SetActive(true);
    d.fake->ClearCalls();
    s.Write(uint8_t{0x00});
    s.Write(uint8_t{0xFF});
    s.Write(std::string("\x0A\x0D", 2));
    EXPECT_EQ(d.fake->Tx(), std::string("\x00\xFF\x0A\x0D", 4));
    EXPECT_EQ(d.fake->Calls(), (std::vector<std::string>{"Write 1", "Write 1", "Write 2"}));

    std::string text = "stale";
    EXPECT_EQ(s.Read(text), 0);
    EXPECT_TRUE(text.empty());
    d.fake->AddRx("12345");
    EXPECT_EQ(s.RxWaiting(), 5);
    EXPECT_EQ(s.Read(text), 5);
    EXPECT_EQ(text, "12345");
    char c = 0;
    d.fake->AddRx("Z");
    EXPECT_EQ(s.Read(c), 1);
    EXPECT_EQ(c, 'Z');
    EXPECT_EQ(s.Read(c), 0);

    // At most RxQueueSize + 1 bytes per call.
    s.SetRxQueueSize(10);
    d.fake->AddRx(std::string(20, 'x'));
    EXPECT_EQ(s.Read(text), 11);
    EXPECT_EQ(s.Read(text), 9);
}

TEST(SerialDriver, LongTextIsWrittenInPartsOfTheQueueSize) {
    Driver d;
    TSerial& s = *d.serial;
    s.SetTxQueueSize(4);
    s.SetActive(true);
    d.fake->ClearCalls();
    s.Write(std::string("0123456789"));
    EXPECT_EQ(d.fake->Tx(), "0123456789");
    EXPECT_EQ(d.fake->Calls(), (std::vector<std::string>{"Write 4", "Write 4", "Write 2"}));
}

TEST(SerialDriver, SettingsFileRoundTrip) {
    std::string path = testing::TempDir() + "serialdriver_settings.bin";
    {
        Driver a;
        TSerial& s = *a.serial;
        s.SetPort(4);
        s.SetBaudrate(115200);
        s.SetParity(paMark);
        s.SetDataBits(d7bit);
        s.SetStopBits(st2bit);
        s.SetRxQueueSize(2048);
        s.SetTxQueueSize(512);
        s.SetFlowMode(fcXON_XOF);
        s.SetCheckParity(false);
        s.SetRxEventMode(rxMessage);
        s.SetMessageStartByte(0x7E);
        s.SetMessageEndByte(0x7F);
        s.SetMessageAppendCount(2);
        s.SetNotifyErrors(neNone);
        s.SetWaitOnTxFull(false);
        s.SetTimeout(0x01020304);
        s.SetWaitTxComplete(false);
        EXPECT_TRUE(s.SaveToFile(SysUtils::FromUtf8(path)));
    }
    std::ifstream f(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    ASSERT_EQ(bytes.size(), 40u);
    EXPECT_EQ(bytes[0], 4);
    EXPECT_EQ(static_cast<uint8_t>(bytes[2]), 0x00); // 115200 = 0x1C200: low 16 bits 0xC200
    EXPECT_EQ(static_cast<uint8_t>(bytes[3]), 0xC2);
    EXPECT_EQ(bytes[4], 3);
    EXPECT_EQ(static_cast<uint8_t>(bytes[9]), 0x08);
    EXPECT_EQ(static_cast<uint8_t>(bytes[11]), 0x02);
    EXPECT_EQ(bytes[12], 3);
    EXPECT_EQ(static_cast<uint8_t>(bytes[15]), 0x7E);
    EXPECT_EQ(bytes[18], 2);
    EXPECT_EQ(bytes[20], 2);
    EXPECT_EQ(bytes.substr(32, 4), std::string("\x04\x03\x02\x01", 4));

    Driver b;
    TSerial& s = *b.serial;
    EXPECT_TRUE(s.LoadFromFile(SysUtils::FromUtf8(path)));
    EXPECT_EQ(s.Port(), 4);
    EXPECT_EQ(s.Baudrate(), 49664);
    EXPECT_EQ(s.Parity(), paMark);
    EXPECT_EQ(s.DataBits(), d7bit);
    EXPECT_EQ(s.StopBits(), st2bit);
    EXPECT_EQ(s.RxQueueSize(), 2048);
    EXPECT_EQ(s.TxQueueSize(), 512);
    EXPECT_EQ(s.FlowMode(), fcXON_XOF);
    EXPECT_FALSE(s.CheckParity());
    EXPECT_EQ(s.RxEventMode(), rxMessage);
    EXPECT_EQ(s.MessageStartByte(), 0x7E);
    EXPECT_EQ(s.MessageEndByte(), 0x7F);
    EXPECT_EQ(s.MessageAppendCount(), 2);
    EXPECT_EQ(s.NotifyErrors(), neNone);
    EXPECT_FALSE(s.WaitOnTxFull());
    EXPECT_EQ(s.Timeout(), 0x01020304u);
    EXPECT_FALSE(s.WaitTxComplete());
    EXPECT_FALSE(s.Active());
    std::remove(path.c_str());

    EXPECT_THROW(s.LoadFromFile(u"/nonexistent/settings.bin"), EInOutError);
    EXPECT_THROW(s.SaveToFile(u"/nonexistent/settings.bin"), EInOutError);
}

// ---- Raising error reports in the middle of opening and closing.

TEST(SerialDriver, ClosingReleasesTheDeviceWhenAReportRaises) {
    Driver d;
    TSerial& s = *d.serial;
    s.SetNotifyErrors(neEvent);
    s.SetOnError([](Classes::TObject*) { throw std::runtime_error("report"); });
    s.SetActive(true);
    d.fake->Fail("Purge", EIO);
    d.fake->Fail("SetEventMask", EIO);
    EXPECT_THROW(s.SetActive(false), std::runtime_error);
    EXPECT_FALSE(s.Active());
    EXPECT_FALSE(d.fake->IsOpen());
    EXPECT_EQ(s.ErrorCode(), EIO);
}

TEST(SerialDriver, OpeningThatRaisesBeforeItCountsLeavesNothingHeld) {
    Driver d;
    TSerial& s = *d.serial;
    s.SetNotifyErrors(neEvent);
    s.SetOnError([](Classes::TObject*) { throw std::runtime_error("report"); });
    d.fake->Fail("SetQueueSizes", EINVAL);
    EXPECT_THROW(s.SetActive(true), std::runtime_error);
    EXPECT_FALSE(s.Active());
    EXPECT_FALSE(d.fake->IsOpen());

    // Raised after it counted as open (settings refused: a regular file as the port): the open
    // fails whole, and the device is given back before anything is read from it.
    d.fake->Fail("SetQueueSizes", 0);
    d.fake->Fail("ApplySettings", ENOTTY);
    d.fake->ClearCalls();
    EXPECT_THROW(s.SetActive(true), std::runtime_error);
    EXPECT_FALSE(s.Active());
    EXPECT_FALSE(d.fake->IsOpen());
    EXPECT_EQ(d.fake->Calls().back(), "Close");
}

// ---- The event thread.

TEST(SerialDriverThread, EventsAreHandedToTheMainThreadInOrder) {
    Driver d;
    TSerial& s = *d.serial;
    std::vector<std::string> seen;
    std::thread::id mainId = std::this_thread::get_id();
    bool allInMain = true;
    s.SetOnSignalChange([&](Classes::TObject* sender, eModemInSignal sig, bool state) {
        allInMain &= std::this_thread::get_id() == mainId && sender == &s;
        seen.push_back("signal " + std::to_string(sig) + " " + std::to_string(state));
    });
    s.SetOnRxData([&](Classes::TObject*) {
        allInMain &= std::this_thread::get_id() == mainId;
        std::string text;
        s.Read(text);
        seen.push_back("rx " + text);
    });
    s.SetOnTxEmpty([&](Classes::TObject*) { seen.push_back("txempty"); });
    s.SetOnBreak([&](Classes::TObject*) { seen.push_back("break"); });
    s.SetOnRing([&](Classes::TObject*) { seen.push_back("ring"); });
    s.SetActive(true);
    ASSERT_TRUE(PumpUntil([&] { return d.fake->Waiting(); }));
    d.fake->SetModem(msCtsOn | msRlsdOn);
    d.fake->AddRx("ab");
    d.fake->Raise(evRxChar | evCTS | evDSR | evRLSD | evTxEmpty | evBreak | evRing);
    ASSERT_TRUE(PumpUntil([&] { return seen.size() == 7; }));
    EXPECT_EQ(seen, (std::vector<std::string>{"signal 0 1", "signal 1 0", "signal 2 1", "txempty",
                                              "break", "ring", "rx ab"}));
    EXPECT_TRUE(allInMain);
    EXPECT_TRUE(s.CTSSignalState());
    EXPECT_FALSE(s.DSRSignalState());
    EXPECT_TRUE(s.RLSDSignalState());
}

TEST(SerialDriverThread, WithoutAnRxHandlerTheBytesStayQueued) {
    Driver d;
    TSerial& s = *d.serial;
    int ticks = 0;
    s.SetOnTxEmpty([&](Classes::TObject*) { ++ticks; });
    s.SetActive(true);
    ASSERT_TRUE(PumpUntil([&] { return d.fake->Waiting(); }));
    d.fake->AddRx("xyz");
    d.fake->Raise(evRxChar | evTxEmpty);
    ASSERT_TRUE(PumpUntil([&] { return ticks == 1 && d.fake->Waiting(); }));
    EXPECT_EQ(d.fake->Rx(), "xyz");
    EXPECT_EQ(d.fake->reads, 0);
}

namespace {
std::vector<std::string> Messages(uint8_t start, uint8_t end, uint16_t append,
                                  const std::string& bytes) {
    Driver d;
    TSerial& s = *d.serial;
    s.SetRxEventMode(rxMessage);
    s.SetMessageStartByte(start);
    s.SetMessageEndByte(end);
    s.SetMessageAppendCount(append);
    std::vector<std::string> got;
    s.SetOnMessage([&](Classes::TObject*, const std::string& m) { got.push_back(m); });
    s.SetActive(true);
    EXPECT_TRUE(PumpUntil([&] { return d.fake->Waiting(); }));
    d.fake->AddRx(bytes);
    d.fake->Raise(evRxChar);
    EXPECT_TRUE(PumpUntil([&] { return d.fake->Rx().empty() && d.fake->Waiting(); }));
    PumpUntil([] { return false; }, 20);
    return got;
}
} // namespace

TEST(SerialDriverThread, MessageModeAssemblesMessages) {
    EXPECT_EQ(Messages(2, 3, 1, "\x41\x02\x41\x03\x7F\x42"),
              (std::vector<std::string>{"\x02\x41\x03\x7F"}));
    EXPECT_EQ(Messages(2, 3, 0, "\x02\x31\x02\x32\x03"),
              (std::vector<std::string>{"\x02\x32\x03"}));
    EXPECT_TRUE(Messages(0x7E, 0x7E, 0, "\x7E\x31\x7E\x32\x7E").empty());
    // The appended bytes belong to the message whatever their value; a stray end byte is ignored.
    EXPECT_EQ(Messages(2, 3, 2, "\x03\x02\x03\x02\x03\x41\x02\x03\x02\x7E"),
              (std::vector<std::string>{"\x02\x03\x02\x03", "\x02\x03\x02\x7E"}));
}

TEST(SerialDriverThread, CloseWhileWaitingIsPromptAndIdlesTheThread) {
    Driver d;
    TSerial& s = *d.serial;
    s.SetActive(true);
    ASSERT_TRUE(PumpUntil([&] { return d.fake->Waiting(); }));
    auto ms = TestUtils::MsTaken([&] { s.SetActive(false); });
    EXPECT_LT(ms, 200);
    EXPECT_FALSE(d.fake->Waiting());
    // Reopened, it serves again.
    int rx = 0;
    s.SetOnRxData([&](Classes::TObject*) { ++rx; });
    s.SetActive(true);
    ASSERT_TRUE(PumpUntil([&] { return d.fake->Waiting(); }));
    d.fake->Raise(evRxChar);
    EXPECT_TRUE(PumpUntil([&] { return rx == 1; }));
}

TEST(SerialDriverThread, CloseFromInsideAHandlerDoesNotDeadlock) {
    Driver d;
    TSerial& s = *d.serial;
    long long closeMs = -1;
    s.SetOnRxData(
        [&](Classes::TObject*) { closeMs = TestUtils::MsTaken([&] { s.SetActive(false); }); });
    s.SetActive(true);
    ASSERT_TRUE(PumpUntil([&] { return d.fake->Waiting(); }));
    d.fake->Raise(evRxChar);
    ASSERT_TRUE(PumpUntil([&] { return closeMs >= 0; }));
    EXPECT_LT(closeMs, 750);
    EXPECT_FALSE(s.Active());
}

TEST(SerialDriverThread, ClosingWithAHandOverInFlightDoesNotDeadlock) {
    Driver d;
    TSerial& s = *d.serial;
    int rx = 0;
    s.SetOnRxData([&](Classes::TObject*) { ++rx; });
    s.SetActive(true);
    ASSERT_TRUE(PumpUntil([&] { return d.fake->Waiting(); }));
    d.fake->Raise(evRxChar);
    // The thread now waits for the main thread, which closes without handling events.
    for (int i = 0; i < 1000 && d.fake->Waiting(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    auto ms = TestUtils::MsTaken([&] { s.SetActive(false); });
    EXPECT_LT(ms, 750);
    PumpUntil([] { return false; }, 50);
    EXPECT_EQ(rx, 0) << "no event reaches a closed driver";
}

TEST(SerialDriverThread, AFailedWaitIsReportedInTheMainThread) {
    Driver d;
    TSerial& s = *d.serial;
    s.SetNotifyErrors(neEvent);
    std::vector<int> codes;
    std::thread::id mainId = std::this_thread::get_id();
    s.SetOnError([&](Classes::TObject*) {
        EXPECT_EQ(std::this_thread::get_id(), mainId);
        codes.push_back(s.ErrorCode());
    });
    s.SetActive(true);
    ASSERT_TRUE(PumpUntil([&] { return d.fake->Waiting(); }));
    d.fake->FailWait(EIO);
    ASSERT_TRUE(PumpUntil([&] { return !codes.empty() && d.fake->Waiting(); }));
    EXPECT_EQ(codes, std::vector<int>{EIO});
}

TEST(SerialDriverThread, DestroyingAnOpenDriverStopsTheThread) {
    auto t0 = std::chrono::steady_clock::now();
    {
        Driver d;
        d.serial->SetActive(true);
        ASSERT_TRUE(PumpUntil([&] { return d.fake->Waiting(); }));
        d.fake->Raise(evTxEmpty);
        d.serial->SetOnTxEmpty([](Classes::TObject*) {});
    }
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500));
}

TEST(SerialDriver, AFullOutputQueueIsWaitedOutWhileEventsAreHandled) {
    Driver d;
    TSerial& s = *d.serial;
    s.SetActive(true);
    d.fake->SetTxWaiting(1024);
    bool handled = false;
    // Posted before the write: it can only run while the write waits for room.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [&] {
            handled = true;
            d.fake->SetTxWaiting(1023);
        },
        Qt::QueuedConnection);
    s.Write(uint8_t{0x55});
    EXPECT_TRUE(handled);
    EXPECT_EQ(d.fake->Tx(), "\x55");

    // A close from an event handled during the wait ends the write with error -1.
    s.SetNotifyErrors(neEvent);
    int errors = 0;
    s.SetOnError([&](Classes::TObject*) { ++errors; });
    d.fake->SetTxWaiting(1024);
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [&] { s.SetActive(false); }, Qt::QueuedConnection);
    s.Write(uint8_t{0x66});
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(s.ErrorCode(), -1);
    EXPECT_EQ(d.fake->Tx(), "\x55");
    // A queue that never empties fails the write after Timeout instead of waiting for ever.
    s.SetActive(true);
    s.SetTimeout(50);
    s.Write(uint8_t{0x77});
    EXPECT_EQ(errors, 2);
    EXPECT_EQ(s.ErrorCode(), ETIMEDOUT);
    EXPECT_EQ(d.fake->Tx(), "\x55");
}
