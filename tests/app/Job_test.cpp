#include "app/Job.h"
#include "app/JobHarness.h"
#include "app/LogWindow.h"
#include "app/Version.h"

#include "platform/SignalEvents.h"

#include <csignal>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using JobHarness::RunJob;
using JobHarness::TFakePort;
using JobHarness::TOutcome;

namespace {

const std::string kUdpJob = "[DEVICE]\nName=UDP\n[TELEGRAM]\n";

bool Contains(const std::vector<std::string>& v, const std::string& s) {
    return std::find(v.begin(), v.end(), s) != v.end();
}

} // namespace

TEST(RunSequence, SendWithoutResponseSucceedsAfterFinalInstructions) {
    TOutcome o = RunJob(kUdpJob + "Send=PING\n[INSTRUCTION]\nFinal=W=1\n", {});
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(o.journal,
              (std::vector<std::string>{"Init", "Open", "Send PING", "Instruct W=1 @20", "Close"}));
    EXPECT_EQ(o.log.front(), std::string("Info:  Telvik V") + Version::kVersion + " ");
    EXPECT_TRUE(o.HasLine("Info:  Send: PING"));
    EXPECT_TRUE(o.HasLine("Info:  Run final instruction(s): W=1"));
    EXPECT_EQ(o.log.back(), "Info:  Done successfully");
}

TEST(RunSequence, MatchingAndWrongResponses) {
    TFakePort::Script ok;
    ok.replies = {"OK 12"};
    TOutcome pass = RunJob(kUdpJob + "Send=X\nResponse=OK*\n", {}, ok);
    EXPECT_EQ(pass.exitCode, 0);
    EXPECT_TRUE(pass.HasLine("Info:  Response passed: \"OK*\" = \"OK 12\""));

    TFakePort::Script wrong;
    wrong.replies = {"ok"};
    TOutcome fail =
        RunJob(kUdpJob + "Send=X\nResponse=OK*\n[INSTRUCTION]\nFailure=W=1\n", {}, wrong);
    EXPECT_EQ(fail.exitCode, 51);
    EXPECT_TRUE(fail.HasLine("Error: Response failed: \"OK*\" <> \"ok\""));
    EXPECT_TRUE(Contains(fail.journal, "Instruct W=1 @151"));
    EXPECT_EQ(fail.log.back(), "Info:  Failed with exit code 51 (0x33)");

    // A device that answers while a long telegram is still going out is judged all the same.
    TFakePort::Script early = ok;
    early.repliesWhileSending = true;
    TOutcome quick = RunJob(kUdpJob + "Send=X\nResponse=OK*\nTimeout=2000\n", {}, early);
    EXPECT_EQ(quick.exitCode, 0);
    EXPECT_FALSE(quick.HasLine("Error: Time out!"));
}

TEST(RunSequence, TimeOutRunsFailureInstructionsAndEndsWith54) {
    TOutcome o =
        RunJob(kUdpJob + "Send=X\nResponse=A\nTimeout=30\n[INSTRUCTION]\nFailure=W=1\n", {});
    EXPECT_EQ(o.exitCode, 54);
    EXPECT_TRUE(o.HasLine("Error: Time out!"));
    EXPECT_TRUE(Contains(o.journal, "Instruct W=1 @154"));
    EXPECT_EQ(o.journal.back(), "Close");
    EXPECT_EQ(o.log.back(), "Info:  Failed with exit code 54 (0x36)");
}

TEST(RunSequence, TimeOutAndWaitsAreNeverShorterThanAsked) {
    // Milliseconds between the log lines starting with `from` and `to`, by their time stamps.
    auto between = [](const TOutcome& o, const std::string& from, const std::string& to) {
        auto at = [&](const std::string& start) {
            for (size_t i = 0; i < o.log.size(); ++i)
                if (o.log[i].rfind(start, 0) == 0) {
                    const std::string& t = o.times[i];
                    return ((std::stoi(t.substr(0, 2)) * 60 + std::stoi(t.substr(3, 2))) * 60 +
                            std::stoi(t.substr(6, 2))) *
                               1000 +
                           std::stoi(t.substr(9, 3));
                }
            ADD_FAILURE() << "no line " << start;
            return 0;
        };
        return (at(to) - at(from) + 86400000) % 86400000;
    };
    for (int run = 0; run < 4; ++run) {
        TOutcome o =
            RunJob(kUdpJob + "Send=X\nResponse=A\nTimeout=300\n[INSTRUCTION]\nInitial=W=200\n", {});
        EXPECT_EQ(o.exitCode, 54);
        EXPECT_GE(between(o, "Info:  Run initial", "Info:  Send: X"), 200);
        EXPECT_GE(between(o, "Info:  Wait for expected response", "Error: Time out!"), 300);
    }
}

