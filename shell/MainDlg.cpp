#include "shell/MainDlg.h"

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <new>

#include "HoverBitmapButton.h"
#include "jobs/EthernetThread.h"
#include "jobs/SerlThread.h"
#include "params/Texts.h"
#include "shell/ControlFactory.h"
#include "shell/DataExchange.h"
#include "shell/DialogSetup.h"
#include "shell/IpAddressDlg.h"
#include "shell/NetConfigDlg.h"
#include "shell/NoticeDlgs.h"
#include "shell/SerialPortDlg.h"
#include "ui_MainDlg.h"
#include "velor/Version.h"

CMainDlg::CMainDlg(QWidget* pParent)
    : QDialog(pParent), CJobHost(&m_prompts), m_pUi(std::make_unique<Ui::MainDlg>()) {
    ApplyLook(this);
    m_pUi->setupUi(this);
    m_pUi->lblRevision->setText(QStringLiteral("Revision ") + QString(VELOR_REVISION));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFixedSize(size());
    m_prompts.SetOwner(this);
    // Built now rather than as a stall at the first download's start.
    m_prompts.ImageDialog();
    m_hIcon = QIcon(":/res/icon128.png");
    setWindowIcon(m_hIcon);
    SetUpOkCancel(m_pUi->IDOK, m_pUi->IDCANCEL, CHoverBitmapButton::LAYOUT_BITMAP_LEFT);
    connect(m_pUi->IDOK, &QPushButton::clicked, this, &CMainDlg::OnOK);
    connect(m_pUi->IDCANCEL, &QPushButton::clicked, this, &CMainDlg::OnCancel);

    m_pNetParams = nullptr;
    m_pScpParams = nullptr;
    m_bSerialBusy = false;

    struct SAction {
        int nId;
        const char* pCaption;
        int x, y;
        void (CMainDlg::*pHandler)();
    };
    const SAction actions[] = {
        {IDC_CONFIGURE_ETH, "Configure IP", 170, 99, &CMainDlg::OnConfigureEthernet},
        {IDC_CONFIGURE_SER, "Configure IP ", 170, 164, &CMainDlg::OnConfigureSerial},
        {IDC_ETHERNET, "Ethernet", 40, 99, &CMainDlg::OnEthernet},
        {IDC_SERIAL, "Serial", 40, 164, &CMainDlg::OnSerial},
        {IDC_FLASH_ETH, "Flash Velor", 300, 99, &CMainDlg::OnFlashEthernet},
        {IDC_FLASH_SER, "Flash Velor", 300, 164, &CMainDlg::OnFlashSerial},
    };
    const QRegion rgnOutline = ActionButtonOutline();
    for (const SAction& a : actions) {
        QAbstractButton* pButton =
            CreateActionButton(this, a.nId, a.pCaption, a.x, a.y, rgnOutline);
        connect(pButton, &QAbstractButton::clicked, this, a.pHandler);
    }
    // The tooltip sees the window's events before the window does; no tool is registered,
    // so it never shows.
    m_tooltip.Create(this);
    qApp->installEventFilter(&m_tooltip);
    ResetButtons();

    m_pNetRecord.reset(new (std::nothrow) NetParams(NetParams::Defaults()));
    if (!m_pNetRecord) ShowMessage(this, txt::NO_MEMORY_IP);
    m_pNetParams = m_pNetRecord.get();
}

CMainDlg::~CMainDlg() = default;

void CMainDlg::Enable(std::initializer_list<int> ids, bool bOn) {
    for (int nId : ids) {
        const QString strName = nId == 1   ? QStringLiteral("IDOK")
                                : nId == 2 ? QStringLiteral("IDCANCEL")
                                           : QStringLiteral("IDC_%1").arg(nId);
        if (auto* pButton = findChild<QAbstractButton*>(strName)) pButton->setEnabled(bOn);
    }
}

void CMainDlg::ResetButtons() {
    Enable({IDC_ETHERNET, IDC_SERIAL}, true);
    Enable({IDC_CONFIGURE_ETH, IDC_FLASH_ETH, IDC_CONFIGURE_SER, IDC_FLASH_SER}, false);
}

void CMainDlg::OnEthernet() {
    CCheckSwitchesEthDlg notice(this);
    if (notice.exec() != QDialog::Accepted) return;
    // Without the record there is nothing to enter the unit's address into.
    if (!m_pNetParams) return ShowMessage(this, txt::NO_MEMORY_IP);
    Enable({IDC_CONFIGURE_ETH, IDC_FLASH_ETH}, true);
    Enable({IDC_SERIAL, IDC_FLASH_SER}, false);
    CIpAddressDlg dlg(this, m_pNetParams);
    if (dlg.exec() == QDialog::Accepted) {
        m_strTargetIp = m_pNetParams->DottedAt(NetParams::OFS_IP);
        m_nTargetPort = m_pNetParams->Port();
        Enable({IDC_CONFIGURE_SER, IDC_ETHERNET}, false);
    } else {
        ResetButtons();
    }
}

