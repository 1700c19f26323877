// Ethernet jobs end to end: the worker's state machine against the simulated unit
// over UDP on 127.0.0.1, every dialog and message checked in order.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include "JobTestHost.h"
#include "ScriptedPrompts.h"
#include "SimServerUtil.h"
#include "TestUtil.h"
#include "firmware/SampleImage.h"
#include "jobs/EthernetThread.h"
#include "params/NetParams.h"
#include "platform/TimeConstants.h"
#include "platform/Trace.h"
#include "serial/FrameCodec.h"
#include "sim/SimUnit.h"

namespace {

const char* const RECEIVE_TIMEOUT =
    "Unable to connect to Velor - Connection timed out.  If problem persists, clear the NVRAM by "
    "setting SW2, switches 2,4,6,8 on and the rotary switch to F, power Velor off and on, wait "
    "for LEDS 1-4 to flash, then restart procedure.";

class EthJobTest : public ::testing::Test {
protected:
    void SetUp() override {
        TimeConstants().m_nRecvMs = 150;
        TimeConstants().m_nRecvReopenMs = 250;
        TimeConstants().m_nDrainLimitMs = 300;
        SSimOptions options;
        options.m_bUdp = true;
        options.m_nUdpPort = 0;
        options.m_bResyncAtStart = false;
        ASSERT_TRUE(m_sim.Start(options));
        m_host.m_strTargetIp = "127.0.0.1";
        m_host.m_nTargetPort = m_sim.UdpPort();
        m_host.m_rec.SetDottedAt(NetParams::OFS_IP, "127.0.0.1");
        m_host.m_rec.SetPort(m_sim.UdpPort());
        PointRecordAtServer(m_sim);
    }
    void TearDown() override {
        SetTraceSink({});
        m_sim.Stop();
        TimeConstants().Reset();
    }

    void Run(uint32_t nJob, bool bStopFirst = false) {
        m_host.m_nJob = nJob;
        m_host.m_nRecvLen = 512;
        m_host.m_bEthernetBusy = true;
        auto* pThread = new CEthernetThread(&m_host);
        if (bStopFirst) m_host.StopEthernetJob();
        ASSERT_TRUE(pThread->CreateThread());
        ASSERT_TRUE(m_host.Wait());
        EXPECT_EQ(m_host.m_nFinished, 1);
        EXPECT_EQ(m_host.m_nEndButtons, 1);
        EXPECT_FALSE(m_host.m_bEthernetBusy);
        EXPECT_FALSE(m_host.m_bBusyAtFinish);
    }

    void SetFaults(const std::function<void(SSimFaults&)>& fn) { ChangeFaults(m_sim, fn); }

