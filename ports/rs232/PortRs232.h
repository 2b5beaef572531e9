#pragma once
// The port kind that talks over a serial port of the operating system through the serial
// driver: reads Port, Bitrate and the line settings from [DEVICE], opens COM1 to COM9 or a device
// path, switches the modem lines and the break, writes each telegram at once and hands received
// bytes to the port base.

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
    /// Empties the receive side, then hands `msTxData` to the driver in one write and waits until
    /// it has gone out. A driver error (a line that takes nothing within the driver's Timeout
    /// included) raises EMsg 0xF3050A.
    void SendStream(TMemoryStream& msTxData) override;
    /// The operating system's input queue: read out, then flushed.
    std::string TakeStaleInput() override;

public:
    /// Reads [DEVICE] Port (EMsg 0xF30114 when missing, 0xF3010A when it is neither COM<n> with n
    /// of 1 or more nor a path), Bitrate (a hint when not given; an unaccepted rate shows the
    /// driver's message box), and DataBits, Parity, StopBit, FlowControl (absent: 8N1, no flow
    /// control; EMsg 0xF30128 naming the key for a value outside the letters).
    void Init(const IniFiles::TMemIniFile& aMemIni) override;
    bool Active() override;
    /// Opens the configured port; COM10 and above raise EMsg 0xF3021E with the number. A line
    /// setting the device does not take closes it again and raises PortBase::EPortSettings
    /// 0xF30228 naming the setting.
    void Open() override;
    void Close() override;
    /// SetDTR, ClrDTR, SetRTS, ClrRTS, SetBRK, ClrBRK (case ignored; false with a hint when the
    /// device refuses), then the base's wait statement.
    bool Instruct(const std::u16string& sStatement) override;

    /// The driver, for inspection.
    SerialDriver::TSerial& Serial() { return *fSerial; }
    const std::u16string& PortId() const { return fsPortId; }

private:
    /// 0 closes, 1..9 opens that port; raises EMsg when the driver does not follow.
    bool SetPortActive(uint32_t iPortNo);
    void ReadLineSettings(const IniFiles::TMemIniFile& aMemIni);
    /// Raises EPortSettings, the port closed, for the first setting that did not take.
    void CheckLineSettings();
    void SerialError(TObject* Sender);
    void SerialRxData(TObject* Sender);

    std::unique_ptr<SerialDriver::TSerial> fSerial;
    std::u16string fsPortId;
    // The number as configured: above 255 it does not fit the driver's port number, and must be
    // refused rather than cut.
    uint32_t fiPortNo = 1;
};

} // namespace PortRs232
