// The message service: id composition, delivery, the message-box fallback and EMsg's texts.

#include "TestUtils.h"
#include "common/MsgUtils.h"
#include "platform/Dialogs.h"

#include <gtest/gtest.h>

#include <vector>

using namespace MsgUtils;
using Dialogs::TMsgDlgType;
using TestUtils::MsgRecorder;

namespace {

// Records the message boxes shown while it lives; restores the silent box of the test program.
struct BoxRecorder {
    struct Box {
        TMsgDlgType type;
        std::u16string text;
    };
    BoxRecorder() {
        TMsg::InstanceRelease();
        Dialogs::SetMessageBoxHook([this](TMsgDlgType t, const std::u16string& s) {
            boxes.push_back({t, s});
        });
    }
    ~BoxRecorder() {
        Dialogs::SetMessageBoxHook([](TMsgDlgType, const std::u16string&) {});
    }
    std::vector<Box> boxes;
};

} // namespace

TEST(TMsg, InstanceIsOneObjectUntilReleased) {
    TMsg* a = TMsg::Instance();
    EXPECT_EQ(TMsg::Instance(), a);
    EXPECT_FALSE(a->OnNewMsg());
    TMsg::InstanceRelease();
    TMsg::InstanceRelease(); // harmless when there is none
}

TEST(TMsg, IdFromA24BitIdGetsTheLevelInItsTopByte) {
    MsgRecorder rec;
    TMsg::Error(u"e", 0xFF123456u);
    TMsg::Info(u"i", 0);
    TMsg::Fatal(u"%s=%d", {u"n", 5}, 0x01020Au);
    ASSERT_EQ(rec.entries.size(), 3u);
    EXPECT_EQ(rec.entries[0].id, 0x06123456u);
    EXPECT_EQ(rec.entries[1].id, 0x03000000u);
    EXPECT_EQ(rec.entries[2].id, 0x0701020Au);
    EXPECT_EQ(rec.entries[2].text, u"n=5");
    EXPECT_EQ(rec.entries[0].sender, TMsg::Instance());
}

TEST(TMsg, IdFromItsParts) {
    MsgRecorder rec;
    TMsg::Info(u"x", uint8_t{0xF2}, uint8_t{0x03}, uint8_t{0x14});
    TMsg::Warning(u"%d", {9}, uint8_t{0x01}, uint8_t{0x02}, uint8_t{0x03});
    TMsg::Instance()->NewMsg(eHint, 0xAB, 0xCD, 0xEF, u"y");
    ASSERT_EQ(rec.entries.size(), 3u);
    EXPECT_EQ(rec.entries[0].id, 0x03F20314u);
    EXPECT_EQ(rec.entries[1].id, 0x05010203u);
    EXPECT_EQ(rec.entries[1].text, u"9");
    EXPECT_EQ(rec.entries[2].id, 0x04ABCDEFu);
}

TEST(TMsg, EveryLevelDeliversAtItsOwnLevel) {
    MsgRecorder rec;
    TMsg::Debug(u"", 0);
    TMsg::Trace(u"", 0);
    TMsg::Info(u"", 0);
    TMsg::Hint(u"", 0);
    TMsg::Warning(u"", 0);
    TMsg::Error(u"", 0);
    TMsg::Fatal(u"", 0);
    ASSERT_EQ(rec.entries.size(), 7u);
    for (uint32_t i = 0; i < 7; ++i)
        EXPECT_EQ(rec.entries[i].id >> 24, i + 1);
}

TEST(TMsg, NamedSenderIsPassedOn) {
    MsgRecorder rec;
    Classes::TObject sender;
    TMsg::Instance()->NewMsg(&sender, eError, 1, 2, 3, u"s");
    ASSERT_EQ(rec.entries.size(), 1u);
    EXPECT_EQ(rec.entries[0].sender, &sender);
    EXPECT_EQ(rec.entries[0].id, 0x06010203u);
}

TEST(TMsg, WithoutSubscriberTheMessageIsDropped) {
    BoxRecorder boxes;
    TMsg::Instance();
    TMsg::Error(u"lost", 0);
    EXPECT_TRUE(boxes.boxes.empty());
    TMsg::InstanceRelease();
}

TEST(TMsg, SubscriberExceptionReachesTheCaller) {
    TMsg::Instance()->SetOnNewMsg(
        [](TObject*, const TMsgId&, const std::u16string&) { throw std::runtime_error("x"); });
    EXPECT_THROW(TMsg::Info(u"a", 0), std::runtime_error);
    TMsg::InstanceRelease();
}