    // The reset request is sent without waiting for anything: give the unit a moment.
    uint32_t RestartsSoon(uint32_t nExpected) {
        uint32_t n = 0;
        for (int i = 0; i < 200; ++i) {
            n = m_sim.WithUnit([](CSimUnit& u) { return u.Restarts(); });
            if (n >= nExpected) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return n;
    }

    uint32_t Frames(int nCmd) { return FramesReceived(m_sim, nCmd); }

    CSimServer m_sim;
    CScriptedPrompts m_prompts;
    CTestHost m_host{&m_prompts};
};

using Log = std::vector<std::string>;

} // namespace

TEST_F(EthJobTest, ConfigureWritesVerifiesAndResets) {
    m_prompts.m_fnConfig = [](NetParams& rec, bool bProps, bool bKeys, uint32_t nSerial) {
        EXPECT_FALSE(bProps);
        EXPECT_TRUE(bKeys);
        EXPECT_EQ(nSerial, 0x1234u);
        rec.SetDottedAt(NetParams::OFS_IP, "10.9.8.7");
        rec.SetTimeout(77);
    };
    // The first step's datagrams, exactly.
    std::mutex mutex;
    std::vector<std::string> sent;
    std::vector<std::vector<uint8_t>> sentRaw;
    SetTraceSink([&](ETraceDir eDir, const uint8_t* p, size_t n) {
        std::lock_guard lock(mutex);
        if (eDir == ETraceDir::Sent) sent.push_back(ToHex(p, n));
        if (eDir == ETraceDir::Sent) sentRaw.emplace_back(p, p + n);
    });
    Run(JOB_CONFIGURE);
    EXPECT_EQ(m_prompts.Log(), (Log{"[Config] OK", " The Velor updated successfully",
                                    "[UpdateDone] OK", " The Velor has reset successfully"}));
    ASSERT_GE(sent.size(), 4u);
    EXPECT_EQ(sent[0], "FE 00 00 00 FE");
    EXPECT_EQ(sent[1], "FE 00 00 08 06");
    EXPECT_EQ(sent[2], "FE 00 00 10 0E");
    EXPECT_EQ(sent[3], "FE 00 03 19 1A 70 00 A4");
    // All of them, byte for byte: their sizes, and one FNV-1a digest of the lot, taken
    // when the job's exchanges were last known good. The write's record is taken in
    // plain text, without the port: that is the simulated unit's, a free one each run.
    std::string strSizes;
    uint64_t nDigest = 14695981039346656037ull;
    for (std::vector<uint8_t> ab : sentRaw) {
        strSizes += std::to_string(ab.size()) + " ";
        if (ab.size() == 140) {
            uint8_t* pData = &ab[frame::OFS_DATA];
            std::vector<uint8_t> plain(124);
            CryptPayload(pData + IV_LEN, plain.data(), pData, LINK_KEY.data(), plain.size(),
                         CRYPT_DECRYPT);
            plain[8] = plain[9] = 0;
            std::copy(plain.begin(), plain.end(), pData + IV_LEN);
            ab.pop_back(); // the data sum, of the cipher text
        }
        for (const uint8_t b : ab)
            nDigest = (nDigest ^ b) * 1099511628211ull;
    }
    EXPECT_EQ(strSizes, "5 5 5 8 5 5 5 8 5 5 5 140 5 8 5 5 5 8 ");
    EXPECT_EQ(nDigest, 5673564828463174526ull);
    const NetParams unit = m_sim.WithUnit([](CSimUnit& u) { return u.Params(); });
    EXPECT_EQ(unit.DottedAt(NetParams::OFS_IP), "10.9.8.7");
    EXPECT_EQ(unit.Timeout(), 77);
    EXPECT_EQ(RestartsSoon(1), 1u);
    EXPECT_EQ(m_host.m_eResult, EJobResult::Success);
    // The next job starts with the address just written.
    EXPECT_EQ(m_host.m_strTargetIp, "10.9.8.7");
    EXPECT_EQ(m_host.m_nTargetPort, m_sim.UdpPort());
}

TEST_F(EthJobTest, UnitJustPoweredOnAsksToResynchronise) {
    // The first poll's reply asks for resynchronisation: its "Error" is shown, the
    // second poll goes out with sequence 0 and the job carries on.
    m_sim.Stop();
    SSimOptions options;
    options.m_bUdp = true;
    options.m_nUdpPort = m_host.m_nTargetPort;
    options.m_bResyncAtStart = true;
    options.m_params.SetDottedAt(NetParams::OFS_IP, "127.0.0.1");
    options.m_params.SetPort(m_host.m_nTargetPort);
    ASSERT_TRUE(m_sim.Start(options));
    m_prompts.Answer("Config", false);
    Run(JOB_CONFIGURE);
    EXPECT_EQ(m_prompts.Log(), (Log{"Error", "[Config] Cancel"}));
}

TEST_F(EthJobTest, CancelInEachDialogEndsTheJob) {
    m_prompts.Answer("Config", false);
    Run(JOB_CONFIGURE);
    EXPECT_EQ(m_prompts.Log(), (Log{"[Config] Cancel"}));
    EXPECT_EQ(Frames(0x92), 0u);
    EXPECT_EQ(m_host.m_eResult, EJobResult::Cancelled);

    m_prompts.Clear();
    m_host.m_done.Reset();
    m_host.m_nFinished = 0;
    m_host.m_nEndButtons = 0;
    m_prompts.Answer("UpdateDone", false);
    Run(JOB_CONFIGURE);
    EXPECT_EQ(m_prompts.Log(),
              (Log{"[Config] OK", " The Velor updated successfully", "[UpdateDone] Cancel"}));
    EXPECT_EQ(Frames(0x8F), 0u);
    EXPECT_EQ(m_sim.WithUnit([](CSimUnit& u) { return u.Restarts(); }), 0u);
    EXPECT_EQ(m_host.m_eResult, EJobResult::Success); // written and verified; reset declined

    m_prompts.Clear();
    m_host.m_done.Reset();
    m_host.m_nFinished = 0;
    m_host.m_nEndButtons = 0;
    m_prompts.Answer("ChooseFile", false);
    Run(JOB_FLASH);
    EXPECT_EQ(m_prompts.Log(), (Log{"[ChooseFile] Cancel"}));
    EXPECT_EQ(Frames(0x8E), 0u);
}

TEST_F(EthJobTest, SwitchOffStopsUnlessInPropertiesMode) {
    SetFaults([](SSimFaults& f) { f.m_bSwitchOff = true; });
    Run(JOB_CONFIGURE);
    EXPECT_EQ(m_prompts.Log(), (Log{"SW 3, dipswitch 2 must be ON to configure the Orvik."}));
    EXPECT_EQ(Frames(0x91), 0u);
    EXPECT_EQ(m_host.m_eResult, EJobResult::Refused);

    m_prompts.Clear();
    m_host.m_done.Reset();
    m_host.m_nFinished = 0;
    m_host.m_nEndButtons = 0;
    SetFaults([](SSimFaults& f) { f.m_bPropertiesMode = true; });
    bool bLocked = false;
    m_prompts.m_fnConfig = [&](NetParams&, bool bProps, bool, uint32_t) { bLocked = bProps; };
    m_prompts.m_fnProperties = [](uint8_t* pPlain, size_t nLen, uint32_t nSerial) {
        ASSERT_GE(nLen, 57u);
        EXPECT_EQ(nSerial, 0x1234u);
        pPlain[28] = 9; // the unit's comm address, changed in the properties dialog
    };
    m_prompts.Answer("UpdateDone", false);
    Run(JOB_CONFIGURE);
    EXPECT_EQ(m_prompts.Log(), (Log{"[Properties] OK", "[Config] OK",
                                    " The Velor updated successfully", "[UpdateDone] Cancel"}));
    EXPECT_TRUE(bLocked);
    EXPECT_EQ(m_sim.WithUnit([](CSimUnit& u) { return u.Params()[28]; }), 9);
}

TEST_F(EthJobTest, CompareFailureStillOffersTheReset) {
    SetFaults([](SSimFaults& f) { f.m_bStoreMismatch = true; });
    Run(JOB_CONFIGURE);
    EXPECT_EQ(m_prompts.Log(),
              (Log{"[Config] OK", "!!!!!The Velor update did not compare successfully!!!!",
                   "[UpdateDone] OK", " The Velor has reset successfully"}));
    EXPECT_EQ(RestartsSoon(1), 1u);
    EXPECT_EQ(m_host.m_eResult, EJobResult::VerifyFailed);
}

TEST_F(EthJobTest, UnansweredStatusOffersTheAddressAgain) {
    SetFaults([](SSimFaults& f) { f.m_bPollsOnly = true; });
    int nDialogs = 0;
    m_prompts.m_fnIpAddress = [&](NetParams& rec) {
        ++nDialogs;
        rec.SetDottedAt(NetParams::OFS_IP, "127.0.0.1"); // the same address again
    };
    m_prompts.Answer("IpAddress", true);
    m_prompts.Answer("IpAddress", false);
    Run(JOB_CONFIGURE);
    EXPECT_EQ(m_prompts.Log(),
              (Log{RECEIVE_TIMEOUT, "[IpAddress] OK", RECEIVE_TIMEOUT, "[IpAddress] Cancel"}));
    EXPECT_EQ(nDialogs, 1);
    EXPECT_EQ(m_host.m_strTargetIp, "127.0.0.1");
    EXPECT_EQ(m_host.m_eResult, EJobResult::NoAnswer);
}

TEST_F(EthJobTest, RefusedCommandsAreBounded) {
    // Two step polls, the poll ahead of the command, the command: every fourth reply
    // is the command's, and it is garbled every time.
    SetFaults([](SSimFaults& f) { f.m_nGarbleEvery = 4; });
    Run(JOB_CONFIGURE);
    EXPECT_EQ(m_prompts.Log(),
              (Log{"Velor answers but keeps refusing the request; the job has been ended."}));
    EXPECT_EQ(Frames(0x70), static_cast<uint32_t>(CEthernetThread::MAX_STEP_REPEATS));
    EXPECT_EQ(m_host.m_eResult, EJobResult::Refused);
}

TEST_F(EthJobTest, StopBeforeTheFirstStepSendsNothing) {
    Run(JOB_CONFIGURE, true);
    EXPECT_TRUE(m_prompts.Log().empty());
    EXPECT_EQ(Frames(-1) + Frames(0x70), 0u);
    EXPECT_EQ(m_host.m_eResult, EJobResult::Stopped);
}

TEST_F(EthJobTest, SilentUnitEndsAtTheSecondPoll) {
    SetFaults([](SSimFaults& f) { f.m_bSilent = true; });
    Run(JOB_CONFIGURE);
    EXPECT_EQ(m_prompts.Log(), (Log{RECEIVE_TIMEOUT, RECEIVE_TIMEOUT}));
    EXPECT_EQ(m_host.m_eResult, EJobResult::NoAnswer);
}

TEST_F(EthJobTest, FlashJobLoadsAndVerifies) {
    const std::string strPath = ::testing::TempDir() + "eth_job_flash.s37";
    ASSERT_TRUE(WriteSampleImage(strPath, SSampleImage{0, 0x12000, 32, 5}));
    m_prompts.m_strImagePath = strPath;
    Run(JOB_FLASH);
    EXPECT_EQ(m_prompts.Log(),
              (Log{"[ChooseFile] OK",
                   "Click 'OK' to start flashing, please wait up to two minutes.  Do not power "
                   "Velor off during the update.",
                   "Flash successfully updated"}));
    EXPECT_EQ(m_host.m_eResult, EJobResult::Success);
    EXPECT_EQ(m_sim.WithUnit([](CSimUnit& u) { return u.Restarts(); }), 1u);
}

TEST_F(EthJobTest, OutOfMemoryEndsTheJobAndGivesTheButtonsBack) {
    FailFirstAllocation(m_prompts);
    m_prompts.m_strImagePath = "/nonexistent.s19";
    Run(JOB_FLASH);
    ExpectEndedForLackOfMemory(m_prompts, m_host);
}

TEST_F(EthJobTest, StrayDatagramBeforeAnyReplyLeavesTheConfigureJobAsItWas) {
    // The job's 17 replies; before each, in turn, a datagram that is not the reply.
    using EStray = SSimFaults::EStray;
    m_sim.Stop();
    SSimOptions options;
    options.m_bUdp = true;
    options.m_nUdpPort = m_host.m_nTargetPort;
    options.m_bResyncAtStart = options.m_bResyncOnRestart = false; // the same start each run
    options.m_params.SetDottedAt(NetParams::OFS_IP, "127.0.0.1");
    options.m_params.SetPort(m_host.m_nTargetPort);
    ASSERT_TRUE(m_sim.Start(options));
    m_prompts.m_fnConfig = [](NetParams& rec, bool, bool, uint32_t) {
        rec.SetDottedAt(NetParams::OFS_IP, "127.0.0.1");
        rec.SetTimeout(77);
    };
    for (const EStray eStray : {EStray::BadSum, EStray::HighBits, EStray::Short, EStray::Empty,
                                EStray::Long, EStray::Duplicate}) {
        for (int nReply = 1; nReply <= 17; ++nReply) {
            SCOPED_TRACE(std::string(SSimFaults::STRAY_NAMES[static_cast<int>(eStray)]) +
                         " before reply " + std::to_string(nReply));
            SetFaults([&](SSimFaults& f) {
                f.m_nStrayBeforeExchange = nReply;
                f.m_eStray = eStray;
            });
            m_sim.WithUnit([](CSimUnit& u) {
                NetParams rec = u.Params();
                rec.SetTimeout(30);
                u.SetParams(rec);
                return 0;
            });
            m_prompts.Clear();
            m_host.m_done.Reset();
            m_host.m_nFinished = 0;
            m_host.m_nEndButtons = 0;
            Run(JOB_CONFIGURE);
            EXPECT_EQ(m_prompts.Log(),
                      (Log{"[Config] OK", " The Velor updated successfully", "[UpdateDone] OK",
                           " The Velor has reset successfully"}));
            EXPECT_EQ(m_host.m_eResult, EJobResult::Success);
            EXPECT_EQ(m_sim.WithUnit([](CSimUnit& u) { return u.Params().Timeout(); }), 77);
        }
    }
}
