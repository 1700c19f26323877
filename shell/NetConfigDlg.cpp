#include "shell/NetConfigDlg.h"

#include <QMessageBox>

#include "HoverBitmapButton.h"
#include "params/NetParams.h"
#include "params/Texts.h"
#include "platform/HexText.h"
#include "shell/ControlFactory.h"
#include "shell/DataExchange.h"
#include "shell/DialogSetup.h"
#include "ui_NetConfigDlg.h"

namespace {
// The nibble of a hexadecimal digit, either case; -1 for anything else.
int Nibble(QChar c) {
    return HexDigitValue(c.toLatin1());
}

QString KeyText(const uint8_t* pKey) {
    static const char DIGITS[] = "0123456789ABCDEF";
    QString str;
    for (size_t i = 0; i < NetParams::KEY_LEN; ++i) {
        str += QChar(DIGITS[pKey[i] >> 4]);
        str += QChar(DIGITS[pKey[i] & 0x0F]);
    }
    return str;
}

// True when the technician wants to go back to the key field rather than keep its key.
bool AskGoBack(QWidget* pParent, const char* pKey, bool bZeroDigit) {
    QMessageBox box(QMessageBox::Question, txt::MESSAGE_CAPTION,
                    QString::fromStdString(txt::KeyKept(pKey, bZeroDigit)),
                    QMessageBox::Yes | QMessageBox::No, pParent);
    // Enter and Esc both lead back: only an explicit No lets the old key stand.
    box.setDefaultButton(QMessageBox::Yes);
    box.setEscapeButton(QMessageBox::Yes);
    return RunBox(box) != QMessageBox::No;
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
    LimitTyping(m_pUi->IDC_1000, 4);
    LimitTyping(m_pUi->IDC_1048, 4);
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
    pField->setText(KeyText(pKey));
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
    struct SKey {
        QLineEdit* pField;
        size_t nOfs;
        const char* pName;
    };
    const SKey keys[] = {{m_pUi->IDC_1080, NetParams::OFS_DES_KEY, txt::KEY_FIELD_NAMES[0]},
                         {m_pUi->IDC_1081, NetParams::OFS_TDES_KEY1, txt::KEY_FIELD_NAMES[1]},
                         {m_pUi->IDC_1082, NetParams::OFS_TDES_KEY2, txt::KEY_FIELD_NAMES[2]},
                         {m_pUi->IDC_1083, NetParams::OFS_TDES_KEY3, txt::KEY_FIELD_NAMES[3]}};
    // A refused key text keeps the old key. Most keys show a 0 somewhere, so a field
    // left as it was passes quietly; one the technician changed is not dropped unsaid.
    for (const SKey& key : keys) {
        uint8_t abKey[NetParams::KEY_LEN] = {};
        const QString strText = key.pField->text();
        if (!HexToKey(key.pField, abKey) ||
            strText.compare(KeyText(rec.Data() + key.nOfs), Qt::CaseInsensitive) == 0)
            continue;
        if (AskGoBack(this, key.pName, strText.contains(u'0'))) {
            key.pField->setFocus(Qt::OtherFocusReason);
            return;
        }
    }
    for (const SKey& key : keys)
        HexToKey(key.pField, rec.Data() + key.nOfs);
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
