// Serves one simulated unit over a pseudo-terminal (or a serial device) and a UDP
// socket from a single thread. Nothing here sleeps while holding the server's lock:
// replies that are delayed or paced at a line rate are queued with absolute
// deadlines and written when they fall due.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <thread>

#include "platform/HexText.h"
#include "serial/FrameCodec.h"
#include "sim/SimUnit.h"

namespace {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using Nanos = std::chrono::nanoseconds;

// A partial frame on the serial stream is given up after this much silence, as a
// unit's receiver would after an idle line.
constexpr auto RX_GAP = std::chrono::milliseconds(100);
// When nothing is due the thread still looks at the faults this often, so that a
// timing fault changed through WithUnit takes effect.
constexpr auto IDLE_WAKE = std::chrono::milliseconds(100);
// Reply bytes the serial side holds while the other end does not read.
constexpr size_t TX_LIMIT = 64 * 1024;
constexpr size_t UDP_BUFFER = 64 * 1024;
constexpr size_t UDP_MAX_PAYLOAD = 65507;

std::string SysError(const std::string& strWhat) {
    return strWhat + ": " + std::strerror(errno);
}

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

bool SetNonBlocking(int fd) {
    const int nFlags = ::fcntl(fd, F_GETFL);
    return nFlags >= 0 && ::fcntl(fd, F_SETFL, nFlags | O_NONBLOCK) == 0 &&
           ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

speed_t SpeedOf(int nBaud) {
    switch (nBaud) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    default:
        return B0;
    }
}

} // namespace

struct CSimServer::SImpl {
    CSimServer& m_owner;
    const SSimOptions m_opts;
    int m_fdSerial = -1; // pty master or the given device
    int m_fdSlave = -1;  // held open so that the master never reads EIO between clients
    int m_fdUdp = -1;
    int m_fdWake = -1;
    std::string m_strPty;
    uint16_t m_nUdpPort = 0;
    std::thread m_thread;
    std::atomic<bool> m_bStop{false};
    std::atomic<uint64_t> m_nDropped{0};
    const TimePoint m_tStart = Clock::now();

    // Serial side, thread only.
    uint64_t m_nCharBits = 0; // 0: no pacing
    std::vector<uint8_t> m_rx;
    std::vector<TimePoint> m_rxTimes; // when each byte has arrived at the line rate
    TimePoint m_rxFree{};             // when the receive line is next idle
    std::deque<std::pair<TimePoint, std::vector<uint8_t>>> m_frames; // complete, due at
    std::deque<std::pair<TimePoint, uint8_t>> m_tx;                  // reply bytes, due at
    TimePoint m_txFree{};
    bool m_bTxBlocked = false;

    // UDP side, thread only.
    struct SDatagram {
        TimePoint m_due;
        sockaddr_in m_to;
        std::vector<uint8_t> m_ab;
    };
    std::vector<SDatagram> m_udpOut;
    std::vector<uint8_t> m_udpBuf = std::vector<uint8_t>(UDP_BUFFER);
    bool m_bHavePeer = false;
    sockaddr_in m_peer{};
    uint8_t m_nPeerAddr = 0;
    TimePoint m_nextUnsolicited{};

    SImpl(CSimServer& owner, const SSimOptions& opts) : m_owner(owner), m_opts(opts) {
        if (opts.m_nBaud > 0) m_nCharBits = opts.m_bParity ? 11 : 10;
    }
    ~SImpl() {
        CloseFd(m_fdSerial);
        CloseFd(m_fdSlave);
        CloseFd(m_fdUdp);
        CloseFd(m_fdWake);
    }

    bool Open(std::string* pError);
    bool OpenPty(std::string& strError);
    bool OpenDevice(std::string& strError);
    bool OpenUdp(std::string& strError);
    void Run();
    void Wake() const {
        const uint64_t n = 1;
        [[maybe_unused]] const ssize_t r = ::write(m_fdWake, &n, sizeof n);
    }

    Nanos LineTime(size_t nChars) const {
        return Nanos(static_cast<int64_t>(nChars * m_nCharBits * 1'000'000'000ull /
                                          static_cast<uint64_t>(m_opts.m_nBaud)));
    }
    void Trace(const char* pszLink, const char* pszDir, const uint8_t* p, size_t n) const;
    bool LineMatches() const;
    void ReadSerial();
    void Parse();
    void DropRx(size_t n);
    void HandleSerial(TimePoint now);
    void FlushTx(TimePoint now);
    void ReadUdp();
    void FlushUdp(TimePoint now);
    void Unsolicited(TimePoint now, int nEveryMs);
};

