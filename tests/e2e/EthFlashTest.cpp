// The firmware download over UDP against the simulated unit.

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>

#include "EthSimFixture.h"
#include "firmware/ImageReader.h"
#include "firmware/LoadBlock.h"
#include "firmware/SampleImage.h"

namespace {

using EFlash = CEthLink::EFlash;

const std::string MSG_OK = "Flash successfully updated";
const std::string MSG_CRC = "Flash failed - CRC mismatch";
const std::string MSG_GONE = "Unable to connect to Velor";

class EthFlashTest : public EthSimTest {
protected:
    void SetUp() override {
        EthSimTest::SetUp();
        m_strDir = ::testing::TempDir() + "eth_flash_" + std::to_string(::getpid()) + "_" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::filesystem::create_directories(m_strDir);
    }
    void TearDown() override {
        std::filesystem::remove_all(m_strDir);
        EthSimTest::TearDown();
    }

    std::string Image(const std::string& strName, uint32_t nStart, size_t nLen,
                      size_t nRecordBytes = 32) {
        SSampleImage sample;
        sample.m_nStart = nStart;
        sample.m_nLength = nLen;
        sample.m_nRecordBytes = nRecordBytes;
        const std::string strPath = m_strDir + "/" + strName;
        EXPECT_TRUE(WriteSampleImage(strPath, sample));
        return strPath;
    }
    std::string TextFile(const std::string& strName, const std::string& strText) {
        const std::string strPath = m_strDir + "/" + strName;
        std::ofstream(strPath) << strText;
        return strPath;
    }

    // The load frames (command 0x8E) sent so far.
    std::vector<Bytes> LoadFrames() {
        std::vector<Bytes> v;
        for (const Bytes& ab : Sent())
            if (ab.size() > 5 && ab[5] == frame::CMD_LOAD) v.push_back(ab);
        return v;
    }

