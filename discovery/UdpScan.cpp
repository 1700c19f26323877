#include "discovery/UdpScan.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fstream>
#include <optional>

#include "discovery/UdpScanCore.h"
#include "ethernet/SockUtil.h"
#include "platform/DatagramSocket.h"
#include "serial/FrameCodec.h"

namespace {

// Answers of a few thousand units arriving together must not be dropped by the kernel.
constexpr int RECV_BUFFER = 4 << 20;
// The longest the loop sleeps: how soon a stop is seen.
constexpr int64_t MAX_SLEEP_NS = 50'000'000;
// Datagrams read from one socket before the loop sends again.
constexpr int RECV_BATCH = 256;
// A full queue below the socket (ENOBUFS) is waited out this long before a request
// counts as not sent.
constexpr int64_t NOBUFS_PATIENCE_NS = 1'000'000'000;

int64_t NowNs(clockid_t clock) {
    timespec ts{};
    ::clock_gettime(clock, &ts);
    return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

long ReadLong(const std::string& strPath, long nDefault) {
    std::ifstream in(strPath);
    long n = 0;
    return in >> n && n > 0 ? n : nDefault;
}

// The scan's sockets: one per comm address, so that an answer is known by the socket
// it reaches as well as by its source.
class CSockets {
public:
    ~CSockets() {
        for (int fd : m_fds)
            ::close(fd);
    }
    bool Open(size_t n, bool bBroadcast, int& nError) {
        for (size_t i = 0; i < n; ++i) {
            const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (fd < 0) return nError = WsaErrorFromErrno(errno), false;
            m_fds.push_back(fd);
            const int nOn = 1;
            if (bBroadcast && ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &nOn, sizeof nOn) != 0)
                return nError = WsaErrorFromErrno(errno), false;
            // Neither is needed for a sound answer: the defaults catch most, and a
            // missing arrival stamp falls back to the time the answer is read.
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &RECV_BUFFER, sizeof RECV_BUFFER);
            ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &nOn, sizeof nOn);
        }
        return true;
    }
    int Fd(size_t i) const { return m_fds[i]; }
    size_t Size() const { return m_fds.size(); }

private:
    std::vector<int> m_fds;
};

} // namespace

void LocalNetworkEdges(std::vector<uint32_t>& networks, std::vector<uint32_t>& broadcasts) {
    ifaddrs* pList = nullptr;
    if (::getifaddrs(&pList) != 0) return;
    for (const ifaddrs* p = pList; p; p = p->ifa_next) {
        if (!p->ifa_addr || p->ifa_addr->sa_family != AF_INET || !p->ifa_netmask) continue;
        const uint32_t nAddr =
            ntohl(reinterpret_cast<const sockaddr_in*>(p->ifa_addr)->sin_addr.s_addr);
        const uint32_t nMask =
            ntohl(reinterpret_cast<const sockaddr_in*>(p->ifa_netmask)->sin_addr.s_addr);
        // A /31 or /32 has no network or broadcast address of its own.
        if ((~nMask) < 3) continue;
        networks.push_back(nAddr & nMask);
        broadcasts.push_back(nAddr | ~nMask);
        if ((p->ifa_flags & IFF_BROADCAST) && p->ifa_broadaddr)
            broadcasts.push_back(
                ntohl(reinterpret_cast<const sockaddr_in*>(p->ifa_broadaddr)->sin_addr.s_addr));
    }
    ::freeifaddrs(pList);
}

