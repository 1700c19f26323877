#include "firmware/ImageReader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "firmware/LoadBlock.h"
#include "params/Texts.h"
#include "platform/HexText.h"
#include "platform/OutsideFile.h"

namespace {

std::string Hex2(uint8_t n) {
    return HexText(&n, 1);
}

bool IsCheckWordPoint(uint64_t nAddr) {
    return nAddr == 0x1FFFE || nAddr == 0x3FFFE || nAddr == 0x7FFFE;
}

} // namespace

struct CImageReader::SRecord {
    enum EKind { DATA, SKIP, END } eKind = SKIP;
    uint64_t nAddress = 0;
    // Intel HEX under a segment base: addresses wrap within the 64 KiB segment.
    uint64_t nSegmentBase = 0;
    bool bSegmentWrap = false;
    std::vector<uint8_t> abData;
};

void CImageReader::Fail(const std::string& strReason) {
    m_nErrorLine = m_nLine;
    m_strErrorReason = strReason;
}

// Decodes the hex digit pairs from nPos to the end of the line.
bool CImageReader::HexBytes(const std::string& strLine, size_t nPos, std::vector<uint8_t>& ab) {
    const size_t nChars = strLine.size() - nPos;
    if (nChars % 2) {
        Fail("odd number of hex digits");
        return false;
    }
    ab.resize(nChars / 2);
    for (size_t i = 0; i < ab.size(); ++i) {
        const int nHi = HexDigitValue(strLine[nPos + 2 * i]);
        const int nLo = HexDigitValue(strLine[nPos + 2 * i + 1]);
        if (nHi < 0 || nLo < 0) {
            Fail("character that is not a hex digit in column " +
                 std::to_string(nPos + 2 * i + (nHi < 0 ? 1 : 2)));
            return false;
        }
        ab[i] = static_cast<uint8_t>(nHi << 4 | nLo);
    }
    return true;
}

// Motorola S-record: type, count, address (2, 3 or 4 bytes), data, checksum.
bool CImageReader::ParseSRecord(const std::string& strLine, SRecord& rec) {
    if (strLine.size() < 2) {
        Fail("record too short");
        return false;
    }
    const char cType = strLine[1];
    if (cType == '7' || cType == '8' || cType == '9') {
        rec.eKind = SRecord::END; // the rest of the line is not read
        return true;
    }
    if (cType < '0' || cType > '6' || cType == '4') {
        Fail(std::string("unknown S-record type S") + cType);
        return false;
    }
    std::vector<uint8_t> ab;
    if (!HexBytes(strLine, 2, ab)) return false;
    if (ab.empty()) {
        Fail("record too short");
        return false;
    }
    const size_t nCount = ab[0];
    if (ab.size() != nCount + 1) {
        Fail("record holds " + std::to_string(ab.size() - 1) +
             " bytes after its count, count says " + std::to_string(nCount));
        return false;
    }
    const size_t nAddrLen = cType == '2' ? 3 : cType == '3' ? 4 : 2;
    if (nCount < nAddrLen + 1) {
        Fail("record count too small for its address");
        return false;
    }
    unsigned nSum = 0;
    for (size_t i = 0; i < nCount; ++i)
        nSum += ab[i];
    const uint8_t nExpected = static_cast<uint8_t>(~nSum & 0xFF);
    if (ab[nCount] != nExpected) {
        Fail("record checksum is " + Hex2(ab[nCount]) + ", expected " + Hex2(nExpected));
        return false;
    }
    if (cType == '0' || cType == '5' || cType == '6') return true; // header or count: skipped
    for (size_t i = 0; i < nAddrLen; ++i)
        rec.nAddress = rec.nAddress << 8 | ab[1 + i];
    rec.eKind = SRecord::DATA;
    rec.abData.assign(ab.begin() + static_cast<long>(1 + nAddrLen), ab.end() - 1);
    return true;
}

// Intel HEX: length, address (2), type, data, checksum.
bool CImageReader::ParseIntelHex(const std::string& strLine, SRecord& rec) {
    std::vector<uint8_t> ab;
    if (!HexBytes(strLine, 1, ab)) return false;
    if (ab.size() < 5) {
        Fail("record too short");
        return false;
    }
    const size_t nLen = ab[0];
    if (ab.size() != nLen + 5) {
        Fail("record holds " + std::to_string(ab.size() - 5) + " data bytes, length says " +
             std::to_string(nLen));
        return false;
    }
    unsigned nSum = 0;
    for (size_t i = 0; i < nLen + 4; ++i)
        nSum += ab[i];
    const uint8_t nExpected = static_cast<uint8_t>((0x100 - (nSum & 0xFF)) & 0xFF);
    if (ab[nLen + 4] != nExpected) {
        Fail("record checksum is " + Hex2(ab[nLen + 4]) + ", expected " + Hex2(nExpected));
        return false;
    }
    const unsigned nOffset = static_cast<unsigned>(ab[1] << 8 | ab[2]);
    const uint8_t nType = ab[3];
    switch (nType) {
    case 0x00:
        if (nLen == 0) {
            rec.eKind = SRecord::END;
            return true;
        }
        rec.eKind = SRecord::DATA;
        rec.nAddress = m_nExtBase + nOffset;
        rec.nSegmentBase = m_nExtBase;
        rec.bSegmentWrap = m_bSegmentBase;
        rec.abData.assign(ab.begin() + 4, ab.begin() + static_cast<long>(4 + nLen));
        return true;
    case 0x01:
        rec.eKind = SRecord::END;
        return true;
    case 0x02:
    case 0x04:
        if (nLen != 2) {
            Fail("extended address record must hold 2 bytes");
            return false;
        }
        m_nExtBase = static_cast<uint64_t>(ab[4] << 8 | ab[5]) << (nType == 0x02 ? 4 : 16);
        m_bSegmentBase = nType == 0x02;
        return true;
    case 0x03:
    case 0x05:
        return true; // start addresses: nothing to load
    default:
        Fail("unknown Intel HEX record type " + Hex2(nType));
        return false;
    }
}

