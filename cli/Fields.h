#pragma once
// The record's fields as velorctl names them: one table that the edits, the output of
// read and write, the help, the settings file, the fleet file and the campaign report
// all loop over. A value is parsed once, into the bytes it stands for.

#include <array>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "params/NetParams.h"
#include "params/UnitStatus.h"

enum class EFieldKind {
    Address,  // four numbers 0..255 joined by dots
    Number16, // 0..65535
    Key,      // exactly 16 hex digits, 0 included: what read prints, write takes back
    Baud,     // one of the unit's baud rates
    Switch,   // on or off
    CommAddr, // 0..15
};

struct SField {
    const char* m_pszName;
    EFieldKind m_eKind;
    size_t m_nOffset; // in the record; a property: the byte that holds it
    bool m_bLockable; // the unit may lock it (addresses in properties mode, keys)
    bool m_bSecret;   // never printed, never in a message, a trace or a report
    bool m_bProperty; // a serial-port property, written in properties mode only
    bool CUnitProperties::*m_pbSwitch = nullptr; // Switch: the property it sets
};

// Every field in the order read prints them.
const std::vector<SField>& FieldTable();
// The field so named, or nullptr.
const SField* FindField(const std::string& strName);
// True for a key field: its value is masked wherever it is shown.
bool IsSecretField(const std::string& strName);
// An argument or a file's name for a field as a message may show it: printable, and
// never what may be a key.
std::string ShownArgument(const std::string& strArg);
// "ip, mask, ..., tdes-key3" (bProperties false) or the property fields.
std::string FieldNames(bool bProperties);

// What a field's value stands for.
struct SFieldValue {
    const SField* m_pField = nullptr;
    uint32_t m_n = 0;                 // Number16, Baud (its code), Switch (0/1), CommAddr
    std::array<uint8_t, 8> m_ab = {}; // Address (4 bytes), Key (8 bytes)
};

// Parses strValue for the field; false with why (never the value).
bool ParseFieldValue(const SField& field, const std::string& strValue, SFieldValue& value,
                     std::string& strWhy);

// A network field's value into the record (properties are applied as decoded, below).
void StoreField(const SFieldValue& value, NetParams& rec);
void StoreProperty(const SFieldValue& value, CUnitProperties& props);

// The record's fields as read prints them; properties only when bProperties, keys as
// "(key)" when bMaskSecrets.
nlohmann::ordered_json RecordJson(const NetParams& rec, bool bProperties, bool bMaskSecrets);
