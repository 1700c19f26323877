#include "discovery/UdpScanCore.h"

#include <algorithm>
#include <climits>

#include "ethernet/SockUtil.h"
#include "platform/TimeConstants.h"
#include "serial/FrameCodec.h"

namespace {

// The request, then at most two more: after a unit asked to resynchronise (it then
// takes sequence 0, which every probe carries) or answered with a frame that did not
// hold.
constexpr int MAX_TRIES = 3;

std::string Dotted(uint32_t nIp) {
    return std::to_string(nIp >> 24) + "." + std::to_string(nIp >> 16 & 0xFF) + "." +
           std::to_string(nIp >> 8 & 0xFF) + "." + std::to_string(nIp & 0xFF);
}

std::string UdpTarget(uint32_t nIp, uint16_t nPort) {
    return "udp:" + Dotted(nIp) + ":" + std::to_string(nPort);
}

double RoundMs(int64_t nNs) {
    return static_cast<double>((std::max<int64_t>(0, nNs) + 500) / 1000) / 1000;
}

bool Contains(const std::vector<uint32_t>& sorted, uint32_t n) {
    return std::binary_search(sorted.begin(), sorted.end(), n);
}

} // namespace

const char* ParityWord(char cParity) {
    return cParity == 'n' ? "none" : cParity == 'o' ? "odd" : "even";
}

uint64_t SUdpScanPlan::Count() const {
    uint64_t n = uint64_t{m_nLast} - m_nFirst + 1;
    for (uint32_t nSkip : m_skip)
        n -= nSkip >= m_nFirst && nSkip <= m_nLast;
    return n;
}

CUdpScanCore::CUdpScanCore(const SUdpScanPlan& plan, const SScanHooks& hooks, SScanTally& tally)
    : m_plan(plan), m_hooks(hooks), m_tally(tally),
      m_nWaitNs(
          int64_t{plan.m_nWaitMs > 0 ? plan.m_nWaitMs : TimeConstants().m_nScanWaitMs.load()} *
          1000000),
      m_nCursor(plan.m_nFirst), m_nTotal(plan.Count() * plan.m_commAddrs.size()),
      m_broadcastsOut(plan.m_commAddrs.size(), 0), m_lastBroadcast(plan.m_commAddrs.size(), 0) {}

bool CUdpScanCore::InRange(uint32_t nIp) const {
    return nIp >= m_plan.m_nFirst && nIp <= m_plan.m_nLast && !Contains(m_plan.m_skip, nIp);
}

bool CUdpScanCore::NextAddress(uint32_t& nIp, bool& bBroadcast) {
    while (m_nCursor <= m_plan.m_nLast) {
        nIp = static_cast<uint32_t>(m_nCursor++);
        if (Contains(m_plan.m_skip, nIp)) continue;
        bBroadcast = Contains(m_plan.m_broadcasts, nIp);
        return true;
    }
    return false;
}

bool CUdpScanCore::NextRetry(size_t& nSock, uint32_t& nIp, bool& bBroadcast) {
    while (!m_retries.empty()) {
        const uint64_t nKey = m_retries.front();
        m_retries.pop_front();
        const auto it = m_out.find(nKey);
        if (it == m_out.end()) continue;
        nSock = nKey & 0xFF;
        nIp = static_cast<uint32_t>(nKey >> 8);
        bBroadcast = it->second.m_bBroadcast;
        return true;
    }
    return false;
}

void CUdpScanCore::OnSent(size_t nSock, uint32_t nIp, bool bBroadcast, int64_t nNow) {
    const uint64_t nKey = Key(nSock, nIp);
    auto [it, bNew] = m_out.try_emplace(nKey);
    SOut& out = it->second;
    if (bNew) {
        out.m_bBroadcast = bBroadcast;
        if (bBroadcast) ++m_broadcastsOut[nSock];
    }
    out.m_nSent = nNow;
    if (bBroadcast) m_lastBroadcast[nSock] = nNow;
    m_deadlines.push_back({nKey, out.m_nTries, nNow + m_nWaitNs});
}

