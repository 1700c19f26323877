#include <gtest/gtest.h>

#include "TestUtil.h"
#include "cli/FieldEdits.h"
#include "cli/SettingsFile.h"

#include <fstream>
#include <regex>
#include <sstream>

TEST(FieldEdits, RejectsBadAssignmentsWithAReason) {
    struct SCase {
        std::vector<std::string> args;
        const char* pszWhy;
    };
    const SCase aCases[] = {
        {{"ip"}, "not FIELD=VALUE"},
        {{"=1"}, "not FIELD=VALUE"},
        {{"colour=red"}, "unknown field"},
        {{"ip=1.2.3.256"}, "four numbers"},
        {{"ip=1.2.3"}, "four numbers"},
        {{"port=65536"}, "0..65535"},
        {{"port=-1"}, "0..65535"},
        {{"timeout=12x"}, "0..65535"},
        {{"des-key=123456789ABCDEF"}, "16 hex digits"},
        {{"des-key=123456789ABCDEFG"}, "16 hex digits"},
        {{"baud=300"}, "one of"},
        {{"unit-comm-addr=16"}, "0..15"},
        {{"cts=maybe"}, "on or off"},
        {{"port=1", "port=2"}, "twice"},
    };
    for (const auto& c : aCases) {
        CFieldEdits edits;
        std::string strError;
        EXPECT_FALSE(edits.Parse(c.args, strError)) << c.args[0];
        EXPECT_NE(strError.find(c.pszWhy), std::string::npos) << strError;
    }
}

TEST(FieldEdits, ChangesOnlyTheNamedFields) {
    NetParams rec = NetParams::Defaults();
    for (size_t i = 0; i < NetParams::SIZE; ++i)
        rec[i] = static_cast<uint8_t>(0x40 + i);
    const NetParams before = rec;
    CFieldEdits edits;
    std::string strError;
    ASSERT_TRUE(edits.Parse({"ip=10.1.2.3", "port=4000", "tdes-key1=123456789abcdefF"}, strError))
        << strError;
    EXPECT_TRUE(edits.HasAddressFields());
    EXPECT_TRUE(edits.HasKeyFields());
    EXPECT_FALSE(edits.HasPropertyFields());
    edits.ApplyNetwork(rec);
    EXPECT_EQ(rec.DottedAt(NetParams::OFS_IP), "10.1.2.3");
    EXPECT_EQ(rec.Port(), 4000);
    EXPECT_EQ(ToHex(rec.Data() + NetParams::OFS_TDES_KEY1, 8), "12 34 56 78 9A BC DE FF");
    for (size_t i = 0; i < NetParams::SIZE; ++i) {
        const bool bChanged =
            i < 4 || i == 8 || i == 9 || (i >= 29 && i < 37) || (i >= 53 && i < 61);
        if (!bChanged) EXPECT_EQ(rec[i], before[i]) << i;
    }
    // As the configuration dialog's OK does, the reserved bytes are zeroed.
    for (size_t i = 53; i < 61; ++i)
        EXPECT_EQ(rec[i], 0) << i;
}

TEST(FieldEdits, PropertiesEncodeAsTheDialogDoes) {
    CFieldEdits edits;
    std::string strError;
    ASSERT_TRUE(edits.Parse({"baud=9600", "cts=on", "unit-comm-addr=12"}, strError)) << strError;
    uint8_t ab[64] = {};
    ab[24] = 0x80 | 0x50 | 0x08 | 0x04; // parity off, bits 6 and 4 (cleared), encryption, 115200
    ab[25] = 0xFF;
    ab[28] = 3;
    edits.ApplyProperties(ab);
    EXPECT_EQ(ab[24], 0x80 | 0x20 | 0x08 | 0x07);
    EXPECT_EQ(ab[25], 0x40);
    EXPECT_EQ(ab[28], 12);
    // Without property fields nothing is written.
    CFieldEdits none;
    ASSERT_TRUE(none.Parse({"port=1"}, strError));
    uint8_t ab2[64] = {};
    ab2[24] = 0x50;
    none.ApplyProperties(ab2);
    EXPECT_EQ(ab2[24], 0x50);
}

