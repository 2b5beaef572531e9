#pragma once
// The [TELEGRAM] keys that say how an answer is cut out of what arrives (Terminator, Gap) and
// how long the job keeps looking at it (Match, Abort). They are checked when the settings are
// read, so that a slip ends the run before any port is touched.

#include <cstdint>
#include <string>

namespace PortBase {
class TPortBase;
}

namespace Framing {

/// Raise EMsg naming the key and what it allows for a Gap or Match value that is not valid. Empty
/// values count as not set; the escape tags of Terminator and Abort are checked with the other
/// telegram keys.
void CheckGap(const std::u16string& sGap);
void CheckMatch(const std::u16string& sMatch);

/// The Gap value in milliseconds; 0 when not set.
int32_t GapMs(const std::u16string& sGap);
/// True for the Match value "Any" (case ignored); "First" and no value keep the first telegram.
bool MatchAny(const std::u16string& sMatch);

/// Hands Terminator and Gap to the port, with a warning for each that the port's marks, or the
/// terminator, override.
void SetPortFraming(PortBase::TPortBase& aPort, const std::u16string& sTerminator, int32_t iGap);

} // namespace Framing