unsigned UdpScanRate(const SUdpScanPlan& plan, std::string* pWhy) {
    unsigned nRate = plan.m_nRate ? plan.m_nRate : DEFAULT_UDP_RATE;
    ifaddrs* pList = nullptr;
    if (::getifaddrs(&pList) != 0) return nRate;
    // Every address asked on a link that resolves neighbours takes an entry of the
    // kernel's neighbour table while it is being resolved (mcast_solicit tries,
    // retrans_time_ms apart); entries beyond gc_thresh3 are refused, and with them
    // the requests and every other program's new neighbours.
    const long nHard = ReadLong("/proc/sys/net/ipv4/neigh/default/gc_thresh3", 1024);
    for (const ifaddrs* p = pList; p; p = p->ifa_next) {
        if (!p->ifa_addr || p->ifa_addr->sa_family != AF_INET || !p->ifa_netmask) continue;
        if (p->ifa_flags & (IFF_LOOPBACK | IFF_NOARP | IFF_POINTOPOINT)) continue;
        const uint32_t nAddr =
            ntohl(reinterpret_cast<const sockaddr_in*>(p->ifa_addr)->sin_addr.s_addr);
        const uint32_t nMask =
            ntohl(reinterpret_cast<const sockaddr_in*>(p->ifa_netmask)->sin_addr.s_addr);
        const uint32_t nNet = nAddr & nMask, nTop = nAddr | ~nMask;
        if (plan.m_nLast < nNet || plan.m_nFirst > nTop) continue;
        const std::string strDir = std::string("/proc/sys/net/ipv4/neigh/") + p->ifa_name + "/";
        const long nTries = ReadLong(strDir + "mcast_solicit", 3);
        const long nGapMs = ReadLong(strDir + "retrans_time_ms", 1000);
        const long nLifeMs = std::max(1L, nTries * nGapMs);
        const auto nBudget = static_cast<unsigned>(std::max(1L, nHard / 2 * 1000 / nLifeMs));
        if (nBudget < nRate) {
            nRate = nBudget;
            if (pWhy)
                *pWhy = std::string("on the link of ") + p->ifa_name + ": " +
                        std::to_string(nRate) +
                        " addresses a second keep the ones being "
                        "resolved within half the kernel's neighbour table (gc_thresh3 " +
                        std::to_string(nHard) + ")";
        }
    }
    ::freeifaddrs(pList);
    return nRate;
}

namespace {

// The steps of one scan: pace the requests, read the answers, end the waits, report.
class CUdpScanRun {
public:
    CUdpScanRun(const SUdpScanPlan& plan, const SScanHooks& hooks, SScanTally& tally)
        : m_hooks(hooks), m_tally(tally), m_core(plan, hooks, tally), m_nPort(plan.m_nPort),
          m_nRate(UdpScanRate(plan)) {}

    std::vector<SScanHit> Run(bool bBroadcast, std::string& strError) {
        int nError = 0;
        if (!m_socks.Open(m_core.Sockets(), bBroadcast, nError)) {
            strError = std::string("cannot open a UDP socket: ") + CSockUtil::ErrorText(nError);
            return {};
        }
        m_nStart = m_nLastProgress = NowNs(CLOCK_MONOTONIC);
        for (;;) {
            if (m_hooks.Stopped()) {
                m_tally.m_bInterrupted = true;
                break;
            }
            const int64_t nNow = NowNs(CLOCK_MONOTONIC);
            SendDue(nNow);
            m_core.Expire(nNow);
            Progress(nNow, false);
            if (m_bAllAsked && !m_pending && m_core.Idle()) break;
            if (!WaitAndRead(nNow, strError)) break;
        }
        Progress(NowNs(CLOCK_MONOTONIC), true);
        return m_core.Finish();
    }

private:
    struct SPending {
        uint32_t m_nIp = 0;
        bool m_bBroadcast = false;
        size_t m_nNextSock = 0; // a new address goes out on every socket in turn
        bool m_bRetry = false;
        size_t m_nRetrySock = 0;
    };

