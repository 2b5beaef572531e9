// Escape-tag processing on arbitrary text and tag marks: it either returns or raises the
// unknown-tag error, and text without a mark comes back unchanged.

#include "common/EscTaggedString.h"
#include "common/SysUtils.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    EscTaggedString::TEscTaggedString tags;
    tags.SetTagMark(static_cast<char16_t>(data[0] | (data[1] & 1 ? 0x100 : 0)));
    if (data[1] & 2)
        tags.AddTag(std::u16string{tags.TagMark(), u'S', u'T', u'X'}, u"\x02");
    std::u16string text;
    for (size_t i = 2; i + 1 < size; i += 2)
        text += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    try {
        std::u16string out = tags.Process(text);
        if (text.find(tags.TagMark()) == std::u16string::npos && out != text)
            std::abort();
    } catch (const SysUtils::Exception& e) {
        if (e.Message().rfind(u"Unknown tag in string \"", 0) != 0)
            std::abort();
    }
    tags.ReplaceHexTag(text, data[1]);
    return 0;
}
