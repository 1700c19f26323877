#include "discovery/SerialScan.h"

#include <algorithm>
#include <chrono>

#include "platform/SerialDevice.h"
#include "platform/TimeConstants.h"
#include "serial/FrameCodec.h"

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

using Clock = std::chrono::steady_clock;

constexpr int MAX_TRIES = 3; // the request and two more after a unit asked to resynchronise
// The longest one wait on the line lasts before the stop flag is looked at again: a
// probe at the slow rates lasts long enough for a Stop to be felt otherwise.
constexpr int STOP_SLICE_MS = 20;

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

// One status exchange at the line's current setting, all of it within the probe's
// bound however the line behaves: a unit asking to resynchronise is asked again while
// time is left; anything else that does not hold ends the probe.
class CProbe {
public:
    CProbe(serialdev::CSerialDevice& dev, const SLineSetting& line, const SScanHooks& hooks)
        : m_dev(dev), m_line(line), m_hooks(hooks), m_nAnswerMs(TimeConstants().m_nScanAnswerMs) {}

    EProbe Run(uint8_t nAddr, SScanHit& hit, std::string& strWhy) {
        uint8_t abRequest[16];
        const size_t nLen =
            frame::Build(abRequest, sizeof abRequest, nAddr, 0, frame::CMD_STATUS, 2, nullptr);
        m_tEnd = Clock::now() + std::chrono::milliseconds(SerialProbeBoundMs(m_line));
        for (int nTry = 0; nTry < MAX_TRIES; ++nTry) {
            m_dev.PurgeInput();
            m_dev.SetTimeouts(m_nAnswerMs, SerialProbeMs(m_line), TimeConstants().m_nSerialWriteMs);
            size_t nDone = 0;
            if (m_dev.Write(abRequest, nLen, nDone) != 0 || nDone != nLen) {
                strWhy = "the request could not be written";
                return EProbe::Unusable;
            }
            const auto tSent = Clock::now();
            // The first byte within the probe's wait; the rest of the header within
            // its own line time.
            size_t nRead = 0, nMore = 0;
            int nResult = Read(m_abReply, 1, nRead, SerialProbeMs(m_line));
            if (nResult == 0 && nRead == 1)
                nResult = Read(m_abReply + 1, frame::HEADER_LEN - 1, nMore,
                               LineMs(m_line, frame::HEADER_LEN - 1) + m_nAnswerMs);
            if (nResult != 0) {
                strWhy = "the port failed while reading";
                return EProbe::Unusable;
            }
            if (nRead == 0) {
                if (nTry == 0) return EProbe::Silent;
                strWhy = "answered once, then no more";
                return EProbe::Unusable;
            }
            int nCheck =
                nMore < frame::HEADER_LEN - 1 ? frame::ERR_SHORT : frame::CheckHeader(m_abReply);
            const size_t nBody = m_abReply[frame::OFS_LEN];
            // A status reply's body and no more: a longer one is not a status reply,
            // and reading it all would cost more than the probe may.
            if (nCheck == frame::OK && nBody > STATUS_REPLY_CHARS - frame::HEADER_LEN)
                nCheck = frame::ERR_INVALID;
            else if (nCheck == frame::OK && nBody) {
                if (Read(m_abReply + frame::HEADER_LEN, nBody, nRead,
                         LineMs(m_line, nBody) + m_nAnswerMs) != 0 ||
                    nRead != nBody || !frame::DataSumOk(m_abReply))
                    nCheck = frame::ERR_INVALID;
            }
            if (nCheck == frame::OK) {
                if (const auto st = frame::ParseStatusReply(m_abReply, frame::HEADER_LEN + nBody)) {
                    hit.m_status = *st;
                    hit.m_dReplyMs =
                        std::chrono::duration<double, std::milli>(Clock::now() - tSent).count();
                    hit.m_dReplyMs =
                        static_cast<double>(static_cast<int64_t>(hit.m_dReplyMs * 1000 + 0.5)) /
                        1000;
                    return EProbe::Unit;
                }
            }
            if (nCheck == frame::ERR_RESYNC) {
                strWhy = "asks to resynchronise every time";
                if (Clock::now() < m_tEnd) continue;
                return EProbe::Unusable;
            }
            // A garbled answer, or a noisy line: let what is still coming pass (so it
            // does not land in the next probe's answer) and move on.
            strWhy = "answers that are not a valid status reply";
            uint8_t abDrain[frame::REPLY_BUFFER];
            while (Read(abDrain, sizeof abDrain, nRead, LineMs(m_line, STATUS_REPLY_CHARS)) == 0 &&
                   nRead == sizeof abDrain)
                ;
            return EProbe::Unusable;
        }
        return EProbe::Unusable;
    }

private:
    // A read of at most nMs, and never past the probe's end; a stop ends it at once,
    // short.
    int Read(uint8_t* p, size_t n, size_t& nRead, int nMs) {
        nRead = 0;
        const auto tEnd = std::min(m_tEnd, Clock::now() + std::chrono::milliseconds(nMs));
        while (nRead < n && !m_hooks.Stopped()) {
            const auto nLeft =
                std::chrono::ceil<std::chrono::milliseconds>(tEnd - Clock::now()).count();
            if (nLeft <= 0) break;
            m_dev.SetTimeouts(m_nAnswerMs,
                              static_cast<int>(std::min<int64_t>(nLeft, STOP_SLICE_MS)), 0);
            size_t nGot = 0;
            if (const int nResult = m_dev.Read(p + nRead, n - nRead, nGot)) return nResult;
            nRead += nGot;
        }
        return 0;
    }

