// Comma-separated splitting and every getter on arbitrary lines: values or the documented
// exceptions, and the values joined again give back the line up to its last separator.

#include "common/CommaSeparatedValue.h"
#include "common/SysUtils.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    CommaSeparatedValue::TCommaSeparatedValue csv;
    csv.SetSeparator(static_cast<char16_t>(data[0]));
    csv.SetQuotationMarks(static_cast<char16_t>(data[1]));
    std::u16string line =
        SysUtils::BytesToText(std::string(reinterpret_cast<const char*>(data) + 2, size - 2));
    csv.SetStringLine(line);
    std::u16string joined;
    for (int32_t i = -1; i <= csv.ValueCount(); ++i) {
        try {
            std::u16string v = csv.GetValue(i);
            joined += v + csv.Separator();
            csv.GetValueTrimmed(i);
            csv.GetString(i);
            csv.GetStringTrimmed(i);
            try {
                csv.GetInteger(i);
            } catch (const SysUtils::EConvertError&) {
            }
            try {
                csv.GetFloat(i);
            } catch (const SysUtils::EConvertError&) {
            }
        } catch (const SysUtils::Exception&) {
            if (i >= 0 && i < csv.ValueCount())
                std::abort();
        }
    }
    if (line.compare(0, joined.size(), joined) != 0)
        std::abort();
    return 0;
}
