// Flashes a generated image into the simulated unit over a pseudo-terminal paced at
// a real line rate, and sets the wall time against the time the bytes need on the
// line (11 bits a character with parity).
//
//   bench_serial_flash [KiB=256] [baud=115200]

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "firmware/LoadBlock.h"
#include "firmware/SampleImage.h"
#include "params/ScpParams.h"
#include "platform/Prompts.h"
#include "platform/TimeConstants.h"
#include "platform/Trace.h"
#include "serial/FrameCodec.h"
#include "serial/SerialDownload.h"
#include "serial/SerlComm.h"
#include "sim/SimUnit.h"

namespace {

using Clock = std::chrono::steady_clock;

class CPrintPrompts : public IPrompts {
public:
    void Message(const std::string& strText) override {
        std::printf("message: \"%s\"\n", strText.c_str());
    }
    bool SwitchesNotice(ELink) override { return true; }
    bool SerialPortDialog(ScpParams&) override { return false; }
    bool IpAddressDialog(NetParams&) override { return false; }
    bool ConfigDialog(NetParams&, bool, bool, uint32_t) override { return false; }
    void PropertiesDialog(uint8_t*, size_t, uint32_t) override {}
    bool UpdateDoneDialog() override { return false; }
    bool ChooseImageFile(std::string&) override { return false; }
};

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

} // namespace

int main(int argc, char** argv) {
    const size_t nKiB = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    const int nBaud = argc > 2 ? std::atoi(argv[2]) : 115200;
    constexpr int BITS_PER_CHAR = 11; // start, 8 data, even parity, stop

    SSimOptions options;
    options.m_bPty = true;
    options.m_nBaud = nBaud;
    options.m_bParity = true;
    CSimServer sim;
    std::string strError;
    if (!sim.Start(options, &strError)) {
        std::fprintf(stderr, "simulated unit: %s\n", strError.c_str());
        return 1;
    }

    SSampleImage layout;
    layout.m_nLength = nKiB * 1024;
    const std::string strPath = (std::filesystem::temp_directory_path() /
                                 ("velor-bench-" + std::to_string(::getpid()) + ".s19"))
                                    .string();
    if (!WriteSampleImage(strPath, layout)) {
        std::fprintf(stderr, "cannot write %s\n", strPath.c_str());
        return 1;
    }

    // Bytes on the line both ways, and when the load itself ended.
    std::atomic<uint64_t> nSent{0}, nReceived{0}, nLoadSent{0}, nLoadReceived{0};
    std::atomic<bool> bLoadDone{false};
    Clock::time_point tLoadEnd{};
    SetTraceSink([&](ETraceDir eDir, const uint8_t* p, size_t n) {
        if (eDir == ETraceDir::Sent) {
            if (!bLoadDone && n == 12 && p[frame::OFS_CMD] == frame::CMD_LOAD &&
                loadblock::IsEndOfLoad(p + frame::OFS_DATA, p[frame::OFS_COUNT])) {
                bLoadDone = true;
                tLoadEnd = Clock::now();
                nLoadSent = nSent.load();
                nLoadReceived = nReceived.load();
            }
            nSent += n;
        } else {
            nReceived += n;
        }
    });

    CPrintPrompts prompts;
    ScpParams scp = *ScpParams::Make("COM1", 0, "Even", std::to_string(nBaud));
    CSerlComm link(&scp, &prompts, sim.PtyPath());
    if (link.CheckUnit() != 0) return 1;
    nSent = 0;
    nReceived = 0;

    const auto tStart = Clock::now();
    const int nResult = LoadImage(link, prompts, strPath);
    const auto tEnd = Clock::now();
    SetTraceSink({});
    std::filesystem::remove(strPath);

    auto floorOf = [&](uint64_t nBytes) {
        return static_cast<double>(nBytes) * BITS_PER_CHAR / nBaud;
    };
    const uint32_t nBlocks = sim.WithUnit([](CSimUnit& u) { return u.LoadBlocks(); });
    const double dLoadWall = Seconds(tLoadEnd - tStart);
    const double dLoadFloor = floorOf(nLoadSent + nLoadReceived);
    const double dWall = Seconds(tEnd - tStart);
    const double dFloor = floorOf(nSent + nReceived);
    // What the download waits by design: the end-of-load block is never accepted, and
    // each of its three attempts costs a header time-out (the unit restarts without
    // answering) or a retry pause (the restarted unit asks for resynchronisation).
    const double dWaits = 3 *
                          std::max(TimeConstants().m_nSerialReadMs.load(),
                                   TimeConstants().m_nSerialRetryPauseMs.load()) /
                          1000.0;

    std::printf("image          %zu KiB, %u blocks, result %d\n", nKiB, nBlocks, nResult);
    std::printf("line           %d baud, %d bits a character\n", nBaud, BITS_PER_CHAR);
    std::printf("load           %.3f s wall, %.3f s floor (%llu + %llu bytes), ratio %.4f\n",
                dLoadWall, dLoadFloor, static_cast<unsigned long long>(nLoadSent.load()),
                static_cast<unsigned long long>(nLoadReceived.load()), dLoadWall / dLoadFloor);
    std::printf("whole download %.3f s wall, %.3f s floor (%llu + %llu bytes), ratio %.4f\n", dWall,
                dFloor, static_cast<unsigned long long>(nSent.load()),
                static_cast<unsigned long long>(nReceived.load()), dWall / dFloor);
    std::printf("               %.3f s floor + %.3f s designed waits, ratio %.4f\n", dFloor, dWaits,
                dWall / (dFloor + dWaits));
    return nResult == 0 && link.Result() == EJobResult::Success ? 0 : 1;
}
