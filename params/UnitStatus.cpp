#include "params/UnitStatus.h"

const char* const UNIT_BAUD_RATES[8] = {"19200",  "38400", "57600", "1200",
                                        "115200", "2400",  "4800",  "9600"};

std::optional<status::CUnitStatus> status::ParseStatus(const uint8_t* pData, size_t nCount,
                                                       size_t nArrived) {
    if (nCount != STATUS_COUNT || nArrived < nCount) return std::nullopt;
    CUnitStatus st;
    st.m_nSerialNo = static_cast<uint16_t>(pData[ST_SERIAL_NO] | pData[ST_SERIAL_NO + 1] << 8);
    st.m_bKeysEnabled = pData[ST_KEYS] & ST_KEYS_BIT;
    st.m_nCheckWord = static_cast<uint16_t>(pData[ST_CHECK_WORD] | pData[ST_CHECK_WORD + 1] << 8);
    st.m_bConfigSwitch = pData[ST_SWITCH] & ST_SWITCH_BIT;
    st.m_bPropertiesMode = pData[ST_MODE] == PROPERTIES_MODE;
    return st;
}

CUnitProperties CUnitProperties::Decode(uint8_t n24, uint8_t n25, uint8_t n28) {
    CUnitProperties p;
    p.m_nBaudCode = n24 & BAUD_MASK;
    p.m_bEncryption = n24 & ENCRYPTION;
    p.m_bCts = n24 & CTS;
    p.m_bParityOff = n24 & PARITY_OFF;
    p.m_bAutoBackup = n25 & AUTO_BACKUP;
    p.m_nCommAddr = n28;
    return p;
}

void CUnitProperties::Encode(uint8_t& n24, uint8_t& n25, uint8_t& n28) const {
    n24 = static_cast<uint8_t>((m_bParityOff ? PARITY_OFF : 0) | (m_bCts ? CTS : 0) |
                               (m_bDialUp ? DIAL_UP : 0) | (m_bEncryption ? ENCRYPTION : 0) |
                               (m_nBaudCode & BAUD_MASK));
    n25 = m_bAutoBackup ? AUTO_BACKUP : 0;
    n28 = m_nCommAddr;
}
