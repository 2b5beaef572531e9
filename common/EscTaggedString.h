#pragma once
// Turns configuration text with escape tags into the exact characters to put on the wire: a tag
// mark and two hexadecimal digits stand for one character, a doubled mark for the mark itself,
// and named tags (none by default) for their substitutes.

#include "common/Classes.h"

#include <cstdint>
#include <string>
#include <vector>

namespace EscTaggedString {

class TEscTaggedString : public Classes::TObject {
public:
    /// The shared instance, created on first call.
    static TEscTaggedString* Instance();
    /// Frees the shared instance; a later Instance() creates a new one.
    static void InstanceRelease();
    /// Instance()->Process(sData).
    static std::u16string Transform(const std::u16string& sData);

    /// Both tag lists empty, tag mark "\".
    TEscTaggedString();

    void ClearTags();
    /// Appends a named tag (its text includes the leading mark). The first matching entry wins.
    void AddTag(const std::u16string& sTag, const std::u16string& sSubstitute);

    /// `sData` with every tag replaced. Raises SysUtils::Exception
    /// "Unknown tag in string \"%s\"!" with the text from the offending mark to the end for an
    /// unknown, incomplete or blank-broken tag.
    std::u16string Process(const std::u16string& sData);

    /// `sText` with only the hexadecimal tags of the byte `byHexTag` replaced.
    std::u16string ReplaceHexTag(const std::u16string& sText, uint8_t byHexTag) const;

    char16_t TagMark() const { return FTagMark; }
    void SetTagMark(char16_t c) { FTagMark = c; }

private:
    int HexValue(std::u16string_view sCandidate) const;
    bool MatchTag(std::u16string_view sCandidate);
    int FindTag(std::u16string_view sRemaining);

    std::vector<std::u16string> fTagList;
    std::vector<std::u16string> fSubstituteList;
    std::u16string fsSource;
    std::u16string fsTarget;
    std::u16string fsSubstitute;
    int32_t fiTagIndex = -1;
    char16_t FTagMark = u'\\';
};

} // namespace EscTaggedString
