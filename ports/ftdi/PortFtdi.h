#pragma once
// The port kind for an FTDI USB device driven through the D2XX library: finds its device by
// location, serial number or description, opens it with the configured line settings, and adds
// the modem-line and CBUS bit-bang statements.

#include "ports/PortBase.h"
#include "ports/ftdi/FtdiD2xx.h"

#include <chrono>
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
    /// Reads [DEVICE] Port, Bitrate, DataBits, Parity, StopBit, FlowControl, BusyWait and
    /// FindWait. Raises EMsg "No port defined!" (0xF20114), the finder's text (0xF2010A) or a
    /// wait setting's (0xF20115). With FindWait a device not attached yet is looked for again
    /// until it appears or the time runs out.
    void Init(const IniFiles::TMemIniFile& aMemIni) override;
    /// Raises EMsg 0xF20115 when [DEVICE] BusyWait or FindWait is set to anything but an integer
    /// of at least 0 (milliseconds), so that a configuration can be refused as it is loaded.
    static void CheckWaitSettings(const IniFiles::TMemIniFile& aMemIni);
    bool Active() override;
    /// Opens the found device (by its full serial number, else its location) and sets its
    /// latency timer to 1 ms. An open refused as busy is tried again for BusyWait ms, one that
    /// finds no device until FindWait has passed since Init. A failed step raises its EMsg
    /// (0xF2020D..0xF20210, 0xF20214) with the device closed again.
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
    /// OpenEx, tried again while the device is busy or not there yet, as the waits allow.
    FtdiD2xx::EDeviceOpenSteps OpenWithWaits();
    /// Who holds the device, as the kernel sees it, with its serial number and location.
    void HintHeldDevice();

    std::unique_ptr<FtdiD2xx::TFtdiD2xx> fFtdi;
    uint32_t fdwUsbId = 0;
    std::u16string fsPortId;
    // How Open names the device to the library, and its serial number for messages.
    uint32_t fdwOpenFlag = 0;
    std::string fsOpenText;
    std::string fsSerialNumber;
    // The SN: or DS: identification the device was found by; empty for USB<locid>.
    std::u16string fsFoundBy;
    int32_t fiBusyWait = 2000;
    int32_t fiFindWait = 0;
    std::chrono::steady_clock::time_point fFindStart;
};

} // namespace PortFtdi
