#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <vector>

#include "firmware/ImageReader.h"
#include "firmware/LoadBlock.h"
#include "firmware/SampleImage.h"
#include "platform/HexText.h"
#include "serial/FrameCodec.h"

namespace fs = std::filesystem;

namespace {

struct SBlock {
    uint32_t nAddr;
    std::vector<uint8_t> abData;
};

class ImageReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() /
                ("velor-img-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    std::string Write(const std::string& strName, const std::string& strText) {
        const auto path = m_dir / strName;
        std::ofstream(path, std::ios::binary) << strText;
        return path.string();
    }

    // Runs the reader and collects the blocks it hands out.
    int Read(const std::string& strPath, std::vector<SBlock>& blocks) {
        blocks.clear();
        return m_reader.Run(strPath, [&](const uint8_t* p, size_t n) {
            EXPECT_GE(n, loadblock::LOAD_HEADER);
            EXPECT_LE(n, loadblock::LOAD_HEADER + loadblock::LOAD_MAX_BYTES);
            EXPECT_EQ(p[0], 0);
            blocks.push_back({loadblock::LoadAddress(p), {p + 4, p + n}});
            return 0;
        });
    }

    fs::path m_dir;
    CImageReader m_reader;
};

std::string Hex(const std::vector<uint8_t>& ab) {
    return HexText(ab.data(), ab.size());
}

// One S-record of the given type with a correct checksum.
std::string SRec(char cType, uint32_t nAddr, const std::vector<uint8_t>& data) {
    return SRecordLine(cType, nAddr, data.data(), data.size());
}

std::string IRec(uint8_t nType, uint16_t nAddr, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> ab = {static_cast<uint8_t>(data.size()), static_cast<uint8_t>(nAddr >> 8),
                               static_cast<uint8_t>(nAddr), nType};
    ab.insert(ab.end(), data.begin(), data.end());
    unsigned nSum = 0;
    for (uint8_t b : ab)
        nSum += b;
    ab.push_back(static_cast<uint8_t>(0x100 - (nSum & 0xFF)));
    return ":" + Hex(ab) + "\n";
}

std::vector<uint8_t> Bytes(size_t n, uint8_t nFirst = 0) {
    std::vector<uint8_t> ab(n);
    for (size_t i = 0; i < n; ++i)
        ab[i] = static_cast<uint8_t>(nFirst + i);
    return ab;
}

std::map<uint32_t, uint8_t> Memory(const std::vector<SBlock>& blocks) {
    std::map<uint32_t, uint8_t> mem;
    for (const auto& b : blocks)
        for (size_t i = 0; i < b.abData.size(); ++i) {
            EXPECT_EQ(mem.count(b.nAddr + static_cast<uint32_t>(i)), 0u) << "written twice";
            mem[b.nAddr + static_cast<uint32_t>(i)] = b.abData[i];
        }
    return mem;
}

} // namespace

TEST_F(ImageReaderTest, ConsecutiveRecordsFillFullBlocks) {
    std::string str = SRec('0', 0, Bytes(6, 'A'));
    for (uint32_t a = 0; a < 1000; a += 16)
        str += SRec('3', 0x1000 + a, Bytes(16, uint8_t(a)));
    str += SRec('7', 0, {});
    std::vector<SBlock> blocks;
    ASSERT_EQ(Read(Write("a.s37", str), blocks), 0);
    ASSERT_EQ(blocks.size(), 5u); // 4 x 234 + 64 = 1008
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(blocks[i].abData.size(), 234u);
        EXPECT_EQ(blocks[i].nAddr, 0x1000 + 234 * i);
    }
    EXPECT_EQ(blocks[4].abData.size(), 1008u - 4 * 234);
    EXPECT_EQ(m_reader.BytesSent(), 1008u);
}

TEST_F(ImageReaderTest, AddressJumpStartsNewBlock) {
    const std::string str = SRec('3', 0x100, Bytes(16)) + SRec('3', 0x110, Bytes(16)) +
                            SRec('3', 0x200, Bytes(8)) + SRec('3', 0x1F8, Bytes(8)) +
                            SRec('7', 0, {});
    std::vector<SBlock> blocks;
    ASSERT_EQ(Read(Write("a.s37", str), blocks), 0);
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[0].nAddr, 0x100u);
    EXPECT_EQ(blocks[0].abData.size(), 32u);
    EXPECT_EQ(blocks[1].nAddr, 0x200u);
    EXPECT_EQ(blocks[2].nAddr, 0x1F8u);
}

