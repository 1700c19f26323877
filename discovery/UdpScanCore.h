#pragma once
// The bookkeeping of a UDP scan without its sockets: which requests are out, which
// answer belongs to which, when a wait is over, which units were found. The scan's
// loop feeds it what the sockets did; a fuzz target feeds it made-up datagrams.
// Times are monotonic nanoseconds.

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "discovery/UdpScan.h"

class CUdpScanCore {
public:
    // The most units one scan lists: far more than a site holds, few enough that a
    // flood of forged answers cannot grow the list (or its memory) without bound.
    static constexpr size_t MAX_UNITS = 16384;
    // The most notes of one kind; the rest are counted in one more line.
    static constexpr size_t MAX_NOTES = 50;
    // The most a receive asks for, as the jobs' receives: anything longer is no answer.
    static constexpr size_t RECV_LEN = 512;

    CUdpScanCore(const SUdpScanPlan& plan, const SScanHooks& hooks, SScanTally& tally);

    size_t Sockets() const { return m_plan.m_commAddrs.size(); }
    uint8_t CommOf(size_t nSock) const { return m_plan.m_commAddrs[nSock]; }
    int64_t WaitNs() const { return m_nWaitNs; }

    // The next address to ask on every socket; false when every address was asked.
    bool NextAddress(uint32_t& nIp, bool& bBroadcast);
    // A request to send again (the unit asked to resynchronise, or its answer did not
    // hold); false when none is due.
    bool NextRetry(size_t& nSock, uint32_t& nIp, bool& bBroadcast);
    // What became of a request.
    void OnSent(size_t nSock, uint32_t nIp, bool bBroadcast, int64_t nNow);
    void OnUnsent(size_t nSock, uint32_t nIp, int nError);
    // A datagram on socket nSock from nIp:nPort, nTrueLen bytes long of which the
    // first min(nTrueLen, RECV_LEN) are at p; it arrived at nAt.
    void OnAnswer(size_t nSock, uint32_t nIp, uint16_t nPort, const uint8_t* p, size_t nTrueLen,
                  int64_t nAt);
    // Ends the requests whose wait is over at nNow.
    void Expire(int64_t nNow);
    // When the next wait ends; INT64_MAX when none is out.
    int64_t NextDeadline() const;
    bool Idle() const { return m_out.empty() && m_retries.empty(); }

    uint64_t Done() const { return m_nDone; }
    uint64_t Total() const { return m_nTotal; }
    size_t Found() const { return m_hits.size(); }
    // The notes into the tally; the units in address order, each once.
    std::vector<SScanHit> Finish();

private:
    struct SOut {
        int64_t m_nSent = 0;
        int m_nTries = 1;
        bool m_bBroadcast = false;
    };
    static uint64_t Key(size_t nSock, uint32_t nIp) { return uint64_t{nIp} << 8 | nSock; }
    bool InRange(uint32_t nIp) const;
    void Answered(size_t nSock, uint32_t nIp, SOut& out, const uint8_t* p, size_t n, int64_t nAt);
    void TryAgain(size_t nSock, uint32_t nIp, SOut& out, const char* pszWhy);
    void End(uint64_t nKey);
    void Problem(uint32_t nIp, size_t nSock, const std::string& strWhy);
    void Note(const std::string& strKind, std::string str);

    const SUdpScanPlan& m_plan;
    const SScanHooks& m_hooks;
    SScanTally& m_tally;
    int64_t m_nWaitNs;
    uint64_t m_nCursor;
    uint64_t m_nTotal;
    uint64_t m_nDone = 0;
    std::unordered_map<uint64_t, SOut> m_out; // requests waiting, by socket and address
    // Waits in the order they end (every wait is as long): key, try, deadline.
    struct SDeadline {
        uint64_t m_nKey;
        int m_nTry;
        int64_t m_nAt;
    };
    std::deque<SDeadline> m_deadlines;
    std::deque<uint64_t> m_retries;
    std::vector<size_t> m_broadcastsOut; // by socket: broadcast requests waiting
    std::vector<int64_t> m_lastBroadcast;
    // The units: one per address and serial number.
    std::map<std::pair<uint32_t, uint16_t>, SScanHit> m_hits;
    size_t m_nOverCap = 0;
    size_t m_nFromBroadcast = 0; // requests made for units that answered a broadcast
    size_t m_nProblemsOver = 0;
    std::map<int, uint64_t> m_sendErrors;
    // Answers that were there but not usable: the comm addresses, by address and reason.
    std::map<std::pair<uint32_t, std::string>, std::vector<uint8_t>> m_problems;
    std::map<std::string, std::pair<std::vector<std::string>, size_t>> m_notes;
};
