#include "common/EscTaggedString.h"

#include "common/SysUtils.h"

namespace EscTaggedString {

namespace {
TEscTaggedString* gInstance = nullptr;
}

TEscTaggedString* TEscTaggedString::Instance() {
    if (gInstance == nullptr)
        gInstance = new TEscTaggedString();
    return gInstance;
}

void TEscTaggedString::InstanceRelease() {
    TEscTaggedString* p = gInstance;
    gInstance = nullptr;
    delete p;
}

std::u16string TEscTaggedString::Transform(const std::u16string& sData) {
    return Instance()->Process(sData);
}

TEscTaggedString::TEscTaggedString() = default;

void TEscTaggedString::ClearTags() {
    fTagList.clear();
    fSubstituteList.clear();
}

void TEscTaggedString::AddTag(const std::u16string& sTag, const std::u16string& sSubstitute) {
    fTagList.push_back(sTag);
    fSubstituteList.push_back(sSubstitute);
}

// The mark replaced by a hexadecimal prefix and read by the common integer syntax: exactly two
// hexadecimal digits give 0..255, anything else -1.
int TEscTaggedString::HexValue(std::u16string_view sCandidate) const {
    if (sCandidate.size() != 3)
        return -1;
    std::u16string text = u"$";
    text += sCandidate.substr(1);
    return SysUtils::StrToIntDef(text, -1);
}

bool TEscTaggedString::MatchTag(std::u16string_view sCandidate) {
    for (size_t i = 0; i < fTagList.size(); ++i) {
        if (fTagList[i] == sCandidate) {
            fsSubstitute = fSubstituteList[i];
            fiTagIndex = static_cast<int32_t>(i);
            return true;
        }
    }
    int value = HexValue(sCandidate);
    if (value < 0)
        return false;
    fsSubstitute = std::u16string(1, static_cast<char16_t>(value));
    return true;
}

// Grows the candidate one character at a time; the shortest match wins. Returns its length,
// minus the 1-based position of a blank, or 0 when the text ends first.
int TEscTaggedString::FindTag(std::u16string_view sRemaining) {
    for (size_t n = 1; n <= sRemaining.size(); ++n) {
        if (sRemaining[n - 1] == u' ')
            return -static_cast<int>(n);
        if (MatchTag(sRemaining.substr(0, n)))
            return static_cast<int>(n);
    }
    return 0;
}

std::u16string TEscTaggedString::Process(const std::u16string& sData) {
    fsSource = sData;
    fsTarget.clear();
    std::u16string_view rest = fsSource;
    for (;;) {
        size_t mark = rest.find(FTagMark);
        if (mark == std::u16string_view::npos || mark + 1 == rest.size())
            break;
        if (rest[mark + 1] == FTagMark) {
            fsTarget += rest.substr(0, mark + 1);
            rest.remove_prefix(mark + 2);
            continue;
        }
        fsTarget += rest.substr(0, mark);
        rest.remove_prefix(mark);
        int length = FindTag(rest);
        if (length < 2)
            throw SysUtils::Exception(
                SysUtils::Format(u"Unknown tag in string \"%s\"!", {std::u16string(rest)}));
        rest.remove_prefix(static_cast<size_t>(length));
        fsTarget += fsSubstitute;
    }
    fsTarget += rest;
    return fsTarget;
}

std::u16string TEscTaggedString::ReplaceHexTag(const std::u16string& sText,
                                               uint8_t byHexTag) const {
    std::u16string text = sText;
    for (size_t i = 0; i + 2 < text.size(); ++i) {
        if (text[i] != FTagMark || text[i + 1] == FTagMark)
            continue;
        if (HexValue(std::u16string_view(text).substr(i, 3)) == byHexTag) {
            text[i] = static_cast<char16_t>(byHexTag);
            text.erase(i + 1, 2);
        }
    }
    return text;
}

} // namespace EscTaggedString
