// A UDP scan's answer handling fed made-up datagrams: which request an answer belongs
// to (source address, port and socket), units answering a broadcast, answers late,
// oversize or repeated, and the de-duplication and its cap. The input is a list of
// events; the bookkeeping must stay within the range, the cap and its own counts.

#include <algorithm>
#include <set>

#include "FuzzCommon.h"
#include "discovery/UdpScanCore.h"
#include "serial/FrameCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* p, size_t n) {
    if (n < 2) return 0;
    SUdpScanPlan plan;
    plan.m_nFirst = 0x0A000000;
    plan.m_nLast = plan.m_nFirst + (p[0] & 0x3F) + 1;
    plan.m_nPort = 3001;
    if (p[1] & 1)
        for (uint8_t c = 1; c <= 15; ++c)
            plan.m_commAddrs.push_back(c);
    if (p[1] & 2) plan.m_broadcasts = {plan.m_nLast};
    if (p[1] & 4) plan.m_skip = {plan.m_nFirst};
    plan.m_nWaitMs = 100;
    p += 2;
    n -= 2;
    SScanHooks hooks;
    std::set<std::pair<uint32_t, uint16_t>> reported;
    hooks.m_fnHit = [&](const SScanHit& hit) {
        FUZZ_CHECK(hit.m_nIp >= plan.m_nFirst && hit.m_nIp <= plan.m_nLast);
        FUZZ_CHECK(hit.m_nAddr <= 15);
        reported.emplace(hit.m_nIp, hit.m_status.m_nSerialNo);
    };
    SScanTally tally;
    CUdpScanCore core(plan, hooks, tally);
    int64_t nNow = 0;
    uint8_t abFrame[CUdpScanCore::RECV_LEN];
    while (n >= 4) {
        const uint8_t nOp = p[0], nA = p[1], nB = p[2], nLen = p[3];
        p += 4;
        n -= 4;
        nNow += int64_t{nB} * 1'000'000;
        uint32_t nIp = 0;
        bool bBroadcast = false;
        size_t nSock = 0;
        switch (nOp % 5) {
        case 0: // the next address asked on every socket
            if (core.NextAddress(nIp, bBroadcast))
                for (size_t s = 0; s < core.Sockets(); ++s)
                    core.OnSent(s, nIp, bBroadcast, nNow);
            break;
        case 1: // a retry sent, or one that could not be
            if (core.NextRetry(nSock, nIp, bBroadcast)) {
                if (nA & 1)
                    core.OnSent(nSock, nIp, bBroadcast, nNow);
                else
                    core.OnUnsent(nSock, nIp, 10051);
            }
            break;
        case 2: { // an answer: a status reply of the comm address the socket asks, made valid
            // Mostly a status reply's length, so that units are found.
            const size_t nCount =
                nLen & 0x80 ? std::min<size_t>(nLen & 0x7F, 100) : size_t{status::STATUS_COUNT};
            std::vector<uint8_t> abData(nCount);
            for (size_t i = 0; i < nCount && i < n; ++i)
                abData[i] = p[i];
            const size_t nFrame = frame::Build(abFrame, sizeof abFrame, nA & 15, 0,
                                               frame::CMD_STATUS, nCount + 2, abData.data());
            nSock = nB % core.Sockets();
            nIp = plan.m_nFirst + (nA % 80);
            core.OnAnswer(nSock, nIp, nOp & 0x80 ? 3002 : 3001, abFrame, nFrame ? nFrame : 0, nNow);
            break;
        }
        case 3: { // raw bytes, any length the datagram claims
            const size_t nTake = std::min<size_t>(nLen, n);
            nSock = nB % core.Sockets();
            nIp = plan.m_nFirst + (nA % 80);
            core.OnAnswer(nSock, nIp, 3001, p, nA & 0x80 ? 600 : nTake, nNow);
            p += nTake;
            n -= nTake;
            break;
        }
        default:
            core.Expire(nNow);
            break;
        }
        FUZZ_CHECK(core.Found() <= CUdpScanCore::MAX_UNITS);
    }
    core.Expire(INT64_MAX / 2);
    const auto hits = core.Finish();
    std::set<std::pair<uint32_t, uint16_t>> seen;
    for (size_t i = 0; i < hits.size(); ++i) {
        FUZZ_CHECK(seen.emplace(hits[i].m_nIp, hits[i].m_status.m_nSerialNo).second);
        FUZZ_CHECK(reported.count({hits[i].m_nIp, hits[i].m_status.m_nSerialNo}));
        if (i) FUZZ_CHECK(hits[i - 1].m_nIp <= hits[i].m_nIp);
    }
    FUZZ_CHECK(hits.size() == reported.size());
    FUZZ_CHECK(tally.m_notes.size() <= 4 * CUdpScanCore::MAX_NOTES + 8);
    return 0;
}
