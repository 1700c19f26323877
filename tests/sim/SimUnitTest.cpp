#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "SimTestUtil.h"
#include "TestUtil.h"
#include "firmware/ImageReader.h"
#include "firmware/SampleImage.h"

namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> Handle(CSimUnit& unit, const std::string& strHex) {
    const std::vector<uint8_t> ab = FromHex(strHex);
    auto replies = unit.Handle(ab.data(), ab.size());
    EXPECT_LE(replies.size(), 1u);
    return replies.empty() ? std::vector<uint8_t>{} : replies[0];
}

NetParams SomeRecord() {
    NetParams rec;
    rec.SetDottedAt(NetParams::OFS_IP, "10.1.2.3");
    rec.SetDottedAt(NetParams::OFS_MASK, "255.255.0.0");
    rec.SetDottedAt(NetParams::OFS_GATEWAY, "10.1.0.1");
    rec.SetPort(0x1234);
    rec.SetTimeout(0x0102);
    for (size_t i = 0; i < 8; ++i) {
        rec[NetParams::OFS_DES_KEY + i] = static_cast<uint8_t>(0xA0 + i);
        rec[NetParams::OFS_TDES_KEY1 + i] = static_cast<uint8_t>(0xB0 + i);
        rec[NetParams::OFS_TDES_KEY2 + i] = static_cast<uint8_t>(0xC0 + i);
        rec[NetParams::OFS_TDES_KEY3 + i] = static_cast<uint8_t>(0xD0 + i);
    }
    const uint8_t abScp[5] = {0x87, 0x40, 0x12, 0x34, 0x05};
    std::copy(abScp, abScp + 5, rec.Data() + NetParams::OFS_SCP_PROPS);
    return rec;
}

// Decrypts the whole plain text of a read reply.
std::vector<uint8_t> ReadPlain(const std::vector<uint8_t>& reply) {
    const size_t nCount = reply[frame::OFS_COUNT];
    std::vector<uint8_t> plain(nCount - IV_LEN);
    EXPECT_TRUE(DecryptReadData(reply.data() + frame::OFS_DATA, nCount, plain.data()));
    return plain;
}

std::vector<uint8_t> WriteData(const uint8_t* pPlain) {
    const uint8_t abIv[IV_LEN] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::vector<uint8_t> ab(WRITE_DATA_LEN);
    BuildWriteData(pPlain, abIv, ab.data());
    return ab;
}

} // namespace

TEST(SimUnitTest, RequestVectorsGetValidReplies) {
    CSimUnit unit;
    // Freshly started: the first reply asks for resynchronisation, the retry is served.
    EXPECT_EQ(ToHex(Handle(unit, "FE 01 00 00 FF")), "FE 01 00 10 0F");
    EXPECT_EQ(ToHex(Handle(unit, "FE 01 00 00 FF")), "FE 01 00 00 FF");

    const std::vector<uint8_t> status = Handle(unit, "FE 00 03 09 0A 70 00 84");
    ASSERT_EQ(status.size(), 8u + 46);
    EXPECT_EQ(frame::CheckReply(status.data(), status.size()), frame::OK);
    EXPECT_EQ(status[frame::OFS_ADDR], 0x00);
    EXPECT_EQ(status[frame::OFS_CMD], frame::CMD_STATUS);
    EXPECT_EQ(status[frame::OFS_CONTROL], frame::CTL_DATA_SUM);
    EXPECT_EQ(frame::DataCount(status.data()), 46);
    EXPECT_EQ(StatusOf(status).m_nSerialNo, 0x1234);
    EXPECT_TRUE(StatusOf(status).m_bKeysEnabled);
    EXPECT_TRUE(StatusOf(status).m_bConfigSwitch);
    EXPECT_FALSE(StatusOf(status).m_bPropertiesMode);
    EXPECT_EQ(StatusOf(status).m_nCheckWord, CImageReader::CHECK_WORD_NONE);

    // The reset request is not answered; the restarted unit asks for resynchronisation.
    EXPECT_TRUE(Handle(unit, "FE 03 03 11 15 8F 00 B9").empty());
    EXPECT_EQ(unit.Restarts(), 1u);
    EXPECT_EQ(ToHex(Handle(unit, "FE 03 03 19 1D 70 00 AA")), "FE 03 00 10 11");
    EXPECT_EQ(unit.FrameCount(-1), 2u);
    EXPECT_EQ(unit.FrameCount(frame::CMD_STATUS), 2u);
    EXPECT_EQ(unit.FrameCount(frame::CMD_RESET), 1u);
}