TEST(RunSequence, ASignalEndsTheStepUnderWayAsItsFailure) {
    auto signalIn = [](int ms, int iSignal) {
        return std::thread([=] {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            ::kill(::getpid(), iSignal);
        });
    };
    SignalEvents::Install();
    std::thread t = signalIn(500, SIGTERM);
    TOutcome wait =
        RunJob(kUdpJob + "Send=X\nResponse=A\nTimeout=5000\n[INSTRUCTION]\nFailure=W=1\n", {});
    t.join();
    EXPECT_EQ(wait.exitCode, 54);
    EXPECT_TRUE(wait.HasLine("Fatal: Interrupted by signal SIGTERM"));
    EXPECT_FALSE(wait.HasLine("Error: Time out!"));
    EXPECT_TRUE(Contains(wait.journal, "Instruct W=1 @154"));
    EXPECT_EQ(wait.journal.back(), "Close");

    // A wait statement ends with the signal, failing its list.
    SignalEvents::Install();
    t = signalIn(500, SIGHUP);
    TOutcome initial = RunJob(kUdpJob + "Send=X\n[INSTRUCTION]\nInitial=W=9000\n", {});
    t.join();
    SignalEvents::Uninstall();
    EXPECT_EQ(initial.exitCode, 59);
    EXPECT_TRUE(initial.HasLine("Fatal: Interrupted by signal SIGHUP"));
    EXPECT_EQ(initial.log.back(), "Info:  Failed with exit code 59 (0x3B)");
}

TEST(RunSequence, ResponseWithoutSendWaitsForUnsolicitedData) {
    TOutcome o = RunJob(kUdpJob + "Response=HELLO\nTimeout=2000\n", {}, {}, [](Job::TJob& frm) {
        QTimer::singleShot(20, [&frm] { static_cast<TFakePort*>(frm.Port())->Deliver("HELLO"); });
    });
    EXPECT_EQ(o.exitCode, 0);
}

TEST(RunSequence, EveryDataEventIsJudgedAndTheLastVerdictCounts) {
    TFakePort::Script s;
    s.replies = {"[GOOD]", "[BAD]"};
    TOutcome o = RunJob(kUdpJob + "Start=[\nEnd=]\nSend=X\nResponse=GOOD\n", {}, s);
    EXPECT_EQ(o.exitCode, 51);

    // Without an expected response, data that beats the finish request is only logged.
    TFakePort::Script early;
    early.replies = {"noise"};
    TOutcome sendOnly = RunJob(kUdpJob + "Send=X\n", {}, early);
    EXPECT_EQ(sendOnly.exitCode, 0);
    EXPECT_TRUE(sendOnly.HasLine("Info:  Received: noise"));
}

