#include "shell/NetConfigDlg.h"

#include "HoverBitmapButton.h"
#include "params/NetParams.h"
#include "shell/ControlFactory.h"
#include "shell/DataExchange.h"
#include "shell/DialogSetup.h"
#include "ui_NetConfigDlg.h"

namespace {
// The nibble of a hexadecimal digit, either case; -1 for anything else.
int Nibble(QChar c) {
    const char ch = c.toLatin1();
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    return -1;
}
} // namespace

CNetConfigDlg::CNetConfigDlg(QWidget* pParent, NetParams* pNetParams, bool bAddressLock,
                             bool bKeysEnabled, uint32_t nSerialNo)
    : QDialog(pParent), m_bKeysEnabled(bKeysEnabled), m_pNetParams(pNetParams),
      m_nSerialNo(nSerialNo), m_bAddressLock(bAddressLock),
      m_pUi(std::make_unique<Ui::NetConfigDlg>()) {
    const NetParams& rec = *m_pNetParams;
    for (size_t i = 0; i < 4; ++i) {
        m_anIp[i] = rec[NetParams::OFS_IP + i];
        m_anGateway[i] = rec[NetParams::OFS_GATEWAY + i];
        m_anMask[i] = rec[NetParams::OFS_MASK + i];
    }
    m_nPort = rec.Port();
    m_nTimeout = rec.Timeout();

    m_pUi->setupUi(this);
    SetupDialog(this);
    SetUpOkCancel(m_pUi->IDOK, m_pUi->IDCANCEL, CHoverBitmapButton::LAYOUT_BITMAP_TOP);
    connect(m_pUi->IDOK, &QPushButton::clicked, this, &CNetConfigDlg::accept);
    connect(m_pUi->IDCANCEL, &QPushButton::clicked, this, &CNetConfigDlg::reject);

    CDataExchange dx(this, CDataExchange::LOAD);
    DoDataExchange(dx);
    QLineEdit* apOctets[] = {m_pUi->IDC_1036, m_pUi->IDC_1037, m_pUi->IDC_1038, m_pUi->IDC_1039,
                             m_pUi->IDC_1049, m_pUi->IDC_1050, m_pUi->IDC_1051, m_pUi->IDC_1052,
                             m_pUi->IDC_1001, m_pUi->IDC_1014, m_pUi->IDC_1015, m_pUi->IDC_1017};
    for (QLineEdit* pEdit : apOctets) {
        pEdit->setMaxLength(3);
        pEdit->setEnabled(!m_bAddressLock);
    }
    m_pUi->IDC_1000->setMaxLength(4);
    m_pUi->IDC_1048->setMaxLength(4);
    QLineEdit* apKeys[] = {m_pUi->IDC_1080, m_pUi->IDC_1081, m_pUi->IDC_1082, m_pUi->IDC_1083};
    const size_t anKeyOfs[] = {NetParams::OFS_DES_KEY, NetParams::OFS_TDES_KEY1,
                               NetParams::OFS_TDES_KEY2, NetParams::OFS_TDES_KEY3};
    for (size_t i = 0; i < 4; ++i) {
        apKeys[i]->setMaxLength(16);
        KeyToHex(apKeys[i], rec.Data() + anKeyOfs[i]);
        if (!m_bKeysEnabled) apKeys[i]->setEnabled(false);
    }
}

CNetConfigDlg::~CNetConfigDlg() = default;

void CNetConfigDlg::DoDataExchange(CDataExchange& dx) {
    QLineEdit* apIp[] = {m_pUi->IDC_1036, m_pUi->IDC_1037, m_pUi->IDC_1038, m_pUi->IDC_1039};
    QLineEdit* apGateway[] = {m_pUi->IDC_1001, m_pUi->IDC_1014, m_pUi->IDC_1015, m_pUi->IDC_1017};
    QLineEdit* apMask[] = {m_pUi->IDC_1049, m_pUi->IDC_1050, m_pUi->IDC_1051, m_pUi->IDC_1052};
    for (size_t i = 0; i < 4; ++i)
        dx.UInt(apIp[i], m_anIp[i], 0, 255);
    dx.UInt(m_pUi->IDC_1000, m_nPort);
    for (size_t i = 0; i < 4; ++i)
        dx.UInt(apGateway[i], m_anGateway[i], 0, 255);
    for (size_t i = 0; i < 4; ++i)
        dx.UInt(apMask[i], m_anMask[i], 0, 255);
    dx.UInt(m_pUi->IDC_1048, m_nTimeout);
    dx.UInt(m_pUi->IDC_1079, m_nSerialNo);
}

void CNetConfigDlg::KeyToHex(QLineEdit* pField, const uint8_t* pKey) {
    static const char DIGITS[] = "0123456789ABCDEF";
    QString str;
    for (size_t i = 0; i < NetParams::KEY_LEN; ++i) {
        str += QChar(DIGITS[pKey[i] >> 4]);
        str += QChar(DIGITS[pKey[i] & 0x0F]);
    }
    pField->setText(str);
}

bool CNetConfigDlg::HexToKey(QLineEdit* pField, uint8_t* pKey) {
    // 0 is no key digit: a field still showing one is refused, not stored.
    const QString str = pField->text().left(2 * NetParams::KEY_LEN);
    uint8_t abKey[NetParams::KEY_LEN] = {};
    for (qsizetype i = 0; i < str.size(); ++i) {
        const int n = Nibble(str.at(i));
        if (n <= 0) return true;
        abKey[i / 2] = static_cast<uint8_t>(abKey[i / 2] | (i % 2 ? n : n << 4));
    }
    std::copy(std::begin(abKey), std::end(abKey), pKey);
    return false;
}

void CNetConfigDlg::accept() {
    CDataExchange dx(this, CDataExchange::SAVE);
    DoDataExchange(dx);
    if (dx.Failed()) return;

    NetParams& rec = *m_pNetParams;
    HexToKey(m_pUi->IDC_1080, rec.Data() + NetParams::OFS_DES_KEY);
    HexToKey(m_pUi->IDC_1081, rec.Data() + NetParams::OFS_TDES_KEY1);
    HexToKey(m_pUi->IDC_1082, rec.Data() + NetParams::OFS_TDES_KEY2);
    HexToKey(m_pUi->IDC_1083, rec.Data() + NetParams::OFS_TDES_KEY3);
    for (size_t i = 0; i < 4; ++i) {
        rec[NetParams::OFS_IP + i] = static_cast<uint8_t>(m_anIp[i]);
        rec[NetParams::OFS_MASK + i] = static_cast<uint8_t>(m_anMask[i]);
        rec[NetParams::OFS_GATEWAY + i] = static_cast<uint8_t>(m_anGateway[i]);
    }
    rec.SetPort(static_cast<uint16_t>(m_nPort));
    rec.SetTimeout(static_cast<uint16_t>(m_nTimeout));
    for (size_t i = 0; i < 8; ++i)
        rec[NetParams::OFS_RESERVED + i] = 0;
    QDialog::accept();
}
