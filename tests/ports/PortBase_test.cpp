// The port base: telegram framing of received data, the code byte, sending and the wait statement.

#include "TestUtils.h"
#include "common/MsgUtils.h"
#include "ports/PortBase.h"
#include "ports/ReferenceFramer.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

using Classes::TMemoryStream;
using Classes::TObject;
using MsgUtils::EMsg;
using PortBase::StringToByteStream;
using PortBase::TPortBase;

namespace {

// A port whose device is a list: what it transmits is kept, what it receives is handed in.
class TTestPort : public TPortBase {
public:
    using TPortBase::TPortBase;

    void Init(const IniFiles::TMemIniFile&) override {}
    bool Active() override { return fbOpen; }
    void Open() override {
        fbOpen = true;
        Fire(FOnOpened);
    }
    void Close() override {
        fbOpen = false;
        Fire(FOnClosed);
    }

    void Receive(const std::string& bytes) { ReceiveData(bytes); }

    std::vector<std::string> sent;
    int cacheAtSend = -1;
    std::string whileSending; ///< received while the telegram goes out

protected:
    void SendStream(TMemoryStream& msTxData) override {
        TPortBase::SendStream(msTxData);
        cacheAtSend = GetDataCount();
        sent.push_back(msTxData.Bytes());
        if (!whileSending.empty())
            ReceiveData(whileSending);
    }

private:
    bool fbOpen = false;
};

// Every telegram waiting, oldest first.
std::vector<std::u16string> Drain(TPortBase& port) {
    std::vector<std::u16string> out;
    while (port.GetDataCount() > 0)
        out.push_back(port.GetData());
    return out;
}

using V = std::vector<std::u16string>;

// The cache of a framed port is seen only through its overflow: true when it holds exactly
// `n` characters. Empties the cache when it holds any.
bool CacheHolds(TTestPort& port, size_t n) {
    bool overflow = false;
    port.SetOnRxBufferOverflow([&](TObject*) { overflow = true; });
    port.SetMaxRxCache(static_cast<int32_t>(n));
    port.Receive("");
    if (overflow)
        return false;
    if (n == 0)
        return true;
    port.SetMaxRxCache(static_cast<int32_t>(n) - 1);
    port.Receive("");
    return overflow;
}

} // namespace

struct FrameCase {
    const char* name;
    const char16_t* start;
    const char16_t* end;
    std::vector<std::string> chunks;
    V telegrams;
    size_t restLength;                ///< characters left in the cache
    const char16_t* terminator = u""; ///< line framing asked for
};

void PrintTo(const FrameCase& c, std::ostream* os) {
    *os << c.name;
}

class Framing : public testing::TestWithParam<FrameCase> {};

TEST_P(Framing, CutsTelegramsOutOfTheChunks) {
    const FrameCase& c = GetParam();
    TTestPort port(c.start, c.end);
    port.SetTerminator(c.terminator);
    for (const auto& chunk : c.chunks)
        port.Receive(chunk);
    EXPECT_EQ(Drain(port), c.telegrams);
    EXPECT_EQ(port.GetData(), u"");
    EXPECT_TRUE(CacheHolds(port, c.restLength));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Framing,
    testing::Values(FrameCase{"SplitTelegram", u"[", u"]", {"xx[ab", "c]yy"}, V{u"abc"}, 2},
                    FrameCase{"UnterminatedStartDropped", u"[", u"]", {"a[b[c]"}, V{u"c"}, 0},
                    FrameCase{"EndWithoutStartDropped", u"[", u"]", {"a]b[c]"}, V{u"c"}, 0},
                    FrameCase{"TwoInOneChunk", u"[", u"]", {"[one][two]"}, V{u"one", u"two"}, 0},
                    FrameCase{
                        "ByteByByte", u"[", u"]", {"[", "o", "k", "]", "[", "]"}, V{u"ok", u""}, 0},
                    FrameCase{"IdenticalMarks", u"#", u"#", {"#ab#cd#"}, V{u"", u"", u""}, 0},
                    FrameCase{"MultiCharMarksSplit",
                              u"<STX>",
                              u"<ETX>",
                              {"..<S", "TX>pay<E", "T", "X>.."},
                              V{u"pay"},
                              2},
                    FrameCase{"MultiCharEndAcrossThreeChunks",
                              u"\x02\x02",
                              u"\x03\x04",
                              {"\x02\x02"
                               "a\x03",
                               "\x04\x02\x02"
                               "b",
                               "\x03", "\x04"},
                              V{u"a", u"b"},
                              0},
                    FrameCase{"PendingStartKept", u"[", u"]", {"x]y[ab"}, V{}, 4},
                    FrameCase{"PartialEndMarkKept", u"<STX>", u"<ETX>", {"<STX>a<ET"}, V{}, 9},
                    FrameCase{"FalseStartOfEndMark", u"<<", u">>", {"<<a>b>", ">"}, V{u"a>b"}, 0},
                    FrameCase{"CaseSensitiveMarks", u"S", u"E", {"sxeSyE"}, V{u"y"}, 0},
                    FrameCase{"LastStartBeforeEndWins", u"[[", u"]]", {"[[a[[[b]]"}, V{u"[b"}, 0},
                    FrameCase{"HighBytesAreLatin1",
                              u"\x02",
                              u"\x03",
                              {"\x02\xE9\x80\xFF\x03"},
                              V{u"\u00E9\u0080\u00FF"},
                              0}),
    [](const testing::TestParamInfo<FrameCase>& i) { return std::string(i.param.name); });

