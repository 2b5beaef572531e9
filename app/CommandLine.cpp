#include "app/CommandLine.h"

#include "app/ExitCodes.h"
#include "app/PortList.h"
#include "app/RunSettings.h"
#include "app/Version.h"
#include "common/SysUtils.h"

#include <algorithm>

namespace CommandLine {

namespace {

struct TFlag {
    const char* Long;
    const char* Short; ///< null when there is none
    TImmediateAction Action;
    const char* HelpName;
    const char* Help;
};

const std::vector<TFlag>& Flags() {
    static const std::vector<TFlag> kFlags{
        {"--help", "-h", iaHelp, "-h, --help", "this text"},
        {"--version", "-V", iaVersion, "-V, --version", "the version"},
        {"--list", nullptr, iaList, "--list",
         "the serial devices and FTDI devices that can be used as a port;\n"
         "opens no serial device and claims or resets no FTDI device"},
    };
    return kFlags;
}

const std::vector<std::u16string>& KnownFlags() {
    static const std::vector<std::u16string> kNames = [] {
        std::vector<std::u16string> names;
        for (const auto& f : Flags()) {
            names.push_back(SysUtils::FromUtf8(f.Long));
            if (f.Short)
                names.push_back(SysUtils::FromUtf8(f.Short));
        }
        return names;
    }();
    return kNames;
}

// One entry of a list in two columns: the name, and the text beside it over as many lines as it
// has.
std::string HelpEntry(const std::string& sName, const char* sHelp) {
    constexpr size_t kColumn = 32;
    std::string entry = "  " + sName;
    entry += sName.size() + 2 < kColumn ? std::string(kColumn - 2 - sName.size(), ' ') : " ";
    for (const char* p = sHelp; *p; ++p) {
        entry += *p;
        if (*p == '\n')
            entry += std::string(kColumn, ' ');
    }
    return entry + "\n";
}

std::u16string Lower(std::u16string s) {
    for (auto& c : s)
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
    return s;
}

} // namespace

TImmediateAction FindImmediateAction(const std::vector<std::string>& args) {
    for (size_t i = 1; i < args.size(); ++i) {
        for (const auto& f : Flags())
            if (args[i] == f.Long || (f.Short && args[i] == f.Short))
                return f.Action;
    }
    return iaNone;
}

int RunImmediateAction(TImmediateAction eAction, std::FILE* out) {
    std::string text;
    switch (eAction) {
    case iaHelp:
        text = HelpText();
        break;
    case iaVersion:
        text = VersionText();
        break;
    case iaList:
        text = PortList::PortListText();
        break;
    case iaNone:
        break;
    }
    std::fwrite(text.data(), 1, text.size(), out);
    std::fflush(out);
    return ExitCodes::ecSuccess;
}

std::string VersionText() {
    return std::string("telvik ") + Version::kVersion + "\n";
}

std::string HelpText() {
    std::string text = R"(Usage: telvik [+Name=value ...]
       telvik --help | --version | --list

Runs one exchange with a device (send a telegram, wait for the expected response) over RS232,
an FTDI USB device or UDP, and reports the outcome by the exit code. The job is described by an
INI file; options of the form +Name=value overwrite single keys of it in memory (names are
case-sensitive, the first occurrence counts).

Options:
)";
    for (const auto& row : RunSettings::OptionTable())
        if (row.HelpName)
            text += HelpEntry(row.HelpName, row.Help);
    for (const auto& f : Flags())
        text += HelpEntry(f.HelpName, f.Help);
    text += R"(
INI file (sections and keys in any case):
  [GENERAL]     Visible, Output
  [DEVICE]      Name (RS232, FTDI, UDP), Port, Bitrate, DataBits, Parity, StopBit,
                FlowControl, BusyWait (FTDI: ms a busy device is tried again, default
                2000, 0 off), FindWait (FTDI: ms an absent device is looked for again,
                default 0), DestAddress, DestPort, ListeningPort,
                AcceptFrom (UDP: Any, Host, Destination)
  [INSTRUCTION] Initial, Failure, Final
  [TELEGRAM]    Start, End, Send, Response, Timeout (ms, default 5000), Terminator, Gap,
                Match, Abort

Framing (how an answer is cut out of what arrives; only what arrives after the telegram counts):
  Start and End   between two marks, e.g. \02 and \03 (both needed; they win over the rest)
  Terminator      up to each end mark, for line protocols: +Terminator=\0D\0A
  Gap             until the line is quiet for Gap ms, for binary protocols without marks
  none            whatever has arrived; with Match=Any judged whole each time more comes

Configuration file, the first that exists:
  the +CFG= file (see above); else the program's name with .ini beside the program;
  else $XDG_CONFIG_HOME/telvik/telvik.ini (default ~/.config/telvik/telvik.ini);
  else /etc/telvik/telvik.ini. The log names the file loaded.

Exit codes (each step stores its code before it works; only success stores 0):
)";
    for (const auto& row : ExitCodes::kExitCodeTable) {
        std::string number = std::to_string(row.Code);
        text += "  " + std::string(4 - number.size(), ' ') + number + "  " + row.Meaning + "\n";
    }
    text += "  code+100  a failure instruction failed as well\n"
            "An unknown +option or -flag, or a telegram key that cannot go on the wire, ends the\n"
            "run with 91 before any port is created.\n"
            "\nSignals: the first SIGINT, SIGTERM or SIGHUP ends the run through its steps\n"
            "(failure instructions, close, report); then the process ends by the signal (a shell\n"
            "sees 128+n). A second one ends it at once. SIGPIPE is ignored.\n"
            "\nThe log goes to standard error (and to the window when there is a display).\n";
    return text;
}

