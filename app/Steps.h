#pragma once
// The steps of a run, from start-up to close, and the exit code each one ends a run with.

namespace Steps {

/// The steps of a run, in their order. A run that fails ends in the step that failed, and its
/// exit code names that step (ExitCodeOf).
enum class TStep {
    Startup,
    Configuration,
    CreatePort,
    PortSettings, ///< also a setting the device refused while it opened
    Open,
    Opened,
    Initial,
    Send,
    Wait,
    Response, ///< the response was wrong: only ever a failed step
    Finish,   ///< the exchange is over, the finishing on its way
    Final,
    Failure, ///< the failure instructions after a failed step
    Close,
};

/// The exit code of a run that ended in `eStep` (the step that failed; Close, or Finish before
/// it, when none did); `bFailureFailed`: the failure instructions after it failed too.
int ExitCodeOf(TStep eStep, bool bFailureFailed);

} // namespace Steps
