#include "platform/MainThread.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace MainThread {

bool IsMainThread() {
    QCoreApplication* app = QCoreApplication::instance();
    return app == nullptr || QThread::currentThread() == app->thread();
}

void ProcessPendingEvents() {
    if (QCoreApplication::instance() != nullptr)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void ProcessHandOvers() {
    // Hand-overs are queued calls on the application object, and only those are delivered.
    if (QCoreApplication* app = QCoreApplication::instance())
        QCoreApplication::sendPostedEvents(app, QEvent::MetaCall);
}

struct THandOver::State {
    std::mutex m;
    std::condition_variable cv;
    bool cancelled = false;
    // Counts cancellations: a call queued before one must never run, even after Reset, because
    // its worker was released and has gone on.
    uint64_t generation = 0;
};

THandOver::THandOver() : fState(std::make_shared<State>()) {}

THandOver::~THandOver() {
    Cancel();
}

bool THandOver::Call(std::function<void()> fn) {
    QCoreApplication* app = QCoreApplication::instance();
    if (IsMainThread()) {
        fn();
        return true;
    }
    std::shared_ptr<State> st = fState;
    std::unique_lock<std::mutex> lock(st->m);
    if (st->cancelled)
        return false;
    uint64_t generation = st->generation;
    // Each call has its own flag: with several workers, calls need not run in the order in which
    // they were issued, so one worker's finished call says nothing about another's.
    auto done = std::make_shared<bool>(false);
    lock.unlock();
    QMetaObject::invokeMethod(
        app,
        [st, done, generation, fn = std::move(fn)] {
            {
                std::lock_guard<std::mutex> g(st->m);
                if (st->cancelled || st->generation != generation)
                    return;
            }
            // Marks the call finished however `fn` ends, so an exception cannot strand the worker.
            struct Finish {
                State* s;
                bool* d;
                ~Finish() {
                    std::lock_guard<std::mutex> g(s->m);
                    *d = true;
                    s->cv.notify_all();
                }
            } finish{st.get(), done.get()};
            fn();
        },
        Qt::QueuedConnection);
    lock.lock();
    st->cv.wait(lock, [&] { return st->cancelled || st->generation != generation || *done; });
    return *done;
}

void THandOver::Cancel() {
    std::lock_guard<std::mutex> g(fState->m);
    fState->cancelled = true;
    ++fState->generation;
    fState->cv.notify_all();
}

void THandOver::Reset() {
    std::lock_guard<std::mutex> g(fState->m);
    fState->cancelled = false;
}

} // namespace MainThread
