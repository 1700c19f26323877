// A configure job (status, read, configuration dialog answered OK, write with its
// read-back; the reset declined) run on its worker against the simulated unit, set
// against the time its exchanges need on the link: over UDP loopback a raw
// ping-pong of the same datagram sizes, passes and jobs taking turns; over a
// pseudo-terminal paced at 115200 baud, 8E1, the line time of its bytes both ways.
// The whole process runs on one CPU (see bench::PinToOneCpu).
//
//   bench_configure [rounds=9]

#include <cstdlib>
#include <mutex>

#include "BenchRow.h"
#include "BenchUtil.h"
#include "jobs/EthernetThread.h"
#include "jobs/JobHost.h"
#include "jobs/SerlThread.h"
#include "platform/TimeConstants.h"
#include "platform/Trace.h"
#include "sim/SimUnit.h"

namespace {

constexpr int BAUD = 115200;
constexpr int BITS_PER_CHAR = 11;

class CBenchHost : public CJobHost {
public:
    explicit CBenchHost(IPrompts* pPrompts) : CJobHost(pPrompts) {
        m_pNetParams = &m_rec;
        m_pScpParams = &m_scp;
    }
    // The job ends here, on its worker: what follows (the worker's own exit, this
    // thread waking) is no part of the job.
    void OnJobFinished() override {
        m_tFinished = bench::Clock::now();
        m_done.Set();
    }
    NetParams m_rec = NetParams::Defaults();
    ScpParams m_scp = ScpParams::Defaults();
    CManualResetEvent m_done;
    bench::Clock::time_point m_tFinished;
};

struct SJobRun {
    double m_dSeconds = 0;
    uint64_t m_nBytes = 0;
    bench::Exchanges m_exchanges;
    bool m_bOk = false;
};

SJobRun Configure(bool bUdp, const std::string& strPty, uint16_t nPort) {
    SJobRun run;
    std::mutex mutex;
    size_t nPending = 0;
    SetTraceSink([&](ETraceDir eDir, const uint8_t*, size_t n) {
        std::lock_guard lock(mutex);
        run.m_nBytes += n;
        if (eDir == ETraceDir::Sent) {
            nPending = n;
        } else if (nPending) {
            run.m_exchanges.emplace_back(nPending, n);
            nPending = 0;
        }
    });
    bench::CPrompts prompts;
    CBenchHost host(&prompts);
    host.m_nJob = JOB_CONFIGURE;
    host.m_rec.SetDottedAt(NetParams::OFS_IP, "127.0.0.1");
    host.m_rec.SetPort(nPort);
    host.m_strTargetIp = "127.0.0.1";
    host.m_nTargetPort = nPort;
    host.m_nRecvLen = 512;
    const auto t0 = bench::Clock::now();
    CWinThread* pThread = nullptr;
    if (bUdp) {
        host.m_bEthernetBusy = true;
        pThread = new CEthernetThread(&host);
    } else {
        host.m_bSerialBusy = true;
        pThread = new CSerlThread(&host, strPty);
    }
    if (!pThread->CreateThread()) {
        delete pThread;
        return run;
    }
    host.m_done.Wait(-1);
    run.m_dSeconds = bench::Seconds(host.m_tFinished - t0);
    CWinThread::WaitForAllThreads(60000);
    SetTraceSink({});
    run.m_bOk = host.m_eResult == EJobResult::Success;
    if (!run.m_bOk) std::fprintf(stderr, "configure: %s\n", prompts.Messages().c_str());
    return run;
}

} // namespace

int main(int argc, char** argv) {
    const int nRounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
    std::fprintf(stderr, "on CPU %d\n", bench::PinToOneCpu());
    SSimOptions options;
    options.m_bUdp = true;
    options.m_nUdpPort = 0;
    options.m_bPty = true;
    options.m_nBaud = BAUD;
    options.m_bParity = true;
    options.m_bResyncAtStart = false;
    options.m_bSerialKeepsScp = true;
    CSimServer sim;
    std::string strError;
    if (!sim.Start(options, &strError)) {
        std::fprintf(stderr, "simulated unit: %s\n", strError.c_str());
        return 1;
    }
    // The unit's record names where it is reached, as a real unit's does.
    sim.WithUnit([&](CSimUnit& unit) {
        NetParams rec = unit.Params();
        rec.SetDottedAt(NetParams::OFS_IP, "127.0.0.1");
        rec.SetPort(sim.UdpPort());
        unit.SetParams(rec);
        return 0;
    });

    bench::SRow udp{"configure job over UDP loopback / raw ping-pong", "x"};
    udp.m_eTarget = bench::ETarget::AtMost;
    udp.m_dTarget = 2;
    bench::SRow serial{"configure job over 115200 8E1 pty / line time", "x"};
    size_t nUdpExchanges = 0;
    uint64_t nSerialBytes = 0;
    bench::CUdpEcho echo;
    // A job over loopback takes under a millisecond: each round runs it, and a pass
    // of its exchanges, several times in turns, and sets the median job against the
    // median pass, so that a preemption now and then falls on neither side's figure.
    constexpr int UDP_REPEATS = 20;
    for (int i = 0; i < nRounds; ++i) {
        std::vector<double> jobs, passes;
        bench::Exchanges exchanges;
        for (int k = 0; k < UDP_REPEATS; ++k) {
            // The first job of a round gives the sizes; after that the order alternates.
            if (k % 2 && !exchanges.empty()) passes.push_back(echo.Pass(exchanges));
            const SJobRun u = Configure(true, {}, sim.UdpPort());
            if (!u.m_bOk) return 1;
            jobs.push_back(u.m_dSeconds);
            exchanges = u.m_exchanges;
            if (k % 2 == 0) passes.push_back(echo.Pass(exchanges));
        }
        const SJobRun s = Configure(false, sim.PtyPath(), 0);
        if (!s.m_bOk) return 1;
        const double dLine = static_cast<double>(s.m_nBytes) * BITS_PER_CHAR / BAUD;
        const double dJob = bench::Median(jobs), dPass = bench::Median(passes);
        udp.m_samples.push_back(dJob / dPass);
        serial.m_samples.push_back(s.m_dSeconds / dLine);
        nUdpExchanges = exchanges.size();
        nSerialBytes = s.m_nBytes;
        std::fprintf(stderr,
                     "round %d: udp job %.0f us, ping-pong %.0f us (medians of %zu and %zu); "
                     "serial job %.1f ms, line %.1f ms\n",
                     i + 1, 1e6 * dJob, 1e6 * dPass, jobs.size(), passes.size(),
                     1000 * s.m_dSeconds, 1000 * dLine);
    }
    udp.m_strBasis = std::to_string(nUdpExchanges) +
                     " exchanges; median of 20 jobs / median of 20 passes of the same sizes "
                     "between plain sockets, in turns, one CPU";
    serial.m_strBasis = std::to_string(nSerialBytes) + " bytes both ways at 11 bits a byte";
    bench::Print(udp);
    bench::Print(serial);
    return 0;
}
