#include "app/RunLog.h"

#include "app/Version.h"
#include "common/MsgUtils.h"
#include "common/SysUtils.h"
#include "platform/Dialogs.h"

namespace RunLog {

using MsgUtils::TMsg;

TRunLog::TRunLog(std::unique_ptr<LogWindow::ILogView> window, TWrite write, TLogged logged,
                 std::function<void()> quit)
    : fWindow(std::move(window)), fWrite(std::move(write)), fLogged(std::move(logged)),
      fQuit(std::move(quit)) {
    // The trailing blank is part of the caption stations have always seen.
    std::u16string caption =
        SysUtils::Format(u"%s V%s ", {u"Telvik", SysUtils::FromUtf8(Version::kVersion)});
    if (fWindow) {
        fWindow->SetCaption(caption);
        // The user closing the window ends the loop; the port goes with the window.
        fWindow->SetOnClosed([this] {
            if (!fbClosed) {
                fbClosed = true;
                if (fQuit)
                    fQuit();
            }
        });
    }
    TMsg::Instance()->SetOnNewMsg(
        [this](MsgUtils::TObject*, const MsgUtils::TMsgId& oMsgId, const std::u16string& sMsg) {
            std::u16string time = LogWindow::CurrentTimeText();
            if (fLogged)
                fLogged(oMsgId.TypeNo(), sMsg);
            if (fWindow)
                fWindow->AppendLine(LogWindow::FormatLogLine(time, oMsgId.TypeNo(), sMsg));
            // Standard error always has the log, also beside a window; what a device sent must not
            // drive the terminal there, and a CR LF in it must show why a match failed.
            if (fWrite)
                fWrite(SysUtils::ToUtf8(LogWindow::FormatStderrLine(time, oMsgId.TypeNo(), sMsg)) +
                       "\n");
        });
    // The text is in the log already. A box would hold the run, the port open, until someone
    // comes: only a window that stays shown anyway may add one.
    TMsg::Instance()->SetOnAlert([this](MsgUtils::TMsgTypeId e, const std::u16string& sMsg) {
        if (fWindow && fbBoxes)
            Dialogs::ShowMessageBox(e >= MsgUtils::eError     ? Dialogs::TMsgDlgType::mtError
                                    : e == MsgUtils::eWarning ? Dialogs::TMsgDlgType::mtWarning
                                                              : Dialogs::TMsgDlgType::mtInformation,
                                    sMsg);
    });
    TMsg::Info(caption, 0);
}

TRunLog::~TRunLog() {
    TMsg::Instance()->SetOnAlert(nullptr);
    TMsg::Instance()->SetOnNewMsg(nullptr);
}

void TRunLog::ShowWindow() {
    if (fWindow)
        fWindow->Show();
}

void TRunLog::CloseWindow() {
    if (fbClosed)
        return;
    fbClosed = true;
    if (fWindow)
        fWindow->Hide();
    if (fQuit)
        fQuit();
}

} // namespace RunLog
