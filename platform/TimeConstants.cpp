#include "platform/TimeConstants.h"

CTimeConstants& CTimeConstants::Get() {
    static CTimeConstants s_constants;
    return s_constants;
}

void CTimeConstants::Reset() {
    m_nSerialReadMs = 500;
    m_nSerialWriteMs = 500;
    m_nSerialRetryPauseMs = 500;
    m_nRecvMs = 5000;
    m_nRecvReopenMs = 10000;
    m_nDrainLimitMs = 15000;
}
