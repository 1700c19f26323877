// Serial jobs end to end: the worker's passes against the simulated unit over a
// pseudo-terminal, every dialog and message checked in order.

#include <gtest/gtest.h>

#include <new>
#include <utility>
#include <vector>

#include "JobTestHost.h"
#include "ScriptedPrompts.h"
#include "SimServerUtil.h"
#include "firmware/SampleImage.h"
#include "jobs/SerlThread.h"
#include "platform/TimeConstants.h"
#include "sim/SimUnit.h"

namespace {

const char* const CHECK_FAILED =
    "Communication Error, Orvik not responding.  If problem persists, clear the NVRAM by setting "
    "SW2, switches 2,4,6,8 on and the rotary switch to F, power Velor off and on, wait for LEDS "
    "1-4 to flash, then restart procedure.";

class SerialJobTest : public ::testing::Test {
protected:
    void SetUp() override {
        TimeConstants().m_nSerialReadMs = 60;
        TimeConstants().m_nSerialWriteMs = 200;
        TimeConstants().m_nSerialRetryPauseMs = 10;
        SSimOptions options;
        options.m_bPty = true;
        options.m_bResyncAtStart = false;
        ASSERT_TRUE(m_sim.Start(options));
    }
    void TearDown() override {
        m_sim.Stop();
        TimeConstants().Reset();
    }

    void Run(uint32_t nJob) {
        m_host.m_nJob = nJob;
        m_host.m_bSerialBusy = true;
        auto* pThread = new CSerlThread(&m_host, m_sim.PtyPath());
        ASSERT_TRUE(pThread->CreateThread());
        ASSERT_TRUE(m_host.Wait());
        EXPECT_EQ(m_host.m_nFinished, 1);
        EXPECT_FALSE(m_host.m_bSerialBusy);
        EXPECT_FALSE(m_host.m_bBusyAtFinish);
    }

    void SetFaults(const std::function<void(SSimFaults&)>& fn) { ChangeFaults(m_sim, fn); }

    uint32_t Frames(int nCmd) { return FramesReceived(m_sim, nCmd); }

    CSimServer m_sim;
    CScriptedPrompts m_prompts;
    CTestHost m_host{&m_prompts};
};

using Log = std::vector<std::string>;

} // namespace

TEST_F(SerialJobTest, ConfigureWritesAndResets) {
    m_prompts.m_fnConfig = [](NetParams& rec, bool bProps, bool bKeys, uint32_t nSerial) {
        EXPECT_FALSE(bProps);
        EXPECT_TRUE(bKeys);
        EXPECT_EQ(nSerial, 0x1234u);
        rec.SetPort(4321);
    };
    ClearUnitPortSettings(m_sim);
    Run(JOB_CONFIGURE);
    EXPECT_EQ(m_prompts.Log(), (Log{"[Config] OK", " Parameters are updated successfully",
                                    "[UpdateDone] OK", " The Orvik has reset successfully"}));
    EXPECT_EQ(m_sim.WithUnit([](CSimUnit& u) { return u.Params().Port(); }), 4321);
    EXPECT_EQ(m_host.m_nTargetPort, 4321);
    EXPECT_EQ(m_host.m_nSerialNo, 0x1234u);
    EXPECT_TRUE(m_host.m_bKeysEnabled);
}

TEST_F(SerialJobTest, CancelInTheFileDialogTalksToNobody) {
    m_prompts.Answer("ChooseFile", false);
    Run(JOB_FLASH);
    EXPECT_EQ(m_prompts.Log(), (Log{"[ChooseFile] Cancel"}));
    EXPECT_EQ(Frames(-1) + Frames(0x70), 0u);
    EXPECT_EQ(m_host.m_eResult, EJobResult::Cancelled);
}

TEST_F(SerialJobTest, SilentUnitThenOtherSettingsThenSuccess) {
    SetFaults([](SSimFaults& f) { f.m_bSilent = true; });
    m_prompts.m_fnSerialPort = [&](ScpParams&) {
        SetFaults([](SSimFaults& f) { f.m_bSilent = false; });
    };
    m_prompts.Answer("Config", false);
    Run(JOB_CONFIGURE);
    EXPECT_EQ(m_prompts.Log(),
              (Log{"Orvik not responding", CHECK_FAILED, "[SerialPort] OK", "[Config] Cancel"}));
    EXPECT_EQ(Frames(0x92), 0u);
}

TEST_F(SerialJobTest, SwitchOffLeadsToThePortDialog) {
    SetFaults([](SSimFaults& f) { f.m_bSwitchOff = true; });
    m_prompts.Answer("SerialPort", false);
    Run(JOB_CONFIGURE);
    EXPECT_EQ(m_prompts.Log(),
              (Log{"SW 3 dipswitch 2 must be ON to configure the Orvik.", "[SerialPort] Cancel"}));
    EXPECT_EQ(Frames(0x91), 0u);
    EXPECT_EQ(m_host.m_eResult, EJobResult::Refused);
}

TEST_F(SerialJobTest, StopIsSeenOnlyBetweenPasses) {
    SetFaults([](SSimFaults& f) { f.m_bSilent = true; });
    // The stop arrives while the port dialog is open; the dialog's OK still ends the
    // pass, and the next pass never starts.
    m_prompts.m_fnSerialPort = [&](ScpParams&) { m_host.StopSerialJob(); };
    Run(JOB_CONFIGURE);
    EXPECT_EQ(m_prompts.Log(), (Log{"Orvik not responding", CHECK_FAILED, "[SerialPort] OK"}));
    EXPECT_EQ(m_host.m_eResult, EJobResult::Stopped);
}

TEST_F(SerialJobTest, ReadFailureEndsTheJob) {
    // Status answered, then silence: the read's connect fails.
    SetFaults([](SSimFaults& f) { f.m_nSilentAfterFrames = 3; });
    m_prompts.m_bDefaultAnswer = false;
    Run(JOB_CONFIGURE);
    EXPECT_EQ(m_prompts.Log(),
              (Log{"Orvik not responding", "Communication Error, Orvik not responding",
                   "Orvik not responding"}));
    EXPECT_EQ(m_host.m_eResult, EJobResult::NoAnswer);
}

TEST_F(SerialJobTest, FlashJobLoadsAndVerifies) {
    const std::string strPath = ::testing::TempDir() + "serial_job_flash.s37";
    ASSERT_TRUE(WriteSampleImage(strPath, SSampleImage{0, 0x3000, 32, 11}));
    m_prompts.m_strImagePath = strPath;
    Run(JOB_FLASH);
    EXPECT_EQ(
        m_prompts.Log(),
        (Log{
            "[ChooseFile] OK",
            "Click 'OK' to start flashing, please wait up to two minutes at 115,200 baud and up to "
            "12 minutes at 9600 baud.  Do not power Velor off during the update.",
            "Flash successfully updated"}));
    EXPECT_EQ(m_host.m_eResult, EJobResult::Success);
}

TEST_F(SerialJobTest, OutOfMemoryEndsTheJobAndGivesTheButtonsBack) {
    FailFirstAllocation(m_prompts);
    m_prompts.m_strImagePath = "/nonexistent.s19";
    Run(JOB_FLASH);
    ExpectEndedForLackOfMemory(m_prompts, m_host);
}
