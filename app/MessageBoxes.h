#pragma once
// The message box of a message that nobody else took: which kind of box, with which prefix, is
// the application's choice, not the message service's.

namespace MessageBoxes {

/// Installs the message service's box hook: a modal box (or, without a display, a line on
/// standard error) for each message reported while no singleton and no fallback exist.
void Install();

} // namespace MessageBoxes
