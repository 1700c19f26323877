#include "cli/SettingsFile.h"

#include <algorithm>
#include <fstream>
#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "cli/FieldEdits.h"

namespace {

// The keys `read --json` adds that describe the unit rather than set it.
const std::vector<std::string> s_unitOwn = {"serial-number", "keys-enabled", "properties-mode"};

// A saved record is well under a kilobyte; anything this large is not one.
constexpr size_t MAX_FILE_BYTES = 1 << 20;

bool Known(const std::string& strKey) {
    const auto& net = CFieldEdits::NetworkFieldNames();
    const auto& props = CFieldEdits::PropertyFieldNames();
    return std::find(net.begin(), net.end(), strKey) != net.end() ||
           std::find(props.begin(), props.end(), strKey) != props.end();
}

} // namespace

bool ReadSettingsFile(const std::string& strPath, SSettingsFile& file, std::string& strError) {
    const std::string strName = strPath == "-" ? "stdin" : strPath;
    std::string strText;
    {
        std::ifstream in;
        std::istream* pIn = &std::cin;
        if (strPath != "-") {
            in.open(strPath, std::ios::binary);
            if (!in.is_open()) {
                strError = "cannot open " + strName;
                return false;
            }
            pIn = &in;
        }
        char ab[4096];
        while (strText.size() <= MAX_FILE_BYTES && pIn->read(ab, sizeof ab).gcount() > 0)
            strText.append(ab, static_cast<size_t>(pIn->gcount()));
        if (strText.size() > MAX_FILE_BYTES) {
            strError = strName + ": too large for a unit's settings";
            return false;
        }
    }
    const auto j = nlohmann::ordered_json::parse(strText, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        strError = strName + ": not a JSON object as `velorctl read --json` prints it";
        return false;
    }
    std::string strUnknown;
    size_t nUnknown = 0;
    file = {};
    for (auto it = j.begin(); it != j.end(); ++it) {
        const std::string& strKey = it.key();
        if (std::find(s_unitOwn.begin(), s_unitOwn.end(), strKey) != s_unitOwn.end()) {
            file.m_ignored.push_back(strKey);
        } else if (!Known(strKey)) {
            strUnknown += (nUnknown++ ? ", '" : "'") + strKey + "'";
        } else {
            const std::string strValue = it->is_string()    ? it->get<std::string>()
                                         : it->is_boolean() ? (it->get<bool>() ? "on" : "off")
                                                            : it->dump();
            file.m_assignments.push_back(strKey + "=" + strValue);
        }
    }
    if (!strUnknown.empty()) {
        strError = strName + ": unknown field" + (nUnknown > 1 ? "s " : " ") + strUnknown;
        return false;
    }
    CFieldEdits check;
    if (!check.Parse(file.m_assignments, strError)) {
        strError = strName + ": " + strError;
        return false;
    }
    return true;
}
