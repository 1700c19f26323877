#pragma once
// Bytes as hex text, for traces, key fields, images and state dumps.

#include <cstddef>
#include <cstdint>
#include <string>

enum class EHexCase { Upper, Lower };

// Two digits a byte, joined by cSeparator when it is not 0.
inline std::string HexText(const uint8_t* p, size_t n, char cSeparator = 0,
                           EHexCase eCase = EHexCase::Upper) {
    const char* pszDigits = eCase == EHexCase::Upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string str;
    str.reserve(n * 3);
    for (size_t i = 0; i < n; ++i) {
        if (i && cSeparator) str += cSeparator;
        str += pszDigits[p[i] >> 4];
        str += pszDigits[p[i] & 15];
    }
    return str;
}
