#include "app/CommandLine.h"

#include "app/ExitCodes.h"
#include "app/PortList.h"
#include "app/Version.h"
#include "common/SysUtils.h"

#include <algorithm>

namespace CommandLine {

namespace {

const std::vector<std::u16string>& KnownFlags() {
    static const std::vector<std::u16string> kFlags{u"--help", u"-h", u"--version", u"-V",
                                                    u"--list"};
    return kFlags;
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
        if (args[i] == "--help" || args[i] == "-h")
            return iaHelp;
        if (args[i] == "--version" || args[i] == "-V")
            return iaVersion;
        if (args[i] == "--list")
            return iaList;
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
  +CFG=file                     configuration file: absolute, else beside the program, else in
                                the working directory
  +Visible=Always|Never|OnError when the log window is shown
  +RS232=port,bitrate,8N1N      RS232: COM1..COM9 or a device path (/dev/ttyUSB0), bit rate,
                                data bits (5-8) / parity (N E O M S) / stop bit (1 2) / flow
                                control (N, R RTS/CTS, X XON/XOFF)
  +FTDI=id,bitrate,8N1N         FTDI: USB<locid>, SN:serial or DS:description, bit rate, data
                                bits / parity / stop bit / flow control
  +UDP=host,destport,listenport UDP destination (IPv4, IPv6 or a name) and local listening port
  +Initial= +Failure= +Final=   instruction lists (W=ms waits; RS232 and FTDI: SetDTR, ClrDTR,
                                SetRTS, ClrRTS; RS232: SetBRK, ClrBRK; FTDI: CBBB...)
  +Start= +End=                 telegram start and end marks (escape tags: \02 is STX)
  +Send=                        the telegram to send
  +Response=                    the expected response (wildcards * and ?; \* and \? are the
                                characters themselves)
  +Terminator=                  line framing without Start/End: a telegram ends at each
                                terminator, e.g. \0D\0A (not added to what is sent)
  +Gap=ms                       gap framing without marks: a telegram ends when the line has
                                been quiet this long (at least 1)
  +Match=First|Any              First: the first telegram decides (default); Any: telegrams
                                that do not match are skipped until one does or time runs out
  +Abort=                       a pattern like Response: a telegram matching it fails at once
  +Timeout=ms                   time-out of the response wait (at least 1)
  +Output=Response|Json|None    after the run, write the judged response, or a one-line JSON
                                summary, to standard output
  -h, --help                    this text
  -V, --version                 the version
  --list                        the serial devices and FTDI devices that can be used as a port;
                                opens no serial device and claims or resets no FTDI device

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
    using namespace ExitCodes;
    for (int code : {ecSuccess, ecFinalInstruction, ecResponseMismatch, ecResponseTimeout, ecSend,
                     ecInitialInstruction, ecPortVanished, ecOpen, ecPortSettings, ecUnknownDevice,
                     ecConfiguration, ecOutput, ecStartup}) {
        std::string number = std::to_string(code);
        text += "  " + std::string(4 - number.size(), ' ') + number + "  " + ExitCodeMeaning(code) +
                "\n";
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
    static const std::vector<std::u16string> kOptions{
        u"+CFG=",     u"+Visible=", u"+FTDI=",       u"+RS232=", u"+UDP=",   u"+Initial=",
        u"+Failure=", u"+Final=",   u"+Start=",      u"+End=",   u"+Send=",  u"+Response=",
        u"+Timeout=", u"+Output=",  u"+Terminator=", u"+Gap=",   u"+Match=", u"+Abort="};
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
