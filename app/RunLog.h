#pragma once
// The run's log and its window: every message of the run becomes a line on standard error, in
// the window when there is one, and a call for the report; the window is shown, and the message
// loop ended, as the job decides.

#include "app/LogWindow.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace RunLog {

class TRunLog {
public:
    using TWrite = std::function<void(const std::string&)>;
    using TLogged = std::function<void(uint8_t byLevel, const std::u16string& sMsg)>;

    /// Subscribes to the message service and logs the caption, the program and its version, as
    /// the first line. `window` may be null (headless); `quit` ends the message loop, once, when
    /// the window is closed by the user or by CloseWindow.
    TRunLog(std::unique_ptr<LogWindow::ILogView> window, TWrite write, TLogged logged,
            std::function<void()> quit);
    /// Leaves the message service; messages after it take its fallback.
    ~TRunLog();
    TRunLog(const TRunLog&) = delete;
    TRunLog& operator=(const TRunLog&) = delete;

    /// "Always": alerts show a modal box beside their log line from now on.
    void ShowBoxes() { fbBoxes = true; }
    void ShowWindow();
    /// Hides the window and ends the message loop; the second call does nothing.
    void CloseWindow();
    bool WindowVisible() const { return fWindow && fWindow->IsVisible(); }
    LogWindow::ILogView* Window() const { return fWindow.get(); }

private:
    std::unique_ptr<LogWindow::ILogView> fWindow;
    TWrite fWrite;
    TLogged fLogged;
    std::function<void()> fQuit;
    bool fbBoxes = false;
    bool fbClosed = false; ///< the window was closed and the loop told to end
};

} // namespace RunLog
