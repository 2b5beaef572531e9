#pragma once
// Runs the whole job in process with a scripted port kind, the way the program runs it, and
// collects the exit code, the log and what the port was asked to do.

#include "app/Job.h"
#include "common/IniFiles.h"
#include "common/MsgUtils.h"
#include "e2e/RunTelvik.h"
#include "platform/Dialogs.h"
#include "ports/PortBase.h"

#include <QEventLoop>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

namespace JobHarness {

/// The job being run, so that the port can note the exit code its steps run under.
inline Job::TJob*& CurrentJob() {
    static Job::TJob* job = nullptr;
    return job;
}

/// A port kind whose every step can be made to fail, and which records what it was asked.
class TFakePort : public PortBase::TPortBase {
public:
    struct Script {
        bool initFails = false;
        bool openFails = false;
        bool activeAfterFailedOpen = false;
        bool closeFails = false;             ///< raises and stays active
        std::vector<std::string> replies;    ///< delivered one by one, each as its own chunk
        bool repliesWhileSending = false;    ///< the replies come before the send returns
        std::vector<std::u16string> refused; ///< statements Instruct refuses
        std::u16string boxAtInit;            ///< an alert Init raises, as a driver may
    };

    TFakePort(const std::u16string& s, const std::u16string& e, Script script,
              std::vector<std::string>* journal)
        : TPortBase(s, e), fScript(std::move(script)), fJournal(journal) {}

    void Init(const IniFiles::TMemIniFile&) override {
        Note("Init");
        if (!fScript.boxAtInit.empty())
            MsgUtils::TMsg::Alert(MsgUtils::eError, fScript.boxAtInit, 0);
        if (fScript.initFails)
            throw MsgUtils::EMsg(u"Bad settings!", 0xF5010A, 0);
    }
    bool Active() override { return fActive; }
    void Open() override {
        Note("Open");
        if (fScript.openFails) {
            fActive = fScript.activeAfterFailedOpen;
            throw MsgUtils::EMsg(u"Cannot open!", 0xF5020A, 0);
        }
        fActive = true;
        Fire(FOnOpened);
    }
    void Close() override {
        Note("Close");
        if (fScript.closeFails)
            throw MsgUtils::EMsg(u"Cannot close!", 0xF5030A, 0);
        fActive = false;
        Fire(FOnClosed);
    }
    bool Instruct(const std::u16string& s) override {
        Note("Instruct " + SysUtils::ToUtf8(s) + " @" +
             std::to_string(CurrentJob() ? CurrentJob()->ExitCode() : -1));
        for (const auto& r : fScript.refused)
            if (r == s)
                return false;
        return s == u"OK" || TPortBase::Instruct(s);
    }
    /// Delivers the scripted replies after the telegram, as a device would, through the loop.
    void SendStream(Classes::TMemoryStream& ms) override {
        TPortBase::SendStream(ms);
        Note("Send " + ms.Bytes());
        for (const auto& reply : fScript.replies) {
            if (fScript.repliesWhileSending)
                ReceiveData(reply);
            else
                QTimer::singleShot(0, [this, reply] { ReceiveData(reply); });
        }
    }
    void Deliver(const std::string& bytes) { ReceiveData(bytes); }

private:
    void Note(const std::string& s) {
        if (fJournal)
            fJournal->push_back(s);
    }
    Script fScript;
    std::vector<std::string>* fJournal;
    bool fActive = false;
};

struct TOutcome {
    int exitCode = -1;
    std::vector<std::string> log;     ///< log lines without their time
    std::vector<std::string> times;   ///< the time of each log line, "hh:nn:ss.zzz"
    std::vector<std::string> journal; ///< what the port was asked, in order
    bool HasLine(const std::string& line) const {
        for (const auto& l : log)
            if (l == line)
                return true;
        return false;
    }
};

/// Runs one job with the INI text `ini` beside a made-up program and the options `args`.
inline TOutcome RunJob(const std::string& ini, const std::vector<std::string>& args,
                       TFakePort::Script script = {}, std::function<void(Job::TJob&)> during = {},
                       std::shared_ptr<Job::IJobObserver> observer = nullptr) {
    RunTelvik::TTempDir dir;
    dir.Write("telvik.ini", ini);
    TOutcome out;
    Job::TJobEnvironment env;
    env.Args.push_back(u"telvik");
    for (const auto& a : args)
        env.Args.push_back(SysUtils::FromUtf8(a));
    env.ProgramPath = SysUtils::FromUtf8(dir.Path() + "/telvik");
    env.CreatePort = [&](const std::u16string&, const std::u16string& s,
                         const std::u16string& e) -> std::unique_ptr<PortBase::TPortBase> {
        return std::make_unique<TFakePort>(s, e, script, &out.journal);
    };
    env.Headless = true;
    if (observer)
        env.Observer = std::move(observer);
    env.Write = [&](const std::string& line) {
        std::string time, text;
        RunTelvik::SplitLogLine(std::string_view(line).substr(0, line.size() - 1), &time, &text);
        out.log.push_back(text);
        out.times.push_back(time);
    };
    QEventLoop loop;
    env.Quit = [&] { loop.quit(); };
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&] {
        out.log.push_back("<<test guard: the job did not end>>");
        loop.quit();
    });
    guard.start(10000);
    {
        Job::TJob frm(std::move(env));
        CurrentJob() = &frm;
        if (during)
            during(frm);
        loop.exec();
        out.exitCode = frm.ExitCode();
        CurrentJob() = nullptr;
    }
    MsgUtils::TMsg::InstanceRelease();
    return out;
}

} // namespace JobHarness
