#pragma once
// The one row format every benchmark prints, so that scripts/bench.sh gathers the
// rows of all bench_* programs into one table. A row is one line on stdout:
//
//   row<TAB>what<TAB>median<TAB>spread<TAB>target<TAB>met<TAB>basis
//
// median and spread (min..max) are taken over the rounds, each round measuring the
// program and its floor one right after the other; met is yes, no or "-" for a row
// that has no target. Everything else a benchmark prints goes to stderr.

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace bench {

inline double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

enum class ETarget { None, AtMost, AtLeast };

struct SRow {
    SRow() = default;
    SRow(std::string strWhat, std::string strUnit)
        : m_strWhat(std::move(strWhat)), m_strUnit(std::move(strUnit)) {}

    std::string m_strWhat;
    std::vector<double> m_samples; // one per round, in m_strUnit
    std::string m_strUnit;         // "%", "ms", "MB", "x" (a ratio)
    ETarget m_eTarget = ETarget::None;
    double m_dTarget = 0;
    std::string m_strBasis; // what the value is measured against
    int m_nDecimals = 2;
    // The value is the worst round's, not the median: a target to be met in every round.
    bool m_bEveryRound = false;
};

inline std::string Fixed(double d, int nDecimals) {
    char sz[64];
    std::snprintf(sz, sizeof sz, "%.*f", nDecimals, d);
    return sz;
}

inline void Print(const SRow& row) {
    const auto [itMin, itMax] = std::minmax_element(row.m_samples.begin(), row.m_samples.end());
    const double dMedian = !row.m_bEveryRound || row.m_samples.empty() ? Median(row.m_samples)
                           : row.m_eTarget == ETarget::AtLeast         ? *itMin
                                                                       : *itMax;
    const std::string strUnit = row.m_strUnit == "x" ? "" : " " + row.m_strUnit;
    const std::string strSpread = row.m_samples.empty()
                                      ? "-"
                                      : Fixed(*itMin, row.m_nDecimals) + ".." +
                                            Fixed(*itMax, row.m_nDecimals) + " (" +
                                            std::to_string(row.m_samples.size()) + " rounds)";
    std::string strTarget = "-", strMet = "-";
    if (row.m_eTarget != ETarget::None) {
        strTarget = (row.m_eTarget == ETarget::AtMost ? "<= " : ">= ") +
                    Fixed(row.m_dTarget, row.m_nDecimals) + strUnit;
        const bool bMet =
            !row.m_samples.empty() && (row.m_eTarget == ETarget::AtMost ? dMedian <= row.m_dTarget
                                                                        : dMedian >= row.m_dTarget);
        strMet = bMet ? "yes" : "no";
    }
    std::printf("row\t%s\t%s%s\t%s\t%s\t%s\t%s\n", row.m_strWhat.c_str(),
                Fixed(dMedian, row.m_nDecimals).c_str(), strUnit.c_str(), strSpread.c_str(),
                strTarget.c_str(), strMet.c_str(), row.m_strBasis.c_str());
    std::fflush(stdout);
}

} // namespace bench
