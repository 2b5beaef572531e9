#pragma once
// What a script gets on standard output after the run, chosen by the settings' Output:
// the judged response as the device's bytes, or one JSON line summing up the run. The log on
// standard error and the exit code are not touched, so existing callers see no change.

#include "app/Job.h"
#include "app/RunSettings.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace RunReport {

using RunSettings::ParseOutput;
using TOutput = RunSettings::TOutput;

/// Received text as bytes (character n is byte n) with printable ASCII kept, a backslash
/// doubled and every other byte as \xHH, so that the text stays readable and unambiguous.
std::string EscapedText(const std::u16string& sData);
/// The bytes as upper-case hexadecimal pairs separated by blanks ("4F 4B").
std::string HexText(const std::u16string& sData);

class TRunReport : public Job::IJobObserver {
public:
    /// `eUnread`: the output of a run that fails before its settings are read
    /// (RunSettings::CommandLineOutput).
    explicit TRunReport(TOutput eUnread = TOutput::toNone) : feUnread(eUnread) {}

    void ConfigurationRead(const RunSettings::TRunSettings& aSettings) override;
    void ConfigurationFile(const std::u16string& sFile) override;
    void Interrupted(int iSignal) override;
    void PortOpened() override;
    void Sent(const std::u16string& sData) override;
    void Judged(const std::u16string& sData, bool bPassed) override;
    void Unjudged(const std::u16string& sData) override;
    void PortClosed() override;
    void Logged(uint8_t byLevel, const std::u16string& sMsg) override;

    /// What goes to standard output for a run that ended with `iExitCode` (empty for None).
    std::string Text(int iExitCode) const;
    /// Writes Text to standard output; false when it could not be written whole.
    bool Write(int iExitCode) const;

private:
    using TClock = std::chrono::steady_clock;
    struct TTelegram {
        std::u16string data;
        bool passed = false;
    };

    std::string JsonLine(int iExitCode) const;

    TOutput feUnread;
    std::optional<TOutput> fOutput; ///< known once the settings were read
    std::u16string fsPortKind;
    std::u16string fsDevice;
    std::optional<std::u16string> fSent;
    std::vector<TTelegram> fReceived;
    std::optional<std::u16string> fUnjudged;
    std::optional<TClock::time_point> fOpened, fSentAt, fJudgedAt, fClosed;
    std::vector<std::u16string> fFatal, fErrors, fWarnings;
    std::optional<std::u16string> fConfiguration; ///< the file loaded
    int fiSignal = 0;                             ///< the signal that ended the run, or 0
};

} // namespace RunReport