const std::vector<std::u16string>& KnownOptions() {
    static const std::vector<std::u16string> kOptions = [] {
        std::vector<std::u16string> options;
        for (const auto& row : RunSettings::OptionTable())
            if (row.Option)
                options.push_back(row.Option);
        return options;
    }();
    return kOptions;
}

size_t EditDistance(const std::u16string& a, const std::u16string& b) {
    // Rows i-2, i-1 and i of the table; two neighbours swapped count as one slip ("Nmae").
    std::vector<size_t> before(b.size() + 1), above(b.size() + 1), row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        before.swap(above);
        above.swap(row);
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            row[j] = std::min(
                {above[j] + 1, row[j - 1] + 1, above[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                row[j] = std::min(row[j], before[j - 2] + 1);
        }
    }
    return row[b.size()];
}

std::u16string Nearest(const std::u16string& s, const std::vector<std::u16string>& candidates) {
    std::u16string best;
    size_t bestDistance = 0;
    for (const auto& c : candidates) {
        size_t d = EditDistance(Lower(s), Lower(c));
        if (best.empty() || d < bestDistance) {
            best = c;
            bestDistance = d;
        }
    }
    // Two slips at most, and fewer than the name has characters: "+X=" is no "+End=".
    size_t letters = std::min(s.size(), best.size());
    return bestDistance <= 2 && bestDistance * 2 < letters ? best : std::u16string();
}

std::vector<TArgumentProblem>
UnknownArguments(const std::vector<std::u16string>& args,
                 const std::function<bool(const std::u16string&)>& fileExists) {
    std::vector<TArgumentProblem> problems;
    const auto& known = KnownOptions();
    // "+Send" and "--cfg=x" are measured against the option names with their "=".
    auto nearestOption = [&](const std::u16string& sName) {
        size_t eq = sName.find(u'=');
        return Nearest(eq == std::u16string::npos ? sName + u"=" : sName.substr(0, eq + 1), known);
    };
    for (size_t i = 1; i < args.size(); ++i) {
        const std::u16string& arg = args[i];
        if (arg.empty() || (arg[0] != u'+' && arg[0] != u'-')) {
            std::u16string text = u"Argument ignored: " + arg;
            if (!arg.empty() && fileExists && fileExists(arg))
                text += u" (did you mean +CFG=" + arg + u"?)";
            problems.push_back({false, text});
            continue;
        }
        std::u16string suggestion;
        if (arg[0] == u'+') {
            if (std::any_of(known.begin(), known.end(),
                            [&](const auto& k) { return arg.compare(0, k.size(), k) == 0; }))
                continue;
            suggestion = nearestOption(arg);
        } else {
            const auto& flags = KnownFlags();
            if (std::find(flags.begin(), flags.end(), arg) != flags.end())
                continue;
            suggestion = Nearest(arg.substr(0, arg.find(u'=')), flags);
            if (suggestion.empty() && arg.find(u'=') != std::u16string::npos)
                suggestion = nearestOption(u"+" + arg.substr(arg.find_first_not_of(u'-')));
        }
        std::u16string text = u"Unknown option " + arg;
        if (!suggestion.empty())
            text += u" (did you mean " + suggestion + u"?)";
        problems.push_back({true, text});
    }
    return problems;
}

} // namespace CommandLine
