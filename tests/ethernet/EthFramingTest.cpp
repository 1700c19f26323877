#include "ethernet/EthFraming.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "TestUtil.h"
#include "firmware/LoadBlock.h"
#include "serial/FrameCodec.h"

namespace {

using Buffer = std::array<uint8_t, CEthFraming::FRAME_BUFFER>;

std::string Built(CEthFraming& f, uint8_t nAddr, uint8_t nCmd, uint32_t nLen,
                  const uint8_t* pData = nullptr) {
    Buffer ab{};
    ab[1] = nAddr;
    const size_t n = f.BuildFrame(nCmd, nLen, pData, ab.data());
    return ToHex(ab.data(), n);
}

// A reply as the unit sends it: control with the data-sum bit, correct sums.
std::vector<uint8_t> Reply(uint8_t nControl, std::vector<uint8_t> data = {}) {
    std::vector<uint8_t> ab(frame::MAX_FRAME);
    const size_t n = frame::Build(ab.data(), ab.size(), 0, 0, 0x70,
                                  data.empty() ? 2 : data.size() + 2, data.data());
    ab.resize(n);
    ab[3] = nControl;
    ab[4] = frame::Sum8(ab.data(), 4);
    ab[n - 1] = frame::Sum8(ab.data(), n - 1);
    return ab;
}

int Check(CEthFraming& f, const std::vector<uint8_t>& reply) {
    Buffer ab{};
    if (!reply.empty()) std::memcpy(ab.data(), reply.data(), std::min(reply.size(), ab.size()));
    return f.CheckReply(ab.data(), reply.size());
}

TEST(EthFraming, BuildsTheRequestsByteForByteKeepingTheAddressByte) {
    CEthFraming f;
    EXPECT_EQ(Built(f, 0, 0, 0), "FE 00 00 00 FE");
    // First job step with every reply valid: 0, 8, 16, then the status request.
    std::string strSent;
    for (int i = 0; i < 3; ++i) {
        strSent += Built(f, 0, 0, 0) + " | ";
        f.AdvanceSequence();
    }
    strSent += Built(f, 0, 0x70, 2);
    EXPECT_EQ(strSent, "FE 00 00 00 FE | FE 00 00 08 06 | FE 00 00 10 0E | "
                       "FE 00 03 19 1A 70 00 A4");
    CEthFraming g;
    g.AdvanceSequence();
    g.AdvanceSequence();
    EXPECT_EQ(Built(g, 3, 0x8F, 2), "FE 03 03 11 15 8F 00 B9");

    // The write request: 8 IV bytes and 124 cipher bytes, 140 bytes on the wire.
    uint8_t abData[132];
    for (size_t i = 0; i < sizeof abData; ++i)
        abData[i] = static_cast<uint8_t>(i * 7);
    Buffer ab{};
    ab[1] = 0x05;
    ASSERT_EQ(f.BuildFrame(0x92, 134, abData, ab.data()), 140u);
    EXPECT_EQ(ab[1], 0x05);
    EXPECT_EQ(ab[2], 0x87);
    EXPECT_EQ(ab[6], 0x84);
    EXPECT_EQ(0, std::memcmp(ab.data() + 7, abData, 132));
    EXPECT_EQ(ab[139], frame::Sum8(ab.data(), 139));

    // The end-of-load block: 12 bytes.
    EXPECT_EQ(Built(f, 0, 0x8E, 6, loadblock::END_OF_LOAD).size(), 12u * 3 - 1);

    // Nothing that would not fit the buffer is built.
    std::vector<uint8_t> big(300);
    EXPECT_EQ(Built(f, 0, 0x8E, 252, big.data()), "");
    EXPECT_EQ(Built(f, 0, 0x8E, 1), "");
    EXPECT_NE(Built(f, 0, 0x8E, 251, big.data()), "");
}

TEST(EthFraming, SequenceAdvancesOnlyOnValidRepliesAndWrapsTo8) {
    CEthFraming f;
    const uint32_t aExpected[] = {8, 16, 24, 32, 40, 48, 56, 8, 16};
    for (uint32_t nExpected : aExpected) {
        ASSERT_EQ(Check(f, Reply(0x01)), CEthFraming::VALID);
        EXPECT_EQ(f.Sequence(), nExpected);
    }
    // Invalid replies leave it alone.
    EXPECT_EQ(Check(f, Reply(0x21)), CEthFraming::INVALID);
    EXPECT_EQ(Check(f, {}), CEthFraming::INVALID); // an empty datagram
    auto bad = Reply(0x01, {1, 2, 3});
    bad.back() ^= 1;
    EXPECT_EQ(Check(f, bad), CEthFraming::INVALID);
    EXPECT_EQ(f.Sequence(), 16u);
    // Resync wins over the invalid high bits and sets the counter to 0.
    EXPECT_EQ(Check(f, Reply(0x10 | 0xE0)), CEthFraming::RESYNC);
    EXPECT_EQ(f.Sequence(), 0u);
    f.AdvanceSequence();
    f.ResetSequence();
    EXPECT_EQ(f.Sequence(), 0u);
}

TEST(EthFraming, DataCheckDependsOnLengthAndControlBitAndOnlyOnReceivedBytes) {
    CEthFraming f;
    for (int nHigh : {0x20, 0x40, 0x80})
        EXPECT_EQ(Check(f, Reply(static_cast<uint8_t>(nHigh | 1))), 8);
    // Bit 0 clear: no data check, whatever the trailing byte.
    auto noSum = Reply(0x00, {1, 2, 3});
    noSum.back() ^= 0x5A;
    EXPECT_EQ(Check(f, noSum), CEthFraming::VALID);
    // Length 0: valid whatever follows the header.
    std::vector<uint8_t> hdr = {0xFE, 0x07, 0x00, 0x01, 0x00, 0x99, 0x99};
    hdr[4] = frame::Sum8(hdr.data(), 4);
    EXPECT_EQ(Check(f, hdr), CEthFraming::VALID);
    // A datagram cut short of its length byte fails the data check even though the
    // zeros after it would happen to sum right.
    auto cut = Reply(0x01, {0x00, 0x00});
    const auto nFull = cut.size();
    cut = Reply(0x01, {static_cast<uint8_t>(256 - frame::Sum8(cut.data(), nFull - 1)), 0x00});
    ASSERT_EQ(cut.back(), 0);
    ASSERT_EQ(Check(f, cut), CEthFraming::VALID);
    cut.resize(nFull - 1);
    EXPECT_EQ(Check(f, cut), CEthFraming::INVALID);
    // A length byte of 255 announces more than the buffer holds: invalid, not read.
    std::vector<uint8_t> longLen(CEthFraming::FRAME_BUFFER, 0);
    longLen[0] = 0xFE;
    longLen[2] = 0xFF;
    longLen[3] = 0x01;
    longLen[4] = frame::Sum8(longLen.data(), 4);
    EXPECT_EQ(Check(f, longLen), CEthFraming::INVALID);
}

} // namespace
