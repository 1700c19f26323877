// The campaign report reader, the campaign's identity and the fleet file's unit
// names, called directly.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "cli/Campaign.h"
#include "cli/Fleet.h"

namespace {

std::string TempFile(const std::string& strName, const std::string& strText) {
    const std::string strPath =
        ::testing::TempDir() + "campaign-" + std::to_string(::getpid()) + "-" + strName;
    std::remove(strPath.c_str());
    std::ofstream(strPath, std::ios::binary) << strText;
    return strPath;
}

const std::string LINE = R"({"target":"udp:10.0.0.1:3001","command":"flash","result":"success",)"
                         R"("image":{"file":"a.s19","bytes":8,"check-word":null,"sha256":"AB"}})";

} // namespace

TEST(CampaignReportTest, LinesAreCheckedForTheirTypesWithTheirNumbers) {
    const struct {
        std::string strText;
        std::string strError; // empty: read
    } cases[] = {
        {LINE + "\n" + LINE + "\n", ""},
        {LINE + "\n\n" + LINE + "\n", ""},
        {LINE + "\r\n", ""},
        {"not json\n" + LINE + "\n", ":1: not a line of a campaign report"},
        {LINE + "\n[1,2]\n", ":2: not a line of a campaign report"},
        {R"({"target":"x","command":7,"result":"success"})"
         "\n",
         ":1: not a line"},
        {R"({"target":"x","command":"write","result":"success","fields":[1]})"
         "\n",
         ":1: 'fields' is not an object"},
        {R"({"target":"x","command":"write","result":"success","fields":{"ip":1}})"
         "\n",
         ":1: a value of 'fields' is not text"},
        {R"({"target":"x","command":"flash","result":"s","image":{"file":3,"bytes":1,"sha256":""}})"
         "\n",
         ":1: the image's 'file' is not text"},
        {R"({"target":"x","command":"flash","result":"s","image":{"bytes":"8","sha256":""}})"
         "\n",
         ":1: the image's 'bytes' is not a number"},
        {R"({"target":"x","command":"write","result":"s","salt":5})"
         "\n",
         ":1: 'salt' is not text"},
    };
    for (const auto& c : cases) {
        SReportContents contents;
        std::string strError;
        const bool bOk =
            CCampaignReport::Read(TempFile("r.jsonl", c.strText), false, contents, strError);
        EXPECT_EQ(bOk, c.strError.empty()) << c.strText << strError;
        if (!c.strError.empty())
            EXPECT_NE(strError.find(c.strError), std::string::npos) << strError;
    }
}

TEST(CampaignReportTest, ATornTailAtAnyByteIsLeftOutAndCutOnOpen) {
    const std::string strWhole = LINE + "\n";
    for (size_t n = 1; n < LINE.size(); ++n) {
        const std::string strPath = TempFile("torn.jsonl", strWhole + LINE.substr(0, n));
        SReportContents contents;
        std::string strError, strNote;
        ASSERT_TRUE(CCampaignReport::Read(strPath, false, contents, strError)) << n << strError;
        EXPECT_TRUE(contents.m_bTornTail);
        EXPECT_EQ(contents.m_lines.size(), 1u);
        CCampaignReport report;
        ASSERT_TRUE(report.Open(strPath, strError, strNote)) << strError;
        EXPECT_FALSE(strNote.empty());
        struct stat st {};
        ASSERT_EQ(::stat(strPath.c_str(), &st), 0);
        EXPECT_EQ(static_cast<size_t>(st.st_size), strWhole.size()) << n;
    }
}

TEST(CampaignReportTest, NeverThroughASymbolicLinkAndNamesWithAnyBytes) {
    const std::string strTarget = TempFile("target.jsonl", "");
    const std::string strLink = strTarget + ".link";
    std::remove(strLink.c_str());
    ASSERT_EQ(::symlink((strTarget + ".gone").c_str(), strLink.c_str()), 0);
    CCampaignReport report;
    std::string strError, strNote;
    EXPECT_FALSE(report.Open(strLink, strError, strNote));
    EXPECT_NE(strError.find("symbolic link"), std::string::npos) << strError;
    struct stat st {};
    EXPECT_NE(::stat((strTarget + ".gone").c_str(), &st), 0); // nothing created
    SReportContents contents;
    EXPECT_FALSE(CCampaignReport::Read(strLink, true, contents, strError));

    CCampaignReport good;
    ASSERT_TRUE(good.Open(strTarget, strError, strNote)) << strError;
    EXPECT_TRUE(good.Append(nlohmann::ordered_json{{"command", "status"}}, "serial:/dev/M\xe4rz",
                            "serial:/dev/M\xe4rz", "success", strError));
    ASSERT_TRUE(CCampaignReport::Read(strTarget, false, contents, strError)) << strError;
    ASSERT_EQ(contents.m_lines.size(), 1u);
}

