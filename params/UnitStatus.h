#pragma once
// What a unit tells about itself: the status record (the data of the reply to the
// status request) and the serial-port property bits it keeps in bytes 24, 25 and 28
// of its parameter record.

#include <cstddef>
#include <cstdint>
#include <optional>

namespace status {

// Status record offsets, counted from the first data byte.
constexpr size_t STATUS_COUNT = 46;
constexpr size_t ST_SERIAL_NO = 4;
constexpr size_t ST_KEYS = 27;
constexpr uint8_t ST_KEYS_BIT = 0x10;
constexpr size_t ST_CHECK_WORD = 34;
constexpr size_t ST_SWITCH = 36;
constexpr uint8_t ST_SWITCH_BIT = 0x02;
constexpr size_t ST_MODE = 37;
constexpr uint8_t PROPERTIES_MODE = 8;

struct CUnitStatus {
    uint16_t m_nSerialNo = 0;
    bool m_bKeysEnabled = false;
    uint16_t m_nCheckWord = 0; // 0: the unit makes no check
    bool m_bConfigSwitch = false;
    bool m_bPropertiesMode = false;
};

// The fields of a status record whose data count is nCount and of which nArrived
// bytes were received; nothing when it is not a whole record (the count is not 46,
// or fewer bytes arrived than it announces), so that no field is ever read from
// bytes an earlier reply left behind.
std::optional<CUnitStatus> ParseStatus(const uint8_t* pData, size_t nCount, size_t nArrived);

} // namespace status

// The unit's serial-port properties as the properties dialog shows and stores them.
struct CUnitProperties {
    static constexpr uint8_t BAUD_MASK = 0x07;   // byte 24: position in UNIT_BAUD_RATES
    static constexpr uint8_t ENCRYPTION = 0x08;  // byte 24
    static constexpr uint8_t DIAL_UP = 0x10;     // byte 24, never offered
    static constexpr uint8_t CTS = 0x20;         // byte 24
    static constexpr uint8_t PARITY_OFF = 0x80;  // byte 24
    static constexpr uint8_t AUTO_BACKUP = 0x40; // byte 25

    uint8_t m_nBaudCode = 0;
    bool m_bEncryption = false;
    bool m_bDialUp = false;
    bool m_bCts = false;
    bool m_bParityOff = false;
    bool m_bAutoBackup = false;
    uint8_t m_nCommAddr = 0;

    // Dial-up backup always reads as off, whatever the unit holds.
    static CUnitProperties Decode(uint8_t n24, uint8_t n25, uint8_t n28);
    // Bits not shown (6 of byte 24, all but 6 of byte 25) are written as 0.
    void Encode(uint8_t& n24, uint8_t& n25, uint8_t& n28) const;
};

// The unit's baud rates in code order.
extern const char* const UNIT_BAUD_RATES[8];
