#pragma once
// The job's log: one line per message, "hh:nn:ss.zzz", a blank, a 7-character level prefix and
// the text; shown in a small tool window, or written to standard error when headless.

#include <QPlainTextEdit>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <string>

namespace LogWindow {

/// The text with every CR LF pair made one blank and the level prefix of `byTypeNo` in front
/// ("[%d] %s" for a level outside 1..7).
std::u16string LevelText(uint8_t byTypeNo, const std::u16string& sMsg);
/// The local time as "hh:nn:ss.zzz".
std::u16string CurrentTimeText();
/// "%s %s" of the time and LevelText.
std::u16string FormatLogLine(const std::u16string& sTime, uint8_t byTypeNo,
                             const std::u16string& sMsg);

/// The main window's face: a tool window whose only content is the read-only log `Memo1`.
class TLogWindow : public QWidget {
public:
    static constexpr int kMaxLines = 800;  ///< more than this trims the log ...
    static constexpr int kKeptLines = 500; ///< ... to this many newest lines

    TLogWindow();

    /// Appends one line, first trimming the oldest lines when the log holds more than kMaxLines.
    void AppendLine(const std::u16string& sLine);
    /// Called when the user closes the window.
    void SetOnClosed(std::function<void()> onClosed) { fOnClosed = std::move(onClosed); }

    QPlainTextEdit* Memo1() const { return fMemo1; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QPlainTextEdit* fMemo1;
    std::function<void()> fOnClosed;
};

} // namespace LogWindow
