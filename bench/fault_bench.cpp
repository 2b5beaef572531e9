// The figures of the fault and load runs the end-to-end tests make: how long each run took to
// end, its peak memory and how much it logged. The tests check how the runs end; what they cost is
// printed here. Built with the tests, whose helpers start the program and its peers.
//
//   fault_bench

#include "e2e/RunTelvik.h"
#include "ports/udp/UdpTestUtils.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using RunTelvik::RunHeadless;
using RunTelvik::RunTogether;
using RunTelvik::TResult;

namespace {

void Print(const std::string& what, const TResult& r) {
    std::printf("%-58s exit %3d after %6.3f s, peak RSS %6ld KiB, %zu log lines\n", what.c_str(),
                r.ExitCode, r.Seconds, r.MaxRssKb, r.LogLines().size());
}

// As tests/e2e/fault_udp_e2e_test.cpp runs them.
void UdpFaults() {
    auto run = [](uint16_t destPort, const std::string& telegram) {
        return UdpTest::RunUdpJob(
            UdpTest::UdpJob(destPort,
                            "[INSTRUCTION]\nFailure=W=1\n[TELEGRAM]\nTimeout=1500\n" + telegram),
            {}, 30);
    };
    auto flood = [&](const std::string& what, int count, const std::string& datagram,
                     const std::string& telegram) {
        UdpTest::Peer device;
        device.AnswerFirst([&](const UdpTest::Peer& p, uint16_t port) {
            for (int i = 0; i < count; ++i)
                p.SendTo(port, datagram);
        });
        Print(what, run(device.port, telegram));
    };
    const std::string framed = "Start=\\02\nEnd=\\03\nSend=GO\nResponse=OK*\n";
    flood("UDP: framed flood of 100000 datagrams", 100000, std::string(100, 'x'), framed);
    flood("UDP: framed flood of 9 datagrams of 8000 bytes", 9, std::string(8000, 'x'), framed);
    flood("UDP: raw flood of 100000 datagrams", 100000, "NOISE", "Send=GO\nResponse=OK*\n");
    uint16_t gone = UdpTest::FreePort();
    Print("UDP: vanished peer", run(gone, "Send=GO\nResponse=OK*\n"));
}

// As tests/e2e/fault_ftdi_e2e_test.cpp runs them: each library call of the D2XX simulator fails
// in turn, from the start and from the telegram on.
void FtdiFaults() {
    const char* calls[] = {"FT_ListDevices",
                           "FT_SetLatencyTimer",
                           "FT_GetLibraryVersion",
                           "FT_OpenEx",
                           "FT_ResetDevice",
                           "FT_SetBaudRate",
                           "FT_SetDataCharacteristics",
                           "FT_SetFlowControl",
                           "FT_SetTimeouts",
                           "FT_SetEventNotification",
                           "FT_Purge",
                           "FT_SetDtr",
                           "FT_SetBitMode",
                           "FT_Write",
                           "FT_GetStatus",
                           "FT_Read",
                           "FT_ClrDtr",
                           "FT_Close"};
    for (const char* call : calls)
        for (bool later : {false, true}) {
            RunTelvik::TTempDir dir;
            std::string sim =
                dir.Write("sim.txt", std::string("device 2111 6 FT1234AB Dual RS232 "
                                                 "A\nreply 024103 024F4B03\nfail ") +
                                         call + " 4" + (later ? " afterwrite\n" : "\n"));
            std::string ini = dir.Write(
                "job.ini", "[DEVICE]\nName=FTDI\nPort=USB2111\nBitrate=19200\n"
                           "[INSTRUCTION]\nInitial=SetDTR;CBBB0=1\nFinal=ClrDTR\nFailure=W=1\n"
                           "[TELEGRAM]\nStart=\\02\nEnd=\\03\nSend=A\nResponse=OK\nTimeout=700\n");
            TResult r = RunHeadless({"+CFG=" + ini},
                                    {{"LD_LIBRARY_PATH", TELVIK_D2XX_SIM_DIR},
                                     {"D2XXSIM_CONFIG", sim},
                                     {"D2XXSIM_LOG", dir.Path() + "/calls.txt"}},
                                    20);
            Print(std::string("FTDI: ") + call +
                      (later ? " after the telegram" : " from the start"),
                  r);
        }
}

// As tests/e2e/rs232_e2e_test.cpp runs it: the device hangs up once the first bytes of a
// telegram far larger than the terminal's buffers have come.
void Rs232HangUp() {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        std::printf("RS232: no pseudo-terminal\n");
        return;
    }
    std::string slave = ::ptsname(master);
    std::thread device([&] {
        std::string got;
        for (int i = 0; i < 2000 && got.find("[XXXX") == std::string::npos; ++i) {
            pollfd p{master, POLLIN, 0};
            ::poll(&p, 1, 10);
            char buf[256];
            ssize_t n = ::read(master, buf, sizeof buf);
            if (n > 0)
                got.append(buf, static_cast<size_t>(n));
        }
        ::close(master);
    });
    RunTelvik::TTempDir dir;
    std::string ini =
        dir.Write("rs232.ini", "[DEVICE]\nName=RS232\nPort=COM3\nBitrate=115200\n"
                               "[TELEGRAM]\nStart=[\nEnd=]\nSend=" +
                                   std::string(20000, 'X') + "\nResponse=P*G\nTimeout=1500\n");
    TResult r = RunHeadless({"+CFG=" + ini, "+Failure=W=1"}, {{"TELVIK_COM3", slave}}, 20);
    device.join();
    Print("RS232: pty hang-up mid-telegram", r);
}

