#include "platform/Dialogs.h"

#include "common/SysUtils.h"

#include <cstdio>

namespace Dialogs {

namespace {
TMessageBoxHook& Hook() {
    static TMessageBoxHook hook;
    return hook;
}
bool gSuppressed = false;
} // namespace

void SetMessageBoxHook(TMessageBoxHook hook) {
    Hook() = std::move(hook);
}

void SetBoxesSuppressed(bool bSuppressed) {
    gSuppressed = bSuppressed;
}

void ShowMessageBox(TMsgDlgType eType, const std::u16string& sText) {
    if (Hook() && !gSuppressed) {
        Hook()(eType, sText);
        return;
    }
    std::string line = SysUtils::ToUtf8(sText) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

} // namespace Dialogs