// One line, by its start character, into a record.
bool CImageReader::ParseLine(const std::string& strLine, SRecord& rec) {
    rec = SRecord{};
    if (strLine.empty()) {
        Fail("empty line where a record should start");
        return false;
    }
    if (strLine[0] == 'S') return ParseSRecord(strLine, rec);
    if (strLine[0] == ':') return ParseIntelHex(strLine, rec);
    Fail("a record must start with 'S' or ':'");
    return false;
}

int CImageReader::SendBlock(const SendFn& fnSend) {
    m_abBlock[0] = 0;
    m_abBlock[1] = static_cast<uint8_t>((m_nBlockStart >> 16) & 0x07);
    m_abBlock[2] = static_cast<uint8_t>(m_nBlockStart >> 8);
    m_abBlock[3] = static_cast<uint8_t>(m_nBlockStart);
    const int nResult = fnSend(m_abBlock, loadblock::LOAD_HEADER + m_nBlockLen);
    if (nResult == 0) {
        ++m_nBlocksSent;
        m_nBytesSent += m_nBlockLen;
        m_nBlockLen = 0;
    }
    return nResult;
}

// The check word is the two bytes at a capture point and the address after it,
// wherever the records split them.
void CImageReader::TakeCheckWordByte(uint64_t nAddr, uint8_t nByte, bool bStartsHere) {
    if (m_bCheckHighHeld && nAddr == m_nCheckHighAt + 1) {
        m_nCheckWord = static_cast<uint16_t>(m_nCheckHigh << 8 | nByte);
        m_bCheckWordFound = true;
    }
    // 0xFFFE counts only where a record or a resumed block starts.
    m_bCheckHighHeld = IsCheckWordPoint(nAddr) || (nAddr == 0xFFFE && bStartsHere);
    m_nCheckHighAt = nAddr;
    m_nCheckHigh = nByte;
}

int CImageReader::PlaceRecord(const SRecord& rec, const SendFn& fnSend) {
    if (!m_bExpectedSet) {
        m_bExpectedSet = true;
        m_nExpected = rec.nAddress;
    }
    // Bytes at 0x80000 and above cannot be announced by a block header: drop them.
    if (rec.nAddress >= loadblock::LOAD_ADDR_LIMIT) return OK;
    size_t nCount = rec.abData.size();
    if (rec.nAddress + nCount > loadblock::LOAD_ADDR_LIMIT)
        nCount = static_cast<size_t>(loadblock::LOAD_ADDR_LIMIT - rec.nAddress);

    uint64_t nCur = rec.nAddress;
    if (m_nBlockLen != 0 && nCur != m_nExpected) {
        if (const int nResult = SendBlock(fnSend)) return nResult;
    }
    if (m_nBlockLen == 0) {
        m_nBlockStart = static_cast<uint32_t>(nCur);
        m_nExpected = nCur;
    }
    for (size_t i = 0; i < nCount; ++i) {
        bool bStartsHere = i == 0;
        if (m_nBlockLen == loadblock::LOAD_MAX_BYTES) {
            if (const int nResult = SendBlock(fnSend)) return nResult;
            m_nBlockStart = static_cast<uint32_t>(nCur);
            bStartsHere = true;
        }
        TakeCheckWordByte(nCur, rec.abData[i], bStartsHere);
        m_abBlock[loadblock::LOAD_HEADER + m_nBlockLen++] = rec.abData[i];
        ++nCur;
        ++m_nExpected;
    }
    return OK;
}

// A data record's bytes into blocks; under a segment base the tail wraps to the
// start of the segment.
int CImageReader::PlaceData(SRecord& rec, const SendFn& fnSend) {
    const uint64_t nOffset = rec.nAddress - rec.nSegmentBase;
    if (!rec.bSegmentWrap || nOffset + rec.abData.size() <= 0x10000)
        return PlaceRecord(rec, fnSend);
    SRecord tail;
    tail.eKind = SRecord::DATA;
    tail.nAddress = rec.nSegmentBase;
    const auto nHead = static_cast<long>(0x10000 - nOffset);
    tail.abData.assign(rec.abData.begin() + nHead, rec.abData.end());
    rec.abData.resize(static_cast<size_t>(nHead));
    if (const int nResult = PlaceRecord(rec, fnSend)) return nResult;
    return PlaceRecord(tail, fnSend);
}

