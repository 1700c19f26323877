#pragma once
// The FIELD=VALUE assignments of `velorctl write`, checked up front and applied to
// the record (and, in properties mode, to the unit's serial-port properties).

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cli/Fields.h"
#include "params/NetParams.h"
#include "params/UnitStatus.h"

class CFieldEdits {
public:
    // Parses every assignment; false with a message naming the first bad one.
    bool Parse(const std::vector<std::string>& assignments, std::string& strError);

    bool Empty() const { return m_values.empty(); }
    bool HasAddressFields() const;  // ip, mask, gateway
    bool HasKeyFields() const;      // des-key, tdes-key1..3
    bool HasPropertyFields() const; // baud, parity-off, cts, encryption, auto-backup, ...

    // Network fields into the record (what the configuration dialog's OK stores,
    // reserved bytes 53..60 zeroed).
    void ApplyNetwork(NetParams& rec) const;
    // Property fields into a plain text in record layout (bytes 24, 25, 28), encoded
    // as the properties dialog's OK does; nothing when none was named.
    void ApplyProperties(uint8_t* pPlain) const;

    // Fields that came from a saved settings file rather than from the technician.
    void MarkFromFile(const std::vector<std::string>& fields);
    // Drops the address and key fields from the file that the unit already holds:
    // writing back a whole saved file changes nothing the unit locks (address fields
    // in properties mode, keys when they are disabled) unless it really differs.
    void DropUnchanged(const NetParams& rec);
    // The record (or a read plain text's properties) already holds every value named.
    bool NetworkHeld(const NetParams& rec) const;
    bool PropertiesHeld(const uint8_t* pPlain) const;

private:
    bool Has(bool (*fnWhich)(const SField&)) const;

    std::map<std::string, SFieldValue> m_values; // field -> its value, parsed
    std::set<std::string> m_fromFile;
};

// FIELD=VALUE lists merged: a field named in a later list replaces the same field
// named in an earlier one (a saved file, then the command line, then a fleet line).
std::vector<std::string> MergeAssignments(const std::vector<std::vector<std::string>>& lists);
