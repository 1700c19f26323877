#include "cli/Fields.h"
#include "cli/TextForms.h"

#include <algorithm>
#include <charconv>

#include "platform/HexText.h"
#include "platform/OutsideFile.h"

namespace {

using N = NetParams;
using P = CUnitProperties;

const std::vector<SField> s_fields = {
    {"ip", EFieldKind::Address, N::OFS_IP, true, false, false},
    {"mask", EFieldKind::Address, N::OFS_MASK, true, false, false},
    {"gateway", EFieldKind::Address, N::OFS_GATEWAY, true, false, false},
    {"port", EFieldKind::Number16, N::OFS_PORT, false, false, false},
    {"timeout", EFieldKind::Number16, N::OFS_TIMEOUT, false, false, false},
    {"des-key", EFieldKind::Key, N::OFS_DES_KEY, true, true, false},
    {"tdes-key1", EFieldKind::Key, N::OFS_TDES_KEY1, true, true, false},
    {"tdes-key2", EFieldKind::Key, N::OFS_TDES_KEY2, true, true, false},
    {"tdes-key3", EFieldKind::Key, N::OFS_TDES_KEY3, true, true, false},
    {"baud", EFieldKind::Baud, N::OFS_SCP_FLAGS1, false, false, true},
    {"parity-off", EFieldKind::Switch, N::OFS_SCP_FLAGS1, false, false, true, &P::m_bParityOff},
    {"cts", EFieldKind::Switch, N::OFS_SCP_FLAGS1, false, false, true, &P::m_bCts},
    {"encryption", EFieldKind::Switch, N::OFS_SCP_FLAGS1, false, false, true, &P::m_bEncryption},
    {"auto-backup", EFieldKind::Switch, N::OFS_SCP_FLAGS2, false, false, true, &P::m_bAutoBackup},
    {"unit-comm-addr", EFieldKind::CommAddr, N::OFS_UNIT_COMM_ADDR, false, false, true},
};

bool ParseUnsigned(const std::string& str, unsigned nMax, unsigned& nOut) {
    if (str.empty() || str.size() > 10) return false;
    auto [p, ec] = std::from_chars(str.data(), str.data() + str.size(), nOut);
    return ec == std::errc() && p == str.data() + str.size() && nOut <= nMax;
}

bool ParseSwitch(const std::string& str, bool& bOut) {
    static const char* const s_apszOn[] = {"1", "on", "yes", "true"};
    static const char* const s_apszOff[] = {"0", "off", "no", "false"};
    for (size_t i = 0; i < 4; ++i) {
        if (str == s_apszOn[i] || str == s_apszOff[i]) {
            bOut = str == s_apszOn[i];
            return true;
        }
    }
    return false;
}

int HexDigit(char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                  : -1;
}

// Exactly 16 hex digits, any of them 0: an empty key field of the desktop stores zero
// bytes, so real units hold such keys, and a saved file must restore them.
bool ParseKey(const std::string& str, std::array<uint8_t, 8>& ab) {
    if (str.size() != 16) return false;
    for (size_t i = 0; i < 16; ++i) {
        const int d = HexDigit(str[i]);
        if (d < 0) return false;
        ab[i / 2] = static_cast<uint8_t>(i % 2 ? (ab[i / 2] & 0xF0) | d : d << 4);
    }
    return true;
}

} // namespace

const std::vector<SField>& FieldTable() {
    return s_fields;
}

const SField* FindField(const std::string& strName) {
    const auto it = std::find_if(s_fields.begin(), s_fields.end(),
                                 [&](const SField& f) { return strName == f.m_pszName; });
    return it == s_fields.end() ? nullptr : &*it;
}

bool IsSecretField(const std::string& strName) {
    const SField* pField = FindField(strName);
    return pField && pField->m_bSecret;
}

std::string ShownArgument(const std::string& strArg) {
    for (const auto& f : s_fields)
        if (f.m_bSecret && strArg.find(f.m_pszName) != std::string::npos) return f.m_pszName;
    // A run of 16 hex digits may be a key typed where a name belongs.
    size_t nRun = 0;
    for (const char c : strArg) {
        nRun = HexDigit(c) >= 0 ? nRun + 1 : 0;
        if (nRun >= 16) return "(a value)";
    }
    return outside::Printable(strArg);
}

