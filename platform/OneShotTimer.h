#pragma once
// A single-shot timer of the main thread's event loop, for the port base's quiet-gap framing,
// which must stay free of the toolkit's types.

#include <functional>
#include <memory>

namespace OneShotTimer {

class IOneShotTimer {
public:
    virtual ~IOneShotTimer() = default;
    /// (Re)starts the timer: the handler runs once, `iMs` milliseconds from now, never earlier.
    virtual void Start(int iMs) = 0;
    virtual void Stop() = 0;
    virtual bool IsActive() const = 0;
};

/// A timer of the calling thread's event loop that calls `onTimeout` when it runs out.
std::unique_ptr<IOneShotTimer> Create(std::function<void()> onTimeout);

} // namespace OneShotTimer
