#include "params/NetParams.h"

#include <charconv>
#include <cstring>
#include <vector>

const std::array<uint8_t, 8> LINK_KEY = {0x3c, 0x7e, 0x19, 0xa4, 0xd2, 0x5b, 0x80, 0xe6};

uint16_t NetParams::GetU16(size_t nOfs) const {
    return static_cast<uint16_t>(m_abData.at(nOfs) | (m_abData.at(nOfs + 1) << 8));
}

void NetParams::SetU16(size_t nOfs, uint16_t nValue) {
    m_abData.at(nOfs) = static_cast<uint8_t>(nValue & 0xFF);
    m_abData.at(nOfs + 1) = static_cast<uint8_t>(nValue >> 8);
}

uint32_t NetParams::GetU32(size_t nOfs) const {
    return static_cast<uint32_t>(m_abData.at(nOfs)) |
           static_cast<uint32_t>(m_abData.at(nOfs + 1)) << 8 |
           static_cast<uint32_t>(m_abData.at(nOfs + 2)) << 16 |
           static_cast<uint32_t>(m_abData.at(nOfs + 3)) << 24;
}

void NetParams::SetU32(size_t nOfs, uint32_t nValue) {
    for (size_t i = 0; i < 4; ++i)
        m_abData.at(nOfs + i) = static_cast<uint8_t>(nValue >> (8 * i));
}

std::string NetParams::DottedAt(size_t nOfs) const {
    std::string str;
    for (size_t i = 0; i < 4; ++i) {
        if (i) str += '.';
        str += std::to_string(m_abData.at(nOfs + i));
    }
    return str;
}

bool NetParams::SetDottedAt(size_t nOfs, const std::string& strText) {
    uint8_t ab[4];
    const char* p = strText.data();
    const char* pEnd = p + strText.size();
    for (int i = 0; i < 4; ++i) {
        if (i) {
            if (p == pEnd || *p != '.') return false;
            ++p;
        }
        unsigned n = 0;
        auto [pNext, ec] = std::from_chars(p, pEnd, n);
        if (ec != std::errc() || pNext == p || pNext - p > 3 || n > 255) return false;
        ab[i] = static_cast<uint8_t>(n);
        p = pNext;
    }
    if (p != pEnd) return false;
    std::memcpy(m_abData.data() + nOfs, ab, 4);
    return true;
}

NetParams NetParams::Defaults() {
    NetParams rec;
    rec.SetDottedAt(OFS_IP, "192.168.0.132");
    rec.SetPort(3001);
    return rec;
}

namespace {
void PackCommon(const NetParams& rec, uint8_t* pPlain) {
    std::memset(pPlain, 0, PLAIN_WRITE_LEN);
    std::memcpy(pPlain, rec.Data(), 8);
    pPlain[8] = static_cast<uint8_t>(rec.Port() >> 8);
    pPlain[9] = static_cast<uint8_t>(rec.Port() & 0xFF);
    std::memcpy(pPlain + 10, rec.Data() + 10, 4);
    pPlain[14] = static_cast<uint8_t>(rec.Timeout() >> 8);
    pPlain[15] = static_cast<uint8_t>(rec.Timeout() & 0xFF);
    std::memcpy(pPlain + 16, rec.Data() + 16, 8);
    std::memcpy(pPlain + 29, rec.Data() + 29, 32); // 29..60
}
} // namespace

void PackParams(const NetParams& rec, uint8_t* pPlain) {
    PackCommon(rec, pPlain); // 24..28 stay zero on the serial link
}

void PackParamsEthernet(const NetParams& rec, uint8_t* pPlain) {
    PackCommon(rec, pPlain);
    std::memcpy(pPlain + 24, rec.Data() + 24, 5);
}

void UnpackParams(NetParams& rec, const uint8_t* pPlain) {
    std::memcpy(rec.Data(), pPlain, PLAIN_READ_MIN);
    rec.SetPort(static_cast<uint16_t>(pPlain[8] << 8 | pPlain[9]));
    rec.SetTimeout(static_cast<uint16_t>(pPlain[14] << 8 | pPlain[15]));
}

void BuildWriteData(const uint8_t* pPlain, const uint8_t* pIv, uint8_t* pData) {
    std::memcpy(pData, pIv, IV_LEN);
    CryptPayload(pPlain, pData + IV_LEN, pIv, LINK_KEY.data(), PLAIN_WRITE_LEN, CRYPT_ENCRYPT);
}

bool DecryptReadData(const uint8_t* pData, size_t nCount, uint8_t* pPlain) {
    if (nCount < IV_LEN || nCount - IV_LEN < PLAIN_READ_MIN) return false;
    CryptPayload(pData + IV_LEN, pPlain, pData, LINK_KEY.data(), nCount - IV_LEN, CRYPT_DECRYPT);
    return true;
}

bool DecryptReadReply(const uint8_t* pFrame, size_t nFrameLen, NetParams& rec) {
    if (nFrameLen < 7) return false;
    const size_t nCount = pFrame[6];
    if (nFrameLen < 7 + nCount) return false;
    std::vector<uint8_t> plain(nCount >= IV_LEN ? nCount - IV_LEN : 0);
    if (!DecryptReadData(pFrame + 7, nCount, plain.data())) return false;
    UnpackParams(rec, plain.data());
    return true;
}
