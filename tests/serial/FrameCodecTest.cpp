#include <gtest/gtest.h>

#include <vector>

#include "TestUtil.h"
#include "firmware/LoadBlock.h"
#include "serial/FrameCodec.h"

namespace {
std::string BuildHex(uint8_t nAddr, uint32_t nSeq, uint8_t nCmd, size_t nSize,
                     const uint8_t* pData = nullptr) {
    uint8_t ab[frame::MAX_FRAME];
    const size_t n = frame::Build(ab, sizeof ab, nAddr, nSeq, nCmd, nSize, pData);
    return ToHex(ab, n);
}
} // namespace

TEST(FrameBuild, KnownVectors) {
    EXPECT_EQ(BuildHex(1, 0, 0, 0), "FE 01 00 00 FF");
    EXPECT_EQ(BuildHex(0, 8, frame::CMD_STATUS, 2), "FE 00 03 09 0A 70 00 84");
    EXPECT_EQ(BuildHex(3, 16, frame::CMD_RESET, 2), "FE 03 03 11 15 8F 00 B9");
    // The first step of an Ethernet configure job: two polls after a reset, a poll
    // ahead of the command, then the status request.
    EXPECT_EQ(BuildHex(0, 0, 0, 0), "FE 00 00 00 FE");
    EXPECT_EQ(BuildHex(0, 8, 0, 0), "FE 00 00 08 06");
    EXPECT_EQ(BuildHex(0, 16, 0, 0), "FE 00 00 10 0E");
    EXPECT_EQ(BuildHex(0, 24, frame::CMD_STATUS, 2), "FE 00 03 19 1A 70 00 A4");
}

TEST(FrameBuild, WriteRequestAndLoadBlocks) {
    std::vector<uint8_t> data(132, 0x5A);
    uint8_t ab[frame::MAX_FRAME];
    size_t n = frame::Build(ab, sizeof ab, 0, 16, frame::CMD_WRITE_PARAMS, 134, data.data());
    ASSERT_EQ(n, 140u);
    EXPECT_EQ(ab[2], 0x87);
    EXPECT_EQ(ab[6], 0x84);
    EXPECT_EQ(ab[139], frame::Sum8(ab, 139));

    n = frame::Build(ab, sizeof ab, 2, 40, frame::CMD_LOAD, 6, loadblock::END_OF_LOAD);
    ASSERT_EQ(n, 12u);
    EXPECT_EQ(ToHex(ab, 12), "FE 02 07 29 30 8E 04 00 FF FF FF " + ToHex(&ab[11], 1));
    EXPECT_EQ(ab[11], frame::Sum8(ab, 11));

    // The largest load block: 4 + 234 data bytes, 246 on the line.
    std::vector<uint8_t> block(238, 0xC3);
    n = frame::Build(ab, sizeof ab, 0, 8, frame::CMD_LOAD, 240, block.data());
    EXPECT_EQ(n, 246u);
    // A frame that would not fit the buffer is refused rather than overrun.
    EXPECT_EQ(frame::Build(ab, 100, 0, 8, frame::CMD_LOAD, 240, block.data()), 0u);
    EXPECT_EQ(frame::Build(ab, sizeof ab, 0, 8, frame::CMD_LOAD, 255, block.data()), 0u);
}

TEST(FrameBuild, DataSumEqualsTwiceHeaderSumPlusBody) {
    // The data checksum is the plain sum of every byte before it, which equals
    // 2 x S + body when the header sum is included.
    std::vector<uint8_t> data = {0xFF, 0xFE, 0x80, 0x7F, 0x01};
    uint8_t ab[frame::MAX_FRAME];
    const size_t n = frame::Build(ab, sizeof ab, 0xF0, 56, 0xEE, 7, data.data());
    unsigned nS = ab[0] + ab[1] + ab[2] + ab[3];
    unsigned nBody = 0;
    for (size_t i = 5; i < n - 1; ++i)
        nBody += ab[i];
    EXPECT_EQ(ab[n - 1], static_cast<uint8_t>(2 * nS + nBody));
}

TEST(Sequence, RunsFrom0To56ThenWrapsTo8) {
    std::vector<uint32_t> seq = {0};
    for (int i = 0; i < 9; ++i)
        seq.push_back(frame::NextSequence(seq.back()));
    EXPECT_EQ(seq, (std::vector<uint32_t>{0, 8, 16, 24, 32, 40, 48, 56, 8, 16}));
}

namespace {
std::vector<uint8_t> Reply(int nControl, std::vector<uint8_t> data = {}, bool bData = true) {
    uint8_t ab[frame::MAX_FRAME];
    size_t n = frame::Build(ab, sizeof ab, 0, 0, 0x70, bData ? data.size() + 2 : 0, data.data());
    ab[3] = static_cast<uint8_t>(nControl);
    ab[4] = frame::Sum8(ab, 4);
    if (bData) ab[n - 1] = frame::Sum8(ab, n - 1);
    return {ab, ab + n};
}
} // namespace

