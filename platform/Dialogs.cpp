#include "platform/Dialogs.h"

#include "common/SysUtils.h"

#include <cstdio>

namespace Dialogs {

namespace {
TMessageBoxHook& Hook() {
    static TMessageBoxHook hook;
    return hook;
}
} // namespace

void SetMessageBoxHook(TMessageBoxHook hook) {
    Hook() = std::move(hook);
}

void ShowMessageBox(TMsgDlgType eType, const std::u16string& sText) {
    if (Hook()) {
        Hook()(eType, sText);
        return;
    }
    std::string line = SysUtils::ToUtf8(sText) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

} // namespace Dialogs
