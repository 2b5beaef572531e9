// Telvik: one short exchange with a device, reported through the exit code.

#include "app/Application.h"
#include "app/CommandLine.h"
#include "app/Configuration.h"
#include "app/ExitCodes.h"
#include "app/Job.h"
#include "app/LogWindow.h"
#include "app/MessageBoxes.h"
#include "app/RunReport.h"
#include "app/RunSettings.h"
#include "app/gui/GuiPlugin.h"
#include "common/MsgUtils.h"
#include "common/SysUtils.h"
#include "platform/DynLib.h"
#include "platform/Files.h"
#include "platform/RunMode.h"
#include "platform/SignalEvents.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

bool Set(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0';
}

// The window plug-in beside the program (build tree), or where the install put it.
DynLib::TLibHandle LoadWindowPlugin(const std::u16string& sProgram, std::string& sError) {
    for (const char16_t* relative :
         {u"libtelvik_gui.so", TELVIK_GUI_INSTALL_DIR u"/libtelvik_gui.so"}) {
        std::u16string path = Files::CombinePath(sProgram, relative);
        if (!Files::FileExists(path))
            continue;
        if (DynLib::TLibHandle h = DynLib::LoadLibrary(SysUtils::ToUtf8(path)))
            return h;
        sError = DynLib::LastLoadError();
    }
    if (sError.empty())
        sError = "libtelvik_gui.so not found beside the program";
    return nullptr;
}

// A closed standard stream would hand its number to the next file opened, the serial device
// among them, and the log would go to the device: each one gets /dev/null opened for reading,
// where every write fails as it did on the closed stream.
void KeepStandardStreamsTaken() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        int n = ::open("/dev/null", O_RDONLY);
        if (n >= 0 && n != fd) {
            ::dup2(n, fd);
            ::close(n);
        }
    }
}

// Ends the process once the run is reported and its port closed. A normal exit would run the
// D2XX library's exit-time clean-up, which waits out its own thread's 100 ms poll: a tenth of a
// second on every FTDI run for nothing the caller can see. The standard streams are all that is
// left to keep, so they are flushed first; a sanitizer build still checks for leaks.
[[noreturn]] void EndProcess(int exitCode) {
    std::fflush(stdout);
    std::fflush(stderr);
#if defined(__SANITIZE_ADDRESS__)
    __lsan_do_leak_check();
#endif
    std::_Exit(exitCode);
}

} // namespace

int main(int argc, char** argv) {
    // A reader that went away (| head -c1) must not end the run before it has closed its port.
    std::signal(SIGPIPE, SIG_IGN);
    KeepStandardStreamsTaken();
    MessageBoxes::Install();
    // --help, --version and --list answer at once: no configuration, no port, no display.
    if (CommandLine::TImmediateAction eAction =
            CommandLine::FindImmediateAction(std::vector<std::string>(argv, argv + argc));
        eAction != CommandLine::iaNone)
        return CommandLine::RunImmediateAction(eAction, stdout);

    // The arguments as the shell split them, before the toolkit takes its own out of argv.
    std::vector<std::u16string> args;
    for (int i = 0; i < argc; ++i)
        args.push_back(SysUtils::FromUtf8(argv[i]));
    std::u16string program = Files::ProgramPath();
    // Outside the job's life a message is a log line on standard error as well, never a box.
    MsgUtils::TMsg::SetFallback([](MsgUtils::TMsgTypeId e, const std::u16string& sMsg) {
        std::string line = SysUtils::ToUtf8(LogWindow::EscapeControls(
                               LogWindow::FormatLogLine(LogWindow::CurrentTimeText(), e, sMsg))) +
                           "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
    });

    std::unique_ptr<QCoreApplication> app;
    TTelvikGuiCreateLogWindow createWindow = nullptr;
    bool headless = true;
    if (Set("DISPLAY") || Set("WAYLAND_DISPLAY")) {
        // A display that cannot be opened falls back to no display instead of aborting the run.
        if (!Set("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM",
                    Set("WAYLAND_DISPLAY") ? "wayland;xcb;offscreen" : "xcb;offscreen");
        std::string error;
        if (DynLib::TLibHandle gui = LoadWindowPlugin(program, error)) {
            auto create = reinterpret_cast<TTelvikGuiCreateApplication>(
                DynLib::GetProcAddress(gui, "TelvikGuiCreateApplication"));
            createWindow = reinterpret_cast<TTelvikGuiCreateLogWindow>(
                DynLib::GetProcAddress(gui, "TelvikGuiCreateLogWindow"));
            if (create && createWindow)
                app.reset(create(argc, argv, headless));
            // The plug-in stays loaded for the life of the process: the application is its.
        } else {
            std::fprintf(stderr, "telvik: no window (%s); running without one\n", error.c_str());
        }
    }
    if (!app) {
        createWindow = nullptr; // windows need the plug-in's application
        app = std::make_unique<Application::TApplication<QCoreApplication>>(argc, argv);
    }
    RunMode::SetHeadless(headless);
    SignalEvents::Install();

    Job::TJobEnvironment env;
    env.Args = std::move(args);
    env.ProgramPath = program;
    env.Headless = headless;
    if (createWindow)
        env.CreateWindow = [createWindow] {
            return std::unique_ptr<LogWindow::ILogView>(createWindow());
        };
    env.Write = [](const std::string& line) {
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
    };
    env.Quit = [] { QCoreApplication::exit(0); };
    auto report = std::make_shared<RunReport::TRunReport>(RunSettings::CommandLineOutput(env.Args));
    env.Observer = report;

    auto job = std::make_unique<Job::TJob>(std::move(env));
    QCoreApplication::exec();
    int exitCode = job->ExitCode();
    int iSignal = job->Signal();
    job.reset();
    MsgUtils::TMsg::InstanceRelease();
    if (!report->Write(exitCode)) {
        int e = errno;
        // The job and its subscriber are gone: the line takes the fallback.
        MsgUtils::TMsg::Error(u"Output: the answer could not be written to standard output: %s",
                              {SysUtils::FromUtf8(std::strerror(e))}, 0);
        if (exitCode == ExitCodes::ecSuccess)
            exitCode = ExitCodes::ecOutput;
    }
    if (iSignal != 0) {
        // Ended by the signal, as the caller asked: a shell sees 128+n and stops its loop.
        SignalEvents::Uninstall();
        std::fflush(nullptr);
        ::raise(iSignal);
    }
    EndProcess(exitCode);
}