    // 1 sent, 0 to be tried again later, -1 given up.
    int SendOne(size_t nSock, uint32_t nIp, bool bBroadcast, int64_t nNow) {
        uint8_t abRequest[16];
        const size_t nLen = frame::Build(abRequest, sizeof abRequest, m_core.CommOf(nSock), 0,
                                         frame::CMD_STATUS, 2, nullptr);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(m_nPort);
        to.sin_addr.s_addr = htonl(nIp);
        if (::sendto(m_socks.Fd(nSock), abRequest, nLen, 0, reinterpret_cast<sockaddr*>(&to),
                     sizeof to) >= 0) {
            m_core.OnSent(nSock, nIp, bBroadcast, NowNs(CLOCK_MONOTONIC));
            m_nNoBufsSince = 0;
            return 1;
        }
        const int nErrno = errno;
        if (nErrno == EAGAIN || nErrno == EINTR) {
            m_bWritable = true;
            return 0;
        }
        if (nErrno == ENOBUFS) {
            if (!m_nNoBufsSince) m_nNoBufsSince = nNow;
            if (nNow - m_nNoBufsSince < NOBUFS_PATIENCE_NS) {
                m_bNoBufs = true;
                return 0;
            }
        }
        // No route, a refused broadcast: this address cannot be asked.
        m_core.OnUnsent(nSock, nIp, WsaErrorFromErrno(nErrno));
        return -1;
    }

    bool SendPending(int64_t nNow) {
        SPending& p = *m_pending;
        if (p.m_bRetry) {
            if (SendOne(p.m_nRetrySock, p.m_nIp, p.m_bBroadcast, nNow) == 0) return false;
        } else {
            while (p.m_nNextSock < m_core.Sockets()) {
                if (SendOne(p.m_nNextSock, p.m_nIp, p.m_bBroadcast, nNow) == 0) return false;
                ++p.m_nNextSock;
            }
        }
        m_pending.reset();
        return true;
    }

    // Requests asked again first, then new addresses as the rate allows.
    void SendDue(int64_t nNow) {
        m_bWritable = m_bNoBufs = false;
        for (;;) {
            if (m_pending) {
                if (!SendPending(nNow)) return;
                continue;
            }
            SPending p;
            if (m_core.NextRetry(p.m_nRetrySock, p.m_nIp, p.m_bBroadcast)) {
                p.m_bRetry = true;
                m_pending = p;
                continue;
            }
            if (m_bAllAsked || m_nAsked >= Allowed(nNow)) return;
            if (!m_core.NextAddress(p.m_nIp, p.m_bBroadcast)) {
                m_bAllAsked = true;
                m_nAllAsked = nNow;
                return;
            }
            ++m_nAsked;
            m_pending = p;
        }
    }

    // Addresses the rate allows by now: one at the start, then m_nRate a second.
    uint64_t Allowed(int64_t nNow) const {
        return 1 + static_cast<uint64_t>(static_cast<double>(nNow - m_nStart) * m_nRate / 1e9);
    }
    int64_t NextSlot() const {
        return m_nStart + static_cast<int64_t>(static_cast<double>(m_nAsked) * 1e9 / m_nRate);
    }

