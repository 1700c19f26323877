#include "platform/WinThread.h"

namespace {
std::mutex s_liveMutex;
std::condition_variable s_liveCv;
int s_nLive = 0;
} // namespace

void CManualResetEvent::Set() {
    {
        std::lock_guard lock(m_mutex);
        m_bSet = true;
    }
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
        std::lock_guard lock(s_liveMutex);
        ++s_nLive;
    }
    try {
        std::thread(&CWinThread::Run, this).detach();
    } catch (const std::system_error&) {
        std::lock_guard lock(s_liveMutex);
        --s_nLive;
        s_liveCv.notify_all();
        return false;
    }
    return true;
}

void CWinThread::PostQuitMessage(int nExitCode) {
    {
        std::lock_guard lock(m_queueMutex);
        m_quitCodes.push_back(nExitCode);
    }
    m_queueCv.notify_all();
}

void CWinThread::Run() {
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
        std::lock_guard lock(s_liveMutex);
        --s_nLive;
    }
    s_liveCv.notify_all();
}

bool CWinThread::WaitForAllThreads(int nMs) {
    std::unique_lock lock(s_liveMutex);
    return s_liveCv.wait_for(lock, std::chrono::milliseconds(nMs), [] { return s_nLive == 0; });
}

int CWinThread::RunningThreads() {
    std::lock_guard lock(s_liveMutex);
    return s_nLive;
}
