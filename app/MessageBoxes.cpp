#include "app/MessageBoxes.h"

#include "common/MsgUtils.h"
#include "platform/Dialogs.h"

namespace MessageBoxes {

using Dialogs::TMsgDlgType;
using MsgUtils::TReportForm;

namespace {

// What the box shows, and which kind of box it is for the two id forms.
struct BoxRule {
    const char16_t* prefix;
    TMsgDlgType forId;
    TMsgDlgType forParts;
};

BoxRule RuleOf(MsgUtils::TMsgTypeId e) {
    switch (e) {
    case MsgUtils::eDebug:
        return {u"Debug: ", TMsgDlgType::mtInformation, TMsgDlgType::mtInformation};
    case MsgUtils::eTrace:
        return {u"Trace: ", TMsgDlgType::mtInformation, TMsgDlgType::mtInformation};
    case MsgUtils::eWarning:
        return {u"", TMsgDlgType::mtError, TMsgDlgType::mtWarning};
    case MsgUtils::eError:
    case MsgUtils::eFatal:
        return {u"", TMsgDlgType::mtError, TMsgDlgType::mtError};
    default:
        return {u"", TMsgDlgType::mtInformation, TMsgDlgType::mtInformation};
    }
}

void ShowBox(MsgUtils::TMsgTypeId e, TReportForm eForm, const std::u16string& sMsg) {
    // A sender's event shows its text as it is, in a box of no particular kind.
    if (eForm == TReportForm::rfEvent) {
        Dialogs::ShowMessageBox(TMsgDlgType::mtCustom, sMsg);
        return;
    }
    BoxRule rule = RuleOf(e);
    Dialogs::ShowMessageBox(eForm == TReportForm::rfId ? rule.forId : rule.forParts,
                            rule.prefix + sMsg);
}

} // namespace

void Install() {
    MsgUtils::TMsg::SetBoxHook(ShowBox);
}

} // namespace MessageBoxes
