#include "platform/OutsideFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

std::string TempPath(const char* pName) {
    return ::testing::TempDir() + "outside-" + std::to_string(::getpid()) + "-" + pName;
}

TEST(OutsideFileTest, RefusesWhatIsNotARegularFileBeforeReading) {
    const std::string strFifo = TempPath("fifo");
    ::unlink(strFifo.c_str());
    ASSERT_EQ(::mkfifo(strFifo.c_str(), 0600), 0);
    // No writer: a blocking open would wait forever.
    EXPECT_EQ(outside::ReadFile(strFifo, 1 << 20).m_eError, outside::EReadError::NotRegular);
    ::unlink(strFifo.c_str());
    EXPECT_EQ(outside::ReadFile("/dev/zero", 1 << 20).m_eError, outside::EReadError::NotRegular);
    EXPECT_EQ(outside::ReadFile("/tmp", 1 << 20).m_eError, outside::EReadError::NotRegular);
    EXPECT_EQ(outside::ReadFile(TempPath("missing"), 1 << 20).m_eError, outside::EReadError::Open);
}

TEST(OutsideFileTest, BoundsSizeAndLinesAndSplitsCrlfAndTornTail) {
    const std::string strPath = TempPath("text");
    {
        std::ofstream out(strPath, std::ios::binary);
        out << "a,b\r\n\r\nc" << std::string(100, 'x');
    }
    const auto text = outside::ReadFile(strPath, 1 << 20);
    ASSERT_TRUE(text.Ok()) << text.m_strError;
    bool bTorn = false;
    const auto lines = outside::SplitLines(text.m_strText, &bTorn);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "a,b");
    EXPECT_EQ(lines[1], "");
    EXPECT_TRUE(bTorn);
    EXPECT_EQ(outside::ReadFile(strPath, 50).m_eError, outside::EReadError::TooLarge);
    const auto longLine = outside::ReadFile(strPath, 1 << 20, 64);
    EXPECT_EQ(longLine.m_eError, outside::EReadError::LineTooLong);
    EXPECT_EQ(longLine.m_nErrorLine, 3u);
    std::remove(strPath.c_str());
}

TEST(OutsideFileTest, PrintableKeepsUtf8AndReplacesControlsAndBadBytes) {
    EXPECT_EQ(outside::Printable("M\xC3\xA4rz"), "M\xC3\xA4rz");
    EXPECT_EQ(outside::Printable("M\xE4rz"), "M?rz");
    EXPECT_EQ(outside::Printable("\x1b]0;owned\x07x"), "?]0;owned?x");
    EXPECT_EQ(outside::Printable("\xC2\x9B"
                                 "2J"),
              "??2J"); // C1 CSI
}

} // namespace
