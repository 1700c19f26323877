#pragma once
// Load blocks, as the image reader hands them out and both downloads send them:
// 4 header bytes (byte 0 = 0, bytes 1..3 the 19-bit start address), then up to 234
// image bytes of consecutive addresses.

#include <cstddef>
#include <cstdint>

namespace loadblock {

constexpr size_t LOAD_HEADER = 4;
constexpr size_t LOAD_MAX_BYTES = 234;
constexpr uint32_t LOAD_ADDR_LIMIT = 0x80000;
// The end-of-load block: header bytes 1..3 all FF, no image bytes.
constexpr uint8_t END_OF_LOAD[LOAD_HEADER] = {0x00, 0xFF, 0xFF, 0xFF};
inline bool IsEndOfLoad(const uint8_t* pBlock, size_t n) {
    return n == LOAD_HEADER && pBlock[1] == 0xFF && pBlock[2] == 0xFF && pBlock[3] == 0xFF;
}
inline uint32_t LoadAddress(const uint8_t* pBlock) {
    return static_cast<uint32_t>((pBlock[1] & 0x07) << 16 | pBlock[2] << 8 | pBlock[3]);
}

} // namespace loadblock
