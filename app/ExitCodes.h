#pragma once
// The exit codes of a run, one name each. The code a run ends with names the step that failed
// (app/Steps maps each step to its code); a failure instruction that fails adds
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

struct TExitCodeRow {
    TExitCode Code;
    const char* Meaning; ///< --help's words for it and the JSON summary's "exitMeaning"
    bool JobEnd;         ///< the job itself can end with it (not only the program around it)
    bool WithFailure;    ///< a failed failure instruction can add kFailureInstructionOffset
};

/// Every code, in the order --help lists them.
inline constexpr TExitCodeRow kExitCodeTable[] = {
    {ecSuccess, "success", true, false},
    {ecFinalInstruction, "a final instruction failed", true, true},
    {ecResponseMismatch, "the response did not match", true, true},
    {ecResponseTimeout, "no response within the time-out", true, true},
    {ecSend, "sending the telegram failed", true, true},
    {ecInitialInstruction, "an initial instruction failed", true, true},
    {ecPortVanished, "the port vanished before the instructions", true, true},
    {ecOpen, "the port could not be opened", true, true},
    {ecPortSettings, "the port rejected its settings", true, true},
    {ecUnknownDevice, "the device type is unknown", true, true},
    {ecConfiguration, "the configuration or an option was rejected", true, true},
    // Written by the program after the job is gone, never by the job.
    {ecOutput, "the answer could not be written", false, false},
    {ecStartup, "the program failed before loading the configuration", true, false},
};

/// What the code names, in words ("no response within the time-out"); a code above
/// kFailureInstructionOffset names its step and the failed failure instruction. Unknown codes get
/// "unknown exit code".
std::string ExitCodeMeaning(int iCode);

/// True for a code a job can end with, the failure instruction's offset included.
bool JobCanEndWith(int iCode);

} // namespace ExitCodes
