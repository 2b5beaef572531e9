#pragma once
// The judging of what a device answers: each telegram against the expected response and the
// abort pattern, with Match deciding whether a wrong one ends the wait or is let pass by.

#include "app/Wildcard.h"

#include <cstdint>
#include <string>

namespace Verdict {

enum class TResult { Skipped, Passed, Failed };

class TVerdict {
public:
    TVerdict() = default;
    TVerdict(Wildcard::TPattern aExpected, Wildcard::TPattern aAbort, bool bMatchAny);

    /// No response is expected: what arrives is only logged.
    bool Empty() const { return fExpected.empty(); }
    /// The wait is over: nothing more is judged.
    bool Decided() const { return fbDecided; }
    /// The pattern as the log shows it.
    const std::u16string& Expected() const { return fsExpected; }

    /// Judges one non-empty telegram and logs the verdict. `bRaw`: the port cuts no telegrams,
    /// so that with Match=Any all data since the send is judged whole each time it grows, kept
    /// to `iLimit` characters. `sJudged` receives the text judged.
    TResult Judge(const std::u16string& sData, bool bRaw, int32_t iLimit, std::u16string& sJudged);
    /// At the time-out: true, with its line logged, when telegrams came and none matched, so that
    /// the answer was wrong rather than missing.
    bool WrongAtTimeout() const;

private:
    Wildcard::TPattern fExpected;
    Wildcard::TPattern fAbort;
    std::u16string fsExpected;
    bool fbMatchAny = false;
    bool fbDecided = false;
    std::u16string fsLastSkipped; ///< the last telegram Match=Any let pass by
    std::u16string fsRawSoFar;    ///< raw mode with Match=Any: everything since the send
};

} // namespace Verdict
