#pragma once
// What the FTDI port needs around its device: the finder that turns a port identification into
// a USB location id, and the FTDI statements (modem lines and CBUS bit-bang).

#include "common/Classes.h"
#include "ports/ftdi/FtdiD2xx.h"

#include <cstdint>
#include <memory>
#include <string>

namespace FtdiUtils {

using Classes::TObject;

/// The outcome of an FTDI statement.
enum TFtdiStatementResult {
    srNotFtdi, ///< not an FTDI statement
    srInvalid, ///< a malformed CBBB statement; the library was not called
    srFailed,  ///< the library call failed (or there is no device)
    srDone
};

/// "SetDTR", "ClrDTR", "SetRTS", "ClrRTS" (whole text, case ignored) switch the modem lines;
/// text beginning with "CBBB" (upper case) goes to CbusBitBang; anything else is srNotFtdi.
TFtdiStatementResult FtdiStatement(FtdiD2xx::TFtdiD2xx* aDevice, const std::u16string& sStatement);
/// "CBBBn=v" (n 0..3, pin n an output, high when the 7th character is "1") or "CBBB[mask]" (an
/// integer, low 8 bits: high nibble the outputs, low nibble their levels) sends one complete
/// mask in CBUS bit-bang mode.
TFtdiStatementResult CbusBitBang(FtdiD2xx::TFtdiD2xx* aDevice, const std::u16string& sStatement);

/// Turns a port identification into the device's location id: "USB" with hexadecimal digits,
/// "SN:" with (part of) a serial number, "DS:" with (part of) a description. Looks only at the
/// library's name lists, which claim no device: other programs opening theirs meanwhile are not
/// disturbed. One process-wide instance, taken and released around each look-up so that each
/// works on a fresh list.
class TFtdiDetector : public TObject {
public:
    /// The instance, created on first call.
    static TFtdiDetector* Instance();
    /// Destroys the instance with its device list; the next Instance creates a new one.
    static void InstanceRelease();

    /// Drops the device list; the next Find loads a fresh one.
    void ClearDeviceList();
    /// True with UsbLocationId, DeviceIndication and the open key set; false with ErrorText set.
    /// Never raises for a bad identification; an exception from loading the library passes
    /// through.
    bool Find(const std::u16string& sName);

    uint32_t UsbLocationId() const { return FdwUsbLocationId; }
    const std::u16string& DeviceIndication() const { return FsDeviceIndication; }
    const std::u16string& ErrorText() const { return FsErrorText; }
    /// How the found device is opened: the library's open flag and text, its full serial number
    /// when that names one device alone, else its location.
    uint32_t OpenFlag() const { return FdwOpenFlag; }
    const std::string& OpenText() const { return FsOpenText; }
    /// The found device's serial number; empty for the "USB" form.
    const std::string& SerialNumber() const { return FsSerialNumber; }
    /// True when the last Find failed because no such device is attached (yet).
    bool Absent() const { return FbAbsent; }
    /// The library's status when the device list could not be built, else 0.
    int32_t ListStatus() const { return fDeviceList ? fDeviceList->LastError() : 0; }
    /// The serial number the library lists at `dwLocId`, empty when none.
    static std::string SerialNumberAt(uint32_t dwLocId);

private:
    /// True when a device list with at least one device is at hand (names only as the form
    /// needs them: none for "USB", descriptions for "DS:").
    bool EnsureDeviceList(const std::u16string& sName);

    std::unique_ptr<FtdiD2xx::TFtdiD2xxDeviceList> fDeviceList;
    uint32_t FdwUsbLocationId = 0;
    std::u16string FsDeviceIndication;
    std::u16string FsErrorText;
    uint32_t FdwOpenFlag = 0;
    std::string FsOpenText;
    std::string FsSerialNumber;
    bool FbAbsent = false;
    bool fbDescriptions = false; // the list holds descriptions too
};

} // namespace FtdiUtils
