// RunCommand's outcome: how a command's end maps to a unit's result, exit status,
// check words and result object, against a simulated unit on 127.0.0.1.

#include <gtest/gtest.h>

#include "SimServerUtil.h"
#include "cli/Campaign.h"
#include "cli/Command.h"

namespace {

SCommandOutcome RunOn(CSimServer& sim, SCommand cmd) {
    SLinkOptions link;
    link.m_bUdp = true;
    link.m_strHost = "127.0.0.1";
    link.m_nUdpPort = sim.UdpPort();
    cmd.m_bYes = true;
    SCommandOutput output;
    output.m_bPrint = false;
    return RunCommand(link, cmd, output);
}

SCommand Write(const std::string& strAssignment) {
    SCommand cmd;
    cmd.m_eMode = ECommandMode::Write;
    std::string strError;
    EXPECT_TRUE(cmd.m_edits.Parse({strAssignment}, strError)) << strError;
    return cmd;
}

} // namespace

TEST(RunCommandTest, OutcomesAsTheFleetCountsThem) {
    SSimOptions o;
    o.m_bUdp = true;
    o.m_nUdpPort = 0;
    o.m_bResyncAtStart = false;
    o.m_params.SetTimeout(30);
    CSimServer sim;
    ASSERT_TRUE(sim.Start(o));
    PointRecordAtServer(sim);

    const SCommandOutcome status = RunOn(sim, SCommand{});
    EXPECT_EQ(status.m_eUnit, EUnitResult::Success);
    EXPECT_EQ(status.m_nExit, EXIT_OK);
    ASSERT_TRUE(status.m_nCheckBefore.has_value());
    EXPECT_EQ(status.m_nCheckBefore, status.m_nCheckAfter);
    EXPECT_TRUE(status.m_json.contains("check-word"));
    EXPECT_EQ(UnitResultName(status), "success");

    const SCommandOutcome same = RunOn(sim, Write("timeout=30"));
    EXPECT_EQ(same.m_eUnit, EUnitResult::Unchanged);
    EXPECT_EQ(same.m_nExit, EXIT_OK);
    EXPECT_EQ(UnitResultName(same), "unchanged");
    EXPECT_EQ(FramesReceived(sim, 0x92), 0u); // nothing written

    const SCommandOutcome written = RunOn(sim, Write("timeout=5"));
    EXPECT_EQ(written.m_eUnit, EUnitResult::Success);
    EXPECT_EQ(written.m_eJob, EJobResult::Success);
    EXPECT_EQ(written.m_json["result"], "success");

    SCommand flash;
    flash.m_eMode = ECommandMode::Flash;
    flash.m_strImagePath = ::testing::TempDir() + "no-such-image.s19";
    const SCommandOutcome image = RunOn(sim, flash);
    EXPECT_EQ(image.m_eUnit, EUnitResult::Failed);
    EXPECT_EQ(image.m_eJob, EJobResult::ImageError);
    EXPECT_EQ(image.m_nExit, EXIT_IMAGE);
    EXPECT_TRUE(image.m_json.is_null());

    // A report's words: only a success, current or unchanged unit is done on resume;
    // a load the unit could not verify is taken again.
    EXPECT_TRUE(IsCampaignSuccess(ReportedResult(UnitResultName(same))));
    EXPECT_TRUE(IsCampaignSuccess(ReportedResult(UnitResultName(written))));
    for (const char* psz : {"unverified", "started", "loaded", "refused", "skipped"})
        EXPECT_FALSE(IsCampaignSuccess(ReportedResult(psz))) << psz;
}
