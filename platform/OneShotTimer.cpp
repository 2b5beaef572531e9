#include "platform/OneShotTimer.h"

#include <QTimer>

namespace OneShotTimer {

namespace {

class TQtTimer : public IOneShotTimer {
public:
    explicit TQtTimer(std::function<void()> onTimeout) {
        fTimer.setSingleShot(true);
        // A coarse timer may end up to 5 % early, which would cut a slow frame in two.
        fTimer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&fTimer, &QTimer::timeout, [fn = std::move(onTimeout)] { fn(); });
    }
    void Start(int iMs) override { fTimer.start(iMs); }
    void Stop() override { fTimer.stop(); }
    bool IsActive() const override { return fTimer.isActive(); }

private:
    QTimer fTimer;
};

} // namespace

std::unique_ptr<IOneShotTimer> Create(std::function<void()> onTimeout) {
    return std::make_unique<TQtTimer>(std::move(onTimeout));
}

} // namespace OneShotTimer
