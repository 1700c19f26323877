#include <gtest/gtest.h>

#include <filesystem>

#include "firmware/ImageBlocks.h"
#include "firmware/ImageReader.h"
#include "firmware/SampleImage.h"

TEST(ImageBlocksTest, SharedWhileHeldAndReadAgainOnceTheFileChanged) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("image_blocks_test." +
                       std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + ".s37");
    SSampleImage sample;
    ASSERT_TRUE(WriteSampleImage(path.string(), sample));
    const auto pFirst = ReadImageBlocks(path.string());
    ASSERT_EQ(pFirst->m_nResult, 0);
    EXPECT_FALSE(pFirst->m_anBlockLen.empty());
    EXPECT_EQ(ReadImageBlocks(path.string()), pFirst); // one copy for downloads at once
    // Another image under the same name, while the first copy is still held.
    sample.m_nSeed = 2;
    sample.m_nLength = 8 * 1024;
    ASSERT_TRUE(WriteSampleImage(path.string(), sample));
    const auto pSecond = ReadImageBlocks(path.string());
    EXPECT_NE(pSecond, pFirst);
    EXPECT_NE(pSecond->m_abBlocks, pFirst->m_abBlocks);
    std::filesystem::remove(path);
    EXPECT_EQ(ReadImageBlocks(path.string())->m_nResult, CImageReader::ERR_OPEN);
}
