#include "shell/QtPrompts.h"

#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QMessageBox>
#include <QTreeView>

#include "firmware/ImageReader.h"
#include "params/NetParams.h"
#include "params/Texts.h"
#include "platform/SerialDevice.h"
#include "shell/IpAddressDlg.h"
#include "shell/NetConfigDlg.h"
#include "shell/NoticeDlgs.h"
#include "shell/ProgressDlg.h"
#include "shell/SerialPortDlg.h"
#include "shell/UnitPropertiesDlg.h"

CQtPrompts::CQtPrompts(QObject* pParent) : QObject(pParent) {}

CQtPrompts::~CQtPrompts() {
    BeginShutdown();
    delete m_pImageDialog; // null when its parent window went first
}

void CQtPrompts::PortOpenFailed(const std::string& strDevice, int nError) {
    // Built here, on the worker: it looks the device's group up.
    Message(serialdev::OpenFailureText(strDevice, nError, serialdev::EReader::Desktop));
}

void CQtPrompts::Progress(uint64_t nDone, uint64_t nTotal) {
    // Every report follows a block the unit accepted; the last one comes when all are in.
    m_bLoading = nDone < nTotal;
    const auto tNow = std::chrono::steady_clock::now();
    const double dFraction =
        nTotal ? static_cast<double>(nDone) / static_cast<double>(nTotal) : 1.0;
    {
        std::lock_guard lock(m_progressMutex);
        SProgress& p = m_progress;
        if (!p.m_bStarted) {
            p.m_bStarted = true;
            p.m_tFirst = tNow;
            p.m_dFirstFraction = dFraction;
        }
        p.m_dFraction = dFraction;
        const double dSeconds = std::chrono::duration<double>(tNow - p.m_tFirst).count();
        if (dSeconds > 0.2)
            p.m_dRate =
                (dFraction - p.m_dFirstFraction) * static_cast<double>(p.m_nBytes) / dSeconds;
        // One update in flight at a time: a fast download never floods the GUI thread.
        if (p.m_bPosted) return;
        p.m_bPosted = true;
    }
    // Queued, never waited for: the download goes on at once. By name, as for the pending
    // calls: a functor built here and run there is an ordering the thread sanitizer cannot
    // see through Qt's event queue; the state itself travels under m_progressMutex.
    QMetaObject::invokeMethod(this, "ShowProgress", Qt::QueuedConnection);
}

void CQtPrompts::ShowProgress() {
    {
        std::lock_guard lock(m_mutex);
        if (m_bShuttingDown) return;
    }
    SProgress p;
    {
        std::lock_guard lock(m_progressMutex);
        m_progress.m_bPosted = false;
        if (!m_progress.m_bStarted) return;
        p = m_progress;
    }
    if (!m_pProgressDlg) {
        m_pProgressDlg = std::make_unique<CProgressDlg>(m_pOwner);
        m_pProgressDlg->show();
    }
    if (m_pProgressDlg->ClosedByUser()) return;
    m_pProgressDlg->Show(p.m_dFraction, p.m_nBlocks, p.m_nBytes, p.m_dRate);
}

void CQtPrompts::EndProgress() {
    m_bLoading = false;
    {
        std::lock_guard lock(m_progressMutex);
        m_progress = SProgress{};
    }
    m_pProgressDlg.reset();
}

void CQtPrompts::CloseProgress() {
    if (!m_pProgressDlg) return;
    {
        // A later report (none comes after an outcome) would open a fresh window.
        std::lock_guard lock(m_progressMutex);
        m_progress.m_bStarted = false;
    }
    m_pProgressDlg.reset();
}

bool CQtPrompts::Call(const std::function<void()>& fn) {
    SCall call{&fn};
    {
        std::lock_guard lock(m_mutex);
        if (m_bShuttingDown) return false;
        m_pending.push_back(&call);
    }
    QMetaObject::invokeMethod(this, "RunPendingCalls", Qt::QueuedConnection);
    std::unique_lock lock(m_mutex);
    m_cv.wait(lock, [&] { return call.bDone; });
    return call.bRan;
}

void CQtPrompts::RunPendingCalls() {
    for (;;) {
        SCall* pCall = nullptr;
        {
            std::lock_guard lock(m_mutex);
            if (m_pending.empty()) return;
            pCall = m_pending.front();
            m_pending.pop_front();
        }
        (*pCall->pFn)();
        std::lock_guard lock(m_mutex);
        pCall->bRan = true;
        pCall->bDone = true;
        m_cv.notify_all();
    }
}

int CQtPrompts::RunWorkerDialog(QDialog& dlg) {
    {
        std::lock_guard lock(m_mutex);
        if (m_bShuttingDown) return QDialog::Rejected;
    }
    // Not exec(): that would make the dialog application-modal.
    dlg.setWindowModality(Qt::NonModal);
    QEventLoop loop;
    connect(&dlg, &QDialog::finished, &loop, &QEventLoop::quit);
    m_openDialogs.append(&dlg);
    dlg.show();
    dlg.activateWindow();
    loop.exec(QEventLoop::DialogExec);
    m_openDialogs.removeAll(&dlg);
    return dlg.result();
}

void CQtPrompts::BeginShutdown() {
    {
        // Calls still waiting for the GUI thread are answered "Cancel" at once: after
        // the event loop has ended they would never run.
        std::lock_guard lock(m_mutex);
        m_bShuttingDown = true;
        for (SCall* pCall : m_pending)
            pCall->bDone = true;
        m_pending.clear();
        m_cv.notify_all();
    }
    m_pProgressDlg.reset();
    for (const QPointer<QDialog>& pDlg : QList(m_openDialogs))
        if (pDlg) pDlg->done(QDialog::Rejected);
}

