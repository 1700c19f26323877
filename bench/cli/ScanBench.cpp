// bench_scan [runs]: velorctl scan with its default options on loopback: a /16 holding
// a simulated site of 200 units (every one found, in seconds, and velorctl's peak
// memory), a /20 and a /24 with every comm address against the scan's wait (the
// time does not grow with the range); and a serial scan to a pseudo-terminal unit
// at 9600 odd address 7, against the bound the scan announces for the probes it
// made. Real time-outs: nothing is shortened.

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "BenchRow.h"
#include "discovery/SerialScan.h"
#include "platform/TimeConstants.h"
#include "sim/SimSite.h"
#include "sim/SimUnit.h"

extern char** environ;

namespace {

// The wall time of one velorctl scan that found exactly nExpect units; < 0 otherwise.
// pdMaxMb: velorctl's peak resident memory.
double ScanSeconds(const std::vector<std::string>& args, int nExpect, double* pdMaxMb = nullptr) {
    std::vector<std::string> argv = {std::string(VELOR_BIN_DIR) + "/cli/velorctl", "scan"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back("--json");
    std::vector<char*> apArgs;
    for (auto& str : argv)
        apArgs.push_back(str.data());
    apArgs.push_back(nullptr);
    int afd[2];
    if (::pipe(afd) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, afd[1], 1);
    posix_spawn_file_actions_addclose(&actions, afd[0]);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const auto t0 = std::chrono::steady_clock::now();
    const int nSpawn = posix_spawn(&pid, apArgs[0], &actions, nullptr, apArgs.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(afd[1]);
    if (nSpawn != 0) return -1;
    std::string strOut;
    char ab[4096];
    for (ssize_t n; (n = ::read(afd[0], ab, sizeof ab)) > 0;)
        strOut.append(ab, static_cast<size_t>(n));
    ::close(afd[0]);
    int nStatus = 0;
    rusage ru{};
    ::wait4(pid, &nStatus, 0, &ru);
    if (pdMaxMb) *pdMaxMb = static_cast<double>(ru.ru_maxrss) / 1024;
    const double d = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const auto nFound = std::count(strOut.begin(), strOut.end(), '{');
    if (!WIFEXITED(nStatus) || WEXITSTATUS(nStatus) != 0 || nFound != nExpect) {
        std::fprintf(stderr, "scan %s: exit %d, %s\n", args[0].c_str(), WEXITSTATUS(nStatus),
                     strOut.c_str());
        return -1;
    }
    return d;
}

} // namespace

int main(int argc, char** argv) {
    const int nRuns = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2;
    if (std::getenv("VELOR_TIME_DIVISOR")) {
        std::fprintf(stderr, "bench_scan measures the real time-outs; unset VELOR_TIME_DIVISOR\n");
        return 1;
    }

    // 200 units spread over 127.2.0.0/16, one process.
    SSiteLayout layout;
    layout.m_nUnits = 200;
    layout.m_strFirstHost = "127.2.0.7";
    layout.m_nStep = 327;
    layout.m_nPort = 3001;
    layout.m_base.m_nAddr = 0; // the comm address a scan asks by default
    std::vector<SSiteUnit> siteUnits;
    std::string strError;
    CSimSite site;
    if (!LayOutSite(layout, siteUnits, strError) || !site.Start(siteUnits, &strError)) {
        std::fprintf(stderr, "cannot start the site: %s\n", strError.c_str());
        return 1;
    }
    // Three units in 127.0.5.0/24 (and so in 127.0.0.0/20), one port.
    std::vector<std::unique_ptr<CSimServer>> units;
    uint16_t nPort = 0;
    for (int nHost : {10, 20, 30}) {
        SSimOptions o;
        o.m_bUdp = true;
        o.m_strUdpHost = "127.0.5." + std::to_string(nHost);
        o.m_nUdpPort = nPort;
        o.m_nSerialNo = static_cast<uint16_t>(0x500 + nHost);
        units.push_back(std::make_unique<CSimServer>());
        if (!units.back()->Start(o)) {
            std::fprintf(stderr, "cannot serve %s:%u\n", o.m_strUdpHost.c_str(), nPort);
            return 1;
        }
        nPort = units[0]->UdpPort();
    }
    // A unit at 9600 odd, address 7, paced at that rate and deaf to other settings.
    SSimOptions o;
    o.m_bPty = true;
    o.m_nBaud = 9600;
    o.m_bOddParity = true;
    o.m_bStrictLine = true;
    o.m_nAddr = 7;
    CSimServer serial;
    if (!serial.Start(o)) return 1;
    // What a scan up to that unit asks, in order; its bound is what the scan announces.
    double dSerialBound = 0;
    size_t nSerialProbes = 0;
    for (const auto& line : SerialScanOrder(0, 0)) {
        const bool bUnit = line.m_nBaud == 9600 && line.m_cParity == 'o';
        const size_t nProbes = bUnit ? 8 : 16;
        dSerialBound += static_cast<double>(nProbes) * SerialProbeMs(line) / 1000.0;
        nSerialProbes += nProbes;
        if (bUnit) break;
    }

    const double dWait = TimeConstants().m_nScanWaitMs / 1000.0;
    const std::string strWait = "the scan's wait (" + bench::Fixed(dWait, 1) + " s)";
    bench::SRow wide("velorctl scan udp /16 with 200 units, default options", "s");
    wide.m_eTarget = bench::ETarget::AtMost;
    wide.m_dTarget = 60;
    wide.m_strBasis = "65,534 addresses on loopback, a site of 200 units in one velorsim; "
                      "every unit found";
    wide.m_nDecimals = 1;
    bench::SRow mem("velorctl scan udp /16 peak memory", "MB");
    mem.m_eTarget = bench::ETarget::AtMost;
    mem.m_dTarget = 20;
    mem.m_strBasis = "velorctl's maximum resident set (wait4)";
    mem.m_nDecimals = 1;
    bench::SRow mid("velorctl scan udp /20 with 3 units / the scan's wait", "x");
    mid.m_eTarget = bench::ETarget::AtMost;
    mid.m_dTarget = 1.5;
    mid.m_strBasis = "4,094 addresses on loopback; " + strWait;
    bench::SRow all("velorctl scan udp /24 --comm-addr all with 3 units / the scan's wait", "x");
    all.m_eTarget = bench::ETarget::AtMost;
    all.m_dTarget = 1.5;
    all.m_strBasis = "254 addresses x 16 comm addresses on loopback; " + strWait;
    bench::SRow ser("velorctl scan serial to 9600 odd addr 7 / announced bound", "x");
    ser.m_eTarget = bench::ETarget::AtMost;
    ser.m_dTarget = 1.1;
    ser.m_strBasis = std::to_string(nSerialProbes) + " probes, bound " +
                     bench::Fixed(dSerialBound, 2) + " s: the line time of request and header " +
                     "plus " + std::to_string(TimeConstants().m_nScanAnswerMs.load()) + " ms each";
    const std::string strPort = ":" + std::to_string(nPort);
    for (int i = 0; i < nRuns; ++i) {
        double dMb = 0;
        const double dWide = ScanSeconds({"udp:127.2.0.0/16:3001"}, 200, &dMb);
        const double dMid = ScanSeconds({"udp:127.0.0.0/20" + strPort}, 3);
        const double dAll = ScanSeconds({"udp:127.0.5.0/24" + strPort, "--comm-addr", "all"}, 3);
        const double dSerial = ScanSeconds({"serial:" + serial.PtyPath()}, 1);
        if (dWide < 0 || dMid < 0 || dAll < 0 || dSerial < 0) return 1;
        wide.m_samples.push_back(dWide);
        mem.m_samples.push_back(dMb);
        mid.m_samples.push_back(dMid / dWait);
        all.m_samples.push_back(dAll / dWait);
        ser.m_samples.push_back(dSerial / dSerialBound);
        std::fprintf(stderr,
                     "round %d: /16 %.1f s %.1f MB, /20 %.2f s, /24 all %.2f s, serial %.3f s\n",
                     i + 1, dWide, dMb, dMid, dAll, dSerial);
    }
    bench::Print(wide);
    bench::Print(mem);
    bench::Print(mid);
    bench::Print(all);
    bench::Print(ser);
    return 0;
}
