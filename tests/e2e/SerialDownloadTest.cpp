// Firmware download over the serial link against the simulated unit, message for
// message.

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "SerialE2E.h"

#include "firmware/ImageReader.h"
#include "firmware/LoadBlock.h"
#include "firmware/SampleImage.h"
#include "serial/FrameCodec.h"
#include "serial/SerialDownload.h"

namespace fs = std::filesystem;

namespace {

const std::string UPDATED = "Flash successfully updated";

class SerialDownload : public SerialE2E {
protected:
    void SetUp() override {
        SerialE2E::SetUp();
        m_dir = fs::temp_directory_path() /
                ("velor-sdl-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(m_dir);
    }
    void TearDown() override {
        fs::remove_all(m_dir);
        SerialE2E::TearDown();
    }

    std::string Image(const SSampleImage& layout) {
        const std::string strPath = (m_dir / "image.s19").string();
        EXPECT_TRUE(WriteSampleImage(strPath, layout));
        return strPath;
    }
    std::string Text(const std::string& strText) {
        const std::string strPath = (m_dir / "text.s19").string();
        std::ofstream(strPath, std::ios::binary) << strText;
        return strPath;
    }
    // The unit checked as the worker does it, then the download.
    EJobResult Flash(const std::string& strPath, const SSimFaults* pFaultsAfterCheck = nullptr) {
        EXPECT_EQ(m_pLink->CheckUnit(), 0);
        if (pFaultsAfterCheck) Faults(*pFaultsAfterCheck);
        ClearSent();
        return LoadImage(*m_pLink, m_prompts, strPath);
    }
    uint32_t Frames(int nCommand) {
        return Unit([nCommand](CSimUnit& u) { return u.FrameCount(nCommand); });
    }
    size_t EndOfLoadSent() {
        size_t n = 0;
        for (const auto& str : Sent())
            if (str.find(" 8E 04 00 FF FF FF ") != std::string::npos) ++n;
        return n;
    }

    fs::path m_dir;
};

class CProgressPrompts : public CScriptedPrompts {
public:
    void Progress(uint64_t nDone, uint64_t nTotal) override {
        ++m_nCalls;
        m_nLastDone = nDone;
        m_nLastTotal = nTotal;
    }
    int m_nCalls = 0;
    uint64_t m_nLastDone = 0, m_nLastTotal = 0;
};

// The unit's memory once the image at strPath is loaded in full; empty when it cannot be read.
std::vector<uint8_t> MemoryAfterLoading(const std::string& strPath) {
    std::vector<uint8_t> memory(CSimUnit::MEMORY_SIZE, 0xFF);
    CImageReader reader;
    const int nResult = reader.Run(strPath, [&](const uint8_t* p, size_t n) {
        std::copy(p + 4, p + n, memory.begin() + loadblock::LoadAddress(p));
        return 0;
    });
    return nResult == 0 ? memory : std::vector<uint8_t>{};
}

} // namespace

TEST_F(SerialDownload, AcceptedImageLandsInTheUnitAndItsCheckWordMatches) {
    Start();
    SSampleImage layout;
    layout.m_nStart = 0xE000;
    layout.m_nLength = 0x2400; // through 0xFFFE: the image carries a check word
    const std::string strPath = Image(layout);
    const CImageCheck check = ValidateImage(strPath);
    ASSERT_TRUE(check.Ok());
    ASSERT_TRUE(check.m_bCheckWordFound);

    CProgressPrompts prompts;
    ASSERT_EQ(m_pLink->CheckUnit(), 0);
    EXPECT_EQ(LoadImage(*m_pLink, prompts, strPath), EJobResult::Success);
    EXPECT_EQ(prompts.Messages(), Msgs{UPDATED});
    EXPECT_GT(prompts.m_nCalls, 1);
    EXPECT_EQ(prompts.m_nLastDone, prompts.m_nLastTotal);

    // Every byte where it belongs, one frame per block plus the end of the load.
    const std::vector<uint8_t> expected = MemoryAfterLoading(strPath);
    ASSERT_FALSE(expected.empty());
    const auto memory = Unit([](CSimUnit& u) { return u.Memory(); });
    EXPECT_TRUE(memory == expected);
    EXPECT_EQ(Unit([](CSimUnit& u) { return u.LoadBlocks(); }), check.m_nBlocks);
    // The end of the load goes unanswered: three attempts.
    EXPECT_EQ(Frames(frame::CMD_LOAD), check.m_nBlocks + 3);
    EXPECT_EQ(EndOfLoadSent(), 3u);
    EXPECT_EQ(Unit([](CSimUnit& u) { return u.CheckWord(); }), check.m_nCheckWord);
    EXPECT_EQ(Unit([](CSimUnit& u) { return u.Restarts(); }), 1u);
}

// The image is held in memory once read: the file cut short and then replaced while
// the download runs changes nothing the unit gets.
TEST_F(SerialDownload, FileTruncatedAndReplacedMidwayChangesNothingSent) {
    Start();
    SSampleImage layout;
    layout.m_nStart = 0xE000;
    layout.m_nLength = 0x2400;
    const std::string strPath = Image(layout);
    const CImageCheck check = ValidateImage(strPath);
    ASSERT_TRUE(check.Ok() && check.m_bCheckWordFound);
    const std::vector<uint8_t> expected = MemoryAfterLoading(strPath);
    ASSERT_FALSE(expected.empty());

    class CRewritingPrompts : public CScriptedPrompts {
    public:
        explicit CRewritingPrompts(std::string strPath) : m_strPath(std::move(strPath)) {}
        void Progress(uint64_t nDone, uint64_t) override {
            if (nDone == 0 || m_nStep > 1) return;
            if (m_nStep++ == 0) {
                fs::resize_file(m_strPath, fs::file_size(m_strPath) / 3);
                return;
            }
            SSampleImage other;
            other.m_nStart = 0xE000;
            other.m_nLength = 0x2400;
            other.m_nSeed = 7;
            WriteSampleImage(m_strPath, other);
        }
        std::string m_strPath;
        int m_nStep = 0;
    } prompts(strPath);
    ASSERT_EQ(m_pLink->CheckUnit(), 0);
    EXPECT_EQ(LoadImage(*m_pLink, prompts, strPath), EJobResult::Success);
    EXPECT_EQ(prompts.m_nStep, 2);
    EXPECT_EQ(prompts.Messages(), Msgs{UPDATED});
    EXPECT_TRUE(Unit([](CSimUnit& u) { return u.Memory(); }) == expected);
    EXPECT_EQ(Unit([](CSimUnit& u) { return u.CheckWord(); }), check.m_nCheckWord);
    EXPECT_NE(ValidateImage(strPath).m_nCheckWord, check.m_nCheckWord); // it was replaced
}

TEST_F(SerialDownload, ImageEndingOnAFullBlockStillEndsTheLoadAndChecks) {
    Start();
    SSampleImage layout;
    layout.m_nStart = 0xFF16; // 234 bytes ending at 0xFFFF, check word included
    layout.m_nLength = loadblock::LOAD_MAX_BYTES;
    EXPECT_EQ(Flash(Image(layout)), EJobResult::Success);
    EXPECT_EQ(Messages(), Msgs{UPDATED});
    EXPECT_EQ(Unit([](CSimUnit& u) { return u.LoadBlocks(); }), 1u);
    EXPECT_EQ(EndOfLoadSent(), 3u);
}

TEST_F(SerialDownload, ImageWithoutDataStillEndsTheLoadAndChecks) {
    // Nothing loaded into an erased unit: both sides have no check word.
    Start();
    EXPECT_EQ(Flash(Text("S00600004844521B\nS70500000000FA\n")), EJobResult::Success);
    EXPECT_EQ(Messages(), Msgs{UPDATED});
    EXPECT_EQ(Unit([](CSimUnit& u) { return u.LoadBlocks(); }), 0u);
    EXPECT_EQ(EndOfLoadSent(), 3u);
    EXPECT_EQ(Frames(frame::CMD_STATUS), 2u);
}

TEST_F(SerialDownload, LoadRejectedByTheUnitGetsNoFinalCheck) {
    Start();
    SSimFaults faults;
    faults.m_bRejectLoad = true;
    SSampleImage layout;
    EXPECT_EQ(Flash(Image(layout), &faults), EJobResult::Refused);
    EXPECT_EQ(Messages(),
              Msgs{"Flash not updated, rejected by Velor after load (checksum error) "});
    EXPECT_EQ(Frames(frame::CMD_STATUS), 1u); // CheckUnit's only
}

TEST_F(SerialDownload, CommErrorMidwayStopsWithoutEndOfLoad) {
    Start();
    SSimFaults faults;
    faults.m_nStopAfterLoadBlocks = 3;
    SSampleImage layout;
    layout.m_nLength = 4 * 1024;
    EXPECT_EQ(Flash(Image(layout), &faults), EJobResult::NoAnswer);
    EXPECT_EQ(Messages(), Msgs{"Flash not updated, comm error "});
    EXPECT_EQ(Unit([](CSimUnit& u) { return u.LoadBlocks(); }), 3u);
    EXPECT_EQ(EndOfLoadSent(), 0u);
    EXPECT_EQ(Sent().size(), 3u + 3u); // three blocks, then the fourth three times
}

TEST_F(SerialDownload, UnitNotBackWithin45Tries) {
    Start();
    SSimFaults faults;
    faults.m_nStatusCount = 45; // answers, but never with a whole status record
    SSampleImage layout;
    layout.m_nLength = 1024;
    EXPECT_EQ(Flash(Image(layout), &faults), EJobResult::NoAnswer);
    EXPECT_EQ(Messages(), Msgs{"Unable to connect to Velor"});
    EXPECT_EQ(Frames(frame::CMD_STATUS), 1u + 45u);
}

TEST_F(SerialDownload, CheckWordMismatchAndCheckWordZero) {
    Start();
    SSimFaults faults;
    faults.m_bWrongCheckWord = true;
    SSampleImage layout;
    layout.m_nStart = 0xF000;
    layout.m_nLength = 0x1000;
    EXPECT_EQ(Flash(Image(layout), &faults), EJobResult::VerifyFailed);
    EXPECT_EQ(Messages(), Msgs{"Flash failed - CRC mismatch"});

    // A unit that reports 0 makes no check: no message at all.
    m_prompts.Clear();
    faults = {};
    faults.m_bCheckWordZero = true;
    EXPECT_EQ(Flash(Image(layout), &faults), EJobResult::Unverified);
    EXPECT_TRUE(Messages().empty());
}

TEST_F(SerialDownload, UnreadableOrInvalidFileSendsNothing) {
    Start();
    EXPECT_EQ(Flash((m_dir / "missing.s19").string()), EJobResult::ImageError);
    EXPECT_EQ(Messages(), Msgs{" File open error "});
    EXPECT_TRUE(Sent().empty());

    // Valid records first, a broken one later: not one block goes out.
    m_prompts.Clear();
    SSampleImage layout;
    layout.m_nLength = 2048;
    std::string strText = MakeSampleImage(layout);
    strText.insert(strText.find("\nS7") + 1, "S3 broken\n");
    const std::string strPath = Text(strText);
    const CImageCheck check = ValidateImage(strPath);
    ASSERT_EQ(check.m_nResult, CImageReader::ERR_FORMAT);
    EXPECT_EQ(Flash(strPath), EJobResult::ImageError);
    EXPECT_EQ(Messages(), Msgs{check.FormatErrorMessage()});
    EXPECT_EQ(Messages()[0].rfind("Flash not updated, image file error at line ", 0), 0u);
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(Frames(frame::CMD_LOAD), 0u);
}

TEST_F(SerialDownload, LinkClosedUnderTheDownloadIsACommError) {
    Start();
    SSampleImage layout;
    layout.m_nLength = 1024;
    const std::string strPath = Image(layout);
    m_pLink->ClosePort();
    EXPECT_EQ(LoadImage(*m_pLink, m_prompts, strPath), EJobResult::CommFailure);
    EXPECT_EQ(Messages(), Msgs{"Flash not updated, comm error "});
}