void CQtPrompts::Message(const std::string& strText) {
    m_bLoading = false;
    OnGui([&] {
        CloseProgress();
        QMessageBox box(QMessageBox::NoIcon, txt::MESSAGE_CAPTION, QString::fromStdString(strText),
                        QMessageBox::Ok, m_pOwner);
        // Messages echo port names and device paths as typed: never markup.
        box.setTextFormat(Qt::PlainText);
        RunWorkerDialog(box);
    });
}

bool CQtPrompts::SwitchesNotice(ELink eLink) {
    return OnGui([&] {
        if (eLink == ELink::Ethernet) {
            CCheckSwitchesEthDlg dlg(m_pOwner);
            return RunWorkerDialog(dlg) == QDialog::Accepted;
        }
        CCheckSwitchesSerDlg dlg(m_pOwner);
        return RunWorkerDialog(dlg) == QDialog::Accepted;
    });
}

bool CQtPrompts::SerialPortDialog(ScpParams& scp) {
    return OnGui([&] {
        CSerialPortDlg dlg(m_pOwner, &scp);
        return RunWorkerDialog(dlg) == QDialog::Accepted;
    });
}

bool CQtPrompts::IpAddressDialog(NetParams& rec) {
    return OnGui([&] {
        CIpAddressDlg dlg(m_pOwner, &rec);
        return RunWorkerDialog(dlg) == QDialog::Accepted;
    });
}

bool CQtPrompts::ConfigDialog(NetParams& rec, bool bPropertiesMode, bool bKeysEnabled,
                              uint32_t nSerialNo) {
    return OnGui([&] {
        CNetConfigDlg dlg(m_pOwner, &rec, bPropertiesMode, bKeysEnabled, nSerialNo);
        return RunWorkerDialog(dlg) == QDialog::Accepted;
    });
}

void CQtPrompts::PropertiesDialog(uint8_t* pPlain, size_t nLen, uint32_t nSerialNo) {
    // The dialog edits bytes 24..28: never on a block that did not arrive that far.
    if (nLen <= NetParams::OFS_UNIT_COMM_ADDR) return;
    OnGui([&] {
        CUnitPropertiesDlg dlg(m_pOwner, pPlain, nSerialNo);
        RunWorkerDialog(dlg);
    });
}

bool CQtPrompts::UpdateDoneDialog() {
    return OnGui([&] {
        CUpdateDoneDlg dlg(m_pOwner);
        return RunWorkerDialog(dlg) == QDialog::Accepted;
    });
}

namespace {
// The file dialog's first filter, chosen at every opening.
const QString IMAGE_FILTER = QStringLiteral("s19 (*.s19)");
} // namespace

QFileDialog& CQtPrompts::ImageDialog() {
    if (m_pImageDialog) return *m_pImageDialog;
    m_pImageDialog = new QFileDialog(m_pOwner, {}, m_strImageFolder);
    QFileDialog& dlg = *m_pImageDialog;
    dlg.setFileMode(QFileDialog::ExistingFile);
    dlg.setAcceptMode(QFileDialog::AcceptOpen);
    // Qt's own dialog, so that it too leaves the main window usable; its patterns
    // match names in any case. The list shows each filter's name only, so a name
    // that should show its pattern carries it twice.
    dlg.setOption(QFileDialog::DontUseNativeDialog);
    dlg.setOption(QFileDialog::HideNameFilterDetails);
    dlg.setFilter(dlg.filter() & ~QDir::CaseSensitive);
    dlg.setNameFilters({IMAGE_FILTER, QStringLiteral("Intel HEX (*.hex) (*.hex)"),
                        QStringLiteral("All files (*) (*)")});
    // Qt's default size cuts the size, type and date columns. Fixed widths, set
    // once: fitting them to the contents measures every file of a large folder.
    dlg.resize(820, 480);
    if (auto* pView = dlg.findChild<QTreeView*>()) {
        const int anWidths[] = {330, 90, 150, 160};
        for (int nColumn = 0; nColumn < 4 && nColumn < pView->header()->count(); ++nColumn)
            pView->header()->resizeSection(nColumn, anWidths[nColumn]);
    }
    return dlg;
}

bool CQtPrompts::ChooseImageFile(std::string& strPath) {
    const bool bChosen = OnGui([&] {
        QFileDialog& dlg = ImageDialog();
        dlg.setDirectory(m_strImageFolder);
        dlg.selectNameFilter(IMAGE_FILTER);
        dlg.selectFile({});
        if (RunWorkerDialog(dlg) != QDialog::Accepted || dlg.selectedFiles().isEmpty())
            return false;
        const QString strChosen = dlg.selectedFiles().constFirst();
        // The next download opens where this one's image was.
        m_strImageFolder = QFileInfo(strChosen).absolutePath();
        strPath = strChosen.toStdString();
        return true;
    });
    if (!bChosen) return false;
    // The image's blocks and bytes, for the progress window: read here, on the worker.
    const CImageCheck check = ValidateImage(strPath);
    std::lock_guard lock(m_progressMutex);
    m_progress = SProgress{};
    if (check.Ok()) {
        m_progress.m_nBlocks = check.m_nBlocks;
        m_progress.m_nBytes = check.m_nBytes;
    }
    return true;
}
