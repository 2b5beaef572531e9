#include "app/ExitCodes.h"

namespace ExitCodes {

namespace {

const char* StepMeaning(int iCode) {
    switch (iCode) {
    case ecSuccess:
        return "success";
    case ecFinalInstruction:
        return "a final instruction failed";
    case ecResponseMismatch:
        return "the response did not match";
    case ecResponseTimeout:
        return "no response within the time-out";
    case ecSend:
        return "sending the telegram failed";
    case ecInitialInstruction:
        return "an initial instruction failed";
    case ecPortVanished:
        return "the port vanished before the instructions";
    case ecOpen:
        return "the port could not be opened";
    case ecPortSettings:
        return "the port rejected its settings";
    case ecUnknownDevice:
        return "the device type is unknown";
    case ecConfiguration:
        return "the configuration or an option was rejected";
    case ecOutput:
        return "the answer could not be written";
    case ecStartup:
        return "the program failed before loading the configuration";
    default:
        return nullptr;
    }
}

} // namespace

std::string ExitCodeMeaning(int iCode) {
    if (const char* step = StepMeaning(iCode))
        return step;
    if (iCode > kFailureInstructionOffset) {
        if (const char* step = StepMeaning(iCode - kFailureInstructionOffset))
            return std::string(step) + ", and a failure instruction failed";
    }
    return "unknown exit code";
}

} // namespace ExitCodes
