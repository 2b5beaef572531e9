// The same FTDI exchange (send STX "A" ETX, expect STX "OK" ETX) done by Telvik and by a minimal
// D2XX client, both over FTDI's real D2XX library with the project's chip emulator beneath it,
// measured alternately so that the machine's changing load falls on both alike. A second Telvik
// (an older build, say) may be measured beside them.
//
//   ftdi_compare_bench TELVIK MIN_CLIENT EMULATOR_DIR [rounds] [OTHER_TELVIK]

#include "bench/TimedRun.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

double Timed(std::vector<std::string> args, const std::vector<std::string>& env) {
    return BenchRun::TimedRun(std::move(args), env);
}

std::string Write(const std::string& dir, const std::string& name, const std::string& text) {
    std::string path = dir + "/" + name;
    std::ofstream(path) << text;
    return path;
}

double Median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2] * 1000;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s TELVIK MIN_CLIENT EMULATOR_DIR [rounds] [OTHER]\n",
                     argv[0]);
        return 2;
    }
    int rounds = argc > 4 ? std::atoi(argv[4]) : 20;
    std::string other = argc > 5 ? argv[5] : "";
    std::string dir = (std::filesystem::temp_directory_path() / "telvik-ftdi-XXXXXX").string();
    if (mkdtemp(dir.data()) == nullptr)
        return 3;
    std::string cfg = Write(dir, "emu.txt",
                            "device 232R 1 7 FT1234AB USB <-> Serial\n"
                            "device X 1 9 DQ55AA FT230X Basic UART\n"
                            "reply 024103 024F4B03\n");
    std::string ini = Write(dir, "job.ini",
                            "[DEVICE]\nName=FTDI\nPort=SN:FT1234\nBitrate=9600\n"
                            "[TELEGRAM]\nStart=\\02\nEnd=\\03\nSend=A\n"
                            "Response=OK\nTimeout=2000\n");
    std::vector<std::string> env{"LD_LIBRARY_PATH=" + std::string(argv[3]), "FTDIEMU_CONFIG=" + cfg,
                                 "TELVIK_SYSFS=" + cfg + ".root/sys"};
    std::vector<double> telvik, client, older;
    for (int i = 0; i < rounds; ++i) {
        if (double t = Timed({argv[1], "+CFG=" + ini, "+Visible=Never"}, env); t > 0)
            telvik.push_back(t);
        if (double c = Timed({argv[2], "FT1234AB"}, env); c > 0)
            client.push_back(c);
        if (!other.empty())
            if (double o = Timed({other, "+CFG=" + ini, "+Visible=Never"}, env); o > 0)
                older.push_back(o);
    }
    double mt = Median(telvik), mc = Median(client);
    std::printf("FTDI exchange over the D2XX library and the chip emulator, median of %d "
                "alternating rounds (ms)\n",
                rounds);
    std::printf("  telvik          %8.1f\n", mt);
    if (!other.empty())
        std::printf("  other telvik    %8.1f   (%s)\n", Median(older), other.c_str());
    std::printf("  minimal client  %8.1f\n", mc);
    std::printf("  ratio telvik/client  %6.2f\n", mc > 0 ? mt / mc : 0);
    std::printf("  runs that failed: telvik %zu, client %zu", rounds - telvik.size(),
                rounds - client.size());
    if (!other.empty())
        std::printf(", other %zu", rounds - older.size());
    std::printf("\n");
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
