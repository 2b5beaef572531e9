// The configuration reader on arbitrary file content: any bytes must decode and parse, and what
// was written must read back.

#include "common/IniFiles.h"
#include "common/SysUtils.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    IniFiles::TMemIniFile ini;
    ini.SetText(IniFiles::TMemIniFile::DecodeFile(bytes));
    for (const char16_t* section : {u"GENERAL", u"device", u"TELEGRAM", u""})
        for (const char16_t* key : {u"Name", u"Timeout", u"send", u""}) {
            ini.ReadString(section, key, u"-");
            ini.ReadInteger(section, key, 7);
        }
    ini.WriteString(u"Telegram", u"SEND", u"x");
    if (ini.ReadString(u"TELEGRAM", u"Send", u"") != u"x")
        std::abort();
    return 0;
}
