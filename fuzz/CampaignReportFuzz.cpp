// The campaign report as --resume and --report read it: any bytes in the file, read,
// each line compared with a flash's and a write's identity, then opened for appending
// (a torn tail cut back). Nothing may throw or abort, and an opened report ends with a
// whole line.

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "FuzzCommon.h"
#include "cli/Campaign.h"
#include "platform/OutsideFile.h"

namespace {

std::string TempPath() {
    char sz[] = "/tmp/velor-fuzz-report-XXXXXX";
    const int fd = ::mkstemp(sz);
    FUZZ_CHECK(fd >= 0);
    ::close(fd);
    return sz;
}

void Write(const std::string& strPath, const uint8_t* p, size_t n) {
    FILE* pFile = std::fopen(strPath.c_str(), "wb");
    FUZZ_CHECK(pFile);
    FUZZ_CHECK(std::fwrite(p, 1, n, pFile) == n);
    std::fclose(pFile);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    static const std::string s_strPath = TempPath();
    static const auto s_identities = [] {
        SFleetCommand flash;
        flash.m_eMode = ECommandMode::Flash;
        flash.m_strImagePath = "site.s19";
        flash.m_pImage = std::make_shared<CLoadImage>();
        SFleetCommand write;
        write.m_eMode = ECommandMode::Write;
        write.m_assignments = {"timeout=30", "des-key=0011223344556677"};
        return std::vector<nlohmann::ordered_json>{CampaignIdentity(flash, {}, "00"),
                                                   CampaignIdentity(write, {}, "00")};
    }();
    Write(s_strPath, pData, nSize);
    SReportContents contents;
    std::string strError;
    if (CCampaignReport::Read(s_strPath, false, contents, strError)) {
        for (const auto& line : contents.m_lines)
            for (const auto& identity : s_identities)
                (void)CampaignDifference(line.m_json, identity);
    } else {
        FUZZ_CHECK(!strError.empty());
    }
    {
        CCampaignReport report;
        std::string strNote;
        if (report.Open(s_strPath, strError, strNote))
            FUZZ_CHECK(
                report.Append(s_identities[0], "udp:10.0.0.1:3001", "\xff", "started", strError));
    }
    const outside::SFileText text = outside::ReadFile(s_strPath, 1u << 24, 1u << 24);
    FUZZ_CHECK(text.Ok());
    FUZZ_CHECK(text.m_strText.empty() || text.m_strText.back() == '\n');
    return 0;
}
