#include "app/Configuration.h"

#include "app/CommandLine.h"
#include "app/RunSettings.h"
#include "app/Wildcard.h"
#include "common/CommaSeparatedValue.h"
#include "common/EscTaggedString.h"
#include "common/IniFiles.h"
#include "common/SysUtils.h"
#include "platform/Files.h"

#include <algorithm>

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

TConfigLookup SystemConfigLookup(const std::u16string& sProgramPath) {
    TConfigLookup where;
    where.ProgramPath = sProgramPath;
    where.WorkingDir = Files::WorkingDirectory();
    where.XdgConfigHome = Files::Environment("XDG_CONFIG_HOME");
    where.Home = Files::Environment("HOME");
    return where;
}

TConfigChoice LocateConfiguration(const TConfigLookup& where, bool bCfgGiven,
                                  const std::u16string& sCfg) {
    TConfigChoice choice;
    if (bCfgGiven) {
        std::vector<std::u16string> candidates{Files::CombinePath(where.ProgramPath, sCfg)};
        if (!sCfg.empty() && sCfg[0] != u'/' && !where.WorkingDir.empty())
            candidates.push_back(Files::CombinePath(where.WorkingDir + u"/", sCfg));
        for (const auto& c : candidates) {
            if (Files::FileExists(c)) {
                choice.File = c;
                choice.CfgTried.clear();
                return choice;
            }
            if (std::find(choice.CfgTried.begin(), choice.CfgTried.end(), c) ==
                choice.CfgTried.end())
                choice.CfgTried.push_back(c);
        }
    }
    std::u16string beside = Files::ChangeFileExt(where.ProgramPath, u".ini");
    std::u16string configHome = !where.XdgConfigHome.empty() && where.XdgConfigHome[0] == u'/'
                                    ? where.XdgConfigHome
                                : where.Home.empty() ? std::u16string()
                                                     : where.Home + u"/.config";
    std::vector<std::u16string> defaults{beside};
    if (!configHome.empty())
        defaults.push_back(configHome + u"/telvik/telvik.ini");
    defaults.push_back(where.SystemDir + u"/telvik.ini");
    choice.File = beside;
    choice.Defaults = defaults;
    for (const auto& d : defaults) {
        if (Files::FileExists(d)) {
            choice.File = d;
            break;
        }
    }
    return choice;
}

std::u16string CfgNotFoundText(const std::u16string& sCfg, const TConfigChoice& choice) {
    std::u16string text = u"+CFG=" + sCfg + u" not found, tried: ";
    for (size_t i = 0; i < choice.CfgTried.size(); ++i)
        text += (i > 0 ? u", " : u"") + choice.CfgTried[i];
    return text;
}

std::u16string NoConfigurationText(const TConfigChoice& choice) {
    std::u16string text = u"No configuration file found (looked for ";
    std::vector<std::u16string> looked = choice.CfgTried;
    looked.insert(looked.end(), choice.Defaults.begin(), choice.Defaults.end());
    for (size_t i = 0; i < looked.size(); ++i)
        text += (i > 0 ? u", " : u"") + looked[i];
    return text + u"): see telvik --help";
}

namespace {

bool IsHexDigit(char16_t c) {
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

// The first tag of `sValue` the transformer refuses: the mark and what follows it, up to two
// characters and never past a blank.
std::u16string OffendingTag(const std::u16string& sValue, bool bPattern) {
    for (size_t i = 0; i < sValue.size(); ++i) {
        if (sValue[i] != u'\\' || i + 1 == sValue.size())
            continue;
        if (sValue[i + 1] == u'\\' ||
            (bPattern && (sValue[i + 1] == u'*' || sValue[i + 1] == u'?'))) {
            ++i;
            continue;
        }
        if (i + 2 < sValue.size() && IsHexDigit(sValue[i + 1]) && IsHexDigit(sValue[i + 2])) {
            i += 2;
            continue;
        }
        size_t n = 1;
        while (n < 3 && i + n < sValue.size() && sValue[i + n] != u' ')
            ++n;
        return sValue.substr(i, n);
    }
    return sValue;
}

// What keeps `sValue` off the wire; empty when nothing does. In a pattern "\*" and "\?" stand
// for the characters themselves.
std::u16string TelegramValueProblem(const std::u16string& sValue, bool bPattern) {
    std::u16string bytes;
    try {
        bytes = bPattern ? Wildcard::ReadPattern(sValue).sText
                         : EscTaggedString::TEscTaggedString::Transform(sValue);
    } catch (const std::exception&) {
        return u"unknown escape tag \"" + OffendingTag(sValue, bPattern) + u"\"";
    }
    for (size_t i = 0; i < bytes.size(); ++i) {
        char16_t c = bytes[i];
        if (c <= 0xFF)
            continue;
        uint32_t code = c;
        std::u16string shown(1, c);
        // A character beyond the first plane is two code units: show it whole.
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < bytes.size() && bytes[i + 1] >= 0xDC00 &&
            bytes[i + 1] < 0xE000) {
            code = 0x10000 + ((c - 0xD800u) << 10) + (bytes[i + 1] - 0xDC00u);
            shown += bytes[i + 1];
        }
        return SysUtils::Format(u"character \"%s\" (U+%.4x) is no byte: only codes 0 to 255 go "
                                u"on the wire",
                                {shown, code});
    }
    return {};
}

} // namespace

