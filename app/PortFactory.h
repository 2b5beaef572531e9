#pragma once
// The one seam through which the job driver creates its port, so that tests can run the whole
// run sequence with a port kind of their own.

#include "ports/PortBase.h"

#include <functional>
#include <memory>
#include <string>

namespace PortFactory {

/// Creates the port kind named `sName` (already matched without regard to case against the known
/// names) with the telegram marks; null when the name is not a kind it can create.
using TPortCreator = std::function<std::unique_ptr<PortBase::TPortBase>(
    const std::u16string& sName, const std::u16string& sStart, const std::u16string& sEnd)>;

/// The names the job driver knows, in the order it compares them.
inline const char16_t* const kDeviceNames[] = {u"FTDI", u"RS232", u"UDP"};

/// The program's own port kinds.
std::unique_ptr<PortBase::TPortBase> CreateProgramPort(const std::u16string& sName,
                                                       const std::u16string& sStart,
                                                       const std::u16string& sEnd);

} // namespace PortFactory
