#include "app/PortFactory.h"

namespace PortFactory {

std::unique_ptr<PortBase::TPortBase> CreateProgramPort(const std::u16string& sName,
                                                       const std::u16string& sStart,
                                                       const std::u16string& sEnd) {
    (void)sName;
    (void)sStart;
    (void)sEnd;
    return nullptr;
}

} // namespace PortFactory
