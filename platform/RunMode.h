#pragma once
// Whether this run has a display. Without one no window can exist: log lines go to standard
// error, message boxes become text there, and the program always ends after the run.

namespace RunMode {

/// Decided once at start-up (see app/main.cpp); true until then.
bool IsHeadless();
void SetHeadless(bool bHeadless);

} // namespace RunMode
