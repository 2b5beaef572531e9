#include "app/Application.h"

#include <cstdio>

namespace Application {

namespace {
TExceptionHandler& Handler() {
    static TExceptionHandler handler;
    return handler;
}
} // namespace

void SetExceptionHandler(TExceptionHandler handler) {
    Handler() = std::move(handler);
}

void HandleException(QObject* Sender, const std::exception* E) {
    if (Handler()) {
        Handler()(Sender, E);
        return;
    }
    std::fprintf(stderr, "Unhandled exception: %s\n", E ? E->what() : "unknown");
}

} // namespace Application
