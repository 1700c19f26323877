#include "shell/NoticeDlgs.h"

#include "params/Texts.h"
#include "shell/DialogSetup.h"
#include "ui_CheckSwitchesEthDlg.h"
#include "ui_CheckSwitchesSerDlg.h"
#include "ui_UpdateDoneDlg.h"

CCheckSwitchesEthDlg::CCheckSwitchesEthDlg(QWidget* pParent)
    : QDialog(pParent), m_pUi(std::make_unique<Ui::CheckSwitchesEthDlg>()) {
    m_pUi->setupUi(this);
    SetupDialog(this);
    m_pUi->lblText->setText(txt::ETHERNET_SWITCHES_NOTICE);
    WireOkCancel(this, m_pUi->IDOK, m_pUi->IDCANCEL);
}
CCheckSwitchesEthDlg::~CCheckSwitchesEthDlg() = default;

CCheckSwitchesSerDlg::CCheckSwitchesSerDlg(QWidget* pParent)
    : QDialog(pParent), m_pUi(std::make_unique<Ui::CheckSwitchesSerDlg>()) {
    m_pUi->setupUi(this);
    SetupDialog(this);
    m_pUi->IDC_1056->setText(txt::SERIAL_SWITCHES_NOTICE);
    WireOkCancel(this, m_pUi->IDOK, m_pUi->IDCANCEL);
}
CCheckSwitchesSerDlg::~CCheckSwitchesSerDlg() = default;

CUpdateDoneDlg::CUpdateDoneDlg(QWidget* pParent)
    : QDialog(pParent), m_pUi(std::make_unique<Ui::UpdateDoneDlg>()) {
    m_pUi->setupUi(this);
    SetupDialog(this);
    m_pUi->lblText->setText(txt::UPDATE_DONE_TEXT);
    m_pUi->lblImportant->setText(txt::UPDATE_DONE_IMPORTANT);
    m_pUi->lblWarning->setText(txt::UPDATE_DONE_WARNING);
    WireOkCancel(this, m_pUi->IDOK, m_pUi->IDCANCEL);
}
CUpdateDoneDlg::~CUpdateDoneDlg() = default;
