#pragma once
// The command line and the configuration file: finding options, locating the file, and spreading
// the device options over the [DEVICE] keys.

#include <cstdint>
#include <string>
#include <vector>

namespace IniFiles {
class TMemIniFile;
}

namespace Configuration {

/// The 1-based index of the first argument after argument 0 that starts with `sOption`
/// (case-sensitive), with the rest of it in `sValue`; -1 and empty text when none does.
int32_t FindCmdLineOption(const std::vector<std::u16string>& args, const std::u16string& sOption,
                          std::u16string& sValue);

/// The directory of `sBasePath` joined with `sFileName`: an absolute name replaces the directory,
/// "." and ".." are resolved lexically. Empty text when the result exceeds PATH_MAX.
std::u16string CombinePath(const std::u16string& sBasePath, const std::u16string& sFileName);

/// `sPath` with its extension replaced by `sExt` (appended when it has none).
std::u16string ChangeFileExt(const std::u16string& sPath, const std::u16string& sExt);

/// True when a file (not a directory) exists at `sPath`, following links.
bool FileExists(const std::u16string& sPath);

/// The running program's own path (from /proc/self/exe).
std::u16string ProgramPath();

/// "+FTDI=" port, bit rate, 4-character frame code (data bits, parity, stop bit, flow control).
void AssignFtdiSettings(IniFiles::TMemIniFile& aMemIni, const std::u16string& sValue);
/// "+RS232=" port, bit rate.
void AssignRs232Settings(IniFiles::TMemIniFile& aMemIni, const std::u16string& sValue);
/// "+UDP=" destination address, destination port, listening port.
void AssignUdpSettings(IniFiles::TMemIniFile& aMemIni, const std::u16string& sValue);

} // namespace Configuration
