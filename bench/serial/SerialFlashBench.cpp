// Serial firmware download into the simulated unit on a pseudo-terminal paced at
// 115200 baud, 8E1 (11 bits a character). Each round measures the load phase of the
// download (first block to the end-of-load block) and, right before or after it, a
// raw paced echo: the same load frames written to the simulator and its replies read
// back with nothing of the link in between. Both are set against the time their
// bytes need on the line; their difference per block is the program's own overhead.
//
//   bench_serial_flash [rounds=5] [KiB=16]

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "BenchRow.h"
#include "BenchUtil.h"
#include "firmware/ImageReader.h"
#include "firmware/LoadBlock.h"
#include "firmware/SampleImage.h"
#include "params/ScpParams.h"
#include "platform/SerialDevice.h"
#include "platform/TimeConstants.h"
#include "platform/Trace.h"
#include "serial/FrameCodec.h"
#include "serial/SerialDownload.h"
#include "serial/SerlComm.h"
#include "sim/SimUnit.h"

namespace {

constexpr int BAUD = 115200;
constexpr int BITS_PER_CHAR = 11; // start, 8 data, even parity, stop

double LineSeconds(uint64_t nBytes) {
    return static_cast<double>(nBytes) * BITS_PER_CHAR / BAUD;
}

struct SPhase {
    double m_dSeconds = 0;
    uint64_t m_nBytes = 0; // both ways
    size_t m_nBlocks = 0;
    bool m_bOk = false;
};

// The program's download; the load phase as the trace sees it.
SPhase ProgramLoad(const std::string& strPty, const std::string& strImage) {
    SPhase phase;
    std::atomic<bool> bLoading{false}, bDone{false};
    std::atomic<uint64_t> nBytes{0};
    std::atomic<size_t> nBlocks{0};
    bench::Clock::time_point tFirst{}, tEnd{};
    SetTraceSink([&](ETraceDir eDir, const uint8_t* p, size_t n) {
        if (bDone) return;
        if (eDir == ETraceDir::Sent && n > frame::OFS_COUNT &&
            p[frame::OFS_CMD] == frame::CMD_LOAD) {
            if (loadblock::IsEndOfLoad(p + frame::OFS_DATA, p[frame::OFS_COUNT])) {
                tEnd = bench::Clock::now();
                bDone = true;
                return;
            }
            if (!bLoading) tFirst = bench::Clock::now();
            bLoading = true;
            ++nBlocks;
        }
        if (bLoading) nBytes += n;
    });
    bench::CPrompts prompts;
    ScpParams scp = *ScpParams::Make("COM1", 0, "Even", std::to_string(BAUD));
    {
        CSerlComm link(&scp, &prompts, strPty);
        if (link.CheckUnit() == 0) {
            LoadImage(link, prompts, strImage);
            phase.m_bOk = link.Result() == EJobResult::Success;
        }
        if (!phase.m_bOk) std::fprintf(stderr, "serial flash: %s\n", prompts.Messages().c_str());
    }
    SetTraceSink({});
    phase.m_dSeconds = bench::Seconds(tEnd - tFirst);
    phase.m_nBytes = nBytes;
    phase.m_nBlocks = nBlocks;
    return phase;
}

// The same load frames, written and answered raw.
SPhase RawEcho(const std::string& strPty, const std::vector<std::vector<uint8_t>>& blocks) {
    SPhase phase;
    serialdev::CSerialDevice dev;
    serialdev::SLineMode mode;
    if (dev.Open(strPty) != 0 || dev.GetLineMode(mode) != 0) return phase;
    mode.m_nBaud = BAUD;
    mode.m_cParity = 'e';
    dev.SetLineMode(mode);
    dev.SetTimeouts(1000, 1000, 1000);
    uint8_t abFrame[frame::MAX_FRAME], abReply[frame::MAX_FRAME];
    size_t n = 0;
    // Start the sequence: a restarted unit first asks for it.
    for (int i = 0; i < 2; ++i) {
        const size_t nLen = frame::Build(abFrame, sizeof abFrame, 0, 0, 0, 0, nullptr);
        dev.Write(abFrame, nLen, n);
        dev.Read(abReply, frame::HEADER_LEN, n);
        if (n == frame::HEADER_LEN && !(abReply[frame::OFS_CONTROL] & frame::CTL_RESYNC)) break;
    }
    uint32_t nSeq = 0;
    const auto t0 = bench::Clock::now();
    for (const auto& block : blocks) {
        nSeq = frame::NextSequence(nSeq);
        const size_t nLen = frame::Build(abFrame, sizeof abFrame, 0, nSeq, frame::CMD_LOAD,
                                         block.size() + 2, block.data());
        dev.Write(abFrame, nLen, n);
        dev.Read(abReply, frame::HEADER_LEN, n);
        size_t nData = 0;
        if (n == frame::HEADER_LEN) dev.Read(abReply + n, abReply[frame::OFS_LEN], nData);
        if (n != frame::HEADER_LEN || frame::CheckHeader(abReply) != frame::OK) {
            std::fprintf(stderr, "raw echo: no reply to block %zu\n", phase.m_nBlocks);
            return phase;
        }
        phase.m_nBytes += nLen + n + nData;
        ++phase.m_nBlocks;
    }
    phase.m_dSeconds = bench::Seconds(bench::Clock::now() - t0);
    phase.m_bOk = true;
    return phase;
}

} // namespace

