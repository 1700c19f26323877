#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/WinThread.h"

namespace {
struct SRecord {
    std::atomic<int> nInit{0};
    std::atomic<int> nExit{0};
    std::atomic<int> nExitCode{-1};
    std::atomic<int> nDeleted{0};
    std::atomic<bool> bSawStop{false};
};

class CTestThread : public CWinThread {
public:
    CTestThread(SRecord& rec, bool bInitResult, CManualResetEvent* pStop = nullptr)
        : m_rec(rec), m_bInitResult(bInitResult), m_pStop(pStop) {}
    ~CTestThread() override { ++m_rec.nDeleted; }
    bool InitInstance() override {
        ++m_rec.nInit;
        if (m_pStop) m_rec.bSawStop = m_pStop->Wait(5000);
        if (m_bInitResult) PostQuitMessage(JOB_EXIT_CODE);
        return m_bInitResult;
    }
    int ExitInstance() override {
        ++m_rec.nExit;
        m_rec.nExitCode = m_nExitCode;
        return CWinThread::ExitInstance();
    }

private:
    SRecord& m_rec;
    bool m_bInitResult;
    CManualResetEvent* m_pStop;
};
} // namespace

TEST(WinThread, RunsInitThenQuitsWithCodeAndDeletesItself) {
    SRecord rec;
    auto* pThread = new CTestThread(rec, true);
    ASSERT_TRUE(pThread->CreateThread());
    ASSERT_TRUE(CWinThread::WaitForAllThreads(5000));
    EXPECT_EQ(rec.nInit, 1);
    EXPECT_EQ(rec.nExit, 1);
    EXPECT_EQ(rec.nExitCode, JOB_EXIT_CODE);
    EXPECT_EQ(rec.nDeleted, 1);
    EXPECT_EQ(CWinThread::RunningThreads(), 0);
}

TEST(WinThread, EndedEventWaitsForItsOwnThreadOnly) {
    // One thread held at its start, another free to end: a waiter on the second's
    // event returns once that object is gone, though the first still runs.
    SRecord held, free;
    CManualResetEvent release;
    auto* pHeld = new CTestThread(held, true, &release);
    auto* pFree = new CTestThread(free, true);
    const auto pEnded = pFree->EndedEvent();
    ASSERT_TRUE(pHeld->CreateThread());
    ASSERT_TRUE(pFree->CreateThread());
    ASSERT_TRUE(pEnded->Wait(5000));
    EXPECT_EQ(free.nDeleted, 1);
    EXPECT_EQ(held.nDeleted, 0);
    release.Set();
    ASSERT_TRUE(CWinThread::WaitForAllThreads(5000));
    EXPECT_TRUE(held.bSawStop);
}

TEST(WinThread, WithoutAutoDeleteTheObjectSurvives) {
    SRecord rec;
    CTestThread thread(rec, false);
    thread.m_bAutoDelete = false;
    ASSERT_TRUE(thread.CreateThread());
    ASSERT_TRUE(CWinThread::WaitForAllThreads(5000));
    EXPECT_EQ(rec.nExit, 1);
    EXPECT_EQ(rec.nDeleted, 0);
}

TEST(ManualResetEvent, StaysSetForEveryWaiterUntilReset) {
    CManualResetEvent ev;
    EXPECT_FALSE(ev.IsSet());
    EXPECT_FALSE(ev.Wait(10));
    SRecord rec1, rec2;
    auto* p1 = new CTestThread(rec1, true, &ev);
    auto* p2 = new CTestThread(rec2, true, &ev);
    ASSERT_TRUE(p1->CreateThread());
    ASSERT_TRUE(p2->CreateThread());
    ev.Set();
    ASSERT_TRUE(CWinThread::WaitForAllThreads(5000));
    EXPECT_TRUE(rec1.bSawStop);
    EXPECT_TRUE(rec2.bSawStop);
    EXPECT_TRUE(ev.IsSet());
    EXPECT_TRUE(ev.Wait(0));
    ev.Reset();
    EXPECT_FALSE(ev.IsSet());
}