TEST(SimUnitTest, StatusRecordCarriesTheConfiguredUnit) {
    SSimOptions opts;
    opts.m_nSerialNo = 0xBEEF;
    opts.m_bKeysEnabled = false;
    CSimUnit unit(opts);
    CUnitClient client{unit};
    client.Sync();
    std::vector<uint8_t> status = client.Must(frame::CMD_STATUS);
    EXPECT_EQ(StatusOf(status).m_nSerialNo, 0xBEEF);
    EXPECT_FALSE(StatusOf(status).m_bKeysEnabled);

    unit.Faults().m_bSwitchOff = true;
    unit.Faults().m_bPropertiesMode = true;
    status = client.Must(frame::CMD_STATUS);
    EXPECT_FALSE(StatusOf(status).m_bConfigSwitch);
    EXPECT_TRUE(StatusOf(status).m_bPropertiesMode);

    for (int nCount : {45, 47}) {
        unit.Faults().m_nStatusCount = nCount;
        status = client.Must(frame::CMD_STATUS);
        EXPECT_EQ(frame::DataCount(status.data()), nCount);
    }
}

TEST(SimUnitTest, ReadReplyDecryptsToTheConfiguredRecord) {
    SSimOptions opts;
    opts.m_params = SomeRecord();
    CSimUnit unit(opts);
    CUnitClient client{unit, CSimUnit::LINK_UDP};
    client.Sync();

    const std::vector<uint8_t> first = client.Must(frame::CMD_READ_PARAMS);
    EXPECT_EQ(first[frame::OFS_CMD], frame::CMD_READ_PARAMS);
    EXPECT_EQ(frame::DataCount(first.data()), WRITE_DATA_LEN);
    NetParams rec;
    ASSERT_TRUE(DecryptReadReply(first.data(), first.size(), rec));
    for (size_t i = 0; i < PLAIN_READ_MIN; ++i)
        EXPECT_EQ(rec[i], opts.m_params[i]) << i;

    // The whole plain text: record bytes 0..60 in write order, then zeros.
    uint8_t abExpected[PLAIN_WRITE_LEN];
    PackParamsEthernet(opts.m_params, abExpected);
    EXPECT_EQ(ToHex(ReadPlain(first)), ToHex(abExpected, PLAIN_WRITE_LEN));

    // Every read has a vector of its own.
    const std::vector<uint8_t> second = client.Must(frame::CMD_READ_PARAMS);
    EXPECT_NE(ToHex(first.data() + 7, IV_LEN), ToHex(second.data() + 7, IV_LEN));
    EXPECT_EQ(ToHex(ReadPlain(second)), ToHex(abExpected, PLAIN_WRITE_LEN));
}

TEST(SimUnitTest, ReadReplyDecryptsWithTheOpensslCommandLine) {
    CSimUnit unit;
    CUnitClient client{unit};
    client.Sync();
    const std::vector<uint8_t> reply = client.Must(frame::CMD_READ_PARAMS);
    const uint8_t* pData = reply.data() + frame::OFS_DATA;

    const fs::path dir = fs::temp_directory_path() / ("velor-sim-ossl-" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "cipher", std::ios::binary)
        .write(reinterpret_cast<const char*>(pData + IV_LEN), PLAIN_WRITE_LEN);
    std::string strIv;
    for (size_t i = 0; i < IV_LEN; ++i) {
        char sz[3];
        std::snprintf(sz, sizeof sz, "%02x", pData[i]);
        strIv += sz;
    }
    const std::string strCmd = "openssl enc -d -des-cfb8 -K 3c7e19a4d25b80e6 -iv " + strIv +
                               " -nopad -provider legacy -provider default -in " +
                               (dir / "cipher").string() + " -out " + (dir / "plain").string();
    ASSERT_EQ(std::system(strCmd.c_str()), 0) << strCmd;
    std::ifstream in(dir / "plain", std::ios::binary);
    const std::vector<uint8_t> plain((std::istreambuf_iterator<char>(in)), {});
    fs::remove_all(dir);

    uint8_t abExpected[PLAIN_WRITE_LEN];
    PackParamsEthernet(SSimOptions::DefaultParams(), abExpected);
    EXPECT_EQ(ToHex(plain), ToHex(abExpected, PLAIN_WRITE_LEN));
}

