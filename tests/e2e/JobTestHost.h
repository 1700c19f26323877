#pragma once
// The main window's part for job tests: records how the job ended and lets the test
// wait for it.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <new>

#include "ScriptedPrompts.h"
#include "jobs/JobHost.h"
#include "platform/WinThread.h"

class CTestHost : public CJobHost {
public:
    explicit CTestHost(IPrompts* pPrompts) : CJobHost(pPrompts) {
        m_pNetParams = &m_rec;
        m_pScpParams = &m_scp;
    }
    void OnJobFinished() override {
        m_bBusyAtFinish = m_bSerialBusy || m_bEthernetBusy;
        ++m_nFinished;
        m_done.Set();
    }
    void EnableEndButtons() override { ++m_nEndButtons; }

    // Waits for the job and for its thread to be gone.
    bool Wait(int nMs = 20000) { return m_done.Wait(nMs) && CWinThread::WaitForAllThreads(nMs); }

    NetParams m_rec = NetParams::Defaults();
    ScpParams m_scp = ScpParams::Defaults();
    CManualResetEvent m_done;
    std::atomic<int> m_nFinished{0};
    std::atomic<int> m_nEndButtons{0};
    std::atomic<bool> m_bBusyAtFinish{false};
};

// An allocation that fails on the worker (a huge image, say) at the job's first
// message: the job must end with a message instead of the program.
inline void FailFirstAllocation(CScriptedPrompts& prompts) {
    auto pThrown = std::make_shared<bool>(false);
    prompts.m_fnOnMessage = [pThrown](const std::string&) {
        if (!std::exchange(*pThrown, true)) throw std::bad_alloc();
    };
}

inline void ExpectEndedForLackOfMemory(const CScriptedPrompts& prompts, const CTestHost& host) {
    ASSERT_FALSE(prompts.Messages().empty());
    EXPECT_EQ(prompts.Messages().back(),
              "Not enough memory to go on with this job; it has been ended.");
    EXPECT_EQ(host.m_eResult, EJobResult::NoMemory);
}