void CUdpScanCore::OnUnsent(size_t nSock, uint32_t nIp, int nError) {
    ++m_sendErrors[nError];
    ++m_tally.m_nUnsent;
    ++m_nDone;
    if (m_out.count(Key(nSock, nIp))) End(Key(nSock, nIp));
}

void CUdpScanCore::End(uint64_t nKey) {
    const auto it = m_out.find(nKey);
    if (it == m_out.end()) return;
    if (it->second.m_bBroadcast) --m_broadcastsOut[nKey & 0xFF];
    m_out.erase(it);
}

void CUdpScanCore::Note(const std::string& strKind, std::string str) {
    auto& [lines, nMore] = m_notes[strKind];
    if (lines.size() < MAX_NOTES)
        lines.push_back(std::move(str));
    else
        ++nMore;
}

void CUdpScanCore::Problem(uint32_t nIp, size_t nSock, const std::string& strWhy) {
    auto it = m_problems.find({nIp, strWhy});
    if (it == m_problems.end()) {
        if (m_problems.size() >= MAX_NOTES) {
            ++m_nProblemsOver;
            return;
        }
        it = m_problems.emplace(std::make_pair(nIp, strWhy), std::vector<uint8_t>{}).first;
    }
    it->second.push_back(CommOf(nSock));
}

void CUdpScanCore::TryAgain(size_t nSock, uint32_t nIp, SOut& out, const char* pszWhy) {
    if (++out.m_nTries <= MAX_TRIES) {
        m_retries.push_back(Key(nSock, nIp));
        return;
    }
    ++m_tally.m_nProbes;
    ++m_nDone;
    Problem(nIp, nSock, pszWhy);
    End(Key(nSock, nIp));
}

void CUdpScanCore::Answered(size_t nSock, uint32_t nIp, SOut& out, const uint8_t* p, size_t n,
                            int64_t nAt) {
    const int nCheck = frame::CheckReply(p, n);
    if (nCheck == frame::ERR_RESYNC)
        return TryAgain(nSock, nIp, out, "asks to resynchronise every time");
    const auto st = nCheck == frame::OK ? frame::ParseStatusReply(p, n) : std::nullopt;
    if (!st) return TryAgain(nSock, nIp, out, "answers that are not a valid status reply");
    ++m_tally.m_nProbes;
    ++m_nDone;
    SScanHit hit;
    hit.m_strTarget = UdpTarget(nIp, m_plan.m_nPort);
    hit.m_nIp = nIp;
    hit.m_nPort = m_plan.m_nPort;
    hit.m_nAddr = CommOf(nSock);
    hit.m_status = *st;
    hit.m_dReplyMs = RoundMs(nAt - out.m_nSent);
    End(Key(nSock, nIp));
    // A unit that answers every comm address is one unit: its lowest comm address stands.
    const auto key = std::make_pair(nIp, st->m_nSerialNo);
    const auto it = m_hits.find(key);
    if (it == m_hits.end()) {
        if (m_hits.size() >= MAX_UNITS) {
            ++m_nOverCap;
            return;
        }
        m_hits.emplace(key, hit);
    } else if (hit.m_nAddr < it->second.m_nAddr) {
        it->second = hit;
    } else {
        return;
    }
    if (m_hooks.m_fnHit) m_hooks.m_fnHit(hit);
}

