#include "cli/FieldEdits.h"

#include <algorithm>
#include <charconv>

namespace {

const std::vector<std::string> s_network = {
    "ip", "mask", "gateway", "port", "timeout", "des-key", "tdes-key1", "tdes-key2", "tdes-key3"};
const std::vector<std::string> s_properties = {"baud",       "parity-off",  "cts",
                                               "encryption", "auto-backup", "unit-comm-addr"};

bool ParseUnsigned(const std::string& str, unsigned nMax, unsigned& nOut) {
    if (str.empty() || str.size() > 10) return false;
    auto [p, ec] = std::from_chars(str.data(), str.data() + str.size(), nOut);
    return ec == std::errc() && p == str.data() + str.size() && nOut <= nMax;
}

bool ParseBool(const std::string& str, bool& bOut) {
    if (str == "1" || str == "on" || str == "yes" || str == "true") {
        bOut = true;
        return true;
    }
    if (str == "0" || str == "off" || str == "no" || str == "false") {
        bOut = false;
        return true;
    }
    return false;
}

// A key as 16 hex digits. The digit 0 is not a key digit for the unit's keys: the
// configuration dialog refuses it, and so do we, rather than write what the dialog
// never would.
bool ParseKey(const std::string& str, uint8_t* pKey, std::string& strWhy) {
    if (str.size() != 16) {
        strWhy = "a key is 16 hex digits";
        return false;
    }
    for (size_t i = 0; i < 16; ++i) {
        const char c = str[i];
        int d = c >= '1' && c <= '9'   ? c - '0'
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c == '0'             ? 0
                                       : -1;
        if (d < 0) {
            strWhy = "a key is 16 hex digits";
            return false;
        }
        if (d == 0) {
            strWhy = "the digit 0 is not allowed in a key";
            return false;
        }
        if (pKey) pKey[i / 2] = static_cast<uint8_t>(i % 2 ? (pKey[i / 2] & 0xF0) | d : d << 4);
    }
    return true;
}

bool Contains(const std::vector<std::string>& v, const std::string& s) {
    return std::find(v.begin(), v.end(), s) != v.end();
}

} // namespace

const std::vector<std::string>& CFieldEdits::NetworkFieldNames() {
    return s_network;
}
const std::vector<std::string>& CFieldEdits::PropertyFieldNames() {
    return s_properties;
}

bool CFieldEdits::Parse(const std::vector<std::string>& assignments, std::string& strError) {
    m_values.clear();
    for (const auto& strArg : assignments) {
        const auto nEq = strArg.find('=');
        if (nEq == std::string::npos || nEq == 0) {
            strError = "'" + strArg + "' is not FIELD=VALUE";
            return false;
        }
        const std::string strField = strArg.substr(0, nEq);
        const std::string strValue = strArg.substr(nEq + 1);
        if (!Contains(s_network, strField) && !Contains(s_properties, strField)) {
            strError = "unknown field '" + strField + "'";
            return false;
        }
        if (m_values.count(strField)) {
            strError = "field '" + strField + "' given twice";
            return false;
        }
        bool bOk = true;
        std::string strWhy;
        unsigned n = 0;
        bool b = false;
        if (strField == "ip" || strField == "mask" || strField == "gateway") {
            NetParams tmp;
            bOk = tmp.SetDottedAt(0, strValue);
            strWhy = "an address is four numbers 0..255 joined by dots";
        } else if (strField == "port" || strField == "timeout") {
            bOk = ParseUnsigned(strValue, 65535, n);
            strWhy = "a number 0..65535";
        } else if (strField.find("key") != std::string::npos) {
            bOk = ParseKey(strValue, nullptr, strWhy);
        } else if (strField == "baud") {
            bOk = std::any_of(std::begin(UNIT_BAUD_RATES), std::end(UNIT_BAUD_RATES),
                              [&](const char* psz) { return strValue == psz; });
            strWhy = "one of 1200 2400 4800 9600 19200 38400 57600 115200";
        } else if (strField == "unit-comm-addr") {
            bOk = ParseUnsigned(strValue, 15, n);
            strWhy = "a number 0..15";
        } else {
            bOk = ParseBool(strValue, b);
            strWhy = "on or off";
        }
        if (!bOk) {
            strError = "bad value '" + strValue + "' for " + strField + ": " + strWhy;
            return false;
        }
        m_values[strField] = strValue;
    }
    return true;
}