// The trace of n bytes with key material held back: from the first frame among them
// that carries a parameter record (a write request, or a read or write reply, which
// repeat the request's command byte), only the header, command and count are shown.
// The record holds the unit's keys, and a write request's first 8 data bytes are the
// new DES key in the clear.
static std::string SimTraceText(const uint8_t* p, size_t n) {
    for (size_t i = 0; i + frame::OFS_DATA < n; ++i) {
        const uint8_t nCmd = p[i + frame::OFS_CMD];
        if (p[i] != frame::START ||
            (nCmd != frame::CMD_WRITE_PARAMS && nCmd != frame::CMD_READ_PARAMS))
            continue;
        const size_t nShown = i + frame::OFS_DATA;
        return HexText(p, nShown, ' ') + " (record with keys, " + std::to_string(n - nShown) +
               " bytes)";
    }
    return HexText(p, n, ' ');
}

void CSimServer::SImpl::Trace(const char* pszLink, const char* pszDir, const uint8_t* p,
                              size_t n) const {
    if (!m_opts.m_bTrace) return;
    const double dSec = std::chrono::duration<double>(Clock::now() - m_tStart).count();
    // Bytes dropped or heard as noise may be any part of a frame, a key inside a record
    // among them: only their count is shown.
    const bool bRaw = std::strcmp(pszDir, "drop") == 0 || std::strcmp(pszDir, "noise") == 0;
    const std::string strText = bRaw ? std::to_string(n) + " bytes" : SimTraceText(p, n);
    std::fprintf(stderr, "%10.6f %s %s %s\n", dSec, pszLink, pszDir, strText.c_str());
}

bool CSimServer::SImpl::OpenPty(std::string& strError) {
    m_fdSerial = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (m_fdSerial < 0) return strError = SysError("posix_openpt"), false;
    if (::grantpt(m_fdSerial) != 0 || ::unlockpt(m_fdSerial) != 0)
        return strError = SysError("grantpt/unlockpt"), false;
    char szName[256];
    if (::ptsname_r(m_fdSerial, szName, sizeof szName) != 0)
        return strError = SysError("ptsname"), false;
    m_strPty = szName;
    // Raw from the start, so nothing is echoed or translated before a client sets
    // its own line; our own descriptor keeps that setting between clients.
    m_fdSlave = ::open(szName, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_fdSlave < 0) return strError = SysError("open " + m_strPty), false;
    termios tio{};
    if (::tcgetattr(m_fdSlave, &tio) != 0) return strError = SysError("tcgetattr"), false;
    ::cfmakeraw(&tio);
    if (::tcsetattr(m_fdSlave, TCSANOW, &tio) != 0) return strError = SysError("tcsetattr"), false;
    if (!SetNonBlocking(m_fdSerial)) return strError = SysError("fcntl"), false;
    return true;
}

bool CSimServer::SImpl::OpenDevice(std::string& strError) {
    m_fdSerial = ::open(m_opts.m_strDevice.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fdSerial < 0) return strError = SysError("open " + m_opts.m_strDevice), false;
    if (::isatty(m_fdSerial)) {
        termios tio{};
        if (::tcgetattr(m_fdSerial, &tio) != 0) return strError = SysError("tcgetattr"), false;
        ::cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        if (const speed_t speed = SpeedOf(m_opts.m_nBaud); speed != B0) {
            ::cfsetispeed(&tio, speed);
            ::cfsetospeed(&tio, speed);
        }
        if (m_opts.m_bParity && m_opts.m_nBaud > 0)
            tio.c_cflag |= PARENB | (m_opts.m_bOddParity ? PARODD : 0);
        // A pseudo-terminal drops what it cannot do; that is not a failure.
        if (::tcsetattr(m_fdSerial, TCSANOW, &tio) != 0)
            return strError = SysError("tcsetattr " + m_opts.m_strDevice), false;
    }
    m_strPty = m_opts.m_strDevice;
    return true;
}

