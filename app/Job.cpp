#include "app/Job.h"

#include "app/Application.h"
#include "app/ExitCodes.h"
#include "app/Instructions.h"
#include "app/LogWindow.h"
#include "app/Version.h"
#include "app/Wildcard.h"
#include "common/SysUtils.h"
#include "platform/Dialogs.h"
#include "platform/SignalEvents.h"

#include <QCoreApplication>
#include <QEvent>

namespace Job {

using namespace ExitCodes;
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
    QCoreApplication::instance()->installEventFilter(this);
    Application::SetExceptionHandler(
        [this](QObject* Sender, const std::exception* E) { HandleUncaughtException(Sender, E); });
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
    fiExitCode = ecStartup;
    TMsg::Info(caption, 0);
    Post(WM_LOADCONFIG);
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
    fSettings.reset();
    TMsg::Instance()->SetOnAlert(nullptr);
    TMsg::Instance()->SetOnNewMsg(nullptr);
    Application::SetExceptionHandler(nullptr);
    QCoreApplication::instance()->removeEventFilter(this);
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

void TJob::HandleUncaughtException(QObject*, const std::exception* E) {
    std::u16string text;
    if (auto* e = dynamic_cast<const SysUtils::Exception*>(E))
        text = e->Message();
    else
        text = E ? SysUtils::FromUtf8(E->what()) : u"Unknown exception";
    // An overflow has its own readable line already; it only ends the run here.
    if (!dynamic_cast<const PortBase::ERxCacheOverflow*>(E))
        TMsg::Fatal(text, 0);
    if (auto* e = dynamic_cast<const SysUtils::Exception*>(E); e && !e->Hint().empty())
        TMsg::Hint(u"%s", {e->Hint()}, 0);
    Post(WM_FINISH);
}

void TJob::Post(TRequest request) {
    if (request == WM_FINISH)
        fbFinishPosted = true;
    QCoreApplication::postEvent(this, new QEvent(static_cast<QEvent::Type>(request)));
}

bool TJob::eventFilter(QObject* watched, QEvent* event) {
    const int type = static_cast<int>(event->type());
    if (fbInterrupted && (type == WM_LOADCONFIG || type == WM_OPENPORT))
        return true;
    switch (type) {
    case WM_LOADCONFIG:
        LoadConfiguration();
        return true;
    case WM_OPENPORT:
        OpenPort();
        return true;
    case WM_FINISH:
        FinishJob();
        return true;
    default:
        return QObject::eventFilter(watched, event);
    }
}

void TJob::LoadConfiguration() {
    TMsg::Info(u"Load configuration...", 0);
    fiExitCode = ecConfiguration;
    RunSettings::TBuildHooks hooks;
    hooks.FileFound = [this](const std::u16string& sFile) {
        fEnv.Observer->ConfigurationFile(sFile);
    };
    hooks.VisibleRead = [this](RunSettings::TVisible eVisible) {
        fVisible = eVisible;
        if (eVisible == RunSettings::TVisible::Always) {
            ShowWindow();
            fbBoxes = true;
        }
    };
    hooks.OptionsRead = [this](const RunSettings::TRunSettings& aSettings) {
        fEnv.Observer->ConfigurationRead(aSettings);
    };
    fSettings = RunSettings::Build(fEnv.Args, fEnv.ProgramPath, hooks);
    fTimeout.setInterval(fSettings->TimeoutMs);
    Post(WM_OPENPORT);
}

void TJob::OpenPort() {
    TMsg::Info(u"Open port...", 0);
    fiExitCode = ecUnknownDevice;
    if (fPort)
        throw EMsg(0x01020A, 0);
    std::u16string name = fSettings ? fSettings->DeviceName : u"";
    for (const char16_t* known : PortFactory::kDeviceNames) {
        if (SysUtils::SameText(name, known)) {
            fPort = fEnv.CreatePort(known, fSettings->Start, fSettings->End);
            break;
        }
    }
    if (!fPort)
        throw EMsg(u"Device type \"%s\" not found!", {name}, 0x0103FF, 0);
    fiExitCode = ecPortSettings;
    SetPortFraming();
    fPort->SetOnDataReceived([this](MsgUtils::TObject* Sender) { PortDataReceived(Sender); });
    fPort->SetOnOpened([this](MsgUtils::TObject* Sender) { PortOpened(Sender); });
    fPort->SetOnClosed([this](MsgUtils::TObject* Sender) { PortClosed(Sender); });
    // A device lost while the response is awaited ends the wait at once (the port has logged
    // why); once the time-out has fired, its own finish request is already on its way.
    fPort->SetOnError([this](MsgUtils::TObject*) {
        if (fiExitCode == ecResponseTimeout && (fTimeout.isActive() || fTimeout.interval() <= 0)) {
            fTimeout.stop();
            Post(WM_FINISH);
        }
    });
    fPort->Init(fSettings->Ini);
    fiExitCode = ecOpen;
    try {
        fPort->Open();
    } catch (const PortBase::EPortSettings&) {
        fiExitCode = ecPortSettings;
        throw;
    }
}

void TJob::SetPortFraming() {
    const std::u16string& sTerminator = fSettings->Terminator;
    int32_t iGap = fSettings->GapMs;
    if (fPort->Framed()) {
        if (!sTerminator.empty())
            TMsg::Warning(u"Terminator is ignored: Start and End frame the telegrams", 0);
        if (iGap > 0)
            TMsg::Warning(u"Gap is ignored: Start and End frame the telegrams", 0);
    } else if (!sTerminator.empty() && iGap > 0) {
        TMsg::Warning(u"Gap is ignored: Terminator frames the telegrams", 0);
    }
    fPort->SetTerminator(sTerminator);
    fPort->SetGap(iGap);
}

void TJob::PortOpened(MsgUtils::TObject*) {
    fiExitCode = ecPortVanished;
    if (!fPort)
        throw EMsg(0x01040A, 0);
    fbOpened = true;
    fEnv.Observer->PortOpened();
    const std::u16string& initial = fSettings->Initial;
    if (!initial.empty()) {
        fiExitCode = ecInitialInstruction;
        TMsg::Info(u"Run initial instruction(s): " + initial, 0);
        RunInstructions(initial);
    }
    const std::u16string& send = fSettings->Send;
    if (!send.empty()) {
        fiExitCode = ecSend;
        TMsg::Info(u"Send: " + send, 0);
        fPort->Send(send);
        fEnv.Observer->Sent(send);
    }
    fExpected = fSettings->Response;
    fAbort = fSettings->Abort;
    fbMatchAny = fSettings->MatchAny;
    fsExpectedResponse = fExpected.Display();
    if (!fsExpectedResponse.empty()) {
        fiExitCode = ecResponseTimeout;
        TMsg::Info(u"Wait for expected response: " + fsExpectedResponse, 0);
        StartTimeout();
        // A port that serves its device while a long telegram goes out keeps what came meanwhile
        // for this moment: no further event would announce it.
        if (fPort->GetDataCount() > 0)
            PortDataReceived(fPort.get());
    } else {
        if (send.empty())
            TMsg::Warning(u"Nothing to send and no response expected: the job exchanges nothing",
                          0);
        fiExitCode = ecSuccess;
        Post(WM_FINISH);
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
    // One delivery may complete several telegrams; each is looked at, in order.
    while (!fbDecided && fPort->GetDataCount() > 0) {
        std::u16string data = fPort->GetData();
        if (data.empty())
            continue;
        if (fExpected.empty())
            TMsg::Info(u"Received: %s", {data}, 0);
        else
            Judge(data);
    }
}

void TJob::Judge(const std::u16string& sData) {
    std::u16string data = sData;
    if (fbMatchAny && !fPort->Framed() && !fPort->LineFramed() && !fPort->GapFramed()) {
        // Unframed, an answer may come in pieces: it is judged whole each time it grows.
        fsRawSoFar += sData;
        if (fsRawSoFar.size() > static_cast<size_t>(std::max(fPort->MaxRxCache(), 0))) {
            TMsg::Error(PortBase::OverflowText(static_cast<int32_t>(fsRawSoFar.size()),
                                               fPort->MaxRxCache()),
                        0);
            fsRawSoFar = sData;
        }
        data = fsRawSoFar;
    }
    auto decide = [&](bool bPassed, int iCode) {
        fTimeout.stop();
        fEnv.Observer->Judged(data, bPassed);
        fiExitCode = iCode;
        Post(WM_FINISH);
    };
    if (!fAbort.empty() && Wildcard::MatchesWildcard(data, fAbort)) {
        TMsg::Error(u"Response aborted: \"%s\" = \"%s\"", {fAbort.Display(), data}, 0);
        fbDecided = true;
        decide(false, ecResponseMismatch);
    } else if (Wildcard::MatchesWildcard(data, fExpected)) {
        TMsg::Info(u"Response passed: \"%s\" = \"%s\"", {fsExpectedResponse, data}, 0);
        fbDecided = fbMatchAny;
        decide(true, ecSuccess);
    } else if (fbMatchAny) {
        TMsg::Info(u"Skipped: \"%s\" <> \"%s\"", {fsExpectedResponse, data}, 0);
        fEnv.Observer->Judged(data, false);
        fbSkipped = true;
        fsLastSkipped = data;
    } else {
        TMsg::Error(u"Response failed: \"%s\" <> \"%s\"", {fsExpectedResponse, data}, 0);
        // A later telegram may still fail a passed run, but never pass a failed one.
        fbDecided = true;
        decide(false, ecResponseMismatch);
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
    // Telegrams came and none matched: the answer was wrong, not missing.
    if (fbSkipped) {
        TMsg::Error(u"Response failed: \"%s\" <> \"%s\"", {fsExpectedResponse, fsLastSkipped}, 0);
        fiExitCode = ecResponseMismatch;
    }
    Post(WM_FINISH);
}

void TJob::FinishJob() {
    // A port whose Close already ran (and raised, staying active) is not closed again: every
    // further finish request would otherwise fail the same way, for ever.
    if (!fPort || fbCloseCalled || !fPort->Active()) {
        PortClosed(nullptr);
        return;
    }
    // Steps that went on after the signal (a send under way) do not change the verdict.
    if (fbInterrupted)
        fiExitCode = fiInterruptedCode;
    try {
        if (fiExitCode == ecSuccess) {
            const std::u16string& final = fSettings->Final;
            if (!final.empty()) {
                fiExitCode = ecFinalInstruction;
                TMsg::Info(u"Run final instruction(s): " + final, 0);
                RunInstructions(final);
                fiExitCode = ecSuccess;
            }
        } else {
            const std::u16string& failure = fSettings->Failure;
            if (!failure.empty() && fPort->Active()) {
                fiExitCode += ExitCodes::kFailureInstructionOffset;
                TMsg::Info(u"Run instruction(s) after failure: " + failure, 0);
                RunInstructions(failure);
                fiExitCode -= ExitCodes::kFailureInstructionOffset;
            }
        }
    } catch (const SysUtils::Exception& e) {
        TMsg::Fatal(e.Message(), 0);
    } catch (const std::exception& e) {
        TMsg::Fatal(SysUtils::FromUtf8(e.what()), 0);
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
    fiInterruptedCode = fiExitCode == ecSuccess ? ecFinalInstruction : fiExitCode;
    if (!fbFinishPosted)
        Post(WM_FINISH);
}

void TJob::PortClosed(MsgUtils::TObject*) {
    fEnv.Observer->PortClosed();
    if (fiExitCode != ecSuccess) {
        TMsg::Info(u"Failed with exit code %d (0x%x)", {fiExitCode, fiExitCode}, 0);
        if (fVisible != RunSettings::TVisible::Never)
            ShowWindow();
    } else {
        TMsg::Info(u"Done successfully", 0);
    }
    if (!WindowVisible())
        CloseWindow();
}

void TJob::RunInstructions(const std::u16string& sList) {
    std::vector<std::u16string> statements = Instructions::SplitInstructions(sList);
    for (size_t i = 0; i < statements.size(); ++i) {
        if (statements[i].empty())
            continue;
        if (!fPort->Instruct(statements[i]))
            throw EMsg(u"Port instruction \"%s\" unknown or failed!", {statements[i]}, 0x010500,
                       static_cast<int32_t>(i), 0);
    }
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