    std::string m_strDir;
};

TEST_F(EthFlashTest, HealthyUnitTakesTheImageAndReportsItsCheckWord) {
    const std::string strPath = Image("a.s19", 0xFF00, 0x300);
    m_rec[NetParams::OFS_UNIT_COMM_ADDR] = 0x03;
    m_rec[NetParams::OFS_COMM_ADDR] = 0x09;
    m_options.m_bResyncOnRestart = true; // the restarted unit first asks to start again at 0
    CEthLink& link = Open();
    ASSERT_TRUE(link.StepPolls());
    ClearTrace();
    ASSERT_EQ(link.LoadImage(strPath), EFlash::Updated);
    EXPECT_EQ(Log(), (Messages{MSG_OK}));
    EXPECT_EQ(link.ResultText(), MSG_OK);

    // Every frame of the download carries the address byte of the poll reply.
    EXPECT_EQ(link.FlashAddr(), 0x03);
    for (const Bytes& ab : Sent())
        EXPECT_EQ(ab[1], 0x03) << ToHex(ab);
    // The end-of-load block: header, 0x8E, count 4, 00 FF FF FF, checksum.
    const std::vector<Bytes> loads = LoadFrames();
    ASSERT_EQ(loads.size(), 5u); // 0x300 bytes: 234 + 234 + 234 + 66, then the end
    const Bytes& end = loads.back();
    ASSERT_EQ(end.size(), 12u);
    EXPECT_EQ(ToHex(&end[0], 3), "FE 03 07");
    EXPECT_EQ(ToHex(&end[5], 6), "8E 04 00 FF FF FF");
    EXPECT_EQ(end[11], frame::Sum8(end.data(), 11));
    // The first attempt met the resynchronisation request; the second read the word.
    const std::vector<Bytes> sent = Sent();
    std::vector<std::string> afterEnd;
    for (size_t i = 1 + 4 + 1; i < sent.size(); ++i)
        afterEnd.push_back(ToHex(sent[i]));
    EXPECT_EQ(afterEnd, (std::vector<std::string>{"FE 03 00 00 01", "FE 03 00 00 01",
                                                  "FE 03 03 09 0D 70 00 8A"}));

    // The unit holds the image byte for byte.
    std::map<uint32_t, uint8_t> image;
    CImageReader reader;
    ASSERT_EQ(reader.Run(strPath,
                         [&](const uint8_t* p, size_t n) {
                             for (size_t i = 4; i < n; ++i)
                                 image[loadblock::LoadAddress(p) + static_cast<uint32_t>(i - 4)] =
                                     p[i];
                             return 0;
                         }),
              0);
    ASSERT_TRUE(reader.CheckWordFound());
    size_t nDiffer = 0;
    m_sim.WithUnit([&](CSimUnit& u) {
        EXPECT_EQ(u.CheckWord(), reader.CheckWord());
        for (const auto& [nAddr, b] : image)
            nDiffer += u.Memory()[nAddr] != b;
        return 0;
    });
    EXPECT_EQ(image.size(), 0x300u);
    EXPECT_EQ(nDiffer, 0u);
}

TEST_F(EthFlashTest, CheckWordMismatchZeroAndWrongStatusCount) {
    TimeConstants().m_nRecvMs = 50;
    const std::string strPath = Image("a.s19", 0xFF00, 0x100);
    CEthLink& link = Open();
    struct SCase {
        void (*m_fnFault)(SSimFaults&);
        EFlash m_eResult;
        Messages m_messages;
    };
    const SCase cases[] = {
        {[](SSimFaults& f) { f.m_bWrongCheckWord = true; }, EFlash::CrcMismatch, {MSG_CRC}},
        {[](SSimFaults& f) { f.m_bCheckWordZero = true; }, EFlash::NotChecked, {}},
        {[](SSimFaults& f) { f.m_nStatusCount = 45; }, EFlash::Unreachable, {MSG_GONE}},
        {[](SSimFaults& f) { f.m_nStatusCount = 47; }, EFlash::Unreachable, {MSG_GONE}},
    };
    for (const SCase& c : cases) {
        SSimFaults faults;
        c.m_fnFault(faults);
        m_sim.SetFaults(faults);
        m_prompts.Clear();
        ClearTrace();
        ASSERT_TRUE(link.StepPolls());
        EXPECT_EQ(link.LoadImage(strPath), c.m_eResult);
        EXPECT_EQ(Log(), c.m_messages);
    }
    // Each wrong count cost all 9 attempts, each with its status request.
    size_t nStatus = 0;
    for (const Bytes& ab : Sent())
        nStatus += ab.size() > 5 && ab[5] == frame::CMD_STATUS;
    EXPECT_EQ(nStatus, 9u);
}

TEST_F(EthFlashTest, UnitGoneAfterTheEndOfLoadGivesUpAfterNineAttempts) {
    TimeConstants().m_nRecvMs = 50;
    const std::string strPath = Image("a.s19", 0, 0x200);
    CEthLink& link = Open();
    ASSERT_TRUE(link.StepPolls());
    ClearTrace();
    SSimFaults faults;
    faults.m_nSilentAfterFrames = 1 + 3; // the download's poll and three blocks
    m_sim.SetFaults(faults);
    ASSERT_EQ(link.LoadImage(strPath), EFlash::Unreachable);
    EXPECT_EQ(Log(), (Messages{MSG_GONE}));
    EXPECT_EQ(link.ResultText(), MSG_GONE);
    const std::vector<Bytes> sent = Sent();
    ASSERT_EQ(sent.size(), 1 + 3 + 1 + 9u);
    EXPECT_TRUE(loadblock::IsEndOfLoad(&sent[4][7], sent[4][6]));
    for (size_t i = 5; i < sent.size(); ++i)
        EXPECT_EQ(ToHex(sent[i]), "FE 00 00 00 FE");
}

TEST_F(EthFlashTest, UnitThatStopsMidImageGetsNoEndOfLoad) {
    const std::string strPath = Image("a.s19", 0, 0x400);
    m_options.m_faults.m_nStopAfterLoadBlocks = 2;
    CEthLink& link = Open();
    ASSERT_TRUE(link.StepPolls());
    EXPECT_EQ(link.LoadImage(strPath), EFlash::Interrupted);
    EXPECT_EQ(Log(), (Messages{RECV_TIMED_OUT}));
    const std::vector<Bytes> loads = LoadFrames();
    ASSERT_EQ(loads.size(), 3u);
    for (const Bytes& ab : loads)
        EXPECT_FALSE(loadblock::IsEndOfLoad(&ab[7], ab[6]));
}

TEST_F(EthFlashTest, FileThatCannotBeOpenedOrIsInvalidSendsNothing) {
    // A blank line after the first data record.
    std::string strText = MakeSampleImage({0, 64, 32, 1});
    const size_t nSecondLine = strText.find('\n', strText.find('\n') + 1);
    strText.insert(nSecondLine + 1, "\n");
    const std::string strBad = TextFile("bad.s19", strText);
    const CImageCheck check = ValidateImage(strBad);
    ASSERT_FALSE(check.Ok());
    CEthLink& link = Open();
    ASSERT_TRUE(link.StepPolls());
    ClearTrace();
    EXPECT_EQ(link.LoadImage(m_strDir + "/missing.s19"), EFlash::FileNotOpened);
    EXPECT_EQ(link.LoadImage(strBad), EFlash::InvalidImage);
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(Log(), (Messages{" File open error ", check.FormatErrorMessage()}));
    EXPECT_EQ(Log()[1].rfind("Flash not updated, image file error at line 3", 0), 0u) << Log()[1];
}

TEST_F(EthFlashTest, ImageWithoutBlocksSendsTheEndOfLoadAndComparesTheErasedWord) {
    // Only a record above the accepted range: no block, no check word (0xFFFF).
    const std::string strPath = Image("high.s19", 0x90000, 32);
    CEthLink& link = Open();
    ASSERT_TRUE(link.StepPolls());
    ClearTrace();
    ASSERT_EQ(link.LoadImage(strPath), EFlash::Updated);
    const std::vector<Bytes> loads = LoadFrames();
    ASSERT_EQ(loads.size(), 1u);
    EXPECT_TRUE(loadblock::IsEndOfLoad(&loads[0][7], loads[0][6]));
    EXPECT_EQ(m_sim.WithUnit([](CSimUnit& u) { return u.CheckWord(); }),
              CImageReader::CHECK_WORD_NONE);
    EXPECT_EQ(Log(), (Messages{MSG_OK}));
}

TEST_F(EthFlashTest, LastFullBlockIsFollowedDirectlyByTheEndOfLoad) {
    const std::string strPath = Image("two.s19", 0, 2 * 234, 18);
    CEthLink& link = Open();
    ASSERT_TRUE(link.StepPolls());
    ClearTrace();
    ASSERT_EQ(link.LoadImage(strPath), EFlash::Updated);
    std::vector<size_t> sizes;
    for (const Bytes& ab : LoadFrames())
        sizes.push_back(ab.size());
    EXPECT_EQ(sizes, (std::vector<size_t>{246, 246, 12}));
}

TEST_F(EthFlashTest, DrainEndsWhileTheUnitKeepsSending) {
    TimeConstants().m_nDrainLimitMs = 200;
    CEthLink& link = Open();
    ASSERT_TRUE(link.StepPolls());
    SSimFaults faults;
    faults.m_nUnsolicitedMs = 5;
    m_sim.SetFaults(faults);
    ClearTrace();
    const auto t0 = std::chrono::steady_clock::now();
    const EFlash eResult = link.VerifyFlash(0x1234);
    const auto elapsed = std::chrono::steady_clock::now() - t0;
    // At least one bounded drain ran, and nine of them cannot exceed their bound.
    EXPECT_GE(elapsed, std::chrono::milliseconds(200));
    EXPECT_LT(elapsed, std::chrono::milliseconds(9 * (200 + 3 * 100) + 1000));
    EXPECT_GT(Received().size(), 20u);
    EXPECT_TRUE(eResult == EFlash::CrcMismatch || eResult == EFlash::Unreachable)
        << static_cast<int>(eResult);
}

TEST_F(EthFlashTest, StrayDatagramBeforeABlockReplyLeavesTheLoadAsItWas) {
    using EStray = SSimFaults::EStray;
    const std::string strPath = Image("five.s19", 0x3FF00, 5 * 234);
    CEthLink& link = Open();
    ASSERT_TRUE(link.StepPolls());
    const uint32_t nCrc = [&] {
        EXPECT_EQ(link.LoadImage(strPath), EFlash::Updated);
        return m_sim.WithUnit([](CSimUnit& u) { return u.MemoryCrc32(); });
    }();
    for (const EStray eStray : {EStray::BadSum, EStray::HighBits, EStray::Short, EStray::Empty,
                                EStray::Long, EStray::Duplicate}) {
        for (const int nBlock : {1, 3, 5}) {
            SCOPED_TRACE(std::string(SSimFaults::STRAY_NAMES[static_cast<int>(eStray)]) +
                         " before block " + std::to_string(nBlock));
            SSimFaults faults;
            faults.m_nStrayBeforeBlock = nBlock;
            faults.m_eStray = eStray;
            m_sim.SetFaults(faults);
            m_prompts.Clear();
            EXPECT_EQ(link.LoadImage(strPath), EFlash::Updated);
            EXPECT_EQ(Log(), (Messages{MSG_OK}));
            EXPECT_EQ(m_sim.WithUnit([](CSimUnit& u) { return u.MemoryCrc32(); }), nCrc);
        }
    }
}

} // namespace