// Line framing keeps what comes before the first terminator, finds one split across chunks, and
// gives way to the marks.
INSTANTIATE_TEST_SUITE_P(
    Lines, Framing,
    testing::Values(FrameCase{"HeadAndEmptyLine",
                              u"",
                              u"",
                              {"*IDN", "?\r", "\nACME\r\n\r\nrest"},
                              V{u"*IDN?", u"ACME", u""},
                              4,
                              u"\r\n"},
                    FrameCase{"MarksWin", u"[", u"]", {"a\n[b]\n"}, V{u"b"}, 1, u"\n"}),
    [](const testing::TestParamInfo<FrameCase>& i) { return std::string(i.param.name); });

TEST(PortBase, LeftoverStaysInTheCacheAcrossTelegrams) {
    TTestPort port(u"[", u"]");
    port.Receive("xx[ab");
    port.Receive("c]yy[d");
    EXPECT_EQ(port.GetDataCount(), 1);
    EXPECT_EQ(port.GetData(), u"abc");
    port.Receive("e]");
    // "yy" is dropped with the text before the start mark.
    EXPECT_EQ(Drain(port), V{u"de"});
}

TEST(PortBase, DataReceivedFiresWhileTelegramsWait) {
    TTestPort port(u"[", u"]");
    int fired = 0;
    TObject* sender = nullptr;
    port.SetOnDataReceived([&](TObject* s) {
        ++fired;
        sender = s;
    });
    port.Receive("[a");
    EXPECT_EQ(fired, 0);
    port.Receive("]");
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(sender, &port);
    // Nothing new is complete, but a telegram still waits.
    port.Receive("noise");
    EXPECT_EQ(fired, 2);
    port.GetData();
    port.Receive("more");
    EXPECT_EQ(fired, 2);
}

TEST(PortBase, RawModeWhenEitherMarkIsEmpty) {
    for (auto marks :
         {std::pair<const char16_t*, const char16_t*>{u"", u""}, {u"[", u""}, {u"", u"]"}}) {
        TTestPort port(marks.first, marks.second);
        EXPECT_FALSE(port.Framed());
        int fired = 0;
        port.SetOnDataReceived([&](TObject*) { ++fired; });
        port.Receive("");
        EXPECT_EQ(fired, 0);
        port.Receive("[a]");
        port.Receive("b]");
        EXPECT_EQ(fired, 2);
        EXPECT_EQ(port.GetDataCount(), 5);
        EXPECT_EQ(port.GetData(), u"[a]b]");
        EXPECT_EQ(port.GetDataCount(), 0);
        EXPECT_EQ(port.GetData(), u"");
        // Neither mark is sent either.
        port.Send(u"x");
        EXPECT_EQ(port.sent.back(), "x");
    }
}

