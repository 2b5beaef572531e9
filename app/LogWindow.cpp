#include "app/LogWindow.h"

#include "common/SysUtils.h"

#include <QTime>

namespace LogWindow {

std::u16string OneLine(const std::u16string& sMsg) {
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
    return text;
}

std::u16string LevelText(uint8_t byTypeNo, const std::u16string& sMsg) {
    std::u16string text = OneLine(sMsg);
    static const char16_t* const kPrefix[] = {u"Debug: ", u"Trace: ", u"Info:  ", u"Hint:  ",
                                              u"Warn:  ", u"Error: ", u"Fatal: "};
    if (byTypeNo >= 1 && byTypeNo <= 7)
        return kPrefix[byTypeNo - 1] + text;
    return SysUtils::Format(u"[%d] %s", {byTypeNo, text});
}

std::u16string EscapeControls(const std::u16string& sLine) {
    std::u16string text;
    text.reserve(sLine.size());
    for (char16_t c : sLine) {
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F))
            text += SysUtils::Format(u"\\x%.2x", {static_cast<int>(c)});
        else
            text += c;
    }
    return text;
}

std::u16string FormatStderrLine(const std::u16string& sTime, uint8_t byTypeNo,
                                const std::u16string& sMsg) {
    size_t id = sMsg.rfind(u"\r\nID: ");
    std::u16string text;
    if (id != std::u16string::npos && sMsg.find_first_of(u"\r\n", id + 2) == std::u16string::npos)
        text = EscapeControls(sMsg.substr(0, id)) + u" " + EscapeControls(sMsg.substr(id + 2));
    else
        text = EscapeControls(sMsg);
    return FormatLogLine(sTime, byTypeNo, text);
}

std::u16string CurrentTimeText() {
    return QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz")).toStdU16String();
}

std::u16string FormatLogLine(const std::u16string& sTime, uint8_t byTypeNo,
                             const std::u16string& sMsg) {
    return SysUtils::Format(u"%s %s", {sTime, LevelText(byTypeNo, sMsg)});
}

} // namespace LogWindow
