#include "app/Verdict.h"

#include "common/MsgUtils.h"
#include "ports/PortBase.h"

#include <algorithm>

namespace Verdict {

using MsgUtils::TMsg;

TVerdict::TVerdict(Wildcard::TPattern aExpected, Wildcard::TPattern aAbort, bool bMatchAny)
    : fExpected(std::move(aExpected)), fAbort(std::move(aAbort)), fsExpected(fExpected.Display()),
      fbMatchAny(bMatchAny) {}

TResult TVerdict::Judge(const std::u16string& sData, bool bRaw, int32_t iLimit,
                        std::u16string& sJudged) {
    sJudged = sData;
    if (fbMatchAny && bRaw) {
        // Unframed, an answer may come in pieces: it is judged whole each time it grows.
        fsRawSoFar += sData;
        if (fsRawSoFar.size() > static_cast<size_t>(std::max(iLimit, 0))) {
            TMsg::Error(PortBase::OverflowText(static_cast<int32_t>(fsRawSoFar.size()), iLimit), 0);
            fsRawSoFar = sData;
        }
        sJudged = fsRawSoFar;
    }
    if (!fAbort.empty() && Wildcard::MatchesWildcard(sJudged, fAbort)) {
        TMsg::Error(u"Response aborted: \"%s\" = \"%s\"", {fAbort.Display(), sJudged}, 0);
        fbDecided = true;
        return TResult::Failed;
    }
    if (Wildcard::MatchesWildcard(sJudged, fExpected)) {
        TMsg::Info(u"Response passed: \"%s\" = \"%s\"", {fsExpected, sJudged}, 0);
        fbDecided = fbMatchAny;
        return TResult::Passed;
    }
    if (fbMatchAny) {
        TMsg::Info(u"Skipped: \"%s\" <> \"%s\"", {fsExpected, sJudged}, 0);
        fsLastSkipped = sJudged;
        return TResult::Skipped;
    }
    TMsg::Error(u"Response failed: \"%s\" <> \"%s\"", {fsExpected, sJudged}, 0);
    // A later telegram may still fail a passed run, but never pass a failed one.
    fbDecided = true;
    return TResult::Failed;
}

bool TVerdict::WrongAtTimeout() const {
    // A telegram is never empty: a skipped one is always there to be named.
    if (fsLastSkipped.empty())
        return false;
    TMsg::Error(u"Response failed: \"%s\" <> \"%s\"", {fsExpected, fsLastSkipped}, 0);
    return true;
}

} // namespace Verdict
