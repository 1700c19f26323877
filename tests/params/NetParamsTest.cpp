#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "TestUtil.h"
#include "params/NetParams.h"
#include "params/ScpParams.h"
#include "params/UnitStatus.h"

namespace {

NetParams SampleRecord() {
    NetParams rec = NetParams::Defaults();
    rec.SetDottedAt(NetParams::OFS_MASK, "255.255.255.0");
    rec.SetDottedAt(NetParams::OFS_GATEWAY, "192.168.0.1");
    rec.SetTimeout(1);
    for (size_t i = 0; i < 8; ++i) {
        rec[NetParams::OFS_DES_KEY + i] = static_cast<uint8_t>(0x10 + i);
        rec[NetParams::OFS_TDES_KEY1 + i] = static_cast<uint8_t>(0x20 + i);
        rec[NetParams::OFS_TDES_KEY2 + i] = static_cast<uint8_t>(0x30 + i);
        rec[NetParams::OFS_TDES_KEY3 + i] = static_cast<uint8_t>(0x40 + i);
    }
    for (size_t i = 24; i <= 28; ++i)
        rec[i] = static_cast<uint8_t>(0xA0 + i);
    for (size_t i = 53; i < 65; ++i)
        rec[i] = 0xEE; // reserved and comm address
    return rec;
}

} // namespace

TEST(PlainText, SerialWriteLayout) {
    const NetParams rec = SampleRecord();
    uint8_t ab[PLAIN_WRITE_LEN];
    std::memset(ab, 0x55, sizeof ab);
    PackParams(rec, ab);
    EXPECT_EQ(ToHex(ab, 8), "C0 A8 00 84 FF FF FF 00");
    EXPECT_EQ(ToHex(ab + 8, 2), "0B B9"); // port 3001, high byte first
    EXPECT_EQ(ToHex(ab + 10, 4), "C0 A8 00 01");
    EXPECT_EQ(ToHex(ab + 14, 2), "00 01"); // timeout 1
    EXPECT_EQ(ab[16], 0x10);
    EXPECT_EQ(ab[23], 0x17);
    for (size_t i = 24; i <= 28; ++i)
        EXPECT_EQ(ab[i], 0) << i; // serial link sends zero
    EXPECT_EQ(ab[29], 0x20);
    EXPECT_EQ(ab[52], 0x47);
    // Bytes 53..60 go out as the record holds them; nothing past 60 reaches the unit.
    for (size_t i = 53; i <= 60; ++i)
        EXPECT_EQ(ab[i], 0xEE) << i;
    for (size_t i = 61; i < PLAIN_WRITE_LEN; ++i)
        EXPECT_EQ(ab[i], 0) << i;
}

TEST(PlainText, EthernetWriteSendsUnitPortProperties) {
    const NetParams rec = SampleRecord();
    uint8_t abSerial[PLAIN_WRITE_LEN], abEth[PLAIN_WRITE_LEN];
    PackParams(rec, abSerial);
    PackParamsEthernet(rec, abEth);
    for (size_t i = 24; i <= 28; ++i)
        EXPECT_EQ(abEth[i], rec[i]) << i;
    // Everything else is identical to the serial text.
    for (size_t i = 0; i < PLAIN_WRITE_LEN; ++i)
        if (i < 24 || i > 28) {
            EXPECT_EQ(abEth[i], abSerial[i]) << i;
        }
}

TEST(PlainText, UnpackTakesOnly57BytesAndSwapsWords) {
    NetParams rec;
    rec.m_abData.fill(0x77);
    std::vector<uint8_t> plain(70, 0x11);
    plain[8] = 0x0B;
    plain[9] = 0xB9;
    plain[14] = 0x00;
    plain[15] = 0x01;
    UnpackParams(rec, plain.data());
    EXPECT_EQ(rec.Port(), 3001);
    EXPECT_EQ(rec.Timeout(), 1);
    EXPECT_EQ(rec[56], 0x11);
    for (size_t i = 57; i < NetParams::SIZE; ++i)
        EXPECT_EQ(rec[i], 0x77) << i;
}

