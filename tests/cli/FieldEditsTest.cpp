#include <gtest/gtest.h>

#include "TestUtil.h"
#include "cli/FieldEdits.h"

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
        {{"tdes-key2=1234567890ABCDEF"}, "digit 0"},
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
