#include "app/gui/LogWindowWidget.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QTextBlock>
#include <QTextCursor>
#include <QVBoxLayout>

namespace LogWindow {

TLogWindow::TLogWindow() : fMemo1(new QPlainTextEdit(this)) {
    setWindowFlags(Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setAttribute(Qt::WA_QuitOnClose, false);
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(11);
    setFont(font);
    fMemo1->setReadOnly(true);
    fMemo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    fMemo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    fMemo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(fMemo1);
    resize(379, 139);
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void TLogWindow::AppendLine(const std::u16string& sLine) {
    QTextDocument* doc = fMemo1->document();
    if (doc->blockCount() > kMaxLines) {
        // One edit instead of one per line, with painting held until the log is short again.
        fMemo1->setUpdatesEnabled(false);
        QTextCursor cursor(doc);
        cursor.movePosition(QTextCursor::Start);
        QTextBlock keep = doc->findBlockByNumber(doc->blockCount() - kKeptLines);
        cursor.setPosition(keep.position(), QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
        fMemo1->setUpdatesEnabled(true);
    }
    fMemo1->appendPlainText(QString::fromStdU16String(sLine));
    // The view follows the text cursor (also when the window is first shown). Left at the end
    // of a long line, it scrolls sideways and cuts off the time of every line; at the start of
    // the newest line, it shows the start of the lines and the newest one.
    QTextCursor cursor(doc);
    cursor.movePosition(QTextCursor::End);
    cursor.movePosition(QTextCursor::StartOfBlock);
    fMemo1->setTextCursor(cursor);
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
