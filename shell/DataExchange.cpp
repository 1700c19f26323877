#include "shell/DataExchange.h"

#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>

#include <limits>

#include "params/Texts.h"

namespace {
// Digits only, as an unsigned number the field can hold; blanks around it allowed.
bool ParseUInt(const QString& strText, uint32_t& nValue) {
    const QString str = strText.trimmed();
    if (str.isEmpty()) return false;
    uint64_t n = 0;
    for (const QChar c : str) {
        if (c < u'0' || c > u'9') return false;
        n = n * 10 + static_cast<uint64_t>(c.unicode() - u'0');
        if (n > std::numeric_limits<uint32_t>::max()) return false;
    }
    nValue = static_cast<uint32_t>(n);
    return true;
}
} // namespace

void ShowMessage(QWidget* pParent, const std::string& strText) {
    QMessageBox box(QMessageBox::NoIcon, txt::MESSAGE_CAPTION, QString::fromStdString(strText),
                    QMessageBox::Ok, pParent);
    box.exec();
}

void CDataExchange::Fail(QWidget* pField, const std::string& strMessage) {
    if (m_bFailed) return;
    m_bFailed = true;
    ShowMessage(m_pDlg, strMessage);
    pField->setFocus(Qt::OtherFocusReason);
    if (auto* pEdit = qobject_cast<QLineEdit*>(pField)) pEdit->selectAll();
    if (auto* pCombo = qobject_cast<QComboBox*>(pField); pCombo && pCombo->lineEdit())
        pCombo->lineEdit()->selectAll();
}

void CDataExchange::UInt(QLineEdit* pEdit, uint32_t& nValue) {
    if (m_bFailed) return;
    if (!Saving()) {
        pEdit->setText(QString::number(nValue));
        return;
    }
    uint32_t n = 0;
    if (!ParseUInt(pEdit->text(), n)) return Fail(pEdit, txt::PARSE_UINT);
    nValue = n;
}

void CDataExchange::UInt(QLineEdit* pEdit, uint32_t& nValue, uint32_t nMin, uint32_t nMax) {
    if (m_bFailed) return;
    if (!Saving()) {
        pEdit->setText(QString::number(nValue));
        return;
    }
    // A text that is no number gets the number message; the range is checked after.
    uint32_t n = 0;
    if (!ParseUInt(pEdit->text(), n)) return Fail(pEdit, txt::PARSE_UINT);
    if (n < nMin || n > nMax)
        return Fail(pEdit, txt::PARSE_RANGE_PREFIX + std::to_string(nMin) + " and " +
                               std::to_string(nMax) + ".");
    nValue = n;
}
