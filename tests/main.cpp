// The test program: one application object for the whole run, as the program has, so that
// event-loop, hand-over and widget code can be tested in process.

#include "app/Application.h"
#include "app/MessageBoxes.h"
#include "platform/Dialogs.h"

#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The program's own application class, so that exceptions leaving a handler reach the job.
    Application::TApplication<QApplication> app(argc, argv);
    // A modal box would wait for a click nobody gives; tests that care install their own hook.
    Dialogs::SetMessageBoxHook([](Dialogs::TMsgDlgType, const std::u16string&) {});
    // The program's own choice of box for a message nobody took, which the box tests observe.
    MessageBoxes::Install();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
