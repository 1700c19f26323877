// Serves a site of simulated units from one thread: an epoll set over the units'
// sockets and a queue of delayed replies ordered by when they fall due.

#include "sim/SimSite.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <queue>
#include <thread>

#include "platform/OpenFileLimit.h"
#include "serial/FrameCodec.h"

namespace {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

constexpr size_t MAX_SITE_UNITS = 65535;
constexpr size_t UDP_MAX_PAYLOAD = 65507;
// Datagrams taken from one unit's socket before the others get their turn.
constexpr int READS_PER_TURN = 4;
constexpr int EVENTS_PER_WAIT = 256;
constexpr uint64_t WAKE_TAG = ~uint64_t{0};

std::string SysError(const std::string& strWhat) {
    return strWhat + ": " + std::strerror(errno);
}

struct SDue {
    TimePoint m_due;
    uint64_t m_nOrder; // keeps replies due at the same time in the order they were made
    size_t m_nUnit;
    sockaddr_in m_to;
    std::vector<uint8_t> m_ab;
    bool operator>(const SDue& o) const {
        return m_due != o.m_due ? m_due > o.m_due : m_nOrder > o.m_nOrder;
    }
};

} // namespace

bool LayOutSite(const SSiteLayout& layout, std::vector<SSiteUnit>& units, std::string& strError) {
    units.clear();
    if (layout.m_nUnits == 0 || layout.m_nUnits > MAX_SITE_UNITS)
        return strError = "a site holds 1 to " + std::to_string(MAX_SITE_UNITS) + " units", false;
    in_addr first{};
    if (::inet_pton(AF_INET, layout.m_strFirstHost.c_str(), &first) != 1)
        return strError = "not an IPv4 address: " + layout.m_strFirstHost, false;
    const uint64_t nFirst = ntohl(first.s_addr);
    const uint64_t nLast = nFirst + (layout.m_nUnits - 1) * uint64_t{std::max(1u, layout.m_nStep)};
    if (nFirst >> 24 != 127 || nLast >> 24 != 127)
        return strError = "a site lives on loopback: its addresses must stay within 127.0.0.0/8",
               false;
    units.reserve(layout.m_nUnits);
    for (size_t i = 0; i < layout.m_nUnits; ++i) {
        const size_t n = i + 1;
        const auto every = [n](size_t k) { return k && n % k == 0; };
        SSiteUnit unit;
        in_addr addr{};
        addr.s_addr = htonl(static_cast<uint32_t>(nFirst + i * std::max(1u, layout.m_nStep)));
        char sz[INET_ADDRSTRLEN];
        unit.m_strHost = ::inet_ntop(AF_INET, &addr, sz, sizeof sz);
        unit.m_nPort = layout.m_nPort;
        SSimOptions& o = unit.m_options;
        o = layout.m_base;
        o.m_nSerialNo = static_cast<uint16_t>(layout.m_nFirstSerialNo + i);
        unit.m_nCheckWord = static_cast<uint16_t>(layout.m_nFirstCheckWord + i);
        // 0 would read as "no check", 0xFFFF as "no program".
        if (unit.m_nCheckWord == 0 || unit.m_nCheckWord == 0xFFFF) unit.m_nCheckWord = 0x7FFF;
        // velorctl asks comm address 0 unless told otherwise.
        const int nAddr = every(layout.m_nOtherAddrEvery) ? layout.m_nOtherAddr
                          : o.m_nAddr >= 0                ? o.m_nAddr
                                                          : 0;
        o.m_nAddr = nAddr;
        o.m_params[NetParams::OFS_UNIT_COMM_ADDR] = static_cast<uint8_t>(nAddr);
        o.m_params.SetDottedAt(NetParams::OFS_IP, unit.m_strHost);
        o.m_params.SetPort(unit.m_nPort);
        if (every(layout.m_nSilentEvery)) o.m_faults.m_bSilent = true;
        if (every(layout.m_nSlowEvery)) o.m_faults.m_nReplyDelayMs = layout.m_nSlowMs;
        units.push_back(std::move(unit));
    }
    return true;
}

