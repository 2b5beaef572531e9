#pragma once
// The command line beyond the +Name=value options: the flags answered at once without a job
// (--help, --version, --list), and warnings for arguments Telvik does not know.

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace CommandLine {

enum TImmediateAction { iaNone, iaHelp, iaVersion, iaList };

/// The first of --help/-h, --version/-V, --list among the arguments after argument 0.
TImmediateAction FindImmediateAction(const std::vector<std::string>& args);
/// Prints what the action asks for to `out` and returns the exit code (0).
int RunImmediateAction(TImmediateAction eAction, std::FILE* out);

std::string HelpText();
std::string VersionText();

/// The options a job reads, as "+Name=".
const std::vector<std::u16string>& KnownOptions();

/// The number of single-character insertions, deletions, substitutions and swaps of neighbours
/// that turn one text into the other.
size_t EditDistance(const std::u16string& a, const std::u16string& b);
/// The candidate closest to `s` with case ignored, when it is close enough to be a slip of the
/// keyboard; empty otherwise.
std::u16string Nearest(const std::u16string& s, const std::vector<std::u16string>& candidates);

/// What is wrong with one argument after argument 0.
struct TArgumentProblem {
    /// An option or flag Telvik does not know ends the run: whatever the slip meant would not
    /// happen, and the run could pass without it.
    bool Fatal = false;
    /// "Unknown option +Timout=500 (did you mean +Timeout=?)", or for a plain argument
    /// "Argument ignored: job.ini (did you mean +CFG=job.ini?)".
    std::u16string Text;
};
/// One problem per argument that starts with "+" or "-" and is no known option or flag, and per
/// plain argument; `fileExists` tells whether a plain argument names a file.
std::vector<TArgumentProblem>
UnknownArguments(const std::vector<std::u16string>& args,
                 const std::function<bool(const std::u16string&)>& fileExists);

} // namespace CommandLine
