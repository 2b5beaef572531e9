#pragma once
// The object root, the notify event and the memory stream the units exchange data in.

#include <cstdint>
#include <functional>
#include <string>

namespace Classes {

/// Root of every class that is passed as an event's sender.
class TObject {
public:
    virtual ~TObject() = default;
};

/// An event: a callable that receives the sender first. An empty one is "unassigned" and the
/// owner never fires it.
using TNotifyEvent = std::function<void(TObject* Sender)>;

/// A growable block of bytes with a read/write position.
class TMemoryStream : public TObject {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::string bytes) : fData(std::move(bytes)) {}

    int64_t Size() const { return static_cast<int64_t>(fData.size()); }
    /// Grows with zero bytes or cuts; the position stays within the new size.
    void SetSize(int64_t iSize);
    int64_t Position() const { return fiPosition; }
    void SetPosition(int64_t iPosition);

    /// Writes at the position, growing the stream as needed; returns the count written.
    int64_t Write(const void* pBuffer, int64_t iCount);
    /// Reads up to `iCount` bytes from the position; returns the count read.
    int64_t Read(void* pBuffer, int64_t iCount);

    const char* Memory() const { return fData.data(); }
    /// The whole content, independent of the position.
    const std::string& Bytes() const { return fData; }

private:
    std::string fData;
    int64_t fiPosition = 0;
};

} // namespace Classes
