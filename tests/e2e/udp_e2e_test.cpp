// Whole runs of the program over UDP, headless, against the responder peer on loopback.

#include "app/ExitCodes.h"
#include "e2e/RunTelvik.h"
#include "ports/udp/UdpTestUtils.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QVariant>
#include <algorithm>
#include <gtest/gtest.h>

#include <string>
#include <vector>

using UdpTest::Responder;

namespace {

/// Runs the program headless on a job over UDP to `destPort` with the [TELEGRAM] lines given.
RunTelvik::TResult RunJob(uint16_t destPort, const std::string& telegram,
                          const std::vector<std::string>& options = {}, uint16_t listen = 0) {
    return UdpTest::RunUdpJob(
        UdpTest::UdpJob(destPort, "[GENERAL]\nVisible=Never\n[TELEGRAM]\nTimeout=2000\n" + telegram,
                        listen, "Udp"),
        options);
}

} // namespace

TEST(UdpRun, ResponsePassesWithAndWithoutFramingMarks) {
    {
        Responder peer({"--reply", "OK 12"});
        auto r = RunJob(peer.port, "Send=HELLO\nResponse=OK*\n");
        EXPECT_EQ(r.ExitCode, 0) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Info:  Response passed: \"OK*\" = \"OK 12\"")) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Info:  Done successfully")) << r.Stderr;
        EXPECT_NE(peer.Received().find("rx 5 HELLO\n"), std::string::npos);
    }
    {
        Responder peer({"--reply", "\\x02OK 12\\x03"});
        auto r =
            RunJob(peer.port, "Start=\\02\nEnd=\\03\nSend=HELLO\nResponse=OK*\n", {"+Final=W=1"});
        EXPECT_EQ(r.ExitCode, 0) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Info:  Response passed: \"OK*\" = \"OK 12\"")) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Info:  Run final instruction(s): W=1")) << r.Stderr;
        EXPECT_NE(peer.Received().find("rx 7 \\x02HELLO\\x03\n"), std::string::npos);
    }
}

TEST(UdpRun, Ipv6DestinationsAndWhoMayAnswer) {
    {
        Responder peer({"--ipv6", "--reply", "OK 6"});
        auto r = RunJob(peer.port, "Send=HELLO\nResponse=OK*\n", {"+UDP=::1"});
        EXPECT_EQ(r.ExitCode, 0) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Info:  Response passed: \"OK*\" = \"OK 6\"")) << r.Stderr;
        EXPECT_NE(peer.Received().find("rx 5 HELLO\n"), std::string::npos);
    }
    // Another port of the destination's host answers first: judged unless AcceptFrom says so.
    const std::pair<const char*, int> kAccept[] = {{"Any", 51}, {"host", 51}, {"Destination", 0}};
    for (const auto& [accept, code] : kAccept) {
        Responder peer({"--stranger", "NO", "--reply", "OK 4", "--delay", "50"});
        auto r = RunJob(peer.port,
                        std::string("Send=HELLO\nResponse=OK*\n[DEVICE]\nAcceptFrom=") + accept);
        EXPECT_EQ(r.ExitCode, code) << accept << r.Stderr;
        EXPECT_EQ(r.Stderr.find("Hint:  Ignored datagram from 127.0.0.1:") != std::string::npos,
                  code == 0)
            << r.Stderr;
    }
    auto bad = RunJob(9, "Send=HELLO\n[DEVICE]\nAcceptFrom=Port\n");
    EXPECT_EQ(bad.ExitCode, 91) << bad.Stderr;
    EXPECT_TRUE(
        bad.HasLine("Fatal: Invalid AcceptFrom \"Port\" (Any, Host or Destination)! ID: 01010B:0"))
        << bad.Stderr;
    {
        // A scope that names no interface: the resolver's words, and what to do.
        auto r = RunJob(9, "Send=HELLO\n", {"+UDP=[fe80::1%nosuchif]"});
        EXPECT_EQ(r.ExitCode, 56) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Error: UDP SendData: Name or service not known")) << r.Stderr;
        EXPECT_NE(r.Stderr.find("Hint:  getaddrinfo fe80::1%nosuchif: Name or service not known: "
                                "the scope after % must be"),
                  std::string::npos)
            << r.Stderr;
    }
}

TEST(UdpRun, WrongOrMissingResponseFailsAfterTheFailureInstructions) {
    {
        Responder peer({"--reply", "ok", "--reply", "OK 12", "--delay", "40"});
        auto r = RunJob(peer.port, "Send=HELLO\nResponse=OK*\n", {"+Failure=W=1"});
        EXPECT_EQ(r.ExitCode, 51) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Error: Response failed: \"OK*\" <> \"ok\"")) << r.Stderr;
        EXPECT_EQ(r.Stderr.find("Response passed"), std::string::npos) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Info:  Run instruction(s) after failure: W=1")) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Info:  Failed with exit code 51 (0x33)")) << r.Stderr;
    }
    {
        Responder peer({}); // answers nothing
        auto r = RunJob(peer.port, "Send=HELLO\nResponse=OK*\n", {"+Timeout=300", "+Failure=W=10"});
        EXPECT_EQ(r.ExitCode, 54) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Error: Time out!")) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Info:  Run instruction(s) after failure: W=10")) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Info:  Failed with exit code 54 (0x36)")) << r.Stderr;
    }
}

