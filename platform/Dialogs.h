#pragma once
// The modal message box with one OK button. Free of Qt types so that the system's own code can
// call it; the Qt implementation lives in Dialogs.cpp.

#include <functional>
#include <string>

namespace Dialogs {

enum class TMsgDlgType { mtWarning, mtError, mtInformation, mtCustom };

/// Shows `sText` in a modal box of kind `eType` with one OK button and returns when it is closed.
/// Without a display (RunMode::IsHeadless), writes the text to standard error and returns
/// at once, so that an unattended run never waits for a click.
void ShowMessageBox(TMsgDlgType eType, const std::u16string& sText);

/// Replaces the box for tests; an empty function restores it.
using TMessageBoxHook = std::function<void(TMsgDlgType, const std::u16string&)>;
void SetMessageBoxHook(TMessageBoxHook hook);

} // namespace Dialogs
