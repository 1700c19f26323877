#include <gtest/gtest.h>

#include <string>

#include "ethernet/SockUtil.h"

TEST(SockUtil, ErrorTexts) {
    EXPECT_STREQ(CSockUtil::ErrorText(10054), "Connection reset by peer");
    EXPECT_STREQ(CSockUtil::ErrorText(10060), "Connection timed out");
    EXPECT_STREQ(CSockUtil::ErrorText(10004), "Interrupted system call");
    EXPECT_STREQ(CSockUtil::ErrorText(10071), "The object is remote");
    EXPECT_STREQ(CSockUtil::ErrorText(10091), "System not ready");
    EXPECT_STREQ(CSockUtil::ErrorText(11004), "No data record available");
    EXPECT_STREQ(CSockUtil::ErrorText(10055), "No buffer space is supported");
}

TEST(SockUtil, UnlistedNumbersAreUnknown) {
    int nKnown = 0;
    for (int n = -5; n < 12000; ++n) {
        const std::string str = CSockUtil::ErrorText(n);
        const bool bGap = (n >= 10005 && n <= 10008) || (n >= 10072 && n <= 10090) || n <= 0 ||
                          n == 11005 || n < 10004 || n > 11004;
        if (bGap) {
            EXPECT_EQ(str, "Unknown") << n;
        }
        if (str != "Unknown") ++nKnown;
    }
    EXPECT_EQ(nKnown, 50); // the whole table and nothing else
}
