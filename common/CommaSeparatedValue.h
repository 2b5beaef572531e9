#pragma once
// Splits one line into values at a separator, honouring a quotation mark that protects
// separators inside a value. A value is only completed by a separator: text after the last
// separator is not a value, so callers that want the last field end the line with one.

#include "common/Classes.h"

#include <cstdint>
#include <string>
#include <vector>

namespace CommaSeparatedValue {

class TCommaSeparatedValue : public Classes::TObject {
public:
    /// Quotation mark '"', separator ';', no values.
    TCommaSeparatedValue() = default;

    char16_t Separator() const { return FSeparator; }
    /// Takes effect at the next SetStringLine; the current values stay.
    void SetSeparator(char16_t c) { FSeparator = c; }
    char16_t QuotationMarks() const { return FQuotationMarks; }
    void SetQuotationMarks(char16_t c) { FQuotationMarks = c; }

    const std::u16string& StringLine() const { return FStringLine; }
    /// Stores the line and splits it at once, replacing all values.
    void SetStringLine(const std::u16string& sLine);

    int32_t ValueCount() const { return static_cast<int32_t>(fValueList.size()); }

    // Every getter raises SysUtils::Exception "Invalid csv index %d to list count %d!" for an
    // index at or past the count and SysUtils::EListError for a negative one.

    /// The value as split, quotation marks and blanks included.
    std::u16string GetValue(int32_t iIndex) const;
    /// GetValue without blanks and control characters at both ends.
    std::u16string GetValueTrimmed(int32_t iIndex) const;
    /// The text between the first two quotation marks of the trimmed value (all of it after a
    /// lone opening mark; the trimmed value itself when it has none).
    std::u16string GetString(int32_t iIndex) const;
    std::u16string GetStringTrimmed(int32_t iIndex) const;
    /// The trimmed value by the common integer syntax; SysUtils::EConvertError otherwise.
    int32_t GetInteger(int32_t iIndex) const;
    /// The trimmed value as a number with the locale's decimal separator; EConvertError otherwise.
    long double GetFloat(int32_t iIndex) const;

private:
    std::vector<std::u16string> fValueList;
    char16_t FQuotationMarks = u'"';
    char16_t FSeparator = u';';
    std::u16string FStringLine;
};

} // namespace CommaSeparatedValue
