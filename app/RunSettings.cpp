#include "app/RunSettings.h"

#include "app/CommandLine.h"
#include "app/Configuration.h"
#include "app/Framing.h"
#include "app/PortFactory.h"
#include "common/EscTaggedString.h"
#include "common/MsgUtils.h"
#include "common/SysUtils.h"
#include "platform/Files.h"
#include "ports/ftdi/PortFtdi.h"
#include "ports/udp/PortUdp.h"

#include <algorithm>

namespace RunSettings {

using MsgUtils::EMsg;
using MsgUtils::TMsg;

const std::vector<TOptionRow>& OptionTable() {
    using A = TApply;
    using C = TCheck;
    static const std::vector<TOptionRow> kTable{
        {u"+CFG=", nullptr, nullptr, A::Cfg, "+CFG=file",
         "configuration file: absolute, else beside the program, else in\n"
         "the working directory",
         nullptr, C::None, nullptr},
        {u"+Visible=", u"GENERAL", u"Visible", A::Visible, "+Visible=Always|Never|OnError",
         "when the log window is shown", nullptr, C::None, nullptr},
        {u"+RS232=", u"DEVICE", u"Name", A::Device, "+RS232=port,bitrate,8N1N",
         "RS232: COM1..COM9 or a device path (/dev/ttyUSB0), bit rate,\n"
         "data bits (5-8) / parity (N E O M S) / stop bit (1 2) / flow\n"
         "control (N, R RTS/CTS, X XON/XOFF)",
         u"Assign device %s and setting %s", C::None, Configuration::AssignRs232Settings},
        {u"+FTDI=", u"DEVICE", u"Name", A::Device, "+FTDI=id,bitrate,8N1N",
         "FTDI: USB<locid>, SN:serial or DS:description, bit rate, data\n"
         "bits / parity / stop bit / flow control",
         u"Assign device %s and setting %s", C::None, Configuration::AssignFtdiSettings},
        {u"+UDP=", u"DEVICE", u"Name", A::Device, "+UDP=host,destport,listenport",
         "UDP destination (IPv4, IPv6 or a name) and local listening port",
         u"Assign device %s and setting %s", C::None, Configuration::AssignUdpSettings},
        {nullptr, u"DEVICE", u"Port", A::None, nullptr, nullptr, nullptr, C::None, nullptr},
        {nullptr, u"DEVICE", u"Bitrate", A::None, nullptr, nullptr, nullptr, C::None, nullptr},
        {nullptr, u"DEVICE", u"DataBits", A::None, nullptr, nullptr, nullptr, C::None, nullptr},
        {nullptr, u"DEVICE", u"Parity", A::None, nullptr, nullptr, nullptr, C::None, nullptr},
        {nullptr, u"DEVICE", u"StopBit", A::None, nullptr, nullptr, nullptr, C::None, nullptr},
        {nullptr, u"DEVICE", u"FlowControl", A::None, nullptr, nullptr, nullptr, C::None, nullptr},
        {nullptr, u"DEVICE", u"BusyWait", A::None, nullptr, nullptr, nullptr, C::FtdiWait, nullptr},
        {nullptr, u"DEVICE", u"FindWait", A::None, nullptr, nullptr, nullptr, C::FtdiWait, nullptr},
        {nullptr, u"DEVICE", u"DestAddress", A::None, nullptr, nullptr, nullptr, C::None, nullptr},
        {nullptr, u"DEVICE", u"DestPort", A::None, nullptr, nullptr, nullptr, C::None, nullptr},
        {nullptr, u"DEVICE", u"ListeningPort", A::None, nullptr, nullptr, nullptr, C::None,
         nullptr},
        {nullptr, u"DEVICE", u"AcceptFrom", A::None, nullptr, nullptr, nullptr, C::AcceptFrom,
         nullptr},
        {u"+Initial=", u"INSTRUCTION", u"Initial", A::Text, "+Initial= +Failure= +Final=",
         "instruction lists (W=ms waits; RS232 and FTDI: SetDTR, ClrDTR,\n"
         "SetRTS, ClrRTS; RS232: SetBRK, ClrBRK; FTDI: CBBB...)",
         u"Assign initial instruction: %s", C::None, nullptr},
        {u"+Failure=", u"INSTRUCTION", u"Failure", A::Text, nullptr, nullptr,
         u"Assign instruction on failure: %s", C::None, nullptr},
        {u"+Final=", u"INSTRUCTION", u"Final", A::Text, nullptr, nullptr,
         u"Assign final instruction: %s", C::None, nullptr},
        {u"+Start=", u"TELEGRAM", u"Start", A::Text,
         "+Start= +End=", "telegram start and end marks (escape tags: \\02 is STX)",
         u"Assign telegram start: %s", C::Bytes, nullptr},
        {u"+End=", u"TELEGRAM", u"End", A::Text, nullptr, nullptr, u"Assign telegram end: %s",
         C::Bytes, nullptr},
        {u"+Send=", u"TELEGRAM", u"Send", A::Text, "+Send=", "the telegram to send",
         u"Assign send data: %s", C::Bytes, nullptr},
        {u"+Response=", u"TELEGRAM", u"Response", A::Text, "+Response=",
         "the expected response (wildcards * and ?; \\* and \\? are the\n"
         "characters themselves)",
         u"Assign expected response data: %s", C::Pattern, nullptr},
        {u"+Terminator=", u"TELEGRAM", u"Terminator", A::Text, "+Terminator=",
         "line framing without Start/End: a telegram ends at each\n"
         "terminator, e.g. \\0D\\0A (not added to what is sent)",
         u"Assign telegram terminator: %s", C::Bytes, nullptr},
        {u"+Gap=", u"TELEGRAM", u"Gap", A::Text, "+Gap=ms",
         "gap framing without marks: a telegram ends when the line has\n"
         "been quiet this long (at least 1)",
         u"Assign telegram gap: %s", C::Gap, nullptr},
        {u"+Match=", u"TELEGRAM", u"Match", A::Text, "+Match=First|Any",
         "First: the first telegram decides (default); Any: telegrams\n"
         "that do not match are skipped until one does or time runs out",
         u"Assign response match: %s", C::Match, nullptr},
        {u"+Abort=", u"TELEGRAM", u"Abort", A::Text,
         "+Abort=", "a pattern like Response: a telegram matching it fails at once",
         u"Assign abort response: %s", C::Pattern, nullptr},
        {u"+Timeout=", u"TELEGRAM", u"Timeout", A::Timeout, "+Timeout=ms",
         "time-out of the response wait (at least 1)", u"Assign time out: %d", C::None, nullptr},
        {u"+Output=", u"GENERAL", u"Output", A::Output, "+Output=Response|Json|None",
         "after the run, write the judged response, or a one-line JSON\n"
         "summary, to standard output",
         nullptr, C::None, nullptr},
    };
    return kTable;
}

std::optional<TOutput> ParseOutput(const std::u16string& sValue) {
    if (sValue.empty() || SysUtils::SameText(sValue, u"None"))
        return TOutput::toNone;
    if (SysUtils::SameText(sValue, u"Response"))
        return TOutput::toResponse;
    if (SysUtils::SameText(sValue, u"Json"))
        return TOutput::toJson;
    return std::nullopt;
}

namespace {

const TOptionRow& RowOf(TApply eApply) {
    const auto& table = OptionTable();
    return *std::find_if(table.begin(), table.end(),
                         [&](const TOptionRow& r) { return r.Apply == eApply; });
}

// The option's value when it is on the command line.
std::optional<std::u16string> OptionValue(const std::vector<std::u16string>& args,
                                          const TOptionRow& row) {
    std::u16string v;
    if (!row.Option || Configuration::FindCmdLineOption(args, row.Option, v) < 0)
        return std::nullopt;
    return v;
}

std::u16string Value(const IniFiles::TMemIniFile& ini, const char16_t* sSection,
                     const char16_t* sKey) {
    return ini.ReadString(sSection, sKey, u"");
}

std::u16string WireValue(const IniFiles::TMemIniFile& ini, const char16_t* sKey) {
    std::u16string value = Value(ini, u"TELEGRAM", sKey);
    return value.empty() ? value : EscTaggedString::TEscTaggedString::Transform(value);
}

// The arguments Telvik does not know: a plain one is only a warning, the first unknown option
// ends the run.
void CheckArguments(const std::vector<std::u16string>& args) {
    std::u16string sUnknown;
    for (const auto& problem : CommandLine::UnknownArguments(args, Files::FileExists)) {
        if (!problem.Fatal)
            TMsg::Warning(u"%s", {problem.Text}, 0);
        else if (sUnknown.empty())
            sUnknown = problem.Text;
    }
    if (!sUnknown.empty())
        throw SysUtils::Exception(sUnknown);
}

void Load(const std::vector<std::u16string>& args, const std::u16string& sProgramPath,
          const TBuildHooks& hooks, TRunSettings& s) {
    std::optional<std::u16string> cfg = OptionValue(args, RowOf(TApply::Cfg));
    Configuration::TConfigChoice choice = Configuration::LocateConfiguration(
        Configuration::SystemConfigLookup(sProgramPath), cfg.has_value(), cfg.value_or(u""));
    if (!choice.CfgTried.empty())
        TMsg::Warning(u"%s", {Configuration::CfgNotFoundText(cfg.value_or(u""), choice)}, 0);
    if (Files::FileExists(choice.File)) {
        TMsg::Info(u"Load default from: %s", {choice.File}, 0);
        s.ConfigurationFile = choice.File;
        if (hooks.FileFound)
            hooks.FileFound(choice.File);
    } else {
        TMsg::Hint(u"%s", {Configuration::NoConfigurationText(choice)}, 0);
    }
    s.Ini = IniFiles::TMemIniFile(
        choice.File, Files::ReadWholeFile(choice.File, IniFiles::TMemIniFile::kMaxFileSize));
    for (const auto& warning : Configuration::UnknownIniEntries(s.Ini))
        TMsg::Warning(u"%s", {warning}, 0);
}

void ApplyVisible(const std::vector<std::u16string>& args, const TBuildHooks& hooks,
                  TRunSettings& s) {
    const TOptionRow& row = RowOf(TApply::Visible);
    if (auto v = OptionValue(args, row))
        s.Ini.WriteString(row.Section, row.Key, *v);
    std::u16string visible = s.Ini.ReadString(row.Section, row.Key, u"OnError");
    s.Visible = visible == u"Always"  ? TVisible::Always
                : visible == u"Never" ? TVisible::Never
                                      : TVisible::OnError;
    if (hooks.VisibleRead)
        hooks.VisibleRead(s.Visible);
    if (visible != u"Always" && visible != u"Never" && visible != u"OnError")
        TMsg::Hint(u"Visible \"%s\" is none of Always, Never, OnError: it acts as \"OnError\"",
                   {visible}, 0);
}

void ApplyDevicesAndTexts(const std::vector<std::u16string>& args, TRunSettings& s) {
    // Devices go in the order the job compares their names: of several, the last one names it.
    for (const char16_t* name : PortFactory::kDeviceNames) {
        std::u16string option = u"+" + std::u16string(name) + u"=";
        for (const auto& row : OptionTable()) {
            if (row.Apply != TApply::Device || row.Option != option)
                continue;
            if (auto v = OptionValue(args, row)) {
                TMsg::Info(row.Log, {name, *v}, 0);
                s.Ini.WriteString(row.Section, row.Key, name);
                row.Spread(s.Ini, *v);
            }
        }
    }
    for (const auto& row : OptionTable()) {
        if (row.Apply != TApply::Text)
            continue;
        if (auto v = OptionValue(args, row)) {
            TMsg::Info(row.Log, {*v}, 0);
            s.Ini.WriteString(row.Section, row.Key, *v);
        }
    }
}

void ApplyOutput(const std::vector<std::u16string>& args, TRunSettings& s) {
    const TOptionRow& row = RowOf(TApply::Output);
    std::u16string value = OptionValue(args, row).value_or(Value(s.Ini, row.Section, row.Key));
    std::optional<TOutput> output = ParseOutput(value);
    if (!output)
        TMsg::Warning(u"Output \"%s\" unknown (Response, Json or None): nothing is written to "
                      u"standard output",
                      {value}, 0);
    s.Output = output.value_or(TOutput::toNone);
}

void ReadDevice(TRunSettings& s) {
    s.DeviceName = Value(s.Ini, u"DEVICE", u"Name");
    for (const char16_t* kind : PortFactory::kDeviceNames)
        if (s.DeviceKind.empty() && SysUtils::SameText(s.DeviceName, kind))
            s.DeviceKind = kind;
    if (SysUtils::SameText(s.DeviceName, u"UDP"))
        s.Device =
            Value(s.Ini, u"DEVICE", u"DestAddress") + u":" + Value(s.Ini, u"DEVICE", u"DestPort");
    else
        s.Device = Value(s.Ini, u"DEVICE", u"Port");
}

void ApplyTimeout(const std::vector<std::u16string>& args, TRunSettings& s) {
    const TOptionRow& row = RowOf(TApply::Timeout);
    if (auto v = OptionValue(args, row)) {
        int32_t ms = SysUtils::StrToIntDef(*v, -1);
        if (ms < 1)
            throw EMsg(u"Invalid time out value \"%s\"!", {*v}, 0x01010A, 0);
        TMsg::Info(row.Log, {ms}, 0);
        s.Ini.WriteInteger(row.Section, row.Key, ms);
    }
    std::u16string sTimeout = Value(s.Ini, row.Section, row.Key);
    if (!sTimeout.empty() && !SysUtils::TryStrToInt(sTimeout, s.TimeoutMs)) {
        s.TimeoutMs = 5000;
        TMsg::Warning(u"Timeout \"%s\" in [TELEGRAM] is not an integer: the default %d ms is used",
                      {sTimeout, s.TimeoutMs}, 0);
    }
}

void Check(const TOptionRow& row, const TRunSettings& s) {
    std::u16string value = Value(s.Ini, row.Section, row.Key);
    switch (row.Check) {
    case TCheck::Bytes:
    case TCheck::Pattern:
        Configuration::CheckTelegramValue(row.Key, value, row.Check == TCheck::Pattern);
        break;
    case TCheck::Gap:
        Framing::CheckGap(value);
        break;
    case TCheck::Match:
        Framing::CheckMatch(value);
        break;
    case TCheck::AcceptFrom:
        // A mistyped AcceptFrom must not quietly accept every sender.
        if (PortUdp::TAcceptFrom eAccept;
            !value.empty() && !PortUdp::ParseAcceptFrom(value, eAccept))
            throw EMsg(u"Invalid AcceptFrom \"%s\" (Any, Host or Destination)!", {value}, 0x01010B,
                       0);
        break;
    case TCheck::FtdiWait:
    case TCheck::None:
        break;
    }
}

// A telegram that cannot go on the wire, or a key the port would refuse, is refused before the
// device is touched, not after the port opened or the telegram went out.
void CheckKeys(const TRunSettings& s) {
    for (auto phase : {std::vector<TCheck>{TCheck::Bytes, TCheck::Pattern},
                       std::vector<TCheck>{TCheck::Gap, TCheck::Match},
                       std::vector<TCheck>{TCheck::AcceptFrom}}) {
        for (const auto& row : OptionTable())
            if (std::find(phase.begin(), phase.end(), row.Check) != phase.end())
                Check(row, s);
    }
    // The port kind reads its wait settings together; a wait that is no number of
    // milliseconds is the configuration's fault.
    if (SysUtils::SameText(s.DeviceName, u"FTDI"))
        PortFtdi::TPortFtdi::CheckWaitSettings(s.Ini);
}

void Resolve(TRunSettings& s) {
    s.Initial = Value(s.Ini, u"INSTRUCTION", u"Initial");
    s.Failure = Value(s.Ini, u"INSTRUCTION", u"Failure");
    s.Final = Value(s.Ini, u"INSTRUCTION", u"Final");
    s.Start = WireValue(s.Ini, u"Start");
    s.End = WireValue(s.Ini, u"End");
    s.Send = WireValue(s.Ini, u"Send");
    s.Terminator = WireValue(s.Ini, u"Terminator");
    s.Response = Wildcard::ReadPattern(Value(s.Ini, u"TELEGRAM", u"Response"));
    s.Abort = Wildcard::ReadPattern(Value(s.Ini, u"TELEGRAM", u"Abort"));
    s.MatchAny = Framing::MatchAny(Value(s.Ini, u"TELEGRAM", u"Match"));
    s.GapMs = Framing::GapMs(Value(s.Ini, u"TELEGRAM", u"Gap"));
}

} // namespace

std::unique_ptr<const TRunSettings> Build(const std::vector<std::u16string>& args,
                                          const std::u16string& sProgramPath,
                                          const TBuildHooks& hooks) {
    auto s = std::make_unique<TRunSettings>();
    CheckArguments(args);
    Load(args, sProgramPath, hooks, *s);
    ApplyVisible(args, hooks, *s);
    ApplyDevicesAndTexts(args, *s);
    ApplyOutput(args, *s);
    ReadDevice(*s);
    if (hooks.OptionsRead)
        hooks.OptionsRead(*s);
    ApplyTimeout(args, *s);
    CheckKeys(*s);
    Resolve(*s);
    return s;
}

TOutput CommandLineOutput(const std::vector<std::u16string>& args) {
    return ParseOutput(OptionValue(args, RowOf(TApply::Output)).value_or(u""))
        .value_or(TOutput::toNone);
}

} // namespace RunSettings
