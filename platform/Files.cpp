#include "platform/Files.h"

#include "common/SysUtils.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace Files {

namespace {

[[noreturn]] void CannotOpen(const std::u16string& sFileName, const std::string& reason) {
    throw SysUtils::Exception(
        SysUtils::Format(u"Cannot open file \"%s\". %s", {sFileName, SysUtils::FromUtf8(reason)}));
}

} // namespace

std::u16string CombinePath(const std::u16string& sBasePath, const std::u16string& sFileName) {
    std::u16string joined;
    if (!sFileName.empty() && sFileName[0] == u'/') {
        joined = sFileName;
    } else {
        size_t slash = sBasePath.rfind(u'/');
        joined =
            (slash == std::u16string::npos ? std::u16string() : sBasePath.substr(0, slash + 1)) +
            sFileName;
    }
    bool absolute = !joined.empty() && joined[0] == u'/';
    std::vector<std::u16string> parts;
    size_t pos = 0;
    while (pos <= joined.size()) {
        size_t next = joined.find(u'/', pos);
        if (next == std::u16string::npos)
            next = joined.size();
        std::u16string part = joined.substr(pos, next - pos);
        pos = next + 1;
        if (part.empty() || part == u".")
            continue;
        if (part == u".." && !parts.empty() && parts.back() != u"..")
            parts.pop_back();
        else if (part != u".." || !absolute)
            parts.push_back(part);
    }
    std::u16string result = absolute ? u"/" : u"";
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0)
            result += u'/';
        result += parts[i];
    }
    if (result.empty())
        result.push_back(u'.');
    if (SysUtils::ToUtf8(result).size() >= PATH_MAX)
        return {};
    return result;
}

std::u16string ChangeFileExt(const std::u16string& sPath, const std::u16string& sExt) {
    size_t slash = sPath.rfind(u'/');
    size_t dot = sPath.rfind(u'.');
    if (dot == std::u16string::npos || (slash != std::u16string::npos && dot < slash))
        return sPath + sExt;
    return sPath.substr(0, dot) + sExt;
}

bool FileExists(const std::u16string& sPath) {
    struct stat st {};
    return !sPath.empty() && ::stat(SysUtils::ToUtf8(sPath).c_str(), &st) == 0 &&
           !S_ISDIR(st.st_mode);
}

std::u16string ProgramPath() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? SysUtils::FromUtf8(std::string(buf, static_cast<size_t>(n))) : u"telvik";
}

std::u16string WorkingDirectory() {
    char buf[PATH_MAX];
    return ::getcwd(buf, sizeof buf) != nullptr ? SysUtils::FromUtf8(buf) : std::u16string();
}

std::u16string Environment(const char* sName) {
    const char* v = std::getenv(sName);
    return v != nullptr ? SysUtils::FromUtf8(v) : std::u16string();
}

std::string ReadWholeFile(const std::u16string& sFileName, int64_t iMaxSize) {
    std::string path = SysUtils::ToUtf8(sFileName);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return {};
        CannotOpen(sFileName, std::strerror(errno));
    }
    if (!S_ISREG(st.st_mode))
        CannotOpen(sFileName, "Not a regular file");
    if (st.st_size > iMaxSize)
        CannotOpen(sFileName, "File too large");
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        CannotOpen(sFileName, std::strerror(errno));
    std::string bytes;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int err = errno;
            ::close(fd);
            CannotOpen(sFileName, std::strerror(err));
        }
        if (n == 0)
            break;
        bytes.append(buf, static_cast<size_t>(n));
        if (static_cast<int64_t>(bytes.size()) > iMaxSize) {
            ::close(fd);
            CannotOpen(sFileName, "File too large");
        }
    }
    ::close(fd);
    return bytes;
}

} // namespace Files
