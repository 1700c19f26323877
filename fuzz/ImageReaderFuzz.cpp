// The image reader on any file: the whole-file validation, then the reading run a
// download makes, with a send that may refuse a block. Every block handed out must
// be one the unit can take, announced under its own address, and both runs must
// agree. Line checksums are filled in (SetLineSums).

#include <cstring>
#include <string>
#include <vector>

#include "FuzzCommon.h"
#include "firmware/ImageReader.h"
#include "firmware/LoadBlock.h"
#include "platform/HexText.h"

namespace {

// The last byte of every S-record or Intel HEX line holds the offset from the line's
// right checksum (0: right), so that mutations reach past the sums; a line that is not
// all hex digit pairs is left as it is.
void SetLineSums(std::string& str) {
    static const char HEX[] = "0123456789ABCDEF";
    for (size_t nStart = 0; nStart < str.size();) {
        size_t nEnd = str.find('\n', nStart);
        if (nEnd == std::string::npos) nEnd = str.size();
        size_t nLast = nEnd;
        if (nLast > nStart && str[nLast - 1] == '\r') --nLast;
        const bool bSrec = str[nStart] == 'S';
        const size_t nFirst = nStart + (bSrec ? 2 : 1);
        if ((bSrec || str[nStart] == ':') && nLast >= nFirst + 4 && (nLast - nFirst) % 2 == 0) {
            unsigned nSum = 0;
            bool bHex = true;
            for (size_t i = nFirst; i + 2 < nLast && bHex; i += 2) {
                const int h = HexDigitValue(str[i]), l = HexDigitValue(str[i + 1]);
                bHex = h >= 0 && l >= 0;
                nSum += static_cast<unsigned>(h * 16 + l);
            }
            const int h = HexDigitValue(str[nLast - 2]), l = HexDigitValue(str[nLast - 1]);
            if (bHex && h >= 0 && l >= 0) {
                const unsigned nRight = bSrec ? 0xFFu - (nSum & 0xFF) : (0x100u - (nSum & 0xFF));
                const unsigned nNew = (nRight + static_cast<unsigned>(h * 16 + l)) & 0xFF;
                str[nLast - 2] = HEX[nNew >> 4];
                str[nLast - 1] = HEX[nNew & 15];
            }
        }
        nStart = nEnd + 1;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    static CMemFile s_file;
    // The last byte picks the block a send refuses (0: none), the rest is the file.
    const size_t nRefuseAt = nSize ? pData[nSize - 1] % 8 : 0;
    const size_t nFile = nSize ? nSize - 1 : 0;
    std::string strText(reinterpret_cast<const char*>(pData), nFile);
    SetLineSums(strText);
    const std::string& strPath =
        s_file.Set(reinterpret_cast<const uint8_t*>(strText.data()), strText.size());

    const CImageCheck check = ValidateImage(strPath);
    FUZZ_CHECK(check.m_nResult == CImageReader::OK || check.m_nResult == CImageReader::ERR_FORMAT);
    FUZZ_CHECK(!check.Describe().empty());

    CImageReader reader;
    size_t nBlocks = 0, nBytes = 0;
    const int nResult = reader.Run(strPath, [&](const uint8_t* pBlock, size_t nLen) {
        FUZZ_CHECK(nLen > loadblock::LOAD_HEADER);
        FUZZ_CHECK(nLen <= loadblock::LOAD_HEADER + loadblock::LOAD_MAX_BYTES);
        FUZZ_CHECK(pBlock[0] == 0 && pBlock[1] <= 0x07);
        // A block never runs past the memory a header can address.
        FUZZ_CHECK(loadblock::LoadAddress(pBlock) + (nLen - loadblock::LOAD_HEADER) <=
                   loadblock::LOAD_ADDR_LIMIT);
        ++nBlocks;
        if (nRefuseAt && nBlocks == nRefuseAt) return 1000;
        nBytes += nLen - loadblock::LOAD_HEADER;
        return 0;
    });
    // Two hex digits make a byte: nothing is sent that the file cannot hold.
    FUZZ_CHECK(nBytes <= nFile / 2);
    if (nRefuseAt && nBlocks >= nRefuseAt) {
        FUZZ_CHECK(nResult == 1000);
        FUZZ_CHECK(nBlocks == nRefuseAt);
    } else {
        FUZZ_CHECK(nResult == check.m_nResult);
        if (nResult == CImageReader::OK) {
            FUZZ_CHECK(nBlocks == check.m_nBlocks && nBytes == check.m_nBytes);
            FUZZ_CHECK(reader.CheckWord() == check.m_nCheckWord);
        } else {
            FUZZ_CHECK(reader.ErrorLine() == check.m_nLine && reader.ErrorLine() > 0);
        }
    }
    return 0;
}
