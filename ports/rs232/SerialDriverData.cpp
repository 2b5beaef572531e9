// The serial driver's data path: writes that never leave a telegram with a hole, the drain,
// and reads.
#include "ports/rs232/SerialDriver.h"

#include "platform/SignalEvents.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace SerialDriver {

using namespace SerialDevice;

namespace {

// How long a write waits for room before it serves the main thread's events again.
constexpr int64_t kWriteSliceMs = 20;

// A signal that comes while the main thread waits for the line ends that wait as it ends a W=
// wait: the run then goes on through its failure steps instead of waiting out the time-out.
void ThrowOnSignal() {
    if (int iSignal = SignalEvents::Take())
        throw SysUtils::Exception(SignalEvents::InterruptionText(iSignal));
}

} // namespace

bool TSerial::WaitForRoom(int32_t iCount) {
    // Without a queue size there is nothing to wait for.
    if (FTxQueueSize == 0)
        return true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(FTimeout);
    for (;;) {
        if (fiTxRoomKnown >= iCount) {
            fiTxRoomKnown -= iCount;
            return true;
        }
        fiTxRoomKnown = static_cast<int32_t>(FTxQueueSize) - TxWaiting();
        if (fiTxRoomKnown >= iCount)
            continue;
        int e = AwaitOutput(static_cast<int32_t>(FTxQueueSize) - iCount, deadline);
        if (e == -1) {
            ReportError(-1);
            return false;
        }
        if (e != 0) {
            CheckLastError(e);
            return false;
        }
    }
}

int TSerial::InSlices(std::chrono::steady_clock::time_point deadline,
                      const std::function<int(uint32_t, bool&)>& step) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        bool bDone = false;
        int e = step(static_cast<uint32_t>(std::clamp<int64_t>(left, 0, kWriteSliceMs)), bDone);
        if (e != 0 || bDone)
            return e;
        if (left <= 0)
            return ETIMEDOUT;
        ThrowOnSignal();
        // Only the driver's own hand-overs, not the job's requests: a finish run here would close
        // the port in the middle of the telegram. A peer that answers as it receives (an echo)
        // waits for its answer to be read before it takes more.
        MainThread::ProcessHandOvers();
        if (!FActive)
            return -1;
    }
}

int TSerial::AwaitOutput(int32_t iMaxQueued, std::chrono::steady_clock::time_point deadline) {
    return InSlices(deadline, [&](uint32_t dwSliceMs, bool& bDone) {
        int32_t iQueued = 0;
        int e = FDevice->WaitOutput(iMaxQueued, dwSliceMs, iQueued);
        bDone = iQueued <= iMaxQueued;
        return e;
    });
}

void TSerial::Drain() {
    if (!FActive) {
        ReportError(-1);
        return;
    }
    int e = AwaitOutput(0, std::chrono::steady_clock::now() + std::chrono::milliseconds(FTimeout));
    // The whole telegram is with the kernel. A device that hung up meanwhile (it took the
    // telegram and went) is the event thread's to report, once, as it reports every hang-up;
    // the drain reporting it as well told the loss twice and blamed the send for it.
    if (e == EIO)
        return;
    if (e == -1)
        ReportError(-1);
    else if (e != 0)
        CheckLastError(e);
}

void TSerial::Write(uint8_t by) {
    if (!FActive) {
        ReportError(-1);
        return;
    }
    if (FWaitOnTxFull && !WaitForRoom(1))
        return;
    // The kernel takes the byte at once unless its buffer is full; then the wait for room is
    // bounded by Timeout whatever WaitTxComplete says, as a byte dropped would be data lost.
    size_t n = 0;
    int e = WriteAll(reinterpret_cast<const char*>(&by), 1, n);
    WrittenBytes = static_cast<uint32_t>(n);
    if (e != 0)
        CheckLastError(e);
}

int TSerial::WriteAll(const char* pData, size_t iCount, size_t& iWritten) {
    iWritten = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(FTimeout);
    // Nothing goes on writing the rest in the background: a write that ran out of time has
    // failed, or the telegram would leave with a hole.
    return InSlices(deadline, [&](uint32_t dwSliceMs, bool& bDone) {
        size_t n = 0;
        int e = FDevice->Write(pData + iWritten, iCount - iWritten, dwSliceMs, n);
        iWritten += n;
        bDone = e != EINPROGRESS;
        return bDone ? e : 0;
    });
}

void TSerial::Write(const std::string& sText) {
    if (!FActive) {
        ReportError(-1);
        return;
    }
    // Text longer than the output queue goes out in parts of the queue's size.
    size_t part = sText.size();
    if (FWaitOnTxFull && FTxQueueSize != 0 && part > FTxQueueSize)
        part = FTxQueueSize;
    for (size_t pos = 0; pos < sText.size(); pos += part) {
        size_t len = std::min(part, sText.size() - pos);
        if (FWaitOnTxFull && !WaitForRoom(static_cast<int32_t>(len)))
            return;
        size_t n = 0;
        int e = WriteAll(sText.data() + pos, len, n);
        WrittenBytes = static_cast<uint32_t>(n);
        if (e != 0 && CheckLastError(e))
            return;
    }
}

int32_t TSerial::Read(uint8_t& by) {
    if (!FActive) {
        ReportError(-1);
        return 0;
    }
    size_t n = 0;
    int e = FDevice->Read(&by, 1, n);
    WrittenBytes = static_cast<uint32_t>(n);
    if (e != 0) {
        CheckLastError(e);
        return 0;
    }
    return static_cast<int32_t>(n);
}

int32_t TSerial::Read(char& c) {
    uint8_t by = 0;
    int32_t n = Read(by);
    if (n == 1)
        c = static_cast<char>(by);
    return n;
}

int32_t TSerial::Read(std::string& sText) {
    if (!FActive) {
        ReportError(-1);
        return 0;
    }
    sText.clear();
    // Taken in one pass as far as the device gives, which ends where a byte-by-byte reading
    // would: at the first empty read or after RxQueueSize + 1 bytes.
    const size_t limit = static_cast<size_t>(FRxQueueSize) + 1;
    sText.resize(limit);
    size_t have = 0;
    while (have < limit) {
        size_t n = 0;
        int e = FDevice->Read(sText.data() + have, limit - have, n);
        if (e != 0) {
            sText.resize(have);
            CheckLastError(e);
            return static_cast<int32_t>(have);
        }
        if (n == 0)
            break;
        have += n;
    }
    sText.resize(have);
    WrittenBytes = static_cast<uint32_t>(have);
    return static_cast<int32_t>(have);
}

} // namespace SerialDriver