TEST(FieldEdits, HeldIsEveryNamedValueAlreadyThere) {
    NetParams rec = NetParams::Defaults();
    rec[NetParams::OFS_RESERVED] = 0x5A; // not a field: a write would zero it, yet nothing asked
    CFieldEdits edits;
    std::string strError;
    ASSERT_TRUE(edits.Parse({"ip=" + rec.DottedAt(NetParams::OFS_IP), "port=3001"}, strError));
    EXPECT_TRUE(edits.NetworkHeld(rec));
    ASSERT_TRUE(edits.Parse({"port=3001", "timeout=7"}, strError));
    EXPECT_FALSE(edits.NetworkHeld(rec));

    // Properties compare as the dialog shows them: bits no field names do not count.
    uint8_t ab[64] = {};
    ab[24] = 0x10 | 0x20 | 0x04; // dial-up (never offered), cts, 115200
    ab[28] = 3;
    ASSERT_TRUE(edits.Parse({"cts=on", "baud=115200", "unit-comm-addr=3"}, strError));
    EXPECT_TRUE(edits.PropertiesHeld(ab));
    ASSERT_TRUE(edits.Parse({"cts=on", "encryption=on"}, strError));
    EXPECT_FALSE(edits.PropertiesHeld(ab));
}

TEST(FieldEdits, KeysAreSixteenHexDigitsZeroIncludedAndNeverInAMessage) {
    // What read prints is what write takes back: an empty key field stores zero bytes.
    CFieldEdits edits;
    std::string strError;
    ASSERT_TRUE(edits.Parse({"des-key=0000000000000000", "tdes-key2=1234567890abcdef"}, strError))
        << strError;
    NetParams rec = NetParams::Defaults();
    for (size_t i = 0; i < NetParams::SIZE; ++i)
        rec[i] = 0x55;
    edits.ApplyNetwork(rec);
    EXPECT_EQ(ToHex(rec.Data() + NetParams::OFS_DES_KEY, 8), "00 00 00 00 00 00 00 00");
    EXPECT_EQ(ToHex(rec.Data() + NetParams::OFS_TDES_KEY2, 8), "12 34 56 78 90 AB CD EF");

    // Every refusal of a key names the field and what is wrong, never the value.
    const std::vector<std::vector<std::string>> refused = {
        {"des-key=A1B2C3D4E5F6A7B8F"},   {"tdes-key1=A1B2C3D4E5F6A7BX"},
        {"des-keyA1B2C3D4E5F6A7B8"},     {"A1B2C3D4E5F6A7B8"},
        {"=A1B2C3D4E5F6A7B8"},           {"des_key=A1B2C3D4E5F6A7B8"},
        {"A1B2C3D4E5F6A7B8=des-key"},    {"des-key=A1B2C3D4E5F6A7B8", "des-key=A1B2C3D4E5F6A7B8"},
        {"tdes-key3= A1B2C3D4E5F6A7B8"},
    };
    for (const auto& args : refused) {
        EXPECT_FALSE(edits.Parse(args, strError)) << args[0];
        EXPECT_FALSE(std::regex_search(strError, std::regex("a1b2c3d4e5f6", std::regex::icase)))
            << strError;
        EXPECT_FALSE(strError.empty());
    }
}