TEST_F(ImageReaderTest, RecordLayoutsByType) {
    // S1, S2 and S3 records carry 2, 3 and 4 address bytes; S5 counts are skipped.
    const std::string str = SRec('0', 0, {}) + SRec('1', 0x1234, {1, 2}) +
                            SRec('2', 0x045678, {3, 4}) + SRec('5', 3, {}) +
                            SRec('3', 0x0007ABCD, {5, 6}) + SRec('9', 0, {}) +
                            SRec('3', 0x300, {7}); // after the end: not read
    std::vector<SBlock> blocks;
    ASSERT_EQ(Read(Write("a.s19", str), blocks), 0);
    const auto mem = Memory(blocks);
    EXPECT_EQ(
        mem,
        (std::map<uint32_t, uint8_t>{
            {0x1234, 1}, {0x1235, 2}, {0x45678, 3}, {0x45679, 4}, {0x7ABCD, 5}, {0x7ABCE, 6}}));
}

TEST_F(ImageReaderTest, IntelExtendedAddresses) {
    const std::string str = IRec(0, 0x0000, Bytes(16)) + IRec(0, 0x0010, Bytes(16, 16)) +
                            IRec(4, 0, {0x00, 0x01}) + IRec(0, 0x2000, {0xAA}) + // 0x12000
                            IRec(2, 0, {0x30, 0x00}) + IRec(0, 0x0004, {0xBB}) + // 0x30004
                            IRec(3, 0, {0, 0, 0, 0}) + IRec(5, 0, {0, 0, 0, 0}) +
                            IRec(4, 0, {0x00, 0x08}) + IRec(0, 0x0000, {0xCC}) + // 0x80000
                            IRec(1, 0, {}) + IRec(0, 0x40, {0xDD});
    std::vector<SBlock> blocks;
    ASSERT_EQ(Read(Write("a.hex", str), blocks), 0);
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[0].nAddr, 0u); // two records of 16 bytes share a block
    EXPECT_EQ(blocks[0].abData, Bytes(32));
    EXPECT_EQ(blocks[1].nAddr, 0x12000u);
    EXPECT_EQ(blocks[2].nAddr, 0x30004u);
    EXPECT_EQ(blocks[2].abData, std::vector<uint8_t>{0xBB});
}

TEST_F(ImageReaderTest, IntelSegmentAddressesWrapWithinTheSegment) {
    // Offsets past 0xFFFF under a segment base stay in the segment, as srec_cat reads
    // them; under a linear base nothing wraps.
    const std::string str = IRec(2, 0, {0x10, 0x00}) + IRec(0, 0xFFF8, Bytes(16));
    std::vector<SBlock> blocks;
    ASSERT_EQ(Read(Write("seg.hex", str), blocks), 0);
    const auto mem = Memory(blocks);
    ASSERT_EQ(mem.size(), 16u);
    EXPECT_EQ(mem.at(0x1FFF8), 0);
    EXPECT_EQ(mem.at(0x1FFFF), 7);
    EXPECT_EQ(mem.at(0x10000), 8);
    EXPECT_EQ(mem.at(0x10007), 15);
}

TEST_F(ImageReaderTest, NothingAtOrAbove512KiB) {
    const std::string str = SRec('3', 0x7FF00, Bytes(16)) + SRec('3', 0x80000, Bytes(16)) +
                            SRec('3', 0x80010, Bytes(16)) + SRec('3', 0x7FFFC, Bytes(8, 0x40)) +
                            SRec('3', 0xFFFFFFF8, Bytes(16)) + SRec('7', 0, {});
    std::vector<SBlock> blocks;
    ASSERT_EQ(Read(Write("a.s37", str), blocks), 0);
    const auto mem = Memory(blocks);
    ASSERT_FALSE(mem.empty());
    EXPECT_EQ(mem.rbegin()->first, 0x7FFFFu);
    EXPECT_EQ(mem.size(), 16u + 4u);
    EXPECT_EQ(mem.at(0x7FFFC), 0x40);
}

