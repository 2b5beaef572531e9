#pragma once
// The abstract port the job driver talks to. It owns all that does not depend on the kind of
// port: the receive cache and its cutting into telegrams between a start and an end mark, the
// queue of complete telegrams, the XOR code byte, framing and byte conversion on sending, the
// wait statement and the four events. Port kinds supply only the device.

#include "common/Classes.h"
#include "common/MsgUtils.h"

#include <cstdint>
#include <deque>
#include <string>

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

class TPortBase : public TObject {
public:
    /// Framing is on when both marks are non-empty; otherwise both are dropped (raw mode).
    TPortBase(const std::u16string& sTelegramStart, const std::u16string& sTelegramEnd);
    ~TPortBase() override;

protected:
    /// Empties the receive cache and the telegram queue. Descendants call this first, then
    /// transmit every byte of `msTxData` and raise EMsg when they cannot.
    virtual void SendStream(TMemoryStream& msTxData);

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
    void ExtractTelegrams();
    size_t CacheLength() const { return fsRxCache.size() - fiCacheHead; }

    // The cache is fsRxCache from fiCacheHead on. Consumed text is only cut off once per chunk,
    // and the search for an end mark resumes where the last one stopped, so a chunk costs time in
    // its own length, whatever the fill of the cache.
    std::u16string fsRxCache;
    size_t fiCacheHead = 0;
    size_t fiEndScanFrom = 0;
    std::deque<std::u16string> fslRxBuffer;

    bool fbSending = false; ///< inside Send: received data is kept without an event
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
