#pragma once
// The job's dialogs and messages as Qt windows. A worker calls in from its own
// thread: the call runs on the GUI thread and the worker waits for the answer. The dialogs stay
// over the main window but leave it usable, so a serial job can still be stopped while its dialog
// is open. Once the program is closing every prompt is answered Cancel at once and open ones are
// cancelled.

#include <QDialog>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <type_traits>

#include "platform/Prompts.h"

class CProgressDlg;

class QFileDialog;

class CQtPrompts : public QObject, public IPrompts {
    Q_OBJECT
public:
    explicit CQtPrompts(QObject* pParent = nullptr);

    void Message(const std::string& strText) override;
    bool SwitchesNotice(ELink eLink) override;
    bool SerialPortDialog(ScpParams& scp) override;
    bool IpAddressDialog(NetParams& rec) override;
    bool ConfigDialog(NetParams& rec, bool bPropertiesMode, bool bKeysEnabled,
                      uint32_t nSerialNo) override;
    void PropertiesDialog(uint8_t* pPlain, size_t nLen, uint32_t nSerialNo) override;
    bool UpdateDoneDialog() override;
    bool ChooseImageFile(std::string& strPath) override;
    QFileDialog& ImageDialog(); // on the GUI thread
    // A second message after "Unable to open port": the device and what the system said.
    void PortOpenFailed(const std::string& strDevice, int nError) override;
    // Posts the download's progress to the progress window and returns at once.
    void Progress(uint64_t nDone, uint64_t nTotal) override;

    // The job has ended: closes the progress window (GUI thread).
    void EndProgress();
    // Between the first load block the unit accepted and the end of the load: closing now
    // would leave the unit half written.
    bool Loading() const { return m_bLoading; }
    // The window the job's dialogs and messages stay over (the main window).
    void SetOwner(QWidget* pOwner) { m_pOwner = pOwner; }
    QWidget* Owner() const { return m_pOwner; }
    // The folder the file dialog opens in (the demo's sample image) until an image is
    // chosen, then that image's; empty: the current one.
    void SetImageFolder(const QString& strFolder) { m_strImageFolder = strFolder; }

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
    QString m_strImageFolder;
    // One image file dialog for the program's life: building Qt's dialog costs the GUI
    // thread some 9 ms and destroying it up to 20 ms (it joins the thread that reads the
    // folder), a visible stall at every download. Made with the main window (or at the
    // first use); deleted with these prompts.
    QPointer<QFileDialog> m_pImageDialog;
    QPointer<QWidget> m_pOwner;
    std::atomic<bool> m_bLoading{false};

    // Progress of the running download, written by the worker, shown by the GUI thread.
    struct SProgress {
        uint64_t m_nBlocks = 0; // the image's, 0 when not known
        uint64_t m_nBytes = 0;
        double m_dFraction = 0;
        bool m_bStarted = false;
        std::chrono::steady_clock::time_point m_tFirst;
        double m_dFirstFraction = 0;
        double m_dRate = 0;     // image bytes a second since the first report
        bool m_bPosted = false; // an update is on its way to the GUI thread
    };
    Q_INVOKABLE void ShowProgress();
    // A message during a download is its outcome: the progress window goes first (GUI thread).
    void CloseProgress();
    std::mutex m_progressMutex;
    SProgress m_progress; // guarded by m_progressMutex
    std::unique_ptr<CProgressDlg> m_pProgressDlg;
};