TEST(SimUnitTest, WriteThenReadReturnsWhatWasWritten) {
    CSimUnit unit;
    CUnitClient eth{unit, CSimUnit::LINK_UDP};
    eth.Sync();
    const NetParams rec = SomeRecord();
    uint8_t abPlain[PLAIN_WRITE_LEN];
    PackParamsEthernet(rec, abPlain);
    const std::vector<uint8_t> ack = eth.Must(frame::CMD_WRITE_PARAMS, WriteData(abPlain));
    EXPECT_EQ(ack[frame::OFS_CMD], frame::CMD_WRITE_PARAMS);
    for (size_t i = 0; i < NetParams::OFS_COMM_ADDR; ++i)
        EXPECT_EQ(unit.Params()[i], rec[i]) << i;
    EXPECT_EQ(unit.Params().Port(), 0x1234);
    EXPECT_EQ(unit.Params().Timeout(), 0x0102);
    // The comm address entered with the IP address never travels.
    EXPECT_EQ(unit.Params().GetU32(NetParams::OFS_COMM_ADDR), 0u);

    const std::vector<uint8_t> back = eth.Must(frame::CMD_READ_PARAMS);
    const std::vector<uint8_t> plain = ReadPlain(back);
    EXPECT_EQ(ToHex(plain.data(), 61), ToHex(abPlain, 61));

    // The serial write sends zeros at 24..28 and the unit stores them.
    CUnitClient serial{unit};
    serial.Sync();
    PackParams(rec, abPlain);
    serial.Must(frame::CMD_WRITE_PARAMS, WriteData(abPlain));
    EXPECT_EQ(ToHex(unit.Params().Data() + 24, 5), "00 00 00 00 00");
    EXPECT_EQ(ToHex(unit.Params().Data() + 29, 8), ToHex(rec.Data() + 29, 8));
}

TEST(SimUnitTest, SerialKeepsScpOptionLeavesBytes24To28) {
    SSimOptions opts;
    opts.m_bSerialKeepsScp = true;
    CSimUnit unit(opts);
    const NetParams rec = SomeRecord();
    uint8_t abPlain[PLAIN_WRITE_LEN];

    CUnitClient serial{unit};
    serial.Sync();
    PackParams(rec, abPlain);
    serial.Must(frame::CMD_WRITE_PARAMS, WriteData(abPlain));
    EXPECT_EQ(ToHex(unit.Params().Data() + 24, 5), "0C 40 01 00 01");
    EXPECT_EQ(unit.Params().DottedAt(NetParams::OFS_IP), "10.1.2.3");

    CUnitClient eth{unit, CSimUnit::LINK_UDP};
    eth.Sync();
    PackParamsEthernet(rec, abPlain);
    eth.Must(frame::CMD_WRITE_PARAMS, WriteData(abPlain));
    EXPECT_EQ(ToHex(unit.Params().Data() + 24, 5), "87 40 12 34 05");
}

TEST(SimUnitTest, ShortWriteIsNeitherStoredNorAcknowledged) {
    CSimUnit unit;
    CUnitClient client{unit};
    client.Sync();
    const NetParams before = unit.Params();
    uint8_t abPlain[PLAIN_WRITE_LEN] = {};
    std::vector<uint8_t> abData = WriteData(abPlain);
    abData.resize(IV_LEN + 60); // one record byte short
    EXPECT_FALSE(client.Send(frame::CMD_WRITE_PARAMS, abData));
    EXPECT_EQ(unit.Params(), before);
}

