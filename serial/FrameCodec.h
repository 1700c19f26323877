#pragma once
// The one frame layout both links and the simulated unit use:
//   0 FE | 1 address | 2 length | 3 control | 4 header sum | 5 command | 6 count n |
//   7.. data | 7+n data sum
// The length counts the bytes after the header sum; 0 for an empty frame.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "params/UnitStatus.h"

namespace frame {

constexpr uint8_t START = 0xFE;
constexpr size_t HEADER_LEN = 5;
constexpr size_t OFS_ADDR = 1;
constexpr size_t OFS_LEN = 2;
constexpr size_t OFS_CONTROL = 3;
constexpr size_t OFS_HSUM = 4;
constexpr size_t OFS_CMD = 5;
constexpr size_t OFS_COUNT = 6;
constexpr size_t OFS_DATA = 7;
constexpr size_t MAX_FRAME = HEADER_LEN + 255; // 260
// The reply buffer of both links: the header and up to 252 more bytes.
constexpr size_t REPLY_BUFFER = 257;
constexpr size_t MAX_DATA = 252;

// Control byte of a request: bit 0 = carries a command, bits 3..5 = sequence.
constexpr uint8_t CTL_COMMAND = 0x01;
// Control byte of a reply.
constexpr uint8_t CTL_DATA_SUM = 0x01; // the data part ends in its checksum
constexpr uint8_t CTL_RESYNC = 0x10;   // start the sequence again at 0
constexpr uint8_t CTL_INVALID = 0xE0;  // never set in a good reply

// Command codes.
constexpr uint8_t CMD_STATUS = 0x70;
constexpr uint8_t CMD_LOAD = 0x8E;
constexpr uint8_t CMD_RESET = 0x8F;
constexpr uint8_t CMD_READ_PARAMS = 0x91;
constexpr uint8_t CMD_WRITE_PARAMS = 0x92;

// Reply check results.
constexpr int OK = 0;
constexpr int ERR_NO_REPLY = 6;
constexpr int ERR_SHORT = 7;
constexpr int ERR_INVALID = 8;
constexpr int ERR_RESYNC = 21;

// Low 8 bits of the sum of n bytes.
uint8_t Sum8(const uint8_t* p, size_t n);

// Sequence rule: 0, 8, ..., 56, then 8 again (0 only right after a reset).
constexpr uint32_t NextSequence(uint32_t nSeq) {
    return nSeq == 56 ? 8 : nSeq + 8;
}

// Lays out a request. nSize is 0 for an empty frame, otherwise 2 + data count
// (command byte and count byte included). Returns the bytes on the line (length + 5),
// or 0 when the frame would not fit into nCap bytes or nSize is 1 or above 254.
size_t Build(uint8_t* pBuf, size_t nCap, uint8_t nAddr, uint32_t nSeq, uint8_t nCmd, size_t nSize,
             const uint8_t* pData);

// Checks the 5 header bytes of a reply: 8 for a wrong start byte or header sum,
// 21 (resynchronise) when control bit 4 is set, 8 for any of bits 5..7; else 0.
int CheckHeader(const uint8_t* pHeader);

// True when the reply needs no data check (length 0 or control bit 0 clear) or its
// data sum matches. pFrame holds HEADER_LEN + length bytes.
bool DataSumOk(const uint8_t* pFrame);

// The full reply check of a frame received whole (one datagram). nLen is how many
// bytes were received. Returns 0, 8 or 21; a frame shorter than its length byte
// announces is invalid.
int CheckReply(const uint8_t* pFrame, size_t nLen);

inline uint8_t DataCount(const uint8_t* pFrame) {
    return pFrame[OFS_COUNT];
}
inline const uint8_t* DataOf(const uint8_t* pFrame) {
    return pFrame + OFS_DATA;
}

// The status record of a reply frame of nReceived bytes, or nothing when the frame
// does not carry the whole record.
inline std::optional<status::CUnitStatus> ParseStatusReply(const uint8_t* pFrame,
                                                           size_t nReceived) {
    if (nReceived <= OFS_COUNT) return std::nullopt;
    return status::ParseStatus(pFrame + OFS_DATA, pFrame[OFS_COUNT], nReceived - OFS_DATA);
}

} // namespace frame
