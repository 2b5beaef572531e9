#pragma once
// The job's log: one line per message, "hh:nn:ss.zzz", a blank, a 7-character level prefix and
// the text; shown in a small tool window, or written to standard error when headless.

#include <cstdint>
#include <functional>
#include <string>

namespace LogWindow {

/// The message on one line, as the log shows it: a CR LF pair (the id line of an exception)
/// becomes one blank.
std::u16string OneLine(const std::u16string& sMsg);
/// OneLine with the level prefix of `byTypeNo` in front ("[%d] %s" for a level outside 1..7).
std::u16string LevelText(uint8_t byTypeNo, const std::u16string& sMsg);
/// The local time as "hh:nn:ss.zzz".
std::u16string CurrentTimeText();
/// "%s %s" of the time and LevelText.
std::u16string FormatLogLine(const std::u16string& sTime, uint8_t byTypeNo,
                             const std::u16string& sMsg);

/// The log line as standard error shows it: every control character of the message escaped
/// (EscapeControls), device data's CR LF too; only the break before an exception's id line stays
/// the one blank the window shows.
std::u16string FormatStderrLine(const std::u16string& sTime, uint8_t byTypeNo,
                                const std::u16string& sMsg);

/// `sLine` with every control character (below 0x20, 0x7F, 0x80..0x9F) as "\x1B", so that text
/// from a device cannot drive a terminal it is printed on.
std::u16string EscapeControls(const std::u16string& sLine);

/// The main window's face as the job sees it. The widget itself lives in the window plug-in
/// (app/gui), which is loaded only when a display exists, so that headless runs never load the
/// toolkit's widget libraries.
class ILogView {
public:
    static constexpr int kMaxLines = 800;  ///< more than this trims the log ...
    static constexpr int kKeptLines = 500; ///< ... to this many newest lines

    virtual ~ILogView() = default;
    /// Appends one line, first trimming the oldest lines when the log holds more than kMaxLines.
    virtual void AppendLine(const std::u16string& sLine) = 0;
    virtual void SetCaption(const std::u16string& sCaption) = 0;
    virtual void Show() = 0;
    virtual void Hide() = 0;
    virtual bool IsVisible() const = 0;
    /// Called when the user closes the window.
    virtual void SetOnClosed(std::function<void()> onClosed) = 0;
};

} // namespace LogWindow
