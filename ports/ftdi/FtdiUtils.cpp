#include "ports/ftdi/FtdiUtils.h"

#include "common/SysUtils.h"

namespace FtdiUtils {

using namespace FtdiD2xx;
using SysUtils::Format;

namespace {

TFtdiDetector* gDetector = nullptr;

/// 8-bit text of `s`; false when a character has no byte (it could then only match by accident).
bool TryTextToBytes(const std::u16string& s, std::string& sBytes) {
    sBytes.clear();
    for (char16_t c : s) {
        if (c > 0xFF)
            return false;
        sBytes.push_back(static_cast<char>(c));
    }
    return true;
}

/// The value of an "SN:" or "DS:" identification: the trimmed text after the first ":", or what
/// the first two double quotes enclose when they enclose something.
std::u16string IdentificationValue(const std::u16string& sName) {
    std::u16string sValue = SysUtils::Trim(sName.substr(sName.find(u':') + 1));
    size_t iFirst = sValue.find(u'"');
    if (iFirst != std::u16string::npos) {
        size_t iSecond = sValue.find(u'"', iFirst + 1);
        if (iSecond != std::u16string::npos && iSecond > iFirst + 1)
            return sValue.substr(iFirst + 1, iSecond - iFirst - 1);
    }
    return sValue;
}

} // namespace

// ---- Statements -------------------------------------------------------------------------------

TFtdiStatementResult FtdiStatement(TFtdiD2xx* aDevice, const std::u16string& sStatement) {
    struct TLineStatement {
        const char16_t* sText;
        EModemSignal eSignal;
        bool bState;
    };
    static const TLineStatement Lines[] = {{u"SetDTR", emDTR, true},
                                           {u"ClrDTR", emDTR, false},
                                           {u"SetRTS", emRTS, true},
                                           {u"ClrRTS", emRTS, false}};
    for (const TLineStatement& l : Lines) {
        if (SysUtils::SameText(sStatement, l.sText)) {
            if (aDevice == nullptr)
                return srFailed;
            return aDevice->SetSignal(l.eSignal, l.bState) ? srDone : srFailed;
        }
    }
    if (sStatement.rfind(u"CBBB", 0) == 0)
        return CbusBitBang(aDevice, sStatement);
    return srNotFtdi;
}

TFtdiStatementResult CbusBitBang(TFtdiD2xx* aDevice, const std::u16string& sStatement) {
    constexpr uint8_t CbusBitBangMode = 0x20;
    if (sStatement.size() < 7)
        return srInvalid;
    uint8_t byMask;
    char16_t cPin = sStatement[4];
    if (cPin >= u'0' && cPin <= u'3') {
        int n = cPin - u'0';
        byMask = static_cast<uint8_t>(0x10 << n);
        if (sStatement[6] == u'1')
            byMask |= static_cast<uint8_t>(0x01 << n);
    } else if (cPin == u'[') {
        // The mask runs to the bracket matching the first one; brackets inside belong to it.
        int iDepth = 0;
        size_t iClose = std::u16string::npos;
        for (size_t i = 4; i < sStatement.size(); ++i) {
            if (sStatement[i] == u'[') {
                ++iDepth;
            } else if (sStatement[i] == u']' && --iDepth == 0) {
                iClose = i;
                break;
            }
        }
        if (iClose == std::u16string::npos)
            return srInvalid;
        int32_t iMask = 0;
        if (!SysUtils::TryStrToInt(sStatement.substr(5, iClose - 5), iMask))
            return srInvalid;
        byMask = static_cast<uint8_t>(iMask);
    } else {
        return srInvalid;
    }
    if (aDevice == nullptr)
        return srFailed;
    return aDevice->SetBitMode(byMask, CbusBitBangMode) ? srDone : srFailed;
}

// ---- TFtdiDetector ----------------------------------------------------------------------------

TFtdiDetector* TFtdiDetector::Instance() {
    if (gDetector == nullptr)
        gDetector = new TFtdiDetector();
    return gDetector;
}

void TFtdiDetector::InstanceRelease() {
    TFtdiDetector* p = gDetector;
    gDetector = nullptr;
    delete p;
}

void TFtdiDetector::ClearDeviceList() {
    fDeviceList.reset();
}

bool TFtdiDetector::EnsureDeviceList(const std::u16string& sName) {
    if (!fDeviceList) {
        if (!TFtdiD2xxBase::Available()) {
            FsErrorText = u"No FTDI driver not found!";
            return false;
        }
        fDeviceList = std::make_unique<TFtdiD2xxDeviceList>();
    } else if (fDeviceList->Count() > 0 && (fbDescriptions || sName.rfind(u"DS:", 0) != 0)) {
        return true;
    }
    // The "USB" form needs only to know that some device is there; counting opens none.
    if (sName.rfind(u"SN:", 0) != 0 && sName.rfind(u"DS:", 0) != 0) {
        FtdiD2xxDll::DWORD dwCount = 0;
        if (FtdiD2xxDll::Call(FtdiD2xxDll::D2xx().FT_ListDevices, static_cast<void*>(&dwCount),
                              static_cast<void*>(nullptr),
                              FtdiD2xxDll::FT_LIST_NUMBER_ONLY) != FtdiD2xxDll::FT_OK)
            return fDeviceList->LoadNames(false) > 0; // keeps the library's status
        return dwCount > 0;
    }
    fbDescriptions = sName.rfind(u"DS:", 0) == 0;
    return fDeviceList->LoadNames(fbDescriptions) > 0;
}

std::string TFtdiDetector::SerialNumberAt(uint32_t dwLocId) {
    TFtdiD2xxDeviceList list;
    try {
        for (int32_t i = 0; i < list.LoadNames(false); ++i)
            if (list.LocId(i) == dwLocId)
                return list.SerialNumber(i);
    } catch (const SysUtils::Exception&) {
    }
    return {};
}

bool TFtdiDetector::Find(const std::u16string& sName) {
    FdwUsbLocationId = InvalidLocationId;
    FbAbsent = false;
    if (!EnsureDeviceList(sName)) {
        // Without a list the driver was missing and the text says so already.
        if (fDeviceList) {
            FsErrorText = u"No FTDI devices available!";
            FbAbsent = true;
        }
        return false;
    }
    if (sName.rfind(u"USB", 0) == 0) {
        std::string sDigits;
        if (TryTextToBytes(sName.substr(3), sDigits))
            FdwUsbLocationId = TFtdiD2xxBase::UsbPortId(sDigits);
        if (FdwUsbLocationId == InvalidLocationId) {
            FsErrorText = Format(u"No FTDI device found at %s", {sName});
            return false;
        }
        FsDeviceIndication = sName;
        FdwOpenFlag = FtdiD2xxDll::FT_OPEN_BY_LOCATION;
        FsOpenText = SysUtils::TextToBytes(TFtdiD2xxBase::UsbPortId(FdwUsbLocationId));
        FsSerialNumber.clear();
        return true;
    }
    bool bSerial = sName.rfind(u"SN:", 0) == 0;
    if (bSerial || sName.rfind(u"DS:", 0) == 0) {
        std::string sValue;
        int32_t iFound = -1;
        if (TryTextToBytes(IdentificationValue(sName), sValue) && !sValue.empty())
            for (int32_t i = 0; i < fDeviceList->Count() && iFound < 0; ++i)
                if ((bSerial ? fDeviceList->SerialNumber(i) : fDeviceList->Description(i))
                        .find(sValue) != std::string::npos)
                    iFound = i;
        if (iFound < 0) {
            FsErrorText = Format(u"No FTDI device found for [%s]", {sName});
            FbAbsent = true;
            return false;
        }
        FdwUsbLocationId = fDeviceList->LocId(iFound);
        FsSerialNumber = fDeviceList->SerialNumber(iFound);
        // By its full serial number the library claims the match alone; a serial number that two
        // devices share (or none) could open the wrong one, the location cannot.
        int iSame = 0;
        for (int32_t i = 0; i < fDeviceList->Count(); ++i)
            iSame += fDeviceList->SerialNumber(i) == FsSerialNumber;
        if (!FsSerialNumber.empty() && iSame == 1) {
            FdwOpenFlag = FtdiD2xxDll::FT_OPEN_BY_SERIAL_NUMBER;
            FsOpenText = FsSerialNumber;
        } else {
            FdwOpenFlag = FtdiD2xxDll::FT_OPEN_BY_LOCATION;
            FsOpenText = SysUtils::TextToBytes(TFtdiD2xxBase::UsbPortId(FdwUsbLocationId));
        }
        FsDeviceIndication = Format(u"USB%.4x [%s]", {FdwUsbLocationId, sName});
        return true;
    }
    FsErrorText = u"Unknown port identification: " + sName;
    return false;
}

} // namespace FtdiUtils
