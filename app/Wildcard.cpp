#include "app/Wildcard.h"

namespace Wildcard {

// Backtracks only to the most recent star: a later star can absorb whatever an earlier one
// would, so this accepts exactly the texts the pattern describes, in time bounded by
// text length times pattern length.
bool MatchesWildcard(const std::u16string& sText, const std::u16string& sPattern) {
    size_t t = 0, p = 0;
    size_t starP = std::u16string::npos, starT = 0;
    while (t < sText.size()) {
        if (p < sPattern.size() && (sPattern[p] == u'?' || sPattern[p] == sText[t]) &&
            sPattern[p] != u'*') {
            ++t;
            ++p;
        } else if (p < sPattern.size() && sPattern[p] == u'*') {
            starP = p++;
            starT = t;
        } else if (starP != std::u16string::npos) {
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < sPattern.size() && sPattern[p] == u'*')
        ++p;
    return p == sPattern.size();
}

} // namespace Wildcard
