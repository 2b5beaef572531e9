#include "platform/RunMode.h"

namespace RunMode {

namespace {
bool gHeadless = true;
}

bool IsHeadless() {
    return gHeadless;
}

void SetHeadless(bool bHeadless) {
    gHeadless = bHeadless;
}

} // namespace RunMode