TEST(PortBase, RawModeHasNoCacheLimit) {
    TTestPort port(u"", u"");
    port.SetMaxRxCache(3);
    port.Receive(std::string(100, 'a'));
    EXPECT_EQ(port.GetDataCount(), 100);
}

TEST(PortBase, CodeByteBothWays) {
    TTestPort port(u"\x02", u"\x03");
    port.SetCodeByte(0x55);
    port.Send(u"A");
    ASSERT_EQ(port.sent.size(), 1u);
    EXPECT_EQ(port.sent[0], std::string("\x57\x14\x56")); // marks are coded too
    port.Receive("\x57\x14\x56");
    EXPECT_EQ(port.GetData(), u"A");
    // Uncoded marks do not frame anything any more.
    port.Receive("\x02"
                 "B\x03");
    EXPECT_EQ(port.GetDataCount(), 0);
}

TEST(PortBase, DefaultsAndProperties) {
    TTestPort port(u"[", u"]");
    EXPECT_EQ(port.CodeByte(), 0);
    EXPECT_EQ(port.MaxRxCache(), 65535);
    EXPECT_TRUE(port.Framed());
    EXPECT_EQ(port.GetDataCount(), 0);
    EXPECT_EQ(port.GetData(), u"");
    int opened = 0, closed = 0;
    port.SetOnOpened([&](TObject*) { ++opened; });
    port.SetOnClosed([&](TObject*) { ++closed; });
    port.Open();
    port.Close();
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(closed, 1);
}

TEST(PortBase, OverflowWithoutHandlerRaisesAndKeepsQueuedTelegrams) {
    TTestPort port(u"[", u"]");
    port.SetMaxRxCache(10);
    port.Receive("[a]");
    // Exactly the limit is allowed.
    port.Receive("0123456789");
    try {
        port.Receive("X");
        FAIL() << "no overflow";
    } catch (const EMsg& e) {
        EXPECT_EQ(e.Id().Value, 0xF10100u);
        EXPECT_EQ(e.Value(), 11);
        EXPECT_EQ(e.Message(), u"F10100:11");
    }
    EXPECT_EQ(port.GetDataCount(), 1);
    // The cache was emptied: a telegram now starts afresh.
    port.Receive("b][c]");
    EXPECT_EQ(Drain(port), (V{u"a", u"c"}));
}

TEST(PortBase, UnjudgedHoldsWhatNeverBecameATelegramSinceTheSend) {
    TTestPort port(u"[", u"]");
    port.Receive("old]");
    port.Send(u"x");
    port.Receive("NAK][ok]x[par");
    EXPECT_EQ(Drain(port), V{u"ok"});
    EXPECT_EQ(port.Unjudged(), u"NAK]x[par");
    // Bounded as the cache is, keeping the newest.
    port.SetMaxRxCache(4);
    port.Receive("t]zzzzz]");
    EXPECT_EQ(port.Unjudged(), u"zzz]");
}

TEST(PortBase, GapFramingEndsATelegramWhenTheLineIsQuiet) {
    TTestPort port(u"", u"");
    port.SetGap(60);
    EXPECT_TRUE(port.GapFramed());
    std::vector<std::u16string> got;
    port.SetOnDataReceived([&](TObject*) { got.push_back(port.GetData()); });
    auto pump = [](int ms) { TestUtils::PumpUntil([] { return false; }, ms); };
    port.Receive(std::string("\x01\x03", 2));
    pump(20);
    port.Receive(std::string("\x02\x00", 2));
    EXPECT_EQ(port.Unjudged(), std::u16string(u"\x01\x03\x02\x00", 4));
    pump(200);
    EXPECT_EQ(got, V{std::u16string(u"\x01\x03\x02\x00", 4)});
    // Marks or a terminator win over the gap.
    TTestPort marked(u"[", u"]");
    marked.SetGap(60);
    EXPECT_FALSE(marked.GapFramed());
}

