#pragma once
// Small helpers shared by the tests.

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/HexText.h"
#include "serial/FrameCodec.h"

inline std::vector<uint8_t> FromHex(const std::string& str) {
    std::vector<uint8_t> ab;
    int nHi = -1;
    for (char c : str) {
        int d = (c >= '0' && c <= '9')   ? c - '0'
                : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                         : -1;
        if (d < 0) continue;
        if (nHi < 0) {
            nHi = d;
        } else {
            ab.push_back(static_cast<uint8_t>(nHi << 4 | d));
            nHi = -1;
        }
    }
    return ab;
}

inline std::string ToHex(const uint8_t* p, size_t n) {
    return HexText(p, n, ' ');
}

inline std::string ToHex(const std::vector<uint8_t>& ab) {
    return ToHex(ab.data(), ab.size());
}

// The status record of a whole reply frame; a failure when it holds none.
template <class TFrame> status::CUnitStatus StatusOf(const TFrame& reply) {
    const auto st = frame::ParseStatusReply(reply.data(), reply.size());
    EXPECT_TRUE(st.has_value()) << "not a whole status record";
    return st.value_or(status::CUnitStatus{});
}
