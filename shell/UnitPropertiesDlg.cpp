#include "shell/UnitPropertiesDlg.h"

#include "params/NetParams.h"
#include "params/UnitStatus.h"
#include "shell/DataExchange.h"
#include "shell/DialogSetup.h"
#include "ui_UnitPropertiesDlg.h"

#include <algorithm>

CUnitPropertiesDlg::CUnitPropertiesDlg(QWidget* pParent, uint8_t* pBlock, uint32_t nSerialNo)
    : QDialog(pParent), m_nSerialNo(nSerialNo & 0xFFFF),
      m_nByte28(pBlock[NetParams::OFS_UNIT_COMM_ADDR]),
      m_nByte25(pBlock[NetParams::OFS_SCP_FLAGS2]), m_nByte24(pBlock[NetParams::OFS_SCP_FLAGS1]),
      m_pBlock(pBlock), m_pUi(std::make_unique<Ui::UnitPropertiesDlg>()) {
    m_pUi->setupUi(this);
    SetupDialog(this);
    connect(m_pUi->IDOK, &QPushButton::clicked, this, &CUnitPropertiesDlg::accept);
    connect(m_pUi->IDCANCEL, &QPushButton::clicked, this, &CUnitPropertiesDlg::reject);

    for (const char* pRate : UNIT_BAUD_RATES) {
        auto* pItem = new QListWidgetItem(pRate, m_pUi->IDC_1057);
        pItem->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    }

    const CUnitProperties props = CUnitProperties::Decode(m_nByte24, m_nByte25, m_nByte28);
    m_bAutoBackup = props.m_bAutoBackup;
    m_bParityOff = props.m_bParityOff;
    m_bEncryption = props.m_bEncryption;
    m_bCts = props.m_bCts;
    m_bDialUp = props.m_bDialUp;
    m_nCommAddr = props.m_nCommAddr;
    // The spin offers 0 to 15; an address above that which the unit already holds is
    // shown as it is and kept by an untouched OK, not clamped to 15 behind the user's back.
    m_pUi->IDC_1066->setRange(0, std::max(15, int(m_nCommAddr)));
    m_pUi->IDC_1066->setValue(m_nCommAddr);
    m_nBaudCode = props.m_nBaudCode;
    m_pUi->IDC_1057->setCurrentRow(m_nBaudCode);

    CDataExchange dx(this, CDataExchange::LOAD);
    DoDataExchange(dx);
}

CUnitPropertiesDlg::~CUnitPropertiesDlg() = default;

void CUnitPropertiesDlg::DoDataExchange(CDataExchange& dx) {
    struct SCheck {
        QCheckBox* pBox;
        bool& bValue;
    };
    for (auto [pBox, bValue] :
         {SCheck{m_pUi->IDC_1067, m_bAutoBackup}, SCheck{m_pUi->IDC_1061, m_bCts},
          SCheck{m_pUi->IDC_1060, m_bDialUp}, SCheck{m_pUi->IDC_1068, m_bEncryption},
          SCheck{m_pUi->IDC_1062, m_bParityOff}}) {
        if (dx.Saving())
            bValue = pBox->isChecked();
        else
            pBox->setChecked(bValue);
    }
    dx.UInt(m_pUi->IDC_1069, m_nSerialNo, 0, 65535);
}

void CUnitPropertiesDlg::accept() {
    CDataExchange dx(this, CDataExchange::SAVE);
    DoDataExchange(dx);
    if (dx.Failed()) return;

    // No row selected (ctrl-click can clear it): the unit keeps its rate.
    if (const int nRow = m_pUi->IDC_1057->currentRow(); nRow >= 0)
        m_nBaudCode = static_cast<uint8_t>(nRow & CUnitProperties::BAUD_MASK);
    m_nCommAddr = m_pUi->IDC_1066->value();
    CUnitProperties props;
    props.m_nBaudCode = m_nBaudCode;
    props.m_bEncryption = m_bEncryption;
    props.m_bDialUp = m_bDialUp;
    props.m_bCts = m_bCts;
    props.m_bParityOff = m_bParityOff;
    props.m_bAutoBackup = m_bAutoBackup;
    props.m_nCommAddr = static_cast<uint8_t>(m_nCommAddr & 0xFF);
    props.Encode(m_nByte24, m_nByte25, m_nByte28);
    m_pBlock[NetParams::OFS_SCP_FLAGS1] = m_nByte24;
    m_pBlock[NetParams::OFS_SCP_FLAGS2] = m_nByte25;
    m_pBlock[NetParams::OFS_UNIT_COMM_ADDR] = m_nByte28;
    QDialog::accept();
}
