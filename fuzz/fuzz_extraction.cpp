// Telegram extraction fed in random chunks with random marks and code byte, checked against the
// plain rules applied to the whole cache after every chunk.

#include "common/SysUtils.h"
#include "ports/FeedPort.h"
#include "ports/PortBase.h"
#include "ports/ReferenceFramer.h"

#include <cstdlib>

// Layout: start length, end length, code byte, cache limit, the marks, then chunks each led by
// its length byte.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4)
        return 0;
    size_t startLen = 1 + data[0] % 4, endLen = 1 + data[1] % 4;
    uint8_t code = data[2];
    size_t maxCache = 1 + data[3];
    size_t pos = 4;
    if (size < pos + startLen + endLen)
        return 0;
    auto text = [&](size_t n) {
        std::string b(reinterpret_cast<const char*>(data) + pos, n);
        pos += n;
        return SysUtils::BytesToText(b);
    };
    ReferenceFramer ref{text(startLen), text(endLen), u"", maxCache, {}, 0};
    TFeedPort port(ref.start, ref.end);
    port.SetCodeByte(code);
    port.SetMaxRxCache(static_cast<int32_t>(maxCache));
    int overflows = 0;
    port.SetOnRxBufferOverflow([&](Classes::TObject*) { ++overflows; });
    std::vector<std::u16string> got;
    while (pos < size) {
        size_t want = data[pos++] % 64;
        size_t n = std::min<size_t>(want, size - pos);
        std::u16string chunk = text(n);
        ref.Receive(chunk);
        std::string wire = SysUtils::TextToBytes(chunk);
        for (auto& c : wire)
            c = static_cast<char>(static_cast<uint8_t>(c) ^ code);
        port.Feed(wire);
        if (n % 3 == 0)
            while (port.GetDataCount() > 0)
                got.push_back(port.GetData());
    }
    while (port.GetDataCount() > 0)
        got.push_back(port.GetData());
    if (got != ref.telegrams || overflows != ref.overflows)
        std::abort();
    return 0;
}
