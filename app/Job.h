#pragma once
// The job driver: it runs the one job of the process: load the configuration, open the port,
// run the initial instructions, send the telegram, wait for the response or the time-out, run the
// final or failure instructions, close, report, and end with the exit code.

#include "app/PortFactory.h"
#include "app/RunLog.h"
#include "app/RunSettings.h"
#include "app/Steps.h"
#include "app/Verdict.h"
#include "common/MsgUtils.h"

#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace LogWindow {
class ILogView;
}

namespace Job {

using Steps::TStep;

/// Told what the run did, as it happens, for a report after it (app/RunReport). Every call
/// does nothing unless overridden.
class IJobObserver {
public:
    virtual ~IJobObserver() = default;
    /// The file and the options are in; the device is named, the time-out not yet checked.
    virtual void ConfigurationRead(const RunSettings::TRunSettings&) {}
    /// The configuration file loaded; not called when none exists.
    virtual void ConfigurationFile(const std::u16string&) {}
    /// A signal ended the run.
    virtual void Interrupted(int) {}
    virtual void PortOpened() {}
    virtual void Sent(const std::u16string&) {}
    /// Every piece of received data, with the verdict of its comparison.
    virtual void Judged(const std::u16string&, bool) {}
    /// What had arrived and was never judged when the wait timed out.
    virtual void Unjudged(const std::u16string&) {}
    virtual void PortClosed() {}
    virtual void Logged(uint8_t, const std::u16string&) {}
};

/// What the job is given from outside, so that tests can run it in process.
struct TJobEnvironment {
    std::vector<std::u16string> Args; ///< argument 0 is the program and never searched
    std::u16string ProgramPath;       ///< the default configuration sits beside it
    PortFactory::TPortCreator CreatePort = PortFactory::CreateProgramPort;
    bool Headless = true; ///< no window can exist
    /// Creates the (hidden) log window; used only when not headless.
    std::function<std::unique_ptr<LogWindow::ILogView>()> CreateWindow;
    std::function<void(const std::string&)> Write; ///< headless log output (UTF-8 line + LF)
    std::function<void()> Quit;                    ///< ends the message loop
    std::shared_ptr<IJobObserver> Observer = std::make_shared<IJobObserver>();
};

class TJob : public QObject {
public:
    /// Sets the caption, the time-out timer, the log subscription, the first log line, and
    /// queues the configuration step.
    explicit TJob(TJobEnvironment env);
    /// Frees the port (without its closing events), then the settings.
    ~TJob() override;

    /// The code of the run if it ended now: a step under way counts as failing until it is done.
    int ExitCode() const;
    /// The signal that ended the run, 0 when none did.
    int Signal() const { return fiSignal; }
    bool WindowVisible() const { return fLog.WindowVisible(); }
    LogWindow::ILogView* Window() const { return fLog.Window(); }
    PortBase::TPortBase* Port() const { return fPort.get(); }
    int TimeoutInterval() const { return fTimeout.interval(); }

private:
    /// An exception left a step or a port's event: the run ends in the step under way.
    void HandleUncaughtException(const std::exception* E);
    /// The steps follow each other through these: `fnStep` runs from the event loop once the
    /// current event is done, and what it raises reaches HandleUncaughtException.
    void Queue(void (TJob::*fnStep)());
    void RunQueued(void (TJob::*fnStep)());
    void RequestFinish();

    /// Builds the settings: the configuration step.
    void Configure();
    void OpenPort();
    /// The initial instructions, the send and the start of the wait, once the port is open.
    void Exchange();
    void PortDataReceived(MsgUtils::TObject* Sender);
    void TimeoutTimer();
    void FinishJob();
    void PortClosed(MsgUtils::TObject* Sender);
    /// SIGINT, SIGTERM or SIGHUP came: the run ends as a failure of its current step.
    void Interrupted(int iSignal);

    void StartTimeout();

    TJobEnvironment fEnv;
    /// Before the port: what the port says while it is freed still reaches the log.
    RunLog::TRunLog fLog;
    std::unique_ptr<const RunSettings::TRunSettings> fSettings;
    /// Known once the settings have read it; a run that fails before acts as OnError.
    RunSettings::TVisible fVisible = RunSettings::TVisible::OnError;
    std::unique_ptr<PortBase::TPortBase> fPort;
    Verdict::TVerdict fVerdict;
    QTimer fTimeout;
    TStep fStep = TStep::Startup;          ///< the step under way, or the last one done
    TStep fInterruptedIn = TStep::Startup; ///< the step a signal ended
    std::optional<TStep> fFailed;          ///< the finishing run failed in this step
    bool fbCloseCalled = false;            ///< the port's Close ran once; never again
    bool fbFinishPosted = false;           ///< a finish request is on its way
    bool fbInterrupted = false;            ///< a signal ended the run
    int fiSignal = 0;                      ///< the first signal
    bool fbOpened = false;                 ///< the port's open succeeded
};

} // namespace Job
