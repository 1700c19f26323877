// bench_fleet_flash [runs] [divisor]: velorctl --fleet against a simulated site of
// 1,000 units in one velorsim process on loopback UDP. Rows: flashing 256 units at
// once against flashing one (wall-time ratio, one sample a round), and velorctl's
// peak resident memory (ru_maxrss of the child) flashing and writing all 1,000.
// Time-outs are divided by 5 by default: at full length the unit's restart wait after
// the load dominates, and that wait overlaps perfectly; shorter, a thousand threads on
// a busy machine miss their receive time-out. The image is 64 KiB: 256 units of 512
// KiB are 590,000 exchanges, bound by the CPU of a small machine, not by the fleet.

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
#include "sim/SimSite.h"

extern char** environ;

namespace {

struct SRun {
    bool m_bOk = false;
    double m_dSeconds = 0;
    long m_nMaxRssKb = 0;
};

// One velorctl --fleet flash; its wall time and peak resident set.
SRun RunFleet(const std::string& strCsv, const std::vector<std::string>& command, int nDivisor) {
    std::vector<std::string> args = {std::string(VELOR_BIN_DIR) + "/cli/velorctl",
                                     "--fleet",
                                     strCsv,
                                     "-j",
                                     "1024",
                                     "--yes",
                                     "--json"};
    args.insert(args.end(), command.begin(), command.end());
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

// The site and the image live in a child process: a spawned program's peak memory
// includes that of the process it was spawned from, so this one stays small. The
// child writes the fleet files and says "ready" on the pipe.
pid_t StartSite(const std::filesystem::path& dir, size_t nUnits, int& fdHold) {
    int afdReady[2], afdHold[2];
    if (::pipe(afdReady) != 0 || ::pipe(afdHold) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(afdReady[0]);
        ::close(afdHold[1]);
        SSampleImage sample;
        sample.m_nLength = 64 * 1024;
        SSiteLayout layout;
        layout.m_nUnits = nUnits;
        layout.m_strFirstHost = "127.2.0.1";
        layout.m_nPort = 0;
        layout.m_base.m_bResyncAtStart = false;
        std::vector<SSiteUnit> units;
        std::string strError;
        CSimSite site;
        if (!WriteSampleImage((dir / "image.s37").string(), sample) ||
            !LayOutSite(layout, units, strError) || !site.Start(std::move(units), &strError)) {
            std::fprintf(stderr, "the site did not start: %s\n", strError.c_str());
            _exit(1);
        }
        const std::string strAll = SiteFleetFile(site);
        for (size_t n : {size_t{1}, size_t{256}, nUnits}) {
            size_t nEnd = 0;
            for (size_t i = 0; i <= n; ++i)
                nEnd = strAll.find('\n', nEnd) + 1;
            std::ofstream(dir / (std::to_string(n) + ".csv")) << strAll.substr(0, nEnd);
        }
        if (::write(afdReady[1], "ready", 5) != 5) _exit(1);
        ::close(afdReady[1]);
        char c;
        while (::read(afdHold[0], &c, 1) > 0) {
        } // until the parent is done
        site.Stop();
        _exit(0);
    }
    ::close(afdReady[1]);
    ::close(afdHold[0]);
    char ab[8];
    const bool bReady = ::read(afdReady[0], ab, sizeof ab) == 5;
    ::close(afdReady[0]);
    fdHold = afdHold[1];
    return bReady ? pid : -1;
}

} // namespace

int main(int argc, char** argv) {
    const int nRuns = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const int nDivisor = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    constexpr size_t UNITS = 1000;
    const auto dir = std::filesystem::temp_directory_path() /
                     ("bench_fleet_flash." + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    int fdHold = -1;
    const pid_t pidSite = StartSite(dir, UNITS, fdHold);
    if (pidSite < 0) {
        std::fprintf(stderr, "the simulated site did not start\n");
        return 1;
    }
    const auto csv = [&](size_t n) { return (dir / (std::to_string(n) + ".csv")).string(); };
    const std::vector<std::string> flash = {"flash", (dir / "image.s37").string()};
    const std::vector<std::string> write = {"write", "timeout=31"};
    const std::string strBasis = "64 KiB image, one velorsim --site of 1,000 units on loopback "
                                 "UDP, -j 1024, time-outs / " +
                                 std::to_string(nDivisor);

    bench::SRow ratio("velorctl --fleet flash, 256 units / 1 unit", "x");
    ratio.m_eTarget = bench::ETarget::AtMost;
    ratio.m_dTarget = 2.5;
    ratio.m_strBasis = strBasis + "; 1 unit flashed in the same round";
    bench::SRow flashMemory("velorctl --fleet flash peak memory, 1,000 units", "MB");
    bench::SRow writeMemory("velorctl --fleet write peak memory, 1,000 units", "MB");
    for (bench::SRow* pRow : {&flashMemory, &writeMemory}) {
        pRow->m_eTarget = bench::ETarget::AtMost;
        pRow->m_dTarget = 64;
        pRow->m_nDecimals = 1;
        pRow->m_strBasis = "ru_maxrss of the ended process; " + strBasis;
    }
    bench::SRow flashAll("velorctl --fleet flash, 1,000 units", "s");
    flashAll.m_strBasis = strBasis;
    bool bFailed = false;
    for (int i = 0; i < nRuns && !bFailed; ++i) {
        const SRun one = RunFleet(csv(1), flash, nDivisor);
        const SRun many = RunFleet(csv(256), flash, nDivisor);
        const SRun all = RunFleet(csv(UNITS), flash, nDivisor);
        const SRun written = RunFleet(csv(UNITS), write, nDivisor);
        bFailed = !one.m_bOk || !many.m_bOk || !all.m_bOk || !written.m_bOk;
        ratio.m_samples.push_back(many.m_dSeconds / one.m_dSeconds);
        flashMemory.m_samples.push_back(static_cast<double>(all.m_nMaxRssKb) / 1024);
        writeMemory.m_samples.push_back(static_cast<double>(written.m_nMaxRssKb) / 1024);
        flashAll.m_samples.push_back(all.m_dSeconds);
        std::fprintf(stderr,
                     "round %d: flash 1 unit %.3f s, 256 units %.3f s, %zu units %.3f s; "
                     "write %zu units %.3f s\n",
                     i + 1, one.m_dSeconds, many.m_dSeconds, UNITS, all.m_dSeconds, UNITS,
                     written.m_dSeconds);
    }
    ::close(fdHold);
    ::waitpid(pidSite, nullptr, 0);
    std::filesystem::remove_all(dir);
    if (bFailed) {
        std::fprintf(stderr, "a fleet run failed\n");
        return 1;
    }
    for (const bench::SRow* pRow : {&ratio, &flashAll, &flashMemory, &writeMemory})
        bench::Print(*pRow);
    return 0;
}