    bool WaitAndRead(int64_t nNow, std::string& strError) {
        int64_t nUntil = std::min(m_core.NextDeadline(), nNow + MAX_SLEEP_NS);
        if (!m_bAllAsked && !m_pending) nUntil = std::min(nUntil, NextSlot());
        if (m_bNoBufs) nUntil = std::min(nUntil, nNow + 1'000'000);
        if (m_hooks.m_fnProgress)
            nUntil = std::min(nUntil, m_nLastProgress + int64_t{m_hooks.m_nProgressMs} * 1'000'000);
        const int64_t nSleep = std::max<int64_t>(0, nUntil - nNow);
        std::vector<pollfd> fds(m_socks.Size());
        for (size_t i = 0; i < fds.size(); ++i)
            fds[i] = {m_socks.Fd(i), static_cast<short>(POLLIN | (m_bWritable ? POLLOUT : 0)), 0};
        const int nReady =
            ::poll(fds.data(), fds.size(), static_cast<int>((nSleep + 999'999) / 1'000'000));
        if (nReady < 0) {
            if (errno == EINTR) return true;
            strError = std::string("waiting for answers: ") +
                       CSockUtil::ErrorText(WsaErrorFromErrno(errno));
            return false;
        }
        for (size_t i = 0; i < fds.size(); ++i)
            if (fds[i].revents & POLLIN) Read(i);
        return true;
    }

    void Read(size_t nSock) {
        uint8_t abReply[CUdpScanCore::RECV_LEN];
        alignas(cmsghdr) char abControl[CMSG_SPACE(sizeof(timespec))];
        for (int n = 0; n < RECV_BATCH; ++n) {
            sockaddr_in from{};
            iovec iov{abReply, sizeof abReply};
            msghdr msg{};
            msg.msg_name = &from;
            msg.msg_namelen = sizeof from;
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            msg.msg_control = abControl;
            msg.msg_controllen = sizeof abControl;
            // MSG_TRUNC: the length the datagram had, so an oversize one is known.
            const ssize_t nGot = ::recvmsg(m_socks.Fd(nSock), &msg, MSG_TRUNC);
            if (nGot < 0) return;
            const int64_t nMono = NowNs(CLOCK_MONOTONIC);
            int64_t nAt = nMono;
            for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
                if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
                timespec ts{};
                std::copy_n(reinterpret_cast<const char*>(CMSG_DATA(c)), sizeof ts,
                            reinterpret_cast<char*>(&ts));
                // How long it waited to be read, on the clock the stamp is in.
                const int64_t nQueued =
                    NowNs(CLOCK_REALTIME) - (int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec);
                if (nQueued > 0 && nQueued < m_core.WaitNs()) nAt = nMono - nQueued;
            }
            m_core.OnAnswer(nSock, ntohl(from.sin_addr.s_addr), ntohs(from.sin_port), abReply,
                            static_cast<size_t>(nGot), nAt);
        }
    }

    void Progress(int64_t nNow, bool bLast) {
        if (!m_hooks.m_fnProgress) return;
        if (!bLast && nNow - m_nLastProgress < int64_t{m_hooks.m_nProgressMs} * 1'000'000) return;
        m_nLastProgress = nNow;
        SScanProgress p;
        p.m_nTotal = m_core.Total();
        p.m_nDone = std::min(m_core.Done(), p.m_nTotal);
        p.m_nFound = m_core.Found();
        // The last address goes out when the rate lets it; its wait comes on top.
        const uint64_t nAddresses = m_core.Total() / std::max<size_t>(1, m_core.Sockets());
        const int64_t nLastSend = std::max(
            nNow, m_nStart + static_cast<int64_t>(static_cast<double>(nAddresses) * 1e9 / m_nRate));
        const int64_t nEnd =
            m_bAllAsked ? m_nAllAsked + m_core.WaitNs() : nLastSend + m_core.WaitNs();
        p.m_dSecondsLeft = bLast ? 0 : static_cast<double>(std::max<int64_t>(0, nEnd - nNow)) / 1e9;
        m_hooks.m_fnProgress(p);
    }

    const SScanHooks& m_hooks;
    SScanTally& m_tally;
    CUdpScanCore m_core;
    CSockets m_socks;
    uint16_t m_nPort;
    unsigned m_nRate;
    int64_t m_nStart = 0;
    int64_t m_nLastProgress = 0;
    uint64_t m_nAsked = 0;
    bool m_bAllAsked = false;
    int64_t m_nAllAsked = 0;
    bool m_bWritable = false;
    bool m_bNoBufs = false;
    int64_t m_nNoBufsSince = 0;
    std::optional<SPending> m_pending;
};

} // namespace

std::vector<SScanHit> ScanUdp(const SUdpScanPlan& plan, const SScanHooks& hooks, SScanTally& tally,
                              std::string& strError) {
    CUdpScanRun run(plan, hooks, tally);
    return run.Run(!plan.m_broadcasts.empty(), strError);
}
