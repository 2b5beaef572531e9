#pragma once
// Runs the real program headless as a batch script would, and gives back its exit code and the
// log lines it wrote to standard error.

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace RunTelvik {

/// Splits a log line "hh:nn:ss.zzz text" into its time and its text; false for any other line.
bool SplitLogLine(std::string_view line, std::string* time, std::string* text);

struct TResult {
    int ExitCode = -1;     ///< the exit status; -1 when it was killed or did not end in time
    bool TimedOut = false; ///< still running at the limit (then killed)
    int Signal = 0;        ///< the signal that ended it, when it was not killed at the limit
    double Seconds = 0;    ///< wall time of the run
    long MaxRssKb = 0;     ///< peak resident memory of the program
    std::string Stderr;    ///< everything written to standard error
    std::string Stdout;    ///< everything written to standard output
    /// The log lines without their "hh:nn:ss.zzz " time; other stderr lines are left out.
    std::vector<std::string> LogLines() const;
    /// True when some log line equals `line` exactly.
    bool HasLine(const std::string& line) const;
};

/// Called with what the program wrote to standard error so far and its process group, each time
/// it writes.
using TOnOutput = std::function<void(const std::string& sStderr, int iGroup)>;

/// Runs `build/telvik` with `args` (argument 0 is added), without a display, with `env` added to
/// the environment, killing it after `limitSeconds`.
TResult RunHeadless(const std::vector<std::string>& args,
                    const std::map<std::string, std::string>& env = {}, double limitSeconds = 20,
                    const TOnOutput& onOutput = {});

/// Several stations on one PC: one run per argument list, all started together; the results in
/// the order of the lists.
std::vector<TResult> RunTogether(const std::vector<std::vector<std::string>>& argLists,
                                 const std::map<std::string, std::string>& env = {});

/// A fresh directory for one test's files, removed with everything in it when it goes.
class TTempDir {
public:
    TTempDir();
    ~TTempDir();
    const std::string& Path() const { return fPath; }
    /// Writes `content` to the file `name` in the directory and returns its path.
    std::string Write(const std::string& name, const std::string& content) const;

private:
    std::string fPath;
};

} // namespace RunTelvik