std::string FieldNames(bool bProperties) {
    std::string str;
    for (const auto& f : s_fields)
        if (f.m_bProperty == bProperties)
            str += (str.empty() ? "" : ", ") + std::string(f.m_pszName);
    return str;
}

bool ParseFieldValue(const SField& field, const std::string& strValue, SFieldValue& value,
                     std::string& strWhy) {
    value = {};
    value.m_pField = &field;
    unsigned n = 0;
    bool b = false;
    switch (field.m_eKind) {
    case EFieldKind::Address: {
        NetParams tmp;
        strWhy = "an address is four numbers 0..255 joined by dots";
        if (!tmp.SetDottedAt(0, strValue)) return false;
        std::copy(tmp.Data(), tmp.Data() + 4, value.m_ab.begin());
        return true;
    }
    case EFieldKind::Number16:
        strWhy = "a number 0..65535";
        if (!ParseUnsigned(strValue, 65535, n)) return false;
        value.m_n = n;
        return true;
    case EFieldKind::Key:
        strWhy = "a key is exactly 16 hex digits";
        return ParseKey(strValue, value.m_ab);
    case EFieldKind::Baud: {
        strWhy = "one of " + LineBaudList();
        const auto* pEnd = std::end(UNIT_BAUD_RATES);
        const auto* p = std::find_if(std::begin(UNIT_BAUD_RATES), pEnd,
                                     [&](const char* psz) { return strValue == psz; });
        value.m_n = static_cast<uint32_t>(p - std::begin(UNIT_BAUD_RATES));
        return p != pEnd;
    }
    case EFieldKind::Switch:
        strWhy = "on or off";
        if (!ParseSwitch(strValue, b)) return false;
        value.m_n = b;
        return true;
    case EFieldKind::CommAddr:
        strWhy = "a number 0..15";
        if (!ParseUnsigned(strValue, 15, n)) return false;
        value.m_n = n;
        return true;
    }
    return false;
}

void StoreField(const SFieldValue& value, NetParams& rec) {
    const SField& f = *value.m_pField;
    if (f.m_eKind == EFieldKind::Address || f.m_eKind == EFieldKind::Key)
        std::copy_n(value.m_ab.begin(), f.m_eKind == EFieldKind::Key ? NetParams::KEY_LEN : 4,
                    rec.Data() + f.m_nOffset);
    else if (f.m_eKind == EFieldKind::Number16)
        rec.SetU16(f.m_nOffset, static_cast<uint16_t>(value.m_n));
}

void StoreProperty(const SFieldValue& value, CUnitProperties& props) {
    const SField& f = *value.m_pField;
    if (f.m_eKind == EFieldKind::Baud)
        props.m_nBaudCode = static_cast<uint8_t>(value.m_n);
    else if (f.m_eKind == EFieldKind::CommAddr)
        props.m_nCommAddr = static_cast<uint8_t>(value.m_n);
    else if (f.m_pbSwitch)
        props.*f.m_pbSwitch = value.m_n != 0;
}

nlohmann::ordered_json RecordJson(const NetParams& rec, bool bProperties, bool bMaskSecrets) {
    nlohmann::ordered_json j;
    const auto props =
        CUnitProperties::Decode(rec[NetParams::OFS_SCP_FLAGS1], rec[NetParams::OFS_SCP_FLAGS2],
                                rec[NetParams::OFS_UNIT_COMM_ADDR]);
    for (const auto& f : s_fields) {
        if (f.m_bProperty && !bProperties) continue;
        auto& v = j[f.m_pszName];
        switch (f.m_eKind) {
        case EFieldKind::Address:
            v = rec.DottedAt(f.m_nOffset);
            break;
        case EFieldKind::Number16:
            v = rec.GetU16(f.m_nOffset);
            break;
        case EFieldKind::Key:
            v = bMaskSecrets ? std::string("(key)") : HexText(rec.Data() + f.m_nOffset, 8);
            break;
        case EFieldKind::Baud:
            v = std::stoi(UNIT_BAUD_RATES[props.m_nBaudCode & CUnitProperties::BAUD_MASK]);
            break;
        case EFieldKind::Switch:
            v = props.*f.m_pbSwitch;
            break;
        case EFieldKind::CommAddr:
            v = props.m_nCommAddr;
            break;
        }
    }
    return j;
}
