#include "app/Configuration.h"

#include "common/CommaSeparatedValue.h"
#include "common/IniFiles.h"
#include "common/SysUtils.h"

#include <climits>
#include <sys/stat.h>
#include <unistd.h>

namespace Configuration {

using CommaSeparatedValue::TCommaSeparatedValue;

int32_t FindCmdLineOption(const std::vector<std::u16string>& args, const std::u16string& sOption,
                          std::u16string& sValue) {
    sValue.clear();
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i].compare(0, sOption.size(), sOption) == 0 && args[i].size() >= sOption.size()) {
            sValue = args[i].substr(sOption.size());
            return static_cast<int32_t>(i);
        }
    }
    return -1;
}

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

namespace {

// The option's items, the last one closed by an appended separator like the others.
TCommaSeparatedValue SplitOption(const std::u16string& sValue) {
    TCommaSeparatedValue csv;
    csv.SetSeparator(u',');
    csv.SetStringLine(sValue + u",");
    return csv;
}

// Writes item `i` to the key unless it is absent or empty after trimming.
void WriteItem(IniFiles::TMemIniFile& ini, const TCommaSeparatedValue& csv, int32_t i,
               const std::u16string& sKey) {
    if (i >= csv.ValueCount())
        return;
    std::u16string item = csv.GetValueTrimmed(i);
    if (!item.empty())
        ini.WriteString(u"DEVICE", sKey, item);
}

} // namespace

void AssignFtdiSettings(IniFiles::TMemIniFile& aMemIni, const std::u16string& sValue) {
    TCommaSeparatedValue csv = SplitOption(sValue);
    WriteItem(aMemIni, csv, 0, u"Port");
    WriteItem(aMemIni, csv, 1, u"Bitrate");
    if (csv.ValueCount() > 2) {
        std::u16string frame = csv.GetValueTrimmed(2);
        if (frame.size() >= 4) {
            aMemIni.WriteString(u"DEVICE", u"DataBits", frame.substr(0, 1));
            aMemIni.WriteString(u"DEVICE", u"Parity", frame.substr(1, 1));
            aMemIni.WriteString(u"DEVICE", u"StopBit", frame.substr(2, 1));
            aMemIni.WriteString(u"DEVICE", u"FlowControl", frame.substr(3, 1));
        }
    }
}

void AssignRs232Settings(IniFiles::TMemIniFile& aMemIni, const std::u16string& sValue) {
    TCommaSeparatedValue csv = SplitOption(sValue);
    WriteItem(aMemIni, csv, 0, u"Port");
    WriteItem(aMemIni, csv, 1, u"Bitrate");
}

void AssignUdpSettings(IniFiles::TMemIniFile& aMemIni, const std::u16string& sValue) {
    TCommaSeparatedValue csv = SplitOption(sValue);
    WriteItem(aMemIni, csv, 0, u"DestAddress");
    WriteItem(aMemIni, csv, 1, u"DestPort");
    WriteItem(aMemIni, csv, 2, u"ListeningPort");
}

} // namespace Configuration