TEST(UdpRun, UnsolicitedResponseWithoutSend) {
    uint16_t listen = UdpTest::FreePort();
    {
        Responder peer(
            {"--push", std::to_string(listen), "--push-text", "OK 7", "--push-after", "300"});
        auto r = RunJob(peer.port, "Response=OK*\n", {}, listen);
        EXPECT_EQ(r.ExitCode, 0) << r.Stderr;
        EXPECT_EQ(r.Stderr.find("Send:"), std::string::npos) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Info:  Response passed: \"OK*\" = \"OK 7\"")) << r.Stderr;
    }
}

TEST(UdpRun, InitialInstructions) {
    Responder peer({"--reply", "OK"});
    auto r = RunJob(peer.port, "Send=HELLO\nResponse=OK\n", {"+Initial=W=100;;W=200"});
    EXPECT_EQ(r.ExitCode, 0) << r.Stderr;
    EXPECT_GE(r.Seconds, 0.3);

    r = RunJob(peer.port, "Send=HELLO\nResponse=OK\n", {"+Initial=W=1;W=1;Nope", "+Failure=W=1"});
    EXPECT_EQ(r.ExitCode, 59) << r.Stderr;
    EXPECT_TRUE(r.HasLine("Fatal: Port instruction \"Nope\" unknown or failed! ID: 010502:0"))
        << r.Stderr;
    EXPECT_EQ(r.Stderr.find("Send:"), std::string::npos) << r.Stderr;
    EXPECT_TRUE(r.HasLine("Info:  Run instruction(s) after failure: W=1")) << r.Stderr;
}

TEST(UdpRun, PortAndSendFailuresEndWithTheirStepsCode) {
    Responder peer({"--reply", "OK"});
    {
        UdpTest::Peer holder; // keeps the listening port busy
        auto r = RunJob(peer.port, "Send=HELLO\nResponse=OK\n", {"+Failure=W=1"}, holder.port);
        EXPECT_EQ(r.ExitCode, 67) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Error: UDP Start: Cannot Bind Socket.")) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Fatal: UDP port open failed! ID: F4020A:0")) << r.Stderr;
        // The port stays active after the failed open: failure instructions and close run.
        EXPECT_TRUE(r.HasLine("Info:  Run instruction(s) after failure: W=1")) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Info:  Close port...")) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Info:  Failed with exit code 67 (0x43)")) << r.Stderr;
    }
    {
        auto r = RunJob(peer.port, "Send=" + std::string(8193, 'a') + "\nResponse=OK\n");
        EXPECT_EQ(r.ExitCode, 56) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Error: UDP SendData: Packet Too Big (8192 Bytes Max).")) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Fatal: UDP datagram send failed!SendData: Packet Too Big "
                              "(8192 Bytes Max). ID: F4030A:0"))
            << r.Stderr;
    }
    {
        auto r = RunJob(peer.port, "Send=HELLO\n", {"+UDP=no-such-host.invalid"});
        EXPECT_EQ(r.ExitCode, 56) << r.Stderr;
        EXPECT_TRUE(
            r.HasLine("Fatal: UDP datagram send failed!SendData: Host Not Found. ID: F4030A:0"))
            << r.Stderr;
    }
    {
        auto r = RunJob(peer.port, "Send=HELLO\n", {"+UDP=,70000"});
        EXPECT_EQ(r.ExitCode, 68) << r.Stderr;
        EXPECT_TRUE(r.HasLine("Fatal: No destination port number defined! ID: F40114:0"))
            << r.Stderr;
    }
}