TEST(RunSequence, FramingMatchAndAbortDecideOnTheRightTelegram) {
    struct Row {
        const char* name;
        std::string keys;
        std::vector<std::string> replies;
        int code;
        std::string line; ///< a line the log must hold
    };
    const std::string marks = "Start=[\nEnd=]\nResponse=PONG\nTimeout=300\n";
    const Row rows[] = {
        {"echo then answer, Any",
         marks + "Match=Any\n",
         {"[PING]", "[PONG]"},
         0,
         "Info:  Skipped: \"PONG\" <> \"PING\""},
        {"echo then answer, First",
         marks + "Match=first\n",
         {"[PING]", "[PONG]"},
         51,
         "Error: Response failed: \"PONG\" <> \"PING\""},
        {"abort at once",
         marks + "Match=Any\nAbort=BUSY*\n",
         {"[BUSY 3]", "[PONG]"},
         51,
         "Error: Response aborted: \"BUSY*\" = \"BUSY 3\""},
        {"empty telegram before the answer",
         marks,
         {"[][PONG]"},
         0,
         "Info:  Response passed: \"PONG\" = \"PONG\""},
        {"none matched by the time-out",
         marks + "Match=Any\nTimeout=50\n",
         {"[PING]"},
         51,
         "Error: Response failed: \"PONG\" <> \"PING\""},
        {"literal star",
         "Start=[\nEnd=]\nResponse=A\\*?\n",
         {"[A*5]"},
         0,
         "Info:  Response passed: \"A\\*?\" = \"A*5\""},
        {"literal star, other text",
         "Start=[\nEnd=]\nResponse=A\\*?\n",
         {"[AB5]"},
         51,
         "Error: Response failed: \"A\\*?\" <> \"AB5\""},
        {"lines",
         "Terminator=\\0D\\0A\nResponse=ACME*\n",
         {"AC", "ME 1\r", "\nX"},
         0,
         "Info:  Response passed: \"ACME*\" = \"ACME 1\""},
        {"gap",
         "Gap=40\nResponse=\\01\\03\\02\\00\n",
         {"\x01\x03", std::string("\x02\0", 2)},
         0,
         "Info:  Response passed: \"\\x01\\x03\\x02\\x00\" = \"\\x01\\x03\\x02\\x00\""},
        {"raw pieces, Any",
         "Response=IDN\nMatch=Any\n",
         {"I", "D", "N"},
         0,
         "Info:  Skipped: \"IDN\" <> \"ID\""},
        {"unfinished frame at the time-out",
         marks + "Timeout=50\n",
         {"x[PO"},
         54,
         "Hint:  Received but not judged: x[PO"},
        {"marks win over the terminator",
         marks + "Terminator=\\0A\n",
         {"[PONG]"},
         0,
         "Warn:  Terminator is ignored: Start and End frame the telegrams"},
    };
    for (const Row& row : rows) {
        TFakePort::Script s;
        s.replies = row.replies;
        TOutcome o = RunJob(kUdpJob + "Send=PING\n" + row.keys, {}, s);
        EXPECT_EQ(o.exitCode, row.code) << row.name;
        EXPECT_TRUE(o.HasLine(row.line)) << row.name << "\n" << o.log.back();
    }
}

TEST(RunSequence, DeviceTypeIsMatchedWithoutCaseAndAnUnknownOneEndsWith69) {
    EXPECT_EQ(RunJob("[DEVICE]\nName=udp\n[TELEGRAM]\nSend=X\n", {}).exitCode, 0);
    TOutcome none = RunJob("", {});
    EXPECT_EQ(none.exitCode, 69);
    EXPECT_TRUE(none.HasLine("Fatal: Device type \"\" not found! ID: 0103FF:0"));
    EXPECT_TRUE(none.journal.empty());
    EXPECT_FALSE(none.HasLine("Info:  Close port..."));
}

TEST(RunSequence, FailingStepsLeaveTheirProgressCode) {
    TFakePort::Script init;
    init.initFails = true;
    EXPECT_EQ(RunJob(kUdpJob, {}, init).exitCode, 68);

    // A port that is not active after a failed open is reported at once: no instructions, no
    // Close.
    TFakePort::Script open;
    open.openFails = true;
    TOutcome closed = RunJob(kUdpJob + "[INSTRUCTION]\nFailure=W=1\n", {}, open);
    EXPECT_EQ(closed.exitCode, 67);
    EXPECT_EQ(closed.journal, (std::vector<std::string>{"Init", "Open"}));

    // One that stays active gets its failure instructions and is closed.
    open.activeAfterFailedOpen = true;
    TOutcome active = RunJob(kUdpJob + "[INSTRUCTION]\nFailure=W=1\n", {}, open);
    EXPECT_EQ(active.exitCode, 67);
    EXPECT_EQ(active.journal,
              (std::vector<std::string>{"Init", "Open", "Instruct W=1 @167", "Close"}));
}

TEST(RunSequence, RefusedInitialInstructionNamesItsIndex) {
    TFakePort::Script s;
    s.refused = {u"NOPE"};
    TOutcome o =
        RunJob(kUdpJob + "Send=X\n[INSTRUCTION]\nInitial=OK;OK;NOPE;OK\nFailure=OK\n", {}, s);
    EXPECT_EQ(o.exitCode, 59);
    EXPECT_TRUE(o.HasLine("Fatal: Port instruction \"NOPE\" unknown or failed! ID: 010502:0"));
    EXPECT_FALSE(Contains(o.journal, "Send X"));
    EXPECT_TRUE(Contains(o.journal, "Instruct OK @159"));
}

