#pragma once
// The application object with the hook for exceptions that leave an event handler: a port's
// events (data, a device lost, a driver thread's hand-over) arrive as event handlers, and a
// failure in any of them must be reported and end the run through its normal closing path
// instead of terminating the process.

#include <QCoreApplication>
#include <exception>
#include <functional>

namespace Application {

/// Receives every exception that leaves an event handler: the receiver and the exception (null
/// for one that is no std::exception).
using TExceptionHandler = std::function<void(QObject* Sender, const std::exception* E)>;

void SetExceptionHandler(TExceptionHandler handler);
/// Hands an escaped exception to the handler; without one, writes it to standard error.
void HandleException(QObject* Sender, const std::exception* E);

/// `Base` (QCoreApplication, or QApplication in the window plug-in) whose notify() catches what a
/// handler lets escape.
template <class Base> class TApplication : public Base {
public:
    TApplication(int& argc, char** argv) : Base(argc, argv) {}

    bool notify(QObject* receiver, QEvent* event) override {
        try {
            return Base::notify(receiver, event);
        } catch (const std::exception& e) {
            HandleException(receiver, &e);
        } catch (...) {
            HandleException(receiver, nullptr);
        }
        return false;
    }
};

using TCoreApplication = TApplication<QCoreApplication>;

} // namespace Application
