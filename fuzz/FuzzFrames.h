#pragma once
// Frames written by the fuzzer carry, in each checksum byte, the offset from the right
// sum (0: right): mutations reach past the sums to what the frame carries, and a wrong
// sum stays one mutation away.

#include <cstddef>
#include <cstdint>

#include "serial/FrameCodec.h"

inline uint8_t FuzzSum8(const uint8_t* p, size_t n) {
    unsigned nSum = 0;
    for (size_t i = 0; i < n; ++i)
        nSum += p[i];
    return static_cast<uint8_t>(nSum);
}

// Fills in the header sum and, when the frame holds it, the data sum of the n bytes at
// p; bytes that do not start a frame are left as they are (noise on a line).
inline void SetFrameSums(uint8_t* p, size_t n) {
    if (n < frame::HEADER_LEN || p[0] != frame::START) return;
    p[frame::OFS_HSUM] = static_cast<uint8_t>(p[frame::OFS_HSUM] + FuzzSum8(p, frame::OFS_HSUM));
    const size_t nLen = p[frame::OFS_LEN];
    const size_t nSumAt = frame::HEADER_LEN + nLen - 1;
    if (nLen != 0 && nSumAt < n) p[nSumAt] = static_cast<uint8_t>(p[nSumAt] + FuzzSum8(p, nSumAt));
}
