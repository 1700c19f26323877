// Ethernet firmware download of a 512 KiB image into the simulated unit over
// loopback UDP, set against a raw UDP ping-pong of exactly the datagram sizes the
// load exchanged, run right before and right after the load in the same round; the
// row is the ping-pong's time over the load's.
//
//   bench_eth_flash [rounds=9]

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "BenchRow.h"
#include "BenchUtil.h"
#include "ethernet/EthLink.h"
#include "firmware/LoadBlock.h"
#include "firmware/SampleImage.h"
#include "jobs/JobHost.h"
#include "platform/TimeConstants.h"
#include "platform/Trace.h"
#include "serial/FrameCodec.h"
#include "sim/SimUnit.h"

namespace {

struct SLoadRun {
    bench::Exchanges m_exchanges;
    double m_dSeconds = 0;
    bool m_bUpdated = false;
};

SLoadRun FlashOnce(uint16_t nPort, const std::string& strImage) {
    SLoadRun run;
    std::mutex mutex;
    bench::Clock::time_point tFirst{}, tLast{};
    bool bLoading = false;
    size_t nPendingRequest = 0;
    SetTraceSink([&](ETraceDir eDir, const uint8_t* p, size_t n) {
        std::lock_guard lock(mutex);
        if (eDir == ETraceDir::Sent) {
            const bool bLoad = n > frame::OFS_CMD && p[frame::OFS_CMD] == frame::CMD_LOAD;
            if (bLoad && !bLoading) {
                bLoading = true;
                tFirst = bench::Clock::now();
            }
            if (bLoad && loadblock::IsEndOfLoad(p + frame::OFS_DATA, p[frame::OFS_COUNT])) {
                tLast = bench::Clock::now();
                bLoading = false;
            } else if (bLoading) {
                nPendingRequest = n;
            }
        } else if (bLoading && nPendingRequest) {
            run.m_exchanges.emplace_back(nPendingRequest, n);
            nPendingRequest = 0;
        }
    });

    bench::CPrompts prompts;
    CJobHost host(&prompts);
    NetParams rec = NetParams::Defaults();
    host.m_pNetParams = &rec;
    host.m_strTargetIp = "127.0.0.1";
    host.m_nTargetPort = nPort;
    {
        CEthLink link(&host);
        if (link.OpenSocket(TimeConstants().m_nRecvMs, CEthLink::EOpen::Start) ==
                CEthLink::EOpenResult::Open &&
            link.StepPolls())
            run.m_bUpdated = link.LoadImage(strImage) == CEthLink::EFlash::Updated;
        link.CloseSocket(CEthLink::EClose::JobEnd);
    }
    SetTraceSink({});
    if (!run.m_bUpdated) std::fprintf(stderr, "flash failed: %s\n", prompts.Messages().c_str());
    run.m_dSeconds = bench::Seconds(tLast - tFirst);
    return run;
}

} // namespace

int main(int argc, char** argv) {
    const int nRounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
    const size_t nImageBytes = 512 * 1024;
    const auto dir =
        std::filesystem::temp_directory_path() / ("bench_eth_flash." + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string strImage = (dir / "image.s19").string();
    SSampleImage sample;
    sample.m_nLength = nImageBytes;
    if (!WriteSampleImage(strImage, sample)) {
        std::fprintf(stderr, "cannot write %s\n", strImage.c_str());
        return 1;
    }

    // The final check waits for the unit to restart; a short receive time-out keeps
    // that wait out of the way. The load phase never waits for it.
    TimeConstants().m_nRecvMs = 300;
    TimeConstants().m_nDrainLimitMs = 1000;

    CSimServer sim;
    SSimOptions options;
    options.m_bUdp = true;
    options.m_nUdpPort = 0;
    std::string strError;
    if (!sim.Start(options, &strError)) {
        std::fprintf(stderr, "simulator: %s\n", strError.c_str());
        return 1;
    }

    bench::SRow row{"ethernet flash / raw UDP ping-pong", "%"};
    row.m_eTarget = bench::ETarget::AtLeast;
    row.m_dTarget = 90;
    row.m_nDecimals = 1;
    // The first load gives the datagram sizes. Every round then runs the ping-pong
    // right before and right after its load, so that a change of the machine's load
    // during the round falls on both sides.
    const SLoadRun first = FlashOnce(sim.UdpPort(), strImage);
    if (!first.m_bUpdated || first.m_exchanges.empty()) return 1;
    const bench::Exchanges& exchanges = first.m_exchanges;
    for (int i = 0; i < nRounds; ++i) {
        const double dBefore = bench::UdpPingPong(exchanges);
        const SLoadRun run = FlashOnce(sim.UdpPort(), strImage);
        const double dAfter = bench::UdpPingPong(exchanges);
        if (!run.m_bUpdated || run.m_exchanges.size() != exchanges.size()) return 1;
        const double dPing = (dBefore + dAfter) / 2;
        row.m_samples.push_back(100.0 * dPing / run.m_dSeconds);
        std::fprintf(stderr, "round %d: load %.4f s, ping-pong %.4f s and %.4f s\n", i + 1,
                     run.m_dSeconds, dBefore, dAfter);
    }
    const size_t nExchanges = exchanges.size();
    std::filesystem::remove_all(dir);
    row.m_strBasis = "512 KiB load, " + std::to_string(nExchanges) +
                     " exchanges; the same datagram sizes between two plain sockets";
    bench::Print(row);
    return 0;
}
