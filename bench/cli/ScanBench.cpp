// bench_scan [runs]: velorctl scan over a /24 on loopback holding 3 simulated units,
// against one unit's UDP time-out (the scan waits once, not once an address); and a
// serial scan to a pseudo-terminal unit at 9600 odd address 7, against the bound the
// scan announces for the probes it made. Real time-outs: nothing is shortened.

#include <fcntl.h>
#include <spawn.h>
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
#include "sim/SimUnit.h"

extern char** environ;

namespace {

// The wall time of one velorctl scan that found exactly nExpect units; < 0 otherwise.
double ScanSeconds(const std::vector<std::string>& args, int nExpect) {
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
    ::waitpid(pid, &nStatus, 0);
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
    const int nRuns = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    if (std::getenv("VELOR_TIME_DIVISOR")) {
        std::fprintf(stderr, "bench_scan measures the real time-outs; unset VELOR_TIME_DIVISOR\n");
        return 1;
    }

    // Three units on 127.0.5.10, .20 and .30, one port.
    std::vector<std::unique_ptr<CSimServer>> units;
    uint16_t nPort = 0;
    for (int nHost : {10, 20, 30}) {
        SSimOptions o;
        o.m_bUdp = true;
        o.m_strUdpHost = "127.0.5." + std::to_string(nHost);
        o.m_nUdpPort = nPort;
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

    const double dTimeout = TimeConstants().m_nScanWaitMs / 1000.0;
    bench::SRow udp("velorctl scan udp /24 with 3 units / one unit's time-out", "x");
    udp.m_eTarget = bench::ETarget::AtMost;
    udp.m_dTarget = 1.2;
    udp.m_strBasis = "254 addresses on loopback, 256 at once; the UDP receive time-out (" +
                     bench::Fixed(dTimeout, 1) + " s)";
    bench::SRow ser("velorctl scan serial to 9600 odd addr 7 / announced bound", "x");
    ser.m_eTarget = bench::ETarget::AtMost;
    ser.m_dTarget = 1.1;
    ser.m_strBasis = std::to_string(nSerialProbes) + " probes, bound " +
                     bench::Fixed(dSerialBound, 2) + " s: the line time of request and header " +
                     "plus " + std::to_string(TimeConstants().m_nScanAnswerMs.load()) + " ms each";
    const std::string strRange = "udp:127.0.5.0/24:" + std::to_string(nPort);
    for (int i = 0; i < nRuns; ++i) {
        const double dUdp = ScanSeconds({strRange}, 3);
        const double dSerial = ScanSeconds({"serial:" + serial.PtyPath()}, 1);
        if (dUdp < 0 || dSerial < 0) return 1;
        udp.m_samples.push_back(dUdp / dTimeout);
        ser.m_samples.push_back(dSerial / dSerialBound);
        std::fprintf(stderr, "round %d: udp %.3f s, serial %.3f s (%.1f ms a probe)\n", i + 1, dUdp,
                     dSerial, dSerial * 1000 / static_cast<double>(nSerialProbes));
    }
    bench::Print(udp);
    bench::Print(ser);
    return 0;
}
