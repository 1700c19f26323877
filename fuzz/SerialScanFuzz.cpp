// A serial scan's probe fed whatever a line may carry: each request written releases
// the next chunk of the input (a length byte, then that many bytes, frame sums filled
// in: FuzzFrames.h), as noise, a modem's chatter or a unit's answer would arrive. The
// scan must end, list each unit once with a setting and address it tried, and never
// read past what it was given.

#include <algorithm>
#include <cstring>
#include <vector>

#include "FuzzCommon.h"
#include "FuzzFrames.h"
#include "discovery/SerialScan.h"
#include "platform/SerialDevice.h"
#include "platform/TimeConstants.h"
#include "serial/FrameCodec.h"

namespace {

class CStreamDevice : public serialdev::CSerialDevice {
public:
    CStreamDevice(const uint8_t* p, size_t n) : m_p(p), m_nLeft(n) {}
    void SetTimeouts(int, int nTotal, int) override { FUZZ_CHECK(nTotal >= 0); }
    int GetLineMode(serialdev::SLineMode&) const override { return 0; }
    int SetLineMode(const serialdev::SLineMode&) override { return 0; }
    void PurgeInput() override { m_abPending.clear(); }
    int Write(const uint8_t* p, size_t n, size_t& nWritten) override {
        FUZZ_CHECK(p && n >= frame::HEADER_LEN && p[0] == frame::START);
        nWritten = n;
        ++m_nWrites;
        if (m_nLeft) {
            const size_t nChunk = std::min<size_t>(m_p[0], m_nLeft - 1);
            const size_t nAt = m_abPending.size();
            m_abPending.insert(m_abPending.end(), m_p + 1, m_p + 1 + nChunk);
            SetFrameSums(m_abPending.data() + nAt, nChunk);
            m_p += 1 + nChunk;
            m_nLeft -= 1 + nChunk;
        }
        return 0;
    }
    int Read(uint8_t* p, size_t n, size_t& nRead) override {
        nRead = std::min(n, m_abPending.size());
        if (nRead) std::memcpy(p, m_abPending.data(), nRead);
        m_abPending.erase(m_abPending.begin(), m_abPending.begin() + static_cast<long>(nRead));
        return 0;
    }
    size_t m_nWrites = 0;

private:
    const uint8_t* m_p;
    size_t m_nLeft;
    std::vector<uint8_t> m_abPending;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* p, size_t n) {
    static const bool s_bFast = (TimeConstants().m_nScanAnswerMs = 0, true);
    (void)s_bFast;
    SSerialScanPlan plan;
    plan.m_strName = "fuzz";
    plan.m_settings = {{115200, 'e'}, {9600, 'n'}};
    plan.m_addrs = UnitAddrOrder(n ? p[0] % 17 : -1);
    plan.m_bAll = n > 1 && (p[1] & 1);
    CStreamDevice dev(p, n);
    SScanTally tally;
    const auto hits = ScanSerialDevice(dev, plan, {}, tally);
    FUZZ_CHECK(tally.m_nProbes == plan.m_settings.size() * plan.m_addrs.size() || !plan.m_bAll ||
               !hits.empty());
    FUZZ_CHECK(dev.m_nWrites <= 3 * tally.m_nProbes);
    for (size_t i = 0; i < hits.size(); ++i) {
        FUZZ_CHECK(hits[i].m_nAddr <= 15 && hits[i].m_nBaud != 0);
        for (size_t j = 0; j < i; ++j)
            FUZZ_CHECK(hits[i].m_status.m_nSerialNo != hits[j].m_status.m_nSerialNo);
    }
    if (!plan.m_bAll) FUZZ_CHECK(hits.size() <= 1);
    return 0;
}
