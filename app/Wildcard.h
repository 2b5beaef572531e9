#pragma once

#include <string>
#include <vector>

namespace Wildcard {

/// An expected-response pattern. A character marked literal stands for itself even when it is
/// "*" or "?", so that a checksum mark or a binary byte 0x2A can be matched.
struct TPattern {
    std::u16string sText;
    std::vector<bool> literal; ///< per character of sText; shorter: the rest is not literal

    bool empty() const { return sText.empty(); }
    bool IsLiteral(size_t i) const { return i < literal.size() && literal[i]; }
    /// The pattern as the log shows it: a literal "*" or "?" as "\*" or "\?".
    std::u16string Display() const;
};

/// True when the whole of `sText` matches `sPattern`, case-sensitively: "*" stands for any run of
/// characters including none, "?" for exactly one, every other character for itself.
bool MatchesWildcard(const std::u16string& sText, const std::u16string& sPattern);
bool MatchesWildcard(const std::u16string& sText, const TPattern& aPattern);

/// A configuration value with escape tags resolved, where "\*" and "\?" stand for the characters
/// themselves. Raises as the escape-tag transformer does for a bad tag.
TPattern ReadPattern(const std::u16string& sValue);

} // namespace Wildcard
