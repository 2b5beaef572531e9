#include "platform/LibraryEvent.h"

#include <cerrno>
#include <ctime>
#include <pthread.h>

namespace LibraryEvent {

namespace {

// The structure the FTDI library's Linux build reads through the pointer it is given.
struct TEventHandle {
    pthread_cond_t eCondVar;
    pthread_mutex_t eMutex;
    int iVar;
};
static_assert(sizeof(TEventHandle) == 96, "the library expects a 96-byte event structure");

} // namespace

struct TLibraryEvent::TImpl {
    TEventHandle handle;
};

TLibraryEvent::TLibraryEvent() : fImpl(std::make_unique<TImpl>()) {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    // Time-outs must not stretch or shrink when the wall clock is set.
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&fImpl->handle.eCondVar, &attr);
    pthread_condattr_destroy(&attr);
    pthread_mutex_init(&fImpl->handle.eMutex, nullptr);
    fImpl->handle.iVar = 0;
}

TLibraryEvent::~TLibraryEvent() {
    pthread_cond_destroy(&fImpl->handle.eCondVar);
    pthread_mutex_destroy(&fImpl->handle.eMutex);
}

void* TLibraryEvent::NotificationHandle() {
    return &fImpl->handle;
}

namespace {

timespec Deadline(uint32_t dwMilliseconds) {
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += dwMilliseconds / 1000;
    until.tv_nsec += static_cast<long>(dwMilliseconds % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    return until;
}

} // namespace

void TLibraryEvent::WaitFor(uint32_t dwMilliseconds) {
    timespec until = Deadline(dwMilliseconds);
    pthread_mutex_lock(&fImpl->handle.eMutex);
    pthread_cond_timedwait(&fImpl->handle.eCondVar, &fImpl->handle.eMutex, &until);
    pthread_mutex_unlock(&fImpl->handle.eMutex);
}

bool TLibraryEvent::WaitUnless(const std::function<bool()>& fnReady, uint32_t dwMilliseconds) {
    timespec until = Deadline(dwMilliseconds);
    pthread_mutex_lock(&fImpl->handle.eMutex);
    bool bReady = false;
    try {
        bReady = fnReady();
    } catch (...) {
        pthread_mutex_unlock(&fImpl->handle.eMutex);
        throw;
    }
    if (!bReady)
        pthread_cond_timedwait(&fImpl->handle.eCondVar, &fImpl->handle.eMutex, &until);
    pthread_mutex_unlock(&fImpl->handle.eMutex);
    return bReady;
}

void TLibraryEvent::Signal() {
    pthread_mutex_lock(&fImpl->handle.eMutex);
    pthread_cond_signal(&fImpl->handle.eCondVar);
    pthread_mutex_unlock(&fImpl->handle.eMutex);
}

size_t TLibraryEvent::HandleSize() {
    return sizeof(TEventHandle);
}

} // namespace LibraryEvent
