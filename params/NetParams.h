#pragma once
// The unit's network parameter record, its plain-text images and the link cipher.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// 65-byte record; a byte array with named offsets. The two 16-bit fields are kept in
// host order, which on every machine we build for is little-endian; they are written
// explicitly as such.
struct NetParams {
    static constexpr size_t SIZE = 65;
    static constexpr size_t OFS_IP = 0;
    static constexpr size_t OFS_MASK = 4;
    static constexpr size_t OFS_PORT = 8;
    static constexpr size_t OFS_GATEWAY = 10;
    static constexpr size_t OFS_TIMEOUT = 14;
    static constexpr size_t OFS_DES_KEY = 16;
    static constexpr size_t OFS_SCP_PROPS = 24; // 24..28
    static constexpr size_t OFS_SCP_FLAGS1 = 24;
    static constexpr size_t OFS_SCP_FLAGS2 = 25;
    static constexpr size_t OFS_SCP_RESERVED = 26; // 26..27, kept as read
    static constexpr size_t OFS_UNIT_COMM_ADDR = 28;
    static constexpr size_t OFS_TDES_KEY1 = 29;
    static constexpr size_t OFS_TDES_KEY2 = 37;
    static constexpr size_t OFS_TDES_KEY3 = 45;
    static constexpr size_t OFS_RESERVED = 53;  // 53..60
    static constexpr size_t OFS_COMM_ADDR = 61; // 61..64, never sent
    static constexpr size_t KEY_LEN = 8;

    std::array<uint8_t, SIZE> m_abData{};

    uint8_t& operator[](size_t i) { return m_abData.at(i); }
    uint8_t operator[](size_t i) const { return m_abData.at(i); }
    uint8_t* Data() { return m_abData.data(); }
    const uint8_t* Data() const { return m_abData.data(); }

    uint16_t GetU16(size_t nOfs) const;
    void SetU16(size_t nOfs, uint16_t nValue);
    uint32_t GetU32(size_t nOfs) const;
    void SetU32(size_t nOfs, uint32_t nValue);

    uint16_t Port() const { return GetU16(OFS_PORT); }
    void SetPort(uint16_t n) { SetU16(OFS_PORT, n); }
    uint16_t Timeout() const { return GetU16(OFS_TIMEOUT); }
    void SetTimeout(uint16_t n) { SetU16(OFS_TIMEOUT, n); }

    // Dotted decimal text of four bytes at nOfs (IP, mask, gateway).
    std::string DottedAt(size_t nOfs) const;
    // Parses "a.b.c.d" (each 0..255) into four bytes at nOfs; false leaves them unchanged.
    bool SetDottedAt(size_t nOfs, const std::string& strText);

    // The record as the main window creates it: 192.168.0.132, port 3001, rest zero.
    static NetParams Defaults();

    bool operator==(const NetParams&) const = default;
};

constexpr size_t PLAIN_WRITE_LEN = 124; // plain text of a write
constexpr size_t PLAIN_READ_MIN = 57;   // record bytes a read must carry
constexpr size_t IV_LEN = 8;
constexpr size_t WRITE_DATA_LEN = IV_LEN + PLAIN_WRITE_LEN; // 132

// The fixed DES key of both links.
extern const std::array<uint8_t, 8> LINK_KEY;

// Write plain text of the serial link: bytes 24..28 are sent as zero.
void PackParams(const NetParams& rec, uint8_t* pPlain /* 124 bytes */);
// Write plain text of the Ethernet link: bytes 24..28 are sent as stored.
void PackParamsEthernet(const NetParams& rec, uint8_t* pPlain /* 124 bytes */);
// Takes plain-text bytes 0..56 into the record, 16-bit fields from big-endian.
void UnpackParams(NetParams& rec, const uint8_t* pPlain /* at least 57 bytes */);

enum { CRYPT_DECRYPT = 0, CRYPT_ENCRYPT = 1 };
// DES, 8-bit cipher feedback. The IV passed in is left unchanged. Returns 0.
int CryptPayload(const uint8_t* pIn, uint8_t* pOut, const uint8_t* pIv, const uint8_t* pKey,
                 size_t nLen, int nDirection);

// Builds the 132 data bytes of a write request: the IV in clear, then the
// encrypted plain text.
void BuildWriteData(const uint8_t* pPlain /* 124 */, const uint8_t* pIv /* 8 */,
                    uint8_t* pData /* 132 */);

// Decrypts the data of a read reply (8-byte IV, then cipher text) into pPlain,
// which must hold nCount - 8 bytes. Fails (false, nothing written) when the count
// is below 8 or the plain text would be shorter than 57 bytes.
bool DecryptReadData(const uint8_t* pData, size_t nCount, uint8_t* pPlain);

// Decrypts a whole read reply frame of nFrameLen received bytes (data count at
// byte 6, data from byte 7) into the record. Fails and leaves the record untouched
// when the count is below 8, the plain text is shorter than 57 bytes, or the frame
// holds fewer bytes than its count announces.
bool DecryptReadReply(const uint8_t* pFrame, size_t nFrameLen, NetParams& rec);
