#include "common/SysUtils.h"

#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdlib>

namespace SysUtils {

Exception::Exception(std::u16string sMessage) {
    SetMessage(std::move(sMessage));
}

void Exception::SetMessage(std::u16string sMessage) {
    fsMessage = std::move(sMessage);
    fsUtf8 = ToUtf8(fsMessage);
}

namespace {

std::u16string Ascii(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

std::u16string Digits(uint64_t v, unsigned base, size_t minDigits) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::u16string out;
    do {
        out.insert(out.begin(), static_cast<char16_t>(kDigits[v % base]));
        v /= base;
    } while (v != 0);
    if (out.size() < minDigits)
        out.insert(0, minDigits - out.size(), u'0');
    return out;
}

[[noreturn]] void BadFormat(const std::u16string& sFormat) {
    throw EConvertError(u"Format '" + sFormat + u"' invalid or incompatible with argument");
}

} // namespace

std::u16string Format(const std::u16string& sFormat, FmtArgs Args) {
    std::u16string out;
    auto arg = Args.begin();
    for (size_t i = 0; i < sFormat.size(); ++i) {
        char16_t c = sFormat[i];
        if (c != u'%') {
            out += c;
            continue;
        }
        if (++i >= sFormat.size())
            BadFormat(sFormat);
        if (sFormat[i] == u'%') {
            out += u'%';
            continue;
        }
        size_t precision = 0;
        if (sFormat[i] == u'.') {
            size_t start = ++i;
            while (i < sFormat.size() && sFormat[i] >= u'0' && sFormat[i] <= u'9' && i - start < 3)
                precision = precision * 10 + (sFormat[i++] - u'0');
            if (i == start || i >= sFormat.size())
                BadFormat(sFormat);
        }
        if (arg == Args.end())
            BadFormat(sFormat);
        const auto& v = arg->Value();
        ++arg;
        switch (sFormat[i]) {
        case u's':
            if (!std::holds_alternative<std::u16string>(v))
                BadFormat(sFormat);
            out += std::get<std::u16string>(v);
            break;
        case u'd':
        case u'u':
        case u'x': {
            if (!std::holds_alternative<int64_t>(v))
                BadFormat(sFormat);
            int64_t n = std::get<int64_t>(v);
            if (sFormat[i] == u'd') {
                uint64_t mag = n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
                if (n < 0)
                    out += u'-';
                out += Digits(mag, 10, precision);
            } else {
                // Negative 32-bit values show as their 32-bit pattern, as the original runtime did.
                uint64_t u =
                    (n < 0 && n >= INT32_MIN) ? static_cast<uint32_t>(n) : static_cast<uint64_t>(n);
                out += Digits(u, sFormat[i] == u'x' ? 16 : 10, precision);
            }
            break;
        }
        case u'p':
            if (!std::holds_alternative<const void*>(v))
                BadFormat(sFormat);
            out += Digits(reinterpret_cast<uintptr_t>(std::get<const void*>(v)), 16,
                          sizeof(void*) * 2);
            break;
        default:
            BadFormat(sFormat);
        }
    }
    return out;
}

bool TryStrToInt(const std::u16string& s, int32_t& iValue) {
    size_t i = 0;
    while (i < s.size() && s[i] == u' ')
        ++i;
    bool negative = false;
    bool signGiven = false;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) {
        signGiven = true;
        negative = s[i++] == u'-';
    }
    unsigned base = 10;
    if (i < s.size() && (s[i] == u'$' || s[i] == u'x' || s[i] == u'X')) {
        base = 16;
        ++i;
    } else if (i + 1 < s.size() && s[i] == u'0' && (s[i + 1] == u'x' || s[i + 1] == u'X')) {
        base = 16;
        i += 2;
    }
    if (i >= s.size())
        return false;
    // Unsigned hexadecimal is a 32-bit pattern ($FFFFFFFF is -1); with a sign, as every decimal,
    // it is a value that must fit: -$FFFFFFFF is no integer rather than 1.
    const uint64_t limit = base == 16 && !signGiven ? 0xFFFFFFFFull
                           : negative               ? 0x80000000ull
                                                    : 0x7FFFFFFFull;
    uint64_t mag = 0;
    for (; i < s.size(); ++i) {
        char16_t c = s[i];
        unsigned d;
        if (c >= u'0' && c <= u'9')
            d = c - u'0';
        else if (base == 16 && c >= u'a' && c <= u'f')
            d = c - u'a' + 10;
        else if (base == 16 && c >= u'A' && c <= u'F')
            d = c - u'A' + 10;
        else
            return false;
        mag = mag * base + d;
        if (mag > limit)
            return false;
    }
    uint32_t bits = static_cast<uint32_t>(mag);
    if (negative)
        bits = 0u - bits;
    iValue = static_cast<int32_t>(bits);
    return true;
}

