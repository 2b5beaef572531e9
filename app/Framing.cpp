#include "app/Framing.h"

#include "common/MsgUtils.h"
#include "common/SysUtils.h"
#include "ports/PortBase.h"

#include <algorithm>

namespace Framing {

using MsgUtils::EMsg;

void CheckGap(const std::u16string& sGap) {
    if (!sGap.empty() && SysUtils::StrToIntDef(sGap, 0) < 1)
        throw EMsg(u"Invalid TELEGRAM/Gap \"%s\": allowed is an integer of at least 1 (ms)", {sGap},
                   0x010131, 0);
}

void CheckMatch(const std::u16string& sMatch) {
    if (!sMatch.empty() && !SysUtils::SameText(sMatch, u"First") &&
        !SysUtils::SameText(sMatch, u"Any"))
        throw EMsg(u"Invalid TELEGRAM/Match \"%s\": allowed are First and Any", {sMatch}, 0x010132,
                   0);
}

int32_t GapMs(const std::u16string& sGap) {
    return std::max(SysUtils::StrToIntDef(sGap, 0), 0);
}

bool MatchAny(const std::u16string& sMatch) {
    return SysUtils::SameText(sMatch, u"Any");
}

void SetPortFraming(PortBase::TPortBase& aPort, const std::u16string& sTerminator, int32_t iGap) {
    using MsgUtils::TMsg;
    if (aPort.Framed()) {
        if (!sTerminator.empty())
            TMsg::Warning(u"Terminator is ignored: Start and End frame the telegrams", 0);
        if (iGap > 0)
            TMsg::Warning(u"Gap is ignored: Start and End frame the telegrams", 0);
    } else if (!sTerminator.empty() && iGap > 0) {
        TMsg::Warning(u"Gap is ignored: Terminator frames the telegrams", 0);
    }
    aPort.SetTerminator(sTerminator);
    aPort.SetGap(iGap);
}

} // namespace Framing
