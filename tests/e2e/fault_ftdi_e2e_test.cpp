// Fault runs over FTDI: the D2XX simulator fails each library call in turn, once from the start
// and once after the telegram (an unplug during the wait). Every run must end within its
// time-out plus a small bound, with the code of the step that failed, the device closed once,
// and its report given once.

#include "e2e/RunTelvik.h"

#include <gtest/gtest.h>

#include <fstream>
#include <ostream>
#include <set>

namespace {

constexpr char kSim[] = "device 2111 6 FT1234AB Dual RS232 A\n"
                        "reply 024103 024F4B03\n";

struct FaultCase {
    const char* call;
    std::set<int> codes;      ///< failing from the start
    std::set<int> codesLater; ///< failing from the telegram on
};

// A call the job does not make at that point leaves the run successful (0).
const FaultCase kCases[] = {
    {"FT_ListDevices", {68}, {0}},
    // A chip that keeps its latency timer only answers later: a warning, not a failure.
    {"FT_SetLatencyTimer", {0}, {0}},
    {"FT_GetLibraryVersion", {68}, {0}},
    {"FT_OpenEx", {67}, {0}},
    {"FT_ResetDevice", {67}, {0}},
    {"FT_SetBaudRate", {67}, {0}},
    {"FT_SetDataCharacteristics", {67}, {0}},
    {"FT_SetFlowControl", {67}, {0}},
    {"FT_SetTimeouts", {0}, {0}},
    // A refused registration ends the event thread without a report (received data never
    // arrives), so the wait runs into its time-out. The thread registers while the main thread
    // goes on, so "from the telegram on" may come too late to refuse it.
    {"FT_SetEventNotification", {54}, {0, 54}},
    {"FT_Purge", {0}, {0}},
    {"FT_SetDtr", {59}, {0}},
    {"FT_SetBitMode", {59}, {0}},
    {"FT_Write", {56}, {0}},
    {"FT_GetStatus", {54}, {54}},
    {"FT_Read", {54}, {54}},
    {"FT_ClrDtr", {20}, {20}},
    // The exchange itself succeeded; the refused close is logged as a failure of its own.
    {"FT_Close", {0}, {0}},
};

// Names the case in test output by its call alone.
void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.call;
}

class FtdiFaults : public testing::TestWithParam<FaultCase> {};

std::string Calls(const std::string& file) {
    std::ifstream f(file);
    std::string all, l;
    while (std::getline(f, l))
        all += l + "\n";
    return all;
}

size_t Occurrences(const std::string& hay, const std::string& needle) {
    size_t n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1))
        ++n;
    return n;
}

TEST_P(FtdiFaults, EndsWithTheStepsCodeAndTheDeviceClosedOnce) {
    const FaultCase& c = GetParam();
    for (bool later : {false, true}) {
        RunTelvik::TTempDir dir;
        std::string sim = dir.Write("sim.txt", std::string(kSim) + "fail " + c.call + " 4" +
                                                   (later ? " afterwrite\n" : "\n"));
        std::string ini = dir.Write(
            "job.ini", "[DEVICE]\nName=FTDI\nPort=USB2111\nBitrate=19200\n"
                       "[INSTRUCTION]\nInitial=SetDTR;CBBB0=1\nFinal=ClrDTR\nFailure=W=1\n"
                       "[TELEGRAM]\nStart=\\02\nEnd=\\03\nSend=A\nResponse=OK\nTimeout=700\n");
        std::string log = dir.Path() + "/calls.txt";
        auto r = RunTelvik::RunHeadless({"+CFG=" + ini},
                                        {{"LD_LIBRARY_PATH", TELVIK_D2XX_SIM_DIR},
                                         {"D2XXSIM_CONFIG", sim},
                                         {"D2XXSIM_LOG", log}},
                                        20);
        std::string what =
            std::string(c.call) + (later ? " after the telegram" : " from the start");
        const auto& codes = later ? c.codesLater : c.codes;
        EXPECT_FALSE(r.TimedOut) << what;
        EXPECT_LT(r.Seconds, 0.7 + 3.0) << what;
        EXPECT_TRUE(codes.count(r.ExitCode)) << what << ": exit " << r.ExitCode << "\n" << r.Stderr;
        std::string calls = Calls(log);
        bool opened = calls.find("FT_OpenEx loc") != std::string::npos &&
                      !(std::string(c.call) == "FT_OpenEx" && !later);
        if (opened) {
            EXPECT_EQ(Occurrences(calls, "FT_Close"), 1u) << what << "\n" << calls;
        }
        auto lines = r.LogLines();
        size_t reports = 0;
        for (const auto& l : lines)
            reports +=
                l.rfind("Info:  Failed with exit code", 0) == 0 || l == "Info:  Done successfully";
        EXPECT_EQ(reports, 1u) << what << "\n" << r.Stderr;
    }
}

INSTANTIATE_TEST_SUITE_P(EachCall, FtdiFaults, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<FaultCase>& i) {
                             return std::string(i.param.call);
                         });

} // namespace