int CImageReader::Run(const std::string& strPath, const SendFn& fnSend,
                      const ProgressFn& fnProgress) {
    *this = CImageReader{};
    // Bounded and never blocking: a FIFO, a device or a folder is no image.
    const outside::SFileText file = outside::ReadFile(strPath, MAX_FILE_BYTES);
    if (file.m_eError == outside::EReadError::LineTooLong) {
        m_nLine = file.m_nErrorLine;
        Fail("line longer than " + std::to_string(outside::MAX_LINE_BYTES) + " characters");
        return ERR_FORMAT;
    }
    if (!file.Ok()) {
        m_strErrorReason = file.m_strError;
        return ERR_OPEN;
    }
    return RunText(file.m_strText, fnSend, fnProgress);
}

int CImageReader::RunText(const std::string& strText, const SendFn& fnSend,
                          const ProgressFn& fnProgress) {
    *this = CImageReader{};
    const uint64_t nSize = strText.size();
    size_t nPos = 0; // where the next line starts
    auto sendAndReport = [&](const uint8_t* pBlock, size_t nLen) {
        const int nResult = fnSend(pBlock, nLen);
        if (nResult == 0 && fnProgress) fnProgress(std::min<uint64_t>(nPos, nSize), nSize);
        return nResult;
    };
    SRecord rec;
    while (nPos < strText.size()) {
        size_t nEnd = strText.find('\n', nPos);
        if (nEnd == std::string::npos) nEnd = strText.size();
        std::string strLine = strText.substr(nPos, nEnd - nPos);
        nPos = nEnd + 1;
        ++m_nLine;
        if (!strLine.empty() && strLine.back() == '\r') strLine.pop_back();
        if (!ParseLine(strLine, rec)) return ERR_FORMAT;
        if (rec.eKind == SRecord::END) break;
        if (rec.eKind == SRecord::SKIP) continue;
        if (rec.abData.empty()) {
            // A data record without data ends the image.
            if (!m_bExpectedSet) {
                m_bExpectedSet = true;
                m_nExpected = rec.nAddress;
            }
            break;
        }
        if (const int nResult = PlaceData(rec, sendAndReport)) return nResult;
    }
    if (m_nBlockLen != 0) {
        if (const int nResult = SendBlock(sendAndReport)) return nResult;
    }
    if (fnProgress) fnProgress(nSize, nSize);
    return OK;
}

std::string CImageCheck::Describe() const {
    if (m_nResult == CImageReader::ERR_OPEN) return m_strReason;
    if (m_nResult == CImageReader::ERR_FORMAT)
        return "line " + std::to_string(m_nLine) + ": " + m_strReason;
    return "ok";
}

std::string CImageCheck::FormatErrorMessage() const {
    return txt::IMAGE_ERROR_PREFIX + std::to_string(m_nLine) + ": " + m_strReason;
}

namespace {

CImageCheck CheckOf(const CImageReader& reader, int nResult) {
    CImageCheck check;
    check.m_nResult = nResult;
    check.m_nLine = reader.ErrorLine();
    check.m_strReason = reader.ErrorReason();
    check.m_nBlocks = reader.BlocksSent();
    check.m_nBytes = reader.BytesSent();
    check.m_nCheckWord = reader.CheckWord();
    check.m_bCheckWordFound = reader.CheckWordFound();
    return check;
}

} // namespace

CImageCheck ValidateImage(const std::string& strPath) {
    return ReadImage(strPath)->m_check;
}

std::shared_ptr<const CLoadImage> ReadImage(const std::string& strPath) {
    auto pImage = std::make_shared<CLoadImage>();
    pImage->m_strPath = strPath;
    CImageReader reader;
    const int nResult = reader.Run(strPath, [&](const uint8_t* pBlock, size_t nLen) {
        pImage->m_abBlocks.insert(pImage->m_abBlocks.end(), pBlock, pBlock + nLen);
        pImage->m_anBlockLen.push_back(nLen);
        return 0;
    });
    pImage->m_check = CheckOf(reader, nResult);
    if (nResult != CImageReader::OK) {
        pImage->m_abBlocks.clear();
        pImage->m_anBlockLen.clear();
    }
    return pImage;
}

int CLoadImage::Send(const CImageReader::SendFn& fnSend,
                     const CImageReader::ProgressFn& fnProgress) const {
    size_t nDone = 0;
    for (const size_t nLen : m_anBlockLen) {
        if (const int nResult = fnSend(m_abBlocks.data() + nDone, nLen)) return nResult;
        nDone += nLen;
        if (fnProgress) fnProgress(nDone, m_abBlocks.size());
    }
    return 0;
}
