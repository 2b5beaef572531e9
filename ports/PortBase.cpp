#include "ports/PortBase.h"

#include "common/MsgUtils.h"
#include "common/SysUtils.h"
#include "platform/SignalEvents.h"

namespace PortBase {

using MsgUtils::EMsg;

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

TPortBase::TPortBase(const std::u16string& sTelegramStart, const std::u16string& sTelegramEnd) {
    if (!sTelegramStart.empty() && !sTelegramEnd.empty()) {
        fsTelegramStart = sTelegramStart;
        fsTelegramEnd = sTelegramEnd;
    }
}

TPortBase::~TPortBase() = default;

void TPortBase::SendStream(TMemoryStream&) {
    fsRxCache.clear();
    fiCacheHead = 0;
    fiEndScanFrom = 0;
    fslRxBuffer.clear();
}

bool TPortBase::Instruct(const std::u16string& sStatement) {
    if (sStatement.rfind(u"W=", 0) != 0)
        return false;
    int32_t ms = SysUtils::StrToIntDef(sStatement.substr(2, 5), 0);
    if (ms <= 0)
        return false;
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
    if (!Framed()) {
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
    return static_cast<int32_t>(Framed() ? fslRxBuffer.size() : CacheLength());
}

void TPortBase::ReceiveData(const std::string& sRxData) {
    size_t old = fsRxCache.size();
    fsRxCache.resize(old + sRxData.size());
    for (size_t i = 0; i < sRxData.size(); ++i)
        fsRxCache[old + i] = static_cast<uint8_t>(static_cast<uint8_t>(sRxData[i]) ^ FbyCodeByte);
    if (Framed()) {
        ExtractTelegrams();
        if (!fslRxBuffer.empty() && FOnDataReceived && !fbSending)
            FOnDataReceived(this);
    } else if (CacheLength() > 0 && FOnDataReceived && !fbSending) {
        FOnDataReceived(this);
    }
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
            fslRxBuffer.emplace_back(cache.substr(s, telegramEnd - s));
        }
        fiCacheHead = telegramEnd;
        fiEndScanFrom = telegramEnd;
    }
    size_t tail = end.size() - 1;
    fiEndScanFrom = std::max(fiCacheHead, fsRxCache.size() > tail ? fsRxCache.size() - tail : 0);
    if (fiCacheHead > 0) {
        fsRxCache.erase(0, fiCacheHead);
        fiEndScanFrom -= fiCacheHead;
        fiCacheHead = 0;
    }
    if (fsRxCache.size() > static_cast<size_t>(std::max<int32_t>(FiMaxRxCache, 0))) {
        int32_t length = static_cast<int32_t>(std::min<size_t>(fsRxCache.size(), INT32_MAX));
        fsRxCache.clear();
        fiEndScanFrom = 0;
        if (FOnRxBufferOverflow)
            FOnRxBufferOverflow(this);
        else
            throw EMsg(0xF10100, length);
    }
}

} // namespace PortBase
