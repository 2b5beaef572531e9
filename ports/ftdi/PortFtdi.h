#pragma once
// The port kind for an FTDI USB device driven through the D2XX library: finds its device by
// location, serial number or description, opens it with the configured line settings, and adds
// the modem-line and CBUS bit-bang statements.

#include "ports/PortBase.h"
#include "ports/ftdi/FtdiD2xx.h"

#include <cstdint>
#include <memory>
#include <string>

namespace PortFtdi {

using Classes::TMemoryStream;
using Classes::TObject;

class TPortFtdi : public PortBase::TPortBase {
public:
    /// Creates the device object only when a usable library is installed; never fails for want
    /// of it (Init then reports the missing driver).
    TPortFtdi(const std::u16string& sTelegramStart, const std::u16string& sTelegramEnd);
    /// Frees the device, which closes it; OnClosed is not fired.
    ~TPortFtdi() override;

protected:
    /// Raises EMsg 0xF20300 when the device does not take every byte.
    void SendStream(TMemoryStream& msTxData) override;
    /// The driver's receive queue: read out, then purged.
    std::string TakeStaleInput() override;

public:
    /// Reads [DEVICE] Port, Bitrate, DataBits, Parity, StopBit and FlowControl. Raises EMsg
    /// "No port defined!" (0xF20114) or the finder's text (0xF2010A).
    void Init(const IniFiles::TMemIniFile& aMemIni) override;
    bool Active() override;
    /// Opens by location; a failed step raises its EMsg (0xF2020D..0xF20210, 0xF20214) with the
    /// device closed again.
    void Open() override;
    /// Closes the device (which may raise "Device closing failed!", then without OnClosed), then
    /// fires OnClosed.
    void Close() override;
    /// FTDI statements first, then the base's.
    bool Instruct(const std::u16string& sStatement) override;

    /// The device object, none without a library.
    FtdiD2xx::TFtdiD2xx* Device() const { return fFtdi.get(); }
    uint32_t UsbId() const { return fdwUsbId; }
    /// How messages name the device.
    const std::u16string& PortId() const { return fsPortId; }

private:
    /// Reads the four line settings; true when at least one held an accepted value. `sSummary`
    /// gets them as data bits, parity, stop bits and flow control ("8E1N").
    bool ReadExtendedSettings(const IniFiles::TMemIniFile& aMemIni, std::u16string& sSummary);
    void DoFtdiRxData(TObject* Sender);
    /// The device's OnError: logs the library status that closed it and fires OnError.
    void DoFtdiError();
    void HintHeldDevice();

    std::unique_ptr<FtdiD2xx::TFtdiD2xx> fFtdi;
    uint32_t fdwUsbId = 0;
    std::u16string fsPortId;
    bool fbHeldDeviceListed = false; // seen by Init, so that a failed open can name the cause
};

} // namespace PortFtdi
