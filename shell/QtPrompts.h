#pragma once
// The job's dialogs and messages as Qt windows. A worker calls in from its own
// thread: the call runs on the GUI thread and the worker waits for the answer. The dialogs have no
// parent and leave the main window usable, so a serial job can still be stopped while its dialog is
// open. Once the program is closing every prompt is answered Cancel at once and open ones are
// cancelled.

#include <QDialog>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <type_traits>

#include "platform/Prompts.h"

class CQtPrompts : public QObject, public IPrompts {
    Q_OBJECT
public:
    explicit CQtPrompts(QObject* pParent = nullptr) : QObject(pParent) {}

    void Message(const std::string& strText) override;
    bool SwitchesNotice(ELink eLink) override;
    bool SerialPortDialog(ScpParams& scp) override;
    bool IpAddressDialog(NetParams& rec) override;
    bool ConfigDialog(NetParams& rec, bool bPropertiesMode, bool bKeysEnabled,
                      uint32_t nSerialNo) override;
    void PropertiesDialog(uint8_t* pPlain, size_t nLen, uint32_t nSerialNo) override;
    bool UpdateDoneDialog() override;
    bool ChooseImageFile(std::string& strPath) override;

    // Runs fn on the GUI thread and hands back its result; on the GUI thread itself it
    // is a plain call. Once closing, fn does not run and the answer is "Cancel".
    template <class F> auto OnGui(F fn) -> decltype(fn()) {
        using R = decltype(fn());
        if (QThread::currentThread() == thread()) return fn();
        if constexpr (std::is_void_v<R>) {
            Call([&] { fn(); });
        } else {
            R result{};
            Call([&] { result = fn(); });
            return result;
        }
    }

    // Shows a worker's dialog without blocking the main window and waits, on the GUI
    // thread, for its answer.
    int RunWorkerDialog(QDialog& dlg);

    // The program is closing: cancels the open dialogs and answers every later prompt
    // with Cancel, so that no worker waits for a window that will never come.
    void BeginShutdown();

    ~CQtPrompts() override;

private:
    struct SCall {
        const std::function<void()>* pFn;
        bool bDone = false;
        bool bRan = false;
    };
    // Queues fn for the GUI thread and waits until it has run there (true) or the
    // program is closing (false, fn not run). The hand-over is our own lock and
    // condition rather than a blocking queued connection: the same semantics, and
    // its ordering is visible to the thread sanitizer, which cannot see into Qt.
    bool Call(const std::function<void()>& fn);
    Q_INVOKABLE void RunPendingCalls();

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<SCall*> m_pending;
    bool m_bShuttingDown = false; // guarded by m_mutex
    QList<QPointer<QDialog>> m_openDialogs;
};
