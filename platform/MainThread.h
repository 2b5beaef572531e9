#pragma once
// The blocking hand-over of a call from a worker thread to the main thread, made cancellable so
// that the main thread can stop a worker without waiting for a hand-over that it would itself
// have to serve.

#include <functional>
#include <memory>

namespace MainThread {

/// True in the thread that runs the application's event loop (or when there is no application).
bool IsMainThread();

/// Runs the event loop's pending events once; for waits in the main thread that must keep
/// hand-overs flowing.
void ProcessPendingEvents();

/// Runs only the hand-overs waiting for the main thread: for waits that must keep workers going
/// without running the job's own requests in the middle of a step.
void ProcessHandOvers();

class THandOver {
public:
    THandOver();
    ~THandOver();
    THandOver(const THandOver&) = delete;
    THandOver& operator=(const THandOver&) = delete;

    /// From a worker: queues `fn` on the main thread's event loop and blocks until it has run
    /// (true) or the hand-over was cancelled (false; `fn` then never runs). From the main thread,
    /// or without an application, runs `fn` at once. An exception leaving `fn` goes to the event
    /// loop's exception hook; the worker is released all the same.
    bool Call(std::function<void()> fn);

    /// Main thread: releases a worker waiting in Call; a call queued before this never runs,
    /// not even after Reset(), and later Calls return false without running until Reset().
    void Cancel();
    /// Allows calls again (after the worker was stopped).
    void Reset();

private:
    struct State;
    std::shared_ptr<State> fState;
};

} // namespace MainThread