TEST(TMsg, ReportingNeverCreatesTheSingleton) {
    BoxRecorder boxes;
    TMsg::Info(u"a", 0);
    TMsg::Hint(u"b", 1, 2, 3);
    // The second box shows that the first report created no singleton either.
    EXPECT_EQ(boxes.boxes.size(), 2u);
}

struct BoxCase {
    const char* name;
    void (*byId)(const std::u16string&, uint32_t);
    void (*byParts)(const std::u16string&, uint8_t, uint8_t, uint8_t);
    const char16_t* prefix;
    TMsgDlgType kindById;
    TMsgDlgType kindByParts;
};

void PrintTo(const BoxCase& c, std::ostream* os) {
    *os << c.name;
}

class MessageBoxFallback : public testing::TestWithParam<BoxCase> {};

TEST_P(MessageBoxFallback, KindAndPrefix) {
    const BoxCase& c = GetParam();
    BoxRecorder rec;
    c.byId(u"text", 0x123);
    c.byParts(u"text", 1, 2, 3);
    ASSERT_EQ(rec.boxes.size(), 2u);
    EXPECT_EQ(rec.boxes[0].text, std::u16string(c.prefix) + u"text");
    EXPECT_EQ(rec.boxes[0].type, c.kindById);
    EXPECT_EQ(rec.boxes[1].text, std::u16string(c.prefix) + u"text");
    EXPECT_EQ(rec.boxes[1].type, c.kindByParts);
}

using K = TMsgDlgType;
INSTANTIATE_TEST_SUITE_P(
    Levels, MessageBoxFallback,
    testing::Values(
        BoxCase{"Debug", TMsg::Debug, TMsg::Debug, u"Debug: ", K::mtInformation, K::mtInformation},
        BoxCase{"Trace", TMsg::Trace, TMsg::Trace, u"Trace: ", K::mtInformation, K::mtInformation},
        BoxCase{"Info", TMsg::Info, TMsg::Info, u"", K::mtInformation, K::mtInformation},
        BoxCase{"Hint", TMsg::Hint, TMsg::Hint, u"", K::mtInformation, K::mtInformation},
        BoxCase{"Warning", TMsg::Warning, TMsg::Warning, u"", K::mtError, K::mtWarning},
        BoxCase{"Error", TMsg::Error, TMsg::Error, u"", K::mtError, K::mtError},
        BoxCase{"Fatal", TMsg::Fatal, TMsg::Fatal, u"", K::mtError, K::mtError}),
    [](const testing::TestParamInfo<BoxCase>& i) { return std::string(i.param.name); });

TEST(TMsg, FormattedFallbackShowsTheFormattedText) {
    BoxRecorder rec;
    TMsg::Trace(u"n=%d", {3}, 0);
    ASSERT_EQ(rec.boxes.size(), 1u);
    EXPECT_EQ(rec.boxes[0].text, u"Trace: n=3");
}

TEST(TMsg, AnAlertIsAMessageFirstAndAFallbackReplacesTheBox) {
    BoxRecorder boxes;
    std::vector<std::u16string> alerts, fallen;
    TMsg::SetFallback([&](TMsgTypeId, const std::u16string& s) { fallen.push_back(s); });
    TMsg::Alert(eError, u"no singleton", 0);
    TMsg::SetFallback(nullptr);
    {
        MsgRecorder rec;
        TMsg::Instance()->SetOnAlert(
            [&](TMsgTypeId, const std::u16string& s) { alerts.push_back(s); });
        TMsg::Alert(eError, u"rate", 0);
        ASSERT_EQ(rec.entries.size(), 1u);
        EXPECT_EQ(rec.entries[0].id, 0x06000000u);
    }
    EXPECT_EQ(fallen, std::vector<std::u16string>{u"no singleton"});
    EXPECT_EQ(alerts, std::vector<std::u16string>{u"rate"});
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST(TMsg, DebugWithStreamAppendsItsBytesInHex) {
    MsgRecorder rec;
    Classes::TMemoryStream ms(std::string("\x01\xAB\xFF", 3));
    ms.SetPosition(2); // rendering starts at the beginning whatever the position
    TMsg::Debug(u"Rx", &ms, 0u);
    Classes::TMemoryStream empty;
    TMsg::Debug(u"Rx", &empty, 0xF1, 0x01, 0x02);
    TMsg::Debug(u"Rx", nullptr, 0u);
    ASSERT_EQ(rec.entries.size(), 3u);
    EXPECT_EQ(rec.entries[0].text, u"Rx \"01 AB FF\"");
    EXPECT_EQ(rec.entries[0].id, 0x01000000u);
    EXPECT_EQ(ms.Position(), 3);
    EXPECT_EQ(rec.entries[1].text, u"Rx \"\"");
    EXPECT_EQ(rec.entries[1].id, 0x01F10102u);
    EXPECT_EQ(rec.entries[2].text, u"Rx");
}

TEST(TMsg, EventNamesTheSenderAddress) {
    Classes::TObject sender;
    std::u16string address = SysUtils::Format(u"%p", {static_cast<const void*>(&sender)});
    Classes::TMemoryStream ms(std::string("\x0D\x0A", 2));
    {
        MsgRecorder rec;
        TMsg::Event(&sender, eWarning, u"opened", nullptr, 0x0102);
        TMsg::Event(&sender, eTrace, u"rx", &ms, 0);
        ASSERT_EQ(rec.entries.size(), 2u);
        EXPECT_EQ(rec.entries[0].text, u"[" + address + u"] opened");
        EXPECT_EQ(rec.entries[0].id, 0x05000102u);
        EXPECT_EQ(rec.entries[1].text, u"[" + address + u"] rx \"0D 0A\"");
    }
    BoxRecorder boxes;
    TMsg::Event(&sender, eError, u"gone", nullptr, 0);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].type, TMsgDlgType::mtCustom);
    EXPECT_EQ(boxes.boxes[0].text, u"[" + address + u"] gone");
}

