#include "app/RunReport.h"

#include "app/ExitCodes.h"
#include "app/LogWindow.h"
#include "common/MsgUtils.h"
#include "platform/SignalEvents.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <cstdio>

namespace RunReport {

namespace {

QString Q(const std::u16string& s) {
    return QString::fromStdU16String(s);
}

QJsonObject TelegramJson(const std::u16string& sData) {
    return {{"text", QString::fromStdString(EscapedText(sData))},
            {"hex", QString::fromStdString(HexText(sData))}};
}

// Milliseconds between two moments of the run, to the microsecond; null when one never came.
QJsonValue Milliseconds(const std::optional<std::chrono::steady_clock::time_point>& from,
                        const std::optional<std::chrono::steady_clock::time_point>& to) {
    if (!from || !to || *to < *from)
        return QJsonValue::Null;
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(*to - *from).count();
    return static_cast<double>(us) / 1000.0;
}

QJsonArray TextsJson(const std::vector<std::u16string>& texts) {
    QJsonArray a;
    for (const auto& t : texts)
        a.append(Q(t));
    return a;
}

} // namespace

std::string EscapedText(const std::u16string& sData) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char16_t c : sData) {
        if (c == u'\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += kHex[(c >> 4) & 0xF];
            out += kHex[c & 0xF];
        }
    }
    return out;
}

std::string HexText(const std::u16string& sData) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char16_t c : sData) {
        if (!out.empty())
            out += ' ';
        out += kHex[(c >> 4) & 0xF];
        out += kHex[c & 0xF];
    }
    return out;
}

void TRunReport::ConfigurationRead(const RunSettings::TRunSettings& aSettings) {
    fOutput = aSettings.Output;
    fsPortKind = aSettings.DeviceName;
    fsDevice = aSettings.Device;
}

void TRunReport::ConfigurationFile(const std::u16string& sFile) {
    fConfiguration = sFile;
}

void TRunReport::Interrupted(int iSignal) {
    if (fiSignal == 0)
        fiSignal = iSignal;
}

void TRunReport::PortOpened() {
    if (!fOpened)
        fOpened = TClock::now();
}

void TRunReport::Sent(const std::u16string& sData) {
    fSentAt = TClock::now();
    fSent = sData;
}

void TRunReport::Judged(const std::u16string& sData, bool bPassed) {
    fJudgedAt = TClock::now();
    fReceived.push_back({sData, bPassed});
}

void TRunReport::Unjudged(const std::u16string& sData) {
    fUnjudged = sData;
}

void TRunReport::PortClosed() {
    if (!fClosed)
        fClosed = TClock::now();
}

void TRunReport::Logged(uint8_t byLevel, const std::u16string& sMsg) {
    // As standard error shows them: a device's ESC must not reach a terminal through jq -r.
    std::u16string text = LogWindow::EscapeControls(LogWindow::OneLine(sMsg));
    if (byLevel == MsgUtils::eFatal)
        fFatal.push_back(text);
    else if (byLevel == MsgUtils::eError)
        fErrors.push_back(text);
    else if (byLevel == MsgUtils::eWarning)
        fWarnings.push_back(text);
}

std::string TRunReport::Text(int iExitCode) const {
    // A run that failed before its settings were read has the command line's output alone.
    switch (fOutput.value_or(feUnread)) {
    case TOutput::toResponse: {
        if (fReceived.empty())
            return {};
        // The bytes as they came: character n is byte n.
        std::string bytes;
        for (char16_t c : fReceived.back().data)
            bytes += static_cast<char>(c);
        return bytes;
    }
    case TOutput::toJson:
        return JsonLine(iExitCode);
    case TOutput::toNone:
        break;
    }
    return {};
}

std::string TRunReport::JsonLine(int iExitCode) const {
    QJsonArray received;
    for (const auto& t : fReceived) {
        QJsonObject o = TelegramJson(t.data);
        o.insert("passed", t.passed);
        received.append(o);
    }
    const char* verdict =
        fReceived.empty() ? "none" : (fReceived.back().passed ? "passed" : "failed");
    QJsonObject o{
        {"exitCode", iExitCode},
        {"exitMeaning", fiSignal != 0
                            ? Q(u"interrupted by " + SignalEvents::SignalName(fiSignal))
                            : QString::fromStdString(ExitCodes::ExitCodeMeaning(iExitCode))},
        {"signal", fiSignal != 0 ? QJsonValue(Q(SignalEvents::SignalName(fiSignal)))
                                 : QJsonValue(QJsonValue::Null)},
        {"configuration",
         fConfiguration ? QJsonValue(Q(*fConfiguration)) : QJsonValue(QJsonValue::Null)},
        {"portKind", Q(fsPortKind)},
        {"device", Q(fsDevice)},
        {"sent", fSent ? QJsonValue(TelegramJson(*fSent)) : QJsonValue(QJsonValue::Null)},
        {"received", received},
        {"unjudged",
         fUnjudged ? QJsonValue(TelegramJson(*fUnjudged)) : QJsonValue(QJsonValue::Null)},
        {"verdict", verdict},
        {"openToCloseMs", Milliseconds(fOpened, fClosed)},
        {"sendToResponseMs", Milliseconds(fSentAt, fJudgedAt)},
        {"fatal", TextsJson(fFatal)},
        {"errors", TextsJson(fErrors)},
        {"warnings", TextsJson(fWarnings)},
    };
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString() + "\n";
}

bool TRunReport::Write(int iExitCode) const {
    std::string text = Text(iExitCode);
    if (text.empty())
        return true;
    bool bWritten = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    return std::fflush(stdout) == 0 && bWritten;
}

} // namespace RunReport
