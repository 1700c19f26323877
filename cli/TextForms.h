#pragma once
// The small text forms velorctl's commands share: four hex digits, a bounded decimal.

#include <cstdio>
#include <string>

// A check word or a USB id: four upper-case hex digits.
inline std::string Hex4(unsigned n) {
    char sz[8];
    std::snprintf(sz, sizeof sz, "%04X", n & 0xFFFF);
    return sz;
}

// Digits only, at most nMaxDigits of them (so no overflow), within nMin..nMax.
inline bool ParseDecimal(const std::string& str, unsigned long nMin, unsigned long nMax,
                         unsigned long& n, size_t nMaxDigits = 5) {
    if (str.empty() || str.size() > nMaxDigits ||
        str.find_first_not_of("0123456789") != std::string::npos)
        return false;
    n = std::stoul(str);
    return n >= nMin && n <= nMax;
}
