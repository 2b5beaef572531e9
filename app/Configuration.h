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

/// Where a configuration file is looked for.
struct TConfigLookup {
    std::u16string ProgramPath;
    std::u16string WorkingDir;    ///< a relative +CFG= not beside the program is looked for here
    std::u16string XdgConfigHome; ///< $XDG_CONFIG_HOME; used only when absolute
    std::u16string Home;          ///< $HOME, for ~/.config when XdgConfigHome is not usable
    std::u16string SystemDir = u"/etc/telvik";
};
/// This process's lookup: its environment and working directory.
TConfigLookup SystemConfigLookup(const std::u16string& sProgramPath);

struct TConfigChoice {
    std::u16string File;                  ///< the file to load; it need not exist
    std::vector<std::u16string> CfgTried; ///< the +CFG= paths tried in vain
    std::vector<std::u16string> Defaults; ///< the default files looked for, in order
};
/// The +CFG= file (`bCfgGiven`, `sCfg`): absolute, else beside the program, else in the working
/// directory. When there is none: the program's name with ".ini" beside it, else
/// <config home>/telvik/telvik.ini, else <system dir>/telvik.ini; the file beside the program
/// when none of them exists.
TConfigChoice LocateConfiguration(const TConfigLookup& where, bool bCfgGiven,
                                  const std::u16string& sCfg);

/// "+CFG=other.ini not found, tried: /opt/telvik/other.ini, /home/me/other.ini".
std::u16string CfgNotFoundText(const std::u16string& sCfg, const TConfigChoice& choice);

/// For a run without any configuration file: "No configuration file found (looked for
/// /opt/telvik/telvik.ini, /home/me/.config/telvik/telvik.ini, /etc/telvik/telvik.ini): see
/// telvik --help", the +CFG= paths first.
std::u16string NoConfigurationText(const TConfigChoice& choice);

/// Resolves the escape tags of the telegram key `sKey` as the port will and checks that each
/// character is a byte; raises when the value cannot go on the wire, naming the key, the value and
/// the offending tag or character, with a hint on how tags are written. In a pattern (`bPattern`)
/// "\*" and "\?" stand for the characters themselves. An empty value passes.
void CheckTelegramValue(const std::u16string& sKey, const std::u16string& sValue, bool bPattern);

/// One warning per section of the file that Telvik does not read, and per key of its four sections
/// that it does not know ("Unknown section [TELEGRAMM] ignored (did you mean [TELEGRAM]?)").
std::vector<std::u16string> UnknownIniEntries(const IniFiles::TMemIniFile& aMemIni);

/// "+FTDI=" port, bit rate, 4-character frame code (data bits, parity, stop bit, flow control).
void AssignFtdiSettings(IniFiles::TMemIniFile& aMemIni, const std::u16string& sValue);
/// "+RS232=" port, bit rate.
void AssignRs232Settings(IniFiles::TMemIniFile& aMemIni, const std::u16string& sValue);
/// "+UDP=" destination address, destination port, listening port.
void AssignUdpSettings(IniFiles::TMemIniFile& aMemIni, const std::u16string& sValue);

} // namespace Configuration
