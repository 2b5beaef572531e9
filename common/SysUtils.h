#pragma once
// The few run-time library services every unit leans on: the general exception classes, the
// system's format texts, the common integer syntax, trimming, and the text/byte conversions.
// Text is UTF-16 throughout; byte strings hold one byte per char.

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <string>
#include <variant>

namespace SysUtils {

/// The general exception class: carries the text shown for it (`Message`).
class Exception : public std::exception {
public:
    explicit Exception(std::u16string sMessage);
    const std::u16string& Message() const { return fsMessage; }
    /// What the user can do about it, logged as a Hint after the message; empty when nothing.
    const std::u16string& Hint() const { return fsHint; }
    void SetHint(std::u16string sHint) { fsHint = std::move(sHint); }
    /// The message as UTF-8, for the C++ runtime's benefit.
    const char* what() const noexcept override { return fsUtf8.c_str(); }

protected:
    void SetMessage(std::u16string sMessage);

private:
    std::u16string fsMessage;
    std::string fsUtf8;
    std::u16string fsHint;
};

/// Raised by the number conversions for text that is not a number; the message names the text.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

/// Raised by list accessors for an index outside the list ("List index out of bounds (%d)").
class EListError : public Exception {
public:
    using Exception::Exception;
};

/// One argument of a format text. Integers are kept signed 64-bit, so "%x" of a negative 32-bit
/// value shows its 32-bit two's complement as the original runtime did.
class FmtArg {
public:
    FmtArg(int v) : fValue(static_cast<int64_t>(v)) {}
    FmtArg(unsigned v) : fValue(static_cast<int64_t>(v)) {}
    FmtArg(long v) : fValue(static_cast<int64_t>(v)) {}
    FmtArg(unsigned long v) : fValue(static_cast<int64_t>(v)) {}
    FmtArg(long long v) : fValue(static_cast<int64_t>(v)) {}
    FmtArg(unsigned long long v) : fValue(static_cast<int64_t>(v)) {}
    FmtArg(const std::u16string& s) : fValue(s) {}
    FmtArg(const char16_t* s) : fValue(std::u16string(s)) {}
    FmtArg(const void* p) : fValue(p) {}

    const std::variant<int64_t, std::u16string, const void*>& Value() const { return fValue; }

private:
    std::variant<int64_t, std::u16string, const void*> fValue;
};
using FmtArgs = std::initializer_list<FmtArg>;

/// Formats `sFormat` with `Args`. Understands "%s", "%d", "%u", "%x", "%.Nx", "%.Nd", "%p" and
/// "%%"; hexadecimal is upper case and "%p" shows every digit of the address. A directive the
/// arguments do not fit raises EConvertError: format texts are the program's own constants, and
/// user text is only ever passed as an argument.
std::u16string Format(const std::u16string& sFormat, FmtArgs Args);

/// The common integer syntax: optional leading blanks, an optional sign, then decimal digits or
/// hexadecimal digits after "$", "x" or "0x"; nothing may follow. Decimal must fit in 32 bits;
/// hexadecimal may use all 32 bits and wraps to a negative value above 0x7FFFFFFF.
bool TryStrToInt(const std::u16string& s, int32_t& iValue);
/// As TryStrToInt; raises EConvertError "'%s' is not a valid integer value" on failure.
int32_t StrToInt(const std::u16string& s);
/// As TryStrToInt; yields `iDefault` on failure.
int32_t StrToIntDef(const std::u16string& s, int32_t iDefault);
/// Decimal floating-point text with the locale's decimal separator, blanks allowed around it;
/// raises EConvertError "'%s' is not a valid floating point value" on failure.
long double StrToFloat(const std::u16string& s);

/// Removes blanks and control characters (codes up to 32) at both ends.
std::u16string Trim(const std::u16string& s);
std::u16string IntToStr(int64_t i);
std::u16string UpperCase(const std::u16string& s);               ///< ASCII letters only
bool SameText(const std::u16string& a, const std::u16string& b); ///< ASCII case ignored

/// Byte n becomes character n and back; characters above 255 have no byte (see PortBase).
std::u16string BytesToText(const std::string& bytes);
/// Every character must be 0..255; higher characters are cut to their low byte.
std::string TextToBytes(const std::u16string& s);

/// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string ToUtf8(const std::u16string& s);
/// UTF-8 to UTF-16. Returns false (and leaves `out` unspecified) for invalid UTF-8.
bool TryFromUtf8(const std::string& s, std::u16string& out);
/// UTF-8 to UTF-16 for program constants and trusted text; invalid bytes become U+FFFD.
std::u16string FromUtf8(const std::string& s);
/// Windows-1252 bytes to UTF-16 (its five unassigned bytes keep their Latin-1 meaning).
std::u16string FromWindows1252(const std::string& s);

} // namespace SysUtils
