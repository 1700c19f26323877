#include "shell/ScanWorker.h"

#include <QCoreApplication>
#include <QMetaObject>

#include "platform/WinThread.h"

struct CScanWorker::SShared {
    std::atomic<bool> m_bStop{false};
    // GUI thread only: false once the window has let go, or the scan has ended.
    bool m_bListening = true;
    bool m_bRunning = true;
};

namespace {
class CScanThread : public CWinThread {
public:
    explicit CScanThread(std::function<void()> fn) : m_fn(std::move(fn)) {}
    bool InitInstance() override {
        m_fn();
        return false;
    }

private:
    std::function<void()> m_fn;
};
} // namespace

CScanWorker::~CScanWorker() {
    if (!m_pShared) return;
    m_pShared->m_bListening = false;
    m_pShared->m_bStop = true;
}

bool CScanWorker::Running() const {
    return m_pShared && m_pShared->m_bRunning;
}

void CScanWorker::Stop() {
    if (m_pShared) m_pShared->m_bStop = true;
}

bool CScanWorker::Start(FRun fnRun, FHit fnHit, FProgress fnProgress, FDone fnDone) {
    if (Running()) return false;
    if (m_pShared) m_pShared->m_bListening = false;
    auto pShared = std::make_shared<SShared>();
    // Runs fn on the GUI thread unless the window has let go by then. The application
    // object outlives every window, so a post never targets one being destroyed.
    const auto post = [pShared](std::function<void()> fn) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [pShared, fn = std::move(fn)] {
                if (pShared->m_bListening) fn();
            },
            Qt::QueuedConnection);
    };
    auto* pThread = new CScanThread([=] {
        SScanHooks hooks;
        hooks.m_pStop = &pShared->m_bStop;
        hooks.m_fnHit = [=](const SScanHit& hit) { post([=] { fnHit(hit); }); };
        hooks.m_fnProgress = [=](const SScanProgress& progress) {
            post([=] { fnProgress(progress); });
        };
        SResult result = fnRun(hooks);
        post([pShared, fnDone, result = std::move(result)] {
            pShared->m_bRunning = false;
            fnDone(result);
        });
    });
    m_pEnded = pThread->EndedEvent();
    m_pShared = pShared;
    if (!pThread->CreateThread()) {
        delete pThread;
        m_pShared.reset();
        return false;
    }
    return true;
}
