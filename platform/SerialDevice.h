#pragma once
// The serial-device operations the serial driver needs from the operating system, as one small
// interface free of OS headers: the termios implementation for real ports and pseudo-terminals,
// and fakes for tests. Every call answers with 0 or a platform error number (errno).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace SerialDevice {

/// Event bits of the device wait, with the values of the original comm API.
inline constexpr uint32_t evRxChar = 0x0001;
inline constexpr uint32_t evTxEmpty = 0x0004;
inline constexpr uint32_t evCTS = 0x0008;
inline constexpr uint32_t evDSR = 0x0010;
inline constexpr uint32_t evRLSD = 0x0020;
inline constexpr uint32_t evBreak = 0x0040;
inline constexpr uint32_t evRing = 0x0100;

/// Modem status bits answered by GetModemStatus.
inline constexpr uint32_t msCtsOn = 0x10;
inline constexpr uint32_t msDsrOn = 0x20;
inline constexpr uint32_t msRingOn = 0x40;
inline constexpr uint32_t msRlsdOn = 0x80;

/// Purge flags: the abort flags only concern transfers under way (ours are synchronous), the
/// clear flags empty the kernel's queues.
inline constexpr uint32_t purgeTxAbort = 0x1;
inline constexpr uint32_t purgeRxAbort = 0x2;
inline constexpr uint32_t purgeTxClear = 0x4;
inline constexpr uint32_t purgeRxClear = 0x8;

/// Line settings handed to the device, built from scratch by the driver each time.
struct TLineSettings {
    uint32_t Baudrate = 9600;
    uint8_t ByteSize = 8; ///< 5 to 8
    uint8_t Parity = 0;   ///< 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t StopBits = 0; ///< 0 one, 2 two
    bool Binary = true;
    bool CheckParity = false;  ///< parity checked on input
    bool ErrorReplace = false; ///< bytes with a parity error are replaced
    bool RtsHandshake = false; ///< RTS raised while the input has room
    bool OutCtsFlow = false;   ///< output waits for CTS
    bool DtrHandshake = false; ///< DTR raised while the input has room
    bool OutDsrFlow = false;   ///< output waits for DSR
    bool OutX = false;         ///< XON/XOFF on output
    bool InX = false;          ///< XON/XOFF on input
    uint16_t XonLim = 0;
    uint16_t XoffLim = 0;
    uint8_t XonChar = 0x11;
    uint8_t XoffChar = 0x13;
    uint8_t ErrorChar = 0x3F;
};

class ISerialDevice {
public:
    virtual ~ISerialDevice() = default;

    /// Opens `sPath` for exclusive use. A device already held (also by this process) fails.
    virtual int Open(const std::string& sPath) = 0;
    /// Releases the device; waits for a wait in progress to let go of it first.
    virtual int Close() = 0;
    virtual bool IsOpen() const = 0;
    /// The platform handle, -1 when closed.
    virtual int Handle() const = 0;

    /// Queue sizes have no kernel counterpart; the call only records them.
    virtual int SetQueueSizes(uint16_t wRx, uint16_t wTx) = 0;
    /// Applies every setting it can; a setting it cannot apply gives its error afterwards.
    virtual int ApplySettings(const TLineSettings& settings) = 0;
    /// What the device holds now of rate, byte size, parity, stop bits, RTS/CTS and XON/XOFF: a
    /// device may quietly turn a request into something else (a pseudo-terminal keeps 8 bits
    /// without parity).
    virtual int ReadSettings(TLineSettings& settings) = 0;

    /// Writes all `iCount` bytes, waiting at most `dwTimeoutMs` for the kernel to take them.
    /// `iWritten` is what it took; EINPROGRESS when the time ran out first.
    virtual int Write(const void* pData, size_t iCount, uint32_t dwTimeoutMs, size_t& iWritten) = 0;
    /// Reads what is waiting, at most `iCount` bytes, without waiting.
    virtual int Read(void* pData, size_t iCount, size_t& iRead) = 0;
    virtual int Purge(uint32_t dwFlags) = 0;
    /// Bytes waiting in the input and the output queue.
    virtual int QueueCounts(int32_t& iRx, int32_t& iTx) = 0;
    /// Waits until at most `iMaxQueued` bytes are left in the output queue, or `dwTimeoutMs`
    /// passed; `iQueued` is what is left then.
    virtual int WaitOutput(int32_t iMaxQueued, uint32_t dwTimeoutMs, int32_t& iQueued) = 0;

    virtual int SetRts(bool bOn) = 0;
    virtual int SetDtr(bool bOn) = 0;
    virtual int SetBreak(bool bOn) = 0;
    /// Resumes output as if an XON had come.
    virtual int ResumeOutput() = 0;
    /// The modem input lines as the ms*On bits.
    virtual int ModemStatus(uint32_t& dwStatus) = 0;

    /// The events the wait looks for; a mask of 0 ends a wait in progress.
    virtual int SetEventMask(uint32_t dwMask) = 0;
    /// Worker thread: blocks until an event of the mask occurs (its bits in `dwEvents`) or the
    /// mask is changed (0, no events). An error of the device is answered once; after that the
    /// wait idles until the mask changes or the device is closed.
    virtual int WaitEvent(uint32_t& dwEvents) = 0;
};

/// The termios implementation.
std::unique_ptr<ISerialDevice> CreateTermiosDevice();

/// The device path of COM port `iPort`: $TELVIK_COM<n> when set, else /dev/ttyS<n-1>.
std::string ComDevicePath(int iPort);

/// The platform's text for an error number.
std::u16string ErrorText(int iCode);

} // namespace SerialDevice
