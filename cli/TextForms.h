#pragma once
// The small text forms velorctl's commands share: four hex digits, a bounded decimal,
// the serial line's rates and parities.

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

// The serial line rates a unit offers, lowest first.
inline const std::vector<int>& LineBauds() {
    static const std::vector<int> s_bauds = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
    return s_bauds;
}

// "1200 2400 ... 115200", for a message.
inline std::string LineBaudList() {
    std::string str;
    for (const int n : LineBauds())
        str += (str.empty() ? "" : " ") + std::to_string(n);
    return str;
}

// A rate as given on a command line or in a file: its digits exactly ("09600" is none).
inline bool IsLineBaud(const std::string& str) {
    return std::any_of(LineBauds().begin(), LineBauds().end(),
                       [&](int n) { return std::to_string(n) == str; });
}

// The line's parities as velorctl spells them.
inline const std::vector<std::string>& LineParities() {
    static const std::vector<std::string> s_parities = {"none", "odd", "even"};
    return s_parities;
}

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
