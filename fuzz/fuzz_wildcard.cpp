// The response matcher against a plain recursive definition of the same patterns.

#include "app/Wildcard.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

// memo[t][p]: 0 unknown, 1 no, 2 yes.
bool Reference(const std::u16string& s, const std::u16string& p, size_t t, size_t q,
               std::vector<std::vector<char>>& memo) {
    char& m = memo[t][q];
    if (m)
        return m == 2;
    bool r;
    if (q == p.size())
        r = t == s.size();
    else if (p[q] == u'*')
        r = Reference(s, p, t, q + 1, memo) || (t < s.size() && Reference(s, p, t + 1, q, memo));
    else
        r = t < s.size() && (p[q] == u'?' || p[q] == s[t]) && Reference(s, p, t + 1, q + 1, memo);
    m = r ? 2 : 1;
    return r;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string in(reinterpret_cast<const char*>(data), size);
    size_t cut = in.find('\0');
    if (cut == std::string::npos || size > 600)
        return 0;
    std::u16string text(in.begin(), in.begin() + static_cast<long>(cut));
    std::u16string pattern(in.begin() + static_cast<long>(cut) + 1, in.end());
    std::vector<std::vector<char>> memo(text.size() + 1, std::vector<char>(pattern.size() + 1));
    if (Wildcard::MatchesWildcard(text, pattern) != Reference(text, pattern, 0, 0, memo))
        std::abort();
    return 0;
}
