// Wall time and peak memory of whole runs over UDP: the program is started headless, sends one
// telegram to a peer on loopback that answers at once, checks the reply and ends. Prints the
// median over the runs and how much of it the fixed 100 ms closing pause is. With an option as
// third argument (+Output=Json), every second run carries it, so that its cost is measured
// against runs made at the same time; the figures above stay those of the plain runs.
//
//   udp_run_bench [path/to/telvik] [runs] [option]   (defaults: the telvik beside bench/, 30)

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

uint16_t BoundPort(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    return ntohs(sa.sin_port);
}

int LoopbackSocket() {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    return fd;
}

std::string DefaultProgram() {
    char self[PATH_MAX] = {};
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path(self, n > 0 ? static_cast<size_t>(n) : 0);
    path = path.substr(0, path.rfind('/')); // .../build/bench
    return path.substr(0, path.rfind('/')) + "/telvik";
}

} // namespace

int main(int argc, char** argv) {
    std::string program = argc > 1 && argv[1][0] != '\0' ? argv[1] : DefaultProgram();
    int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 30;
    std::string option = argc > 3 ? argv[3] : "";
    if (access(program.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "udp_run_bench: no program at %s\n", program.c_str());
        return 2;
    }

    // The peer: answers every datagram at once.
    int peer = LoopbackSocket();
    uint16_t peerPort = BoundPort(peer);
    std::atomic<bool> stop{false};
    std::thread responder([&] {
        char buf[65536];
        while (!stop) {
            pollfd p{peer, POLLIN, 0};
            if (poll(&p, 1, 20) != 1)
                continue;
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t n =
                recvfrom(peer, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n >= 0)
                sendto(peer, "OK 12", 5, 0, reinterpret_cast<sockaddr*>(&from), len);
        }
    });

    int probe = LoopbackSocket();
    uint16_t listenPort = BoundPort(probe);
    close(probe);
    char dir[] = "/tmp/telvik-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return 2;
    std::string ini = std::string(dir) + "/job.ini";
    std::ofstream(ini) << "[GENERAL]\nVisible=Never\n[DEVICE]\nName=UDP\nDestAddress=127.0.0.1\n"
                       << "DestPort=" << peerPort << "\nListeningPort=" << listenPort
                       << "\n[TELEGRAM]\nSend=HELLO\nResponse=OK*\nTimeout=2000\n";

    std::vector<std::string> envStore;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string s = *e;
        if (s.rfind("DISPLAY=", 0) != 0 && s.rfind("WAYLAND_DISPLAY=", 0) != 0)
            envStore.push_back(s);
    }
    std::vector<char*> envp;
    for (std::string& s : envStore)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string cfg = "+CFG=" + ini;
    char* args[] = {program.data(), cfg.data(), nullptr, nullptr};

    // Each run is cut at the moments its log lines arrive: process start until the first line,
    // the job until "Close port...", the closing pause until the last line, then the exit.
    using Clock = std::chrono::steady_clock;
    auto Ms = [](Clock::duration d) {
        return std::chrono::duration<double, std::milli>(d).count();
    };
    std::vector<double> total, startUp, job, pause, exitTime, optTotal, optExit;
    long peakKb = 0;
    int failures = 0;
    for (int i = 0; i < runs * (option.empty() ? 1 : 2); ++i) {
        bool withOption = !option.empty() && i % 2 == 1;
        args[2] = withOption ? option.data() : nullptr;
        int err[2];
        if (pipe2(err, O_CLOEXEC) != 0)
            return 2;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, err[1], 2);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        pid_t pid;
        Clock::time_point t0 = Clock::now();
        if (posix_spawn(&pid, program.c_str(), &fa, nullptr, args, envp.data()) != 0)
            return 2;
        posix_spawn_file_actions_destroy(&fa);
        close(err[1]);
        Clock::time_point first{}, closing{}, last{};
        std::string text;
        char buf[4096];
        for (;;) {
            ssize_t n = read(err[0], buf, sizeof buf);
            if (n <= 0)
                break;
            Clock::time_point now = Clock::now();
            if (first == Clock::time_point{})
                first = now;
            text.append(buf, static_cast<size_t>(n));
            if (closing == Clock::time_point{} && text.find("Close port...") != std::string::npos)
                closing = now;
            last = now;
        }
        close(err[0]);
        int status = 0;
        rusage ru{};
        wait4(pid, &status, 0, &ru);
        Clock::time_point t1 = Clock::now();
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || closing == Clock::time_point{}) {
            ++failures;
            continue;
        }
        if (withOption) {
            optTotal.push_back(Ms(t1 - t0));
            optExit.push_back(Ms(t1 - last));
            continue;
        }
        total.push_back(Ms(t1 - t0));
        startUp.push_back(Ms(first - t0));
        job.push_back(Ms(closing - first));
        pause.push_back(Ms(last - closing));
        exitTime.push_back(Ms(t1 - last));
        peakKb = std::max(peakKb, ru.ru_maxrss);
    }
    stop = true;
    responder.join();
    close(peer);
    unlink(ini.c_str());
    rmdir(dir);

    if (total.empty()) {
        std::printf("udp_run_bench: every run failed\n");
        return 1;
    }
    auto Median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        size_t m = v.size() / 2;
        return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
    };
    double median = Median(total);
    double medianPause = Median(pause);
    std::printf("UDP whole run, headless, loopback peer answering at once (%zu runs)\n",
                total.size());
    std::printf("  median wall time          %7.1f ms  (min %.1f, max %.1f)\n", median,
                *std::min_element(total.begin(), total.end()),
                *std::max_element(total.begin(), total.end()));
    std::printf("  of it closing pause       %7.1f ms  (fixed 100 ms wait in Close)\n",
                medianPause);
    std::printf("  rest                      %7.1f ms  (goal: below 10 ms)\n",
                median - medianPause);
    std::printf("    process start-up        %7.1f ms  (exec, libraries, application object)\n",
                Median(startUp));
    std::printf("    configuration..close    %7.1f ms  (load, open, send, reply, check)\n",
                Median(job));
    std::printf("    exit                    %7.1f ms\n", Median(exitTime));
    std::printf("  peak resident memory      %7ld KiB\n", peakKb);
    if (!optTotal.empty()) {
        std::printf("  with %s: median wall time %.1f ms, exit %.2f ms (plain: %.1f ms, exit %.2f "
                    "ms)\n",
                    option.c_str(), Median(optTotal), Median(optExit), median, Median(exitTime));
        std::printf("  difference with the option %+7.2f ms\n", Median(optTotal) - median);
    }
    if (failures > 0)
        std::printf("  FAILED runs             %8d\n", failures);
    return failures > 0 ? 1 : 0;
}
