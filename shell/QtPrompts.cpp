#include "shell/QtPrompts.h"

#include <QEventLoop>
#include <QFileDialog>
#include <QGuiApplication>
#include <QMessageBox>

#include "params/NetParams.h"
#include "shell/IpAddressDlg.h"
#include "shell/NetConfigDlg.h"
#include "shell/NoticeDlgs.h"
#include "shell/SerialPortDlg.h"
#include "shell/UnitPropertiesDlg.h"

CQtPrompts::~CQtPrompts() {
    BeginShutdown();
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
    for (const QPointer<QDialog>& pDlg : QList(m_openDialogs))
        if (pDlg) pDlg->done(QDialog::Rejected);
}

void CQtPrompts::Message(const std::string& strText) {
    OnGui([&] {
        QMessageBox box(QMessageBox::NoIcon, QGuiApplication::applicationDisplayName(),
                        QString::fromStdString(strText), QMessageBox::Ok);
        RunWorkerDialog(box);
    });
}

bool CQtPrompts::SwitchesNotice(ELink eLink) {
    return OnGui([&] {
        if (eLink == ELink::Ethernet) {
            CCheckSwitchesEthDlg dlg(nullptr);
            return RunWorkerDialog(dlg) == QDialog::Accepted;
        }
        CCheckSwitchesSerDlg dlg(nullptr);
        return RunWorkerDialog(dlg) == QDialog::Accepted;
    });
}

bool CQtPrompts::SerialPortDialog(ScpParams& scp) {
    return OnGui([&] {
        CSerialPortDlg dlg(nullptr, &scp);
        return RunWorkerDialog(dlg) == QDialog::Accepted;
    });
}

bool CQtPrompts::IpAddressDialog(NetParams& rec) {
    return OnGui([&] {
        CIpAddressDlg dlg(nullptr, &rec);
        return RunWorkerDialog(dlg) == QDialog::Accepted;
    });
}

bool CQtPrompts::ConfigDialog(NetParams& rec, bool bPropertiesMode, bool bKeysEnabled,
                              uint32_t nSerialNo) {
    return OnGui([&] {
        CNetConfigDlg dlg(nullptr, &rec, bPropertiesMode, bKeysEnabled, nSerialNo);
        return RunWorkerDialog(dlg) == QDialog::Accepted;
    });
}

void CQtPrompts::PropertiesDialog(uint8_t* pPlain, size_t nLen, uint32_t nSerialNo) {
    // The dialog edits bytes 24..28: never on a block that did not arrive that far.
    if (nLen <= NetParams::OFS_UNIT_COMM_ADDR) return;
    OnGui([&] {
        CUnitPropertiesDlg dlg(nullptr, pPlain, nSerialNo);
        RunWorkerDialog(dlg);
    });
}

bool CQtPrompts::UpdateDoneDialog() {
    return OnGui([&] {
        CUpdateDoneDlg dlg(nullptr);
        return RunWorkerDialog(dlg) == QDialog::Accepted;
    });
}

bool CQtPrompts::ChooseImageFile(std::string& strPath) {
    return OnGui([&] {
        QFileDialog dlg(nullptr);
        dlg.setFileMode(QFileDialog::ExistingFile);
        dlg.setAcceptMode(QFileDialog::AcceptOpen);
        // Qt's own dialog, so that it too leaves the main window usable. "All" means
        // every file, as it does on the system these filters come from.
        dlg.setOption(QFileDialog::DontUseNativeDialog);
        dlg.setOption(QFileDialog::HideNameFilterDetails);
        dlg.setNameFilters({"s19 (*.s19)", "All (*)"});
        dlg.selectNameFilter("s19 (*.s19)");
        if (RunWorkerDialog(dlg) != QDialog::Accepted || dlg.selectedFiles().isEmpty())
            return false;
        strPath = dlg.selectedFiles().constFirst().toStdString();
        return true;
    });
}
