#pragma once
// The port kind that talks over a serial port of the operating system through the serial
// driver: reads Port and Bitrate from [DEVICE], opens COM1 to COM9, writes each telegram byte by
// byte and hands received bytes to the port base.

#include "ports/PortBase.h"
#include "ports/rs232/SerialDriver.h"

#include <cstdint>
#include <memory>
#include <string>

namespace PortRs232 {

using Classes::TMemoryStream;
using Classes::TObject;

class TPortRs232 : public PortBase::TPortBase {
public:
    /// `aDevice` is the serial back end for the driver (the termios device when none is given).
    TPortRs232(const std::u16string& sTelegramStart, const std::u16string& sTelegramEnd,
               std::unique_ptr<SerialDevice::ISerialDevice> aDevice = nullptr);
    /// Frees the driver, which releases the device; OnClosed is not fired.
    ~TPortRs232() override;

protected:
    /// Empties the receive side, then writes every byte of `msTxData` on its own. A driver error
    /// raises EMsg 0xF3050A and ends the transmission at that byte.
    void SendStream(TMemoryStream& msTxData) override;
    /// The operating system's input queue: read out, then flushed.
    std::string TakeStaleInput() override;

public:
    /// Reads [DEVICE] Port (EMsg 0xF30114 when missing, 0xF3010A when its number is below 1) and
    /// Bitrate (a hint when not given; an unaccepted rate shows the driver's message box).
    void Init(const IniFiles::TMemIniFile& aMemIni) override;
    bool Active() override;
    /// Opens the configured port; COM10 and above raise EMsg 0xF3021E with the number.
    void Open() override;
    void Close() override;
    /// Only the base's wait statement.
    bool Instruct(const std::u16string& sStatement) override;

    /// The driver, for inspection.
    SerialDriver::TSerial& Serial() { return *fSerial; }
    const std::u16string& PortId() const { return fsPortId; }

private:
    /// 0 closes, 1..9 opens that port; raises EMsg when the driver does not follow.
    bool SetPortActive(uint32_t iPortNo);
    void SerialError(TObject* Sender);
    void SerialRxData(TObject* Sender);

    std::unique_ptr<SerialDriver::TSerial> fSerial;
    std::u16string fsPortId;
    // The number as configured: above 255 it does not fit the driver's port number, and must be
    // refused rather than cut.
    uint32_t fiPortNo = 1;
};

} // namespace PortRs232