bool CSimServer::SImpl::OpenUdp(std::string& strError) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(m_opts.m_nUdpPort);
    if (::inet_pton(AF_INET, m_opts.m_strUdpHost.c_str(), &addr.sin_addr) != 1)
        return strError = "not an IPv4 address: " + m_opts.m_strUdpHost, false;
    m_fdUdp = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fdUdp < 0) return strError = SysError("socket"), false;
    if (::bind(m_fdUdp, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return strError = SysError("bind " + m_opts.m_strUdpHost + ":" +
                                   std::to_string(m_opts.m_nUdpPort)),
               false;
    socklen_t nLen = sizeof addr;
    if (::getsockname(m_fdUdp, reinterpret_cast<sockaddr*>(&addr), &nLen) != 0)
        return strError = SysError("getsockname"), false;
    m_nUdpPort = ntohs(addr.sin_port);
    return true;
}

bool CSimServer::SImpl::Open(std::string* pError) {
    std::string strError;
    bool bOk = true;
    if (m_opts.m_nBaud < 0) {
        strError = "baud rate must not be negative";
        bOk = false;
    } else if (!m_opts.m_bPty && m_opts.m_strDevice.empty() && !m_opts.m_bUdp) {
        strError = "nothing to serve: choose a pseudo-terminal, a device or UDP";
        bOk = false;
    } else if (m_opts.m_bPty && !m_opts.m_strDevice.empty()) {
        strError = "a pseudo-terminal or a device, not both";
        bOk = false;
    }
    if (bOk && m_opts.m_bPty) bOk = OpenPty(strError);
    if (bOk && !m_opts.m_strDevice.empty()) bOk = OpenDevice(strError);
    if (bOk && m_opts.m_bUdp) bOk = OpenUdp(strError);
    if (bOk) {
        m_fdWake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (m_fdWake < 0) {
            strError = SysError("eventfd");
            bOk = false;
        }
    }
    if (!bOk && pError) *pError = strError;
    return bOk;
}

EStreamScan ScanSerialStream(const uint8_t* p, size_t nAvail, size_t& nFrame) {
    nFrame = 0;
    if (nAvail == 0) return EStreamScan::Incomplete;
    if (p[0] != frame::START) return EStreamScan::Garbage;
    if (nAvail < frame::HEADER_LEN) return EStreamScan::Incomplete;
    const size_t nLen = p[frame::OFS_LEN];
    if (frame::Sum8(p, 4) != p[frame::OFS_HSUM] || (nLen != 0 && nLen < 3))
        return EStreamScan::Garbage;
    if (nAvail < frame::HEADER_LEN + nLen) return EStreamScan::Incomplete;
    if (nLen && (static_cast<size_t>(p[frame::OFS_COUNT]) + 3 != nLen ||
                 frame::Sum8(p, frame::HEADER_LEN + nLen - 1) != p[frame::HEADER_LEN + nLen - 1]))
        return EStreamScan::Garbage;
    nFrame = frame::HEADER_LEN + nLen;
    return EStreamScan::Frame;
}

void CSimServer::SImpl::DropRx(size_t n) {
    if (!n) return;
    Trace("serial", "drop", m_rx.data(), n);
    m_nDropped += n;
    m_rx.erase(m_rx.begin(), m_rx.begin() + static_cast<std::ptrdiff_t>(n));
    m_rxTimes.erase(m_rxTimes.begin(), m_rxTimes.begin() + static_cast<std::ptrdiff_t>(n));
}

// Finds frames in the byte stream by their layout. Bytes before a start byte, and a
// start byte whose header or data sum does not hold, are dropped; the search then
// goes on from the next byte.
void CSimServer::SImpl::Parse() {
    size_t i = 0;
    size_t nGarbage = 0; // bytes before i not yet traced as dropped
    const auto flushGarbage = [&] {
        if (!nGarbage) return;
        Trace("serial", "drop", m_rx.data() + i - nGarbage, nGarbage);
        m_nDropped += nGarbage;
        nGarbage = 0;
    };
    while (i < m_rx.size()) {
        const uint8_t* p = m_rx.data() + i;
        size_t nFrame = 0;
        const EStreamScan eScan = ScanSerialStream(p, m_rx.size() - i, nFrame);
        if (eScan == EStreamScan::Incomplete) break;
        if (eScan == EStreamScan::Garbage) {
            ++i;
            ++nGarbage;
            continue;
        }
        flushGarbage();
        m_frames.emplace_back(m_rxTimes[i + nFrame - 1], std::vector<uint8_t>(p, p + nFrame));
        i += nFrame;
    }
    flushGarbage();
    m_rx.erase(m_rx.begin(), m_rx.begin() + static_cast<std::ptrdiff_t>(i));
    m_rxTimes.erase(m_rxTimes.begin(), m_rxTimes.begin() + static_cast<std::ptrdiff_t>(i));
}

bool CSimServer::SImpl::LineMatches() const {
    if (!m_opts.m_bStrictLine || !m_opts.m_bPty || m_opts.m_nBaud <= 0) return true;
    // The master reads the settings the other end gave its side.
    termios tio{};
    if (::tcgetattr(m_fdSerial, &tio) != 0) return true;
    const bool bOdd = m_opts.m_bParity && m_opts.m_bOddParity;
    return cfgetospeed(&tio) == SpeedOf(m_opts.m_nBaud) && ((tio.c_cflag & PARODD) != 0) == bOdd;
}

void CSimServer::SImpl::ReadSerial() {
    uint8_t ab[4096];
    for (;;) {
        const ssize_t n = ::read(m_fdSerial, ab, sizeof ab);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // A device that went away (or a pty whose other side is gone) is not read
            // again; the UDP side goes on.
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                std::fprintf(stderr, "velorsim: serial side closed: %s\n",
                             n == 0 ? "end of file" : std::strerror(errno));
                CloseFd(m_fdSerial);
            }
            return;
        }
        const TimePoint now = Clock::now();
        const size_t nRead = static_cast<size_t>(n);
        if (!LineMatches()) {
            Trace("serial", "noise", ab, nRead);
            m_nDropped += nRead;
            continue;
        }
        m_rx.insert(m_rx.end(), ab, ab + nRead);
        if (m_nCharBits) {
            // The bytes arrive one after the other at the line rate, no earlier than
            // the line is free.
            const TimePoint base = std::max(now, m_rxFree);
            for (size_t j = 0; j < nRead; ++j)
                m_rxTimes.push_back(base + LineTime(j + 1));
            m_rxFree = base + LineTime(nRead);
        } else {
            m_rxTimes.insert(m_rxTimes.end(), nRead, now);
        }
        Parse();
    }
}

