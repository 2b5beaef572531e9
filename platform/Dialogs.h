#pragma once
// The modal message box with one OK button. Free of Qt types so that the system's own code can
// call it. The box itself is installed by the window plug-in when a display exists (app/gui);
// until then, and in every headless run, the text goes to standard error.

#include <functional>
#include <string>

namespace Dialogs {

enum class TMsgDlgType { mtWarning, mtError, mtInformation, mtCustom };

/// Shows `sText` in a modal box of kind `eType` with one OK button and returns when it is closed.
/// Without an installed box (no display), writes the text to standard error and returns at once,
/// so that an unattended run never waits for a click.
void ShowMessageBox(TMsgDlgType eType, const std::u16string& sText);

/// Installs the box (the window plug-in does; tests install their own); an empty function goes
/// back to standard error.
using TMessageBoxHook = std::function<void(TMsgDlgType, const std::u16string&)>;
void SetMessageBoxHook(TMessageBoxHook hook);

} // namespace Dialogs