TEST(PortBase, OverflowCountsWhatIsLeftAfterCutting) {
    TTestPort port(u"[", u"]");
    port.SetMaxRxCache(5);
    // 13 characters in one chunk, but only "[tail" (5) stays after the telegram is cut out.
    EXPECT_NO_THROW(port.Receive("[telegram][tail"));
    EXPECT_EQ(Drain(port), V{u"telegram"});
    EXPECT_THROW(port.Receive("12"), EMsg);
}

TEST(PortBase, OverflowWithHandlerFiresInsteadOfRaising) {
    TTestPort port(u"[", u"]");
    port.SetMaxRxCache(4);
    int overflows = 0, received = 0;
    port.SetOnRxBufferOverflow([&](TObject* s) {
        EXPECT_EQ(s, &port);
        ++overflows;
    });
    port.SetOnDataReceived([&](TObject*) { ++received; });
    port.Receive("[q]");
    EXPECT_NO_THROW(port.Receive("[abcdef"));
    EXPECT_EQ(overflows, 1);
    EXPECT_EQ(received, 2);
    EXPECT_EQ(port.GetDataCount(), 1);
    port.Receive("gh]");
    EXPECT_EQ(Drain(port), V{u"q"});
}

TEST(PortBase, SendFramesAndEmptiesWhatWasReceived) {
    TestUtils::MsgRecorder rec;
    TTestPort port(u"\x02", u"\x03");
    port.Receive("\x02old\x03\x02part");
    ASSERT_EQ(port.GetDataCount(), 1);
    port.Send(u"PING\u00FF");
    EXPECT_EQ(rec.Texts(), V{u"Discarded before sending: \x02old\x03\x02part"});
    ASSERT_EQ(port.sent.size(), 1u);
    EXPECT_EQ(port.sent[0], "\x02PING\xFF\x03");
    EXPECT_EQ(port.cacheAtSend, 0);
    EXPECT_EQ(port.GetData(), u"");
    // The unfinished "part" is gone too: its end alone makes no telegram.
    port.Receive("\x03");
    EXPECT_EQ(port.GetDataCount(), 0);
    port.Send(u"");
    EXPECT_EQ(port.sent[1], "\x02\x03");

    // What comes while sending is kept, but announced only with what comes after it.
    int announced = 0;
    port.SetOnDataReceived([&](Classes::TObject*) { ++announced; });
    port.whileSending = std::string("\x02") + "echo\x03" + "\x02" + "ans";
    port.Send(u"x");
    EXPECT_EQ(announced, 0);
    EXPECT_EQ(port.GetDataCount(), 1);
    port.Receive("wer\x03");
    EXPECT_EQ(announced, 1);
    EXPECT_EQ(port.GetDataCount(), 2);
}

TEST(PortBase, SendRefusesCharactersAboveByteRangeAndSendsNothing) {
    TTestPort port(u"[", u"]");
    port.Receive("[kept]");
    try {
        port.Send(u"a\u0100b");
        FAIL() << "no error";
    } catch (const EMsg& e) {
        EXPECT_EQ(e.Id().Value, 0xF10200u);
        EXPECT_EQ(e.Value(), -3); // position within the frame, start mark included
        EXPECT_EQ(e.Message(), u"F10200:-3");
    }
    EXPECT_TRUE(port.sent.empty());
    EXPECT_EQ(port.GetData(), u"kept");
    // The end mark itself may be what does not fit.
    TTestPort wide(u"[", u"\u2402");
    EXPECT_THROW(wide.Send(u"ok"), EMsg);
    EXPECT_TRUE(wide.sent.empty());
}

TEST(StringToByteStream, SizesWritesAndCodes) {
    TMemoryStream ms(std::string(10, 'z'));
    ms.SetPosition(7);
    EXPECT_EQ(StringToByteStream(u"AB", ms, 0), 2);
    EXPECT_EQ(ms.Bytes(), "AB");
    EXPECT_EQ(StringToByteStream(std::u16string(u"\0\xFF", 2), ms, 0xFF), 2);
    EXPECT_EQ(ms.Bytes(), std::string("\xFF\x00", 2));
    EXPECT_EQ(StringToByteStream(u"", ms, 0x12), 0);
    EXPECT_EQ(ms.Size(), 0);
}

