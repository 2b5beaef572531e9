// Telegram extraction cost per received byte, in the two shapes that matter: a cache that fills
// one byte at a time without an end mark, and a stream of telegrams in chunks of random size.

#include "common/MsgUtils.h"
#include "ports/FeedPort.h"
#include "ports/PortBase.h"

#include <chrono>
#include <cstdio>
#include <random>
#include <string>

namespace {

double NsPerByte(std::chrono::steady_clock::duration d, size_t bytes) {
    return std::chrono::duration<double, std::nano>(d).count() / static_cast<double>(bytes);
}

} // namespace

int main() {
    using Clock = std::chrono::steady_clock;

    // 64 KiB, one byte per chunk, no end mark until the cache overflows.
    const size_t kFill = 64 * 1024;
    TFeedPort filling(u"\x02", u"\x03");
    filling.SetMaxRxCache(static_cast<int32_t>(kFill));
    filling.SetOnRxBufferOverflow([](Classes::TObject*) {});
    std::string one(1, 'x');
    auto t0 = Clock::now();
    for (size_t i = 0; i <= kFill; ++i)
        filling.Feed(one);
    double fill = NsPerByte(Clock::now() - t0, kFill + 1);

    // 1 MiB of framed telegrams, chunks of random size 1..512, drained as they complete.
    std::mt19937 rng(42);
    std::string stream;
    while (stream.size() < 1024 * 1024) {
        stream += '\x02';
        stream.append(8 + rng() % 56, 'a' + static_cast<char>(rng() % 26));
        stream += '\x03';
    }
    TFeedPort framed(u"\x02", u"\x03");
    size_t telegrams = 0;
    framed.SetOnDataReceived([&](Classes::TObject*) {
        while (framed.GetDataCount() > 0) {
            framed.GetData();
            ++telegrams;
        }
    });
    std::uniform_int_distribution<size_t> chunk(1, 512);
    t0 = Clock::now();
    for (size_t pos = 0; pos < stream.size();) {
        size_t n = std::min(chunk(rng), stream.size() - pos);
        framed.Feed(stream.substr(pos, n));
        pos += n;
    }
    double chunks = NsPerByte(Clock::now() - t0, stream.size());

    std::printf("%-52s %8.1f ns/byte\n", "extraction, 64 KiB one byte at a time, no end mark",
                fill);
    std::printf("%-52s %8.1f ns/byte (%zu telegrams)\n",
                "extraction, 1 MiB of telegrams in chunks of 1..512", chunks, telegrams);
    return 0;
}