TEST(CampaignIdentityTest, AnotherKeyOrAnotherImageOfTheSameSizeIsAnotherCampaign) {
    SFleetCommand write;
    write.m_eMode = ECommandMode::Write;
    write.m_assignments = {"timeout=30", "des-key=00112233445566AA"};
    const auto identity = CampaignIdentity(write, {"ip=10.0.0.9"}, "5A5A");
    const std::string strText = identity.dump();
    EXPECT_EQ(strText.find("00112233445566AA"), std::string::npos) << strText;
    EXPECT_EQ(identity["fields"]["ip"], "10.0.0.9");
    EXPECT_EQ(CampaignDifference(identity, identity), "");
    SFleetCommand lower = write;
    lower.m_assignments[1] = "des-key=00112233445566aa"; // the same key
    EXPECT_EQ(CampaignDifference(identity, CampaignIdentity(lower, {"ip=10.0.0.9"}, "5A5A")), "");
    SFleetCommand other = write;
    other.m_assignments[1] = "des-key=00112233445566AB";
    EXPECT_NE(CampaignDifference(identity, CampaignIdentity(other, {"ip=10.0.0.9"}, "5A5A")), "");
    EXPECT_NE(CampaignDifference(identity, CampaignIdentity(write, {"ip=10.0.0.8"}, "5A5A")), "");

    const auto image = [](uint8_t nByte) {
        auto p = std::make_shared<CLoadImage>();
        p->m_abBlocks = {0, 0, 0x10, 0, nByte, 2};
        p->m_anBlockLen = {6};
        p->m_check.m_nBytes = 2; // no check word in either
        return p;
    };
    SFleetCommand flash;
    flash.m_eMode = ECommandMode::Flash;
    flash.m_strImagePath = "a.s19";
    flash.m_pImage = image(1);
    SFleetCommand flash2 = flash;
    flash2.m_pImage = image(9);
    const auto one = CampaignIdentity(flash, {}, "");
    EXPECT_EQ(CampaignDifference(one, CampaignIdentity(flash, {}, "")), "");
    EXPECT_NE(CampaignDifference(one, CampaignIdentity(flash2, {}, "")), "");
}

TEST(FleetFileTest, OneNamePerUnitAndSpreadsheetFiles) {
    const struct {
        std::string strText;
        std::string strError; // empty: read
    } cases[] = {
        {"target,addr\nudp:10.0.0.1:3001,\nudp:10.0.0.1,0\n", "already on line 2"},
        {"target,addr\nudp:10.0.0.1,00\nudp:10.0.0.1:3001,0\n", "already on line 2"},
        {"target,addr\nudp:10.0.0.1,1\nudp:10.0.0.1:3001,01\n", "already on line 2"},
        {"target,addr\nudp:10.0.0.1,1\nudp:10.0.0.1:3001,2\n", ""},
        {"target\nserial:/dev/ttyS0\nserial:/dev/ttyS1\n", ""},
        {"\xEF\xBB\xBFtarget,timeout,,\r\nudp:10.0.0.1,30,,\r\n", ""},
        {"target,\"timeout\"\n\"udp:10.0.0.1\",\"30\"\n", ""},
        {"\xEF\xBB\xBFtarget,bogus\nudp:10.0.0.1,1\n", "unknown column 'bogus'"},
        {"target,\x1b]0;x\n", "unknown column '?]0;x'"},
    };
    for (const auto& c : cases) {
        std::vector<SFleetUnit> units;
        std::string strError;
        const bool bOk = ParseFleetText("site.csv", c.strText, units, strError);
        EXPECT_EQ(bOk, c.strError.empty()) << c.strText << strError;
        if (!c.strError.empty())
            EXPECT_NE(strError.find(c.strError), std::string::npos) << strError;
    }
    std::vector<SFleetUnit> units;
    std::string strError;
    EXPECT_FALSE(ReadFleetFile("/dev/zero", units, strError));
    EXPECT_NE(strError.find("not a regular file"), std::string::npos) << strError;
}