TEST(StringToByteStream, StopsAtTheFirstWideCharacter) {
    TMemoryStream ms;
    EXPECT_EQ(StringToByteStream(u"ab\u20ACc\u20AC", ms, 0x20), -3);
    // The bytes before it stay; the stream was sized for the whole text.
    EXPECT_EQ(ms.Bytes().substr(0, 2), "AB");
    EXPECT_EQ(ms.Size(), 5);
    EXPECT_EQ(StringToByteStream(u"\u0100", ms, 0), -1);
}

struct WaitCase {
    const char16_t* statement;
    bool carriedOut;
    int minMs;
};

void PrintTo(const WaitCase& c, std::ostream* os) {
    *os << TestUtils::Printable(c.statement);
}

class WaitStatement : public testing::TestWithParam<WaitCase> {};

TEST_P(WaitStatement, WaitsOnlyForAPositiveValue) {
    TTestPort port(u"", u"");
    auto ms = TestUtils::MsTaken([&] {
        EXPECT_EQ(port.Instruct(GetParam().statement), GetParam().carriedOut)
            << SysUtils::ToUtf8(GetParam().statement);
    });
    EXPECT_GE(ms, GetParam().minMs);
    EXPECT_LT(ms, GetParam().minMs + 1000);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WaitStatement,
    testing::Values(WaitCase{u"W=30", true, 30}, WaitCase{u"W= 20", true, 20},
                    WaitCase{u"W=+15", true, 15}, WaitCase{u"W=$14", true, 20},
                    WaitCase{u"W=0x0A", true, 10}, WaitCase{u"W=000250000", true, 25},
                    WaitCase{u"W=0", false, 0}, WaitCase{u"W=-5", false, 0},
                    WaitCase{u"W=abc", false, 0}, WaitCase{u"W=", false, 0},
                    WaitCase{u"W=10ms", false, 0}, WaitCase{u"w=100", false, 0},
                    WaitCase{u" W=100", false, 0}, WaitCase{u"W =100", false, 0},
                    WaitCase{u"SetDTR", false, 0}, WaitCase{u"", false, 0}));

TEST(WaitStatement, TakesOnlyFiveCharacters) {
    // "W=1234567" would wait 12345 ms; "W=0000012" waits for "00000", which is no wait.
    TTestPort port(u"", u"");
    EXPECT_FALSE(port.Instruct(u"W=0000012"));
}

TEST(PortBase, FramingAgreesWithThePlainRulesOnRandomStreams) {
    std::mt19937 rng(20261208);
    auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
    // Two letters make overlapping, repeated and identical marks common.
    auto word = [&](size_t maxLen) {
        std::u16string w;
        for (size_t n = 1 + pick(maxLen); n > 0; --n)
            w += pick(2) ? u'a' : u'b';
        return w;
    };
    for (int round = 0; round < 3000; ++round) {
        ReferenceFramer ref{word(3), word(3), u"", 4 + pick(30), {}, 0};
        TTestPort port(ref.start, ref.end);
        port.SetMaxRxCache(static_cast<int32_t>(ref.maxCache));
        int overflows = 0;
        port.SetOnRxBufferOverflow([&](TObject*) { ++overflows; });
        V got;
        std::u16string stream;
        for (int chunks = 1 + static_cast<int>(pick(12)); chunks > 0; --chunks) {
            std::u16string chunk = word(8);
            stream += chunk;
            ref.Receive(chunk);
            port.Receive(SysUtils::TextToBytes(chunk));
            // Fetch now and then, so that queued and new telegrams mix.
            if (pick(3) == 0)
                while (port.GetDataCount() > 0)
                    got.push_back(port.GetData());
        }
        V rest = Drain(port);
        got.insert(got.end(), rest.begin(), rest.end());
        std::string what = "start " + SysUtils::ToUtf8(ref.start) + " end " +
                           SysUtils::ToUtf8(ref.end) + " stream " + SysUtils::ToUtf8(stream);
        ASSERT_EQ(got, ref.telegrams) << what;
        ASSERT_EQ(overflows, ref.overflows) << what;
        ASSERT_TRUE(CacheHolds(port, ref.cache.size())) << what;
    }
}
