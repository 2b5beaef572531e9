#pragma once
// The exit codes of a run, one name each. Each step stores its code before it works, so the code
// a run ends with names the step that failed; a failure instruction that fails adds
// kFailureInstructionOffset to it.

#include <string>

namespace ExitCodes {

enum TExitCode : int {
    ecSuccess = 0,
    ecFinalInstruction = 20,
    ecResponseMismatch = 51,
    ecResponseTimeout = 54,
    ecSend = 56,
    ecInitialInstruction = 59,
    ecPortVanished = 65,
    ecOpen = 67,
    ecPortSettings = 68,
    ecUnknownDevice = 69,
    ecConfiguration = 91,
    ecOutput = 92, ///< after a run that passed: its +Output= answer could not be written
    ecStartup = 95,
};

/// Added to a run's code when one of its failure instructions failed too.
constexpr int kFailureInstructionOffset = 100;

/// What the code names, in words ("no response within the time-out"); a code above
/// kFailureInstructionOffset names its step and the failed failure instruction. Unknown codes get
/// "unknown exit code".
std::string ExitCodeMeaning(int iCode);

} // namespace ExitCodes