TEST(Record, DottedTextRoundTripAndRejects) {
    NetParams rec;
    EXPECT_TRUE(rec.SetDottedAt(0, "10.0.255.7"));
    EXPECT_EQ(rec.DottedAt(0), "10.0.255.7");
    for (const char* psz : {"256.1.1.1", "1.2.3", "1.2.3.4.5", "a.b.c.d", "1..2.3", "1.2.3.4 ", ""})
        EXPECT_FALSE(rec.SetDottedAt(0, psz)) << psz;
    EXPECT_EQ(rec.DottedAt(0), "10.0.255.7");
    EXPECT_EQ(NetParams::Defaults().DottedAt(0), "192.168.0.132");
    EXPECT_EQ(NetParams::Defaults().Port(), 3001);
}

// Known answers made with:
//   openssl enc -des-cfb8 -K 3c7e19a4d25b80e6 -iv 0102030405060708 -nopad
//     -provider legacy -provider default   (input: bytes 00 01 02 .. 7B)
//   head -c 16 /dev/zero | openssl enc -des-cfb8 -K 3c7e19a4d25b80e6 -iv a1b2c3d4e5f60718 ...
TEST(Cipher, MatchesOpensslCommandLine) {
    std::vector<uint8_t> plain(124);
    for (size_t i = 0; i < plain.size(); ++i)
        plain[i] = static_cast<uint8_t>(i);
    const auto iv = FromHex("0102030405060708");
    const auto expected = FromHex(
        "4b0b6159790c8dbcacdbab476a418f17c510cc6a03182739fb29b381f632795ee99724a059bb3e9136e9cc5abe"
        "78fbca1f2c68ba70a7f77c7fa9cc4beb59873aca785d0ff66849cbba00eec6383bd4ce59323dede0ed424e1919"
        "6559e6f1dd9a55d10182100b85704d41a454c9fb1878f8b448fea98932908776c3a6");
    std::vector<uint8_t> out(124);
    EXPECT_EQ(
        CryptPayload(plain.data(), out.data(), iv.data(), LINK_KEY.data(), 124, CRYPT_ENCRYPT), 0);
    EXPECT_EQ(ToHex(out), ToHex(expected));

    const std::vector<uint8_t> zeros(16, 0);
    const auto iv2 = FromHex("a1b2c3d4e5f60718");
    std::vector<uint8_t> out2(16);
    CryptPayload(zeros.data(), out2.data(), iv2.data(), LINK_KEY.data(), 16, CRYPT_ENCRYPT);
    EXPECT_EQ(ToHex(out2), ToHex(FromHex("97fc6d68b9263176956e1d067d5c3cc2")));
}

TEST(Cipher, RoundTripLeavesIvAlone) {
    std::vector<uint8_t> plain(124);
    for (size_t i = 0; i < plain.size(); ++i)
        plain[i] = static_cast<uint8_t>(i * 7 + 3);
    auto iv = FromHex("fedcba9876543210");
    const auto ivCopy = iv;
    std::vector<uint8_t> cipher(124), back(124);
    CryptPayload(plain.data(), cipher.data(), iv.data(), LINK_KEY.data(), 124, CRYPT_ENCRYPT);
    EXPECT_EQ(iv, ivCopy);
    EXPECT_NE(cipher, plain);
    CryptPayload(cipher.data(), back.data(), iv.data(), LINK_KEY.data(), 124, CRYPT_DECRYPT);
    EXPECT_EQ(iv, ivCopy);
    EXPECT_EQ(back, plain);
}

namespace {
// A read reply frame: header, command, count, IV + cipher text of the plain text.
std::vector<uint8_t> ReadReply(const std::vector<uint8_t>& plain, const std::vector<uint8_t>& iv) {
    std::vector<uint8_t> frame;
    frame.reserve(8 + 8 + plain.size());
    for (int b : {0xFE, 0, 0, 1, 0, 0x91})
        frame.push_back(static_cast<uint8_t>(b));
    frame.push_back(static_cast<uint8_t>(8 + plain.size()));
    for (uint8_t b : iv)
        frame.push_back(b);
    std::vector<uint8_t> cipher(plain.size());
    CryptPayload(plain.data(), cipher.data(), iv.data(), LINK_KEY.data(), plain.size(), 1);
    frame.insert(frame.end(), cipher.begin(), cipher.end());
    frame.push_back(0);
    return frame;
}
} // namespace

