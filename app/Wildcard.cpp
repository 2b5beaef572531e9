#include "app/Wildcard.h"

#include "common/EscTaggedString.h"

namespace Wildcard {

std::u16string TPattern::Display() const {
    std::u16string text;
    for (size_t i = 0; i < sText.size(); ++i) {
        if (IsLiteral(i) && (sText[i] == u'*' || sText[i] == u'?'))
            text += u'\\';
        text += sText[i];
    }
    return text;
}

bool MatchesWildcard(const std::u16string& sText, const std::u16string& sPattern) {
    return MatchesWildcard(sText, TPattern{sPattern, {}});
}

// Backtracks only to the most recent star: a later star can absorb whatever an earlier one
// would, so this accepts exactly the texts the pattern describes, in time bounded by
// text length times pattern length.
bool MatchesWildcard(const std::u16string& sText, const TPattern& aPattern) {
    const std::u16string& pattern = aPattern.sText;
    auto star = [&](size_t p) { return pattern[p] == u'*' && !aPattern.IsLiteral(p); };
    auto any = [&](size_t p) { return pattern[p] == u'?' && !aPattern.IsLiteral(p); };
    size_t t = 0, p = 0;
    size_t starP = std::u16string::npos, starT = 0;
    while (t < sText.size()) {
        if (p < pattern.size() && !star(p) && (any(p) || pattern[p] == sText[t])) {
            ++t;
            ++p;
        } else if (p < pattern.size() && star(p)) {
            starP = p++;
            starT = t;
        } else if (starP != std::u16string::npos) {
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && star(p))
        ++p;
    return p == pattern.size();
}

TPattern ReadPattern(const std::u16string& sValue) {
    TPattern out;
    std::u16string segment;
    auto flush = [&] {
        if (segment.empty())
            return;
        out.sText += EscTaggedString::TEscTaggedString::Transform(segment);
        out.literal.resize(out.sText.size(), false);
        segment.clear();
    };
    for (size_t i = 0; i < sValue.size(); ++i) {
        if (sValue[i] == u'\\' && i + 1 < sValue.size()) {
            char16_t next = sValue[i + 1];
            if (next == u'\\') {
                // A doubled mark is the transformer's: "\\*" is a backslash and a wildcard.
                segment += u"\\\\";
                ++i;
                continue;
            }
            if (next == u'*' || next == u'?') {
                flush();
                out.sText += next;
                out.literal.push_back(true);
                ++i;
                continue;
            }
        }
        segment += sValue[i];
    }
    flush();
    return out;
}

} // namespace Wildcard
