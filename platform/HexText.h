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

// The value of one hex digit, -1 for any other character.
inline int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Exactly 2 * n hex digits into n bytes; false (pOut partly written) otherwise.
inline bool ParseHexText(const std::string& strText, uint8_t* pOut, size_t n) {
    if (strText.size() != 2 * n) return false;
    for (size_t i = 0; i < n; ++i) {
        const int nHi = HexDigitValue(strText[2 * i]), nLo = HexDigitValue(strText[2 * i + 1]);
        if (nHi < 0 || nLo < 0) return false;
        pOut[i] = static_cast<uint8_t>(nHi << 4 | nLo);
    }
    return true;
}
