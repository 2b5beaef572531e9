// A whole job with an arbitrary configuration file and command line, on a port that accepts
// everything: it must end, never crash, and leave one of the job's progress codes.

#include "app/Application.h"
#include "app/ExitCodes.h"
#include "app/JobHarness.h"
#include "common/SysUtils.h"

#include <cstdlib>

namespace {
Application::TCoreApplication* gApp = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    gApp = new Application::TCoreApplication(*argc, *argv);
    return 0;
}

// Layout: the INI text, a NUL, then the arguments one per line.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string in(reinterpret_cast<const char*>(data), size);
    // Waits and long time-outs only make the fuzzer slow.
    if (in.find("W=") != std::string::npos || size > 4096)
        return 0;
    size_t cut = in.find('\0');
    std::string ini = "[TELEGRAM]\nTimeout=1\n" + in.substr(0, cut);
    std::vector<std::string> args;
    if (cut != std::string::npos) {
        std::string rest = in.substr(cut + 1);
        for (size_t p = 0; p <= rest.size() && args.size() < 16;) {
            size_t e = rest.find('\n', p);
            if (e == std::string::npos)
                e = rest.size();
            std::string arg = rest.substr(p, e - p);
            p = e + 1;
            if (arg.rfind("+Timeout=", 0) == 0 &&
                SysUtils::StrToIntDef(SysUtils::FromUtf8(arg.substr(9)), 0) > 20)
                continue;
            if (arg.rfind("+CFG=", 0) == 0)
                continue;
            args.push_back(arg);
        }
    }
    JobHarness::TFakePort::Script script;
    script.replies = {"OK", "\x02OK\x03"};
    JobHarness::TOutcome out = JobHarness::RunJob(ini, args, script);
    if (!ExitCodes::JobCanEndWith(out.exitCode))
        std::abort();
    if (!out.log.empty() && out.log.back() == "<<test guard: the job did not end>>")
        std::abort();
    return 0;
}
