#include "app/PortFactory.h"

#include "ports/rs232/PortRs232.h"

namespace PortFactory {

std::unique_ptr<PortBase::TPortBase> CreateProgramPort(const std::u16string& sName,
                                                       const std::u16string& sStart,
                                                       const std::u16string& sEnd) {
    if (sName == u"RS232")
        return std::make_unique<PortRs232::TPortRs232>(sStart, sEnd);
    return nullptr;
}

} // namespace PortFactory
