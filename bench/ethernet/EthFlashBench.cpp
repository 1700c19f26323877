// bench_eth_flash [runs]: flashes a generated 512 KiB image into the simulated unit
// over loopback UDP, then runs a raw UDP ping-pong of exactly the datagram sizes the
// load exchanged, and prints both throughputs and their ratio (best of the runs).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ethernet/EthLink.h"
#include "firmware/LoadBlock.h"
#include "firmware/SampleImage.h"
#include "jobs/JobHost.h"
#include "platform/TimeConstants.h"
#include "platform/Trace.h"
#include "serial/FrameCodec.h"
#include "sim/SimUnit.h"

namespace {

using Clock = std::chrono::steady_clock;

class CBenchPrompts : public IPrompts {
public:
    void Message(const std::string& strText) override { m_messages.push_back(strText); }
    bool SwitchesNotice(ELink) override { return true; }
    bool SerialPortDialog(ScpParams&) override { return true; }
    bool IpAddressDialog(NetParams&) override { return false; }
    bool ConfigDialog(NetParams&, bool, bool, uint32_t) override { return false; }
    void PropertiesDialog(uint8_t*, size_t, uint32_t) override {}
    bool UpdateDoneDialog() override { return false; }
    bool ChooseImageFile(std::string&) override { return false; }
    std::vector<std::string> m_messages;
};

// What the load phase put on the wire: request and reply sizes, in order, and its time.
struct SLoadRun {
    std::vector<std::pair<size_t, size_t>> m_exchanges;
    double m_dSeconds = 0;
    bool m_bUpdated = false;
    std::vector<std::string> m_messages;
};

SLoadRun FlashOnce(uint16_t nPort, const std::string& strImage) {
    SLoadRun run;
    std::mutex mutex;
    Clock::time_point tFirst{}, tLast{};
    bool bLoading = false;
    size_t nPendingRequest = 0;
    SetTraceSink([&](ETraceDir eDir, const uint8_t* p, size_t n) {
        std::lock_guard lock(mutex);
        if (eDir == ETraceDir::Sent) {
            const bool bLoad = n > frame::OFS_CMD && p[frame::OFS_CMD] == frame::CMD_LOAD;
            if (bLoad && !bLoading) {
                bLoading = true;
                tFirst = Clock::now();
            }
            if (bLoad && loadblock::IsEndOfLoad(p + frame::OFS_DATA, p[frame::OFS_COUNT])) {
                tLast = Clock::now();
                bLoading = false;
            } else if (bLoading) {
                nPendingRequest = n;
            }
        } else if (bLoading && nPendingRequest) {
            run.m_exchanges.emplace_back(nPendingRequest, n);
            nPendingRequest = 0;
        }
    });

    CBenchPrompts prompts;
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
    run.m_dSeconds = std::chrono::duration<double>(tLast - tFirst).count();
    run.m_messages = prompts.m_messages;
    return run;
}

// The same exchanges between two plain sockets: each request carries the size of the
// reply it wants in its first two bytes.
double PingPong(const std::vector<std::pair<size_t, size_t>>& exchanges) {
    const int fdServer = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fdServer, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t nAddr = sizeof addr;
    ::getsockname(fdServer, reinterpret_cast<sockaddr*>(&addr), &nAddr);
    timeval tv{1, 0};
    ::setsockopt(fdServer, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

    std::atomic<bool> bStop{false};
    std::thread server([&] {
        std::vector<uint8_t> ab(65536), reply(65536, 0x5A);
        while (!bStop) {
            sockaddr_in from{};
            socklen_t nFrom = sizeof from;
            const ssize_t n = ::recvfrom(fdServer, ab.data(), ab.size(), 0,
                                         reinterpret_cast<sockaddr*>(&from), &nFrom);
            if (n < 2) continue;
            const size_t nReply = static_cast<size_t>(ab[0] << 8 | ab[1]);
            ::sendto(fdServer, reply.data(), nReply, 0, reinterpret_cast<sockaddr*>(&from), nFrom);
        }
    });

    CDatagramSocket sock;
    sock.Open();
    sock.SetRecvTimeout(5000);
    sock.Connect("127.0.0.1", ntohs(addr.sin_port));
    std::vector<uint8_t> req(65536, 0xA5), in(CEthFraming::FRAME_BUFFER);
    const auto t0 = Clock::now();
    for (const auto& [nReq, nReply] : exchanges) {
        req[0] = static_cast<uint8_t>(nReply >> 8);
        req[1] = static_cast<uint8_t>(nReply);
        sock.Send(req.data(), nReq);
        if (sock.Recv(in.data(), in.size(), 512) < 0) std::fprintf(stderr, "ping-pong lost\n");
    }
    const double dSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
    bStop = true;
    server.join();
    ::close(fdServer);
    return dSeconds;
}

} // namespace

int main(int argc, char** argv) {
    const int nRuns = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
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

    double dBestFlash = 0, dBestPing = 0;
    size_t nExchanges = 0;
    for (int i = 0; i < nRuns; ++i) {
        const SLoadRun run = FlashOnce(sim.UdpPort(), strImage);
        if (!run.m_bUpdated || run.m_exchanges.empty()) {
            std::fprintf(stderr, "flash failed:");
            for (const auto& s : run.m_messages)
                std::fprintf(stderr, " [%s]", s.c_str());
            std::fprintf(stderr, "\n");
            return 1;
        }
        const double dPing = PingPong(run.m_exchanges);
        nExchanges = run.m_exchanges.size();
        if (dBestFlash == 0 || run.m_dSeconds < dBestFlash) dBestFlash = run.m_dSeconds;
        if (dBestPing == 0 || dPing < dBestPing) dBestPing = dPing;
        std::printf("run %d: load %.3f s, ping-pong %.3f s\n", i + 1, run.m_dSeconds, dPing);
    }
    std::filesystem::remove_all(dir);

    const double dKiB = static_cast<double>(nImageBytes) / 1024.0;
    std::printf("image %zu bytes in %zu load exchanges\n", nImageBytes, nExchanges);
    std::printf("flash      %.3f s  %.1f KiB/s\n", dBestFlash, dKiB / dBestFlash);
    std::printf("ping-pong  %.3f s  %.1f KiB/s\n", dBestPing, dKiB / dBestPing);
    std::printf("ratio      %.1f %% of the raw ping-pong (target 80 %%)\n",
                100.0 * dBestPing / dBestFlash);
    return 0;
}
