#include "ports/PortBase.h"

#include "common/MsgUtils.h"
#include "common/SysUtils.h"
#include "platform/OneShotTimer.h"
#include "platform/SignalEvents.h"

namespace PortBase {

using MsgUtils::EMsg;
using MsgUtils::TMsg;

int32_t StringToByteStream(const std::u16string& sText, TMemoryStream& aStream,
                           uint8_t byCodeByte) {
    if (aStream.Size() != static_cast<int64_t>(sText.size()))
        aStream.SetSize(static_cast<int64_t>(sText.size()));
    aStream.SetPosition(0);
    // Converted first and written once: a stream write per byte costs as much as the line's
    // own write for a long telegram.
    std::string bytes;
    bytes.reserve(sText.size());
    for (char16_t c : sText) {
        if (c > 255)
            break;
        bytes.push_back(static_cast<char>(static_cast<uint8_t>(c) ^ byCodeByte));
    }
    aStream.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
    int32_t written = static_cast<int32_t>(bytes.size());
    return bytes.size() < sText.size() ? -(written + 1) : written;
}

std::u16string OverflowText(int32_t iLength, int32_t iLimit) {
    return SysUtils::Format(u"Receive cache overflow: %d bytes without a complete telegram, more "
                            u"than the limit of %d; they were dropped",
                            {iLength, iLimit});
}

TPortBase::TPortBase(const std::u16string& sTelegramStart, const std::u16string& sTelegramEnd) {
    if (!sTelegramStart.empty() && !sTelegramEnd.empty()) {
        fsTelegramStart = sTelegramStart;
        fsTelegramEnd = sTelegramEnd;
    }
}

TPortBase::~TPortBase() = default;

void TPortBase::SetTerminator(const std::u16string& sTerminator) {
    fsTerminator = Framed() ? std::u16string() : sTerminator;
}

void TPortBase::SetGap(int32_t iMs) {
    fiGapMs = Framed() || LineFramed() ? 0 : std::max(iMs, 0);
    if (fiGapMs > 0 && !fGapTimer)
        fGapTimer = OneShotTimer::Create([this] { GapElapsed(); });
}

void TPortBase::SendStream(TMemoryStream&) {
    // What came before the telegram answers something else (a banner, a notice, the late answer
    // to an earlier run); the device's own queues hold some of it too.
    std::string sDevice = TakeStaleInput();
    std::u16string stale = fsDropped;
    for (const auto& t : fslRxBuffer)
        stale += t;
    stale += fsRxCache.substr(fiCacheHead);
    for (char c : sDevice)
        stale += static_cast<char16_t>(static_cast<uint8_t>(static_cast<uint8_t>(c) ^ FbyCodeByte));
    ClearReceived();
    fslRxBuffer.clear();
    fbOverflowReported = false;
    if (!stale.empty())
        TMsg::Hint(u"Discarded before sending: %s", {stale}, 0);
}

void TPortBase::ClearReceived() {
    fsRxCache.clear();
    fiCacheHead = 0;
    fiEndScanFrom = 0;
    fsDropped.clear();
    if (fGapTimer)
        fGapTimer->Stop();
}

std::u16string TPortBase::Unjudged() const {
    return fsDropped + fsRxCache.substr(fiCacheHead);
}

void TPortBase::Drop(std::u16string_view sText) {
    fsDropped += sText;
    size_t limit = static_cast<size_t>(std::max<int32_t>(FiMaxRxCache, 0));
    if (fsDropped.size() > limit)
        fsDropped.erase(0, fsDropped.size() - limit);
}

bool TPortBase::Instruct(const std::u16string& sStatement) {
    if (sStatement.rfind(u"W=", 0) != 0)
        return false;
    int32_t ms = SysUtils::StrToIntDef(sStatement.substr(2, 5), 0);
    if (ms <= 0)
        return false;
    // Stations have always relied on the five characters; a longer value waits far shorter
    // than it says.
    if (sStatement.size() > 7)
        TMsg::Warning(u"%s: only the first five characters count: waits %d ms", {sStatement, ms},
                      0);
    // A signal that ends the run ends the wait, and the instructions after it, as their failure.
    if (int iSignal = SignalEvents::Sleep(ms))
        throw SysUtils::Exception(SignalEvents::InterruptionText(iSignal));
    return true;
}

void TPortBase::Send(const std::u16string& sData) {
    std::u16string frame = fsTelegramStart + sData + fsTelegramEnd;
    TMemoryStream stream;
    int32_t result = StringToByteStream(frame, stream, FbyCodeByte);
    if (result < 0)
        throw EMsg(0xF10200, result);
    // A port may serve events while its line is busy; what comes meanwhile is kept, but judged
    // only once the telegram is out and the job waits for it.
    struct TSending {
        bool& b;
        ~TSending() { b = false; }
    } sending{fbSending};
    fbSending = true;
    SendStream(stream);
}

std::u16string TPortBase::GetData() {
    if (!Queued()) {
        std::u16string data = fsRxCache.substr(fiCacheHead);
        fsRxCache.clear();
        fiCacheHead = 0;
        fiEndScanFrom = 0;
        return data;
    }
    if (fslRxBuffer.empty())
        return {};
    std::u16string telegram = std::move(fslRxBuffer.front());
    fslRxBuffer.pop_front();
    size_t marks = fsTelegramStart.size() + fsTelegramEnd.size();
    if (telegram.size() <= marks)
        return {};
    return telegram.substr(fsTelegramStart.size(), telegram.size() - marks);
}

int32_t TPortBase::GetDataCount() const {
    return static_cast<int32_t>(Queued() ? fslRxBuffer.size() : CacheLength());
}

void TPortBase::ReceiveData(const std::string& sRxData) {
    size_t old = fsRxCache.size();
    fsRxCache.resize(old + sRxData.size());
    for (size_t i = 0; i < sRxData.size(); ++i)
        fsRxCache[old + i] = static_cast<uint8_t>(static_cast<uint8_t>(sRxData[i]) ^ FbyCodeByte);
    if (GapFramed()) {
        CheckOverflow();
        // Every chunk restarts the quiet time: the telegram ends only when the line rests.
        if (CacheLength() > 0)
            fGapTimer->Start(fiGapMs);
    } else if (Queued()) {
        if (LineFramed())
            ExtractLines();
        else
            ExtractTelegrams();
        if (!fslRxBuffer.empty() && FOnDataReceived && !fbSending)
            FOnDataReceived(this);
    } else if (CacheLength() > 0 && FOnDataReceived && !fbSending) {
        FOnDataReceived(this);
    }
}

void TPortBase::GapElapsed() {
    if (CacheLength() == 0)
        return;
    fslRxBuffer.emplace_back(fsRxCache.substr(fiCacheHead));
    fsRxCache.clear();
    fiCacheHead = 0;
    if (FOnDataReceived && !fbSending)
        FOnDataReceived(this);
}

void TPortBase::ExtractLines() {
    std::u16string_view cache(fsRxCache);
    for (;;) {
        size_t e = cache.find(fsTerminator, std::max(fiEndScanFrom, fiCacheHead));
        if (e == std::u16string_view::npos)
            break;
        fslRxBuffer.emplace_back(cache.substr(fiCacheHead, e - fiCacheHead));
        fiCacheHead = e + fsTerminator.size();
        fiEndScanFrom = fiCacheHead;
    }
    Compact(fsTerminator.size());
    CheckOverflow();
}

void TPortBase::ExtractTelegrams() {
    const std::u16string& start = fsTelegramStart;
    const std::u16string& end = fsTelegramEnd;
    std::u16string_view cache(fsRxCache);
    for (;;) {
        size_t e = cache.find(end, std::max(fiEndScanFrom, fiCacheHead));
        if (e == std::u16string_view::npos)
            break;
        size_t telegramEnd = e + end.size();
        // Only a start mark that begins at or before the end mark counts, so the search never
        // looks past it.
        std::u16string_view head = cache.substr(0, std::min(cache.size(), e + start.size()));
        size_t s = head.find(start, fiCacheHead);
        if (s != std::u16string_view::npos && s <= e) {
            // The telegram begins with the last start mark of a chain found from its own
            // beginning, so a start whose end mark never came is dropped.
            std::u16string_view telegram = cache.substr(0, telegramEnd);
            for (;;) {
                size_t p = telegram.find(start, s + start.size());
                if (p == std::u16string_view::npos)
                    break;
                s = p;
            }
            Drop(cache.substr(fiCacheHead, s - fiCacheHead));
            fslRxBuffer.emplace_back(cache.substr(s, telegramEnd - s));
        } else {
            Drop(cache.substr(fiCacheHead, telegramEnd - fiCacheHead));
        }
        fiCacheHead = telegramEnd;
        fiEndScanFrom = telegramEnd;
    }
    Compact(end.size());
    CheckOverflow();
}

void TPortBase::Compact(size_t iMarkLength) {
    // A mark split across chunks is found when its rest comes.
    size_t tail = iMarkLength - 1;
    fiEndScanFrom = std::max(fiCacheHead, fsRxCache.size() > tail ? fsRxCache.size() - tail : 0);
    if (fiCacheHead > 0) {
        fsRxCache.erase(0, fiCacheHead);
        fiEndScanFrom -= fiCacheHead;
        fiCacheHead = 0;
    }
}

void TPortBase::CheckOverflow() {
    if (fsRxCache.size() - fiCacheHead <= static_cast<size_t>(std::max<int32_t>(FiMaxRxCache, 0)))
        return;
    int32_t length = static_cast<int32_t>(std::min<size_t>(CacheLength(), INT32_MAX));
    fsRxCache.clear();
    fiCacheHead = 0;
    fiEndScanFrom = 0;
    if (fGapTimer)
        fGapTimer->Stop();
    if (FOnRxBufferOverflow) {
        FOnRxBufferOverflow(this);
        return;
    }
    // A flood overflows again and again; once per telegram tells all there is to tell.
    if (!fbOverflowReported)
        TMsg::Error(OverflowText(length, FiMaxRxCache), 0);
    fbOverflowReported = true;
    throw ERxCacheOverflow(0xF10100, length);
}

} // namespace PortBase
