// Peak resident memory of the programs as a technician runs them: velorctl flashing a
// 512 KiB image over UDP, and velorsim serving both links (the flash over UDP, then a
// status request over its pseudo-terminal). The kernel's own count (ru_maxrss of the
// ended process) is the measure. Time-outs are divided by 10 so that the final
// check's waits stay short; memory does not depend on them.
//
//   bench_memory [rounds=3]

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "BenchRow.h"
#include "BenchUtil.h"
#include "firmware/SampleImage.h"

namespace {

struct SChild {
    pid_t m_pid = -1;
    FILE* m_pOut = nullptr; // its stdout
};

SChild Start(const std::vector<std::string>& args) {
    SChild child;
    int afd[2];
    if (::pipe(afd) != 0) return child;
    child.m_pid = ::fork();
    if (child.m_pid == 0) {
        ::dup2(afd[1], STDOUT_FILENO);
        const int fdNull = ::open("/dev/null", O_RDWR);
        ::dup2(fdNull, STDERR_FILENO);
        ::dup2(fdNull, STDIN_FILENO);
        ::close(afd[0]);
        ::setenv("VELOR_TIME_DIVISOR", "10", 1);
        std::vector<char*> argv;
        for (const auto& s : args)
            argv.push_back(const_cast<char*>(s.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(afd[1]);
    child.m_pOut = ::fdopen(afd[0], "r");
    return child;
}

// Waits for the child's end; its peak resident memory in MB, or -1 when it failed.
double Finish(SChild& child, bool bMustSucceed = true) {
    char ab[4096];
    while (child.m_pOut && std::fread(ab, 1, sizeof ab, child.m_pOut) > 0) {
    }
    if (child.m_pOut) std::fclose(child.m_pOut);
    int nStatus = 0;
    rusage usage{};
    if (::wait4(child.m_pid, &nStatus, 0, &usage) != child.m_pid) return -1;
    if (bMustSucceed && !(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0)) return -1;
    return static_cast<double>(usage.ru_maxrss) / 1024.0; // KiB to MB (MiB)
}

std::string ReadLine(FILE* p) {
    char sz[512];
    if (!std::fgets(sz, sizeof sz, p)) return {};
    std::string str(sz);
    while (!str.empty() && (str.back() == '\n' || str.back() == '\r'))
        str.pop_back();
    return str;
}

} // namespace

int main(int argc, char** argv) {
    const int nRounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const std::string strBin = VELOR_BIN_DIR;
    const auto dir =
        std::filesystem::temp_directory_path() / ("bench_memory." + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string strImage = (dir / "image.s19").string();
    SSampleImage sample;
    sample.m_nLength = 512 * 1024;
    if (!WriteSampleImage(strImage, sample)) return 1;

    bench::SRow ctl{"velorctl peak memory, flashing 512 KiB over UDP", "MB"};
    bench::SRow sim{"velorsim peak memory, serving pty and UDP", "MB"};
    for (bench::SRow* p : {&ctl, &sim}) {
        p->m_eTarget = bench::ETarget::AtMost;
        p->m_dTarget = 10;
        p->m_nDecimals = 1;
        p->m_strBasis = "ru_maxrss of the ended process";
    }
    for (int i = 0; i < nRounds; ++i) {
        SChild unit =
            Start({strBin + "/sim/velorsim", "--pty", "--udp", "127.0.0.1:0", "--running"});
        std::string strPty, strUdp;
        for (int n = 0; n < 4 && (strPty.empty() || strUdp.empty()); ++n) {
            const std::string str = ReadLine(unit.m_pOut);
            if (str.rfind("pty: ", 0) == 0) strPty = str.substr(5);
            if (str.rfind("udp: ", 0) == 0) strUdp = str.substr(5);
        }
        if (strPty.empty() || strUdp.empty()) {
            std::fprintf(stderr, "velorsim did not start\n");
            return 1;
        }
        SChild flash =
            Start({strBin + "/cli/velorctl", "--udp", strUdp, "--yes", "flash", strImage});
        const double dCtl = Finish(flash);
        SChild status = Start({strBin + "/cli/velorctl", "--serial", strPty, "--yes", "status"});
        const double dStatus = Finish(status);
        ::kill(unit.m_pid, SIGTERM);
        const double dSim = Finish(unit, false);
        if (dCtl < 0 || dStatus < 0 || dSim < 0) {
            std::fprintf(stderr, "round %d: a run failed (flash %.1f, status %.1f, sim %.1f)\n",
                         i + 1, dCtl, dStatus, dSim);
            return 1;
        }
        ctl.m_samples.push_back(dCtl);
        sim.m_samples.push_back(dSim);
        std::fprintf(stderr, "round %d: velorctl %.1f MB, velorsim %.1f MB\n", i + 1, dCtl, dSim);
    }
    std::filesystem::remove_all(dir);
    bench::Print(ctl);
    bench::Print(sim);
    return 0;
}
