// The report for scripts: the output forms, the texts of received bytes, and what a run records.

#include "app/JobHarness.h"
#include "app/RunReport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

using RunReport::TOutput;

TEST(RunReport, OutputValuesIgnoreCaseAndUnknownOnesAreRefused) {
    struct Row {
        const char16_t* value;
        std::optional<TOutput> output;
    };
    for (const Row& row : {Row{u"", TOutput::toNone}, Row{u"none", TOutput::toNone},
                           Row{u"RESPONSE", TOutput::toResponse}, Row{u"Json", TOutput::toJson},
                           Row{u"json ", std::nullopt}, Row{u"Yes", std::nullopt}})
        EXPECT_EQ(RunReport::ParseOutput(row.value), row.output) << SysUtils::ToUtf8(row.value);
}

TEST(RunReport, ReceivedBytesAsTextAndHex) {
    std::u16string bytes{u'A', u'\\', 0, 0xFF, u'\r', u'\n', 0x7F, u'~'};
    EXPECT_EQ(RunReport::EscapedText(bytes), "A\\\\\\x00\\xFF\\x0D\\x0A\\x7F~");
    EXPECT_EQ(RunReport::HexText(bytes), "41 5C 00 FF 0D 0A 7F 7E");
    EXPECT_EQ(RunReport::HexText(u""), "");
}

TEST(RunReport, TheLastJudgedTelegramIsTheResponseAndEveryOneIsListed) {
    JobHarness::TFakePort::Script script;
    script.replies = {"OK 1", "bad"};
    auto report = std::make_shared<RunReport::TRunReport>(TOutput::toResponse);
    JobHarness::TOutcome o =
        JobHarness::RunJob("[GENERAL]\nOutput=Json\n[DEVICE]\nName=UDP\nDestAddress=h\nDestPort=7\n"
                           "[TELEGRAM]\nSend=X\nResponse=OK*\n",
                           {"+Output=Response"}, script, {}, report);
    EXPECT_EQ(o.exitCode, 51);
    EXPECT_EQ(report->Text(o.exitCode), "bad"); // the option wins over the file

    auto json = std::make_shared<RunReport::TRunReport>(TOutput::toNone);
    o = JobHarness::RunJob("[DEVICE]\nName=UDP\nDestAddress=h\nDestPort=7\n"
                           "[TELEGRAM]\nSend=X\nResponse=OK*\n",
                           {"+Output=Json"}, script, {}, json);
    QJsonObject j = QJsonDocument::fromJson(QByteArray::fromStdString(json->Text(51))).object();
    EXPECT_EQ(j["device"].toString(), "h:7");
    EXPECT_EQ(j["verdict"].toString(), "failed");
    QJsonArray rx = j["received"].toArray();
    ASSERT_EQ(rx.size(), 2);
    EXPECT_TRUE(rx[0].toObject()["passed"].toBool());
    EXPECT_EQ(rx[1].toObject()["text"].toString(), "bad");
    EXPECT_EQ(j["errors"].toArray().size(), 1);

    // A time-out refused after the options were in: the file's device is reported.
    auto early = std::make_shared<RunReport::TRunReport>();
    o = JobHarness::RunJob("[DEVICE]\nName=UDP\nDestAddress=h\nDestPort=7\n",
                           {"+Output=Json", "+Timeout=0"}, script, {}, early);
    j = QJsonDocument::fromJson(QByteArray::fromStdString(early->Text(o.exitCode))).object();
    EXPECT_EQ(j["exitCode"].toInt(), 91);
    EXPECT_EQ(j["portKind"].toString(), "UDP");
    EXPECT_EQ(j["device"].toString(), "h:7");
}
