#include "cli/Interrupts.h"

#include <pthread.h>

#include <cstdlib>
#include <ctime>

#include "cli/Outcome.h"

CInterrupts::CInterrupts(std::function<void()> fnFirst, std::function<void()> fnSecond)
    : m_fnFirst(std::move(fnFirst)), m_fnSecond(std::move(fnSecond)) {
    Start({SIGINT});
}

CInterrupts::CInterrupts(std::initializer_list<int> signals, bool bSecondEnds,
                         std::function<void()> fnFirst)
    : m_bSecondEnds(bSecondEnds), m_fnFirst(std::move(fnFirst)) {
    Start(signals);
}

void CInterrupts::Start(std::initializer_list<int> signals) {
    sigemptyset(&m_set);
    for (const int nSignal : signals) {
        struct sigaction old {};
        ::sigaction(nSignal, nullptr, &old);
        // A command started in the background by a script ignores Ctrl-C: so do we.
        if (old.sa_handler == SIG_IGN) continue;
        sigaddset(&m_set, nSignal);
        m_bWatch = true;
    }
    if (!m_bWatch) return;
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
        if (::sigtimedwait(&m_set, nullptr, &ts) < 0) continue;
        if (!m_stop.stop_requested()) {
            m_stop.request_stop();
            if (m_fnFirst) m_fnFirst();
            continue;
        }
        if (!m_bSecondEnds) continue;
        if (m_fnSecond) m_fnSecond();
        std::_Exit(EXIT_INTERRUPTED);
    }
}
