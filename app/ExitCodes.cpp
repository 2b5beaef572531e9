#include "app/ExitCodes.h"

namespace ExitCodes {

namespace {

const TExitCodeRow* Find(int iCode) {
    for (const auto& row : kExitCodeTable)
        if (row.Code == iCode)
            return &row;
    return nullptr;
}

} // namespace

std::string ExitCodeMeaning(int iCode) {
    if (const TExitCodeRow* row = Find(iCode))
        return row->Meaning;
    // Any code of the table is named with the offset, the ones no run can end with as well: the
    // words describe a number someone was given, not a run.
    if (iCode > kFailureInstructionOffset) {
        if (const TExitCodeRow* row = Find(iCode - kFailureInstructionOffset))
            return std::string(row->Meaning) + ", and a failure instruction failed";
    }
    return "unknown exit code";
}

bool JobCanEndWith(int iCode) {
    if (const TExitCodeRow* row = Find(iCode))
        return row->JobEnd;
    const TExitCodeRow* row = Find(iCode - kFailureInstructionOffset);
    return row && row->JobEnd && row->WithFailure;
}

} // namespace ExitCodes
