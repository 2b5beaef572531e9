#include "platform/DynLib.h"

#include <dlfcn.h>

namespace DynLib {

namespace {
thread_local std::string tlsLastError;
}

TLibHandle LoadLibrary(const std::string& sFileName) {
    void* h = dlopen(sFileName.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (h == nullptr) {
        const char* e = dlerror();
        tlsLastError = e != nullptr ? e : "dlopen failed";
    } else {
        tlsLastError.clear();
    }
    return h;
}

void* GetProcAddress(TLibHandle hLib, const char* sName) {
    if (hLib == nullptr)
        return nullptr;
    return dlsym(hLib, sName);
}

void FreeLibrary(TLibHandle hLib) {
    if (hLib != nullptr)
        dlclose(hLib);
}

std::string LastLoadError() {
    return tlsLastError;
}

} // namespace DynLib