TEST_F(ImageReaderTest, LowerCaseAndLongRecordsAndCrLf) {
    std::string rec = SRec('3', 0x2000, Bytes(200, 0xA0)); // far beyond 87 characters
    for (char& c : rec)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    rec[0] = 'S';
    std::string crlf = SRec('3', 0x3000, {0xDE, 0xAD});
    crlf.insert(crlf.size() - 1, "\r");
    std::vector<SBlock> blocks;
    ASSERT_EQ(Read(Write("a.s37", rec + crlf + "S70500000000FA\n"), blocks), 0);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].abData, Bytes(200, 0xA0));
    EXPECT_EQ(blocks[1].abData, (std::vector<uint8_t>{0xDE, 0xAD}));
}

TEST_F(ImageReaderTest, FormatErrorsNameTheLine) {
    struct SCase {
        std::string strText;
        size_t nLine;
        const char* pszReason;
    };
    std::string badSum = SRec('3', 0x100, Bytes(4));
    badSum[badSum.size() - 2] = badSum[badSum.size() - 2] == '0' ? '1' : '0';
    std::string nonHex = SRec('3', 0x100, Bytes(4));
    nonHex[14] = 'G';
    std::string shortRec = SRec('3', 0x100, Bytes(4));
    shortRec.erase(shortRec.size() - 3, 2);
    const SCase aCases[] = {
        {SRec('3', 0, {1}) + badSum, 2, "checksum"},
        {nonHex, 1, "not a hex digit"},
        {SRec('3', 0, {1}) + "\n" + SRec('3', 1, {2}), 2, "empty line"},
        {SRec('3', 0, {1}) + shortRec, 2, "count says"},
        {"X123\n", 1, "must start"},
        {"S4030000FC\n", 1, "S4"},
        {IRec(0, 0, {1}) + IRec(6, 0, {}), 2, "type 06"},
        {"S002FFFE\n", 1, "too small"},
    };
    for (const auto& c : aCases) {
        std::vector<SBlock> blocks;
        EXPECT_EQ(Read(Write("bad.s37", c.strText), blocks), CImageReader::ERR_FORMAT) << c.strText;
        EXPECT_EQ(m_reader.ErrorLine(), c.nLine) << c.strText;
        EXPECT_NE(m_reader.ErrorReason().find(c.pszReason), std::string::npos)
            << m_reader.ErrorReason();
        const CImageCheck check = ValidateImage((m_dir / "bad.s37").string());
        EXPECT_EQ(check.m_nResult, CImageReader::ERR_FORMAT);
        EXPECT_EQ(check.m_nLine, c.nLine);
        EXPECT_EQ(check.Describe().rfind("line " + std::to_string(c.nLine) + ": ", 0), 0u)
            << check.Describe();
    }
}

TEST_F(ImageReaderTest, EndsAndOpenFailure) {
    std::vector<SBlock> blocks;
    EXPECT_EQ(Read(Write("empty.s37", ""), blocks), 0);
    EXPECT_TRUE(blocks.empty());
    // A data record without data ends the image.
    EXPECT_EQ(
        Read(Write("a.s37", SRec('3', 0x10, {1}) + SRec('3', 0x20, {}) + SRec('3', 0x30, {3})),
             blocks),
        0);
    EXPECT_EQ(Memory(blocks).size(), 1u);
    EXPECT_EQ(Read((m_dir / "missing.s37").string(), blocks), CImageReader::ERR_OPEN);
    EXPECT_EQ(ValidateImage(m_dir.string()).m_nResult, CImageReader::ERR_OPEN); // a folder
    EXPECT_EQ(ValidateImage((m_dir / "missing.s37").string()).m_nResult, CImageReader::ERR_OPEN);
}

TEST_F(ImageReaderTest, SendFailureStopsTheReader) {
    std::string str;
    for (uint32_t a = 0; a < 2000; a += 16)
        str += SRec('3', a, Bytes(16));
    int nCalls = 0;
    const int nResult = m_reader.Run(
        Write("a.s37", str), [&](const uint8_t*, size_t) { return ++nCalls == 3 ? 1025 : 0; });
    EXPECT_EQ(nResult, 1025);
    EXPECT_EQ(nCalls, 3);
}

