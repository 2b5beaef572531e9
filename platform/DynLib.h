#pragma once
// Run-time loading of shared libraries by file name, for outside components the program must
// start without (the FTDI library). Free of platform types so that the system's own code can
// use it.

#include <string>

namespace DynLib {

/// An opaque library handle; nullptr for none.
using TLibHandle = void*;

/// Loads `sFileName` through the system's library search (binding every symbol now, keeping them
/// private to the library). Returns nullptr when it cannot be loaded; `LastLoadError` tells why.
TLibHandle LoadLibrary(const std::string& sFileName);
/// The address of the exported `sName`, or nullptr when the library lacks it.
void* GetProcAddress(TLibHandle hLib, const char* sName);
/// Drops one reference taken by LoadLibrary; nothing for nullptr.
void FreeLibrary(TLibHandle hLib);
/// The loader's reason for the last failed LoadLibrary of this thread (empty when none).
std::string LastLoadError();

} // namespace DynLib
