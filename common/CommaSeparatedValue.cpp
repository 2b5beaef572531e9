#include "common/CommaSeparatedValue.h"

#include "common/SysUtils.h"

namespace CommaSeparatedValue {

using SysUtils::Format;

void TCommaSeparatedValue::SetStringLine(const std::u16string& sLine) {
    FStringLine = sLine;
    fValueList.clear();
    std::u16string value;
    bool quoted = false;
    for (char16_t c : sLine) {
        if (c == FQuotationMarks)
            quoted = !quoted;
        if (c != FSeparator || quoted) {
            value += c;
        } else {
            fValueList.push_back(value);
            value.clear();
        }
    }
}

std::u16string TCommaSeparatedValue::GetValue(int32_t iIndex) const {
    if (iIndex >= ValueCount())
        throw SysUtils::Exception(
            Format(u"Invalid csv index %d to list count %d!", {iIndex, ValueCount()}));
    if (iIndex < 0)
        throw SysUtils::EListError(Format(u"List index out of bounds (%d)", {iIndex}));
    return fValueList[static_cast<size_t>(iIndex)];
}

std::u16string TCommaSeparatedValue::GetValueTrimmed(int32_t iIndex) const {
    return SysUtils::Trim(GetValue(iIndex));
}

std::u16string TCommaSeparatedValue::GetString(int32_t iIndex) const {
    std::u16string value = GetValueTrimmed(iIndex);
    size_t open = value.find(FQuotationMarks);
    if (open == std::u16string::npos)
        return value;
    value.erase(0, open + 1);
    size_t close = value.find(FQuotationMarks);
    if (close != std::u16string::npos)
        value.erase(close);
    return value;
}

std::u16string TCommaSeparatedValue::GetStringTrimmed(int32_t iIndex) const {
    return SysUtils::Trim(GetString(iIndex));
}

int32_t TCommaSeparatedValue::GetInteger(int32_t iIndex) const {
    return SysUtils::StrToInt(GetValueTrimmed(iIndex));
}

long double TCommaSeparatedValue::GetFloat(int32_t iIndex) const {
    return SysUtils::StrToFloat(GetValueTrimmed(iIndex));
}

} // namespace CommaSeparatedValue
