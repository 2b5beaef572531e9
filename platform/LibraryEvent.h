#pragma once
// The event object a device library signals from its own threads: on Linux the FTDI library
// takes the address of a condition variable, its mutex and a word, and signals the condition
// under the mutex. Free of platform types; the layout lives in LibraryEvent.cpp.

#include <cstdint>
#include <functional>
#include <memory>

namespace LibraryEvent {

class TLibraryEvent {
public:
    TLibraryEvent();
    ~TLibraryEvent();
    TLibraryEvent(const TLibraryEvent&) = delete;
    TLibraryEvent& operator=(const TLibraryEvent&) = delete;

    /// The address to hand to the library's notification call. It stays valid for the object's
    /// life, so the library must be done with it (device closed) before the object goes.
    void* NotificationHandle();
    /// Waits until the event is signalled or `dwMilliseconds` have passed. A signal given while
    /// nobody waits is not kept (as the library's own contract has it): callers poll after every
    /// wake-up, whatever woke them.
    void WaitFor(uint32_t dwMilliseconds);
    /// Asks `fnReady` while holding the event's mutex and waits (at most `dwMilliseconds`) only
    /// when it answers false; answers what `fnReady` answered. The library signals under that
    /// mutex, so a signal given between the question and the wait still wakes the wait.
    bool WaitUnless(const std::function<bool()>& fnReady, uint32_t dwMilliseconds);
    /// Wakes a waiter at once, as the library would.
    void Signal();

    /// The byte size of the structure the library expects.
    static size_t HandleSize();

private:
    struct TImpl;
    std::unique_ptr<TImpl> fImpl;
};

} // namespace LibraryEvent
