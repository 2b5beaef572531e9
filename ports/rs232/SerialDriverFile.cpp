// The serial driver's settings file: a fixed 40-byte record.
#include "ports/rs232/SerialDriver.h"

#include <cerrno>
#include <fstream>

namespace SerialDriver {

using namespace SerialDevice;

namespace {

constexpr size_t kRecordSize = 40;

void Put16(unsigned char* p, uint16_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}
void Put32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}
uint16_t Get16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Get32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

EInOutError IoError(const std::u16string& sVerb, const std::u16string& filename) {
    int e = errno;
    return EInOutError(SysUtils::Format(u"Cannot %s file \"%s\". %s",
                                        {sVerb, filename, SerialDevice::ErrorText(e)}));
}

} // namespace

bool TSerial::SaveToFile(const std::u16string& filename) {
    unsigned char r[kRecordSize] = {};
    r[0] = FPort;
    Put16(r + 2, static_cast<uint16_t>(FBaudrate));
    r[4] = FParity;
    r[5] = FDataBits;
    r[6] = FStopBits;
    Put16(r + 8, FRxQueueSize);
    Put16(r + 10, FTxQueueSize);
    r[12] = FFlowMode;
    r[13] = FCheckParity ? 1 : 0;
    r[14] = FRxEventMode;
    r[15] = FMessageStartByte;
    r[16] = FMessageEndByte;
    Put16(r + 18, FMessageAppendCount);
    r[20] = FNotifyErrors;
    Put32(r + 24, static_cast<uint32_t>(FErrorCode));
    r[28] = FWaitOnTxFull ? 1 : 0;
    Put32(r + 32, FTimeout);
    r[36] = FWaitTxComplete ? 1 : 0;
    std::ofstream f(SysUtils::ToUtf8(filename), std::ios::binary | std::ios::trunc);
    if (!f)
        throw IoError(u"create", filename);
    f.write(reinterpret_cast<const char*>(r), kRecordSize);
    f.close();
    if (!f)
        throw IoError(u"write", filename);
    return true;
}

bool TSerial::LoadFromFile(const std::u16string& filename) {
    unsigned char r[kRecordSize] = {};
    std::ifstream f(SysUtils::ToUtf8(filename), std::ios::binary);
    if (!f)
        throw IoError(u"open", filename);
    f.read(reinterpret_cast<char*>(r), kRecordSize);
    if (f.gcount() != static_cast<std::streamsize>(kRecordSize)) {
        errno = EIO;
        throw IoError(u"read", filename);
    }
    FPort = r[0];
    FBaudrate = Get16(r + 2);
    FParity = static_cast<eParity>(r[4]);
    FDataBits = static_cast<eDataBits>(r[5]);
    FStopBits = static_cast<eStopBits>(r[6]);
    FRxQueueSize = Get16(r + 8);
    FTxQueueSize = Get16(r + 10);
    FFlowMode = static_cast<eFlowControl>(r[12]);
    FCheckParity = r[13] != 0;
    FRxEventMode = static_cast<eOpModes>(r[14]);
    FMessageStartByte = r[15];
    FMessageEndByte = r[16];
    FMessageAppendCount = Get16(r + 18);
    FNotifyErrors = static_cast<eNotifyErr>(r[20]);
    FErrorCode = static_cast<int32_t>(Get32(r + 24));
    FWaitOnTxFull = r[28] != 0;
    FTimeout = Get32(r + 32);
    FWaitTxComplete = r[36] != 0;
    SetupPort(FActive);
    return true;
}

} // namespace SerialDriver