void CSimServer::SImpl::HandleSerial(TimePoint now) {
    while (!m_frames.empty() && m_frames.front().first <= now) {
        auto [due, ab] = std::move(m_frames.front());
        m_frames.pop_front();
        Trace("serial", "rx", ab.data(), ab.size());
        std::vector<std::vector<uint8_t>> replies;
        int nDelayMs = 0;
        {
            std::lock_guard lock(m_owner.m_mutex);
            replies = m_owner.m_pUnit->Handle(ab.data(), ab.size(), CSimUnit::LINK_SERIAL);
            nDelayMs = std::max(0, m_owner.m_pUnit->Faults().m_nReplyDelayMs);
        }
        for (const auto& reply : replies) {
            Trace("serial", "tx", reply.data(), reply.size());
            TimePoint ready = due + std::chrono::milliseconds(nDelayMs);
            if (!m_tx.empty()) ready = std::max(ready, m_tx.back().first);
            if (m_nCharBits) {
                const TimePoint start = std::max(ready, m_txFree);
                for (size_t j = 0; j < reply.size(); ++j)
                    m_tx.emplace_back(start + LineTime(j + 1), reply[j]);
                m_txFree = start + LineTime(reply.size());
            } else {
                for (uint8_t b : reply)
                    m_tx.emplace_back(ready, b);
            }
        }
        // A reader that never reads: keep the newest bytes, as a line loses the rest.
        while (m_tx.size() > TX_LIMIT)
            m_tx.pop_front();
    }
}

void CSimServer::SImpl::FlushTx(TimePoint now) {
    if (m_fdSerial < 0) {
        m_tx.clear();
        return;
    }
    uint8_t ab[4096];
    size_t n = 0;
    while (n < m_tx.size() && n < sizeof ab && m_tx[n].first <= now) {
        ab[n] = m_tx[n].second;
        ++n;
    }
    m_bTxBlocked = false;
    if (!n) return;
    ssize_t nWritten;
    do {
        nWritten = ::write(m_fdSerial, ab, n);
    } while (nWritten < 0 && errno == EINTR);
    if (nWritten < 0) {
        m_bTxBlocked = errno == EAGAIN || errno == EWOULDBLOCK;
        return;
    }
    m_tx.erase(m_tx.begin(), m_tx.begin() + nWritten);
    m_bTxBlocked = static_cast<size_t>(nWritten) < n;
}

