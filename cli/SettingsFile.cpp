#include "cli/SettingsFile.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "cli/FieldEdits.h"
#include "platform/OutsideFile.h"

namespace {

// The keys `read --json` adds that describe the unit rather than set it.
const std::vector<std::string> s_unitOwn = {"serial-number", "keys-enabled", "properties-mode"};

// A saved record is well under a kilobyte; anything this large is not one.
constexpr size_t MAX_FILE_BYTES = 1 << 20;
// A saved record is one flat object; a deeper file is not one, and is refused before
// anything is built from it.
constexpr int MAX_DEPTH = 4;

using json = nlohmann::ordered_json;

// The text write takes for a value from the file.
std::string AssignedText(const json& v) {
    return v.is_string()    ? v.get<std::string>()
           : v.is_boolean() ? (v.get<bool>() ? "on" : "off")
                            : v.dump();
}

} // namespace

bool ReadSettingsFile(const std::string& strPath, SSettingsFile& file, std::string& strError) {
    file = {};
    const std::string strName = strPath == "-" ? "stdin" : outside::Printable(strPath);
    const outside::SFileText text =
        outside::ReadFile(strPath, MAX_FILE_BYTES, outside::MAX_LINE_BYTES, /*stdin*/ true);
    if (!text.Ok()) {
        strError = outside::Printable(text.m_strError);
        return false;
    }
    bool bTooDeep = false;
    const json::parser_callback_t fnDepth = [&](int nDepth, json::parse_event_t eEvent, json&) {
        const bool bOpen = eEvent == json::parse_event_t::object_start ||
                           eEvent == json::parse_event_t::array_start;
        if (bOpen && nDepth >= MAX_DEPTH) bTooDeep = true;
        return !bTooDeep;
    };
    const json j = json::parse(text.m_strText, fnDepth, false);
    if (bTooDeep) {
        strError = strName + ": nested deeper than a unit's settings ever are";
        return false;
    }
    if (j.is_discarded() || !j.is_object()) {
        strError = strName + ": not a JSON object as `velorctl read --json` prints it";
        return false;
    }
    std::string strUnknown;
    size_t nUnknown = 0;
    for (auto it = j.begin(); it != j.end(); ++it) {
        const std::string& strKey = it.key();
        if (std::find(s_unitOwn.begin(), s_unitOwn.end(), strKey) != s_unitOwn.end()) {
            file.m_ignored.push_back(strKey);
        } else if (!FindField(strKey)) {
            strUnknown += (nUnknown++ ? ", '" : "'") + ShownArgument(strKey) + "'";
        } else if (it->is_structured() || it->is_null()) {
            strError = strName + ": " + strKey + " is a list, an object or null, not a value";
            return false;
        } else {
            file.m_assignments.push_back(strKey + "=" + AssignedText(*it));
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