std::string SiteUnitLine(const SSiteUnit& unit) {
    const SSimOptions& o = unit.m_options;
    std::string strFaults;
    const auto add = [&](const char* psz) {
        strFaults += (strFaults.empty() ? "" : ",") + std::string(psz);
    };
    if (o.m_faults.m_bSilent) add("silent");
    if (o.m_faults.m_nReplyDelayMs > 0) add("slow");
    char sz[160];
    std::snprintf(sz, sizeof sz,
                  "unit: %s:%u serial-no=0x%04X comm-addr=%d check-word=0x%04X faults=%s",
                  unit.m_strHost.c_str(), unit.m_nPort, o.m_nSerialNo, o.m_nAddr, unit.m_nCheckWord,
                  strFaults.empty() ? "none" : strFaults.c_str());
    return sz;
}

std::string SiteFleetFile(const CSimSite& site) {
    std::string str = "target,addr\n";
    for (size_t i = 0; i < site.Size(); ++i) {
        const SSiteUnit& u = site.Unit(i);
        str += "udp:" + u.m_strHost + ":" + std::to_string(u.m_nPort) + "," +
               std::to_string(u.m_options.m_nAddr) + "\n";
    }
    return str;
}

struct CSimSite::SImpl {
    CSimSite& m_owner;
    std::vector<int> m_fds; // by unit
    int m_fdEpoll = -1;
    int m_fdWake = -1;
    std::thread m_thread;
    std::atomic<bool> m_bStop{false};
    std::priority_queue<SDue, std::vector<SDue>, std::greater<>> m_due;
    uint64_t m_nOrder = 0;
    std::vector<uint8_t> m_buf = std::vector<uint8_t>(UDP_MAX_PAYLOAD + 1);

    explicit SImpl(CSimSite& owner) : m_owner(owner) {}
    ~SImpl() {
        for (int fd : m_fds)
            if (fd >= 0) ::close(fd);
        if (m_fdEpoll >= 0) ::close(m_fdEpoll);
        if (m_fdWake >= 0) ::close(m_fdWake);
    }

    bool Open(std::vector<SSiteUnit>& units, std::string& strError);
    void Run();
    void ReadUnit(size_t i, TimePoint now);
    void Send(const SDue& d) const {
        // A peer that went away makes sendto fail; the unit does not care.
        [[maybe_unused]] const ssize_t r =
            ::sendto(m_fds[d.m_nUnit], d.m_ab.data(), d.m_ab.size(), 0,
                     reinterpret_cast<const sockaddr*>(&d.m_to), sizeof d.m_to);
    }
    void Wake() const {
        const uint64_t n = 1;
        [[maybe_unused]] const ssize_t r = ::write(m_fdWake, &n, sizeof n);
    }
};

