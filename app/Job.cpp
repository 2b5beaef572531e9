#include "app/Job.h"

#include "app/Application.h"
#include "app/CommandLine.h"
#include "app/Configuration.h"
#include "app/ExitCodes.h"
#include "app/Framing.h"
#include "app/Instructions.h"
#include "app/LogWindow.h"
#include "app/Verdict.h"
#include "app/Version.h"
#include "app/Wildcard.h"
#include "common/EscTaggedString.h"
#include "common/IniFiles.h"
#include "common/SysUtils.h"
#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "platform/SignalEvents.h"
#include "ports/ftdi/PortFtdi.h"
#include "ports/udp/PortUdp.h"

#include <QCoreApplication>

namespace Job {

using namespace ExitCodes;
using Configuration::FindCmdLineOption;
using MsgUtils::EMsg;
using MsgUtils::TMsg;
using SysUtils::Format;

TJob::TJob(TJobEnvironment env) : fEnv(std::move(env)) {
    // The trailing blank is part of the caption stations have always seen.
    std::u16string caption = Format(u"%s V%s ", {u"Telvik", SysUtils::FromUtf8(Version::kVersion)});
    if (!fEnv.Headless && fEnv.CreateWindow)
        fWindow = fEnv.CreateWindow();
    if (fWindow) {
        fWindow->SetCaption(caption);
        // The user closing the window ends the loop; the port goes with the window.
        fWindow->SetOnClosed([this] {
            if (!fbClosed) {
                fbClosed = true;
                if (fEnv.Quit)
                    fEnv.Quit();
            }
        });
    }
    fTimeout.setInterval(5001);
    // The default coarse timer may end up to 5 % early: a device answering in time must never be
    // judged too late.
    fTimeout.setTimerType(Qt::PreciseTimer);
    QObject::connect(&fTimeout, &QTimer::timeout, this, [this] { TimeoutTimer(); });
    Application::SetExceptionHandler(
        [this](QObject*, const std::exception* E) { HandleUncaughtException(E); });
    TMsg::Instance()->SetOnNewMsg(
        [this](MsgUtils::TObject* Sender, const MsgUtils::TMsgId& oMsgId,
               const std::u16string& sMsg) { MsgNewMsg(Sender, oMsgId, sMsg); });
    // The text is in the log already. A box would hold the run, the port open, until someone
    // comes: only a window that stays shown anyway may add one.
    TMsg::Instance()->SetOnAlert([this](MsgUtils::TMsgTypeId e, const std::u16string& sMsg) {
        if (fWindow && fbBoxes)
            Dialogs::ShowMessageBox(e >= MsgUtils::eError     ? Dialogs::TMsgDlgType::mtError
                                    : e == MsgUtils::eWarning ? Dialogs::TMsgDlgType::mtWarning
                                                              : Dialogs::TMsgDlgType::mtInformation,
                                    sMsg);
    });
    SignalEvents::SetOnSignal([this](int iSignal) { Interrupted(iSignal); });
    TMsg::Info(caption, 0);
    Queue(&TJob::Configure);
}

TJob::~TJob() {
    fTimeout.stop();
    SignalEvents::SetOnSignal(nullptr);
    if (fPort) {
        fPort->SetOnDataReceived(nullptr);
        fPort->SetOnOpened(nullptr);
        fPort->SetOnClosed(nullptr);
        fPort.reset();
    }
    fIniFile.reset();
    TMsg::Instance()->SetOnAlert(nullptr);
    TMsg::Instance()->SetOnNewMsg(nullptr);
    Application::SetExceptionHandler(nullptr);
}

int TJob::ExitCode() const {
    // Past a failed step only failure instructions that fail as well change the code.
    return fFailed ? ExitCodeOf(*fFailed, fStep == TStep::Failure) : ExitCodeOf(fStep, false);
}

bool TJob::WindowVisible() const {
    return fWindow && fWindow->IsVisible();
}

void TJob::MsgNewMsg(MsgUtils::TObject*, const MsgUtils::TMsgId& oMsgId,
                     const std::u16string& sMsg) {
    std::u16string time = LogWindow::CurrentTimeText();
    fEnv.Observer->Logged(oMsgId.TypeNo(), sMsg);
    if (fWindow)
        fWindow->AppendLine(LogWindow::FormatLogLine(time, oMsgId.TypeNo(), sMsg));
    // Standard error always has the log, also beside a window; what a device sent must not
    // drive the terminal there, and a CR LF in it must show why a match failed.
    if (fEnv.Write)
        fEnv.Write(SysUtils::ToUtf8(LogWindow::FormatStderrLine(time, oMsgId.TypeNo(), sMsg)) +
                   "\n");
}

void TJob::HandleUncaughtException(const std::exception* E) {
    // An overflow has its own readable line already; it only ends the run here.
    if (!dynamic_cast<const PortBase::ERxCacheOverflow*>(E))
        MsgUtils::ReportFatal(MsgUtils::DescribeException(E));
    RequestFinish();
}

void TJob::Queue(void (TJob::*fnStep)()) {
    QMetaObject::invokeMethod(
        this, [this, fnStep] { RunQueued(fnStep); }, Qt::QueuedConnection);
}

void TJob::RunQueued(void (TJob::*fnStep)()) {
    // After a signal only the finishing is left to do.
    if (fbInterrupted && fnStep != &TJob::FinishJob)
        return;
    try {
        (this->*fnStep)();
    } catch (const std::exception& e) {
        HandleUncaughtException(&e);
    } catch (...) {
        HandleUncaughtException(nullptr);
    }
}

void TJob::RequestFinish() {
    fbFinishPosted = true;
    Queue(&TJob::FinishJob);
}

void TJob::Configure() {
    fStep = TStep::Configuration;
    LoadConfiguration();
    Queue(&TJob::OpenPort);
}

void TJob::LoadConfiguration() {
    TMsg::Info(u"Load configuration...", 0);
    const auto& args = fEnv.Args;
    std::u16string sUnknown;
    for (const auto& problem : CommandLine::UnknownArguments(args, Files::FileExists)) {
        if (!problem.Fatal)
            TMsg::Warning(u"%s", {problem.Text}, 0);
        else if (sUnknown.empty())
            sUnknown = problem.Text;
    }
    if (!sUnknown.empty())
        throw SysUtils::Exception(sUnknown);
    std::u16string v;
    bool bCfg = FindCmdLineOption(args, u"+CFG=", v) > 0;
    Configuration::TConfigChoice choice = Configuration::LocateConfiguration(
        Configuration::SystemConfigLookup(fEnv.ProgramPath), bCfg, v);
    if (!choice.CfgTried.empty())
        TMsg::Warning(u"%s", {Configuration::CfgNotFoundText(v, choice)}, 0);
    std::u16string sFile = choice.File;
    if (Files::FileExists(sFile)) {
        TMsg::Info(u"Load default from: %s", {sFile}, 0);
        fEnv.Observer->ConfigurationFile(sFile);
    } else {
        TMsg::Hint(u"%s", {Configuration::NoConfigurationText(choice)}, 0);
    }
    fIniFile = std::make_unique<IniFiles::TMemIniFile>(
        sFile, Files::ReadWholeFile(sFile, IniFiles::TMemIniFile::kMaxFileSize));
    for (const auto& warning : Configuration::UnknownIniEntries(*fIniFile))
        TMsg::Warning(u"%s", {warning}, 0);

    if (FindCmdLineOption(args, u"+Visible=", v) > 0)
        fIniFile->WriteString(u"GENERAL", u"Visible", v);
    if (fIniFile->ReadString(u"GENERAL", u"Visible", u"OnError") == u"Always") {
        ShowWindow();
        fbBoxes = true;
    }
    if (std::u16string visible = fIniFile->ReadString(u"GENERAL", u"Visible", u"OnError");
        visible != u"Always" && visible != u"Never" && visible != u"OnError")
        TMsg::Hint(u"Visible \"%s\" is none of Always, Never, OnError: it acts as \"OnError\"",
                   {visible}, 0);

    struct DeviceOption {
        const char16_t* option;
        const char16_t* name;
        void (*assign)(IniFiles::TMemIniFile&, const std::u16string&);
    };
    static const DeviceOption kDevices[] = {
        {u"+FTDI=", u"FTDI", Configuration::AssignFtdiSettings},
        {u"+RS232=", u"RS232", Configuration::AssignRs232Settings},
        {u"+UDP=", u"UDP", Configuration::AssignUdpSettings},
    };
    for (const auto& d : kDevices) {
        if (FindCmdLineOption(args, d.option, v) > 0) {
            TMsg::Info(u"Assign device %s and setting %s", {d.name, v}, 0);
            fIniFile->WriteString(u"DEVICE", u"Name", d.name);
            d.assign(*fIniFile, v);
        }
    }

    struct TextOption {
        const char16_t* option;
        const char16_t* message;
        const char16_t* section;
        const char16_t* key;
    };
    static const TextOption kTexts[] = {
        {u"+Initial=", u"Assign initial instruction: %s", u"INSTRUCTION", u"Initial"},
        {u"+Failure=", u"Assign instruction on failure: %s", u"INSTRUCTION", u"Failure"},
        {u"+Final=", u"Assign final instruction: %s", u"INSTRUCTION", u"Final"},
        {u"+Start=", u"Assign telegram start: %s", u"TELEGRAM", u"Start"},
        {u"+End=", u"Assign telegram end: %s", u"TELEGRAM", u"End"},
        {u"+Send=", u"Assign send data: %s", u"TELEGRAM", u"Send"},
        {u"+Response=", u"Assign expected response data: %s", u"TELEGRAM", u"Response"},
        {u"+Terminator=", u"Assign telegram terminator: %s", u"TELEGRAM", u"Terminator"},
        {u"+Gap=", u"Assign telegram gap: %s", u"TELEGRAM", u"Gap"},
        {u"+Match=", u"Assign response match: %s", u"TELEGRAM", u"Match"},
        {u"+Abort=", u"Assign abort response: %s", u"TELEGRAM", u"Abort"},
    };
    for (const auto& t : kTexts) {
        if (FindCmdLineOption(args, t.option, v) > 0) {
            TMsg::Info(t.message, {v}, 0);
            fIniFile->WriteString(t.section, t.key, v);
        }
    }
    fEnv.Observer->ConfigurationRead(*fIniFile);

    if (FindCmdLineOption(args, u"+Timeout=", v) > 0) {
        int32_t ms = SysUtils::StrToIntDef(v, -1);
        if (ms < 1)
            throw EMsg(u"Invalid time out value \"%s\"!", {v}, 0x01010A, 0);
        TMsg::Info(u"Assign time out: %d", {ms}, 0);
        fIniFile->WriteInteger(u"TELEGRAM", u"Timeout", ms);
    }
    std::u16string sTimeout = fIniFile->ReadString(u"TELEGRAM", u"Timeout", u"");
    int32_t iTimeout = 5000;
    if (!sTimeout.empty() && !SysUtils::TryStrToInt(sTimeout, iTimeout)) {
        iTimeout = 5000;
        TMsg::Warning(u"Timeout \"%s\" in [TELEGRAM] is not an integer: the default %d ms is used",
                      {sTimeout, iTimeout}, 0);
    }
    fTimeout.setInterval(iTimeout);
    // A telegram that cannot go on the wire is refused before the device is touched, not after
    // the port opened or the telegram went out.
    Configuration::CheckTelegramKeys(*fIniFile);
    Framing::CheckFramingKeys(*fIniFile);
    // A mistyped AcceptFrom must not quietly accept every sender.
    PortUdp::TAcceptFrom eAccept;
    if (std::u16string accept = fIniFile->ReadString(u"DEVICE", u"AcceptFrom", u"");
        !accept.empty() && !PortUdp::ParseAcceptFrom(accept, eAccept))
        throw EMsg(u"Invalid AcceptFrom \"%s\" (Any, Host or Destination)!", {accept}, 0x01010B, 0);
    // A wait setting that is no number of milliseconds is the configuration's fault.
    if (SysUtils::SameText(fIniFile->ReadString(u"DEVICE", u"Name", u""), u"FTDI"))
        PortFtdi::TPortFtdi::CheckWaitSettings(*fIniFile);
}

std::u16string TJob::ReadTelegramValue(const std::u16string& sKey) const {
    if (!fIniFile)
        return {};
    std::u16string value = fIniFile->ReadString(u"TELEGRAM", sKey, u"");
    return value.empty() ? value : EscTaggedString::TEscTaggedString::Transform(value);
}

std::u16string TJob::ReadGeneral(const std::u16string& sKey, const std::u16string& sDefault) const {
    return fIniFile ? fIniFile->ReadString(u"GENERAL", sKey, sDefault) : sDefault;
}

void TJob::OpenPort() {
    TMsg::Info(u"Open port...", 0);
    fStep = TStep::CreatePort;
    if (fPort)
        throw EMsg(0x01020A, 0);
    std::u16string name = fIniFile ? fIniFile->ReadString(u"DEVICE", u"Name", u"") : u"";
    for (const char16_t* known : PortFactory::kDeviceNames) {
        if (SysUtils::SameText(name, known)) {
            std::u16string sEnd = ReadTelegramValue(u"End");
            std::u16string sStart = ReadTelegramValue(u"Start");
            fPort = fEnv.CreatePort(known, sStart, sEnd);
            break;
        }
    }
    if (!fPort)
        throw EMsg(u"Device type \"%s\" not found!", {name}, 0x0103FF, 0);
    fStep = TStep::PortSettings;
    Framing::SetPortFraming(*fPort, ReadTelegramValue(u"Terminator"), Framing::GapMs(*fIniFile));
    fPort->SetOnDataReceived([this](MsgUtils::TObject* Sender) { PortDataReceived(Sender); });
    // The port tells of its open before Open returns; the exchange waits until Open is done.
    fPort->SetOnOpened([this](MsgUtils::TObject*) {
        fStep = TStep::Opened;
        fbOpened = true;
        fEnv.Observer->PortOpened();
    });
    fPort->SetOnClosed([this](MsgUtils::TObject* Sender) { PortClosed(Sender); });
    // A device lost while the response is awaited ends the wait at once (the port has logged
    // why); once the time-out has fired, its own finish request is already on its way.
    fPort->SetOnError([this](MsgUtils::TObject*) {
        if (fStep == TStep::Wait && (fTimeout.isActive() || fTimeout.interval() <= 0)) {
            fTimeout.stop();
            RequestFinish();
        }
    });
    fPort->Init(*fIniFile);
    fStep = TStep::Open;
    try {
        fPort->Open();
    } catch (const PortBase::EPortSettings&) {
        fStep = TStep::PortSettings;
        throw;
    }
    if (fbOpened)
        Exchange();
}

void TJob::Exchange() {
    if (!fPort)
        throw EMsg(0x01040A, 0);
    std::u16string initial = fIniFile->ReadString(u"INSTRUCTION", u"Initial", u"");
    if (!initial.empty()) {
        fStep = TStep::Initial;
        TMsg::Info(u"Run initial instruction(s): " + initial, 0);
        Instructions::Run(*fPort, initial);
    }
    std::u16string send = ReadTelegramValue(u"Send");
    if (!send.empty()) {
        fStep = TStep::Send;
        TMsg::Info(u"Send: " + send, 0);
        fPort->Send(send);
        fEnv.Observer->Sent(send);
    }
    Wildcard::TPattern response =
        Wildcard::ReadPattern(fIniFile->ReadString(u"TELEGRAM", u"Response", u""));
    Wildcard::TPattern abort =
        Wildcard::ReadPattern(fIniFile->ReadString(u"TELEGRAM", u"Abort", u""));
    fVerdict =
        Verdict::TVerdict(std::move(response), std::move(abort), Framing::MatchAny(*fIniFile));
    if (!fVerdict.Empty()) {
        fStep = TStep::Wait;
        TMsg::Info(u"Wait for expected response: " + fVerdict.Expected(), 0);
        StartTimeout();
        // A port that serves its device while a long telegram goes out keeps what came meanwhile
        // for this moment: no further event would announce it.
        if (fPort->GetDataCount() > 0)
            PortDataReceived(fPort.get());
    } else {
        if (send.empty())
            TMsg::Warning(u"Nothing to send and no response expected: the job exchanges nothing",
                          0);
        fStep = TStep::Finish;
        RequestFinish();
    }
}

void TJob::StartTimeout() {
    if (fbInterrupted)
        return;
    // An interval of 0 or below switches the time-out off: the wait then lasts until data comes.
    if (fTimeout.interval() > 0)
        fTimeout.start();
}

void TJob::PortDataReceived(MsgUtils::TObject*) {
    // Data from a port whose open failed is no answer to anything.
    if (fbInterrupted || !fbOpened || !fPort)
        return;
    bool bRaw = !fPort->Framed() && !fPort->LineFramed() && !fPort->GapFramed();
    // One delivery may complete several telegrams; each is looked at, in order.
    while (!fVerdict.Decided() && fPort->GetDataCount() > 0) {
        std::u16string data = fPort->GetData();
        if (data.empty())
            continue;
        if (fVerdict.Empty()) {
            TMsg::Info(u"Received: %s", {data}, 0);
            continue;
        }
        std::u16string judged;
        Verdict::TResult e = fVerdict.Judge(data, bRaw, fPort->MaxRxCache(), judged);
        fEnv.Observer->Judged(judged, e == Verdict::TResult::Passed);
        if (e == Verdict::TResult::Skipped)
            continue;
        fTimeout.stop();
        fStep = e == Verdict::TResult::Passed ? TStep::Finish : TStep::Response;
        RequestFinish();
    }
}

void TJob::TimeoutTimer() {
    fTimeout.stop();
    TMsg::Error(u"Time out!", 0);
    std::u16string unjudged = fPort ? fPort->Unjudged() : std::u16string();
    if (!unjudged.empty()) {
        TMsg::Hint(u"Received but not judged: %s", {unjudged}, 0);
        fEnv.Observer->Unjudged(unjudged);
    }
    if (fVerdict.WrongAtTimeout())
        fStep = TStep::Response;
    RequestFinish();
}

void TJob::FinishJob() {
    // A port whose Close already ran (and raised, staying active) is not closed again: every
    // further finish request would otherwise fail the same way, for ever.
    if (!fPort || fbCloseCalled || !fPort->Active()) {
        PortClosed(nullptr);
        return;
    }
    // Steps that went on after the signal (a send under way) do not change the verdict.
    if (!fFailed && (fbInterrupted || fStep != TStep::Finish))
        fFailed = fbInterrupted ? fInterruptedIn : fStep;
    try {
        if (!fFailed) {
            std::u16string final = fIniFile->ReadString(u"INSTRUCTION", u"Final", u"");
            if (!final.empty()) {
                fStep = TStep::Final;
                TMsg::Info(u"Run final instruction(s): " + final, 0);
                Instructions::Run(*fPort, final);
            }
        } else {
            std::u16string failure = fIniFile->ReadString(u"INSTRUCTION", u"Failure", u"");
            if (!failure.empty() && fPort->Active()) {
                fStep = TStep::Failure;
                TMsg::Info(u"Run instruction(s) after failure: " + failure, 0);
                Instructions::Run(*fPort, failure);
            }
        }
        fStep = TStep::Close;
    } catch (const std::exception& e) {
        // The run ends in the list that failed.
        MsgUtils::ReportFatal(MsgUtils::DescribeException(&e));
    }
    TMsg::Info(u"Close port...", 0);
    fbCloseCalled = true;
    fPort->Close();
}

void TJob::Interrupted(int iSignal) {
    TMsg::Fatal(SignalEvents::InterruptionText(iSignal), 0);
    fTimeout.stop();
    fbInterrupted = true;
    if (fiSignal == 0)
        fiSignal = iSignal;
    fEnv.Observer->Interrupted(iSignal);
    if (fbCloseCalled) {
        // The run is over; only the window kept the program.
        CloseWindow();
        return;
    }
    // The run ends as a failure of the step under way; a success waiting to be finished was
    // in its final step.
    fInterruptedIn = fStep == TStep::Finish ? TStep::Final : fStep;
    if (!fbFinishPosted)
        RequestFinish();
}

void TJob::PortClosed(MsgUtils::TObject*) {
    fEnv.Observer->PortClosed();
    if (int iCode = ExitCode(); iCode != ecSuccess) {
        TMsg::Info(u"Failed with exit code %d (0x%x)", {iCode, iCode}, 0);
        if (ReadGeneral(u"Visible", u"OnError") != u"Never")
            ShowWindow();
    } else {
        TMsg::Info(u"Done successfully", 0);
    }
    if (!WindowVisible())
        CloseWindow();
}

void TJob::ShowWindow() {
    if (fWindow)
        fWindow->Show();
}

void TJob::CloseWindow() {
    if (fbClosed)
        return;
    fbClosed = true;
    if (fWindow)
        fWindow->Hide();
    if (fEnv.Quit)
        fEnv.Quit();
}

} // namespace Job