// One datagram a wake-up: a unit's exchanges come one at a time, and asking the
// socket again after each would cost every exchange a call that finds nothing; when
// more are waiting, the next poll returns at once.
void CSimServer::SImpl::ReadUdp() {
    sockaddr_in from{};
    ssize_t n;
    do {
        socklen_t nFromLen = sizeof from;
        n = ::recvfrom(m_fdUdp, m_udpBuf.data(), m_udpBuf.size(), 0,
                       reinterpret_cast<sockaddr*>(&from), &nFromLen);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return; // EAGAIN, or an error reported for an earlier send
    const TimePoint now = Clock::now();
    const size_t nLen = static_cast<size_t>(n);
    Trace("udp", "rx", m_udpBuf.data(), std::min<size_t>(nLen, frame::MAX_FRAME));
    m_bHavePeer = true;
    m_peer = from;
    if (nLen > frame::OFS_ADDR) m_nPeerAddr = m_udpBuf[frame::OFS_ADDR];
    std::vector<std::vector<uint8_t>> replies;
    int nDelayMs = 0;
    int nOversize = 0;
    {
        std::lock_guard lock(m_owner.m_mutex);
        replies = m_owner.m_pUnit->Handle(m_udpBuf.data(), nLen, CSimUnit::LINK_UDP);
        nDelayMs = std::max(0, m_owner.m_pUnit->Faults().m_nReplyDelayMs);
        nOversize = m_owner.m_pUnit->Faults().m_nOversizeReply;
    }
    for (auto& reply : replies) {
        if (nOversize > 0 && static_cast<size_t>(nOversize) > reply.size())
            reply.resize(std::min<size_t>(static_cast<size_t>(nOversize), UDP_MAX_PAYLOAD), 0);
        m_udpOut.push_back({now + std::chrono::milliseconds(nDelayMs), from, std::move(reply)});
    }
    // A reply due now leaves before the socket is asked for more, as a unit answers.
    if (nDelayMs == 0 && !m_udpOut.empty()) FlushUdp(now);
}

void CSimServer::SImpl::FlushUdp(TimePoint now) {
    // Sent in the order they fall due; a delay changed meanwhile may reorder them.
    if (m_udpOut.size() > 1)
        std::stable_sort(m_udpOut.begin(), m_udpOut.end(),
                         [](const SDatagram& a, const SDatagram& b) { return a.m_due < b.m_due; });
    size_t n = 0;
    for (; n < m_udpOut.size() && m_udpOut[n].m_due <= now; ++n) {
        const SDatagram& d = m_udpOut[n];
        Trace("udp", "tx", d.m_ab.data(), d.m_ab.size());
        // A peer that went away makes sendto fail; the unit does not care.
        [[maybe_unused]] const ssize_t r =
            ::sendto(m_fdUdp, d.m_ab.data(), d.m_ab.size(), 0,
                     reinterpret_cast<const sockaddr*>(&d.m_to), sizeof d.m_to);
    }
    m_udpOut.erase(m_udpOut.begin(), m_udpOut.begin() + static_cast<std::ptrdiff_t>(n));
}

void CSimServer::SImpl::Unsolicited(TimePoint now, int nEveryMs) {
    if (nEveryMs <= 0 || !m_bHavePeer) {
        m_nextUnsolicited = {};
        return;
    }
    const auto every = std::chrono::milliseconds(nEveryMs);
    if (m_nextUnsolicited == TimePoint{}) m_nextUnsolicited = now + every;
    if (now < m_nextUnsolicited) return;
    uint8_t ab[frame::HEADER_LEN] = {frame::START, m_nPeerAddr, 0, 0, 0};
    ab[frame::OFS_HSUM] = frame::Sum8(ab, 4);
    Trace("udp", "tx", ab, sizeof ab);
    [[maybe_unused]] const ssize_t r = ::sendto(
        m_fdUdp, ab, sizeof ab, 0, reinterpret_cast<const sockaddr*>(&m_peer), sizeof m_peer);
    m_nextUnsolicited += every;
    if (m_nextUnsolicited < now) m_nextUnsolicited = now + every;
}

void CSimServer::SImpl::Run() {
    // Pacing wants wake-ups close to their deadlines.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    while (!m_bStop.load()) {
        TimePoint now = Clock::now();
        int nUnsolicitedMs = 0;
        {
            std::lock_guard lock(m_owner.m_mutex);
            nUnsolicitedMs = m_owner.m_pUnit->Faults().m_nUnsolicitedMs;
        }
        if (!m_rx.empty() && now >= m_rxTimes.back() + RX_GAP) {
            // The line went quiet in the middle of a frame: give that frame up.
            while (!m_rx.empty()) {
                DropRx(1);
                Parse();
            }
        }
        HandleSerial(now);
        FlushTx(now);
        if (m_fdUdp >= 0) {
            FlushUdp(now);
            Unsolicited(now, nUnsolicitedMs);
        }

        TimePoint next = now + IDLE_WAKE;
        if (!m_frames.empty()) next = std::min(next, m_frames.front().first);
        if (!m_tx.empty() && !m_bTxBlocked) next = std::min(next, m_tx.front().first);
        if (!m_rx.empty()) next = std::min(next, m_rxTimes.back() + RX_GAP);
        for (const auto& d : m_udpOut)
            next = std::min(next, d.m_due);
        if (m_nextUnsolicited != TimePoint{}) next = std::min(next, m_nextUnsolicited);

        pollfd afd[3];
        nfds_t nFds = 0;
        afd[nFds++] = {m_fdWake, POLLIN, 0};
        const int nSerialIdx = m_fdSerial >= 0 ? static_cast<int>(nFds) : -1;
        if (m_fdSerial >= 0)
            afd[nFds++] = {m_fdSerial, static_cast<short>(POLLIN | (m_bTxBlocked ? POLLOUT : 0)),
                           0};
        const int nUdpIdx = m_fdUdp >= 0 ? static_cast<int>(nFds) : -1;
        if (m_fdUdp >= 0) afd[nFds++] = {m_fdUdp, POLLIN, 0};

        now = Clock::now();
        const auto wait = std::max(Nanos(0), std::chrono::duration_cast<Nanos>(next - now));
        timespec ts{};
        ts.tv_sec = static_cast<time_t>(wait.count() / 1'000'000'000);
        ts.tv_nsec = static_cast<long>(wait.count() % 1'000'000'000);
        const int nReady = ::ppoll(afd, nFds, &ts, nullptr);
        if (nReady <= 0) continue;
        if (afd[0].revents & POLLIN) {
            uint64_t n;
            [[maybe_unused]] const ssize_t r = ::read(m_fdWake, &n, sizeof n);
        }
        if (nSerialIdx >= 0 && afd[nSerialIdx].revents) {
            if (afd[nSerialIdx].revents & (POLLIN | POLLHUP | POLLERR)) ReadSerial();
            if (afd[nSerialIdx].revents & POLLOUT) m_bTxBlocked = false;
        }
        if (nUdpIdx >= 0 && (afd[nUdpIdx].revents & POLLIN)) ReadUdp();
    }
}

CSimServer::CSimServer() : m_pUnit(std::make_unique<CSimUnit>()) {}

CSimServer::~CSimServer() {
    Stop();
}

bool CSimServer::Start(const SSimOptions& options, std::string* pError) {
    if (m_pImpl && m_pImpl->m_thread.joinable()) {
        if (pError) *pError = "already running";
        return false;
    }
    auto pImpl = std::make_unique<SImpl>(*this, options);
    if (!pImpl->Open(pError)) return false;
    {
        std::lock_guard lock(m_mutex);
        m_pUnit = std::make_unique<CSimUnit>(options);
    }
    pImpl->m_thread = std::thread([p = pImpl.get()] { p->Run(); });
    m_pImpl = std::move(pImpl);
    return true;
}

void CSimServer::Stop() {
    if (!m_pImpl || !m_pImpl->m_thread.joinable()) return;
    m_pImpl->m_bStop = true;
    m_pImpl->Wake();
    m_pImpl->m_thread.join();
    CloseFd(m_pImpl->m_fdSerial);
    CloseFd(m_pImpl->m_fdSlave);
    CloseFd(m_pImpl->m_fdUdp);
}

std::string CSimServer::PtyPath() const {
    return m_pImpl ? m_pImpl->m_strPty : std::string();
}

uint16_t CSimServer::UdpPort() const {
    return m_pImpl ? m_pImpl->m_nUdpPort : 0;
}

void CSimServer::SetFaults(const SSimFaults& faults) {
    {
        std::lock_guard lock(m_mutex);
        m_pUnit->SetFaults(faults);
    }
    if (m_pImpl && m_pImpl->m_fdWake >= 0) m_pImpl->Wake();
}

SSimFaults CSimServer::Faults() const {
    std::lock_guard lock(m_mutex);
    return m_pUnit->Faults();
}

uint64_t CSimServer::DroppedBytes() const {
    return m_pImpl ? m_pImpl->m_nDropped.load() : 0;
}
