#pragma once
// A worker thread with a message queue of its own and a manual-reset event, in the
// shape the jobs expect: InitInstance runs the whole job on the new thread; when it
// returns true the thread waits for the quit message posted at the job's end, runs
// ExitInstance and, with auto-delete set, deletes its own object.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

// Manual-reset event: once set it stays set until Reset; every waiter sees it.
class CManualResetEvent {
public:
    explicit CManualResetEvent(bool bInitiallySet = false) : m_bSet(bInitiallySet) {}
    void Set();
    void Reset();
    bool IsSet() const { return m_bSet.load(); }
    // Waits up to nMs milliseconds (negative: for ever); true when set.
    bool Wait(int nMs) const;

private:
    std::atomic<bool> m_bSet;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cv;
};

class CWinThread {
public:
    CWinThread() = default;
    CWinThread(const CWinThread&) = delete;
    CWinThread& operator=(const CWinThread&) = delete;
    virtual ~CWinThread() = default;

    // Starts the thread; false when it could not be created.
    bool CreateThread();

    virtual bool InitInstance() = 0;
    // Returns the thread's exit code (the quit message's code by default).
    virtual int ExitInstance() { return m_nExitCode; }

    // Posts the quit message with an exit code to this thread's own queue.
    void PostQuitMessage(int nExitCode);

    // Blocks until every worker thread started by CreateThread has ended (its object
    // deleted when auto-delete was set). For programs about to exit and for tests.
    // False when nMs elapsed first.
    static bool WaitForAllThreads(int nMs);
    static int RunningThreads();

    // Set once this thread has run ExitInstance and, with auto-delete, deleted its
    // object: a waiter may then release whatever the thread used. Take it before
    // CreateThread, while the object surely exists. Lets one of several concurrent
    // jobs wait for its own worker rather than for every thread of the process.
    std::shared_ptr<CManualResetEvent> EndedEvent() const { return m_pEnded; }

    std::atomic<bool> m_bAutoDelete{true};

protected:
    int m_nExitCode = 0;

private:
    void Run();

    std::mutex m_queueMutex;
    std::condition_variable m_queueCv;
    std::deque<int> m_quitCodes;
    std::shared_ptr<CManualResetEvent> m_pEnded = std::make_shared<CManualResetEvent>();
};

// Exit code of the quit message that ends every job.
constexpr int JOB_EXIT_CODE = 18;
