#pragma once
// Reads a firmware image (Motorola S-records or Intel HEX) once, record by record,
// and hands out load blocks: 4 header bytes (byte 0 zero, bytes 1..3 the 19-bit
// start address) followed by up to 234 image bytes of consecutive addresses.
// On the way it picks up the image's check word.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class CImageReader {
public:
    // Result codes.
    static constexpr int OK = 0;
    static constexpr int ERR_OPEN = 4;
    static constexpr int ERR_FORMAT = 5;

    // The check word compared when the image reaches none of the capture points:
    // the value erased program memory reads as.
    static constexpr uint16_t CHECK_WORD_NONE = 0xFFFF;

    // Takes one block (header + image bytes, nLen = 4 + k); returns 0 when the unit
    // accepted it, otherwise a code that stops the reader.
    using SendFn = std::function<int(const uint8_t* pBlock, size_t nLen)>;
    // Called after every accepted block with the file bytes read so far and the file size.
    using ProgressFn = std::function<void(uint64_t nDone, uint64_t nTotal)>;

    // Reads the whole image, sending each block. Returns 0, 4 (file not opened, or not
    // a regular file, or too large), 5 (format error) or the send operation's code.
    int Run(const std::string& strPath, const SendFn& fnSend, const ProgressFn& fnProgress = {});
    // The same on the file's text, already read.
    int RunText(const std::string& strText, const SendFn& fnSend,
                const ProgressFn& fnProgress = {});

    // An image file larger than this is not one (a full 512 KiB image as S-records
    // is about 1.3 MB).
    static constexpr size_t MAX_FILE_BYTES = 16u << 20;

    uint16_t CheckWord() const { return m_nCheckWord; }
    bool CheckWordFound() const { return m_bCheckWordFound; }
    // Where and why a format error or open error happened (line counts from 1).
    size_t ErrorLine() const { return m_nErrorLine; }
    const std::string& ErrorReason() const { return m_strErrorReason; }
    // What was handed out by the last run.
    size_t BlocksSent() const { return m_nBlocksSent; }
    size_t BytesSent() const { return m_nBytesSent; }

private:
    struct SRecord;
    bool ParseLine(const std::string& strLine, SRecord& rec);
    bool ParseSRecord(const std::string& strLine, SRecord& rec);
    bool ParseIntelHex(const std::string& strLine, SRecord& rec);
    bool HexBytes(const std::string& strLine, size_t nPos, std::vector<uint8_t>& ab);
    int PlaceData(SRecord& rec, const SendFn& fnSend);
    int PlaceRecord(const SRecord& rec, const SendFn& fnSend);
    int SendBlock(const SendFn& fnSend);
    void Fail(const std::string& strReason);
    void TakeCheckWordByte(uint64_t nAddr, uint8_t nByte, bool bStartsHere);

    uint8_t m_abBlock[4 + 234] = {};
    size_t m_nBlockLen = 0; // image bytes in the block
    uint32_t m_nBlockStart = 0;
    bool m_bExpectedSet = false;
    uint64_t m_nExpected = 0;
    uint64_t m_nExtBase = 0; // Intel HEX extended segment/linear base
    bool m_bSegmentBase = false;
    uint16_t m_nCheckWord = CHECK_WORD_NONE;
    bool m_bCheckWordFound = false;
    bool m_bCheckHighHeld = false; // the byte at a capture point, waiting for the next
    uint64_t m_nCheckHighAt = 0;
    uint8_t m_nCheckHigh = 0;
    size_t m_nLine = 0;
    size_t m_nErrorLine = 0;
    std::string m_strErrorReason;
    size_t m_nBlocksSent = 0;
    size_t m_nBytesSent = 0;
};

// Whole-file validation with the reader's own grammar and rules, run before a
// download sends its first block.
struct CImageCheck {
    int m_nResult = 0; // 0, 4 or 5 as the reader returns them
    size_t m_nLine = 0;
    std::string m_strReason;
    size_t m_nBlocks = 0;
    size_t m_nBytes = 0;
    uint16_t m_nCheckWord = CImageReader::CHECK_WORD_NONE;
    bool m_bCheckWordFound = false;

    bool Ok() const { return m_nResult == 0; }
    // "line 12: record checksum is 3A, expected 3B" or the open failure.
    std::string Describe() const;
    // What a download shows when the file is not a valid image (result 5):
    // "Flash not updated, image file error at line 12: record checksum is 3A, expected 3B"
    std::string FormatErrorMessage() const;
};

CImageCheck ValidateImage(const std::string& strPath);

// An image read once into memory: every unit of a run, on either link, is loaded
// from these same blocks, so a file changed or cut short meanwhile changes nothing.
struct CLoadImage {
    std::string m_strPath;
    CImageCheck m_check;
    std::vector<uint8_t> m_abBlocks;  // the blocks back to back ...
    std::vector<size_t> m_anBlockLen; // ... and the length of each

    // Hands every block to fnSend in order, stopping at the first code that is not 0;
    // fnProgress gets the block bytes done and their total.
    int Send(const CImageReader::SendFn& fnSend,
             const CImageReader::ProgressFn& fnProgress = {}) const;
};

// Reads and checks the file; the result's m_check says whether it is an image.
std::shared_ptr<const CLoadImage> ReadImage(const std::string& strPath);
