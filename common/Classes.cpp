#include "common/Classes.h"

#include <algorithm>
#include <cstring>

namespace Classes {

void TMemoryStream::SetSize(int64_t iSize) {
    fData.resize(static_cast<size_t>(std::max<int64_t>(iSize, 0)), '\0');
    fiPosition = std::min(fiPosition, Size());
}

void TMemoryStream::SetPosition(int64_t iPosition) {
    fiPosition = std::clamp<int64_t>(iPosition, 0, Size());
}

int64_t TMemoryStream::Write(const void* pBuffer, int64_t iCount) {
    if (iCount <= 0)
        return 0;
    size_t end = static_cast<size_t>(fiPosition + iCount);
    if (end > fData.size())
        fData.resize(end, '\0');
    std::memcpy(fData.data() + fiPosition, pBuffer, static_cast<size_t>(iCount));
    fiPosition += iCount;
    return iCount;
}

int64_t TMemoryStream::Read(void* pBuffer, int64_t iCount) {
    int64_t n = std::clamp<int64_t>(Size() - fiPosition, 0, std::max<int64_t>(iCount, 0));
    if (n > 0)
        std::memcpy(pBuffer, fData.data() + fiPosition, static_cast<size_t>(n));
    fiPosition += n;
    return n;
}

} // namespace Classes
