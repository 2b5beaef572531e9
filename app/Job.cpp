#include "app/Job.h"

#include "app/Application.h"
#include "app/ExitCodes.h"
#include "app/Framing.h"
#include "app/Instructions.h"
#include "app/Verdict.h"
#include "common/SysUtils.h"
#include "platform/SignalEvents.h"

#include <QCoreApplication>

namespace Job {

using namespace ExitCodes;
using MsgUtils::EMsg;
using MsgUtils::TMsg;

TJob::TJob(TJobEnvironment env)
    : fEnv(std::move(env)),
      fLog(
          !fEnv.Headless && fEnv.CreateWindow ? fEnv.CreateWindow() : nullptr, fEnv.Write,
          [this](uint8_t e, const std::u16string& s) { fEnv.Observer->Logged(e, s); }, fEnv.Quit) {
    fTimeout.setInterval(5001);
    // The default coarse timer may end up to 5 % early: a device answering in time must never be
    // judged too late.
    fTimeout.setTimerType(Qt::PreciseTimer);
    QObject::connect(&fTimeout, &QTimer::timeout, this, [this] { TimeoutTimer(); });
    Application::SetExceptionHandler(
        [this](QObject*, const std::exception* E) { HandleUncaughtException(E); });
    SignalEvents::SetOnSignal([this](int iSignal) { Interrupted(iSignal); });
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
    fSettings.reset();
    Application::SetExceptionHandler(nullptr);
}

int TJob::ExitCode() const {
    // Past a failed step only failure instructions that fail as well change the code.
    return fFailed ? ExitCodeOf(*fFailed, fStep == TStep::Failure) : ExitCodeOf(fStep, false);
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
    TMsg::Info(u"Load configuration...", 0);
    fStep = TStep::Configuration;
    RunSettings::TBuildHooks hooks;
    hooks.FileFound = [this](const std::u16string& sFile) {
        fEnv.Observer->ConfigurationFile(sFile);
    };
    hooks.VisibleRead = [this](RunSettings::TVisible eVisible) {
        fVisible = eVisible;
        if (eVisible == RunSettings::TVisible::Always) {
            fLog.ShowWindow();
            fLog.ShowBoxes();
        }
    };
    hooks.OptionsRead = [this](const RunSettings::TRunSettings& aSettings) {
        fEnv.Observer->ConfigurationRead(aSettings);
    };
    fSettings = RunSettings::Build(fEnv.Args, fEnv.ProgramPath, hooks);
    fTimeout.setInterval(fSettings->TimeoutMs);
    Queue(&TJob::OpenPort);
}

void TJob::OpenPort() {
    TMsg::Info(u"Open port...", 0);
    fStep = TStep::CreatePort;
    if (fPort)
        throw EMsg(0x01020A, 0);
    if (!fSettings->DeviceKind.empty())
        fPort = fEnv.CreatePort(fSettings->DeviceKind, fSettings->Start, fSettings->End);
    if (!fPort)
        throw EMsg(u"Device type \"%s\" not found!", {fSettings->DeviceName}, 0x0103FF, 0);
    fStep = TStep::PortSettings;
    Framing::SetPortFraming(*fPort, fSettings->Terminator, fSettings->GapMs);
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
    fPort->Init(fSettings->Ini);
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
    const std::u16string& initial = fSettings->Initial;
    if (!initial.empty()) {
        fStep = TStep::Initial;
        TMsg::Info(u"Run initial instruction(s): " + initial, 0);
        Instructions::Run(*fPort, initial);
    }
    const std::u16string& send = fSettings->Send;
    if (!send.empty()) {
        fStep = TStep::Send;
        TMsg::Info(u"Send: " + send, 0);
        fPort->Send(send);
        fEnv.Observer->Sent(send);
    }
    fVerdict = Verdict::TVerdict(fSettings->Response, fSettings->Abort, fSettings->MatchAny);
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
            const std::u16string& final = fSettings->Final;
            if (!final.empty()) {
                fStep = TStep::Final;
                TMsg::Info(u"Run final instruction(s): " + final, 0);
                Instructions::Run(*fPort, final);
            }
        } else {
            const std::u16string& failure = fSettings->Failure;
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
        fLog.CloseWindow();
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
        if (fVisible != RunSettings::TVisible::Never)
            fLog.ShowWindow();
    } else {
        TMsg::Info(u"Done successfully", 0);
    }
    if (!fLog.WindowVisible())
        fLog.CloseWindow();
}

} // namespace Job
