// The fleet CSV file as velorctl --fleet reads it: any bytes, parsed; an accepted
// file lists units, each one name once.

#include <set>
#include <string>

#include "FuzzCommon.h"
#include "cli/Fleet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    const std::string strText(reinterpret_cast<const char*>(pData), nSize);
    std::vector<SFleetUnit> units;
    std::string strError;
    if (!ParseFleetText("site.csv", strText, units, strError)) {
        FUZZ_CHECK(!strError.empty());
        return 0;
    }
    FUZZ_CHECK(!units.empty());
    std::set<std::string> keys;
    for (const auto& unit : units) {
        FUZZ_CHECK(!unit.m_strKey.empty());
        FUZZ_CHECK(keys.insert(unit.m_strKey).second);
    }
    return 0;
}