int32_t StrToInt(const std::u16string& s) {
    int32_t v;
    if (!TryStrToInt(s, v))
        throw EConvertError(Format(u"'%s' is not a valid integer value", {s}));
    return v;
}

int32_t StrToIntDef(const std::u16string& s, int32_t iDefault) {
    int32_t v;
    return TryStrToInt(s, v) ? v : iDefault;
}

long double StrToFloat(const std::u16string& s) {
    const char* point = std::localeconv()->decimal_point;
    char16_t sep = (point && point[0] && !point[1]) ? static_cast<char16_t>(point[0]) : u'.';
    // Rebuild the number in the C library's own notation, accepting only a plain decimal form.
    std::u16string t = Trim(s);
    std::string c;
    size_t i = 0;
    auto digits = [&] {
        size_t n = 0;
        while (i < t.size() && t[i] >= u'0' && t[i] <= u'9')
            c += static_cast<char>(t[i++]), ++n;
        return n;
    };
    if (i < t.size() && (t[i] == u'+' || t[i] == u'-'))
        c += static_cast<char>(t[i++]);
    size_t n = digits();
    if (i < t.size() && t[i] == sep) {
        c += point && point[0] && !point[1] ? point[0] : '.';
        ++i;
        n += digits();
    }
    bool ok = n > 0;
    if (ok && i < t.size() && (t[i] == u'e' || t[i] == u'E')) {
        c += 'e';
        ++i;
        if (i < t.size() && (t[i] == u'+' || t[i] == u'-'))
            c += static_cast<char>(t[i++]);
        ok = digits() > 0;
    }
    if (!ok || i != t.size())
        throw EConvertError(Format(u"'%s' is not a valid floating point value", {s}));
    errno = 0;
    long double v = std::strtold(c.c_str(), nullptr);
    if (errno == ERANGE && std::isinf(v))
        throw EConvertError(Format(u"'%s' is not a valid floating point value", {s}));
    return v;
}

std::u16string Trim(const std::u16string& s) {
    size_t b = 0, e = s.size();
    while (b < e && s[b] <= u' ')
        ++b;
    while (e > b && s[e - 1] <= u' ')
        --e;
    return s.substr(b, e - b);
}

std::u16string IntToStr(int64_t i) {
    return Ascii(std::to_string(i));
}

std::u16string UpperCase(const std::u16string& s) {
    std::u16string out = s;
    for (auto& c : out)
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - 32);
    return out;
}

bool SameText(const std::u16string& a, const std::u16string& b) {
    return a.size() == b.size() && UpperCase(a) == UpperCase(b);
}

std::u16string BytesToText(const std::string& bytes) {
    std::u16string out(bytes.size(), u'\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        out[i] = static_cast<unsigned char>(bytes[i]);
    return out;
}

std::string TextToBytes(const std::u16string& s) {
    std::string out(s.size(), '\0');
    for (size_t i = 0; i < s.size(); ++i)
        out[i] = static_cast<char>(s[i] & 0xFF);
    return out;
}

std::string ToUtf8(const std::u16string& s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
            s[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

namespace {

// Decodes one UTF-8 sequence at `i`; returns false for anything malformed (overlong forms,
// surrogates and values above U+10FFFF included).
bool DecodeUtf8(const std::string& s, size_t& i, uint32_t& cp) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char b0 = byte(i);
    size_t len;
    uint32_t min;
    if (b0 < 0x80) {
        cp = b0;
        ++i;
        return true;
    } else if ((b0 & 0xE0) == 0xC0) {
        len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
        return false;
    }
    if (i + len > s.size())
        return false;
    for (size_t k = 1; k < len; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return false;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return false;
    i += len;
    return true;
}

void AppendCodePoint(std::u16string& out, uint32_t cp) {
    if (cp < 0x10000) {
        out += static_cast<char16_t>(cp);
    } else {
        cp -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (cp >> 10));
        out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    }
}

} // namespace

bool TryFromUtf8(const std::string& s, std::u16string& out) {
    out.clear();
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        uint32_t cp;
        if (!DecodeUtf8(s, i, cp))
            return false;
        AppendCodePoint(out, cp);
    }
    return true;
}

std::u16string FromUtf8(const std::string& s) {
    std::u16string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        uint32_t cp;
        if (!DecodeUtf8(s, i, cp)) {
            cp = 0xFFFD;
            ++i;
        }
        AppendCodePoint(out, cp);
    }
    return out;
}

std::u16string FromWindows1252(const std::string& s) {
    static const char16_t k80[32] = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
    std::u16string out(s.size(), u'\0');
    for (size_t i = 0; i < s.size(); ++i) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        out[i] = (b >= 0x80 && b < 0xA0) ? k80[b - 0x80] : b;
    }
    return out;
}

} // namespace SysUtils
