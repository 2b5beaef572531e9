#pragma once

#include <string>
#include <vector>

namespace PortBase {
class TPortBase;
}

namespace Instructions {

/// Splits an instruction list into statements. Statements are separated by ";" and by white
/// space (codes 1 to 32), which is skipped around them; a statement that begins with a double
/// quote runs to the next lone double quote, may hold ";" and blanks, and has a doubled quote
/// stand for one. Empty statements between two ";" count, and a ";" at the very end adds one.
/// A NUL character ends the list.
std::vector<std::u16string> SplitInstructions(const std::u16string& sList);

/// Carries out the statements of `sList` on `aPort` in order, skipping empty ones. Raises EMsg
/// naming the first one the port refuses, with its index; the statements after it do not run.
void Run(PortBase::TPortBase& aPort, const std::u16string& sList);

} // namespace Instructions
