// Ethernet firmware download of a 512 KiB image into the simulated unit over
// loopback UDP, set against a raw UDP ping-pong of exactly the datagram sizes the
// load exchanged, run right before and right after the load in the same round; the
// row is the ping-pong's time over the load's.
//
//   bench_eth_flash [rounds=15]

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>

#include "BenchRow.h"
#include "BenchUtil.h"
#include "ethernet/EthLink.h"
#include "firmware/ImageReader.h"
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

// The load frames sent to the simulator from a plain socket, nothing of the link in
// between: what the simulator itself adds to a ping-pong. Seconds, or -1.
double RawLoad(uint16_t nPort, const std::vector<std::vector<uint8_t>>& blocks) {
    CDatagramSocket sock;
    if (!sock.Open() || !sock.SetRecvTimeout(1000) || !sock.Connect("127.0.0.1", nPort)) return -1;
    uint8_t abFrame[frame::MAX_FRAME], abReply[CEthFraming::FRAME_BUFFER];
    // Start the sequence; a restarted unit first asks for that.
    for (int i = 0; i < 2; ++i) {
        const size_t nLen = frame::Build(abFrame, sizeof abFrame, 0, 0, 0, 0, nullptr);
        sock.Send(abFrame, nLen);
        if (sock.Recv(abReply, sizeof abReply, 512) == static_cast<int>(frame::HEADER_LEN) &&
            frame::CheckHeader(abReply) == frame::OK)
            break;
    }
    uint32_t nSeq = 0;
    const auto t0 = bench::Clock::now();
    for (const auto& block : blocks) {
        nSeq = frame::NextSequence(nSeq);
        const size_t nLen = frame::Build(abFrame, sizeof abFrame, 0, nSeq, frame::CMD_LOAD,
                                         block.size() + 2, block.data());
        sock.Send(abFrame, nLen);
        const int nGot = sock.Recv(abReply, sizeof abReply, 512);
        if (nGot < 0 || frame::CheckReply(abReply, static_cast<size_t>(nGot)) != frame::OK)
            return -1;
    }
    return bench::Seconds(bench::Clock::now() - t0);
}

} // namespace

int main(int argc, char** argv) {
    const int nRounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
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

    std::vector<std::vector<uint8_t>> blocks;
    CImageReader reader;
    reader.Run(strImage, [&](const uint8_t* p, size_t n) {
        blocks.emplace_back(p, p + n);
        return 0;
    });

    bench::SRow row{"ethernet flash / raw UDP ping-pong", "%"};
    row.m_eTarget = bench::ETarget::AtLeast;
    row.m_dTarget = 90;
    row.m_nDecimals = 1;
    bench::SRow simRow{"raw load frames to the simulator / raw UDP ping-pong", "%"};
    simRow.m_nDecimals = 1;
    bench::SRow own{"ethernet flash: program's own time per block", "us"};
    // The first load gives the datagram sizes. Every round then runs the ping-pong
    // right before and right after its load, so that a change of the machine's load
    // during the round falls on both sides, and the raw frames through the simulator
    // next to the load.
    const SLoadRun first = FlashOnce(sim.UdpPort(), strImage);
    if (!first.m_bUpdated || first.m_exchanges.empty()) return 1;
    const bench::Exchanges& exchanges = first.m_exchanges;
    // Right after a burst of exchanges the next one runs measurably slower for a
    // while, whichever side it is: every phase starts after a short quiet spell.
    const auto quiet = [] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); };
    for (int i = 0; i < nRounds; ++i) {
        const double dBefore = bench::UdpPingPong(exchanges);
        quiet();
        // Which of the two loads goes first alternates from round to round.
        double dRaw = i % 2 ? RawLoad(sim.UdpPort(), blocks) : 0;
        if (i % 2) quiet();
        const SLoadRun run = FlashOnce(sim.UdpPort(), strImage);
        quiet();
        if (i % 2 == 0) {
            dRaw = RawLoad(sim.UdpPort(), blocks);
            quiet();
        }
        const double dAfter = bench::UdpPingPong(exchanges);
        quiet();
        if (!run.m_bUpdated || run.m_exchanges.size() != exchanges.size() || dRaw <= 0) return 1;
        const double dPing = (dBefore + dAfter) / 2;
        row.m_samples.push_back(100.0 * dPing / run.m_dSeconds);
        simRow.m_samples.push_back(100.0 * dPing / dRaw);
        own.m_samples.push_back(1e6 * (run.m_dSeconds - dRaw) / static_cast<double>(blocks.size()));
        std::fprintf(stderr,
                     "round %d: load %.4f s, raw frames to the simulator %.4f s, ping-pong %.4f s "
                     "and %.4f s\n",
                     i + 1, run.m_dSeconds, dRaw, dBefore, dAfter);
    }
    const size_t nExchanges = exchanges.size();
    std::filesystem::remove_all(dir);
    row.m_strBasis = "512 KiB load, " + std::to_string(nExchanges) +
                     " exchanges; the same datagram sizes between two plain sockets";
    simRow.m_strBasis = "the same load frames from a plain socket through the simulator";
    own.m_strBasis = "(program - raw frames to the simulator) / blocks, same round";
    bench::Print(row);
    bench::Print(simRow);
    bench::Print(own);
    return 0;
}