TEST(SimUnitTest, SequenceRule) {
    CSimUnit unit;
    CUnitClient client{unit};
    client.Sync();
    const auto seq = [&](uint32_t nSeq, int nCmd = -1) {
        const std::vector<uint8_t> req = Request(0, nSeq, nCmd);
        auto replies = unit.Handle(req.data(), req.size());
        return replies.empty() ? -1 : frame::CheckReply(replies[0].data(), replies[0].size());
    };
    // The client has had 0 accepted: 8 is next, 8 again is a retransmission.
    EXPECT_EQ(seq(8, frame::CMD_STATUS), frame::OK);
    EXPECT_EQ(seq(8, frame::CMD_STATUS), frame::OK);
    for (uint32_t n = 16; n <= 56; n += 8)
        EXPECT_EQ(seq(n), frame::OK) << n;
    EXPECT_EQ(seq(8), frame::OK) << "56 is followed by 8";
    // A skipped value is refused, and then only 0 is taken.
    EXPECT_EQ(seq(24), frame::ERR_RESYNC);
    EXPECT_EQ(seq(24), frame::ERR_RESYNC);
    EXPECT_EQ(seq(0), frame::OK);
    // 0 is always taken; stray control bits are not a sequence.
    EXPECT_EQ(seq(8), frame::OK);
    EXPECT_EQ(seq(0), frame::OK);
    EXPECT_EQ(seq(0x40), frame::ERR_RESYNC);

    // Each link keeps its own sequence.
    CUnitClient eth{unit, CSimUnit::LINK_UDP};
    eth.Sync();
    EXPECT_EQ(seq(0), frame::OK);
    eth.Must(frame::CMD_STATUS);
    EXPECT_EQ(seq(8), frame::OK);
    eth.Must(frame::CMD_STATUS);
}

TEST(SimUnitTest, LoadStoresBlocksAndRestartsIntoTheNewProgram) {
    CSimUnit unit;
    CUnitClient client{unit};
    client.Sync();
    const std::vector<uint8_t> abA(234, 0x11), abB(16, 0x22);
    const std::vector<uint8_t> ack = client.Must(frame::CMD_LOAD, LoadBlock(0x100, abA));
    EXPECT_EQ(ack[frame::OFS_CMD], frame::CMD_LOAD);
    client.Must(frame::CMD_LOAD, LoadBlock(0x100 + 234, abB));
    client.Must(frame::CMD_LOAD, LoadBlock(0x7FFF0, std::vector<uint8_t>(16, 0xAB)));
    // A retransmitted block (same sequence) is taken again.
    const std::vector<uint8_t> req = Request(0, client.m_nSeq - 8, frame::CMD_LOAD,
                                             LoadBlock(0x7FFF0, std::vector<uint8_t>(16, 0xAB)));
    ASSERT_EQ(unit.Handle(req.data(), req.size()).size(), 1u);

    EXPECT_EQ(unit.Memory()[0xFF], 0xFF);
    EXPECT_EQ(unit.Memory()[0x100], 0x11);
    EXPECT_EQ(unit.Memory()[0x100 + 234 + 15], 0x22);
    EXPECT_EQ(unit.Memory()[0x100 + 234 + 16], 0xFF);
    using Ranges = std::vector<std::pair<uint32_t, uint32_t>>;
    EXPECT_EQ(unit.WrittenRanges(), (Ranges{{0x100, 0x100 + 234 + 15}, {0x7FFF0, 0x7FFFF}}));
    EXPECT_EQ(unit.LoadBlocks(), 4u);

    // Accepted end of load: no answer, a restart, then the new check word.
    EXPECT_FALSE(client.Send(frame::CMD_LOAD, EndOfLoad()));
    EXPECT_EQ(unit.Restarts(), 1u);
    client.Send(-1);
    EXPECT_EQ(client.m_nLastCheck, frame::ERR_RESYNC);
    client.Sync();
    const std::vector<uint8_t> status = client.Must(frame::CMD_STATUS);
    EXPECT_EQ(StatusOf(status).m_nCheckWord, 0xABAB);

    // The next load erases what the last one left.
    client.Must(frame::CMD_LOAD, LoadBlock(0x0FFF0, std::vector<uint8_t>(16, 0x5C)));
    EXPECT_EQ(unit.Memory()[0x100], 0xFF);
    EXPECT_EQ(unit.Memory()[0x7FFFE], 0xFF);
    EXPECT_EQ(unit.CheckWord(), 0x5C5C);
}

TEST(SimUnitTest, LoadBlockOutsideTheMemoryIsRefused) {
    CSimUnit unit;
    CUnitClient client{unit};
    client.Sync();
    // Runs one byte past the end.
    EXPECT_FALSE(client.Send(frame::CMD_LOAD, LoadBlock(0x7FFF0, std::vector<uint8_t>(17, 1))));
    // Address bits above 18.
    std::vector<uint8_t> ab = LoadBlock(0x10, {1, 2});
    ab[1] = 0x08;
    EXPECT_FALSE(client.Send(frame::CMD_LOAD, ab));
    // Too short for a block header.
    EXPECT_FALSE(client.Send(frame::CMD_LOAD, {0, 0, 0}));
    EXPECT_EQ(unit.LoadBlocks(), 0u);
    EXPECT_TRUE(unit.WrittenRanges().empty());
    EXPECT_EQ(unit.MemoryCrc32(), 0x504BF849u); // 512 KiB of erased memory
}

