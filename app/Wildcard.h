#pragma once

#include <string>

namespace Wildcard {

/// True when the whole of `sText` matches `sPattern`, case-sensitively: "*" stands for any run of
/// characters including none, "?" for exactly one, every other character for itself.
bool MatchesWildcard(const std::u16string& sText, const std::u16string& sPattern);

} // namespace Wildcard