TEST(RunSequence, EmptyStatementsCountButAreSkipped) {
    TFakePort::Script s;
    s.refused = {u"NOPE"};
    TOutcome o = RunJob(kUdpJob + "[INSTRUCTION]\nInitial=W=1;;NOPE\n", {}, s);
    EXPECT_TRUE(o.HasLine("Fatal: Port instruction \"NOPE\" unknown or failed! ID: 010502:0"));
}

TEST(RunSequence, FailingFinalAndFailureListsKeepTheirCodes) {
    TFakePort::Script s;
    s.refused = {u"NOPE"};
    EXPECT_EQ(RunJob(kUdpJob + "Send=X\n[INSTRUCTION]\nFinal=NOPE\n", {}, s).exitCode, 20);
    TOutcome o =
        RunJob(kUdpJob + "Send=X\nResponse=Y\nTimeout=10\n[INSTRUCTION]\nFailure=NOPE\n", {}, s);
    EXPECT_EQ(o.exitCode, 154);
    EXPECT_EQ(o.journal.back(), "Close");
}

TEST(RunSequence, APortWhoseCloseFailsIsNotClosedAgainAndTheRunEnds) {
    TFakePort::Script s;
    s.closeFails = true;
    TOutcome o = RunJob(kUdpJob + "Send=X\n", {}, s);
    EXPECT_EQ(std::count(o.journal.begin(), o.journal.end(), "Close"), 1);
    EXPECT_TRUE(o.HasLine("Fatal: Cannot close! ID: F5030A:0"));
    EXPECT_FALSE(Contains(o.log, "<<test guard: the job did not end>>"));
}

TEST(RunSequence, EscapeTagErrorInATelegramKeyFailsTheStep) {
    // Checked when the configuration is loaded: the device is never opened for a telegram that
    // could not be sent or a mark that could not be matched.
    for (const auto& [ini, fatal] : std::vector<std::pair<std::string, std::string>>{
             {"Send=A\\4 B", "Send \"A\\4 B\": unknown escape tag \"\\4\""},
             // In patterns "\*" is the character itself, but a bad tag is still named.
             {"Response=\\*\\n", "Response \"\\*\\n\": unknown escape tag \"\\n\""},
             {"Abort=NAK\\x15", "Abort \"NAK\\x15\": unknown escape tag \"\\x1\""},
             {"Start=\xF0\x9F\x98\x80",
              "Start \"\xF0\x9F\x98\x80\": character \"\xF0\x9F\x98\x80\" "
              "(U+1F600) is no byte: only codes 0 to 255 go on the wire"}}) {
        TOutcome o = RunJob(kUdpJob + ini + "\n", {});
        EXPECT_EQ(o.exitCode, 91) << ini;
        EXPECT_TRUE(o.journal.empty()) << ini;
        EXPECT_TRUE(o.HasLine("Fatal: [TELEGRAM] " + fatal)) << o.log.back();
    }
    // Good tags, a lone mark at the end and Latin-1 pass.
    EXPECT_EQ(RunJob(kUdpJob + "Start=\\02\nEnd=\\03\nSend=\\\\x\xC3\xA4\\\n", {}).exitCode, 0);
    // Literal wildcard characters pass the check in the pattern keys.
    EXPECT_NE(RunJob(kUdpJob + "Send=X\nResponse=\\*\\?\nAbort=\\*\nTimeout=1\n", {}).exitCode, 91);
}

TEST(LoadConfiguration, TimeoutOptionIsValidated) {
    for (const char* bad : {"+Timeout=0", "+Timeout=-5", "+Timeout=abc", "+Timeout="}) {
        TOutcome o = RunJob(kUdpJob, {bad});
        EXPECT_EQ(o.exitCode, 91) << bad;
        EXPECT_TRUE(o.journal.empty()) << bad;
    }
    EXPECT_TRUE(RunJob(kUdpJob, {"+Timeout=abc"})
                    .HasLine("Fatal: Invalid time out value \"abc\"! ID: 01010A:0"));
    int interval = 0;
    RunJob(kUdpJob, {"+Timeout=$10"}, {}, [&](Job::TJob& frm) {
        QTimer::singleShot(0, [&] { interval = frm.TimeoutInterval(); });
    });
    EXPECT_EQ(interval, 16);
}

