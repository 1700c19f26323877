#include "platform/WinThread.h"

namespace {
// Detached workers may still be finishing while the program exits: these must
// outlive every static destructor, so they are never destroyed.
struct SLive {
    std::mutex mutex;
    std::condition_variable cv;
    int nCount = 0;
};
SLive& Live() {
    static SLive* s_pLive = new SLive;
    return *s_pLive;
}
} // namespace

void CManualResetEvent::Set() {
    // Notify under the lock: a waiter may destroy the event as soon as it wakes.
    std::lock_guard lock(m_mutex);
    m_bSet = true;
    m_cv.notify_all();
}

void CManualResetEvent::Reset() {
    std::lock_guard lock(m_mutex);
    m_bSet = false;
}

bool CManualResetEvent::Wait(int nMs) const {
    std::unique_lock lock(m_mutex);
    if (nMs < 0) {
        m_cv.wait(lock, [this] { return m_bSet.load(); });
        return true;
    }
    return m_cv.wait_for(lock, std::chrono::milliseconds(nMs), [this] { return m_bSet.load(); });
}

bool CWinThread::CreateThread() {
    {
        std::lock_guard lock(Live().mutex);
        ++Live().nCount;
    }
    try {
        std::thread(&CWinThread::Run, this).detach();
    } catch (const std::system_error&) {
        std::lock_guard lock(Live().mutex);
        --Live().nCount;
        Live().cv.notify_all();
        return false;
    }
    return true;
}

void CWinThread::PostQuitMessage(int nExitCode) {
    std::lock_guard lock(m_queueMutex);
    m_quitCodes.push_back(nExitCode);
    m_queueCv.notify_all();
}

void CWinThread::Run() {
    const std::shared_ptr<CManualResetEvent> pEnded = m_pEnded; // outlives `delete this`
    if (InitInstance()) {
        // The message loop: the only message a worker receives is its quit message.
        std::unique_lock lock(m_queueMutex);
        m_queueCv.wait(lock, [this] { return !m_quitCodes.empty(); });
        m_nExitCode = m_quitCodes.front();
        m_quitCodes.pop_front();
    }
    ExitInstance();
    if (m_bAutoDelete) delete this;
    {
        std::lock_guard lock(Live().mutex);
        --Live().nCount;
        Live().cv.notify_all();
    }
    pEnded->Set();
}

bool CWinThread::WaitForAllThreads(int nMs) {
    std::unique_lock lock(Live().mutex);
    return Live().cv.wait_for(lock, std::chrono::milliseconds(nMs),
                              [] { return Live().nCount == 0; });
}

int CWinThread::RunningThreads() {
    std::lock_guard lock(Live().mutex);
    return Live().nCount;
}
