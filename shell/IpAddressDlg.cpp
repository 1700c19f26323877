#include "shell/IpAddressDlg.h"

#include "HoverBitmapButton.h"
#include "params/NetParams.h"
#include "shell/ControlFactory.h"
#include "shell/DataExchange.h"
#include "shell/DialogSetup.h"
#include "shell/FindUnitsDlg.h"
#include "ui_IpAddressDlg.h"

CIpAddressDlg::CIpAddressDlg(QWidget* pParent, NetParams* pNetParams)
    : QDialog(pParent), m_pNetParams(pNetParams), m_pUi(std::make_unique<Ui::IpAddressDlg>()) {
    for (size_t i = 0; i < 4; ++i)
        m_anOctet[i] = (*m_pNetParams)[NetParams::OFS_IP + i];
    m_nPort = m_pNetParams->Port();
    m_nCommAddr = static_cast<int32_t>(m_pNetParams->GetU32(NetParams::OFS_COMM_ADDR));

    m_pUi->setupUi(this);
    SetupDialog(this);
    SetUpOkCancel(m_pUi->IDOK, m_pUi->IDCANCEL, CHoverBitmapButton::LAYOUT_BITMAP_TOP);
    connect(m_pUi->IDOK, &QPushButton::clicked, this, &CIpAddressDlg::accept);
    connect(m_pUi->IDCANCEL, &QPushButton::clicked, this, &CIpAddressDlg::reject);
    connect(m_pUi->btnFind, &QPushButton::clicked, this, &CIpAddressDlg::OnFind);

    CDataExchange dx(this, CDataExchange::LOAD);
    DoDataExchange(dx);
    for (QLineEdit* pEdit : {m_pUi->IDC_1002, m_pUi->IDC_1003, m_pUi->IDC_1004, m_pUi->IDC_1011})
        pEdit->setMaxLength(3);
    LimitTyping(m_pUi->IDC_1053, 4);
    m_pUi->IDC_1066->setRange(0, 15);
    m_pUi->IDC_1066->setValue(static_cast<int16_t>(m_nCommAddr & 0xFFFF));
    // The first octet opens with the focus and its text selected, to be typed over.
    m_pUi->IDC_1002->selectAll();
}

CIpAddressDlg::~CIpAddressDlg() = default;

void CIpAddressDlg::DoDataExchange(CDataExchange& dx) {
    QLineEdit* apOctet[4] = {m_pUi->IDC_1002, m_pUi->IDC_1003, m_pUi->IDC_1004, m_pUi->IDC_1011};
    for (size_t i = 0; i < 4; ++i)
        dx.UInt(apOctet[i], m_anOctet[i], 0, 255);
    dx.UInt(m_pUi->IDC_1053, m_nPort);
}

void CIpAddressDlg::OnFind() {
    // The range opens on the /24 of the address typed so far, when it is one.
    QLineEdit* apOctet[4] = {m_pUi->IDC_1002, m_pUi->IDC_1003, m_pUi->IDC_1004, m_pUi->IDC_1011};
    uint32_t nIp = 0;
    for (QLineEdit* pEdit : apOctet) {
        bool bOk = false;
        const uint32_t n = pEdit->text().trimmed().toUInt(&bOk);
        if (!bOk || n > 255) {
            nIp = 0;
            break;
        }
        nIp = nIp << 8 | n;
    }
    bool bOk = false;
    const uint32_t nPort = m_pUi->IDC_1053->text().trimmed().toUInt(&bOk);
    auto* pFind = new CFindUnitsDlg(
        this, nIp,
        bOk && nPort >= 1 && nPort <= 65535 ? static_cast<uint16_t>(nPort) : uint16_t{3001},
        m_pUi->IDC_1066->value());
    pFind->setAttribute(Qt::WA_DeleteOnClose);
    connect(pFind, &QDialog::accepted, this, [this, pFind] {
        const std::optional<SScanHit>& hit = pFind->Chosen();
        if (!hit) return;
        QLineEdit* apField[4] = {m_pUi->IDC_1002, m_pUi->IDC_1003, m_pUi->IDC_1004,
                                 m_pUi->IDC_1011};
        for (int i = 0; i < 4; ++i)
            apField[i]->setText(QString::number((hit->m_nIp >> (24 - 8 * i)) & 0xFF));
        m_pUi->IDC_1053->setText(QString::number(hit->m_nPort));
        m_pUi->IDC_1066->setValue(hit->m_nAddr);
    });
    pFind->open();
}

void CIpAddressDlg::accept() {
    CDataExchange dx(this, CDataExchange::SAVE);
    DoDataExchange(dx);
    if (dx.Failed()) return;
    for (size_t i = 0; i < 4; ++i)
        (*m_pNetParams)[NetParams::OFS_IP + i] = static_cast<uint8_t>(m_anOctet[i]);
    m_pNetParams->SetPort(static_cast<uint16_t>(m_nPort));
    m_nCommAddr = m_pUi->IDC_1066->value();
    m_pNetParams->SetU32(NetParams::OFS_COMM_ADDR, static_cast<uint32_t>(m_nCommAddr));
    QDialog::accept();
}