TEST(LoadConfiguration, FramingKeysAreCheckedBeforeThePortIsCreated) {
    for (const char* bad :
         {"+Gap=0", "+Gap=abc", "+Match=All", "+Abort=\\4 B", "+Terminator=\\0"}) {
        TOutcome o = RunJob(kUdpJob, {bad});
        EXPECT_EQ(o.exitCode, 91) << bad;
        EXPECT_TRUE(o.journal.empty()) << bad;
    }
    EXPECT_TRUE(RunJob(kUdpJob, {"+Match=All"})
                    .HasLine("Fatal: Invalid TELEGRAM/Match \"All\": allowed are First and Any "
                             "ID: 010132:0"));
    EXPECT_TRUE(RunJob(kUdpJob, {"+Gap=-1"})
                    .HasLine("Fatal: Invalid TELEGRAM/Gap \"-1\": allowed is an integer of at "
                             "least 1 (ms) ID: 010131:0"));
    EXPECT_EQ(RunJob(kUdpJob + "Send=X\n", {"+Gap=", "+Match=ANY"}).exitCode, 0);
}

TEST(LoadConfiguration, OptionsAreLoggedAndOverrideTheFile) {
    TOutcome o = RunJob("[DEVICE]\nName=FTDI\n[TELEGRAM]\nSend=FILE\n",
                        {"+UDP=127.0.0.1,5000,5001", "+Send=A", "+Send=B", "ignored"});
    EXPECT_TRUE(o.HasLine("Info:  Assign device UDP and setting 127.0.0.1,5000,5001"));
    EXPECT_TRUE(o.HasLine("Info:  Assign send data: A"));
    EXPECT_TRUE(Contains(o.journal, "Send A"));

    // An empty option overrides the file: nothing is sent.
    TOutcome empty = RunJob(kUdpJob + "Send=FILE\n", {"+Send="});
    EXPECT_FALSE(Contains(empty.journal, "Send FILE"));
    EXPECT_EQ(empty.exitCode, 0);
}

TEST(LoadConfiguration, CfgOptionChoosesTheOnlyFileRead) {
    RunTelvik::TTempDir other;
    std::string path = other.Write("other.ini", "[DEVICE]\nName=UDP\n[TELEGRAM]\nSend=OTHER\n");
    TOutcome o = RunJob("[DEVICE]\nName=none\n", {"+CFG=" + path});
    EXPECT_TRUE(o.HasLine("Info:  Load default from: " + path));
    EXPECT_TRUE(Contains(o.journal, "Send OTHER"));

    // Lower case is no option, and a slip ends the run; a name that does not exist keeps the
    // default.
    EXPECT_EQ(RunJob("[DEVICE]\nName=none\n", {"+cfg=" + path}).exitCode, 91);
    EXPECT_EQ(RunJob("[DEVICE]\nName=none\n", {"+CFG=/nonexistent.ini"}).exitCode, 69);
}

TEST(LoadConfiguration, UnreadableFileEndsWith91Once) {
    RunTelvik::TTempDir dir;
    std::string fifo = dir.Path() + "/pipe.ini";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    TOutcome o = RunJob(kUdpJob, {"+CFG=" + fifo});
    EXPECT_EQ(o.exitCode, 91);
    EXPECT_EQ(std::count_if(o.log.begin(), o.log.end(),
                            [](const std::string& l) { return l.rfind("Fatal: ", 0) == 0; }),
              1);
    EXPECT_EQ(o.log.back(), "Info:  Failed with exit code 91 (0x5B)");
}

TEST(WindowPolicy, NeverTurnsMessageBoxesIntoStandardErrorText) {
    // Without a window no policy shows a box: the text is a log line at its level, the run does
    // not wait. (Always with a window adds the box: the GUI test shows it.)
    TFakePort::Script script;
    script.boxAtInit = u"Baudrate is not valid";
    for (const char* visible : {"Never", "Always", "OnError", "never"}) {
        int boxes = 0;
        Dialogs::SetMessageBoxHook([&](Dialogs::TMsgDlgType, const std::u16string&) { ++boxes; });
        testing::internal::CaptureStderr();
        TOutcome o = RunJob(kUdpJob + "Send=X\n", {std::string("+Visible=") + visible}, script);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(o.exitCode, 0) << visible;
        EXPECT_EQ(boxes, 0) << visible;
        EXPECT_EQ(err, "") << visible;
        EXPECT_TRUE(o.HasLine("Error: Baudrate is not valid")) << visible;
    }
    Dialogs::SetMessageBoxHook([](Dialogs::TMsgDlgType, const std::u16string&) {});
}