// As tests/e2e/ftdi_real_e2e_test.cpp runs them, over the vendor's library and the chip
// emulator: stations started together, and runs beside a neighbour that keeps listing devices.
void FtdiRealLibrary() {
    if (std::string(TELVIK_D2XX_REAL_DIR).empty()) {
        std::printf("FTDI over the vendor's library: not built (no D2XX archive)\n");
        return;
    }
    RunTelvik::TTempDir dir;
    std::string cfg = dir.Write("emu.txt", "device 232R 1 7 FT1234AB USB <-> Serial\n"
                                           "device X 1 9 DQ55AA FT230X Basic UART\n"
                                           "device 232H 2 3 FTH001 Single RS232-HS\n"
                                           "reply 024103 024F4B03\n");
    std::string ini = dir.Write("job.ini", "[DEVICE]\nName=FTDI\n[TELEGRAM]\nStart=\\02\nEnd=\\03\n"
                                           "Send=A\nResponse=OK\nTimeout=5000\n");
    const std::map<std::string, std::string> env = {{"LD_LIBRARY_PATH", TELVIK_D2XX_REAL_DIR},
                                                    {"FTDIEMU_CONFIG", cfg},
                                                    {"FTDIEMU_TRACE", dir.Path() + "/trace.txt"},
                                                    {"TELVIK_SYSFS", cfg + ".root/sys"}};
    constexpr int kRounds = 30;
    const std::string ports[] = {"SN:FT1234", "DS:FT230X", "USB0203"};
    int failed = 0;
    double slowest = 0;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<std::vector<std::string>> stations;
        for (const auto& port : ports)
            stations.push_back({"+CFG=" + ini, "+FTDI=" + port});
        for (const auto& r : RunTogether(stations, env)) {
            failed += r.ExitCode != 0;
            slowest = std::max(slowest, r.Seconds);
        }
    }
    std::printf("FTDI real: %d runs of three stations together: %d failed, slowest %.3f s\n",
                3 * kRounds, failed, slowest);

    std::string vars;
    for (const auto& [k, v] : env)
        vars += k + "='" + v + "' ";
    std::thread neighbour([&] {
        std::string cmd = "env " + vars + D2XX_LISTER + " 4 >" + dir.Path() + "/lists.txt";
        if (std::system(cmd.c_str()) != 0)
            std::printf("FTDI real: the neighbour failed\n");
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    int runsFailed = 0, retried = 0;
    for (int i = 0; i < 20; ++i) {
        TResult r = RunHeadless({"+CFG=" + ini, "+FTDI=SN:FT1234"}, env);
        runsFailed += r.ExitCode != 0;
        retried +=
            r.Stderr.find("busy (FT_DEVICE_NOT_OPENED (3)): trying again") != std::string::npos;
    }
    neighbour.join();
    long built = 0;
    std::ifstream(dir.Path() + "/lists.txt") >> built;
    std::printf("FTDI real: 20 runs beside a neighbour that built %ld full lists: %d failed, %d "
                "retried a busy open\n",
                built, runsFailed, retried);
}

} // namespace

int main() {
    UdpFaults();
    FtdiFaults();
    Rs232HangUp();
    FtdiRealLibrary();
    return 0;
}
