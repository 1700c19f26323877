#include "BenchUtil.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>

#include "ethernet/EthFraming.h"
#include "params/NetParams.h"

namespace bench {

bool CPrompts::ConfigDialog(NetParams& rec, bool, bool, uint32_t) {
    rec.SetTimeout(static_cast<uint16_t>(rec.Timeout() + 1));
    return true;
}

int PinToOneCpu() {
    const int nCpu = ::sched_getcpu();
    if (nCpu < 0) return -1;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(static_cast<size_t>(nCpu), &set);
    return ::sched_setaffinity(0, sizeof set, &set) == 0 ? nCpu : -1;
}

CUdpEcho::CUdpEcho() : m_abRequest(65536, 0xA5), m_abReply(CEthFraming::FRAME_BUFFER) {
    m_fdServer = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(m_fdServer, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t nAddr = sizeof addr;
    ::getsockname(m_fdServer, reinterpret_cast<sockaddr*>(&addr), &nAddr);
    m_nPort = ntohs(addr.sin_port);
    // The server looks at the stop flag this often when nothing comes.
    timeval tv{0, 200000};
    ::setsockopt(m_fdServer, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    m_server = std::thread([this] {
        std::vector<uint8_t> ab(65536), reply(65536, 0x5A);
        while (!m_bStop) {
            sockaddr_in from{};
            socklen_t nFrom = sizeof from;
            const ssize_t n = ::recvfrom(m_fdServer, ab.data(), ab.size(), 0,
                                         reinterpret_cast<sockaddr*>(&from), &nFrom);
            if (n < 2) continue;
            const size_t nReply = static_cast<size_t>(ab[0] << 8 | ab[1]);
            ::sendto(m_fdServer, reply.data(), nReply, 0, reinterpret_cast<sockaddr*>(&from),
                     nFrom);
        }
    });
    // The client as a link sets its socket up.
    m_client.Open();
    m_client.SetRecvTimeout(5000);
    m_client.Connect("127.0.0.1", m_nPort);
}

CUdpEcho::~CUdpEcho() {
    m_bStop = true;
    m_server.join();
    ::close(m_fdServer);
}

double CUdpEcho::Pass(const Exchanges& exchanges) {
    const auto t0 = Clock::now();
    for (const auto& [nReq, nReply] : exchanges) {
        m_abRequest[0] = static_cast<uint8_t>(nReply >> 8);
        m_abRequest[1] = static_cast<uint8_t>(nReply);
        m_client.Send(m_abRequest.data(), nReq);
        if (m_client.Recv(m_abReply.data(), m_abReply.size(), 512) < 0)
            std::fprintf(stderr, "ping-pong lost\n");
    }
    return Seconds(Clock::now() - t0);
}

} // namespace bench
