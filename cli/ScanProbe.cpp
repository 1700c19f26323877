#include "cli/ScanProbe.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <map>
#include <set>

#include "ethernet/SockUtil.h"
#include "platform/DatagramSocket.h"
#include "platform/SerialDevice.h"
#include "platform/TimeConstants.h"
#include "serial/FrameCodec.h"

volatile std::sig_atomic_t g_bScanInterrupted = 0;

namespace {

using Clock = std::chrono::steady_clock;

// The request, then at most two more: after a unit asked to resynchronise (it then
// takes sequence 0, which every probe carries) or answered with a frame that did not
// hold.
constexpr int MAX_TRIES = 3;
// What a receive asks for, as the jobs' receives do: a longer datagram is not a frame,
// a shorter one is cut to the frame buffer.
constexpr size_t RECV_LEN = 512;
// Replies of a few hundred units arriving together must not be dropped by the kernel.
constexpr int RECV_BUFFER = 4 << 20;

double MsSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

double RoundMs(double d) {
    return static_cast<double>(static_cast<int64_t>(d * 1000 + 0.5)) / 1000;
}

std::string Dotted(uint32_t nIp) {
    return std::to_string(nIp >> 24) + "." + std::to_string(nIp >> 16 & 0xFF) + "." +
           std::to_string(nIp >> 8 & 0xFF) + "." + std::to_string(nIp & 0xFF);
}

std::string UdpTarget(uint32_t nIp, uint16_t nPort) {
    return "udp:" + Dotted(nIp) + ":" + std::to_string(nPort);
}

size_t BuildStatusRequest(uint8_t* pBuf, size_t nCap, uint8_t nAddr) {
    return frame::Build(pBuf, nCap, nAddr, 0, frame::CMD_STATUS, 2, nullptr);
}

bool Contains(const std::vector<uint32_t>& sorted, uint32_t n) {
    return std::binary_search(sorted.begin(), sorted.end(), n);
}

// One address being probed: one request outstanding at a time, so that an answer is
// known by its source address alone.
struct SHost {
    uint32_t m_nIp = 0;
    bool m_bBroadcast = false;
    size_t m_nComm = 0;    // index into the plan's comm addresses
    int m_nFixedComm = -1; // a unit heard through a broadcast: that comm address only
    int m_nTries = 0;
    bool m_bWaiting = false;
    Clock::time_point m_tSent{};
    Clock::time_point m_tDeadline{};
};

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

std::vector<SScanHit> ScanUdp(const SUdpScanPlan& plan, SScanTally& tally, std::string& strError) {
    std::vector<SScanHit> hits;
    CDatagramSocket sock;
    if (!sock.Open() || !sock.SetNonBlocking() ||
        (!plan.m_broadcasts.empty() && !sock.SetBroadcast(true))) {
        strError =
            std::string("cannot open a UDP socket: ") + CSockUtil::ErrorText(sock.LastError());
        return hits;
    }
    sock.SetRecvBuffer(RECV_BUFFER); // the default still catches most; not a failure
    const auto timeout = std::chrono::milliseconds(TimeConstants().m_nRecvMs.load());
    const size_t nInFlight = std::max(1u, plan.m_nInFlight);

    std::map<uint32_t, SHost> active;
    std::deque<uint32_t> due; // hosts whose next request is to be sent
    uint64_t nCursor = plan.m_nFirst;
    std::set<std::pair<uint32_t, uint8_t>> answered;
    std::map<int, size_t> sendErrors; // error number -> addresses
    // Answers that were there but not usable: the comm addresses, by address and reason.
    std::map<std::pair<uint32_t, std::string>, std::vector<uint8_t>> problems;

    const auto commOf = [&](const SHost& h) {
        return h.m_nFixedComm >= 0 ? static_cast<uint8_t>(h.m_nFixedComm)
                                   : plan.m_commAddrs[h.m_nComm];
    };
    // The host is done with its current comm address.
    const auto advance = [&](SHost& h) {
        h.m_bWaiting = false;
        h.m_nTries = 0;
        if (h.m_nFixedComm < 0 && ++h.m_nComm < plan.m_commAddrs.size()) {
            due.push_back(h.m_nIp);
            return;
        }
        const uint32_t nIp = h.m_nIp; // h goes with its entry
        active.erase(nIp);
    };
    const auto tryAgain = [&](SHost& h, const char* pszWhy) {
        h.m_bWaiting = false;
        if (++h.m_nTries < MAX_TRIES) {
            due.push_back(h.m_nIp);
            return;
        }
        ++tally.m_nProbes;
        problems[{h.m_nIp, pszWhy}].push_back(commOf(h));
        advance(h);
    };
    const auto onReply = [&](SHost& h, const uint8_t* p, size_t n) {
        const int nCheck = frame::CheckReply(p, n);
        if (nCheck == frame::ERR_RESYNC) return tryAgain(h, "asks to resynchronise every time");
        const auto st = nCheck == frame::OK ? frame::ParseStatusReply(p, n) : std::nullopt;
        if (!st) return tryAgain(h, "answers that are not a valid status reply");
        ++tally.m_nProbes;
        const uint8_t nComm = commOf(h);
        if (answered.emplace(h.m_nIp, nComm).second) {
            SScanHit hit;
            hit.m_strTarget = UdpTarget(h.m_nIp, plan.m_nPort);
            hit.m_nIp = h.m_nIp;
            hit.m_nPort = plan.m_nPort;
            hit.m_nAddr = nComm;
            hit.m_status = *st;
            hit.m_dReplyMs = RoundMs(MsSince(h.m_tSent));
            hits.push_back(hit);
        }
        advance(h);
    };

    uint8_t abRequest[16];
    std::vector<uint8_t> abReply(frame::REPLY_BUFFER);
    for (;;) {
        if (g_bScanInterrupted) {
            tally.m_bInterrupted = true;
            break;
        }
        while (active.size() < nInFlight && nCursor <= plan.m_nLast) {
            const auto nIp = static_cast<uint32_t>(nCursor++);
            if (Contains(plan.m_skip, nIp)) continue;
            SHost h;
            h.m_nIp = nIp;
            h.m_bBroadcast = Contains(plan.m_broadcasts, nIp);
            active[nIp] = h;
            due.push_back(nIp);
        }
        bool bBlocked = false;
        while (!due.empty()) {
            auto it = active.find(due.front());
            if (it == active.end()) {
                due.pop_front();
                continue;
            }
            SHost& h = it->second;
            const size_t nLen = BuildStatusRequest(abRequest, sizeof abRequest, commOf(h));
            if (sock.SendTo(h.m_nIp, plan.m_nPort, abRequest, nLen) < 0) {
                if (sock.LastError() == WSAEWOULDBLOCK) {
                    bBlocked = true;
                    break;
                }
                // No route, a refused broadcast: this address cannot be asked.
                due.pop_front();
                ++sendErrors[sock.LastError()];
                ++tally.m_nUnsent;
                active.erase(it);
                continue;
            }
            due.pop_front();
            h.m_bWaiting = true;
            h.m_tSent = Clock::now();
            h.m_tDeadline = h.m_tSent + timeout;
        }
        const auto now = Clock::now();
        std::vector<uint32_t> expired;
        auto next = now + timeout;
        for (const auto& [nIp, h] : active) {
            if (!h.m_bWaiting) continue;
            if (h.m_tDeadline <= now)
                expired.push_back(nIp);
            else
                next = std::min(next, h.m_tDeadline);
        }
        for (uint32_t nIp : expired) {
            ++tally.m_nProbes;
            advance(active[nIp]);
        }
        if (active.empty() && nCursor > plan.m_nLast) break;
        if (!expired.empty() || (!due.empty() && !bBlocked)) continue;

        const auto nWaitMs = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
        const int nReady = sock.Wait(static_cast<int>(std::max<int64_t>(0, nWaitMs)), bBlocked);
        if (nReady < 0) {
            if (sock.LastError() == WSAEINTR) continue;
            strError =
                std::string("waiting for answers: ") + CSockUtil::ErrorText(sock.LastError());
            break;
        }
        if (!(nReady & CDatagramSocket::WAIT_READABLE)) continue;
        for (;;) {
            uint32_t nFrom = 0;
            uint16_t nFromPort = 0;
            const int n = sock.RecvFrom(abReply.data(), abReply.size(), RECV_LEN, nFrom, nFromPort);
            if (n < 0) {
                // 10040: a datagram longer than a unit sends, not an answer.
                if (sock.LastError() == WSAEMSGSIZE) continue;
                break;
            }
            if (nFromPort != plan.m_nPort) continue;
            auto it = active.find(nFrom);
            if (it == active.end() || !it->second.m_bWaiting) {
                // A unit answering a broadcast speaks from its own address.
                const auto itB = std::find_if(active.begin(), active.end(), [](const auto& e) {
                    return e.second.m_bBroadcast && e.second.m_bWaiting;
                });
                if (itB == active.end() || it != active.end()) continue;
                SHost h;
                h.m_nIp = nFrom;
                h.m_nFixedComm = commOf(itB->second);
                h.m_bWaiting = true;
                h.m_tSent = itB->second.m_tSent;
                h.m_tDeadline = itB->second.m_tDeadline;
                it = active.emplace(nFrom, h).first;
            }
            onReply(it->second, abReply.data(), static_cast<size_t>(n));
        }
    }
    for (const auto& [key, comms] : problems) {
        std::string strComms;
        if (comms.size() == 16) {
            strComms = "comm addresses 0..15";
        } else {
            for (uint8_t n : comms)
                strComms += (strComms.empty() ? "" : ", ") + std::to_string(n);
            strComms = (comms.size() == 1 ? "comm address " : "comm addresses ") + strComms;
        }
        tally.m_notes.push_back(UdpTarget(key.first, plan.m_nPort) + " " + strComms + ": " +
                                key.second + "; not listed");
    }
    for (const auto& [nError, nCount] : sendErrors)
        tally.m_notes.push_back(std::to_string(nCount) + " address" + (nCount == 1 ? "" : "es") +
                                " could not be sent to: " + CSockUtil::ErrorText(nError));

    // A unit that answers every comm address is one unit: its lowest address stands.
    std::sort(hits.begin(), hits.end(), [](const SScanHit& a, const SScanHit& b) {
        return a.m_nIp != b.m_nIp ? a.m_nIp < b.m_nIp : a.m_nAddr < b.m_nAddr;
    });
    std::vector<SScanHit> units;
    for (const auto& hit : hits)
        if (std::none_of(units.begin(), units.end(), [&](const SScanHit& u) {
                return u.m_nIp == hit.m_nIp && u.m_status.m_nSerialNo == hit.m_status.m_nSerialNo;
            }))
            units.push_back(hit);
    return units;
}

// --- serial -------------------------------------------------------------------------

std::vector<SLineSetting> SerialScanOrder(int nBaud, char cParity) {
    // 115200 and 9600 are what field units are mostly left at; the slow rates last,
    // where each silent probe costs most.
    static constexpr int RATES[] = {115200, 9600, 19200, 38400, 57600, 4800, 2400, 1200};
    static constexpr char PARITIES[] = {'e', 'o', 'n'};
    std::vector<SLineSetting> order{{115200, 'e'}};
    const auto add = [&](int nRate, char c) {
        const bool bHave = std::any_of(order.begin(), order.end(), [&](const SLineSetting& s) {
            return s.m_nBaud == nRate && s.m_cParity == c;
        });
        if (!bHave) order.push_back({nRate, c});
    };
    if (nBaud || cParity) {
        for (int nRate : RATES)
            for (char c : PARITIES)
                if ((!nBaud || nRate == nBaud) && (!cParity || c == cParity)) add(nRate, c);
    }
    for (int nRate : RATES)
        for (char c : PARITIES)
            add(nRate, c);
    return order;
}

std::vector<uint8_t> UnitAddrOrder(int nFirst) {
    std::vector<uint8_t> order;
    if (nFirst >= 0 && nFirst <= 15) order.push_back(static_cast<uint8_t>(nFirst));
    for (uint8_t n = 0; n <= 15; ++n)
        if (static_cast<int>(n) != nFirst) order.push_back(n);
    return order;
}

namespace {

// Time n characters take on the line, rounded up.
int LineMs(const SLineSetting& line, size_t nChars) {
    const int nBits = line.m_cParity == 'n' ? 10 : 11;
    return static_cast<int>(
        (nChars * static_cast<size_t>(nBits) * 1000 + static_cast<size_t>(line.m_nBaud) - 1) /
        static_cast<size_t>(line.m_nBaud));
}

constexpr size_t REQUEST_CHARS = 8; // the status request: header, command, count, sum
constexpr size_t STATUS_REPLY_CHARS = frame::OFS_DATA + status::STATUS_COUNT + 1;

enum class EProbe { Silent, Unit, Unusable };

// One status exchange at the line's current setting; up to MAX_TRIES requests when the
// unit asks to resynchronise or its answer does not hold.
EProbe ProbeUnit(serialdev::CSerialDevice& dev, const SLineSetting& line, uint8_t nAddr,
                 SScanHit& hit, std::string& strWhy) {
    const int nAnswerMs = TimeConstants().m_nScanAnswerMs;
    uint8_t abRequest[16];
    const size_t nLen = BuildStatusRequest(abRequest, sizeof abRequest, nAddr);
    // Room for the longest frame a length byte can announce.
    uint8_t abReply[frame::MAX_FRAME];
    for (int nTry = 0; nTry < MAX_TRIES; ++nTry) {
        dev.PurgeInput();
        dev.SetTimeouts(nAnswerMs, SerialProbeMs(line), TimeConstants().m_nSerialWriteMs);
        size_t nDone = 0;
        if (dev.Write(abRequest, nLen, nDone) != 0 || nDone != nLen) {
            strWhy = "the request could not be written";
            return EProbe::Unusable;
        }
        const auto tSent = Clock::now();
        // The first byte within the probe's wait; the rest of the header, however late
        // that came, within its own line time.
        size_t nRead = 0, nMore = 0;
        int nResult = dev.Read(abReply, 1, nRead);
        if (nResult == 0 && nRead == 1) {
            dev.SetTimeouts(nAnswerMs, LineMs(line, frame::HEADER_LEN - 1) + nAnswerMs, 0);
            nResult = dev.Read(abReply + 1, frame::HEADER_LEN - 1, nMore);
        }
        if (nResult != 0) {
            strWhy = "the port failed while reading";
            return EProbe::Unusable;
        }
        if (nRead == 0) {
            if (nTry == 0) return EProbe::Silent;
            strWhy = "answered once, then no more";
            return EProbe::Unusable;
        }
        int nCheck = nMore < frame::HEADER_LEN - 1 ? frame::ERR_SHORT : frame::CheckHeader(abReply);
        const size_t nBody = abReply[frame::OFS_LEN];
        if (nCheck == frame::OK && nBody) {
            dev.SetTimeouts(nAnswerMs, LineMs(line, nBody) + nAnswerMs, 0);
            if (dev.Read(abReply + frame::HEADER_LEN, nBody, nRead) != 0 || nRead != nBody ||
                !frame::DataSumOk(abReply))
                nCheck = frame::ERR_INVALID;
        }
        if (nCheck == frame::OK) {
            if (const auto st = frame::ParseStatusReply(abReply, frame::HEADER_LEN + nBody)) {
                hit.m_status = *st;
                hit.m_dReplyMs = RoundMs(MsSince(tSent));
                return EProbe::Unit;
            }
        }
        strWhy = nCheck == frame::ERR_RESYNC ? "asks to resynchronise every time"
                                             : "answers that are not a valid status reply";
        if (nCheck == frame::ERR_RESYNC) continue; // a whole header-only frame
        // Let the rest of a bad answer (a status reply's length at most) pass before
        // asking again.
        dev.SetTimeouts(nAnswerMs, LineMs(line, STATUS_REPLY_CHARS) + nAnswerMs, 0);
        uint8_t abDrain[frame::REPLY_BUFFER];
        dev.Read(abDrain, sizeof abDrain, nRead);
    }
    return EProbe::Unusable;
}

} // namespace

int SerialProbeMs(const SLineSetting& line) {
    return LineMs(line, REQUEST_CHARS + frame::HEADER_LEN) + TimeConstants().m_nScanAnswerMs;
}

std::optional<std::vector<SScanHit>> ScanSerial(const SSerialScanPlan& plan, SScanTally& tally,
                                                std::string& strError) {
    serialdev::CSerialDevice dev;
    if (const int nError = dev.Open(plan.m_strDevice)) {
        strError = serialdev::OpenFailureText(plan.m_strDevice, nError);
        return std::nullopt;
    }
    if (const int nError = dev.SaveLine()) {
        strError = serialdev::OpenFailureText(plan.m_strDevice, nError);
        return std::nullopt;
    }
    std::vector<SScanHit> hits;
    bool bDone = false;
    for (size_t i = 0; i < plan.m_settings.size() && !bDone; ++i) {
        const SLineSetting& line = plan.m_settings[i];
        if (plan.m_fnProgress) plan.m_fnProgress(i, line);
        serialdev::SLineMode mode;
        mode.m_nBaud = line.m_nBaud;
        mode.m_cParity = line.m_cParity;
        if (dev.SetLineMode(mode) != 0) {
            tally.m_notes.push_back(plan.m_strName + ": the port cannot be set to " +
                                    std::to_string(line.m_nBaud) + " " +
                                    ParityWord(line.m_cParity) + "; skipped");
            continue;
        }
        for (uint8_t nAddr : plan.m_addrs) {
            if (g_bScanInterrupted) {
                tally.m_bInterrupted = bDone = true;
                break;
            }
            SScanHit hit;
            std::string strWhy;
            const EProbe eProbe = ProbeUnit(dev, line, nAddr, hit, strWhy);
            ++tally.m_nProbes;
            if (eProbe == EProbe::Unusable)
                tally.m_notes.push_back(plan.m_strName + " " + std::to_string(line.m_nBaud) + " " +
                                        ParityWord(line.m_cParity) + " unit address " +
                                        std::to_string(nAddr) + ": " + strWhy + "; not listed");
            if (eProbe != EProbe::Unit) continue;
            // A unit that answers every address, or a line that does not tell the rates
            // apart (a converter, a pseudo-terminal), is still one unit: its first,
            // most likely setting and address stand.
            const bool bSame = std::any_of(hits.begin(), hits.end(), [&](const SScanHit& h) {
                return h.m_status.m_nSerialNo == hit.m_status.m_nSerialNo;
            });
            if (bSame) continue;
            hit.m_strTarget = "serial:" + plan.m_strName;
            hit.m_nAddr = nAddr;
            hit.m_nBaud = line.m_nBaud;
            hit.m_cParity = line.m_cParity;
            hits.push_back(hit);
            if (!plan.m_bAll) {
                bDone = true;
                break;
            }
        }
    }
    dev.RestoreLine();
    dev.Close();
    return hits;
}
