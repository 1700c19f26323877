#include "cli/FieldEdits.h"

#include <algorithm>

#include "platform/OutsideFile.h"

bool CFieldEdits::Parse(const std::vector<std::string>& assignments, std::string& strError) {
    m_values.clear();
    for (const auto& strArg : assignments) {
        const auto nEq = strArg.find('=');
        if (nEq == std::string::npos || nEq == 0) {
            strError = "'" + ShownArgument(strArg) + "' is not FIELD=VALUE";
            return false;
        }
        const std::string strField = strArg.substr(0, nEq);
        const std::string strValue = strArg.substr(nEq + 1);
        const SField* pField = FindField(strField);
        if (!pField) {
            strError = "unknown field '" + ShownArgument(strField) + "'";
            return false;
        }
        if (m_values.count(strField)) {
            strError = "field '" + strField + "' given twice";
            return false;
        }
        SFieldValue value;
        std::string strWhy;
        if (!ParseFieldValue(*pField, strValue, value, strWhy)) {
            strError = pField->m_bSecret ? "bad value for " + strField + ": " + strWhy
                                         : "bad value '" + outside::Printable(strValue) + "' for " +
                                               strField + ": " + strWhy;
            return false;
        }
        m_values[strField] = value;
    }
    return true;
}

bool CFieldEdits::Has(bool (*fnWhich)(const SField&)) const {
    return std::any_of(m_values.begin(), m_values.end(),
                       [&](const auto& kv) { return fnWhich(*kv.second.m_pField); });
}

bool CFieldEdits::HasAddressFields() const {
    return Has([](const SField& f) { return f.m_eKind == EFieldKind::Address; });
}

bool CFieldEdits::HasKeyFields() const {
    return Has([](const SField& f) { return f.m_eKind == EFieldKind::Key; });
}

bool CFieldEdits::HasPropertyFields() const {
    return Has([](const SField& f) { return f.m_bProperty; });
}

void CFieldEdits::ApplyNetwork(NetParams& rec) const {
    for (const auto& kv : m_values)
        StoreField(kv.second, rec);
    for (size_t i = NetParams::OFS_RESERVED; i < NetParams::OFS_COMM_ADDR; ++i)
        rec[i] = 0;
}

void CFieldEdits::MarkFromFile(const std::vector<std::string>& fields) {
    m_fromFile.insert(fields.begin(), fields.end());
}

void CFieldEdits::DropUnchanged(const NetParams& rec) {
    for (auto it = m_values.begin(); it != m_values.end();) {
        NetParams changed = rec;
        StoreField(it->second, changed);
        if (it->second.m_pField->m_bLockable && m_fromFile.count(it->first) && changed == rec)
            it = m_values.erase(it);
        else
            ++it;
    }
}

bool CFieldEdits::NetworkHeld(const NetParams& rec) const {
    NetParams changed = rec;
    for (const auto& kv : m_values)
        StoreField(kv.second, changed);
    return changed == rec;
}

bool CFieldEdits::PropertiesHeld(const uint8_t* pPlain) const {
    uint8_t abCopy[NetParams::OFS_UNIT_COMM_ADDR + 1];
    std::copy(pPlain, pPlain + sizeof abCopy, abCopy);
    ApplyProperties(abCopy);
    // Compared as decoded: the encoding drops bits no field names.
    const auto held = CUnitProperties::Decode(pPlain[24], pPlain[25], pPlain[28]);
    const auto asked = CUnitProperties::Decode(abCopy[24], abCopy[25], abCopy[28]);
    return held.m_nBaudCode == asked.m_nBaudCode && held.m_bEncryption == asked.m_bEncryption &&
           held.m_bCts == asked.m_bCts && held.m_bParityOff == asked.m_bParityOff &&
           held.m_bAutoBackup == asked.m_bAutoBackup && held.m_nCommAddr == asked.m_nCommAddr;
}

std::vector<std::string> MergeAssignments(const std::vector<std::vector<std::string>>& lists) {
    std::vector<std::string> merged;
    std::map<std::string, size_t> at; // field -> index in merged
    for (const auto& list : lists) {
        for (const auto& str : list) {
            const std::string strField = str.substr(0, str.find('='));
            if (auto it = at.find(strField); it != at.end()) {
                merged[it->second] = str;
            } else {
                at[strField] = merged.size();
                merged.push_back(str);
            }
        }
    }
    return merged;
}

void CFieldEdits::ApplyProperties(uint8_t* pPlain) const {
    if (!HasPropertyFields()) return;
    // Decode what the unit holds, as the properties dialog shows it, change the named
    // fields, and encode as its OK does (dial-up backup is always written off).
    CUnitProperties props = CUnitProperties::Decode(pPlain[24], pPlain[25], pPlain[28]);
    for (const auto& kv : m_values)
        if (kv.second.m_pField->m_bProperty) StoreProperty(kv.second, props);
    props.Encode(pPlain[24], pPlain[25], pPlain[28]);
}
