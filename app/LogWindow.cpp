#include "app/LogWindow.h"

#include "common/SysUtils.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QTextBlock>
#include <QTextCursor>
#include <QTime>
#include <QVBoxLayout>

namespace LogWindow {

std::u16string LevelText(uint8_t byTypeNo, const std::u16string& sMsg) {
    std::u16string text;
    text.reserve(sMsg.size());
    for (size_t i = 0; i < sMsg.size(); ++i) {
        if (sMsg[i] == u'\r' && i + 1 < sMsg.size() && sMsg[i + 1] == u'\n') {
            text += u' ';
            ++i;
        } else {
            text += sMsg[i];
        }
    }
    static const char16_t* const kPrefix[] = {u"Debug: ", u"Trace: ", u"Info:  ", u"Hint:  ",
                                              u"Warn:  ", u"Error: ", u"Fatal: "};
    if (byTypeNo >= 1 && byTypeNo <= 7)
        return kPrefix[byTypeNo - 1] + text;
    return SysUtils::Format(u"[%d] %s", {byTypeNo, text});
}

std::u16string CurrentTimeText() {
    return QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz")).toStdU16String();
}

std::u16string FormatLogLine(const std::u16string& sTime, uint8_t byTypeNo,
                             const std::u16string& sMsg) {
    return SysUtils::Format(u"%s %s", {sTime, LevelText(byTypeNo, sMsg)});
}

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
}

void TLogWindow::closeEvent(QCloseEvent* event) {
    event->accept();
    if (fOnClosed)
        fOnClosed();
}

} // namespace LogWindow