void CMainDlg::OnSerial() {
    CCheckSwitchesSerDlg notice(this);
    if (notice.exec() != QDialog::Accepted) return;
    Enable({IDC_CONFIGURE_SER, IDC_FLASH_SER}, true);
    Enable({IDC_ETHERNET}, false);
    m_pScpRecord.reset(new (std::nothrow) ScpParams());
    m_pScpParams = m_pScpRecord.get();
    if (!m_pScpParams || !m_pNetParams) {
        // No record, no job: back to idle rather than offering buttons that need one.
        ShowMessage(this, m_pScpParams ? txt::NO_MEMORY_IP : txt::NO_MEMORY_SCP);
        return ResetButtons();
    }
    CSerialPortDlg dlg(this, m_pScpParams);
    if (dlg.exec() == QDialog::Accepted)
        Enable({IDC_CONFIGURE_ETH, IDC_SERIAL, IDC_FLASH_ETH}, false);
    else
        ResetButtons();
}

void CMainDlg::OnConfigureEthernet() {
    StartEthernetJob(JOB_CONFIGURE);
}
void CMainDlg::OnFlashEthernet() {
    StartEthernetJob(JOB_FLASH);
}
void CMainDlg::OnConfigureSerial() {
    ToggleSerialJob(JOB_CONFIGURE);
}
void CMainDlg::OnFlashSerial() {
    ToggleSerialJob(JOB_FLASH);
}

void CMainDlg::StartEthernetJob(uint32_t nJob) {
    m_nRecvLen = 512;
    m_bEthernetBusy = true;
    m_nJob = nJob;
    auto* pThread = new CEthernetThread(this);
    if (!pThread->CreateThread()) {
        delete pThread;
        m_bEthernetBusy = false;
        return;
    }
    m_bEthernetWorker = true;
    Enable({1, 2, IDC_CONFIGURE_ETH, IDC_FLASH_ETH, IDC_FLASH_SER}, false);
}

void CMainDlg::ToggleSerialJob(uint32_t nJob) {
    if (m_bSerialWorker) {
        // A stop request. The worker ends at its next check; until it has called back
        // neither button may start another job on the same port and record.
        StopSerialJob();
        Enable({IDC_CONFIGURE_SER, IDC_FLASH_SER}, false);
        return;
    }
    // A download runs to its end: nothing on the row may stop it half way.
    if (nJob == JOB_FLASH) Enable({IDC_FLASH_SER, IDC_CONFIGURE_SER}, false);
    m_nJob = nJob;
    m_bSerialBusy = true;
    auto* pThread = new CSerlThread(this);
    if (!pThread->CreateThread()) {
        delete pThread;
        m_bSerialBusy = false;
        Enable({IDC_FLASH_SER, IDC_CONFIGURE_SER}, true);
        return;
    }
    m_bSerialWorker = true;
}

void CMainDlg::OnJobFinished() {
    m_prompts.OnGui([this] {
        m_bSerialWorker = false;
        m_bEthernetWorker = false;
        ResetButtons();
        m_pScpParams = nullptr;
        m_pScpRecord.reset();
        m_prompts.EndProgress();
    });
}

void CMainDlg::EnableEndButtons() {
    m_prompts.OnGui([this] { Enable({1, 2, IDC_ETHERNET}, true); });
}

bool CMainDlg::RunConfigDialog(bool bPropertiesMode) {
    return m_prompts.OnGui([this, bPropertiesMode] {
        CNetConfigDlg dlg(m_prompts.Owner(), m_pNetParams, bPropertiesMode, m_bKeysEnabled,
                          m_nSerialNo);
        if (m_prompts.RunWorkerDialog(dlg) != QDialog::Accepted) return false;
        m_strTargetIp = m_pNetParams->DottedAt(NetParams::OFS_IP);
        m_nTargetPort = m_pNetParams->Port();
        return true;
    });
}

bool CMainDlg::ConfirmClose() {
    // Only a load under way leaves the unit half written: before its first block the
    // unit is untouched, after its last one it holds the whole image.
    if (!(m_bSerialWorker || m_bEthernetWorker) || !m_prompts.Loading()) return true;
    QMessageBox box(QMessageBox::Warning, txt::MESSAGE_CAPTION, txt::CLOSE_DURING_FLASH,
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    box.setTextFormat(Qt::PlainText);
    return box.exec() == QMessageBox::Yes;
}

void CMainDlg::EndDialog(int nResult) {
    // No worker may wait for a window after this one is gone.
    m_prompts.BeginShutdown();
    QDialog::done(nResult);
}

void CMainDlg::OnOK() {
    if (!ConfirmClose()) return;
    StopEthernetJob();
    EndDialog(QDialog::Accepted);
}

void CMainDlg::OnCancel() {
    if (!ConfirmClose()) return;
    StopEthernetJob();
    EndDialog(QDialog::Rejected);
}

void CMainDlg::keyPressEvent(QKeyEvent* pEvent) {
    // Escape is the Close button: it does nothing while that button is off. The
    // window's close box always closes.
    if (pEvent->key() == Qt::Key_Escape && !m_pUi->IDCANCEL->isEnabled()) return;
    QDialog::keyPressEvent(pEvent);
}