    serialdev::CSerialDevice& m_dev;
    const SLineSetting& m_line;
    const SScanHooks& m_hooks;
    const int m_nAnswerMs;
    Clock::time_point m_tEnd{};
    // Room for the longest frame a length byte can announce.
    uint8_t m_abReply[frame::MAX_FRAME] = {};
};

} // namespace

int SerialProbeMs(const SLineSetting& line) {
    return LineMs(line, REQUEST_CHARS + frame::HEADER_LEN) + TimeConstants().m_nScanAnswerMs;
}

int SerialProbeBoundMs(const SLineSetting& line) {
    return LineMs(line, REQUEST_CHARS + STATUS_REPLY_CHARS) + 2 * TimeConstants().m_nScanAnswerMs;
}

std::vector<SScanHit> ScanSerialDevice(serialdev::CSerialDevice& dev, const SSerialScanPlan& plan,
                                       const SScanHooks& hooks, SScanTally& tally) {
    std::vector<SScanHit> hits;
    SScanProgress progress;
    progress.m_nSettings = plan.m_settings.size();
    progress.m_nTotal = plan.m_settings.size() * plan.m_addrs.size();
    double dLeft = 0;
    for (const auto& line : plan.m_settings)
        dLeft += static_cast<double>(plan.m_addrs.size()) * SerialProbeMs(line) / 1000;
    for (size_t i = 0; i < plan.m_settings.size(); ++i) {
        const SLineSetting& line = plan.m_settings[i];
        progress.m_line = line;
        progress.m_nSetting = i;
        serialdev::SLineMode mode;
        mode.m_nBaud = line.m_nBaud;
        mode.m_cParity = line.m_cParity;
        if (dev.SetLineMode(mode) != 0) {
            tally.m_notes.push_back(plan.m_strName + ": the port cannot be set to " +
                                    std::to_string(line.m_nBaud) + " " +
                                    ParityWord(line.m_cParity) + "; skipped");
            progress.m_nDone += plan.m_addrs.size();
            continue;
        }
        CProbe probe(dev, line, hooks);
        for (uint8_t nAddr : plan.m_addrs) {
            if (hooks.Stopped()) {
                tally.m_bInterrupted = true;
                return hits;
            }
            progress.m_dSecondsLeft = dLeft;
            if (hooks.m_fnProgress) hooks.m_fnProgress(progress);
            SScanHit hit;
            std::string strWhy;
            const EProbe eProbe = probe.Run(nAddr, hit, strWhy);
            if (hooks.Stopped()) { // what a cut probe saw says nothing
                tally.m_bInterrupted = true;
                return hits;
            }
            ++tally.m_nProbes;
            ++progress.m_nDone;
            dLeft = std::max(0.0, dLeft - SerialProbeMs(line) / 1000.0);
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
            progress.m_nFound = hits.size();
            if (hooks.m_fnHit) hooks.m_fnHit(hit);
            if (!plan.m_bAll) return hits;
        }
    }
    return hits;
}

std::optional<std::vector<SScanHit>> ScanSerial(const SSerialScanPlan& plan,
                                                const SScanHooks& hooks, SScanTally& tally,
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
    // Put back however the scan ends, an exception included.
    struct SRestore {
        serialdev::CSerialDevice& m_dev;
        ~SRestore() {
            m_dev.RestoreLine();
            m_dev.Close();
        }
    } restore{dev};
    return ScanSerialDevice(dev, plan, hooks, tally);
}
