#include "app/Framing.h"

#include "app/Wildcard.h"
#include "common/EscTaggedString.h"
#include "common/IniFiles.h"
#include "common/MsgUtils.h"
#include "common/SysUtils.h"

#include <algorithm>

namespace Framing {

using MsgUtils::EMsg;

namespace {

std::u16string Value(const IniFiles::TMemIniFile& aMemIni, const char16_t* sKey) {
    return aMemIni.ReadString(u"TELEGRAM", sKey, u"");
}

// Escape tags are resolved only when the port is created or the answer judged; the mistake is
// named now, with the key it sits in.
template <typename F>
void CheckTags(const IniFiles::TMemIniFile& aMemIni, const char16_t* sKey, uint32_t dwId, F read) {
    std::u16string v = Value(aMemIni, sKey);
    if (v.empty())
        return;
    try {
        read(v);
    } catch (const SysUtils::Exception& e) {
        throw EMsg(u"Invalid TELEGRAM/%s \"%s\": %s", {sKey, v, e.Message()}, dwId, 0);
    }
}

} // namespace

void CheckFramingKeys(const IniFiles::TMemIniFile& aMemIni) {
    CheckTags(aMemIni, u"Terminator", 0x010130,
              [](const std::u16string& v) { EscTaggedString::TEscTaggedString::Transform(v); });
    std::u16string gap = Value(aMemIni, u"Gap");
    if (!gap.empty() && SysUtils::StrToIntDef(gap, 0) < 1)
        throw EMsg(u"Invalid TELEGRAM/Gap \"%s\": allowed is an integer of at least 1 (ms)", {gap},
                   0x010131, 0);
    std::u16string match = Value(aMemIni, u"Match");
    if (!match.empty() && !SysUtils::SameText(match, u"First") &&
        !SysUtils::SameText(match, u"Any"))
        throw EMsg(u"Invalid TELEGRAM/Match \"%s\": allowed are First and Any", {match}, 0x010132,
                   0);
    CheckTags(aMemIni, u"Abort", 0x010133,
              [](const std::u16string& v) { Wildcard::ReadPattern(v); });
}

int32_t GapMs(const IniFiles::TMemIniFile& aMemIni) {
    return std::max(SysUtils::StrToIntDef(Value(aMemIni, u"Gap"), 0), 0);
}

bool MatchAny(const IniFiles::TMemIniFile& aMemIni) {
    return SysUtils::SameText(Value(aMemIni, u"Match"), u"Any");
}

} // namespace Framing
