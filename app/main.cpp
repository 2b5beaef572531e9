// Telvik: one short exchange with a device, reported through the exit code.

#include "app/Application.h"
#include "app/Configuration.h"
#include "app/formMain.h"
#include "common/SysUtils.h"
#include "platform/RunMode.h"

#include <QGuiApplication>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

bool Set(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0';
}

} // namespace

int main(int argc, char** argv) {
    // The arguments as the shell split them, before the toolkit takes its own out of argv.
    std::vector<std::u16string> args;
    for (int i = 0; i < argc; ++i)
        args.push_back(SysUtils::FromUtf8(argv[i]));

    std::unique_ptr<QCoreApplication> app;
    bool headless = true;
    if (Set("DISPLAY") || Set("WAYLAND_DISPLAY")) {
        // A display that cannot be opened falls back to no display instead of aborting the run.
        if (!Set("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", Set("WAYLAND_DISPLAY") ? "wayland;xcb;offscreen"
                                                              : "xcb;offscreen");
        auto gui = std::make_unique<Application::TGuiApplication>(argc, argv);
        // The job decides when the program ends; a closed message box must not end it.
        gui->setQuitOnLastWindowClosed(false);
        app = std::move(gui);
        const QString platform = QGuiApplication::platformName();
        headless = platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
    } else {
        app = std::make_unique<Application::TCoreApplication>(argc, argv);
    }
    RunMode::SetHeadless(headless);

    formMain::TJobEnvironment env;
    env.Args = std::move(args);
    env.ProgramPath = Configuration::ProgramPath();
    env.Headless = headless;
    env.Write = [](const std::string& line) {
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
    };
    env.Quit = [] { QCoreApplication::exit(0); };

    auto frmMain = std::make_unique<formMain::TfrmMain>(std::move(env));
    QCoreApplication::exec();
    int exitCode = frmMain->ExitCode();
    frmMain.reset();
    return exitCode;
}
