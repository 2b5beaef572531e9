#pragma once
// The event object a device library signals from its own threads: on Linux the FTDI library
// takes the address of a condition variable, its mutex and a word, and signals the condition
// under the mutex. Free of platform types; the layout lives in LibraryEvent.cpp.

#include <cstdint>
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
    /// Wakes a waiter at once, as the library would.
    void Signal();

    /// The byte size of the structure the library expects.
    static size_t HandleSize();

private:
    struct TImpl;
    std::unique_ptr<TImpl> fImpl;
};

} // namespace LibraryEvent