TEST(ReplyCheck, ResultCodes) {
    EXPECT_EQ(frame::CheckReply(Reply(0x01, {1, 2, 3}).data(), 11), frame::OK);
    EXPECT_EQ(frame::CheckReply(Reply(0x00, {}, false).data(), 5), frame::OK);

    // Resynchronisation wins over the invalid high bits.
    for (int nCtl : {0x10, 0x11, 0x30, 0xF0})
        EXPECT_EQ(frame::CheckReply(Reply(nCtl, {1}).data(), 9), frame::ERR_RESYNC) << int(nCtl);
    for (int nCtl : {0x20, 0x40, 0x80, 0xE1})
        EXPECT_EQ(frame::CheckReply(Reply(nCtl, {1}).data(), 9), frame::ERR_INVALID) << int(nCtl);

    auto bad = Reply(0x01, {1, 2});
    bad[0] = 0xFD;
    EXPECT_EQ(frame::CheckReply(bad.data(), bad.size()), frame::ERR_INVALID);
    bad = Reply(0x01, {1, 2});
    bad[4] ^= 1;
    EXPECT_EQ(frame::CheckReply(bad.data(), bad.size()), frame::ERR_INVALID);
    bad = Reply(0x01, {1, 2});
    bad.back() ^= 1;
    EXPECT_EQ(frame::CheckReply(bad.data(), bad.size()), frame::ERR_INVALID);

    // A cleared buffer (a datagram of 0 bytes) is not a frame.
    const std::vector<uint8_t> zeros(257, 0);
    EXPECT_EQ(frame::CheckReply(zeros.data(), 0), frame::ERR_INVALID);
    EXPECT_EQ(frame::CheckReply(zeros.data(), zeros.size()), frame::ERR_INVALID);
}

TEST(ReplyCheck, DataSumOnlyWhenBitZeroSet) {
    auto reply = Reply(0x00, {1, 2, 3});
    reply.back() ^= 0x5A; // garbage where the data sum would be
    EXPECT_EQ(frame::CheckReply(reply.data(), reply.size()), frame::OK);
    EXPECT_TRUE(frame::DataSumOk(reply.data()));
    reply[3] = 0x01;
    reply[4] = frame::Sum8(reply.data(), 4);
    EXPECT_FALSE(frame::DataSumOk(reply.data()));
    // A frame whose length byte announces more than arrived is not valid.
    auto whole = Reply(0x01, {1, 2, 3});
    EXPECT_EQ(frame::CheckReply(whole.data(), whole.size() - 1), frame::ERR_INVALID);
    // A length-0 header is valid whatever follows it.
    auto hdr = Reply(0x01, {}, false);
    hdr.resize(20, 0xAA);
    EXPECT_EQ(frame::CheckReply(hdr.data(), hdr.size()), frame::OK);
}

TEST(StatusRecord, Accessors) {
    std::vector<uint8_t> data(46, 0);
    data[4] = 0x34;
    data[5] = 0x12;
    data[27] = 0x10;
    data[34] = 0xCD;
    data[35] = 0xAB;
    data[36] = 0x02;
    data[37] = 8;
    auto reply = Reply(0x01, data);
    EXPECT_EQ(frame::DataCount(reply.data()), 46);
    EXPECT_EQ(StatusOf(reply).m_nSerialNo, 0x1234);
    EXPECT_TRUE(StatusOf(reply).m_bKeysEnabled);
    EXPECT_EQ(StatusOf(reply).m_nCheckWord, 0xABCD);
    EXPECT_TRUE(StatusOf(reply).m_bConfigSwitch);
    EXPECT_TRUE(StatusOf(reply).m_bPropertiesMode);
    data[27] = 0xEF;
    data[36] = 0xFD;
    data[37] = 9;
    reply = Reply(0x01, data);
    EXPECT_FALSE(StatusOf(reply).m_bKeysEnabled);
    EXPECT_FALSE(StatusOf(reply).m_bConfigSwitch);
    EXPECT_FALSE(StatusOf(reply).m_bPropertiesMode);
}

// A record is read only when all of it arrived in this reply.
TEST(StatusRecord, IncompleteRepliesGiveNoFields) {
    std::vector<uint8_t> data(46, 0x02);
    auto reply = Reply(0x01, data);
    EXPECT_TRUE(frame::ParseStatusReply(reply.data(), reply.size()));
    EXPECT_FALSE(frame::ParseStatusReply(reply.data(), reply.size() - 2)); // data cut short
    EXPECT_FALSE(frame::ParseStatusReply(reply.data(), 6));
    data.resize(38);
    reply = Reply(0x01, data);
    EXPECT_FALSE(frame::ParseStatusReply(reply.data(), reply.size())); // count below 46
}