TEST(FieldEdits, TheTableIsTheAnsibleModulesFieldMap) {
    std::ifstream in(std::string(VELOR_SOURCE_DIR) +
                     "/integrations/ansible/ansible_collections/velor/units/plugins/modules/"
                     "velor_unit.py");
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string strModule = ss.str();
    const auto nMap = strModule.find("FIELDS = {");
    ASSERT_NE(nMap, std::string::npos);
    const std::string strMap = strModule.substr(nMap, strModule.find('}', nMap) - nMap);
    // "option": ("field", type), the option being the field with '_' for '-'.
    const std::regex entry(R"re("(\w+)": \("([a-z0-9-]+)", (\w+)\))re");
    std::vector<std::string> named;
    for (auto it = std::sregex_iterator(strMap.begin(), strMap.end(), entry);
         it != std::sregex_iterator(); ++it) {
        const std::string strField = (*it)[2], strType = (*it)[3];
        const SField* pField = FindField(strField);
        ASSERT_NE(pField, nullptr) << strField;
        std::string strOption = strField;
        std::replace(strOption.begin(), strOption.end(), '-', '_');
        EXPECT_EQ((*it)[1], strOption);
        const char* pszType =
            pField->m_eKind == EFieldKind::Switch                                          ? "bool"
            : pField->m_eKind == EFieldKind::Address || pField->m_eKind == EFieldKind::Key ? "str"
                                                                                           : "int";
        EXPECT_EQ(strType, pszType) << strField;
        named.push_back(strField);
    }
    ASSERT_EQ(named.size(), FieldTable().size());
    for (size_t i = 0; i < named.size(); ++i)
        EXPECT_EQ(named[i], FieldTable()[i].m_pszName);
    // The module's key list is the table's secrets.
    const auto nKeys = strModule.find("KEYS = (");
    ASSERT_NE(nKeys, std::string::npos);
    const std::string strKeys = strModule.substr(nKeys, strModule.find(')', nKeys) - nKeys);
    for (const auto& f : FieldTable())
        EXPECT_EQ(strKeys.find(std::string("\"") + f.m_pszName + "\"") != std::string::npos,
                  f.m_bSecret)
            << f.m_pszName;
}

TEST(SettingsFile, ReadsWhatReadPrintsAndRefusesTheRest) {
    struct SCase {
        std::string strText;
        const char* pszError; // nullptr: accepted
    };
    // 100,000 deep, on short lines: the depth is refused, not the line length.
    std::string strDeep = "{\"ip\":";
    for (int i = 0; i < 100000; ++i)
        strDeep += "[\n";
    for (int i = 0; i < 100000; ++i)
        strDeep += "]\n";
    strDeep += "}";
    const SCase aCases[] = {
        {R"({"ip":"10.0.0.2","port":3001,"des-key":"0000000000000000","cts":true,
             "serial-number":4660})",
         nullptr},
        {strDeep, "nested deeper"},
        {R"({"ip":["10.0.0.2"]})", "not a value"},
        {R"({"port":{"n":1}})", "not a value"},
        {R"({"timeout":null})", "not a value"},
        {R"({"colour":"red","\u001b]0;x":1})", "unknown fields 'colour', '?]0;x'"},
        {R"({"des-key":"A1B2C3D4E5F6A7B"})", "bad value for des-key"},
        {R"({"des-key":1234})", "bad value for des-key"},
        {"[1,2]", "not a JSON object"},
        {"{", "not a JSON object"},
    };
    const std::string strPath = ::testing::TempDir() + "settings-" + std::to_string(::getpid());
    for (const auto& c : aCases) {
        std::ofstream(strPath, std::ios::trunc) << c.strText;
        SSettingsFile file;
        std::string strError;
        const bool bOk = ReadSettingsFile(strPath, file, strError);
        EXPECT_EQ(bOk, c.pszError == nullptr) << c.strText.substr(0, 60) << ": " << strError;
        if (c.pszError) EXPECT_NE(strError.find(c.pszError), std::string::npos) << strError;
        EXPECT_EQ(strError.find("A1B2"), std::string::npos) << strError;
    }
    SSettingsFile file;
    std::string strError;
    std::ofstream(strPath, std::ios::trunc) << aCases[0].strText;
    ASSERT_TRUE(ReadSettingsFile(strPath, file, strError));
    EXPECT_EQ(file.m_assignments, (std::vector<std::string>{"ip=10.0.0.2", "port=3001",
                                                            "des-key=0000000000000000", "cts=on"}));
    EXPECT_EQ(file.m_ignored, std::vector<std::string>{"serial-number"});
    // Not a regular file: refused before anything is read.
    EXPECT_FALSE(ReadSettingsFile("/dev/zero", file, strError));
    EXPECT_NE(strError.find("not a regular file"), std::string::npos) << strError;
    std::remove(strPath.c_str());
}
