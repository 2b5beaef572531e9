#include "ports/rs232/PortRs232.h"

#include "common/IniFiles.h"
#include "common/MsgUtils.h"
#include "platform/SerialPorts.h"
#include "ports/rs232/Rs232Utils.h"

namespace PortRs232 {

using MsgUtils::EMsg;
using MsgUtils::TMsg;
using namespace SerialDriver;

TPortRs232::TPortRs232(const std::u16string& sTelegramStart, const std::u16string& sTelegramEnd,
                       std::unique_ptr<SerialDevice::ISerialDevice> aDevice)
    : TPortBase(sTelegramStart, sTelegramEnd),
      fSerial(std::make_unique<TSerial>(nullptr, std::move(aDevice))) {
    fSerial->SetDataBits(d8bit);
    fSerial->SetOnError([this](TObject* Sender) { SerialError(Sender); });
    fSerial->SetNotifyErrors(neEvent);
}

TPortRs232::~TPortRs232() {
    // Closing may report an error, and the handlers reach the driver through fSerial, which is
    // already empty while the driver is being destroyed: a destroyed port has nobody to tell.
    fSerial->SetOnError(nullptr);
    fSerial->SetOnRxData(nullptr);
    fSerial.reset();
}

void TPortRs232::Init(const IniFiles::TMemIniFile& aMemIni) {
    std::u16string sPort = aMemIni.ReadString(u"DEVICE", u"Port", u"");
    if (sPort.empty())
        throw EMsg(u"No COM port defined!", 0xF30114, 0);
    // A device path (/dev/ttyUSB0, /dev/serial/by-id/...) is opened as it stands; its port
    // number only has to pass the range check of the open.
    bool bPath = sPort[0] == u'/';
    int32_t n = bPath ? 1 : Rs232Utils::ComPortNumber(sPort);
    if (n < 1)
        throw EMsg(SysUtils::Format(u"Invalid COM port definition \"%s\"!", {sPort}), 0xF3010A, 0);
    fiPortNo = static_cast<uint32_t>(n);
    if (n <= 255)
        fSerial->SetPort(static_cast<sPorts>(n));
    fSerial->SetDevicePath(bPath ? SysUtils::ToUtf8(sPort) : std::string());
    fsPortId = sPort;
    int32_t iBitrate = aMemIni.ReadInteger(u"DEVICE", u"Bitrate", 0);
    if (iBitrate > 0) {
        fSerial->SetBaudrate(iBitrate);
        // Going on at the rate before would talk to the device at a rate it was not set to, and
        // whatever came back could still pass.
        if (fSerial->Baudrate() != iBitrate)
            throw EMsg(u"Bit rate %d bps is not supported; supported are %s",
                       {iBitrate, SerialDriver::ValidBaudratesText()}, 0xF3011E, iBitrate);
    } else
        TMsg::Hint(u"Default bit rate %d bps is used", {fSerial->Baudrate()}, 0);
}

bool TPortRs232::Active() {
    return fSerial->Active();
}

void TPortRs232::Open() {
    if (fSerial->Active()) {
        TMsg::Hint(u"RS232 device %s already open.", {fsPortId}, 0);
        return;
    }
    fSerial->SetOnRxData([this](TObject* Sender) { SerialRxData(Sender); });
    SetPortActive(fiPortNo);
    Fire(FOnOpened);
}

void TPortRs232::Close() {
    fSerial->SetOnRxData(nullptr);
    SetPortActive(0);
    Fire(FOnClosed);
}

bool TPortRs232::Instruct(const std::u16string& sStatement) {
    return TPortBase::Instruct(sStatement);
}

void TPortRs232::SendStream(TMemoryStream& msTxData) {
    TPortBase::SendStream(msTxData);
    if (msTxData.Size() < 1)
        return;
    msTxData.SetPosition(0);
    for (int64_t i = 0, n = msTxData.Size(); i < n; ++i) {
        uint8_t by = 0;
        msTxData.Read(&by, 1);
        fSerial->Write(by);
    }
}

std::string TPortRs232::TakeStaleInput() {
    std::string sStale;
    if (!fSerial->Active())
        return sStale;
    // Read first so that the hint can show it; a device that keeps talking is cut off by the
    // flush. A hand-over of the event thread still pending reads only what comes after this.
    std::string sPart;
    for (int i = 0; i < 64 && fSerial->Read(sPart) > 0; ++i)
        sStale += sPart;
    fSerial->ZapRxQueue();
    return sStale;
}

bool TPortRs232::SetPortActive(uint32_t iPortNo) {
    if (iPortNo == 0) {
        fSerial->SetActive(false);
        if (fSerial->Active())
            throw EMsg(u"Error in serial port init!", 0xF3020A, static_cast<int32_t>(iPortNo));
        return true;
    }
    if (iPortNo >= 10)
        throw EMsg(u"Error in serial port init!", 0xF3021E, static_cast<int32_t>(iPortNo));
    if (fSerial->Active() && fSerial->Port() == iPortNo)
        return true;
    fSerial->SetPort(static_cast<sPorts>(iPortNo));
    fSerial->SetActive(true);
    if (!fSerial->Active())
        throw EMsg(u"Error in serial port init!", 0xF30214, static_cast<int32_t>(iPortNo));
    return true;
}

void TPortRs232::SerialError(TObject*) {
    EMsg e(SysUtils::Format(u"RS232 system error! (%d)", {fSerial->ErrorCode()}), 0xF3050A, 0);
    // A driver that is not open yet met the error while opening the device.
    e.SetHint(SysUtils::FromUtf8(SerialPorts::ErrorHint(
        fSerial->Active() ? "" : "open", fSerial->DevicePath(), fSerial->ErrorCode())));
    throw e;
}

void TPortRs232::SerialRxData(TObject*) {
    try {
        std::string sRx;
        fSerial->Read(sRx);
        if (!sRx.empty())
            ReceiveData(sRx);
    } catch (const PortBase::ERxCacheOverflow&) {
        // Logged by the port base; the port goes on receiving.
    } catch (const SysUtils::Exception& e) {
        TMsg::Fatal(u"Exception in RS232 Rx event: " + e.Message(), 0);
        if (!e.Hint().empty())
            TMsg::Hint(u"%s", {e.Hint()}, 0);
    } catch (const std::exception& e) {
        TMsg::Fatal(u"Exception in RS232 Rx event: " + SysUtils::FromUtf8(e.what()), 0);
    }
}

} // namespace PortRs232
