#include "app/PortFactory.h"

#include "common/SysUtils.h"
#include "ports/ftdi/PortFtdi.h"
#include "ports/rs232/PortRs232.h"
#include "ports/udp/PortUdp.h"

namespace PortFactory {

std::unique_ptr<PortBase::TPortBase> CreateProgramPort(const std::u16string& sName,
                                                       const std::u16string& sStart,
                                                       const std::u16string& sEnd) {
    if (SysUtils::SameText(sName, u"FTDI"))
        return std::make_unique<PortFtdi::TPortFtdi>(sStart, sEnd);
    if (SysUtils::SameText(sName, u"RS232"))
        return std::make_unique<PortRs232::TPortRs232>(sStart, sEnd);
    if (SysUtils::SameText(sName, u"UDP"))
        return std::make_unique<PortUdp::TPortUdp>(sStart, sEnd);
    return nullptr;
}

} // namespace PortFactory
