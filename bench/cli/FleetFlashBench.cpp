// bench_fleet_flash [runs] [units] [divisor]: velorctl --fleet flashes a 512 KiB image
// into 1 and then into 16 simulated units at once over loopback UDP, and prints the
// ratio of the wall times (one sample a round) and velorctl's peak resident memory
// (ru_maxrss of the child) as rows of the benchmark table.
// Time-outs are divided by 20 by default: at full length the unit's restart wait
// after the load dominates, and that wait overlaps perfectly.

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "BenchRow.h"
#include "firmware/SampleImage.h"
#include "sim/SimUnit.h"

extern char** environ;

namespace {

struct SRun {
    bool m_bOk = false;
    double m_dSeconds = 0;
    long m_nMaxRssKb = 0;
};

// One velorctl --fleet flash; its wall time and peak resident set.
SRun FlashFleet(const std::string& strCsv, const std::string& strImage, int nDivisor) {
    std::vector<std::string> args = {std::string(VELOR_BIN_DIR) + "/cli/velorctl",
                                     "--fleet",
                                     strCsv,
                                     "--yes",
                                     "--json",
                                     "flash",
                                     strImage};
    std::vector<char*> argv;
    for (auto& str : args)
        argv.push_back(str.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = {"VELOR_TIME_DIVISOR=" + std::to_string(nDivisor)};
    for (char** pp = environ; *pp; ++pp)
        env.emplace_back(*pp);
    std::vector<char*> envp;
    for (auto& str : env)
        envp.push_back(str.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    SRun run;
    pid_t pid = 0;
    const auto t0 = std::chrono::steady_clock::now();
    const int nSpawn = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (nSpawn != 0) return run;
    int nStatus = 0;
    rusage usage{};
    ::wait4(pid, &nStatus, 0, &usage);
    run.m_dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    run.m_bOk = WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0;
    run.m_nMaxRssKb = usage.ru_maxrss;
    return run;
}

} // namespace

int main(int argc, char** argv) {
    const int nRuns = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const size_t nUnits = argc > 2 ? static_cast<size_t>(std::max(2, std::atoi(argv[2]))) : 16;
    const int nDivisor = argc > 3 ? std::max(1, std::atoi(argv[3])) : 20;
    const auto dir = std::filesystem::temp_directory_path() /
                     ("bench_fleet_flash." + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string strImage = (dir / "image.s37").string();
    // The units and the image live in a child process: a spawned program's peak
    // memory includes that of the process it was spawned from, so this one stays small.
    int afdPorts[2], afdHold[2];
    if (::pipe(afdPorts) != 0 || ::pipe(afdHold) != 0) return 1;
    const pid_t pidSims = ::fork();
    if (pidSims == 0) {
        ::close(afdPorts[0]);
        ::close(afdHold[1]);
        SSampleImage sample;
        sample.m_nLength = 512 * 1024;
        if (!WriteSampleImage(strImage, sample)) _exit(1);
        std::vector<std::unique_ptr<CSimServer>> sims;
        std::string strPorts;
        for (size_t i = 0; i < nUnits; ++i) {
            SSimOptions options;
            options.m_bUdp = true;
            options.m_nUdpPort = 0;
            options.m_bResyncAtStart = false;
            sims.push_back(std::make_unique<CSimServer>());
            if (!sims.back()->Start(options)) _exit(1);
            strPorts += std::to_string(sims.back()->UdpPort()) + "\n";
        }
        if (::write(afdPorts[1], strPorts.data(), strPorts.size()) < 0) _exit(1);
        ::close(afdPorts[1]);
        char c;
        while (::read(afdHold[0], &c, 1) > 0) {
        } // until the parent is done
        for (auto& pSim : sims)
            pSim->Stop();
        _exit(0);
    }
    ::close(afdPorts[1]);
    ::close(afdHold[0]);
    std::string strPorts;
    char ab[256];
    for (ssize_t n; (n = ::read(afdPorts[0], ab, sizeof ab)) > 0;)
        strPorts.append(ab, static_cast<size_t>(n));
    std::vector<std::string> ports;
    for (size_t nPos = 0, nEnd; (nEnd = strPorts.find('\n', nPos)) != std::string::npos;
         nPos = nEnd + 1)
        ports.push_back(strPorts.substr(nPos, nEnd - nPos));
    if (ports.size() != nUnits) {
        std::fprintf(stderr, "the simulated units did not start\n");
        return 1;
    }
    const auto writeCsv = [&](const std::string& strName, size_t n) {
        const std::string strPath = (dir / strName).string();
        std::ofstream out(strPath);
        out << "target\n";
        for (size_t i = 0; i < n; ++i)
            out << "udp:127.0.0.1:" << ports[i] << "\n";
        return strPath;
    };
    const std::string strOne = writeCsv("one.csv", 1), strAll = writeCsv("all.csv", nUnits);

    bench::SRow ratio("velorctl --fleet flash, " + std::to_string(nUnits) + " units / 1 unit", "x");
    ratio.m_eTarget = bench::ETarget::AtMost;
    ratio.m_dTarget = 2;
    ratio.m_strBasis = "512 KiB image over loopback UDP, time-outs / " + std::to_string(nDivisor) +
                       "; 1 unit flashed in the same round";
    bench::SRow memory("velorctl --fleet peak memory, " + std::to_string(nUnits) + " units", "MB");
    memory.m_eTarget = bench::ETarget::AtMost;
    memory.m_dTarget = 20;
    memory.m_nDecimals = 1;
    memory.m_strBasis = "ru_maxrss of the ended process";
    bool bFailed = false;
    for (int i = 0; i < nRuns && !bFailed; ++i) {
        const SRun one = FlashFleet(strOne, strImage, nDivisor);
        const SRun all = FlashFleet(strAll, strImage, nDivisor);
        bFailed = !one.m_bOk || !all.m_bOk;
        ratio.m_samples.push_back(all.m_dSeconds / one.m_dSeconds);
        memory.m_samples.push_back(static_cast<double>(all.m_nMaxRssKb) / 1024);
        std::fprintf(stderr, "round %d: 1 unit %.3f s, %zu units %.3f s\n", i + 1, one.m_dSeconds,
                     nUnits, all.m_dSeconds);
    }
    ::close(afdHold[1]);
    ::waitpid(pidSims, nullptr, 0);
    std::filesystem::remove_all(dir);
    if (bFailed) {
        std::fprintf(stderr, "a flash failed\n");
        return 1;
    }
    bench::Print(ratio);
    bench::Print(memory);
    return 0;
}