TEST(SimUnitTest, LoadAcrossAPageBoundaryAndThePresetCheckWord) {
    CSimUnit unit;
    unit.PresetCheckWord(0x4242);
    EXPECT_EQ(unit.CheckWord(), 0x4242);
    CUnitClient client{unit};
    client.Sync();
    std::vector<uint8_t> ab(300);
    for (size_t i = 0; i < ab.size(); ++i)
        ab[i] = static_cast<uint8_t>(i);
    client.Must(frame::CMD_LOAD,
                LoadBlock(0x1000 - 100, std::vector<uint8_t>(ab.begin(), ab.begin() + 200)));
    // The load erased the program the unit came with.
    EXPECT_EQ(unit.CheckWord(), 0xFFFF);
    const std::vector<uint8_t>& mem = unit.Memory();
    EXPECT_EQ(mem[0x1000 - 101], 0xFF);
    EXPECT_TRUE(std::equal(ab.begin(), ab.begin() + 200, mem.begin() + 0x1000 - 100));
    EXPECT_EQ(mem[0x1000 + 100], 0xFF);
    client.Must(frame::CMD_LOAD, LoadBlock(0x7FFFE, {0x12, 0x34}));
    EXPECT_EQ(unit.Memory()[0x7FFFF], 0x34);
    EXPECT_EQ(unit.CheckWord(), 0x1234);
}

namespace {

// An S3 record of the bytes at nAddr.
std::string S3(uint32_t nAddr, const std::vector<uint8_t>& ab) {
    return SRecordLine('3', nAddr, ab.data(), ab.size());
}

// Downloads an image file as the utility does and returns the reader's check word
// and the one the restarted unit reports.
std::pair<uint16_t, uint16_t> Download(CSimUnit& unit, const std::string& strImage) {
    const fs::path path =
        fs::temp_directory_path() / ("velor-sim-img-" + std::to_string(getpid()) + ".s19");
    std::ofstream(path) << strImage;
    CUnitClient client{unit};
    client.Sync();
    CImageReader reader;
    const int nResult = reader.Run(path.string(), [&](const uint8_t* p, size_t n) {
        client.Send(frame::CMD_LOAD, std::vector<uint8_t>(p, p + n));
        return client.m_nLastCheck;
    });
    fs::remove(path);
    EXPECT_EQ(nResult, 0);
    EXPECT_FALSE(client.Send(frame::CMD_LOAD, EndOfLoad()));
    client.Sync();
    const std::vector<uint8_t> status = client.Must(frame::CMD_STATUS);
    return {reader.CheckWord(), StatusOf(status).m_nCheckWord};
}

} // namespace

TEST(SimUnitTest, CheckWordIsWhereTheImageReaderFindsIt) {
    std::vector<uint8_t> ab(16);
    for (size_t i = 0; i < ab.size(); ++i)
        ab[i] = static_cast<uint8_t>(0x30 + i);
    {
        CSimUnit unit;
        const std::string strImage = "S00600004844521B\n" + S3(0xFFF0, ab) + S3(0x10000, ab) +
                                     S3(0x1FFF0, ab) + "S70500000000FA\n";
        const auto [nImage, nUnit] = Download(unit, strImage);
        EXPECT_EQ(nImage, 0x3E3F);
        EXPECT_EQ(nUnit, nImage);
    }
    {
        // A record starting at 0xFFFE.
        CSimUnit unit;
        const auto [nImage, nUnit] = Download(unit, S3(0xFFFE, {0x12, 0x34, 0x56}));
        EXPECT_EQ(nImage, 0x1234);
        EXPECT_EQ(nUnit, nImage);
    }
    {
        // No capture point: both sides start from erased memory.
        CSimUnit unit;
        const auto [nImage, nUnit] = Download(unit, S3(0x2000, ab));
        EXPECT_EQ(nImage, CImageReader::CHECK_WORD_NONE);
        EXPECT_EQ(nUnit, nImage);
    }
}

