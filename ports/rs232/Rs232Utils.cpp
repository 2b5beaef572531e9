#include "ports/rs232/Rs232Utils.h"

#include "common/SysUtils.h"

namespace Rs232Utils {

int32_t ComPortNumber(const std::u16string& sComPort) {
    if (sComPort.size() <= 3)
        return 0;
    return SysUtils::StrToIntDef(sComPort.substr(3), 0);
}

} // namespace Rs232Utils
