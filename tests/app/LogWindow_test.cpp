#include "TestUtils.h"
#include "app/LogWindow.h"
#include "app/gui/LogWindowWidget.h"

#include <QCoreApplication>
#include <QScrollBar>
#include <QTextBlock>
#include <gtest/gtest.h>

using namespace LogWindow;

TEST(LogLine, LevelPrefixesAndLineBreaks) {
    EXPECT_EQ(FormatLogLine(u"12:00:01.002", 3, u"Load configuration..."),
              u"12:00:01.002 Info:  Load configuration...");
    EXPECT_EQ(LevelText(1, u"x"), u"Debug: x");
    EXPECT_EQ(LevelText(5, u"x"), u"Warn:  x");
    EXPECT_EQ(LevelText(7, u"Bad\r\nID: 01020A:0"), u"Fatal: Bad ID: 01020A:0");
    EXPECT_EQ(LevelText(0, u"x"), u"[0] x");
    EXPECT_EQ(LevelText(200, u"x"), u"[200] x");
    EXPECT_EQ(LevelText(3, u"a\nb\rc\r\n"), u"Info:  a\nb\rc ");
}

TEST(LogLine, ControlCharactersAreEscapedForATerminal) {
    EXPECT_EQ(EscapeControls(u"a\x1B[31m\x07\n\x7F\x9B\u00E4\\x"),
              u"a\\x1B[31m\\x07\\x0A\\x7F\\x9B\u00E4\\x");
    // On standard error a device's CR LF shows; only the break before an id line is one blank.
    EXPECT_EQ(FormatStderrLine(u"t", 6, u"\"OK\" <> \"OK\r\n\""),
              u"t Error: \"OK\" <> \"OK\\x0D\\x0A\"");
    EXPECT_EQ(FormatStderrLine(u"t", 7, u"A\r\nB\r\nID: 01020A:0"),
              u"t Fatal: A\\x0D\\x0AB ID: 01020A:0");
}

TEST(LogLine, TimeHasHoursMinutesSecondsAndMilliseconds) {
    std::u16string t = CurrentTimeText();
    ASSERT_EQ(t.size(), 12u);
    EXPECT_EQ(t[2], u':');
    EXPECT_EQ(t[5], u':');
    EXPECT_EQ(t[8], u'.');
}

TEST(LogWindowWidget, ReadOnlyNoWrapAndTrimmedFrom800To500) {
    TLogWindow w;
    EXPECT_TRUE(w.LogView()->isReadOnly());
    EXPECT_EQ(w.LogView()->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_EQ(w.size(), QSize(379, 139));
    for (int i = 1; i <= 801; ++i)
        w.AppendLine(u"line " + SysUtils::IntToStr(i));
    EXPECT_EQ(w.LogView()->document()->blockCount(), 801);
    w.AppendLine(u"line 802");
    EXPECT_EQ(w.LogView()->document()->blockCount(), 501);
    EXPECT_EQ(w.LogView()->document()->firstBlock().text(), QStringLiteral("line 302"));
    EXPECT_EQ(w.LogView()->document()->lastBlock().text(), QStringLiteral("line 802"));
}

TEST(LogWindowWidget, ViewShowsTheStartOfTheLinesAndTheNewestLine) {
    // The window is shown with a long line last (a failure shows it at the end of the run), and
    // lines keep coming after it.
    TLogWindow w;
    auto append = [&](int i) {
        w.AppendLine(u"12:00:00.000 Info:  line " + SysUtils::IntToStr(i) +
                     (i % 20 == 0 ? std::u16string(400, u'x') : u""));
    };
    for (int i = 1; i <= 20; ++i)
        append(i);
    w.Show();
    for (int i = 21; i <= 41; ++i) {
        QCoreApplication::processEvents();
        EXPECT_EQ(w.LogView()->horizontalScrollBar()->value(), 0) << "before line " << i;
        append(i);
    }
    QCoreApplication::processEvents();
    EXPECT_GT(w.LogView()->horizontalScrollBar()->maximum(), 0);
    EXPECT_EQ(w.LogView()->verticalScrollBar()->value(),
              w.LogView()->verticalScrollBar()->maximum());
    EXPECT_GT(w.LogView()->verticalScrollBar()->maximum(), 0);
}
