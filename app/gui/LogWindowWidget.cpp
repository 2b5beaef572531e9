#include "app/gui/LogWindowWidget.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QTextBlock>
#include <QTextCursor>
#include <QVBoxLayout>

namespace LogWindow {

TLogWindow::TLogWindow() : fLogView(new QPlainTextEdit(this)) {
    setWindowFlags(Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setAttribute(Qt::WA_QuitOnClose, false);
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(11);
    setFont(font);
    fLogView->setReadOnly(true);
    fLogView->setLineWrapMode(QPlainTextEdit::NoWrap);
    fLogView->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    fLogView->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(fLogView);
    resize(379, 139);
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void TLogWindow::AppendLine(const std::u16string& sLine) {
    QTextDocument* doc = fLogView->document();
    if (doc->blockCount() > kMaxLines) {
        // One edit instead of one per line, with painting held until the log is short again.
        fLogView->setUpdatesEnabled(false);
        QTextCursor cursor(doc);
        cursor.movePosition(QTextCursor::Start);
        QTextBlock keep = doc->findBlockByNumber(doc->blockCount() - kKeptLines);
        cursor.setPosition(keep.position(), QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
        fLogView->setUpdatesEnabled(true);
    }
    fLogView->appendPlainText(QString::fromStdU16String(sLine));
    // The view follows the text cursor (also when the window is first shown). Left at the end
    // of a long line, it scrolls sideways and cuts off the time of every line; at the start of
    // the newest line, it shows the start of the lines and the newest one.
    QTextCursor cursor(doc);
    cursor.movePosition(QTextCursor::End);
    cursor.movePosition(QTextCursor::StartOfBlock);
    fLogView->setTextCursor(cursor);
}

void TLogWindow::SetCaption(const std::u16string& sCaption) {
    setWindowTitle(QString::fromStdU16String(sCaption));
}

void TLogWindow::Show() {
    show();
    raise();
}

void TLogWindow::Hide() {
    hide();
}

bool TLogWindow::IsVisible() const {
    return isVisible();
}

void TLogWindow::closeEvent(QCloseEvent* event) {
    event->accept();
    if (fOnClosed)
        fOnClosed();
}

} // namespace LogWindow
