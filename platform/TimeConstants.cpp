#include "platform/TimeConstants.h"

#include <algorithm>

#include <cstdlib>

CTimeConstants& CTimeConstants::Get() {
    static CTimeConstants s_constants;
    static const bool s_bApplied = (s_constants.ApplyTestDivisor(), true);
    (void)s_bApplied;
    return s_constants;
}

// Tests that run the programs as separate processes shorten every time-out by a
// divisor in VELOR_TIME_DIVISOR; nobody else sets it.
void CTimeConstants::ApplyTestDivisor() {
    const char* psz = std::getenv("VELOR_TIME_DIVISOR");
    if (!psz) return;
    const int nDivisor = std::atoi(psz);
    if (nDivisor <= 1) return;
    for (auto* p : {&m_nSerialReadMs, &m_nSerialWriteMs, &m_nSerialRetryPauseMs, &m_nRecvMs,
                    &m_nRecvReopenMs, &m_nDrainLimitMs, &m_nScanAnswerMs, &m_nScanWaitMs})
        *p = std::max(1, p->load() / nDivisor);
}

void CTimeConstants::Reset() {
    m_nSerialReadMs = 500;
    m_nSerialWriteMs = 500;
    m_nSerialRetryPauseMs = 500;
    m_nRecvMs = 5000;
    m_nRecvReopenMs = 10000;
    m_nDrainLimitMs = 15000;
    m_nScanAnswerMs = 100;
    m_nScanWaitMs = 2000;
}
