#include "shell/FindSerialDlg.h"

#include "ui_FindSerialDlg.h"

QString ParityName(char cParity) {
    return cParity == 'n' ? "None" : cParity == 'o' ? "Odd" : "Even";
}

CFindSerialDlg::CFindSerialDlg(QWidget* pParent, const QString& strPort,
                               const std::string& strDevice, const QString& strProblem, int nBaud,
                               char cParity, int nUnitAddr)
    : CScanWindow(pParent), m_pUi(std::make_unique<Ui::FindSerialDlg>()) {
    m_pUi->setupUi(this);
    Attach({m_pUi->btnStart,
            m_pUi->btnStop,
            m_pUi->btnUse,
            m_pUi->btnClose,
            m_pUi->progress,
            m_pUi->lblStatus,
            m_pUi->tblUnits,
            {m_pUi->chkAll}});
    m_plan.m_strName = strPort.toStdString();
    m_plan.m_strDevice = strDevice;
    m_plan.m_settings = SerialScanOrder(nBaud, cParity);
    m_plan.m_addrs = UnitAddrOrder(nUnitAddr);
    if (strDevice.empty()) {
        m_pUi->lblPortName->setText(strPort);
        m_pUi->btnStart->setEnabled(false);
        SetStatus(strProblem);
        return;
    }
    m_pUi->lblPortName->setText(
        QString("%1 (%2)").arg(strPort, QString::fromStdString(strDevice)));
}

CFindSerialDlg::~CFindSerialDlg() = default;

void CFindSerialDlg::OnStart() {
    SSerialScanPlan plan = m_plan;
    plan.m_bAll = m_pUi->chkAll->isChecked();
    RunScan(
        [plan](const SScanHooks& hooks) {
            CScanWorker::SResult result;
            if (auto hits = ScanSerial(plan, hooks, result.m_tally, result.m_strError))
                result.m_hits = std::move(*hits);
            else
                result.m_bFailed = true;
            return result;
        },
        QString("Opening %1...").arg(QString::fromStdString(plan.m_strName)));
}

std::vector<CScanWindow::Cell> CFindSerialDlg::KeyCells(const SScanHit& hit) const {
    return {{QString::number(hit.m_nBaud), hit.m_nBaud},
            {ParityName(hit.m_cParity), hit.m_cParity},
            {QString::number(hit.m_nAddr, 16).toUpper(), hit.m_nAddr}};
}

void CFindSerialDlg::OnProgress(const SScanProgress& progress) {
    SetProgress(progress.m_nDone, progress.m_nTotal);
    const size_t nAddrs = m_plan.m_addrs.size();
    const uint8_t nAddr = m_plan.m_addrs[progress.m_nDone % nAddrs];
    SetStatus(QString("Trying %1 baud, parity %2 (setting %3 of %4), SCP address %5; "
                      "%6 found, at most %7 s left.")
                  .arg(progress.m_line.m_nBaud)
                  .arg(ParityName(progress.m_line.m_cParity))
                  .arg(progress.m_nSetting + 1)
                  .arg(progress.m_nSettings)
                  .arg(QString::number(nAddr, 16).toUpper())
                  .arg(progress.m_nFound)
                  .arg(progress.m_dSecondsLeft, 0, 'f', 0));
}
