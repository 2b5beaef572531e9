#include "app/Application.h"

#include "common/MsgUtils.h"

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
    // Without a job there is no run to end; the log still shows what went wrong.
    MsgUtils::ReportFatal(MsgUtils::DescribeException(E), u"Unhandled exception: ");
}

} // namespace Application
