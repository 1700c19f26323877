// Ethernet firmware download of a 512 KiB image into the simulated unit over
// loopback UDP, set against its floor: the same load frames, from a plain socket set
// up as the link sets up its own, through the same simulator, with nothing else done.
// The floor takes its turn after every block of the load: it sends the very frame the
// load just sent, which the unit takes as a repeat (it stores the same bytes in the
// same place again and the load goes on as before). Load and floor so meet the same
// machine, block by block; the process runs on one CPU (see bench::PinToOneCpu).
// A block's time is from its frame going out to the next frame going out, the floor's
// turn taken out; the floor's, from its frame going out to its reply checked. The row
// sets the floor's median block against the load's.
//
//   bench_eth_flash [rounds=15]

#include <unistd.h>

#include <cstdlib>
#include <cstring>
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

// The floor's socket: the receive time-out the link sets for a download, connected.
class CFloor {
public:
    bool Open(uint16_t nPort) {
        return m_sock.Open() && m_sock.SetRecvTimeout(TimeConstants().m_nRecvMs) &&
               m_sock.Connect("127.0.0.1", nPort);
    }
    // One exchange of the frame: sent, its reply received and checked. False when
    // the reply did not come or was not valid.
    bool Exchange(const uint8_t* pFrame, size_t nLen) {
        if (m_sock.Send(pFrame, nLen) < 0) return false;
        const int nGot = m_sock.Recv(m_abReply, sizeof m_abReply, 512);
        return nGot >= 0 && frame::CheckReply(m_abReply, static_cast<size_t>(nGot)) == frame::OK;
    }

private:
    CDatagramSocket m_sock;
    uint8_t m_abReply[CEthFraming::FRAME_BUFFER] = {};
};

struct SLoadRun {
    std::vector<double> m_blocks; // the load's, the floor's turns taken out
    std::vector<double> m_floor;  // the floor's, one per block
    bool m_bFloorFailed = false;
    bool m_bUpdated = false;
};

double Sum(const std::vector<double>& v) {
    double d = 0;
    for (const double x : v)
        d += x;
    return d;
}

SLoadRun FlashOnce(uint16_t nPort, const std::string& strImage, bool bWithFloor) {
    SLoadRun run;
    CFloor floor;
    if (bWithFloor && !floor.Open(nPort)) {
        run.m_bFloorFailed = true;
        return run;
    }
    std::mutex mutex;
    bench::Clock::time_point tSent{};
    double dFloorTurn = 0; // of the block now running
    bool bBlock = false;   // a load block is out, its reply not yet in
    uint8_t abBlock[frame::MAX_FRAME];
    size_t nBlock = 0;
    SetTraceSink([&](ETraceDir eDir, const uint8_t* p, size_t n) {
        const auto t = bench::Clock::now();
        std::lock_guard lock(mutex);
        if (eDir == ETraceDir::Sent) {
            const bool bLoad = n > frame::OFS_CMD && p[frame::OFS_CMD] == frame::CMD_LOAD;
            // The next load frame, the end-of-load one too, ends the block before it.
            if (bLoad && tSent != bench::Clock::time_point{}) {
                run.m_blocks.push_back(bench::Seconds(t - tSent) - dFloorTurn);
                tSent = {};
            }
            if (bLoad && !loadblock::IsEndOfLoad(p + frame::OFS_DATA, p[frame::OFS_COUNT]) &&
                n <= sizeof abBlock) {
                tSent = t;
                dFloorTurn = 0;
                std::memcpy(abBlock, p, n);
                nBlock = n;
                bBlock = true;
            }
        } else if (bBlock) {
            bBlock = false;
            if (!bWithFloor) return;
            const auto t0 = bench::Clock::now();
            if (!floor.Exchange(abBlock, nBlock)) run.m_bFloorFailed = true;
            const auto t1 = bench::Clock::now();
            run.m_floor.push_back(bench::Seconds(t1 - t0));
            dFloorTurn = bench::Seconds(t1 - t);
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
    return run;
}

} // namespace

int main(int argc, char** argv) {
    const int nRounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    std::fprintf(stderr, "on CPU %d\n", bench::PinToOneCpu());
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

    bench::SRow row{"ethernet flash / raw load frames through the simulator", "%"};
    row.m_eTarget = bench::ETarget::AtLeast;
    row.m_dTarget = 90;
    row.m_nDecimals = 1;
    bench::SRow own{"ethernet flash: program's own time per block", "us"};
    bench::SRow whole{"ethernet flash 512 KiB: the whole load", "ms"};
    whole.m_nDecimals = 1;
    // A first load, not counted, warms the unit up.
    if (!FlashOnce(sim.UdpPort(), strImage, false).m_bUpdated) return 1;
    size_t nBlocks = 0;
    for (int i = 0; i < nRounds; ++i) {
        const SLoadRun run = FlashOnce(sim.UdpPort(), strImage, true);
        if (!run.m_bUpdated || run.m_bFloorFailed || run.m_floor.size() != run.m_blocks.size() ||
            run.m_blocks.empty()) {
            std::fprintf(stderr, "round %d: the load or its floor failed\n", i + 1);
            return 1;
        }
        nBlocks = run.m_blocks.size();
        const double dLoad = bench::Median(run.m_blocks), dFloor = bench::Median(run.m_floor);
        row.m_samples.push_back(100.0 * dFloor / dLoad);
        own.m_samples.push_back(1e6 * (dLoad - dFloor));
        whole.m_samples.push_back(1000 * Sum(run.m_blocks));
        std::fprintf(stderr,
                     "round %d: median block %.2f us, the floor's %.2f us; whole load %.1f ms, "
                     "the floor's %.1f ms\n",
                     i + 1, 1e6 * dLoad, 1e6 * dFloor, 1000 * Sum(run.m_blocks),
                     1000 * Sum(run.m_floor));
    }
    std::filesystem::remove_all(dir);
    row.m_strBasis = "median block of " + std::to_string(nBlocks) +
                     ": the floor's over the load's, the floor sending each block again "
                     "right after the load, through the same simulator, one CPU";
    own.m_strBasis = "median block of the load - median block of the floor, same round";
    whole.m_strBasis = "the blocks' times added up; swings with what else the machine runs";
    bench::Print(row);
    bench::Print(own);
    bench::Print(whole);
    return 0;
}
