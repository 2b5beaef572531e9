#pragma once
// The abstract port the job driver talks to. It owns all that does not depend on the kind of
// port: the receive cache and its cutting into telegrams (between a start and an end mark, at a
// line terminator, or at a quiet gap), the queue of complete telegrams, the XOR code byte, framing
// and byte conversion on sending, the wait statement and the four events. Port kinds supply only
// the device.

#include "common/Classes.h"
#include "common/MsgUtils.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

namespace OneShotTimer {
class IOneShotTimer;
}

namespace IniFiles {
class TMemIniFile;
}

namespace PortBase {

using Classes::TMemoryStream;
using Classes::TNotifyEvent;
using Classes::TObject;

/// Writes the bytes of `sText` (each XOR `byCodeByte`) into `aStream` from its start, sized to the
/// text. Returns the count written, or minus the 1-based position of the first character above
/// 255; the bytes before it stay in the stream.
int32_t StringToByteStream(const std::u16string& sText, TMemoryStream& aStream, uint8_t byCodeByte);

/// The line that reports `iLength` bytes received without a complete telegram, past `iLimit`.
std::u16string OverflowText(int32_t iLength, int32_t iLimit);

/// The receive cache grew past its limit without a complete telegram. The port base has logged it
/// already, so whoever catches it only decides what happens next.
class ERxCacheOverflow : public MsgUtils::EMsg {
public:
    using MsgUtils::EMsg::EMsg;
};

class TPortBase : public TObject {
public:
    /// Framing is on when both marks are non-empty; otherwise both are dropped (raw mode).
    TPortBase(const std::u16string& sTelegramStart, const std::u16string& sTelegramEnd);
    ~TPortBase() override;

protected:
    /// Discards everything received so far, the device's own input (TakeStaleInput) included,
    /// and logs it as a hint. Descendants call this first, right before the first byte goes out,
    /// then transmit every byte of `msTxData` and raise EMsg when they cannot.
    virtual void SendStream(TMemoryStream& msTxData);
    /// The bytes the device holds that were received before the telegram and not handed over
    /// yet, taken out of its queues so that they cannot pass for the answer.
    virtual std::string TakeStaleInput() { return {}; }

public:
    /// Reads and validates the kind's own [DEVICE] keys; raises EMsg for a missing or bad one.
    virtual void Init(const IniFiles::TMemIniFile& aMemIni) = 0;
    /// True while the device or socket is open.
    virtual bool Active() = 0;
    /// Opens and fires OnOpened before returning; raises EMsg on failure. When already active:
    /// a hint, no second OnOpened.
    virtual void Open() = 0;
    /// Releases the device, then fires OnClosed (also when it was not open).
    virtual void Close() = 0;
    /// Carries out one statement; true only when it was carried out. The base knows "W=<ms>".
    virtual bool Instruct(const std::u16string& sStatement);
    /// Frames, codes and transmits one telegram. Raises EMsg 0xF10200 (value minus the position
    /// in the frame) for a character above 255; nothing is sent then.
    virtual void Send(const std::u16string& sData);

    /// The next telegram without its marks (framed) or the whole cache (raw); empty when none.
    std::u16string GetData();
    /// Telegrams waiting (framed) or characters in the cache (raw).
    int32_t GetDataCount() const;

    uint8_t CodeByte() const { return FbyCodeByte; }
    void SetCodeByte(uint8_t b) { FbyCodeByte = b; }
    int32_t MaxRxCache() const { return FiMaxRxCache; }
    void SetMaxRxCache(int32_t i) { FiMaxRxCache = i; }
    const TNotifyEvent& OnRxBufferOverflow() const { return FOnRxBufferOverflow; }
    void SetOnRxBufferOverflow(TNotifyEvent e) { FOnRxBufferOverflow = std::move(e); }
    const TNotifyEvent& OnDataReceived() const { return FOnDataReceived; }
    void SetOnDataReceived(TNotifyEvent e) { FOnDataReceived = std::move(e); }
    const TNotifyEvent& OnOpened() const { return FOnOpened; }
    void SetOnOpened(TNotifyEvent e) { FOnOpened = std::move(e); }
    const TNotifyEvent& OnClosed() const { return FOnClosed; }
    void SetOnClosed(TNotifyEvent e) { FOnClosed = std::move(e); }
    /// Fired when the device is lost during a run: the port has logged the cause and is no longer
    /// active.
    const TNotifyEvent& OnError() const { return FOnError; }
    void SetOnError(TNotifyEvent e) { FOnError = std::move(e); }

    bool Framed() const { return !fsTelegramStart.empty(); }

    /// Line framing: when start and end marks are off, received data is cut at each `sTerminator`
    /// (which is removed). Empty text switches it off. Call before Open.
    void SetTerminator(const std::u16string& sTerminator);
    /// Gap framing: when no marks and no terminator are set, data is one telegram once the line
    /// has been quiet for `iMs` milliseconds. 0 switches it off. Call before Open.
    void SetGap(int32_t iMs);
    bool LineFramed() const { return !fsTerminator.empty(); }
    bool GapFramed() const { return fiGapMs > 0; }

    /// What was received since the last Send and never became a telegram: text outside the
    /// frames and the unfinished rest, in arrival order (at most MaxRxCache characters).
    std::u16string Unjudged() const;

protected:
    /// Hands over one chunk of received bytes in arrival order (main thread). In framed mode a
    /// cache that grows past MaxRxCache is emptied and fires OnRxBufferOverflow, or raises EMsg
    /// 0xF10100 with the length it had when no handler is assigned.
    void ReceiveData(const std::string& sRxData);

    /// Fires an event only when it is assigned.
    void Fire(const TNotifyEvent& e) {
        if (e)
            e(this);
    }

    std::u16string fsTelegramStart;
    std::u16string fsTelegramEnd;

    TNotifyEvent FOnOpened;
    TNotifyEvent FOnClosed;
    TNotifyEvent FOnError;

private:
    bool Queued() const { return Framed() || LineFramed() || GapFramed(); }
    void ExtractTelegrams();
    void ExtractLines();
    /// Drops the consumed head of the cache and keeps the end-mark search where it can resume.
    void Compact(size_t iMarkLength);
    void CheckOverflow();
    void Drop(std::u16string_view sText);
    void GapElapsed();
    void ClearReceived();
    size_t CacheLength() const { return fsRxCache.size() - fiCacheHead; }

    // The cache is fsRxCache from fiCacheHead on. Consumed text is only cut off once per chunk,
    // and the search for an end mark resumes where the last one stopped, so a chunk costs time in
    // its own length, whatever the fill of the cache.
    std::u16string fsRxCache;
    size_t fiCacheHead = 0;
    size_t fiEndScanFrom = 0;
    std::deque<std::u16string> fslRxBuffer;

    std::u16string fsTerminator;
    int32_t fiGapMs = 0;
    std::unique_ptr<OneShotTimer::IOneShotTimer> fGapTimer;
    std::u16string fsDropped;        ///< received outside the frames since the last Send
    bool fbOverflowReported = false; ///< one overflow line per telegram sent, not one per chunk
    bool fbSending = false;          ///< inside Send: received data is kept without an event
    uint8_t FbyCodeByte = 0;
    int32_t FiMaxRxCache = 0xFFFF;
    TNotifyEvent FOnRxBufferOverflow;
    TNotifyEvent FOnDataReceived;
};

/// Raised by a port kind whose device refused a line setting while it opened: the run ends as a
/// settings failure, as for a setting refused while the configuration was read.
class EPortSettings : public MsgUtils::EMsg {
public:
    using MsgUtils::EMsg::EMsg;
};

} // namespace PortBase