void CUdpScanCore::OnAnswer(size_t nSock, uint32_t nIp, uint16_t nPort, const uint8_t* p,
                            size_t nTrueLen, int64_t nAt) {
    if (nSock >= Sockets() || nPort != m_plan.m_nPort || !InRange(nIp)) return;
    auto it = m_out.find(Key(nSock, nIp));
    if (it == m_out.end()) {
        if (m_broadcastsOut[nSock] > 0 && !Contains(m_plan.m_broadcasts, nIp) &&
            m_nFromBroadcast < MAX_UNITS) {
            ++m_nFromBroadcast;
            // A unit answering a broadcast speaks from its own address: from now on
            // it has a request of its own, sent when the broadcast was.
            it = m_out.try_emplace(Key(nSock, nIp)).first;
            it->second.m_nSent = m_lastBroadcast[nSock];
            m_deadlines.push_back({it->first, 1, m_lastBroadcast[nSock] + m_nWaitNs});
        } else {
            if (nIp < m_nCursor && nTrueLen <= RECV_LEN &&
                frame::CheckReply(p, nTrueLen) == frame::OK)
                Note("late", UdpTarget(nIp, m_plan.m_nPort) + " comm address " +
                                 std::to_string(CommOf(nSock)) + ": answered after the wait of " +
                                 std::to_string(m_nWaitNs / 1000000) +
                                 " ms; not listed (a longer --wait finds it)");
            return;
        }
    }
    if (nTrueLen > RECV_LEN)
        return TryAgain(nSock, nIp, it->second, "answers with a datagram longer than a unit sends");
    Answered(nSock, nIp, it->second, p, nTrueLen, nAt);
}

void CUdpScanCore::Expire(int64_t nNow) {
    while (!m_deadlines.empty() && m_deadlines.front().m_nAt <= nNow) {
        const SDeadline d = m_deadlines.front();
        m_deadlines.pop_front();
        const auto it = m_out.find(d.m_nKey);
        if (it == m_out.end() || it->second.m_nTries != d.m_nTry) continue;
        ++m_tally.m_nProbes;
        ++m_nDone;
        End(d.m_nKey);
    }
}

int64_t CUdpScanCore::NextDeadline() const {
    return m_deadlines.empty() ? INT64_MAX : m_deadlines.front().m_nAt;
}

std::vector<SScanHit> CUdpScanCore::Finish() {
    for (const auto& [key, comms] : m_problems) {
        std::string strComms;
        if (comms.size() == 16) {
            strComms = "comm addresses 0..15";
        } else {
            for (uint8_t n : comms)
                strComms += (strComms.empty() ? "" : ", ") + std::to_string(n);
            strComms = (comms.size() == 1 ? "comm address " : "comm addresses ") + strComms;
        }
        m_tally.m_notes.push_back(UdpTarget(key.first, m_plan.m_nPort) + " " + strComms + ": " +
                                  key.second + "; not listed");
    }
    for (const auto& [strKind, notes] : m_notes) {
        for (const auto& str : notes.first)
            if (!str.empty()) m_tally.m_notes.push_back(str);
        if (notes.second)
            m_tally.m_notes.push_back(std::to_string(notes.second) +
                                      " more answers like that; not listed");
    }
    if (m_nProblemsOver)
        m_tally.m_notes.push_back(std::to_string(m_nProblemsOver) +
                                  " more unusable answers; not listed");
    for (const auto& [nError, nCount] : m_sendErrors)
        m_tally.m_notes.push_back(std::to_string(nCount) + " request" + (nCount == 1 ? "" : "s") +
                                  " could not be sent: " + CSockUtil::ErrorText(nError));
    if (m_nOverCap)
        m_tally.m_notes.push_back("more than " + std::to_string(MAX_UNITS) +
                                  " units answered: " + std::to_string(m_nOverCap) +
                                  " more not listed (forged answers, or a range to split)");
    // By address, then comm address: the map is by address and serial number.
    std::vector<SScanHit> units;
    units.reserve(m_hits.size());
    for (auto& [key, hit] : m_hits)
        units.push_back(std::move(hit));
    std::stable_sort(units.begin(), units.end(), [](const SScanHit& a, const SScanHit& b) {
        return a.m_nIp != b.m_nIp ? a.m_nIp < b.m_nIp : a.m_nAddr < b.m_nAddr;
    });
    m_hits.clear();
    return units;
}
