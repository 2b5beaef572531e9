#pragma once
// The log window itself: a tool window whose only content is the read-only log `fLogView`.

#include "app/LogWindow.h"

#include <QPlainTextEdit>
#include <QWidget>

namespace LogWindow {

class TLogWindow : public QWidget, public ILogView {
public:
    /// Client area 379 x 139, centred, Tahoma 11 px, hidden.
    TLogWindow();

    void AppendLine(const std::u16string& sLine) override;
    void SetCaption(const std::u16string& sCaption) override;
    void Show() override;
    void Hide() override;
    bool IsVisible() const override;
    void SetOnClosed(std::function<void()> onClosed) override { fOnClosed = std::move(onClosed); }

    QPlainTextEdit* LogView() const { return fLogView; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QPlainTextEdit* fLogView;
    std::function<void()> fOnClosed;
};

} // namespace LogWindow