TEST(EMsg, FromAnIdAlone) {
    EMsg a(0x01020A, 0);
    EXPECT_EQ(a.Message(), u"01020A:0");
    EXPECT_EQ(a.Msg(), u"");
    EXPECT_EQ(a.Id().Value, 0x01020Au);
    EXPECT_EQ(a.Value(), 0);
    EXPECT_EQ(EMsg(0x1234, -5).Message(), u"001234:-5");
    EXPECT_EQ(EMsg(0xF10100, 70000).Message(), u"F10100:70000");
    EXPECT_STREQ(EMsg(0x1234, -5).what(), "001234:-5");
}

TEST(EMsg, WithText) {
    EMsg a(u"No port defined!", 0xF20114, 0);
    EXPECT_EQ(a.Message(), u"No port defined!\r\nID: F20114:0");
    EXPECT_EQ(a.Msg(), u"No port defined!");
    EXPECT_EQ(a.MsgNo(), u"F20114:0");

    EMsg f(u"Port %s at %d", {u"COM1", 9600}, 0xF30200, -1);
    EXPECT_EQ(f.Msg(), u"Port COM1 at 9600");
    EXPECT_EQ(f.Message(), u"Port COM1 at 9600\r\nID: F30200:-1");
    // Text from outside is an argument only.
    EXPECT_EQ(EMsg(u"%s", {u"100%d"}, 1, 2).Msg(), u"100%d");
}

TEST(EMsg, ParamIsAddedAndClamped) {
    EXPECT_EQ(EMsg(0x010500, 300, 7).Id().Value, 0x0105FFu);
    EXPECT_EQ(EMsg(0x010500, 300, 7).Message(), u"0105FF:7");
    EXPECT_EQ(EMsg(0x010500, -1, 7).Id().Value, 0x010500u);
    EXPECT_EQ(EMsg(0x010500, 0, 7).Id().Value, 0x010500u);
    EXPECT_EQ(EMsg(0x010500, 17, 7).Id().Value, 0x010511u);
    // An addition, not a replacement of the site byte: it carries into the method byte.
    EXPECT_EQ(EMsg(0x0105F0, 0x20, 0).Id().Value, 0x010610u);

    EMsg t(u"bad", 0xF40300, 5, 1);
    EXPECT_EQ(t.Id().Value, 0xF40305u);
    EXPECT_EQ(t.Message(), u"bad\r\nID: F40305:1");
    EMsg ft(u"n=%d", {4}, 0xF40300, 255, 2);
    EXPECT_EQ(ft.Message(), u"n=4\r\nID: F403FF:2");
    EXPECT_EQ(ft.Msg(), u"n=4");
}

TEST(EMsg, IdFieldViews) {
    TMsgId id{0x06F20314};
    EXPECT_EQ(id.TypeNo(), 0x06);
    EXPECT_EQ(id.UnitNo(), 0xF2);
    EXPECT_EQ(id.MethodeNo(), 0x03);
    EXPECT_EQ(id.Param(), 0x14);
}

TEST(TMsg, AnEventWithoutSingletonShowsItsTextInAPlainBox) {
    BoxRecorder rec;
    TMsg::Event(nullptr, eError, u"gone", nullptr, 0);
    ASSERT_EQ(rec.boxes.size(), 1u);
    EXPECT_EQ(rec.boxes[0].type, TMsgDlgType::mtCustom);
    EXPECT_EQ(rec.boxes[0].text.substr(rec.boxes[0].text.size() - 5), u" gone");
}