TEST(SimUnitTest, MalformedFramesAreIgnored) {
    CSimUnit unit;
    CUnitClient client{unit};
    client.Sync();
    const NetParams before = unit.Params();
    std::vector<std::vector<uint8_t>> bad = {
        {},
        FromHex("FE"),
        FromHex("FE 00 00 00"),                // truncated header
        FromHex("FD 00 00 00 FD"),             // start byte
        FromHex("FE 00 00 08 07"),             // header sum
        FromHex("FE 00 03 09 0A 70 00 85"),    // data sum
        FromHex("FE 00 03 09 0A 70 00"),       // truncated data
        FromHex("FE 00 02 09 09 70 79"),       // length too small for a command
        FromHex("FE 00 04 09 0B 70 00 00 85"), // count disagrees with length
    };
    std::vector<uint8_t> big(65536, 0xFE);
    bad.push_back(big);
    for (const auto& ab : bad)
        EXPECT_TRUE(unit.Handle(ab.data(), ab.size()).empty()) << ToHex(ab);
    EXPECT_TRUE(unit.Handle(nullptr, 0).empty());
    EXPECT_EQ(unit.InvalidFrames(), bad.size() + 1);
    EXPECT_EQ(unit.FrameCount(frame::CMD_STATUS), 0u);
    EXPECT_EQ(unit.Params(), before);

    // Bytes after a whole frame (a datagram larger than its frame) do not matter.
    std::vector<uint8_t> req = Request(0, client.m_nSeq, frame::CMD_STATUS);
    req.resize(600, 0x55);
    EXPECT_EQ(unit.Handle(req.data(), req.size()).size(), 1u);
}

TEST(SimUnitTest, SilenceFaults) {
    CSimUnit unit;
    CUnitClient client{unit};
    client.Sync();

    SSimFaults faults;
    faults.m_bSilent = true;
    unit.SetFaults(faults);
    EXPECT_FALSE(client.Send(-1));

    faults = {};
    faults.m_nSilentAfterFrames = 2;
    unit.SetFaults(faults);
    EXPECT_TRUE(client.Send(-1));
    EXPECT_TRUE(client.Send(frame::CMD_STATUS));
    EXPECT_FALSE(client.Send(-1));

    faults = {};
    faults.m_bPollsOnly = true;
    unit.SetFaults(faults);
    EXPECT_TRUE(client.Send(-1));
    EXPECT_FALSE(client.Send(frame::CMD_STATUS));
    EXPECT_TRUE(client.Send(-1));

    faults = {};
    faults.m_nStopAfterLoadBlocks = 2;
    unit.SetFaults(faults);
    EXPECT_TRUE(client.Send(frame::CMD_LOAD, LoadBlock(0, {1})));
    EXPECT_TRUE(client.Send(frame::CMD_LOAD, LoadBlock(1, {2})));
    EXPECT_FALSE(client.Send(frame::CMD_LOAD, LoadBlock(2, {3})));
    EXPECT_FALSE(client.Send(-1));
    EXPECT_EQ(unit.Memory()[2], 0xFF);

    unit.SetFaults({});
    EXPECT_TRUE(client.Send(-1));
}

TEST(SimUnitTest, ReplyCorruptionFaults) {
    CSimUnit unit;
    CUnitClient client{unit};
    client.Sync();

    SSimFaults faults;
    faults.m_nGarbleEvery = 3;
    unit.SetFaults(faults);
    std::vector<int> checks;
    for (int i = 0; i < 6; ++i) {
        client.Send(i % 2 ? frame::CMD_STATUS : -1);
        checks.push_back(client.m_nLastCheck);
    }
    EXPECT_EQ(checks, (std::vector<int>{0, 0, 8, 0, 0, 8}));

    faults = {};
    faults.m_bHighBits = true;
    unit.SetFaults(faults);
    for (int nCmd : {-1, static_cast<int>(frame::CMD_STATUS)}) {
        const auto reply = client.Send(nCmd);
        ASSERT_TRUE(reply);
        EXPECT_EQ(client.m_nLastCheck, frame::ERR_INVALID);
        EXPECT_EQ((*reply)[frame::OFS_CONTROL] & frame::CTL_INVALID, frame::CTL_INVALID);
        EXPECT_TRUE(frame::DataSumOk(reply->data())) << "only the control bits are wrong";
    }

    faults = {};
    faults.m_nResyncReplies = 2;
    unit.SetFaults(faults);
    client.m_nSeq = 8; // so that the refusal is the fault's, not the sequence rule's
    EXPECT_TRUE(client.Send(-1));
    EXPECT_EQ(client.m_nLastCheck, frame::ERR_RESYNC);
    client.Send(-1);
    EXPECT_EQ(client.m_nLastCheck, frame::ERR_RESYNC);
    client.Send(frame::CMD_STATUS);
    EXPECT_EQ(client.m_nLastCheck, frame::OK);
    EXPECT_EQ(unit.FrameCount(frame::CMD_RESET), 0u);
}

