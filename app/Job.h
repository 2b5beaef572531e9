#pragma once
// The job driver: it runs the one job of the process: load the configuration, open the port,
// run the initial instructions, send the telegram, wait for the response or the time-out, run the
// final or failure instructions, close, report, and end with the exit code.

#include "app/PortFactory.h"
#include "app/RunSettings.h"
#include "app/Wildcard.h"
#include "common/MsgUtils.h"

#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace LogWindow {
class ILogView;
}

namespace Job {

/// The three requests the job posts to itself.
enum TRequest {
    WM_LOADCONFIG = 1024 + 10,
    WM_OPENPORT = 1024 + 20,
    WM_FINISH = 1024 + 30,
};

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
    /// Sets the caption, the time-out timer, the log subscription, exit code 95, the first log
    /// line, and posts the load request.
    explicit TJob(TJobEnvironment env);
    /// Frees the port (without its closing events), then the settings.
    ~TJob() override;

    int ExitCode() const { return fiExitCode; }
    /// The signal that ended the run, 0 when none did.
    int Signal() const { return fiSignal; }
    bool WindowVisible() const;
    LogWindow::ILogView* Window() const { return fWindow.get(); }
    PortBase::TPortBase* Port() const { return fPort.get(); }
    int TimeoutInterval() const { return fTimeout.interval(); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void MsgNewMsg(MsgUtils::TObject* Sender, const MsgUtils::TMsgId& oMsgId,
                   const std::u16string& sMsg);
    void HandleUncaughtException(QObject* Sender, const std::exception* E);
    void Post(TRequest request);

    void LoadConfiguration();
    void OpenPort();
    void PortOpened(MsgUtils::TObject* Sender);
    void PortDataReceived(MsgUtils::TObject* Sender);
    /// Judges one non-empty telegram (in raw mode with Match=Any: all data since the send).
    void Judge(const std::u16string& sData);
    /// Hands Terminator and Gap to the port, with a warning for what its marks override.
    void SetPortFraming();
    void TimeoutTimer();
    void FinishJob();
    void PortClosed(MsgUtils::TObject* Sender);
    /// SIGINT, SIGTERM or SIGHUP came: the run ends as a failure of its current step.
    void Interrupted(int iSignal);
    void RunInstructions(const std::u16string& sList);

    void ShowWindow();
    void CloseWindow();
    void StartTimeout();

    TJobEnvironment fEnv;
    std::unique_ptr<const RunSettings::TRunSettings> fSettings;
    /// Known once the settings have read it; a run that fails before acts as OnError.
    RunSettings::TVisible fVisible = RunSettings::TVisible::OnError;
    std::unique_ptr<PortBase::TPortBase> fPort;
    std::u16string fsExpectedResponse; ///< the pattern as the log shows it
    Wildcard::TPattern fExpected;
    Wildcard::TPattern fAbort;
    bool fbMatchAny = false;
    bool fbDecided = false;       ///< the wait is over: nothing more is judged
    bool fbSkipped = false;       ///< Match=Any let a telegram pass by
    std::u16string fsLastSkipped; ///< ... this one, the last
    std::u16string fsRawSoFar;    ///< raw mode with Match=Any: everything since the send
    std::unique_ptr<LogWindow::ILogView> fWindow;
    QTimer fTimeout;
    int fiExitCode = 0;
    bool fbCloseCalled = false;  ///< the port's Close ran once; never again
    bool fbClosed = false;       ///< the window was closed and the loop told to end
    bool fbFinishPosted = false; ///< a finish request is on its way
    bool fbInterrupted = false;  ///< a signal ended the run
    int fiInterruptedCode = 0;   ///< the code of the step the signal ended
    int fiSignal = 0;            ///< the first signal
    bool fbOpened = false;       ///< the port's open succeeded
    bool fbBoxes = false;        ///< "Always": alerts show a modal box beside their log line
};

} // namespace Job