TEST(UdpRun, OutputResponseIsExactlyTheDevicesBytes) {
    const std::string framed = "Start=\\02\nEnd=\\03\nSend=SN?\nResponse=SN*\n";
    Responder peer({"--reply", "\\x02SN\\x00\\xFF\\r\\n42\\x03"});
    auto r = RunJob(peer.port, framed, {"+Output=Response"});
    EXPECT_EQ(r.ExitCode, 0) << r.Stderr;
    EXPECT_EQ(r.Stdout, std::string("SN\0\xFF\r\n42", 8));
    // The option changes nothing in the log (but the file's name) nor in the exit code.
    auto plain = RunJob(peer.port, framed);
    EXPECT_EQ(plain.ExitCode, 0);
    EXPECT_EQ(plain.Stdout, "");
    auto logOf = [](const RunTelvik::TResult& run) {
        std::vector<std::string> lines;
        for (const auto& l : run.LogLines())
            if (l.rfind("Info:  Load default from:", 0) != 0)
                lines.push_back(l);
        return lines;
    };
    EXPECT_EQ(logOf(r), logOf(plain));

    for (const char* quiet : {"+Output=Response", "+Output=None", "+Output=Yaml"}) {
        Responder silent({});
        auto t = RunJob(silent.port, framed, {quiet, "+Timeout=200"});
        EXPECT_EQ(t.ExitCode, 54) << quiet;
        EXPECT_EQ(t.Stdout, "") << quiet;
        EXPECT_EQ(t.HasLine("Warn:  Output \"Yaml\" unknown (Response, Json or None): nothing is "
                            "written to standard output"),
                  std::string(quiet) == "+Output=Yaml")
            << t.Stderr;
    }
}

TEST(UdpRun, OutputJsonSumsUpTheRun) {
    struct Row {
        const char* name;
        std::vector<std::string> peer;
        std::vector<std::string> options;
        int exitCode;
        const char* verdict;
        QStringList errors, fatal;
    };
    const Row rows[] = {
        {"success", {"--reply", "OK 12"}, {}, 0, "passed", {}, {}},
        {"wrong", {"--reply", "ok"}, {}, 51, "failed", {"Response failed: \"OK*\" <> \"ok\""}, {}},
        {"time-out", {}, {"+Timeout=200"}, 54, "none", {"Time out!"}, {}},
        {"refused",
         {"--reply", "OK"},
         {"+Initial=Nope"},
         59,
         "none",
         {},
         {"Port instruction \"Nope\" unknown or failed! ID: 010500:0"}},
    };
    for (const Row& row : rows) {
        Responder peer(row.peer);
        std::vector<std::string> options = row.options;
        options.push_back("+Output=json");
        auto r = RunJob(peer.port, "Send=HELLO\nResponse=OK*\n", options);
        EXPECT_EQ(r.ExitCode, row.exitCode) << row.name << r.Stderr;
        ASSERT_EQ(std::count(r.Stdout.begin(), r.Stdout.end(), '\n'), 1) << row.name << r.Stdout;
        QJsonParseError error;
        QJsonObject j =
            QJsonDocument::fromJson(QByteArray::fromStdString(r.Stdout), &error).object();
        ASSERT_EQ(error.error, QJsonParseError::NoError) << row.name << r.Stdout;
        EXPECT_EQ(j["exitCode"].toInt(-1), row.exitCode) << row.name;
        EXPECT_EQ(j["exitMeaning"].toString().toStdString(),
                  ExitCodes::ExitCodeMeaning(row.exitCode));
        EXPECT_EQ(j["portKind"].toString(), "Udp");
        EXPECT_EQ(j["device"].toString().toStdString(), "127.0.0.1:" + std::to_string(peer.port));
        EXPECT_EQ(j["verdict"].toString(), row.verdict) << row.name;
        EXPECT_EQ(j["errors"].toVariant().toStringList(), row.errors) << row.name;
        EXPECT_EQ(j["fatal"].toVariant().toStringList(), row.fatal) << row.name;
        EXPECT_TRUE(j["openToCloseMs"].isDouble()) << row.name;
        bool sent = row.exitCode != 59, answered = row.peer.size() > 0 && sent;
        EXPECT_EQ(j["sent"].toObject()["text"].toString(), sent ? "HELLO" : "") << row.name;
        EXPECT_EQ(j["sendToResponseMs"].isDouble(), answered) << row.name;
        QJsonArray rx = j["received"].toArray();
        ASSERT_EQ(rx.size(), answered ? 1 : 0) << row.name;
        if (answered) {
            EXPECT_EQ(rx[0].toObject()["text"].toString().toStdString(), row.peer[1]);
        }
    }
}

TEST(UdpRun, EveryTelegramOfADatagramIsJudgedAndQueuedOnesAreDiscarded) {
    uint16_t listen = UdpTest::FreePort();
    // Pushed unasked while the initial wait runs: it sits on the socket when the telegram goes.
    Responder peer({"--reply", "\\x02\\x03\\x02PONG\\x03", "--push", std::to_string(listen),
                    "--push-text", "\\x02LATE\\x03", "--push-after", "700"});
    auto r = RunJob(peer.port, "Start=\\02\nEnd=\\03\nSend=PING\nResponse=PONG\n",
                    {"+Initial=W=1500"}, listen);
    EXPECT_EQ(r.ExitCode, 0) << r.Stderr;
    EXPECT_TRUE(r.HasLine("Hint:  Discarded before sending: \\x02LATE\\x03")) << r.Stderr;
    EXPECT_TRUE(r.HasLine("Info:  Response passed: \"PONG\" = \"PONG\"")) << r.Stderr;
}