TEST(SimUnitTest, LoadAndResetFaults) {
    CSimUnit unit;
    CUnitClient client{unit};
    client.Sync();

    SSimFaults faults;
    faults.m_bAnswerReset = true;
    faults.m_bRejectLoad = true;
    unit.SetFaults(faults);
    client.Must(frame::CMD_RESET);
    client.Must(frame::CMD_LOAD, LoadBlock(0x1FFFE, {0x12, 0x34}));
    client.Must(frame::CMD_LOAD, EndOfLoad());
    EXPECT_EQ(unit.Restarts(), 0u);

    unit.SetFaults({});
    EXPECT_EQ(unit.CheckWord(), 0x1234);
    faults = {};
    faults.m_bWrongCheckWord = true;
    unit.SetFaults(faults);
    std::vector<uint8_t> status = client.Must(frame::CMD_STATUS);
    EXPECT_NE(StatusOf(status).m_nCheckWord, 0x1234);
    EXPECT_NE(StatusOf(status).m_nCheckWord, 0);
    faults.m_bCheckWordZero = true;
    unit.SetFaults(faults);
    status = client.Must(frame::CMD_STATUS);
    EXPECT_EQ(StatusOf(status).m_nCheckWord, 0);
}

TEST(SimUnitTest, StoreMismatchMakesTheReadBackDiffer) {
    CSimUnit unit;
    CUnitClient client{unit, CSimUnit::LINK_UDP};
    client.Sync();
    SSimFaults faults;
    faults.m_bStoreMismatch = true;
    unit.SetFaults(faults);
    uint8_t abPlain[PLAIN_WRITE_LEN];
    PackParamsEthernet(SomeRecord(), abPlain);
    client.Must(frame::CMD_WRITE_PARAMS, WriteData(abPlain));
    const std::vector<uint8_t> plain = ReadPlain(client.Must(frame::CMD_READ_PARAMS));
    EXPECT_NE(ToHex(plain.data(), 61), ToHex(abPlain, 61));
    EXPECT_EQ(ToHex(plain.data(), 29), ToHex(abPlain, 29));
}

TEST(SimUnitTest, StateJsonDescribesTheUnit) {
    CSimUnit unit;
    CUnitClient client{unit};
    client.Sync();
    client.Must(frame::CMD_STATUS);
    client.Must(frame::CMD_LOAD, LoadBlock(0x200, std::vector<uint8_t>(10, 7)));
    client.Send(frame::CMD_LOAD, EndOfLoad());

    const nlohmann::json state = nlohmann::json::parse(unit.StateJson());
    EXPECT_EQ(state["serial_no"], 0x1234);
    EXPECT_EQ(state["check_word"], 0xFFFF);
    const auto& params = state["params"];
    EXPECT_EQ(params["ip"], "192.168.0.132");
    EXPECT_EQ(params["mask"], "255.255.255.0");
    EXPECT_EQ(params["gateway"], "192.168.0.1");
    EXPECT_EQ(params["port"], 3001);
    EXPECT_EQ(params["timeout"], 30);
    EXPECT_EQ(params["des_key"], "0123456789abcdef");
    EXPECT_EQ(params["tdes_key3"], "0f1e2d3c4b5a6978");
    EXPECT_EQ(params["scp"]["comm_address"], 1);
    EXPECT_EQ(params["raw"].get<std::string>().size(), 2 * NetParams::SIZE);
    EXPECT_EQ(state["memory"]["written"], nlohmann::json::parse("[[512, 521]]"));
    char szCrc[9];
    std::snprintf(szCrc, sizeof szCrc, "%08x", unit.MemoryCrc32());
    EXPECT_EQ(state["memory"]["crc32"], szCrc);
    EXPECT_NE(unit.MemoryCrc32(), 0x504BF849u);
    EXPECT_EQ(state["frames"]["empty"], 2);
    EXPECT_EQ(state["frames"]["0x70"], 1);
    EXPECT_EQ(state["frames"]["0x8E"], 2);
    EXPECT_EQ(state["restarts"], 1);
    EXPECT_EQ(state["load_blocks"], 1);
}
