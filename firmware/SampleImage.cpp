#include "firmware/SampleImage.h"
#include "platform/HexText.h"

#include <cstdio>
#include <fstream>
#include <vector>

std::string SRecordLine(char cType, uint32_t nAddr, const uint8_t* p, size_t n) {
    const size_t nAddrLen = cType == '2' || cType == '8' ? 3 : cType == '3' || cType == '7' ? 4 : 2;
    std::vector<uint8_t> ab;
    ab.push_back(static_cast<uint8_t>(nAddrLen + n + 1));
    for (size_t i = nAddrLen; i-- > 0;)
        ab.push_back(static_cast<uint8_t>(nAddr >> (8 * i)));
    if (n) ab.insert(ab.end(), p, p + n);
    unsigned nSum = 0;
    for (uint8_t b : ab)
        nSum += b;
    ab.push_back(static_cast<uint8_t>(~nSum & 0xFF));
    return std::string("S") + cType + HexText(ab.data(), ab.size()) + "\n";
}

std::string MakeSampleImage(const SSampleImage& layout) {
    const char szHeader[] = "velor sample";
    std::string str =
        SRecordLine('0', 0, reinterpret_cast<const uint8_t*>(szHeader), sizeof szHeader - 1);
    uint32_t nState = layout.m_nSeed ? layout.m_nSeed : 1;
    std::vector<uint8_t> data(layout.m_nLength);
    for (auto& b : data) {
        nState ^= nState << 13;
        nState ^= nState >> 17;
        nState ^= nState << 5;
        b = static_cast<uint8_t>(nState >> 24);
    }
    const size_t nPer = layout.m_nRecordBytes ? layout.m_nRecordBytes : 32;
    size_t i = 0;
    while (i < data.size()) {
        const uint32_t nAddr = layout.m_nStart + static_cast<uint32_t>(i);
        size_t n = std::min(nPer, data.size() - i);
        // The check word at 0xFFFE is picked up only from a record that starts there:
        // give it a record of its own and stay aligned after it.
        if (nAddr < 0xFFFE && nAddr + n > 0xFFFE) n = 0xFFFE - nAddr;
        if (nAddr == 0xFFFE) n = std::min<size_t>(n, 2);
        str += SRecordLine('3', nAddr, data.data() + i, n);
        i += n;
    }
    str += SRecordLine('7', layout.m_nStart, nullptr, 0);
    return str;
}

bool WriteSampleImage(const std::string& strPath, const SSampleImage& layout) {
    std::ofstream file(strPath, std::ios::binary);
    file << MakeSampleImage(layout);
    return static_cast<bool>(file);
}
