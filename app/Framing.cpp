#include "app/Framing.h"

#include "common/IniFiles.h"
#include "common/MsgUtils.h"
#include "common/SysUtils.h"
#include "ports/PortBase.h"

#include <algorithm>

namespace Framing {

using MsgUtils::EMsg;

namespace {

std::u16string Value(const IniFiles::TMemIniFile& aMemIni, const char16_t* sKey) {
    return aMemIni.ReadString(u"TELEGRAM", sKey, u"");
}

} // namespace

void CheckFramingKeys(const IniFiles::TMemIniFile& aMemIni) {
    std::u16string gap = Value(aMemIni, u"Gap");
    if (!gap.empty() && SysUtils::StrToIntDef(gap, 0) < 1)
        throw EMsg(u"Invalid TELEGRAM/Gap \"%s\": allowed is an integer of at least 1 (ms)", {gap},
                   0x010131, 0);
    std::u16string match = Value(aMemIni, u"Match");
    if (!match.empty() && !SysUtils::SameText(match, u"First") &&
        !SysUtils::SameText(match, u"Any"))
        throw EMsg(u"Invalid TELEGRAM/Match \"%s\": allowed are First and Any", {match}, 0x010132,
                   0);
}

int32_t GapMs(const IniFiles::TMemIniFile& aMemIni) {
    return std::max(SysUtils::StrToIntDef(Value(aMemIni, u"Gap"), 0), 0);
}

bool MatchAny(const IniFiles::TMemIniFile& aMemIni) {
    return SysUtils::SameText(Value(aMemIni, u"Match"), u"Any");
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
