#pragma once
// The window plug-in's entry points. The program loads libtelvik_gui.so only when a display is
// named, so that headless runs (scripts, test stations) never load the widget libraries, which
// cost most of a run's start-up.

#include <QCoreApplication>

namespace LogWindow {
class ILogView;
}

extern "C" {

/// Creates the widget application (with the program's exception hook). Sets `bHeadless` when the
/// display could not be opened and Qt fell back to its offscreen platform; otherwise installs
/// the modal message box.
QCoreApplication* TelvikGuiCreateApplication(int& argc, char** argv, bool& bHeadless);
using TTelvikGuiCreateApplication = QCoreApplication* (*)(int&, char**, bool&);

/// A new, hidden log window.
LogWindow::ILogView* TelvikGuiCreateLogWindow();
using TTelvikGuiCreateLogWindow = LogWindow::ILogView* (*)();
}