int main(int argc, char** argv) {
    const int nRounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const size_t nKiB = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 16;

    // The end-of-load block is never answered; shorter time-outs keep its three
    // attempts short. The load itself never waits for a time-out.
    TimeConstants().m_nSerialReadMs = 200;
    TimeConstants().m_nSerialRetryPauseMs = 50;

    SSimOptions options;
    options.m_bPty = true;
    options.m_nBaud = BAUD;
    options.m_bParity = true;
    options.m_bResyncAtStart = false;
    CSimServer sim;
    std::string strError;
    if (!sim.Start(options, &strError)) {
        std::fprintf(stderr, "simulated unit: %s\n", strError.c_str());
        return 1;
    }
    SSampleImage layout;
    layout.m_nLength = nKiB * 1024;
    const std::string strImage = (std::filesystem::temp_directory_path() /
                                  ("velor-bench-serial-" + std::to_string(::getpid()) + ".s19"))
                                     .string();
    std::vector<std::vector<uint8_t>> blocks;
    CImageReader reader;
    if (!WriteSampleImage(strImage, layout) ||
        reader.Run(strImage, [&](const uint8_t* p, size_t n) {
            blocks.emplace_back(p, p + n);
            return 0;
        }) != 0) {
        std::fprintf(stderr, "cannot write %s\n", strImage.c_str());
        return 1;
    }

    bench::SRow program{"serial flash 115200 8E1 / line time", "x"};
    bench::SRow echo{"serial paced echo (simulator) / line time", "x"};
    bench::SRow overhead{"serial flash: program's own time per block", "ms"};
    overhead.m_eTarget = bench::ETarget::AtMost;
    overhead.m_dTarget = 0.5;
    overhead.m_nDecimals = 3;
    size_t nBlocks = 0;
    uint64_t nBytes = 0;
    for (int i = 0; i < nRounds; ++i) {
        SPhase prog, raw;
        // Alternate which side goes first, so that a drift of the machine's load
        // falls on both.
        if (i % 2) raw = RawEcho(sim.PtyPath(), blocks);
        prog = ProgramLoad(sim.PtyPath(), strImage);
        if (i % 2 == 0) raw = RawEcho(sim.PtyPath(), blocks);
        if (!prog.m_bOk || !raw.m_bOk || prog.m_nBlocks != raw.m_nBlocks) {
            std::fprintf(stderr, "round %d failed\n", i + 1);
            return 1;
        }
        program.m_samples.push_back(prog.m_dSeconds / LineSeconds(prog.m_nBytes));
        echo.m_samples.push_back(raw.m_dSeconds / LineSeconds(raw.m_nBytes));
        overhead.m_samples.push_back(1000.0 * (prog.m_dSeconds - raw.m_dSeconds) /
                                     static_cast<double>(prog.m_nBlocks));
        nBlocks = prog.m_nBlocks;
        nBytes = prog.m_nBytes;
        std::fprintf(stderr, "round %d: program %.3f s, echo %.3f s, line %.3f s\n", i + 1,
                     prog.m_dSeconds, raw.m_dSeconds, LineSeconds(prog.m_nBytes));
    }
    std::filesystem::remove(strImage);
    const std::string strLoad = std::to_string(nKiB) + " KiB load: " + std::to_string(nBlocks) +
                                " blocks, " + std::to_string(nBytes) + " bytes both ways";
    program.m_strBasis = strLoad + ", line time at 11 bits a byte";
    echo.m_strBasis = "the same frames written and read raw through the paced simulator";
    overhead.m_strBasis = "(program - raw echo) / blocks, same round";
    bench::Print(program);
    bench::Print(echo);
    bench::Print(overhead);
    return 0;
}