bool CFieldEdits::HasAddressFields() const {
    return m_values.count("ip") || m_values.count("mask") || m_values.count("gateway");
}

bool CFieldEdits::HasKeyFields() const {
    return m_values.count("des-key") || m_values.count("tdes-key1") ||
           m_values.count("tdes-key2") || m_values.count("tdes-key3");
}

bool CFieldEdits::HasPropertyFields() const {
    return std::any_of(s_properties.begin(), s_properties.end(),
                       [&](const std::string& s) { return m_values.count(s) != 0; });
}

namespace {
void ApplyNetworkField(NetParams& rec, const std::string& strField, const std::string& strValue) {
    std::string strWhy;
    unsigned n = 0;
    if (strField == "ip")
        rec.SetDottedAt(NetParams::OFS_IP, strValue);
    else if (strField == "mask")
        rec.SetDottedAt(NetParams::OFS_MASK, strValue);
    else if (strField == "gateway")
        rec.SetDottedAt(NetParams::OFS_GATEWAY, strValue);
    else if (strField == "port" && ParseUnsigned(strValue, 65535, n))
        rec.SetPort(static_cast<uint16_t>(n));
    else if (strField == "timeout" && ParseUnsigned(strValue, 65535, n))
        rec.SetTimeout(static_cast<uint16_t>(n));
    else if (strField == "des-key")
        ParseKey(strValue, rec.Data() + NetParams::OFS_DES_KEY, strWhy);
    else if (strField == "tdes-key1")
        ParseKey(strValue, rec.Data() + NetParams::OFS_TDES_KEY1, strWhy);
    else if (strField == "tdes-key2")
        ParseKey(strValue, rec.Data() + NetParams::OFS_TDES_KEY2, strWhy);
    else if (strField == "tdes-key3")
        ParseKey(strValue, rec.Data() + NetParams::OFS_TDES_KEY3, strWhy);
}
} // namespace

void CFieldEdits::ApplyNetwork(NetParams& rec) const {
    for (const auto& [strField, strValue] : m_values)
        ApplyNetworkField(rec, strField, strValue);
    for (size_t i = NetParams::OFS_RESERVED; i < NetParams::OFS_COMM_ADDR; ++i)
        rec[i] = 0;
}

void CFieldEdits::MarkFromFile(const std::vector<std::string>& fields) {
    m_fromFile.insert(fields.begin(), fields.end());
}

void CFieldEdits::DropUnchanged(const NetParams& rec) {
    for (auto it = m_values.begin(); it != m_values.end();) {
        const bool bLockable = it->first == "ip" || it->first == "mask" || it->first == "gateway" ||
                               it->first.find("key") != std::string::npos;
        NetParams changed = rec;
        ApplyNetworkField(changed, it->first, it->second);
        if (bLockable && m_fromFile.count(it->first) && changed == rec)
            it = m_values.erase(it);
        else
            ++it;
    }
}

bool CFieldEdits::NetworkHeld(const NetParams& rec) const {
    NetParams changed = rec;
    for (const auto& [strField, strValue] : m_values)
        ApplyNetworkField(changed, strField, strValue);
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
    // Decode what the unit holds, as the properties dialog shows it ...
    CUnitProperties props = CUnitProperties::Decode(pPlain[24], pPlain[25], pPlain[28]);
    uint8_t& nBaud = props.m_nBaudCode;
    bool& bEncryption = props.m_bEncryption;
    bool& bCts = props.m_bCts;
    bool& bParityOff = props.m_bParityOff;
    bool& bAutoBackup = props.m_bAutoBackup;
    uint8_t& nCommAddr = props.m_nCommAddr;
    // ... change the named fields ...
    for (const auto& [strField, strValue] : m_values) {
        bool b = false;
        unsigned n = 0;
        if (strField == "baud") {
            for (uint8_t i = 0; i < 8; ++i)
                if (strValue == UNIT_BAUD_RATES[i]) nBaud = i;
        } else if (strField == "unit-comm-addr" && ParseUnsigned(strValue, 15, n)) {
            nCommAddr = static_cast<uint8_t>(n);
        } else if (ParseBool(strValue, b)) {
            if (strField == "encryption")
                bEncryption = b;
            else if (strField == "cts")
                bCts = b;
            else if (strField == "parity-off")
                bParityOff = b;
            else if (strField == "auto-backup")
                bAutoBackup = b;
        }
    }
    // ... and encode as its OK does (dial-up backup is always written off).
    props.Encode(pPlain[24], pPlain[25], pPlain[28]);
}