TEST_F(ImageReaderTest, CheckWordCaptures) {
    struct SCase {
        std::string strText;
        uint16_t nWord;
        bool bFound;
    };
    const SCase aCases[] = {
        // A record that starts at 0xFFFE: its first two data bytes.
        {SRec('3', 0xFFF0, Bytes(14)) + SRec('3', 0xFFFE, {0x12, 0x34}), 0x1234, true},
        // 0xFFFE inside a record is not a capture point.
        {SRec('3', 0xFFF0, Bytes(16)), CImageReader::CHECK_WORD_NONE, false},
        // The last two bytes of a 16-byte record at 0x1FFF0, and likewise higher up.
        {SRec('3', 0x1FFF0, Bytes(16, 0x50)), 0x5E5F, true},
        {SRec('3', 0x3FFF0, Bytes(16, 0x60)), 0x6E6F, true},
        {SRec('3', 0x7FFF0, Bytes(16, 0x70)), 0x7E7F, true},
        // A later capture replaces an earlier one.
        {SRec('3', 0xFFFE, {0xAA, 0xBB}) + SRec('3', 0x1FFF0, Bytes(16, 0x50)), 0x5E5F, true},
        // Never taken from characters that are not data of the record.
        {SRec('3', 0x1FFF0, Bytes(14)), CImageReader::CHECK_WORD_NONE, false},
        // Wherever the records split the two bytes.
        {SRec('3', 0x1FFF0, Bytes(14)) + SRec('3', 0x1FFFE, {0x12, 0x34}), 0x1234, true},
        {SRec('3', 0x1FFF0, Bytes(15, 0x40)) + SRec('3', 0x1FFFF, {0x99}), 0x4E99, true},
        {SRec('3', 0xFFFE, {0xAB}) + SRec('3', 0xFFFF, {0xCD}), 0xABCD, true},
        {SRec('3', 0xFFFE, {0xAB}) + SRec('3', 0x10010, {0xCD}), CImageReader::CHECK_WORD_NONE,
         false},
    };
    for (const auto& c : aCases) {
        std::vector<SBlock> blocks;
        ASSERT_EQ(Read(Write("cw.s37", c.strText), blocks), 0);
        EXPECT_EQ(m_reader.CheckWord(), c.nWord) << c.strText;
        EXPECT_EQ(m_reader.CheckWordFound(), c.bFound) << c.strText;
    }
    // A block resumed at 0xFFFE after a full block.
    std::string str;
    const uint32_t nStart = 0xFFFE - 234;
    str = SRec('3', nStart, Bytes(234)) + SRec('3', 0xFFFE, {0xC0, 0xDE}); // contiguous
    std::vector<SBlock> blocks;
    ASSERT_EQ(Read(Write("cw2.s37", str), blocks), 0);
    EXPECT_EQ(m_reader.CheckWord(), 0xC0DE);
    std::string str2 = SRec('3', nStart, Bytes(236, 0x10));
    ASSERT_EQ(Read(Write("cw3.s37", str2), blocks), 0);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[1].nAddr, 0xFFFEu);
    EXPECT_EQ(m_reader.CheckWord(), uint16_t((0x10 + 234) << 8 | (0x10 + 235)));
}

