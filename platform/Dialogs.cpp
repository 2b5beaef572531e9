#include "platform/Dialogs.h"

#include "common/SysUtils.h"
#include "platform/RunMode.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>

namespace Dialogs {

namespace {
TMessageBoxHook& Hook() {
    static TMessageBoxHook hook;
    return hook;
}
} // namespace

void SetMessageBoxHook(TMessageBoxHook hook) {
    Hook() = std::move(hook);
}

void ShowMessageBox(TMsgDlgType eType, const std::u16string& sText) {
    if (Hook()) {
        Hook()(eType, sText);
        return;
    }
    if (RunMode::IsHeadless() || qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        std::string line = SysUtils::ToUtf8(sText) + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
        return;
    }
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (eType) {
    case TMsgDlgType::mtWarning:
        icon = QMessageBox::Warning;
        break;
    case TMsgDlgType::mtError:
        icon = QMessageBox::Critical;
        break;
    case TMsgDlgType::mtInformation:
        icon = QMessageBox::Information;
        break;
    case TMsgDlgType::mtCustom:
        break;
    }
    QMessageBox box(icon, QApplication::applicationName(), QString::fromStdU16String(sText),
                    QMessageBox::Ok);
    box.exec();
}

} // namespace Dialogs
