#pragma once
// Files and paths as the operating system has them: joining and resolving names, whether a file
// is there, the program's own path, the working directory and the environment, and reading a
// file whole. The layers above see text and bytes only.

#include <cstdint>
#include <string>

namespace Files {

/// The directory of `sBasePath` joined with `sFileName`: an absolute name replaces the directory,
/// "." and ".." are resolved lexically. Empty text when the result exceeds PATH_MAX.
std::u16string CombinePath(const std::u16string& sBasePath, const std::u16string& sFileName);

/// `sPath` with its extension replaced by `sExt` (appended when it has none).
std::u16string ChangeFileExt(const std::u16string& sPath, const std::u16string& sExt);

/// True when a file (not a directory) exists at `sPath`, following links.
bool FileExists(const std::u16string& sPath);

/// The running program's own path (from /proc/self/exe).
std::u16string ProgramPath();

/// The process's working directory; empty text when it cannot be told.
std::u16string WorkingDirectory();

/// The environment variable `sName`; empty text when it is not set.
std::u16string Environment(const char* sName);

/// The bytes of the file `sFileName`; none for a file that does not exist. Only a regular file of
/// at most `iMaxSize` bytes is read, so that a device or a pipe named by mistake can neither
/// block the run nor fill the memory; any other file that exists raises SysUtils::Exception
/// "Cannot open file \"%s\". %s" with the reason.
std::string ReadWholeFile(const std::u16string& sFileName, int64_t iMaxSize);

} // namespace Files
