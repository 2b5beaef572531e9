#pragma once
// The signals that end a run from outside (SIGINT: Ctrl-C, SIGTERM: a batch's time limit, SIGHUP:
// a closed terminal) as events of the main loop, so that the run can end through its own steps:
// failure instructions, closing the port, the final report. A second signal ends the process at
// once, giving back the exclusive use of the serial devices still open.

#include <cstddef>
#include <functional>
#include <string>

namespace SignalEvents {

/// Catches the three signals from now on. The event loop hands the first to the handler set by
/// SetOnSignal. Needs the application object; calling it again starts afresh.
void Install();
/// Restores the default actions and forgets a signal not yet handled.
void Uninstall();
/// The receiver of the first signal, called from the event loop (none: nullptr).
void SetOnSignal(std::function<void(int iSignal)> onSignal);
/// Takes the signal received and not yet handed over; 0 when there is none.
int Take();
/// Waits `iMs` milliseconds, never less, unless a signal comes first: then it is taken and
/// answered, and the wait ends; otherwise 0.
int Sleep(int iMs);
/// "SIGTERM" and the like.
std::u16string SignalName(int iSignal);
/// The log text of a run ended by the signal: "Interrupted by signal SIGTERM".
std::u16string InterruptionText(int iSignal);

/// A device descriptor held for exclusive use (TIOCEXCL) that a second signal gives back before
/// the process ends: first `iSize` bytes of terminal settings through the ioctl `dwRequest`
/// (none when `iSize` is 0), then the exclusive flag. ReleaseDevice when it is closed normally.
void HoldDevice(int iFd, unsigned long dwRequest = 0, const void* pSettings = nullptr,
                size_t iSize = 0);
void ReleaseDevice(int iFd);

} // namespace SignalEvents
