// The image reader on any file: the whole-file validation, then the reading run a
// download makes, with a send that may refuse a block. Every block handed out must
// be one the unit can take, announced under its own address, and both runs must
// agree.

#include <cstring>
#include <vector>

#include "FuzzCommon.h"
#include "firmware/ImageReader.h"
#include "firmware/LoadBlock.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    static CMemFile s_file;
    // The last byte picks the block a send refuses (0: none), the rest is the file.
    const size_t nRefuseAt = nSize ? pData[nSize - 1] % 8 : 0;
    const std::string& strPath = s_file.Set(pData, nSize ? nSize - 1 : 0);
    const size_t nFile = nSize ? nSize - 1 : 0;

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