bool CSimSite::SImpl::Open(std::vector<SSiteUnit>& units, std::string& strError) {
    RaiseOpenFileLimit(units.size());
    m_fdEpoll = ::epoll_create1(EPOLL_CLOEXEC);
    m_fdWake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_fdEpoll < 0 || m_fdWake < 0) return strError = SysError("epoll/eventfd"), false;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = WAKE_TAG;
    if (::epoll_ctl(m_fdEpoll, EPOLL_CTL_ADD, m_fdWake, &ev) != 0)
        return strError = SysError("epoll_ctl"), false;
    m_fds.assign(units.size(), -1);
    for (size_t i = 0; i < units.size(); ++i) {
        SSiteUnit& unit = units[i];
        const std::string strWhere = unit.m_strHost + ":" + std::to_string(unit.m_nPort);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(unit.m_nPort);
        if (::inet_pton(AF_INET, unit.m_strHost.c_str(), &addr.sin_addr) != 1)
            return strError = "not an IPv4 address: " + unit.m_strHost, false;
        m_fds[i] = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (m_fds[i] < 0)
            return strError =
                       SysError("socket for " + strWhere +
                                (errno == EMFILE ? " (raise the open-file limit, ulimit -n)" : "")),
                   false;
        if (::bind(m_fds[i], reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            return strError = SysError("bind " + strWhere), false;
        socklen_t nLen = sizeof addr;
        if (::getsockname(m_fds[i], reinterpret_cast<sockaddr*>(&addr), &nLen) != 0)
            return strError = SysError("getsockname"), false;
        if (unit.m_nPort == 0) {
            unit.m_nPort = ntohs(addr.sin_port);
            unit.m_options.m_params.SetPort(unit.m_nPort);
        }
        ev.data.u64 = i;
        if (::epoll_ctl(m_fdEpoll, EPOLL_CTL_ADD, m_fds[i], &ev) != 0)
            return strError = SysError("epoll_ctl"), false;
    }
    return true;
}

void CSimSite::SImpl::ReadUnit(size_t i, TimePoint now) {
    for (int nRead = 0; nRead < READS_PER_TURN; ++nRead) {
        sockaddr_in from{};
        socklen_t nFromLen = sizeof from;
        const ssize_t n = ::recvfrom(m_fds[i], m_buf.data(), m_buf.size(), 0,
                                     reinterpret_cast<sockaddr*>(&from), &nFromLen);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return; // EAGAIN, or an error reported for an earlier send
        std::vector<std::vector<uint8_t>> replies;
        int nDelayMs = 0;
        int nOversize = 0;
        {
            std::lock_guard lock(m_owner.m_mutex);
            CSimUnit& unit = *m_owner.m_sims[i];
            replies = unit.Handle(m_buf.data(), static_cast<size_t>(n), CSimUnit::LINK_UDP);
            nDelayMs = std::max(0, unit.Faults().m_nReplyDelayMs);
            nOversize = unit.Faults().m_nOversizeReply;
        }
        for (auto& reply : replies) {
            if (nOversize > 0 && static_cast<size_t>(nOversize) > reply.size())
                reply.resize(std::min<size_t>(static_cast<size_t>(nOversize), UDP_MAX_PAYLOAD), 0);
            SDue d{now + std::chrono::milliseconds(nDelayMs), m_nOrder++, i, from,
                   std::move(reply)};
            if (nDelayMs == 0)
                Send(d);
            else
                m_due.push(std::move(d));
        }
    }
}

void CSimSite::SImpl::Run() {
    epoll_event events[EVENTS_PER_WAIT];
    while (!m_bStop.load()) {
        int nTimeoutMs = -1;
        if (!m_due.empty()) {
            const auto wait = m_due.top().m_due - Clock::now();
            // Rounded up: waking early would only come round again.
            nTimeoutMs = static_cast<int>(
                std::max<int64_t>(0, std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
        }
        const int nReady = ::epoll_wait(m_fdEpoll, events, EVENTS_PER_WAIT, nTimeoutMs);
        const TimePoint now = Clock::now();
        for (int e = 0; e < nReady; ++e) {
            if (events[e].data.u64 == WAKE_TAG) {
                uint64_t n;
                [[maybe_unused]] const ssize_t r = ::read(m_fdWake, &n, sizeof n);
                continue;
            }
            ReadUnit(static_cast<size_t>(events[e].data.u64), now);
        }
        while (!m_due.empty() && m_due.top().m_due <= Clock::now()) {
            Send(m_due.top());
            m_due.pop();
        }
    }
}

CSimSite::CSimSite() = default;

CSimSite::~CSimSite() {
    Stop();
}

bool CSimSite::Start(std::vector<SSiteUnit> units, std::string* pError) {
    std::string strError;
    if (m_pImpl) strError = "already running";
    if (units.empty()) strError = "a site of no units";
    auto pImpl = std::make_unique<SImpl>(*this);
    if (strError.empty() && pImpl->Open(units, strError)) {
        std::lock_guard lock(m_mutex);
        m_sims.clear();
        for (const SSiteUnit& unit : units) {
            m_sims.push_back(std::make_unique<CSimUnit>(unit.m_options));
            if (unit.m_nCheckWord != 0xFFFF) m_sims.back()->PresetCheckWord(unit.m_nCheckWord);
        }
        m_units = std::move(units);
    }
    if (!strError.empty()) {
        if (pError) *pError = strError;
        return false;
    }
    pImpl->m_thread = std::thread([p = pImpl.get()] { p->Run(); });
    m_pImpl = std::move(pImpl);
    return true;
}

void CSimSite::Stop() {
    if (!m_pImpl) return;
    m_pImpl->m_bStop = true;
    m_pImpl->Wake();
    m_pImpl->m_thread.join();
    m_pImpl.reset();
}

void CSimSite::SetFaults(size_t i, const SSimFaults& faults) {
    {
        std::lock_guard lock(m_mutex);
        m_sims[i]->SetFaults(faults);
    }
    if (m_pImpl) m_pImpl->Wake();
}

std::string CSimSite::StateJson() {
    nlohmann::json site = nlohmann::json::array();
    for (size_t i = 0; i < m_units.size(); ++i) {
        nlohmann::json unit =
            nlohmann::json::parse(WithUnit(i, [](CSimUnit& u) { return u.StateJson(); }));
        unit["transport"] = {
            {"udp", m_units[i].m_strHost + ":" + std::to_string(m_units[i].m_nPort)}};
        site.push_back(std::move(unit));
    }
    return site.dump(2);
}
