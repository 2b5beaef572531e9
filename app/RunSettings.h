#pragma once
// The settings of a run, read once from the command line and the configuration file before
// anything else happens, with the telegram keys already in the form the wire uses. Nothing else
// reads an option or a key: the job, the report and the program take this value. One table lists
// every option and key; it drives the overlay onto the file, the "Assign ..." log lines, --help's
// options, and the names a slip is measured against.

#include "app/Wildcard.h"
#include "common/IniFiles.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace RunSettings {

/// When the log window is shown; a value that is none of the three acts as OnError.
enum class TVisible { Always, Never, OnError };

/// What goes to standard output after the run.
enum class TOutput { toNone, toResponse, toJson };
/// "Response", "Json", "None" or empty, without regard to case; nothing for any other text.
std::optional<TOutput> ParseOutput(const std::u16string& sValue);

/// How an option's value comes into the configuration.
enum class TApply {
    None,    ///< a key that no option sets
    Cfg,     ///< names the file itself
    Visible, ///< written first: with Always the window is there for every further line
    Device,  ///< names the device kind and spreads its items over the [DEVICE] keys
    Text,    ///< written as given, announced by its log line
    Output,  ///< wins over the key, which stays as the file has it
    Timeout, ///< an integer of at least 1, written once the others are in
};

/// What a key's value must be for the run to start. The checks run in this order, each over
/// the table, so that the first fault named does not depend on where a key is written.
enum class TCheck {
    None,
    Bytes,      ///< escape tags resolved, every character a byte
    Pattern,    ///< as Bytes, "\*" and "\?" the characters themselves
    Gap,        ///< an integer of at least 1
    Match,      ///< First or Any
    AcceptFrom, ///< Any, Host or Destination
    FtdiWait,   ///< for an FTDI device: an integer of at least 0; the port kind checks both
                ///< waits at once, last
};

struct TOptionRow {
    const char16_t* Option; ///< "+Send=", null for a key that no option sets
    const char16_t* Section;
    const char16_t* Key;
    TApply Apply;
    /// The option as --help names it ("+Gap=ms"); null when it shares the entry of the row
    /// before ("+Start= +End=").
    const char* HelpName;
    const char* Help;    ///< --help's text, "\n" between its lines
    const char16_t* Log; ///< the line announcing the option's value ("Assign send data: %s")
    TCheck Check;
    /// A device option: spreads the items over the [DEVICE] keys.
    void (*Spread)(IniFiles::TMemIniFile&, const std::u16string&);
};

/// Every option and every key read, options in the order --help lists them.
const std::vector<TOptionRow>& OptionTable();

struct TRunSettings {
    /// The file the configuration came from; none when no file exists.
    std::optional<std::u16string> ConfigurationFile;
    /// The file with the options written over it, for the port kinds' own keys.
    IniFiles::TMemIniFile Ini;
    TVisible Visible = TVisible::OnError;
    TOutput Output = TOutput::toNone;
    std::u16string DeviceName; ///< [DEVICE] Name as written
    /// The port kind it names, as PortFactory spells it; empty when it names none.
    std::u16string DeviceKind;
    std::u16string Device; ///< where the device is: DestAddress:DestPort for UDP, else Port
    std::u16string Initial, Failure, Final;
    /// The telegram marks and data as the wire has them.
    std::u16string Start, End, Send, Terminator;
    Wildcard::TPattern Response, Abort;
    bool MatchAny = false;
    int32_t GapMs = 0;        ///< 0: no gap framing
    int32_t TimeoutMs = 5000; ///< 0 or below: the wait has no end
};

/// Told what the build has found while it goes on, for a run that fails later in the build.
struct TBuildHooks {
    /// The configuration file exists and is loaded next.
    std::function<void(const std::u16string&)> FileFound;
    /// Visible is known; the device and the telegram are not read yet.
    std::function<void(TVisible)> VisibleRead;
    /// The file and the options are in and the device is named; the time-out and the telegram
    /// keys are not checked yet.
    std::function<void(const TRunSettings&)> OptionsRead;
};

/// Reads the settings, logging what it takes from where and what it ignores. Raises for the
/// first argument, option or key that keeps the run from starting, before any port exists.
std::unique_ptr<const TRunSettings> Build(const std::vector<std::u16string>& args,
                                          const std::u16string& sProgramPath,
                                          const TBuildHooks& hooks = {});

/// The output asked for on the command line alone, for a run that fails before its settings are
/// read.
TOutput CommandLineOutput(const std::vector<std::u16string>& args);

} // namespace RunSettings
