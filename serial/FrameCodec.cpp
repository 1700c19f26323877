#include "serial/FrameCodec.h"

#include <cstring>

namespace frame {

uint8_t Sum8(const uint8_t* p, size_t n) {
    unsigned nSum = 0;
    for (size_t i = 0; i < n; ++i)
        nSum += p[i];
    return static_cast<uint8_t>(nSum & 0xFF);
}

size_t Build(uint8_t* pBuf, size_t nCap, uint8_t nAddr, uint32_t nSeq, uint8_t nCmd, size_t nSize,
             const uint8_t* pData) {
    if (nSize == 1 || nSize > 254) return 0;
    const size_t nTotal = nSize ? nSize + 6 : HEADER_LEN;
    if (nTotal > nCap) return 0;
    pBuf[0] = START;
    pBuf[OFS_ADDR] = nAddr;
    pBuf[OFS_LEN] = static_cast<uint8_t>(nSize ? nSize + 1 : 0);
    pBuf[OFS_CONTROL] = static_cast<uint8_t>(nSeq + (nSize ? CTL_COMMAND : 0));
    pBuf[OFS_HSUM] = Sum8(pBuf, 4);
    if (nSize) {
        const size_t n = nSize - 2;
        pBuf[OFS_CMD] = nCmd;
        pBuf[OFS_COUNT] = static_cast<uint8_t>(n);
        if (n) std::memcpy(pBuf + OFS_DATA, pData, n);
        pBuf[OFS_DATA + n] = Sum8(pBuf, OFS_DATA + n);
    }
    return nTotal;
}

int CheckHeader(const uint8_t* pHeader) {
    if (pHeader[0] != START) return ERR_INVALID;
    if (Sum8(pHeader, 4) != pHeader[OFS_HSUM]) return ERR_INVALID;
    if (pHeader[OFS_CONTROL] & CTL_RESYNC) return ERR_RESYNC;
    if (pHeader[OFS_CONTROL] & CTL_INVALID) return ERR_INVALID;
    return OK;
}

bool DataSumOk(const uint8_t* pFrame) {
    const size_t nLen = pFrame[OFS_LEN];
    if (nLen == 0 || !(pFrame[OFS_CONTROL] & CTL_DATA_SUM)) return true;
    return Sum8(pFrame, HEADER_LEN + nLen - 1) == pFrame[HEADER_LEN + nLen - 1];
}

int CheckReply(const uint8_t* pFrame, size_t nLen) {
    if (nLen < HEADER_LEN) return ERR_INVALID;
    if (const int nResult = CheckHeader(pFrame)) return nResult;
    const size_t nFrameLen = HEADER_LEN + pFrame[OFS_LEN];
    const bool bDataSum = pFrame[OFS_LEN] != 0 && (pFrame[OFS_CONTROL] & CTL_DATA_SUM);
    if (bDataSum && nLen < nFrameLen) return ERR_INVALID;
    return DataSumOk(pFrame) ? OK : ERR_INVALID;
}

} // namespace frame
