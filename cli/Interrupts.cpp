#include "cli/Interrupts.h"

#include <pthread.h>

#include <cstdlib>
#include <ctime>

#include "cli/Outcome.h"

CInterrupts::CInterrupts(std::function<void()> fnFirst, std::function<void()> fnSecond)
    : m_fnFirst(std::move(fnFirst)), m_fnSecond(std::move(fnSecond)) {
    struct sigaction old {};
    ::sigaction(SIGINT, nullptr, &old);
    // A command started in the background by a script ignores Ctrl-C: so do we.
    m_bWatch = old.sa_handler != SIG_IGN;
    if (!m_bWatch) return;
    sigemptyset(&m_set);
    sigaddset(&m_set, SIGINT);
    ::pthread_sigmask(SIG_BLOCK, &m_set, &m_old);
    m_watcher = std::jthread([this](std::stop_token token) { Watch(token); });
}

CInterrupts::~CInterrupts() {
    if (!m_bWatch) return;
    m_watcher.request_stop();
    m_watcher.join();
    ::pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
}

void CInterrupts::Watch(std::stop_token token) {
    const timespec ts{0, 50 * 1000000L};
    while (!token.stop_requested()) {
        if (::sigtimedwait(&m_set, nullptr, &ts) != SIGINT) continue;
        if (!m_stop.stop_requested()) {
            m_stop.request_stop();
            if (m_fnFirst) m_fnFirst();
            continue;
        }
        if (m_fnSecond) m_fnSecond();
        std::_Exit(EXIT_INTERRUPTED);
    }
}