TEST(ReadReply, WriteTextReadsBackIntoTheSameRecord) {
    const NetParams rec = SampleRecord();
    std::vector<uint8_t> plain(PLAIN_WRITE_LEN);
    PackParamsEthernet(rec, plain.data());
    const auto iv = FromHex("0011223344556677");
    // The data of a write request decrypts to the plain text.
    uint8_t abData[WRITE_DATA_LEN];
    BuildWriteData(plain.data(), iv.data(), abData);
    EXPECT_EQ(ToHex(abData, 8), ToHex(iv));
    std::vector<uint8_t> back(PLAIN_WRITE_LEN);
    ASSERT_TRUE(DecryptReadData(abData, WRITE_DATA_LEN, back.data()));
    EXPECT_EQ(back, plain);

    const auto frame = ReadReply(plain, iv);
    NetParams out;
    out.m_abData.fill(0x99);
    ASSERT_TRUE(DecryptReadReply(frame.data(), frame.size(), out));
    for (size_t i = 0; i < PLAIN_READ_MIN; ++i)
        EXPECT_EQ(out[i], rec[i]) << i;
    for (size_t i = PLAIN_READ_MIN; i < NetParams::SIZE; ++i)
        EXPECT_EQ(out[i], 0x99) << i;
}

TEST(ReadReply, ShortRepliesLeaveTheRecordUntouched) {
    const auto iv = FromHex("0011223344556677");
    NetParams before;
    before.m_abData.fill(0x42);
    for (size_t nPlain : {size_t{0}, size_t{1}, size_t{56}}) {
        auto frame = ReadReply(std::vector<uint8_t>(nPlain, 0xAB), iv);
        NetParams rec = before;
        EXPECT_FALSE(DecryptReadReply(frame.data(), frame.size(), rec)) << nPlain;
        EXPECT_EQ(rec, before);
    }
    // Count below 8: not even an IV.
    std::vector<uint8_t> tiny = {0xFE, 0, 0, 1, 0, 0x91, 5, 1, 2, 3, 4, 5, 0};
    NetParams rec = before;
    EXPECT_FALSE(DecryptReadReply(tiny.data(), tiny.size(), rec));
    EXPECT_EQ(rec, before);
    // A count that announces more than the frame holds.
    auto frame = ReadReply(std::vector<uint8_t>(60, 0xAB), iv);
    EXPECT_FALSE(DecryptReadReply(frame.data(), 7 + 30, rec));
    EXPECT_EQ(rec, before);
    // Exactly 57 plain-text bytes is enough.
    frame = ReadReply(std::vector<uint8_t>(57, 0xAB), iv);
    EXPECT_TRUE(DecryptReadReply(frame.data(), frame.size(), rec));
    EXPECT_EQ(rec[56], 0xAB);
}

// A text longer than its field is refused whole: "COM10" cut to four characters
// would open COM1.
TEST(SerialSettings, TextsLongerThanTheirFieldAreRefusedNotCut) {
    EXPECT_FALSE(ScpParams::Make("COM10", 0, "Even", "115200"));
    EXPECT_EQ(ScpParams::TextProblem("COM10", "Even", "115200"),
              "Serial port \"COM10\" is too long: at most 4 characters.");
    EXPECT_FALSE(ScpParams::Make("COM1", 0, "Evenx", "115200"));
    EXPECT_EQ(ScpParams::TextProblem("COM1", "Even", "1152000"),
              "Baud rate \"1152000\" is too long: at most 6 characters.");
    const auto scp = ScpParams::Make("COM9", 15, "Odd", "9600");
    ASSERT_TRUE(scp);
    EXPECT_EQ(scp->PortNumber(), 9);
    EXPECT_EQ(scp->UnitAddress(), 15u);
    EXPECT_EQ(scp->m_abData[11], 0); // "Odd" then zero
    EXPECT_EQ(scp->BaudRate(), 9600);
    EXPECT_EQ(scp->m_abData[16], 0);
}

TEST(UnitProperties, DecodeAndEncodeAsTheDialogDoes) {
    // Dial-up backup reads as off; bits not shown are written as 0.
    const auto props = CUnitProperties::Decode(0x80 | 0x40 | 0x10 | 0x07, 0xFF, 12);
    EXPECT_EQ(props.m_nBaudCode, 7);
    EXPECT_STREQ(UNIT_BAUD_RATES[props.m_nBaudCode], "9600");
    EXPECT_TRUE(props.m_bParityOff);
    EXPECT_FALSE(props.m_bDialUp);
    EXPECT_TRUE(props.m_bAutoBackup);
    uint8_t n24 = 0, n25 = 0, n28 = 0;
    props.Encode(n24, n25, n28);
    EXPECT_EQ(n24, 0x87);
    EXPECT_EQ(n25, 0x40);
    EXPECT_EQ(n28, 12);
}