void CheckTelegramValue(const std::u16string& sKey, const std::u16string& sValue, bool bPattern) {
    if (sValue.empty())
        return;
    if (std::u16string problem = TelegramValueProblem(sValue, bPattern); !problem.empty()) {
        SysUtils::Exception e(
            SysUtils::Format(u"[TELEGRAM] %s \"%s\": %s", {sKey, sValue, problem}));
        e.SetHint(u"escape tags are \\ and two hex digits: \\0D\\0A for CR LF, \\\\ for \\");
        throw e;
    }
}

std::vector<std::u16string> UnknownIniEntries(const IniFiles::TMemIniFile& aMemIni) {
    struct TSectionKeys {
        std::u16string section;
        std::vector<std::u16string> keys;
    };
    // The sections in the order the table first names them, each with its keys in table order.
    static const std::vector<TSectionKeys> kKnown = [] {
        std::vector<TSectionKeys> known;
        for (const auto& row : RunSettings::OptionTable()) {
            if (!row.Section)
                continue;
            auto s = std::find_if(known.begin(), known.end(),
                                  [&](const TSectionKeys& k) { return k.section == row.Section; });
            if (s == known.end())
                s = known.insert(known.end(), {row.Section, {}});
            if (std::find(s->keys.begin(), s->keys.end(), row.Key) == s->keys.end())
                s->keys.push_back(row.Key);
        }
        return known;
    }();
    std::vector<std::u16string> sectionNames;
    for (const auto& k : kKnown)
        sectionNames.push_back(k.section);
    std::vector<std::u16string> hints;
    for (const auto& section : aMemIni.ReadSections()) {
        auto known = std::find_if(kKnown.begin(), kKnown.end(), [&](const TSectionKeys& k) {
            return SysUtils::SameText(k.section, section);
        });
        if (known == kKnown.end()) {
            std::u16string near = CommandLine::Nearest(section, sectionNames);
            hints.push_back(u"Unknown section [" + section + u"] ignored" +
                            (near.empty() ? u"" : u" (did you mean [" + near + u"]?)"));
            continue;
        }
        for (const auto& key : aMemIni.ReadSectionKeys(section)) {
            if (std::any_of(known->keys.begin(), known->keys.end(),
                            [&](const auto& k) { return SysUtils::SameText(k, key); }))
                continue;
            std::u16string near = CommandLine::Nearest(key, known->keys);
            hints.push_back(u"Unknown key " + key + u" in [" + known->section + u"] ignored" +
                            (near.empty() ? u"" : u" (did you mean " + near + u"?)"));
        }
    }
    return hints;
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

// Item 3, a frame code such as 8N1N: data bits, parity, stop bit, flow control; a shorter item
// writes none of the four.
void WriteFrameCode(IniFiles::TMemIniFile& aMemIni, const TCommaSeparatedValue& csv) {
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

} // namespace

void AssignFtdiSettings(IniFiles::TMemIniFile& aMemIni, const std::u16string& sValue) {
    TCommaSeparatedValue csv = SplitOption(sValue);
    WriteItem(aMemIni, csv, 0, u"Port");
    WriteItem(aMemIni, csv, 1, u"Bitrate");
    WriteFrameCode(aMemIni, csv);
}

void AssignRs232Settings(IniFiles::TMemIniFile& aMemIni, const std::u16string& sValue) {
    TCommaSeparatedValue csv = SplitOption(sValue);
    WriteItem(aMemIni, csv, 0, u"Port");
    WriteItem(aMemIni, csv, 1, u"Bitrate");
    WriteFrameCode(aMemIni, csv);
}

void AssignUdpSettings(IniFiles::TMemIniFile& aMemIni, const std::u16string& sValue) {
    TCommaSeparatedValue csv = SplitOption(sValue);
    WriteItem(aMemIni, csv, 0, u"DestAddress");
    WriteItem(aMemIni, csv, 1, u"DestPort");
    WriteItem(aMemIni, csv, 2, u"ListeningPort");
}

} // namespace Configuration
