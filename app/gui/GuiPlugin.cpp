#include "app/gui/GuiPlugin.h"

#include "app/Application.h"
#include "app/gui/LogWindowWidget.h"
#include "platform/Dialogs.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>

namespace {

void ShowModalBox(Dialogs::TMsgDlgType eType, const std::u16string& sText) {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (eType) {
    case Dialogs::TMsgDlgType::mtWarning:
        icon = QMessageBox::Warning;
        break;
    case Dialogs::TMsgDlgType::mtError:
        icon = QMessageBox::Critical;
        break;
    case Dialogs::TMsgDlgType::mtInformation:
        icon = QMessageBox::Information;
        break;
    case Dialogs::TMsgDlgType::mtCustom:
        break;
    }
    QMessageBox box(icon, QApplication::applicationName(), QString::fromStdU16String(sText),
                    QMessageBox::Ok);
    box.exec();
}

} // namespace

extern "C" __attribute__((visibility("default"))) QCoreApplication*
TelvikGuiCreateApplication(int& argc, char** argv, bool& bHeadless) {
    auto* app = new Application::TApplication<QApplication>(argc, argv);
    // The job decides when the program ends; a closed message box must not end it.
    app->setQuitOnLastWindowClosed(false);
    const QString platform = QGuiApplication::platformName();
    bHeadless = platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
    if (!bHeadless)
        Dialogs::SetMessageBoxHook(ShowModalBox);
    return app;
}

extern "C" __attribute__((visibility("default"))) LogWindow::ILogView* TelvikGuiCreateLogWindow() {
    return new LogWindow::TLogWindow();
}
