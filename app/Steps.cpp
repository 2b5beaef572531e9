#include "app/Steps.h"

#include "app/ExitCodes.h"

#include <cstddef>
#include <iterator>
#include <utility>

namespace Steps {

using namespace ExitCodes;

namespace {

// The step table: the code of a run that fails in each step, in the order of TStep. Finish,
// Failure and Close fail nothing of their own: a run that ends there failed before, or not at all.
constexpr std::pair<TStep, int> kSteps[] = {{TStep::Startup, ecStartup},
                                            {TStep::Configuration, ecConfiguration},
                                            {TStep::CreatePort, ecUnknownDevice},
                                            {TStep::PortSettings, ecPortSettings},
                                            {TStep::Open, ecOpen},
                                            {TStep::Opened, ecPortVanished},
                                            {TStep::Initial, ecInitialInstruction},
                                            {TStep::Send, ecSend},
                                            {TStep::Wait, ecResponseTimeout},
                                            {TStep::Response, ecResponseMismatch},
                                            {TStep::Finish, ecSuccess},
                                            {TStep::Final, ecFinalInstruction},
                                            {TStep::Failure, ecSuccess},
                                            {TStep::Close, ecSuccess}};
constexpr bool InStepOrder() {
    for (size_t i = 0; i < std::size(kSteps); ++i)
        if (static_cast<size_t>(kSteps[i].first) != i)
            return false;
    return std::size(kSteps) == static_cast<size_t>(TStep::Close) + 1;
}
static_assert(InStepOrder(), "one row per step, in their order");

} // namespace

int ExitCodeOf(TStep eStep, bool bFailureFailed) {
    return kSteps[static_cast<size_t>(eStep)].second +
           (bFailureFailed ? kFailureInstructionOffset : 0);
}

} // namespace Steps