// Images written by srec_cat from random binaries at random addresses, in every
// record format: the bytes handed out, placed at their addresses, must equal
// srec_cat's own binary rendering below 0x80000.
TEST_F(ImageReaderTest, AgreesWithSrecCat) {
    if (std::system("command -v srec_cat >/dev/null 2>&1") != 0) GTEST_SKIP() << "srec_cat missing";
    std::mt19937 rng(20261208);
    struct SFormat {
        const char* pszExt;
        const char* pszArgs;
        uint32_t nMaxAddr;
    };
    const SFormat aFormats[] = {
        {"s19", "-motorola -address-length=2", 0x10000},
        {"s28", "-motorola -address-length=3", 0x90000},
        {"s37", "-motorola -address-length=4", 0x90000},
        {"hex", "-intel", 0x90000},
    };
    for (int nRound = 0; nRound < 3; ++nRound) {
        for (const auto& fmt : aFormats) {
            std::string strCmd = "srec_cat";
            uint32_t nAddr = rng() % 0x800;
            for (int nSeg = 0; nSeg < 4; ++nSeg) {
                const size_t nLen = 1 + rng() % 3000;
                if (nAddr + nLen > fmt.nMaxAddr) break;
                std::vector<char> data(nLen);
                for (auto& c : data)
                    c = static_cast<char>(rng());
                const auto bin = m_dir / ("seg" + std::to_string(nSeg) + ".bin");
                std::ofstream(bin, std::ios::binary).write(data.data(), static_cast<long>(nLen));
                strCmd += " " + bin.string() + " -binary -offset " + std::to_string(nAddr);
                nAddr += static_cast<uint32_t>(nLen + 1 + rng() % (fmt.nMaxAddr / 6));
            }
            const auto img = m_dir / (std::string("img.") + fmt.pszExt);
            const auto out = m_dir / "out.bin";
            strCmd += " -o " + img.string() + " " + fmt.pszArgs +
                      " -obs=" + std::to_string(8 + rng() % 40);
            ASSERT_EQ(std::system(strCmd.c_str()), 0) << strCmd;
            const std::string strIn = fmt.pszExt[0] == 'h' ? " -intel" : " -motorola";
            const std::string strBin = "srec_cat " + img.string() + strIn + " -crop 0 0x80000 -o " +
                                       out.string() + " -binary 2>/dev/null";
            ASSERT_EQ(std::system(strBin.c_str()), 0) << strBin;

            std::vector<SBlock> blocks;
            ASSERT_EQ(Read(img.string(), blocks), 0) << m_reader.ErrorReason() << " " << strCmd;
            std::ifstream f(out, std::ios::binary);
            std::vector<uint8_t> ref((std::istreambuf_iterator<char>(f)), {});
            std::vector<uint8_t> mem(ref.size(), 0);
            for (const auto& b : blocks) {
                ASSERT_LE(b.nAddr + b.abData.size(), ref.size());
                std::copy(b.abData.begin(), b.abData.end(), mem.begin() + b.nAddr);
            }
            EXPECT_EQ(mem, ref) << strCmd;
            for (size_t i = 0; i + 1 < blocks.size(); ++i)
                if (blocks[i].abData.size() < loadblock::LOAD_MAX_BYTES)
                    EXPECT_NE(blocks[i].nAddr + blocks[i].abData.size(), blocks[i + 1].nAddr)
                        << "block broken without an address jump";
            const CImageCheck check = ValidateImage(img.string());
            EXPECT_TRUE(check.Ok());
            EXPECT_EQ(check.m_nBlocks, blocks.size());
        }
    }
}

#include "firmware/SampleImage.h"

TEST_F(ImageReaderTest, SampleImagesReadBackWithTheirCheckWord) {
    for (const SSampleImage layout :
         {SSampleImage{0, 16 * 1024, 32, 7}, SSampleImage{0xF000, 0x2000, 16, 9},
          SSampleImage{0, 0x40000, 64, 3}}) {
        const auto path = (m_dir / "sample.s37").string();
        ASSERT_TRUE(WriteSampleImage(path, layout));
        std::vector<SBlock> blocks;
        ASSERT_EQ(Read(path, blocks), 0) << m_reader.ErrorReason();
        const auto mem = Memory(blocks);
        ASSERT_EQ(mem.size(), layout.m_nLength);
        EXPECT_EQ(mem.begin()->first, layout.m_nStart);
        const uint32_t nEnd = layout.m_nStart + static_cast<uint32_t>(layout.m_nLength);
        // The highest check-word point the image covers is the one captured.
        uint32_t nPoint = 0;
        for (uint32_t p : {0xFFFEu, 0x1FFFEu, 0x3FFFEu, 0x7FFFEu})
            if (p >= layout.m_nStart && p + 2 <= nEnd) nPoint = p;
        if (nPoint) {
            EXPECT_TRUE(m_reader.CheckWordFound());
            EXPECT_EQ(m_reader.CheckWord(), uint16_t(mem.at(nPoint) << 8 | mem.at(nPoint + 1)));
        } else {
            EXPECT_FALSE(m_reader.CheckWordFound());
        }
    }
}
