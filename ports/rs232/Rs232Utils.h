#pragma once
// Helpers of the RS232 port kind.

#include <cstdint>
#include <string>

namespace Rs232Utils {

/// The number after the first three characters of a port text ("COM3" 3, "com03" 3, "XYZ7" 7);
/// 0 when the rest is not an integer (also "COM" and "3").
int32_t ComPortNumber(const std::u16string& sComPort);

} // namespace Rs232Utils
